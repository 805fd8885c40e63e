#include "capture/tcp_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel_capture {

void TcpStream::Syn(uint32_t seq)
{
    if (started) return;
    started = true;
    base = seq + 1;
}

bool TcpStream::Add(uint32_t seq, const uint8_t *data, size_t size)
{
    if (size == 0 || data == nullptr) return false;
    if (!started) {
        started = true;
        base = seq;
    }
    // Signed distance in sequence space, so that wrap-around and bytes from
    // before the kept ones both come out right.
    int64_t offset = static_cast<int32_t>(seq - base);
    int64_t end = offset + static_cast<int64_t>(size);
    int64_t have = static_cast<int64_t>(contiguous);
    if (end <= have) return false; // retransmission
    if (offset < have) {
        data += have - offset;
        offset = have;
    }
    if (offset >= static_cast<int64_t>(limit)) return false;
    end = std::min(end, static_cast<int64_t>(limit));
    size_t from = static_cast<size_t>(offset);
    size_t to = static_cast<size_t>(end);
    if (from > contiguous && pending.size() >= MAX_PENDING)
        return false; // too many gaps: wait for a retransmission in order
    if (bytes.size() < to) bytes.resize(to);
    std::memcpy(bytes.data() + from, data, to - from);
    if (from > contiguous) {
        pending.emplace_back(from, to);
        return false;
    }
    contiguous = to;
    Merge();
    return true;
}

void TcpStream::Merge()
{
    bool grew = true;
    while (grew) {
        grew = false;
        for (size_t i = 0; i < pending.size();) {
            if (pending[i].first <= contiguous) {
                contiguous = std::max(contiguous, pending[i].second);
                pending[i] = pending.back();
                pending.pop_back();
                grew = true;
            } else {
                ++i;
            }
        }
    }
}

void TcpStream::Discard(uint64_t count)
{
    if (count == 0 || !started) return;
    size_t in_order = count < contiguous ? contiguous - static_cast<size_t>(count) : 0;
    base += static_cast<uint32_t>(count);
    size_t drop = static_cast<size_t>(std::min<uint64_t>(count, bytes.size()));
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(drop));
    size_t kept = 0;
    for (const auto &range : pending) {
        if (range.second <= count) continue;
        size_t from = range.first > count ? range.first - static_cast<size_t>(count) : 0;
        pending[kept++] = {from, range.second - static_cast<size_t>(count)};
    }
    pending.resize(kept);
    contiguous = in_order;
    Merge();
}

void TcpStream::Release()
{
    std::vector<uint8_t>().swap(bytes);
    std::vector<std::pair<size_t, size_t>>().swap(pending);
    contiguous = 0;
}

} // namespace ostrel_capture
