// The durable-file helpers on their own: what a replacement leaves on disk,
// links followed, temporaries of a cut-short replacement, kept copies.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "fileio/durable_file.h"
#include "tests/support/host_fixture.h"

namespace {

using ostrel_test::ReadFile;

std::vector<std::string> Names(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DurableFileTest, FolderOfAPath)
{
    EXPECT_EQ(ozpFolderOf("cache.json"), ".");
    EXPECT_EQ(ozpFolderOf("/cache.json"), "/");
    EXPECT_EQ(ozpFolderOf("/var/lib/cache.json"), "/var/lib");
    EXPECT_EQ(ozpFolderOf("a/b/"), "a/b");
}

TEST(DurableFileTest, ReplacementLeavesOnlyTheNewPrivateFile)
{
    ostrel_test::TempDir dir;
    const std::string file = dir.File("cache.json");
    std::ofstream(file) << "old";

    ASSERT_EQ(ozpReplaceFile(file, {"{", std::string(3000, 'x'), "}"}), 0);
    EXPECT_EQ(ReadFile(file), "{" + std::string(3000, 'x') + "}");
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string> {"cache.json"});

    // A folder that is gone: the error number, nothing written.
    EXPECT_EQ(ozpReplaceFile(dir.File("gone/cache.json"), {"x"}), ENOENT);
}

TEST(DurableFileTest, LinksAreFollowedToTheFileTheyName)
{
    ostrel_test::TempDir dir;
    std::filesystem::create_directory(dir.File("data"));
    std::filesystem::create_symlink("data/real.json", dir.File("link.json"));
    std::string file;
    ASSERT_EQ(ozpFollowLinks(dir.File("link.json"), file), 0);
    EXPECT_EQ(file, dir.Path() + "/data/real.json");
    ASSERT_EQ(ozpFollowLinks(dir.File("plain.json"), file), 0);
    EXPECT_EQ(file, dir.File("plain.json"));

    std::filesystem::create_symlink("loop.json", dir.File("loop.json"));
    EXPECT_EQ(ozpFollowLinks(dir.File("loop.json"), file), ELOOP);
}

TEST(DurableFileTest, OnlyTemporariesOfTheFileAreRemoved)
{
    ostrel_test::TempDir dir;
    for (const char *name :
        {"cache.json", "cache.json.tmp.Ab12Cd", "cache.json.tmp.long123", "other.json.tmp.Ab12Cd"})
        std::ofstream(dir.File(name)) << "x";
    ozpRemoveStaleTemporaries(dir.File("cache.json"));
    EXPECT_EQ(Names(dir.Path()),
        (std::vector<std::string> {"cache.json", "cache.json.tmp.long123", "other.json.tmp.Ab12Cd"}));
}

TEST(DurableFileTest, KeptCopiesTakeTheFirstFreeName)
{
    ostrel_test::TempDir dir;
    const std::string file = dir.File("cache.json");
    std::string copy;
    for (const std::string &expected : {file + ".bad", file + ".bad.1", file + ".bad.2"}) {
        ASSERT_TRUE(ozpKeepCopy(file, expected, copy));
        EXPECT_EQ(copy, expected);
        EXPECT_EQ(ReadFile(copy), expected);
    }
    errno = 0;
    EXPECT_FALSE(ozpKeepCopy(dir.File("gone/cache.json"), "x", copy));
    EXPECT_EQ(errno, ENOENT);
}

TEST(DurableFileTest, WriteAllSaysWhenTheBytesCannotGo)
{
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    EXPECT_TRUE(ozpWriteAll(pipes[1], "hello"));
    char got[5];
    ASSERT_EQ(read(pipes[0], got, sizeof(got)), 5);
    EXPECT_EQ(std::string(got, 5), "hello");
    close(pipes[0]);
    close(pipes[1]);

    // A descriptor open for reading only.
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_FALSE(ozpWriteAll(fd, "x"));
    EXPECT_EQ(errno, EBADF);
    close(fd);
}

} // namespace
