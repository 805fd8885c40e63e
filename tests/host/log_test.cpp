// The host's log: what debug mode lets through and how logged values are made safe.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/ozhost.h"
#include "tests/support/host_fixture.h"

namespace {

using HostTest = ostrel_test::HostFixture;

TEST_F(HostTest, DebugOutputOnlyInDebugMode)
{
    oz_printf("%s: always %d\n", "tag", 1);
    oz_dprintf("%s: hidden\n", "tag");
    {
        ozDebugLogStream stream;
        stream << "hidden stream" << std::endl;
    }
    SetDebug(true);
    oz_dprintf("%s: shown\n", "tag");
    {
        ozDebugLogStream stream;
        stream << "shown " << 42 << std::endl;
        stream << "second line" << std::endl;
    }
    EXPECT_EQ(log.Text(), "tag: always 1\ntag: shown\nshown 42\nsecond line\n");
    EXPECT_EQ(log.Lines().size(), 4u);
}

TEST_F(HostTest, LoggedValuesCannotStartLinesOrControlTheTerminal)
{
    struct Case {
        std::string value;
        std::string shown;
    } cases[] = {
        {"x\nplug-in: forged line", "x\\x0aplug-in: forged line"},
        {"x\r\nplug-in: forged", "x\\x0d\\x0aplug-in: forged"},
        {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
        {"bell\a del\x7f", "bell\\x07 del\\x7f"},
        {"tab\tkept", "tab\tkept"},
        {"c1 \xc2\x85 \xc2\x9b", "c1 \\u0085 \\u009b"},
        {"bidi \xe2\x80\xae \xe2\x81\xa6 \xe2\x80\x8f \xd8\x9c", "bidi \\u202e \\u2066 \\u200f \\u061c"},
        {"sep \xe2\x80\xa8", "sep \\u2028"},
        {"bad \xff \xc0\xaf \xed\xa0\x80 \xc3", "bad \\xff \\xc0\\xaf \\xed\\xa0\\x80 \\xc3"},
        {"caf\xc3\xa9 \xe2\x98\x95 \xe6\x97\xa5 \xf0\x9f\x93\xb7",
            "caf\xc3\xa9 \xe2\x98\x95 \xe6\x97\xa5 \xf0\x9f\x93\xb7"},
        {"back\\slash \\x1b", "back\\\\slash \\\\x1b"},
        {"ends in a newline\n", "ends in a newline\\x0a"},
    };
    SetDebug(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value);
        log.Clear();
        oz_printf("%s: %s: label: %s\n", "tag", "00:11:22:33:44:55", c.value.c_str());
        EXPECT_EQ(log.Text(), "tag: 00:11:22:33:44:55: label: " + c.shown + "\n");
        log.Clear();
        oz_dprintf("%s: %s -> %s\n", c.value.c_str(), "a", "b");
        EXPECT_EQ(log.Text(), c.shown + ": a -> b\n");
    }

    // The lines are those the format wrote: its own newlines stay, a value's
    // do not, except the one that ends the whole text.
    log.Clear();
    oz_dprintf("%s: payload:\n%s\n", "tag", "[\n    1\n]");
    EXPECT_EQ(log.Text(), "tag: payload:\n[\\x0a    1\\x0a]\n");
    log.Clear();
    oz_printf("%s", "tag: one line\n");
    oz_printf("%s", "tag: two\nlines\n");
    oz_printf("%s: no newline %s", "tag", "at the end\n");
    EXPECT_EQ(log.Text(), "tag: one line\ntag: two\\x0alines\ntag: no newline at the end\n");

    // A debug stream's chunk is a dump of many lines by design.
    log.Clear();
    {
        ozDebugLogStream stream;
        stream << "first \x1b[2J\n  second\r\n" << std::flush;
    }
    EXPECT_EQ(log.Text(), "first \\x1b[2J\n  second\\x0d\n");

    // Every conversion still formats as printf would.
    log.Clear();
    oz_printf("%s: %d %i %u %lu %lld %zu %5.2f %x %#o %c%c %-4s| %.*s %*d %p %%\n", "t", -3, 4, 7u, 8ul, -9ll,
        size_t(10), 3.14159, 255, 8, 'z', '\n', "ab", 2, "xyz", 3, 5, static_cast<void *>(nullptr));
    EXPECT_EQ(log.Text(), "t: -3 4 7 8 -9 10  3.14 ff 010 z\\x0a ab  | xy   5 (nil) %\n");
}

TEST_F(HostTest, JournalLinesCarryTheirLevelAndNoTimeOfTheirOwn)
{
    using ostrel_standin::JournalText;
    using ostrel_standin::LogLevel;
    EXPECT_EQ(JournalText(LogLevel::Error, "host: poll: bad\n"), "<3>host: poll: bad\n");
    EXPECT_EQ(JournalText(LogLevel::Warning, "w\n"), "<4>w\n");
    EXPECT_EQ(JournalText(LogLevel::Info, "i\n"), "<6>i\n");
    // A dump of many lines: every line is read on its own, so each has the level.
    EXPECT_EQ(JournalText(LogLevel::Debug, "a\n  b\n"), "<7>a\n<7>  b\n");
    // A line written in two texts has one prefix, at its start.
    EXPECT_EQ(JournalText(LogLevel::Info, "no newline "), "<6>no newline ");
    EXPECT_EQ(JournalText(LogLevel::Info, "at the end\n", true), "at the end\n");

    // The daemon's own levels reach the log like oz_printf's texts; debug
    // ones only in debug mode.
    ostrel_standin::LogAt(LogLevel::Warning, "%s: dropped %d\n", "host", 3);
    ostrel_standin::LogAt(LogLevel::Debug, "hidden\n");
    EXPECT_EQ(log.Text(), "host: dropped 3\n");

    // JOURNAL_STREAM counts only when it names stderr itself.
    struct stat info {
    };
    ASSERT_EQ(fstat(STDERR_FILENO, &info), 0);
    const std::string own = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    const char *saved = std::getenv("JOURNAL_STREAM");
    const std::string kept = saved != nullptr ? saved : "";
    for (const std::string &value : {own, std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + 1),
             std::string("junk"), own + "x"}) {
        setenv("JOURNAL_STREAM", value.c_str(), 1);
        EXPECT_EQ(ostrel_standin::StderrIsJournal(), value == own) << value;
    }
    unsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(ostrel_standin::StderrIsJournal());
    if (saved != nullptr) setenv("JOURNAL_STREAM", kept.c_str(), 1);
}

} // namespace
