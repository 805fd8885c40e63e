// The plug-in is built against the host's declarations alone: a real host
// has no stand-in controls, so plug-in code that includes one would build
// here and fail there. Likewise the host headers name nothing of the
// stand-in, so that a real host library replaces it at link time alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/host_fixture.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> plugin_folders = {"plugin", "device", "config", "report"};

bool IsSource(const fs::path &path)
{
    const std::string ext = path.extension().string();
    return ext == ".h" || ext == ".hpp" || ext == ".cpp" || ext == ".cc" || ext == ".inc";
}

struct Scan {
    size_t files = 0;
    std::vector<std::string> findings; // "folder/file:line: text"
};

// Each line of the file that matches `pattern`, as "path:line: text".
void ScanFile(const fs::path &path, const fs::path &root, const std::regex &pattern, Scan &scan)
{
    scan.files++;
    std::ifstream file(path);
    std::string line;
    for (size_t number = 1; std::getline(file, line); number++) {
        if (std::regex_search(line, pattern))
            scan.findings.push_back(
                fs::relative(path, root).string() + ":" + std::to_string(number) + ": " + line);
    }
}

// Every include of a stand-in header in the sources under root/folder.
Scan ScanForStandinIncludes(const fs::path &root, const std::vector<std::string> &folders)
{
    static const std::regex standin_include(R"(^\s*#\s*include\s*[<"][^">]*host/standin/)");
    Scan scan;
    for (const std::string &folder : folders) {
        if (!fs::is_directory(root / folder)) {
            scan.findings.push_back(folder + ": not a folder under " + root.string());
            continue;
        }
        for (const auto &entry : fs::recursive_directory_iterator(root / folder)) {
            if (entry.is_regular_file() && IsSource(entry.path()))
                ScanFile(entry.path(), root, standin_include, scan);
        }
    }
    return scan;
}

// Every mention of the stand-in ("standin", "stand-in", any case) in the
// headers directly under root/host; the stand-in's own folder is not theirs.
Scan ScanHostHeaders(const fs::path &root)
{
    static const std::regex standin_word("stand-?in(?!g)", std::regex::icase);
    Scan scan;
    for (const auto &entry : fs::directory_iterator(root / "host")) {
        if (entry.is_regular_file() && entry.path().extension() == ".h")
            ScanFile(entry.path(), root, standin_word, scan);
    }
    return scan;
}

std::string Joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

TEST(PluginBoundaryTest, PluginSourcesIncludeNoStandinHeader)
{
    Scan scan = ScanForStandinIncludes(OSTREL_SOURCE_DIR, plugin_folders);
    // A wrong source folder would find nothing and pass for nothing.
    EXPECT_GT(scan.files, 20u);
    EXPECT_TRUE(scan.findings.empty()) << "plug-in code includes stand-in headers:\n"
                                       << Joined(scan.findings);
}

TEST(PluginBoundaryTest, ScanNamesEachOffendingFileAndLine)
{
    ostrel_test::TempDir dir;
    fs::create_directories(fs::path(dir.Path()) / "device" / "deep");
    fs::create_directories(fs::path(dir.Path()) / "report");
    dir.Write("device/deep/a.cpp",
        "#include \"host/oz_log.h\"\n"
        "// host/standin/standin.h is for tests only\n"
        "  #  include <host/standin/control.h>\n");
    dir.Write("report/b.h", "#pragma once\n#include \"host/standin/escape.h\" // escape\n");
    dir.Write("report/notes.txt", "#include \"host/standin/standin.h\"\n");

    Scan scan = ScanForStandinIncludes(dir.Path(), {"device", "report"});
    EXPECT_EQ(scan.files, 2u);
    EXPECT_EQ(Joined(scan.findings),
        "device/deep/a.cpp:3:   #  include <host/standin/control.h>\n"
        "report/b.h:2: #include \"host/standin/escape.h\" // escape\n");

    // A missing folder is a finding, not a silent pass.
    scan = ScanForStandinIncludes(dir.Path(), {"plugin"});
    ASSERT_EQ(scan.findings.size(), 1u);
    EXPECT_EQ(scan.findings[0].rfind("plugin: not a folder", 0), 0u) << scan.findings[0];
}

TEST(PluginBoundaryTest, HostHeadersNameNoStandin)
{
    Scan scan = ScanHostHeaders(OSTREL_SOURCE_DIR);
    EXPECT_GE(scan.files, 10u);
    EXPECT_TRUE(scan.findings.empty()) << "host headers name the stand-in:\n" << Joined(scan.findings);

    ostrel_test::TempDir dir;
    fs::create_directories(fs::path(dir.Path()) / "host" / "standin");
    dir.Write("host/a.h", "class ostrel_standin::Access;\n// understanding\n// set by the Stand-In\n");
    dir.Write("host/standin/b.h", "namespace ostrel_standin {}\n");
    scan = ScanHostHeaders(dir.Path());
    EXPECT_EQ(scan.files, 1u);
    EXPECT_EQ(Joined(scan.findings),
        "host/a.h:1: class ostrel_standin::Access;\n"
        "host/a.h:3: // set by the Stand-In\n");
}

} // namespace
