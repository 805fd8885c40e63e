#include "capture/tcp_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel_capture {

void TcpStream::Syn(uint32_t seq)
{
    if (started && !(from_syn && !received)) return;
    started = true;
    from_syn = true;
    base = seq + 1;
}

bool TcpStream::Add(uint32_t seq, const uint8_t *data, size_t size)
{
    if (size == 0 || data == nullptr) return false;
    if (!started) {
        started = true;
        base = seq;
    }
    received = true;
    // Signed distance in sequence space, so that wrap-around and bytes from
    // before the kept ones both come out right.
    int64_t offset = static_cast<int32_t>(seq - base);
    int64_t end = offset + static_cast<int64_t>(size);
    int64_t have = static_cast<int64_t>(bytes.size());
    if (end <= have) return false; // retransmission
    if (offset < have) {
        data += have - offset;
        offset = have;
    }
    if (offset >= static_cast<int64_t>(limit)) return false;
    end = std::min(end, static_cast<int64_t>(limit));
    size_t from = static_cast<size_t>(offset);
    size_t count = static_cast<size_t>(end) - from;
    if (from == bytes.size() && held.empty()) {
        bytes.insert(bytes.end(), data, data + count);
        return true;
    }
    // Through the held ranges, so that bytes held before win over this copy.
    size_t before = bytes.size();
    Hold(from, data, count);
    TakeHeld();
    return bytes.size() > before;
}

void TcpStream::Hold(size_t from, const uint8_t *data, size_t size)
{
    size_t to = from + size;
    // Ranges [first, last) overlap or touch the new one.
    auto first = std::find_if(held.begin(), held.end(), [from](const Held &h) { return h.End() >= from; });
    auto last = std::find_if(first, held.end(), [to](const Held &h) { return h.offset > to; });
    if (first == last) {
        if (held.size() >= MAX_HELD && from > bytes.size()) {
            ++given_up; // too many gaps: a retransmission in order may bring it again
            return;
        }
        held.insert(first, Held {from, std::vector<uint8_t>(data, data + size)});
        return;
    }
    Held &front = *first;
    const Held &back = *(last - 1);
    if (last - first == 1 && front.offset <= from && to <= front.End()) return; // held already
    size_t low = std::min(from, front.offset);
    size_t high = std::max(to, back.End());
    std::vector<uint8_t> merged(high - low);
    std::memcpy(merged.data() + (from - low), data, size);
    for (auto it = first; it != last; ++it)
        std::memcpy(merged.data() + (it->offset - low), it->bytes.data(), it->bytes.size());
    front.offset = low;
    front.bytes.swap(merged);
    held.erase(first + 1, last);
}

void TcpStream::TakeHeld()
{
    size_t taken = 0;
    while (taken < held.size() && held[taken].offset <= bytes.size()) {
        const Held &h = held[taken++];
        if (h.End() <= bytes.size()) continue;
        bytes.insert(bytes.end(), h.bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() - h.offset),
            h.bytes.end());
    }
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(taken));
}

void TcpStream::Discard(uint64_t count)
{
    if (count == 0 || !started) return;
    base += static_cast<uint32_t>(count);
    size_t drop = static_cast<size_t>(std::min<uint64_t>(count, bytes.size()));
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(drop));
    size_t kept = 0;
    for (Held &h : held) {
        if (h.End() <= count) continue;
        if (h.offset < count) {
            h.bytes.erase(h.bytes.begin(), h.bytes.begin() + static_cast<std::ptrdiff_t>(count - h.offset));
            h.offset = 0;
        } else {
            h.offset -= static_cast<size_t>(count);
        }
        if (&held[kept] != &h) held[kept] = std::move(h);
        ++kept;
    }
    held.erase(held.begin() + static_cast<std::ptrdiff_t>(kept), held.end());
    TakeHeld();
}

void TcpStream::Release()
{
    std::vector<uint8_t>().swap(bytes);
    std::vector<Held>().swap(held);
}

size_t TcpStream::Memory() const
{
    size_t total = bytes.capacity() + held.capacity() * sizeof(Held);
    for (const Held &h : held)
        total += h.bytes.capacity();
    return total;
}

} // namespace ostrel_capture
