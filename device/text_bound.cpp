#include "device/text_bound.h"

namespace {

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

} // namespace

std::string ozpBoundText(const std::string &text, size_t max_bytes)
{
    if (text.size() <= max_bytes) return text;

    // The byte at the cut starts the first character left out; backing over
    // continuation bytes finds the start of a sequence the cut would split.
    // A UTF-8 sequence has at most three of them: beyond that the text is not
    // UTF-8 there and any cut is as good as another.
    size_t cut = max_bytes;
    for (int back = 0; back < 3 && cut > 0 && IsContinuation(static_cast<unsigned char>(text[cut])); back++)
        cut--;
    if (IsContinuation(static_cast<unsigned char>(text[cut]))) cut = max_bytes;
    return text.substr(0, cut);
}
