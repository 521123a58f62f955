// The conversion driver's routes, driven through stand-in tools in a folder of
// their own (the real interleaver, twinrow and ffmpeg do the real work). The
// segment-parallel routes are chosen and judged with every real tool in
// ConversionEndToEndTest.
#include <gtest/gtest.h>

#include <mutex>

#include "PipelineEngine.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

constexpr int viewWidth = 64, viewHeight = 48, frames = 6;

// Access units with 4-byte start codes: base opened by an AUD, dependent by type 24.
std::string annexB(int units, bool dependent) {
    std::string stream;
    for (int k = 0; k < units; ++k) {
        stream += dependent ? std::string("\0\0\0\1\x18", 5) : std::string("\0\0\0\1\x09\x10", 6);
        stream += dependent ? std::string("\0\0\0\1\x14\x80", 6) : std::string("\0\0\0\1\x65\x88", 6);
        stream += static_cast<char>('A' + k);
    }
    return stream;
}

class Driver : public ::testing::Test {
  protected:
    void SetUp() override {
        setPriorityToolFolder(tools.path(), true);
        fs::create_directories(output);
        // A real little movie: its audio is what the encoders take.
        auto made =
            runCommand("/usr/bin/ffmpeg",
                       words("-v error -y -f lavfi -i testsrc2=s=64x48:r=24000/1001:d=1 -f lavfi -i "
                             "sine=frequency=440:duration=1 -frames:v " +
                             std::to_string(frames) + " -c:v libx264 -preset ultrafast -c:a aac -shortest") +
                           std::vector<std::string>{source.string()});
        ASSERT_EQ(made.status, 0) << made.output;
        writeFile(streams / "base.bin", annexB(frames, false));
        writeFile(streams / "mvc.bin", annexB(frames, true));
        fs::create_symlink("/usr/bin/ffmpeg", tools / "ffmpeg");
        fs::create_symlink("/usr/bin/ffprobe", tools / "ffprobe");
        fakeTsmuxer("");
    }
    void TearDown() override { setPriorityToolFolder({}); }

    // Copies the prepared views into the work folder; `extra` runs after.
    void fakeTsmuxer(const std::string& extra) {
        writeScript(tools / "tsmuxer", "#!/bin/bash\n[ $# -eq 1 ] && exit 0\n"
                                       "cp \"" +
                                           (streams / "base.bin").string() +
                                           "\" \"$2/Movie.264\"\n"
                                           "cp \"" +
                                           (streams / "mvc.bin").string() + "\" \"$2/Movie.mvc\"\n" + extra);
    }
    void fakeLdecod(const std::string& beforeExit = "", int status = 0) {
        writeScript(tools / "ldecod", "#!/bin/bash\n[ -e input_stream.264 ] || exit 9\ntouch \"" +
                                          (streams / "ldecod.ran").string() +
                                          "\"\n"
                                          "size=$((" +
                                          std::to_string(viewWidth * viewHeight * 3 / 2 * frames) +
                                          "))\n"
                                          "head -c $size /dev/urandom > output_ViewId0000.yuv\n"
                                          "head -c $size /dev/urandom > output_ViewId0001.yuv\n"
                                          "for i in $(seq 1 " +
                                          std::to_string(2 * frames) +
                                          "); do echo \"$i (I) decoded\"; done\n" + beforeExit + "echo '" +
                                          std::to_string(2 * frames) +
                                          " frames are decoded'\n"
                                          "echo 'Total decoding time : 0.1 sec'\nexit " +
                                          std::to_string(status) + "\n");
    }
    // viewpump notes whether it reads a named pipe and what lies beside it,
    // reads the whole interleaved stream, then emits the pictures.
    void fakeStreamingTools() {
        writeScript(tools / "viewpump",
                    "#!/bin/bash\n{ [ -p input_stream.264 ] && echo fifo || echo file; ls; } > \"" +
                        (streams / "viewpump.saw").string() +
                        "\"\n"
                        "cat input_stream.264 > /dev/null\n"
                        "head -c $((" +
                        std::to_string(viewWidth * viewHeight * 3 / 2 * frames * 2) +
                        ")) /dev/urandom\n"
                        "echo 'viewpump: " +
                        std::to_string(frames) + " frame pairs done' >&2\n");
        fs::create_symlink(fs::path(DUOSCOPE_TOOLS_DIR) / "twinrow", tools / "twinrow");
    }
    void fakeStereoPacker() {
        writeScript(tools / "StereoPacker", "#!/bin/bash\necho 'Frame 1/2 (50.0%)'\ncp \"$1\" \"$2\"\n");
    }

    struct Run {
        std::optional<ConversionResult> result;
        std::string error;
        std::vector<std::string> log;
        std::vector<std::pair<ConversionStage, double>> progress;
        bool logged(const std::string& line) const {
            return std::find(log.begin(), log.end(), line) != log.end();
        }
        bool reported(ConversionStage stage, double fraction) const {
            for (auto [s, f] : progress)
                if (s == stage && std::abs(f - fraction) < 1e-9) return true;
            return false;
        }
    };

    std::optional<fs::path> workFolderLeft() const {
        for (const auto& entry : fs::directory_iterator(output))
            if (entry.path().filename().string().starts_with("Duoscope_")) return entry.path();
        return std::nullopt;
    }

    Run convert(OutputTarget target, Stereo3DMode mode = Stereo3DMode::mvcSeparateTracks(),
                bool keepWork = false) {
        SourceFileInfo info;
        info.url = source;
        info.fileName = source.filename().string();
        info.videoWidth = viewWidth;
        info.videoHeight = viewHeight;
        info.duration = frames * 1001.0 / 24000;
        info.stereoMode = mode;
        info.hasMVCStream = true;
        ConversionJob job{source, output, QualityPreset::medium, OutputCodec::h264, target, std::nullopt};
        job.keepWorkFolder = keepWork;
        Run run;
        std::mutex mutex;
        PipelineEngine engine;
        engine.verboseLogging = true;
        engine.onLog = [&](const std::string& line) {
            std::lock_guard lock(mutex);
            run.log.push_back(line);
        };
        try {
            run.result = engine.convert(job, info,
                                        [&](ConversionStage stage, double fraction) {
                                            std::lock_guard lock(mutex);
                                            run.progress.emplace_back(stage, fraction);
                                        },
                                        {});
        } catch (const std::exception& failure) {
            run.error = failure.what();
        }
        return run;
    }

    std::vector<fs::path> outputEntries() const {
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(output))
            entries.push_back(entry.path().filename());
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    ScratchFolder tools{"driver tools"};
    ScratchFolder streams{"driver streams"};
    fs::path source = streams / "Movie.m2ts";
    fs::path output = streams / "out";
};

} // namespace

TEST_F(Driver, DiskRouteDecodesEncodesAndCleansUp) {
    fakeLdecod();
    auto run = convert(OutputTarget::sbs3D);
    ASSERT_TRUE(run.result) << run.error;
    EXPECT_EQ(run.result->outputPath, (output / "Movie_SBS.mkv").string());
    EXPECT_EQ(run.result->sbsIntermediatePath, run.result->outputPath);
    EXPECT_EQ(outputEntries(), std::vector<fs::path>{"Movie_SBS.mkv"});
    EXPECT_FALSE(fs::exists(run.result->tempDirectory));
    EXPECT_TRUE(fs::exists(streams / "ldecod.ran"));
    // The narration's closing line, checked once for every route.
    EXPECT_TRUE(run.logged("=== Pipeline complete! ==="));
    for (auto [stage, fraction] : {std::pair{ConversionStage::demuxing, 0.05},
                                   {ConversionStage::interleaving, 0.3},
                                   {ConversionStage::encoding, 0.7},
                                   {ConversionStage::complete, 1.0}})
        EXPECT_TRUE(run.reported(stage, fraction)) << caseName(stage) << " " << fraction;
    double last = 0;
    for (auto [stage, fraction] : run.progress) {
        EXPECT_GE(fraction, last - 1e-9);
        last = fraction;
    }
}

TEST_F(Driver, DiskRouteFailureKeepsTheWorkFolderOnlyWhenAsked) {
    fakeLdecod("echo 'Error: broken slice' >&2\n", 1);
    auto run = convert(OutputTarget::sbs3D);
    EXPECT_EQ(run.error, "Decoding failed: ldecod exited with code 1: Error: broken slice");
    // Decoded views are the biggest files of a run: without --keep-work they go.
    EXPECT_FALSE(workFolderLeft());
    convert(OutputTarget::sbs3D, Stereo3DMode::mvcSeparateTracks(), true);
    auto kept = workFolderLeft();
    ASSERT_TRUE(kept);
    EXPECT_TRUE(fs::exists(*kept / "output_ViewId0000.yuv"));
}

TEST_F(Driver, MissingViewsAfterDemuxing) {
    fakeTsmuxer("rm \"$2/Movie.mvc\"\n");
    EXPECT_EQ(convert(OutputTarget::sbs3D).error, "Demux failed: MVC view file not found after demuxing");
    fakeTsmuxer("mv \"$2/Movie.264\" \"$2/a.264\"; mv \"$2/Movie.mvc\" \"$2/b.264\"\n");
    fakeLdecod();
    auto run = convert(OutputTarget::sbs3D);
    ASSERT_TRUE(run.result) << run.error;
    EXPECT_TRUE(fs::exists(output / "Movie_SBS.mkv"));
}

TEST_F(Driver, ViewpumpWithoutTwinrowTakesTheDiskRoute) {
    fakeLdecod();
    writeScript(tools / "viewpump", "#!/bin/sh\nexit 1\n");
    auto run = convert(OutputTarget::sbs3D);
    ASSERT_TRUE(run.result) << run.error;
    EXPECT_TRUE(fs::exists(streams / "ldecod.ran"));
}

TEST_F(Driver, FifoRouteStreamsWithoutAnInterleavedFile) {
    fakeStreamingTools();
    auto run = convert(OutputTarget::sbs3D, Stereo3DMode::mvcSingleTrack(true));
    ASSERT_TRUE(run.result) << run.error;
    std::string saw = readFile(streams / "viewpump.saw");
    EXPECT_TRUE(saw.starts_with("fifo\n")) << saw;
    EXPECT_EQ(saw.find("Movie_interleaved.264"), std::string::npos) << saw;
    EXPECT_EQ(outputEntries(), std::vector<fs::path>{"Movie_SBS.mkv"});
}

TEST_F(Driver, FifoFailureFallsBackToAFile) {
    fakeStreamingTools();
    // The demultiplexer leaves something at the pipe's name that cannot be removed.
    fakeTsmuxer("mkdir -p \"$2/interleave_fifo.264/x\"\n");
    auto run = convert(OutputTarget::sbs3D);
    ASSERT_TRUE(run.result) << run.error;
    EXPECT_TRUE(readFile(streams / "viewpump.saw").starts_with("file\n"));
}

TEST_F(Driver, VisionProTailRunsStereoPacker) {
    fakeLdecod();
    fakeStereoPacker();
    auto run = convert(OutputTarget::visionPro);
    ASSERT_TRUE(run.result) << run.error;
    EXPECT_EQ(run.result->outputPath, (output / "Movie.mov").string());
    EXPECT_EQ(run.result->sbsIntermediatePath, (output / "Movie_SBS.mov").string());
    EXPECT_TRUE(run.reported(ConversionStage::convertingMVHEVC, 0.85));
    EXPECT_EQ(outputEntries(), (std::vector<fs::path>{"Movie.mov", "Movie_SBS.mov"}));
}
