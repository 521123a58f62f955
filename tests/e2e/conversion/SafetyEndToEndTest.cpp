// What a hostile user tries through the command line: outputs named like the
// source, interrupts, concurrent runs, a full disk, relative paths, duration
// limits, inputs that are not 3D movies or not files. Judged by exit status,
// the files left, the processes left and the frames of what was written.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ChildProcess.h"
#include "CommandLineRun.h"
#include "TestSupport.h"

using namespace duoscope;
using namespace duoscope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path set = kitSmallSet;
const std::string sbsTarget = "SBS 3D (MKV)", visionTarget = "Apple Vision Pro (MV-HEVC)";

class Safety : public CommandLineRun {
  protected:
    fs::path copyOfKit(const std::string& name, const fs::path& to) {
        fs::create_directories(to.parent_path());
        fs::copy_file(set / name, to);
        return to;
    }
    static long long framesOf(const fs::path& movie) {
        auto probe = runCommand("/usr/bin/ffprobe",
                                {"-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                 "stream=nb_read_packets", "-of", "csv=p=0", movie.string()});
        return probe.status == 0 ? std::atoll(probe.output.c_str()) : -1;
    }
    static void expectFailureNaming(const CommandResult& result, const std::string& cause) {
        EXPECT_EQ(result.status, 1) << result.output;
        auto line = result.output.find("❌ Pipeline failed: ");
        ASSERT_NE(line, std::string::npos) << result.output;
        EXPECT_NE(result.output.substr(line, result.output.find('\n', line) - line).find(cause),
                  std::string::npos)
            << result.output;
    }

    ScratchFolder work{"safety"};
};

} // namespace

TEST_F(Safety, TheSourceIsNeverReplacedAndReRunsTakeTheNextFreeName) {
    // The MV-HEVC movie of fa.mov would be fa.mov, in the source's own folder,
    // given as relative paths from there.
    storeTarget(visionTarget);
    fs::path folder = work / "films";
    fs::create_directories(folder);
    auto made = runCommand("/usr/bin/ffmpeg", {"-v", "error", "-i", (set / "frame_alternate.mkv").string(),
                                               "-c", "copy", (folder / "fa.mov").string()});
    ASSERT_EQ(made.status, 0) << made.output;
    std::string original = readFile(folder / "fa.mov");
    // The side-by-side step is not kept unless asked for.
    for (const std::string& movie : {"fa (2).mov", "fa (3).mov"}) {
        auto result = convert("fa.mov", ".", {}, folder);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_EQ(readFile(folder / "fa.mov"), original);
        EXPECT_EQ(framesOf(folder / movie), 48);
    }
    EXPECT_EQ(entries(folder), (std::vector<std::string>{"fa (2).mov", "fa (3).mov", "fa.mov"}));
    // A bare name that looks like an option reaches every tool as a path.
    copyOfKit("sbs_lr.mkv", folder / "-dash.mkv");
    auto dashed = convert("-dash.mkv", "out", {}, folder);
    ASSERT_EQ(dashed.status, 0) << dashed.output;
    EXPECT_EQ(framesOf(folder / "out" / "-dash_MV-HEVC.mov"), 48);

    // A hard link and a symbolic link that carry the copy's name are the source too.
    storeTarget(sbsTarget);
    for (bool hard : {true, false}) {
        fs::path linked = work / (hard ? "hard" : "soft");
        fs::path source = copyOfKit("sbs_lr.mkv", linked / "clip.mkv");
        hard ? fs::create_hard_link(source, linked / "clip_SBS.mkv")
             : fs::create_symlink(source, linked / "clip_SBS.mkv");
        for (int run = 0; run < 2; ++run) {
            auto result = convert(source.string(), linked.string());
            ASSERT_EQ(result.status, 0) << result.output;
        }
        EXPECT_EQ(readFile(source), readFile(set / "sbs_lr.mkv"));
        EXPECT_EQ(entries(linked), (std::vector<std::string>{"clip.mkv", "clip_SBS (2).mkv",
                                                             "clip_SBS (3).mkv", "clip_SBS.mkv"}));
    }
    // StereoPacker on its own refuses an output that is its input under another name.
    fs::path movie = copyOfKit("sbs.mov", work / "packer" / "sbs.mov");
    fs::create_hard_link(movie, work / "packer" / "out.mov");
    auto packed = runCommand(std::string(DUOSCOPE_TOOLS_DIR) + "/StereoPacker",
                             {movie.string(), (work / "packer" / "out.mov").string(), "0.5"});
    EXPECT_EQ(packed.status, 1) << packed.output;
    EXPECT_EQ(readFile(movie), readFile(set / "sbs.mov"));
}

TEST_F(Safety, InterruptsLeaveNoToolRunningAndNoOutput) {
    // Sources long enough to be interrupted in the middle of their work.
    auto made =
        runCommand("/usr/bin/ffmpeg",
                   words("-v error -f lavfi -i testsrc2=s=640x360:r=48000/1001:d=20 -f lavfi -i "
                         "testsrc2=s=1280x360:r=24000/1001:d=20 -map 0:v -c:v libx264 -preset ultrafast "
                         "-x264-params frame-packing=5") +
                       std::vector<std::string>{(work / "fa_long.mkv").string()} +
                       words("-map 1:v -c:v libx264 -preset ultrafast") +
                       std::vector<std::string>{(work / "sbs_long.mp4").string()});
    ASSERT_EQ(made.status, 0) << made.output;
    storeTarget(visionTarget);
    struct Case {
        std::string name, source;
        std::vector<int> signals;
        int status;
    };
    // A terminal's interrupt, a polite stop, a hang-up, a second Ctrl-C during
    // the clean-up, and a kill that allows no clean-up at all.
    std::vector<Case> cases{{"int", "fa_long.mkv", {SIGINT}, 130},
                            {"term", "sbs_long.mp4", {SIGTERM}, 143},
                            {"hup", "fa_long.mkv", {SIGHUP}, 129},
                            {"twice", "sbs_long.mp4", {SIGINT, SIGINT}, 130},
                            {"kill", "fa_long.mkv", {SIGKILL}, SIGKILL}};
    std::vector<std::shared_ptr<ChildProcess>> runs;
    for (const auto& c : cases) {
        fs::create_directories(work / c.name);
        fs::copy_file(work / c.source, work / c.name / c.source);
        runs.push_back(ChildProcess::create({duoscopeProgram,
                                             {"--input", (work / c.name / c.source).string(),
                                              "--auto-convert", "--output", (work / c.name / "out").string()},
                                             std::nullopt,
                                             ChildProcess::Output::pipe,
                                             ChildProcess::Output::toStdout}));
        runs.back()->launch();
    }
    // Interrupted in the middle of their work: once each run has a tool running in its work folder.
    for (const auto& c : cases)
        waitUntil(
            [&] { return processWithCommandLineExists((work / c.name / "out" / "Duoscope_").string()); },
            60s);
    for (size_t i = 0; i < cases.size(); ++i)
        for (int signalNumber : cases[i].signals) {
            ::kill(-runs[i]->processIdentifier(), signalNumber);
            std::this_thread::sleep_for(50ms);
        }
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        ASSERT_TRUE(runs[i]->waitUntilExit(10s)) << c.name;
        EXPECT_TRUE(waitUntil([&] { return !processWithCommandLineExists((work / c.name).string()); }, 5s))
            << c.name << ": a tool is still running";
        EXPECT_EQ(runs[i]->terminationStatus(), c.status) << c.name << "\n"
                                                          << runs[i]->collectedStandardOutput();
        if (c.signals.size() == 1 && c.signals[0] != SIGKILL) {
            EXPECT_NE(runs[i]->collectedStandardOutput().find("❌ Pipeline failed: Conversion was cancelled"),
                      std::string::npos)
                << c.name << "\n"
                << runs[i]->collectedStandardOutput();
        }
    }
    for (const auto& c : cases) {
        // A run that was given no time to clean up may leave its work folder,
        // but no movie under a final name.
        auto finalEntries = [&] {
            auto left = entries(work / c.name / "out");
            if (c.signals[0] == SIGKILL || c.signals.size() == 2)
                std::erase_if(left, [](const std::string& name) { return name.starts_with("Duoscope_"); });
            return left;
        };
        waitUntil([&] { return finalEntries().empty(); }, 15s);
        EXPECT_TRUE(finalEntries().empty()) << c.name << ": " << ::testing::PrintToString(finalEntries());
    }
}

TEST_F(Safety, ConcurrentRunsIntoOneFolderEndWithCorrectMovies) {
    storeTarget(sbsTarget);
    fs::path source = copyOfKit("frame_alternate.mkv", work / "in" / "fa.mkv");
    fs::path output = work / "out";
    CommandResult results[2];
    std::thread other([&] { results[1] = convert(source.string(), output.string()); });
    results[0] = convert(source.string(), output.string());
    other.join();
    for (const auto& result : results)
        EXPECT_EQ(result.status, 0) << result.output;
    // Neither run writes over the other's movie.
    EXPECT_EQ(entries(output), (std::vector<std::string>{"fa_SBS (2).mkv", "fa_SBS.mkv"}));
    for (const std::string name : {"fa_SBS (2).mkv", "fa_SBS.mkv"}) {
        auto check = runCommand(std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck",
                                {"--set", set.string(), (output / name).string()});
        EXPECT_EQ(check.status, 0) << check.output;
    }
}

TEST_F(Safety, AFullDiskIsAFailureAndLeavesNoMovie) {
    fs::path disk = work / "disk";
    fs::create_directories(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
    struct Case {
        std::string source, target;
        size_t room = 64 * 1024;
    };
    // Room for the work folder and a little of the movie, not for all of it;
    // the Blu-ray title's two views fit, its segments and movie do not.
    for (const auto& c : {Case{"frame_alternate.mkv", sbsTarget}, Case{"sbs_lr.mkv", sbsTarget},
                          Case{"sbs.mp4", visionTarget}, Case{"cabac_b/movie.m2ts", sbsTarget, 200 * 1024}}) {
        storeTarget(c.target);
        writeFile(disk / "filler", std::string(2 * 1024 * 1024 - c.room, 'x'));
        auto result = convert((set / c.source).string(), (disk / "out").string());
        expectFailureNaming(result, "No space left on device");
        for (const auto& name : entries(disk / "out"))
            EXPECT_FALSE(name.ends_with(".mkv") || name.ends_with(".mov") || name.ends_with(".mp4")) << name;
        fs::remove_all(disk / "out");
        fs::remove(disk / "filler");
    }
    ::umount(disk.c_str());
}

TEST_F(Safety, DurationLimitsEveryRouteAndNoneBelowOne) {
    struct Case {
        std::string source, target, duration, output;
        long long frames;
    };
    for (const auto& c : {Case{"sbs_lr.mkv", sbsTarget, "1", "sbs_lr_SBS.mkv", 24},
                          Case{"sbs.mp4", visionTarget, "1", "sbs_MV-HEVC.mov", 24},
                          Case{"frame_alternate.mkv", sbsTarget, "0", "frame_alternate_SBS.mkv", 48}}) {
        storeTarget(c.target);
        fs::path output = work / ("out" + c.duration + c.output);
        auto result = convert((set / c.source).string(), output.string(), {"--duration", c.duration});
        ASSERT_EQ(result.status, 0) << result.output;
        // A stream copy may keep a few reordered pictures past the cut.
        auto frames = framesOf(output / c.output);
        EXPECT_GE(frames, c.frames - 1) << c.source << " --duration " << c.duration;
        EXPECT_LE(frames, c.frames == 48 ? 48 : 30) << c.source << " --duration " << c.duration;
    }
}

TEST_F(Safety, InputsThatAreNotStereoMoviesOrNotFilesFailAtOnce) {
    storeTarget(sbsTarget);
    auto made = runCommand("/usr/bin/ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=320x180:d=1",
                                               "-f", "lavfi", "-i", "sine=d=1", (work / "flat.mp4").string(),
                                               "-map", "1", (work / "voice.m4a").string()});
    ASSERT_EQ(made.status, 0) << made.output;
    writeFile(work / "empty.m2ts", "");
    writeFile(work / "noise.mkv", std::string(4096, '\x5a'));
    for (const char* name : {"flat.mp4", "voice.m4a", "empty.m2ts", "noise.mkv"}) {
        auto result = convert((work / name).string(), (work / "out").string());
        expectFailureNaming(result, "No stereoscopic 3D video found in " + (work / name).string());
    }
    ASSERT_EQ(::mkfifo((work / "pipe.mkv").c_str(), 0644), 0);
    for (const auto& input : {(work / "pipe.mkv").string(), std::string("/dev/zero")}) {
        auto start = std::chrono::steady_clock::now();
        expectFailureNaming(convert(input, (work / "out").string()), "not a regular file");
        auto analysis = runCommand(duoscopeProgram, {"--analyze", input});
        EXPECT_EQ(analysis.status, 1);
        EXPECT_NE(analysis.output.find("ERROR: Source is a"), std::string::npos) << analysis.output;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    EXPECT_TRUE(entries(work / "out").empty());
}
