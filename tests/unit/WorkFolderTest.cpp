// The work folder's owner record, what a later run removes, what a failure
// keeps; the file-name limit and the number of parallel workers.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "TestSupport.h"
#include "WorkFolder.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

TEST(WorkFolder, OnlyFoldersOfRunsThatAreGoneAreRemoved) {
    ScratchFolder output("work folders");
    fs::path ours = createWorkFolder(output.path());
    EXPECT_TRUE(hasLiveOwner(ours));
    // A folder made by a process that has ended since, as after kill -9.
    pid_t child = ::fork();
    if (child == 0) {
        createWorkFolder(output.path());
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    fs::path kept = output / "Duoscope_0000AAAA";
    fs::create_directories(kept); // no owner: kept on request, never ours to remove
    writeFile(kept / "run.log", "log");
    std::vector<std::string> lines;
    removeAbandonedWorkFolders(output.path(), [&](const std::string& line) { lines.push_back(line); });
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(output.path()))
        left.push_back(entry.path());
    std::sort(left.begin(), left.end());
    std::vector<fs::path> expected{kept, ours};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("left by an interrupted run"), std::string::npos) << lines[0];

    // After a failure: the logs stay, streams and movies go, and so does the owner.
    fs::create_directories(ours / "fa_work");
    writeFile(ours / "fa_work" / "ffmpeg.log", "why it failed");
    writeFile(ours / "source.264", std::string(1000, 'x'));
    writeFile(ours / "sbs.mkv", "movie");
    EXPECT_EQ(keepAfterFailure(ours, false), "logs");
    EXPECT_TRUE(fs::exists(ours / "fa_work" / "ffmpeg.log"));
    EXPECT_FALSE(fs::exists(ours / "source.264"));
    EXPECT_FALSE(fs::exists(ours / "sbs.mkv"));
    EXPECT_FALSE(fs::exists(ours / workFolderOwnerFile));
    fs::path empty = createWorkFolder(output.path());
    EXPECT_EQ(keepAfterFailure(empty, false), "");
    EXPECT_FALSE(fs::exists(empty));
}

TEST(WorkFolder, LongNamesAreCutBeforeTheExtensionOnACharacterBoundary) {
    EXPECT_EQ(fittingFileName("Film.mov", " (2)"), "Film (2).mov");
    // The cut would fall inside the two bytes of "é": the whole character goes.
    EXPECT_EQ(fittingFileName(std::string(250, 'a') + "é_SBS.mkv", ""), std::string(250, 'a') + ".mkv");
    EXPECT_EQ(fittingFileName(std::string(249, 'a') + "é_SBS.mkv", ""), std::string(249, 'a') + "é.mkv");
    EXPECT_EQ(fittingFileName(std::string(251, 'a') + ".mov", " (2)").size(), 255u);
}

TEST(WorkFolder, ParallelWorkersFitTheMemory) {
    auto hd = segmentWorkerPeakBytes(1920, 1080);
    EXPECT_NEAR(hd / 1e9, 0.68, 0.01);
    EXPECT_LT(segmentWorkerPeakBytes(1280, 720), hd);
    // 32 cores and 8 GB: three quarters of it at 0.68 GB a worker.
    EXPECT_EQ(segmentWorkerCount(32, 8'000'000'000ULL, hd), 8);
    EXPECT_EQ(segmentWorkerCount(2, 64'000'000'000ULL, hd), 2);
    EXPECT_EQ(segmentWorkerCount(8, 100'000'000ULL, hd), 1);
}
