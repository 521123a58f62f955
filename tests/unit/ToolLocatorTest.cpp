#include <gtest/gtest.h>

#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;

class ToolLocatorTest : public ::testing::Test {
  protected:
    void TearDown() override { setPriorityToolFolder({}); }
};

TEST_F(ToolLocatorTest, OwnToolsFolderWinsOverTheSystemCopy) {
    ScratchFolder folder("tools");
    writeScript(folder / "ffprobe", "#!/bin/sh\n");
    setPriorityToolFolder(folder.path());
    EXPECT_EQ(findTool("ffprobe"), (folder / "ffprobe").string());
    setPriorityToolFolder({});
    EXPECT_EQ(findTool("ffprobe"), "/usr/bin/ffprobe");
}

TEST_F(ToolLocatorTest, CandidateOrder) {
    auto folders = toolSearchFolders();
    ASSERT_GE(folders.size(), 7u);
    auto exe = executableFolder();
    EXPECT_EQ(folders[0], (exe / ".." / "libexec" / "duoscope" / "tools").lexically_normal());
    EXPECT_EQ(folders[1], exe);
    EXPECT_EQ(folders[2], exe / "tools");
    EXPECT_EQ(folders[3], DUOSCOPE_TOOLS_DIR);
    EXPECT_EQ(folders[folders.size() - 3], "/opt/homebrew/bin");
    EXPECT_EQ(folders.back(), "/usr/bin");
}

TEST_F(ToolLocatorTest, FoundOnlyThroughWhich) {
    // Only the search path knows this folder; `which` ends its answer with a line break.
    ScratchFolder folder("which");
    writeScript(folder / "duoscope-path-only-tool", "#!/bin/sh\n");
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (folder.path().string() + ":" + oldPath).c_str(), 1);
    auto found = findTool("duoscope-path-only-tool");
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(found, (folder / "duoscope-path-only-tool").string());
}

TEST_F(ToolLocatorTest, MissingOrNotExecutableIsNothing) {
    EXPECT_FALSE(findTool("duoscope-no-such-tool"));
    EXPECT_FALSE(findTool(""));
    EXPECT_FALSE(findTool("../bin/sh"));
    ScratchFolder folder("noexec");
    writeFile(folder / "duoscope-plain-file", "data");
    setPriorityToolFolder(folder.path());
    EXPECT_FALSE(findTool("duoscope-plain-file"));
}
