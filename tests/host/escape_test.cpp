#include <gtest/gtest.h>

#include "host/standin/escape.h"

namespace {

using ostrel_standin::EscapeControls;

TEST(EscapeControlsTest, PlainTextAndPrintableUnicodeStayAsTheyAre)
{
    EXPECT_EQ(EscapeControls(""), "");
    EXPECT_EQ(EscapeControls("printer-2 (HP) ~!@#$%^&*"), "printer-2 (HP) ~!@#$%^&*");
    // Two-, three- and four-byte characters next to the escaped ranges.
    EXPECT_EQ(EscapeControls("caf\xc3\xa9 \xc2\xa0 \xe2\x80\x8d \xe2\x80\xaf \xe6\x97\xa5 \xf0\x9f\x98\x80"),
        "caf\xc3\xa9 \xc2\xa0 \xe2\x80\x8d \xe2\x80\xaf \xe6\x97\xa5 \xf0\x9f\x98\x80");
}

TEST(EscapeControlsTest, ControlsThatForgeLinesOrDriveATerminalBecomeVisible)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"a\nb", "a\\x0ab"}, {"a\r\tb", "a\\x0d\\x09b"}, {std::string("a\0b", 3), "a\\x00b"},
        {"\x1b[31mred", "\\x1b[31mred"}, {"del\x7f", "del\\x7f"},
        {"back\\x1b", "back\\\\x1b"}, // a literal escape cannot pass for one
        {"c1 \xc2\x80 \xc2\x9b \xc2\x9f", "c1 \\u0080 \\u009b \\u009f"},
        {"\xe2\x80\x8e\xe2\x80\x8f", "\\u200e\\u200f"}, // LRM, RLM
        {"\xe2\x80\xaa\xe2\x80\xae", "\\u202a\\u202e"}, // LRE, RLO
        {"\xe2\x81\xa6\xe2\x81\xa9", "\\u2066\\u2069"}, // LRI, PDI
        {"\xd8\x9c", "\\u061c"}, // Arabic letter mark
        {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"}, // line and paragraph separators
    };
    for (const auto &c : cases)
        EXPECT_EQ(EscapeControls(c.in), c.out) << c.out;
}

TEST(EscapeControlsTest, BytesThatAreNotUtf8AreEscapedOneByOne)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"\x80x", "\\x80x"}, // stray continuation byte
        {"\xc3", "\\xc3"}, // cut at the end
        {"\xe2\x80x", "\\xe2\\x80x"}, // cut in the middle
        {"\xc0\xaf", "\\xc0\\xaf"}, // overlong '/'
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"}, // overlong three-byte form
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // UTF-16 surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"}, // past U+10FFFF
        {"\xff\xfe", "\\xff\\xfe"},
        {"\xc2\xc2\x85", "\\xc2\\u0085"}, // a bad lead does not swallow the next character
    };
    for (const auto &c : cases)
        EXPECT_EQ(EscapeControls(c.in), c.out) << c.out;
}

} // namespace
