// The first bytes of one direction of a TCP connection, in stream order:
// retransmitted and overlapping bytes trimmed (the first copy of a byte
// wins), segments that arrive ahead of a gap held as they came until it
// fills, all within a fixed bound. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel_capture {

class TcpStream
{
public:
    explicit TcpStream(size_t limit = 16384)
        : limit(limit)
    {
    }

    // A SYN: the stream starts after its sequence number. A SYN with another
    // sequence number before any byte came moves the start there (the peer
    // answered a later SYN); once bytes came, it is ignored.
    void Syn(uint32_t seq);
    // A segment's payload. Without a SYN before it, the first segment starts
    // the stream. True when the in-order bytes grew.
    bool Add(uint32_t seq, const uint8_t *data, size_t size);

    // The in-order bytes kept, from the first not yet discarded.
    const uint8_t *Data() const { return bytes.data(); }
    size_t Size() const { return bytes.size(); }
    // The kept in-order bytes reached the bound: no more will come.
    bool Full() const { return bytes.size() >= limit; }
    // Drops `count` bytes from the front; past the kept ones, the stream's
    // next bytes up to that point are skipped as they arrive.
    void Discard(uint64_t count);
    // Frees the memory once the stream is no longer inspected.
    void Release();

    // Heap bytes held now (in-order and held ahead of a gap).
    size_t Memory() const;
    // Segments ahead of a gap not held because too many gaps were open; each
    // such segment counts once, when it is given up.
    uint64_t GivenUp() const { return given_up; }

private:
    static constexpr size_t MAX_HELD = 16; // disjoint ranges held ahead of a gap

    // Bytes at `offset` from `base`, ahead of the in-order ones; held ranges
    // are sorted, and neither overlap nor touch one another.
    struct Held {
        size_t offset;
        std::vector<uint8_t> bytes;
        size_t End() const { return offset + bytes.size(); }
    };

    void Hold(size_t from, const uint8_t *data, size_t size);
    void TakeHeld();

    size_t limit;
    bool started = false;
    bool from_syn = false; // the start came from a SYN
    bool received = false; // a byte came since the start
    uint32_t base = 0; // sequence number of bytes[0]
    std::vector<uint8_t> bytes; // in order from `base`, at most `limit`
    std::vector<Held> held;
    uint64_t given_up = 0;
};

} // namespace ostrel_capture
