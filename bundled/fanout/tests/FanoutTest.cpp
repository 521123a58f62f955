// fanout-run.sh on its own: the segments' pictures against one decode of the
// whole stream, a failing worker, and termination of the process group.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "TestSupport.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path tools = DUOSCOPE_TOOLS_DIR;
const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small";

std::vector<std::string> scriptArguments(const fs::path& stream, const fs::path& output,
                                         const fs::path& work) {
    return {(tools / "fanout-run.sh").string(),
            stream.string(),
            (kit / "cabac_b" / "movie.m2ts").string(),
            output.string(),
            "--width",
            "320",
            "--height",
            "176",
            "--fps",
            "24000/1001",
            "--quality",
            "80",
            "--crf",
            "20",
            "--speed",
            "medium",
            "--audio-args",
            "-c:a copy",
            "--workdir",
            work.string()};
}

// A tools folder of real stream tools, the script, and a stand-in viewpump.
fs::path toolsWithViewpump(const ScratchFolder& folder, const std::string& viewpumpBody) {
    fs::path dir = folder / "tools";
    fs::create_directories(dir);
    for (const char* name : {"fanout-run.sh", "fanout-worker.sh", "twinrow", "unitprobe", "segmentplan",
                             "segmentjoin", "unitmerge"})
        fs::create_symlink(tools / name, dir / name);
    writeScript(dir / "viewpump", "#!/bin/bash\n" + viewpumpBody);
    return dir;
}

bool isEmptyFolder(const fs::path& folder) {
    return fs::is_empty(folder);
}

} // namespace

TEST(Fanout, SegmentsGiveThePicturesOfOneDecode) {
    if (!fs::exists(tools / "viewpump")) GTEST_SKIP() << "viewpump is not built";
    ScratchFolder work("fanout segments");
    struct Case {
        fs::path stream;
        int width, height;
        std::string segmentSize;
        bool dual = false;
    };
    std::vector<Case> cases;
    for (const char* profile : {"open_gop", "pyramid_8x8", "slices4"}) {
        cases.push_back({kit / profile / "interleaved.264", 320, 176, "5"});
        cases.push_back({kit / profile / "interleaved.264", 320, 176, "7", true});
    }
    fs::path mvc = DUOSCOPE_TESTDATA_DIR "/mvc";
    // Real two-camera streams: a non-IDR anchor after the first picture, and an IDR every 8 with slices.
    cases.push_back({mvc / "MVCDS-4.264", 640, 480, "1"});
    cases.push_back({mvc / "mvc_s4_cabac_idr8_slices_ivf0_320x240.264", 320, 240, "4"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream.string() + (c.dual ? " (two view files)" : ""));
        std::string size = std::to_string(c.width) + " " + std::to_string(c.height);
        auto single = runCommand(
            "/bin/bash", {"-c", "set -o pipefail; '" + (tools / "viewpump").string() + "' -p InputFile='" +
                                    c.stream.string() + "' -p DecodeAllLayers=1 2>/dev/null | '" +
                                    (tools / "twinrow").string() + "' " + size +
                                    " 2>/dev/null | ffmpeg -loglevel error -f rawvideo "
                                    "-pix_fmt yuv420p -s " +
                                    std::to_string(2 * c.width) + "x" + std::to_string(c.height) +
                                    " -i - -f framemd5 - | awk '!/^#/ { print $NF }'"});
        ASSERT_EQ(single.status, 0) << single.output;
        fs::path sums = work / "segments.md5";
        auto arguments = scriptArguments(c.stream, sums, work.path());
        arguments[5] = std::to_string(c.width);
        arguments[7] = std::to_string(c.height);
        arguments.insert(arguments.end(), {"--frame-md5", "--segment-size", c.segmentSize});
        if (c.dual) {
            fs::path base = work / "base.264", dependent = work / "dependent.mvc";
            ASSERT_EQ(runCommand((tools / "twinsever").string(),
                                 {c.stream.string(), base.string(), dependent.string()})
                          .status,
                      0);
            arguments.insert(arguments.end(), {"--dual-split", base.string(), dependent.string()});
        }
        auto run = runCommand("/bin/bash", arguments);
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(readFile(sums), single.output);
        for (const std::string& line :
             std::vector<std::string>{"Phase 1", "Split into", "worker_1 done", "Phase 3", "COMPLETE",
                                      "Total time:", "Output: " + sums.string()})
            EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
        // The work lines the engine turns into progress: never falling, and whole at the end.
        long long lastDone = -1, done = 0, total = 0, finished = 0, segments = 0;
        std::istringstream lines(run.standardOutput);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with("PROGRESS: ")) continue;
            ASSERT_EQ(std::sscanf(line.c_str(), "PROGRESS: %lld/%lld frames, %lld/%lld segments", &done,
                                  &total, &finished, &segments),
                      4)
                << line;
            EXPECT_GE(done, lastDone) << line;
            lastDone = done;
        }
        EXPECT_EQ(done, total);
        EXPECT_GE(total,
                  static_cast<long long>(std::count(single.output.begin(), single.output.end(), '\n')));
        EXPECT_EQ(finished, segments);
        EXPECT_GT(segments, 1);
        fs::remove(sums);
        for (const auto& entry : fs::directory_iterator(work.path()))
            EXPECT_FALSE(entry.path().filename().string().starts_with("fanout.")) << "scratch left behind";
    }
}

TEST(Fanout, AFailingWorkerFailsTheRunAndNamesIt) {
    ScratchFolder folder("fanout failure");
    fs::path work = folder / "work", out = folder / "out";
    fs::create_directories(work);
    fs::create_directories(out);
    // Segment 1 fails; the others would run for a long time and must be stopped.
    fs::path dir = toolsWithViewpump(
        folder, "[[ $* == *seg1.264* ]] && { echo 'viewpump: broken slice in picture 3' >&2;"
                " exit 1; }\nexec -a fanout-test-slow-worker sleep 60\n");
    auto arguments = scriptArguments(kit / "cabac_b" / "interleaved.264", out / "Movie_SBS.mkv", work);
    arguments[0] = (dir / "fanout-run.sh").string();
    arguments.insert(arguments.end(), {"--segment-size", "12", "--workers", "3"});
    auto run = runCommand("/bin/bash", arguments);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(
        run.output.find("ERROR: segment 1 (access units 12-23): viewpump exited with status 1: viewpump: "
                        "broken slice in picture 3"),
        std::string::npos)
        << run.output;
    EXPECT_TRUE(isEmptyFolder(out)) << "nothing may be left under the output's name";
    EXPECT_TRUE(isEmptyFolder(work));
    EXPECT_FALSE(processWithCommandLineExists("fanout-test-slow-worker"));

    // An encoder that refuses its settings is the cause, not the stages
    // before it that lost their reader.
    arguments = scriptArguments(kit / "cabac_b" / "interleaved.264", out / "movie.mov", work);
    arguments.insert(arguments.end(), {"--mvhevc", "--segment-size", "12"});
    run = runCommand("/bin/bash", arguments);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("encoder exited with status 1: ERROR: --quality must lie between 0 and 1"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(isEmptyFolder(out));
}

TEST(Fanout, TerminatingTheProcessGroupStopsEveryWorker) {
    ScratchFolder folder("fanout termination");
    fs::path work = folder / "work", out = folder / "out";
    fs::create_directories(work);
    fs::create_directories(out);
    fs::path dir = toolsWithViewpump(folder, "exec -a fanout-test-busy-worker sleep 60\n");
    auto arguments = scriptArguments(kit / "cabac_b" / "interleaved.264", out / "Movie_SBS.mkv", work);
    arguments[0] = (dir / "fanout-run.sh").string();
    arguments.insert(arguments.end(), {"--segment-size", "12"});

    // Started as the engine starts it: its own process group, output on a pipe.
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setpgid(0, 0);
        dup2(lines[1], STDOUT_FILENO);
        close(lines[0]);
        std::vector<char*> argv{const_cast<char*>("/bin/bash")};
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv("/bin/bash", argv.data());
        _exit(127);
    }
    close(lines[1]);
    std::string text;
    char buffer[512];
    while (text.find("Phase 2") == std::string::npos) {
        ssize_t got = read(lines[0], buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    ASSERT_NE(text.find("Phase 2"), std::string::npos) << text;
    ASSERT_TRUE(waitUntil([] { return processWithCommandLineExists("fanout-test-busy-worker"); },
                          std::chrono::seconds(5)));

    auto signalled = std::chrono::steady_clock::now();
    kill(-pid, SIGTERM);
    int status = 0;
    bool exited = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(5));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
    if (!exited) kill(-pid, SIGKILL), waitpid(pid, &status, 0);
    close(lines[0]);
    EXPECT_TRUE(waitUntil([] { return !processWithCommandLineExists("fanout-test-busy-worker"); },
                          std::chrono::seconds(2)));
    EXPECT_TRUE(isEmptyFolder(out));
    EXPECT_TRUE(isEmptyFolder(work));
}
