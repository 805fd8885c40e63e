// What a client sends before its own protocol in a TCP stream: the upgrade
// exchange of a protocol that turns to TLS (SMTP, IMAP, POP3, FTP, LDAP, XMPP,
// PostgreSQL, MySQL), a SOCKS handshake or a PROXY protocol header. Each is
// recognised by its own shape and skipped, so that the ClientHello (or HTTP
// request) after it is read where it starts, never searched for in arbitrary
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include "capture/step.h"

namespace ostrel_capture {

// How far into a client's stream a prelude may end: past it, what follows
// is not looked for.
constexpr size_t MAX_PRELUDE_REACH = 16384;

enum class PreludeStatus { NEED_MORE, FOUND, NONE };

struct Prelude {
    size_t size = 0; // the prelude's bytes, from the start of `data`
    bool tls_follows = false; // an upgrade: only TLS may follow; else TLS or HTTP
};

// `data` is the client's stream from where a protocol may start. NEED_MORE:
// it may still be a prelude (the caller bounds how long it waits).
PreludeStatus FindPrelude(const uint8_t *data, size_t size, Prelude &prelude);

// An HTTP request that opens a tunnel through a proxy: after the proxy's
// answer the client's bytes are whatever it tunnels.
bool IsConnectRequest(const uint8_t *data, size_t size);

// The step of the protocol table for a stream no other step reads: a
// prelude that ends within MAX_PRELUDE_REACH is skipped, and what follows is
// read as if it started the stream.
StreamVerdict PreludeStep(const StreamBytes &in, Attributes &out);

} // namespace ostrel_capture
