// The first bytes of one direction of a TCP connection, in stream order:
// retransmitted and overlapping bytes trimmed, segments that arrive ahead of
// a gap held until it fills, all within a fixed bound. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ostrel_capture {

class TcpStream
{
public:
    explicit TcpStream(size_t limit = 16384)
        : limit(limit)
    {
    }

    // A SYN: the stream starts after its sequence number. Ignored once the
    // stream has a start.
    void Syn(uint32_t seq);
    // A segment's payload. Without a SYN before it, the first segment starts
    // the stream. True when the in-order bytes grew.
    bool Add(uint32_t seq, const uint8_t *data, size_t size);

    // The in-order bytes kept, from the first not yet discarded.
    const uint8_t *Data() const { return bytes.data(); }
    size_t Size() const { return contiguous; }
    // The kept in-order bytes reached the bound: no more will come.
    bool Full() const { return contiguous >= limit; }
    // Drops `count` bytes from the front; past the kept ones, the stream's
    // next bytes up to that point are skipped as they arrive.
    void Discard(uint64_t count);
    // Frees the memory once the stream is no longer inspected.
    void Release();

private:
    static constexpr size_t MAX_PENDING = 16;

    void Merge();

    size_t limit;
    bool started = false;
    uint32_t base = 0; // sequence number of bytes[0]
    std::vector<uint8_t> bytes; // up to `limit` from `base`; holes where pending has none
    size_t contiguous = 0; // bytes[0, contiguous) are in order
    std::vector<std::pair<size_t, size_t>> pending; // held ranges beyond a gap
};

} // namespace ostrel_capture
