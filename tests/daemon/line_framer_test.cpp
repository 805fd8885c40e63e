#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/line_framer.h"

using ostrel_host::LineFramer;

namespace {

// "3:text" for a line, "3:too long" for one over the limit.
std::vector<std::string> Drain(LineFramer &framer)
{
    std::vector<std::string> out;
    LineFramer::Line line;
    while (framer.Next(line)) {
        out.push_back(std::to_string(line.number) + ":"
            + (line.kind == LineFramer::Line::TOO_LONG ? std::string("too long") : line.text));
    }
    return out;
}

std::vector<std::string> Frame(const std::string &input, size_t piece, size_t max_bytes)
{
    LineFramer framer(max_bytes);
    std::vector<std::string> out;
    for (size_t at = 0; at < input.size(); at += piece) {
        framer.Append(input.data() + at, std::min(piece, input.size() - at));
        for (const std::string &line : Drain(framer))
            out.push_back(line);
    }
    framer.End();
    for (const std::string &line : Drain(framer))
        out.push_back(line);
    EXPECT_TRUE(framer.Empty());
    return out;
}

TEST(LineFramerTest, PiecesOfAnySizeGiveTheSameNumberedLines)
{
    // Blank lines and CRs are the reader's business: they are lines here.
    const std::string input
        = "first\n\nthird\r\n" + std::string(10, 'x') + "\n" + std::string(11, 'y') + "\nlast";
    const std::vector<std::string> expected
        = {"1:first", "2:", "3:third\r", "4:" + std::string(10, 'x'), "5:too long", "6:last"};
    for (size_t piece : {1, 2, 3, 7, 10, 11, 12, 64, 1000}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(Frame(input, piece, 10), expected);
    }
}

TEST(LineFramerTest, LastLineCountsOnlyOnceTheInputHasEnded)
{
    LineFramer framer(100);
    framer.Append("a\nb", 3);
    EXPECT_EQ(Drain(framer), std::vector<std::string> {"1:a"});
    EXPECT_FALSE(framer.Empty());
    framer.End();
    EXPECT_EQ(Drain(framer), std::vector<std::string> {"2:b"});
    EXPECT_TRUE(framer.Empty());
    // Nothing after the end is taken, and an ending newline adds no line.
    framer.Append("c\n", 2);
    EXPECT_TRUE(Drain(framer).empty());

    LineFramer whole(100);
    whole.Append("a\n", 2);
    whole.End();
    EXPECT_EQ(Drain(whole), std::vector<std::string> {"1:a"});
}

TEST(LineFramerTest, EndlessLineIsReportedOnceAndHeldWithinTheLimit)
{
    LineFramer framer(100);
    const std::string piece(64, 'z');
    std::vector<std::string> seen;
    for (int i = 0; i < 1000; i++) {
        framer.Append(piece.data(), piece.size());
        for (const std::string &line : Drain(framer))
            seen.push_back(line);
        // Never more than the limit and one piece.
        ASSERT_LE(framer.Held(), 100u + piece.size());
    }
    EXPECT_EQ(seen, std::vector<std::string> {"1:too long"});
    // Its end is dropped with it; the next line has the next number.
    framer.Append("tail\nnext\n", 10);
    EXPECT_EQ(Drain(framer), std::vector<std::string> {"2:next"});

    // Still unfinished at the end of the input: nothing more is reported.
    LineFramer cut(4);
    cut.Append("123456", 6);
    EXPECT_EQ(Drain(cut), std::vector<std::string> {"1:too long"});
    cut.Append("78", 2);
    cut.End();
    EXPECT_TRUE(Drain(cut).empty());
    EXPECT_TRUE(cut.Empty());
}

TEST(LineFramerTest, LineOfExactlyTheLimitPasses)
{
    EXPECT_EQ(Frame("abcd\nabcde\nab", 100, 4), (std::vector<std::string> {"1:abcd", "2:too long", "3:ab"}));
    // Unfinished and at the limit: waits for more rather than being refused.
    LineFramer framer(4);
    framer.Append("abcd", 4);
    EXPECT_TRUE(Drain(framer).empty());
    framer.Append("\n", 1);
    EXPECT_EQ(Drain(framer), std::vector<std::string> {"1:abcd"});
}

} // namespace
