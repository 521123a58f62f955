// The Debian package as a user gets it: CPack makes it from this build tree,
// dpkg-deb unpacks it into a staging root, and the program runs from there
// with no display, finding the tools the package put beside it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <set>

#include "CommandLineRun.h"
#include "TestSupport.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

std::set<std::string> names(const fs::path& folder) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        found.insert(entry.path().filename().string());
    return found;
}

bool isExecutable(const fs::path& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

class Package : public CommandLineRun {
  protected:
    void SetUp() override {
        CommandLineRun::SetUp();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            unsetenv(name);
    }

    ScratchFolder work{"package"};
};

} // namespace

// One test, because making the package is most of its time.
TEST_F(Package, InstallsAProgramThatRunsFromItsOwnTree) {
    auto made =
        runCommand(DUOSCOPE_CPACK, {"--config", std::string(DUOSCOPE_BINARY_DIR) + "/CPackConfig.cmake", "-B",
                                    (work / "cpack").string()});
    ASSERT_EQ(made.status, 0) << made.output;
    const fs::path deb = work / "cpack" / ("duoscope_" DUOSCOPE_VERSION "_amd64.deb");
    ASSERT_TRUE(fs::exists(deb)) << made.output;

    // Shared libraries of the program and of the tools come from dpkg-shlibdeps;
    // the programs the engine runs are named.
    auto fields =
        runCommand("dpkg-deb", {"-f", deb.string(), "Package", "Version", "Architecture", "Depends"});
    ASSERT_EQ(fields.status, 0) << fields.output;
    EXPECT_NE(
        fields.standardOutput.find("Package: duoscope\nVersion: " DUOSCOPE_VERSION "\nArchitecture: amd64\n"),
        std::string::npos)
        << fields.output;
    for (const char* dependency : {"ffmpeg", "procps", "libqt6core6", "libx265-"})
        EXPECT_NE(fields.standardOutput.find(dependency), std::string::npos) << dependency << "\n"
                                                                             << fields.output;

    const fs::path root = work / "staging root"; // a blank in the path, as a user may choose
    auto unpacked = runCommand("dpkg-deb", {"-x", deb.string(), root.string()});
    ASSERT_EQ(unpacked.status, 0) << unpacked.output;
    const fs::path usr = root / "usr";
    EXPECT_EQ(names(root), std::set<std::string>{"usr"});
    EXPECT_EQ(names(usr), (std::set<std::string>{"bin", "libexec", "share"}));
    EXPECT_EQ(names(usr / "bin"), std::set<std::string>{"Duoscope"});
    const fs::path tools = usr / "libexec/duoscope/tools";
    EXPECT_EQ(names(tools), names(DUOSCOPE_TOOLS_DIR));
    for (const auto& tool : names(tools))
        EXPECT_TRUE(isExecutable(tools / tool)) << tool;

    // What the desktop and the package tools read validates.
    const fs::path share = usr / "share";
    EXPECT_TRUE(fs::exists(share / "icons/hicolor/scalable/apps/duoscope.svg"));
    EXPECT_TRUE(fs::exists(share / "doc/duoscope/copyright"));
    auto desktop = runCommand("desktop-file-validate", {(share / "applications/duoscope.desktop").string()});
    EXPECT_EQ(desktop.status, 0) << desktop.output;
    EXPECT_EQ(desktop.output, "");
    auto metainfo = runCommand("appstreamcli", {"validate-tree", "--no-net", root.string()});
    EXPECT_EQ(metainfo.status, 0) << metainfo.output;
    EXPECT_EQ(names(share / "metainfo").size(), 1u);
    // groff's warnings are what lintian reports on a manual page.
    auto page =
        runCommand("/bin/sh", {"-c",
                               "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \"$0\" "
                               ">/dev/null && man -l \"$0\"",
                               (share / "man/man1/Duoscope.1.gz").string()});
    EXPECT_EQ(page.status, 0) << page.output;
    EXPECT_EQ(page.standardError, "");
    for (const char* status : {"EXIT STATUS", "130", "143", "129"})
        EXPECT_NE(page.standardOutput.find(status), std::string::npos) << status << "\n" << page.output;

    const std::string program = (usr / "bin/Duoscope").string();
    auto version = runCommand(program, {"--version"});
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_NE(version.standardOutput.find(DUOSCOPE_VERSION), std::string::npos) << version.output;

    // A real Blu-ray 3D conversion: demultiplexing, MVC decoding and the
    // side-by-side join all run programs of the staging root's tools folder.
    storeTarget("SBS 3D (MKV)");
    const fs::path output = work / "out";
    auto converted = runCommand(program, {"--input", (kitSmallSet / "cabac_b/movie.m2ts").string(),
                                          "--auto-convert", "--output", output.string()});
    ASSERT_EQ(converted.status, 0) << converted.output;
    EXPECT_NE(converted.output.find(tools.string() + "/"), std::string::npos) << converted.output;
    EXPECT_EQ(converted.output.find(DUOSCOPE_TOOLS_DIR), std::string::npos) << converted.output;
    ASSERT_EQ(entries(output), std::vector<std::string>{"movie_SBS.mkv"});
    auto eyes =
        runCommand(std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck",
                   {"--set", kitSmallSet.string(), "--min-psnr", "35", (output / "movie_SBS.mkv").string()});
    EXPECT_EQ(eyes.status, 0) << eyes.output;
}
