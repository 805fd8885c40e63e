// TLS ClientHello to its JA4 fingerprint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "capture/step.h"

namespace ostrel_capture {

enum class HelloStatus { NEED_MORE, FOUND, NOT_HELLO };

// TLS over TCP: `data` is the client's stream from its first byte (handshake
// records, the ClientHello possibly over several). FOUND sets `ja4` ("t...").
HelloStatus Ja4FromTlsStream(const uint8_t *data, size_t size, std::string &ja4);

// Handshake messages without records (a QUIC CRYPTO stream from offset 0).
// `transport` is the JA4's first character: 't', 'q' or 'd'.
HelloStatus Ja4FromHandshake(const uint8_t *data, size_t size, char transport, std::string &ja4);

// A TCP stream that starts with a handshake record.
bool StartsTlsRecord(const uint8_t *data, size_t size);

// The step of the protocol table: the JA4 of the stream's first ClientHello.
StreamVerdict TlsStep(const StreamBytes &in, Attributes &out);

} // namespace ostrel_capture
