// Big-endian reads for the packet parsers. The reader never reads past its
// end: a read that would yields zeros and clears Ok(), so a parse checks
// Ok() once where it matters instead of before every field. Header only, so
// that the per-packet reads stay inline.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel_capture {

// The caller has checked that the bytes are there.
inline uint16_t Read16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t Read32(const uint8_t *p)
{
    return uint32_t {p[0]} << 24 | uint32_t {p[1]} << 16 | uint32_t {p[2]} << 8 | p[3];
}

class ByteReader
{
public:
    ByteReader(const uint8_t *data, size_t size)
        : data(data)
        , size(size)
    {
    }

    size_t Left() const { return size - pos; }
    bool Ok() const { return ok; }
    // Bytes read or skipped so far.
    size_t Pos() const { return pos; }
    const uint8_t *Here() const { return data + pos; }

    uint8_t U8()
    {
        if (!Need(1)) return 0;
        return data[pos++];
    }
    uint16_t U16()
    {
        if (!Need(2)) return 0;
        uint16_t value = Read16(data + pos);
        pos += 2;
        return value;
    }
    void Skip(size_t count)
    {
        if (Need(count)) pos += count;
    }
    // The next `count` bytes as a reader of their own.
    ByteReader Sub(size_t count)
    {
        if (!Need(count)) return ByteReader(data, 0);
        ByteReader sub(data + pos, count);
        pos += count;
        return sub;
    }

private:
    bool Need(size_t count)
    {
        if (!ok || size - pos < count) {
            ok = false;
            return false;
        }
        return true;
    }

    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    bool ok = true;
};

} // namespace ostrel_capture
