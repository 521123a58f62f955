// What a careless or hostile user meets a second time: a source cut while it
// converts, leftovers of killed and failed runs, names no tool should see,
// no home folder, existing files at the output's name, the codec and the
// settings' spellings. Judged by exit status, the files left and what the
// movies hold.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ChildProcess.h"
#include "CommandLineRun.h"
#include "TestSupport.h"

using namespace duoscope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path set = kitSmallSet;

class NoFalseSuccess : public CommandLineRun {
  protected:
    static std::string videoCodecOf(const fs::path& movie) {
        auto probe =
            runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                            "stream=codec_name", "-of", "default=nw=1:nk=1", movie.string()});
        return probe.status == 0 ? probe.output.substr(0, probe.output.find('\n')) : "";
    }
    static std::optional<fs::path> workFolderIn(const fs::path& folder) {
        std::error_code error;
        for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
             it.increment(error))
            if (it->path().filename().string().starts_with("Duoscope_")) return it->path();
        return std::nullopt;
    }
    ScratchFolder work{"no false success"};
};

} // namespace

TEST_F(NoFalseSuccess, ASourceCutDuringTheRunFailsAndLeavesOnlyLogs) {
    storeTarget("Apple Vision Pro (MV-HEVC)");
    fs::path source = work / "film.m2ts";
    fs::copy_file(set / "cabac_b" / "movie.m2ts", source);
    fs::path output = work / "out";
    CommandResult result;
    std::thread run([&] { result = convert(source.string(), output.string()); });
    // A background writer truncates the source once the run is under way.
    ASSERT_TRUE(waitUntil([&] { return workFolderIn(output).has_value(); }, 60s));
    fs::resize_file(source, fs::file_size(source) / 2);
    run.join();
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("the source changed while converting"), std::string::npos) << result.output;
    // No movie, and none of the demultiplexed streams: at most the logs.
    for (const auto& name : entries(output))
        EXPECT_TRUE(fs::is_directory(output / name) || name.ends_with(".log")) << name;
}

TEST_F(NoFalseSuccess, MoviesOfOneTwoAndThreePicturesDecodeOnBothTargets) {
    for (int frames : {1, 2, 3}) {
        // B-frames allowed: shorter than the encoder's reordering delay.
        fs::path source = work / ("tiny" + std::to_string(frames) + ".mkv");
        auto made =
            runCommand("/usr/bin/ffmpeg",
                       words("-v error -f lavfi -i testsrc2=s=640x180:r=24000/1001 -f lavfi -i sine=d=1 "
                             "-c:v libx264 -c:a ac3 -shortest -metadata:s:v:0 stereo_mode=left_right "
                             "-frames:v " +
                             std::to_string(frames)) +
                           std::vector<std::string>{source.string()});
        ASSERT_EQ(made.status, 0) << made.output;
        for (const std::string target : {"SBS 3D (MKV)", "Apple Vision Pro (MV-HEVC)"}) {
            storeTarget(target);
            fs::path output = work / ("out" + std::to_string(frames) + target.substr(0, 3));
            auto result = convert(source.string(), output.string());
            ASSERT_EQ(result.status, 0) << result.output;
            auto movie = output / entries(output).front();
            auto decoded =
                runCommand("/usr/bin/ffprobe",
                           {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", movie.string()});
            EXPECT_EQ(std::atoi(decoded.output.c_str()), frames) << movie;
        }
    }
}

TEST_F(NoFalseSuccess, AKilledRunsWorkFolderIsRemovedByTheNextRun) {
    storeTarget("SBS 3D (MKV)");
    fs::path output = work / "out";
    auto killed = duoscope::ChildProcess::create({duoscopeProgram,
                                                  {"--input", (set / "cabac_b" / "movie.m2ts").string(),
                                                   "--auto-convert", "--output", output.string()},
                                                  std::nullopt,
                                                  duoscope::ChildProcess::Output::nullDevice,
                                                  duoscope::ChildProcess::Output::nullDevice});
    killed->launch();
    ASSERT_TRUE(waitUntil([&] { return workFolderIn(output).has_value(); }, 60s));
    ::kill(-killed->processIdentifier(), SIGKILL);
    killed->waitUntilExit();
    auto left = workFolderIn(output);
    ASSERT_TRUE(left);
    auto next = convert((set / "sbs_lr.mkv").string(), output.string());
    ASSERT_EQ(next.status, 0) << next.output;
    EXPECT_NE(next.output.find("Removed " + left->filename().string()), std::string::npos) << next.output;
    EXPECT_EQ(entries(output), std::vector<std::string>{"sbs_lr_SBS.mkv"});
}

TEST_F(NoFalseSuccess, NamesThatFillTheFileSystemsLimitOrHoldALineBreak) {
    storeTarget("SBS 3D (MKV)");
    // 250 bytes with its extension; the final "_SBS.mkv" name still fits.
    std::string longName = std::string(245, 'n') + ".m2ts";
    for (const std::string& name : {longName, std::string("two\nlines \"quoted\".m2ts")}) {
        fs::path folder = work / "names";
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy_file(set / "cabac_b" / "movie.m2ts", folder / name);
        auto result = convert((folder / name).string(), (folder / "out").string());
        ASSERT_EQ(result.status, 0) << result.output;
        std::string movie = name.substr(0, name.size() - 5) + "_SBS.mkv";
        EXPECT_EQ(entries(folder / "out"), std::vector<std::string>{movie});
        EXPECT_EQ(videoCodecOf(folder / "out" / movie), "h264");
    }
}

TEST_F(NoFalseSuccess, AnExistingFileAtTheOutputsNameIsNeverReplacedSilently) {
    fs::path output = work / "out";
    fs::create_directories(output);
    writeFile(output / "sbs_lr_SBS.mkv", "the user's own file");
    // Already H.264 side by side: copied, not re-encoded, into the target's Matroska.
    storeTarget("SBS 3D (MKV)");
    auto copied = convert((set / "sbs_lr.mkv").string(), output.string());
    ASSERT_EQ(copied.status, 0) << copied.output;
    EXPECT_NE(copied.output.find("copied, not re-encoded"), std::string::npos) << copied.output;
    EXPECT_EQ(readFile(output / "sbs_lr_SBS.mkv"), "the user's own file");
    EXPECT_EQ(videoCodecOf(output / "sbs_lr_SBS (2).mkv"), "h264");
    // The chosen codec is kept even when the source holds another; --overwrite replaces.
    writeFile(config / "Duoscope" / "Duoscope.conf",
              "[General]\noutputTarget=SBS 3D (MKV)\noutputCodec=H.265 (HEVC)\n");
    auto encoded = convert((set / "sbs.mp4").string(), output.string(), {"--overwrite"});
    ASSERT_EQ(encoded.status, 0) << encoded.output;
    auto replaced = convert((set / "sbs_lr.mkv").string(), output.string(), {"--overwrite"});
    ASSERT_EQ(replaced.status, 0) << replaced.output;
    EXPECT_EQ(videoCodecOf(output / "sbs_SBS.mkv"), "hevc");
    EXPECT_EQ(videoCodecOf(output / "sbs_lr_SBS.mkv"), "hevc");
    EXPECT_EQ(entries(output),
              (std::vector<std::string>{"sbs_SBS.mkv", "sbs_lr_SBS (2).mkv", "sbs_lr_SBS.mkv"}));
}

TEST_F(NoFalseSuccess, AStoredValueThatNamesNothingAndAMissingHome) {
    // A value that names nothing is said, with the default used. (Spellings against flags, and a
    // flag's bad value: CommandLineTest, CommandLineBehaviourTest.)
    storeTarget("Not Vision at all");
    auto misread = convert((work / "missing.mkv").string(), (work / "out").string());
    EXPECT_NE(misread.output.find("WARNING: setting outputTarget \"Not Vision at all\""), std::string::npos)
        << misread.output;
    EXPECT_NE(misread.output.find("Target: Apple Vision Pro (MV-HEVC)"), std::string::npos) << misread.output;

    // No home and no --output: nothing is written at the file system's root.
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("HOME");
    auto homeless = runCommand(duoscopeProgram, {"--input", (set / "sbs_lr.mkv").string(), "--auto-convert"},
                               CommandOptions::inFolder(work.path()));
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(homeless.status, 1) << homeless.output;
    EXPECT_NE(homeless.output.find("--output"), std::string::npos) << homeless.output;
}

TEST_F(NoFalseSuccess, DamagedPicturesFailUnlessAccepted) {
    storeTarget("SBS 3D (MKV)");
    // One transport packet in a hundred gets a flipped byte in its payload
    // (every 192-byte packet past the first few, at a fixed stride).
    auto bytes = readBytes(set / "cabac_b" / "movie.m2ts");
    for (size_t packet = 5; (packet + 1) * 192 <= bytes.size(); packet += 100)
        bytes[packet * 192 + 4 + 100] ^= 0xFF;
    fs::path source = work / "damaged.m2ts";
    writeBytes(source, bytes);
    auto refused = convert(source.string(), (work / "refused").string());
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find(" damaged pictures between 00:00:0"), std::string::npos) << refused.output;
    EXPECT_TRUE(entries(work / "refused").empty());
    auto accepted = convert(source.string(), (work / "accepted").string(), {"--accept-damaged"});
    ASSERT_EQ(accepted.status, 0) << accepted.output;
    EXPECT_NE(accepted.output.find("⚠️ The source is damaged: "), std::string::npos) << accepted.output;
    EXPECT_EQ(entries(work / "accepted"), std::vector<std::string>{"damaged_SBS.mkv"});
}
