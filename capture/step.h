// The one shape of a protocol's step: what the inspection hands a protocol
// (a UDP datagram, or the bytes of one TCP direction), what it gives back
// (a verdict, and the values found, given as they are found).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ostrel_capture {

// The values a step finds, each given to the endpoint that sent the bytes.
// The tracker makes an update event of each new one, in the order given.
class Attributes
{
public:
    virtual ~Attributes() = default;
    // The bytes prove the protocol; the first one proved stays the flow's.
    virtual void Detected(unsigned protocol) = 0;
    // One update for the three texts of one message; empty ones change nothing.
    virtual void DhcpTexts(std::string &fingerprint, std::string &class_ident, std::string &host_name) = 0;
    virtual void UserAgent(const std::string &agent, uint8_t source) = 0;
    virtual void MdnsName(const std::string &name) = 0;
    virtual void Ja4(const std::string &ja4) = 0;
};

// What a step keeps of a flow between datagrams (QUIC's CRYPTO pieces).
class StepState
{
public:
    virtual ~StepState() = default;
    // What the budget counts for it.
    virtual size_t Memory() const = 0;
};

struct Datagram {
    const uint8_t *data = nullptr;
    size_t size = 0;
    uint16_t dst_port = 0;
    bool from_client = false; // sent by the flow's origin
    std::unique_ptr<StepState> *state = nullptr; // the flow's, made by the step that needs one
};

enum class DatagramVerdict { MORE, DONE }; // DONE: the flow gives nothing more

using UdpStep = DatagramVerdict (*)(const Datagram &in, Attributes &out);

// One TCP direction from where the step starts, in stream order.
struct StreamBytes {
    const uint8_t *data = nullptr;
    size_t size = 0;
    bool full = false; // the kept bytes reached their bound: no more will come
    size_t skipped = 0; // the stream's bytes before where a protocol started last
};

struct StreamVerdict {
    enum Kind : uint8_t {
        WAIT, // more bytes may decide
        DONE, // the direction gives nothing more
        SAME, // `consume` bytes read; the same step reads what follows
        ANY, // `consume` bytes before the client's own protocol; the table picks again
        TLS, // as ANY, but only TLS may follow (an upgrade)
        NOT_MINE, // not this step's protocol: the prelude step looks
    };
    Kind kind = DONE;
    uint64_t consume = 0;
};

using TcpStep = StreamVerdict (*)(const StreamBytes &in, Attributes &out);

} // namespace ostrel_capture
