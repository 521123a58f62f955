// The encode steps driven against small scripts standing in for ldecod,
// ffmpeg, StereoPacker, viewpump and fanout-run.sh: progress, exit rules,
// error messages and the arguments each tool receives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "EncodeSupport.h"
#include "EncoderProfile.h"
#include "PipelineEngine.h"
#include "StepRecorder.h"
#include "TestSupport.h"
#include "ToolLocator.h"

namespace duoscope {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using test::writeScript;

using Recorder = test::StepRecorder;

// Every tool the engine looks up is found in this test's own folder first.
class EncodeFakeTools : public test::EncodeStepTest {
  protected:
    EncodeFakeTools() : EncodeStepTest("encode-fake") {}
    void SetUp() override {
        EncodeStepTest::SetUp();
        fs::create_directories(tools);
        setPriorityToolFolder(tools);
    }
    // A script that records its arguments one per line in <name>.args.
    void fakeTool(const std::string& name, const std::string& body) {
        writeScript(tools / name, "#!/bin/bash\nprintf '%s\\n' \"$@\" > \"" +
                                      (scratch / (name + ".args")).string() + "\"\n" + body);
    }
    std::vector<std::string> argumentsOf(const std::string& name) {
        std::string text = readFile(scratch / (name + ".args"));
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }
    // Whether `name` is followed by `value` in the arguments.
    static bool passes(const std::vector<std::string>& arguments, const std::string& name,
                       const std::string& value) {
        auto at = std::find(arguments.begin(), arguments.end(), name);
        return at != arguments.end() && at + 1 != arguments.end() && *(at + 1) == value;
    }
    template <typename F> ConversionError errorOf(F&& step) {
        try {
            step();
        } catch (const ConversionError& error) {
            return error;
        }
        ADD_FAILURE() << "no ConversionError";
        return ConversionError::cancelled();
    }

    fs::path tools = scratch / "tools";
};

TEST_F(EncodeFakeTools, DecodeMVCReportsFramesAndLinksItsInput) {
    writeFile(work / "input_stream.264", "stale");
    writeFile(scratch / "interleaved.264", "stream");
    fakeTool("ldecod", "readlink input_stream.264 > link.txt\n"
                       "echo 'Warning: something odd' >&2\n"
                       "for i in $(seq 1 350); do echo \"$i  (I)  poc $i\"; done\n"
                       "echo '99999999999999999999999 not a frame'\n"
                       "echo 'Summary: 350 frames are decoded.'\n"
                       "echo 'Total decoding time : 1.000 sec'\n"
                       "touch output_ViewId0000.yuv output_ViewId0001.yuv\n");
    engine.decodeMVC(scratch / "interleaved.264", work, 300, recorder.handler());

    EXPECT_EQ(argumentsOf("ldecod"),
              (std::vector<std::string>{"-p", "InputFile=input_stream.264", "-p", "OutputFile=output.yuv",
                                        "-p", "DecodeAllLayers=1"}));
    EXPECT_EQ(trimmed(readFile(work / "link.txt")), (scratch / "interleaved.264").string());
    EXPECT_TRUE(fs::exists(work / "output_ViewId0001.yuv"));
    auto fractions = recorder.fractions(ConversionStage::decoding);
    ASSERT_EQ(fractions.size(), 350u);
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_NEAR(fractions.front(), 0.50 + 0.20 / 300, 1e-12);
    EXPECT_DOUBLE_EQ(fractions.back(), 0.70); // frames beyond the estimate stay at the top

    // Without an estimate there is nothing to measure progress against.
    Recorder unestimated;
    engine.decodeMVC(scratch / "interleaved.264", work, 0, unestimated.handler());
    EXPECT_TRUE(unestimated.fractions(ConversionStage::decoding).empty());
}

TEST_F(EncodeFakeTools, DecodeMVCFailureNamesTheLastErrorLine) {
    fakeTool("ldecod", "for i in $(seq 1 15); do echo \"error $i\" >&2; done\nexit 3\n");
    auto error = errorOf([&] { engine.decodeMVC(scratch / "interleaved.264", work, 10, nullptr); });
    EXPECT_EQ(error.kind(), ConversionError::Kind::decodingFailed);
    EXPECT_EQ(error.description(), "Decoding failed: ldecod exited with code 3: error 15");
}

TEST_F(EncodeFakeTools, EncodeSBSReadsProgressFromTheStatusLines) {
    fs::path output = scratch / "out_SBS.mkv";
    // Status lines are redrawn with CR; malformed values give no progress.
    fakeTool("ffmpeg",
             "printf 'ffmpeg version fake\\n' >&2\n"
             "printf 'frame=1 time=00:00:02.50 speed=1x\\rframe=2 time=N/A speed=1x\\r' >&2\n"
             "printf 'frame=3 time=00:00:05.00 speed=1x\\rframe=4 time=00:07 x\\r' >&2\n"
             "printf 'frame=5 time=00:00:09.99 speed=1x\\rframe=6 time=00:00:20.00 speed=1x\\n' >&2\n"
             "echo movie > \"${@: -1}\"\nexit 0\n");
    engine.encodeSBS(scratch / "L.yuv", scratch / "R.yuv", scratch / "src.mkv", output, QualityPreset::medium,
                     OutputCodec::h264, 320, 176, 24000, 1001, recorder.handler(), 10.0);

    // The list itself is checked in ArgumentListTest and its movie end to end; here the preset.
    EXPECT_TRUE(passes(argumentsOf("ffmpeg"), "-crf", "23"));
    auto fractions = recorder.fractions(ConversionStage::encoding);
    std::vector<double> expected{0.70 + 0.15 * 0.25, 0.70 + 0.15 * 0.5, 0.70 + 0.15 * 0.999, 0.85};
    ASSERT_EQ(fractions.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(fractions[i], expected[i], 1e-9);

    // A movie that ffmpeg gave up on is no success, whatever lies on disk.
    fakeTool("ffmpeg", "echo 'av_interleaved_write_frame(): No space left on device' >&2\n"
                       "echo 'Conversion failed!' >&2\necho movie > \"${@: -1}\"\nexit 1\n");
    auto error = errorOf([&] {
        engine.encodeSBS("L", "R", "A", output, QualityPreset::low, OutputCodec::h264, 8, 8, 25, 1, nullptr,
                         0);
    });
    EXPECT_EQ(
        error.description(),
        "Encoding failed: ffmpeg exited with code 1: av_interleaved_write_frame(): No space left on device");
}

TEST_F(EncodeFakeTools, EncodeSBSFailureRules) {
    fs::path output = scratch / "out_SBS.mov";
    fakeTool("ffmpeg", "echo 'Encoder did not produce output' >&2\necho partial > \"${@: -1}\"\nexit 1\n");
    auto error = errorOf([&] {
        engine.encodeSBS("L", "R", "A", output, QualityPreset::low, OutputCodec::h265, 8, 8, 25, 1, nullptr,
                         0);
    });
    EXPECT_EQ(error.description(), "Encoding failed: ffmpeg failed to produce output");

    fs::remove(output);
    fakeTool("ffmpeg", "echo 'only a banner' >&2\nexit 0\n");
    error = errorOf([&] {
        engine.encodeSBS("L", "R", "A", output, QualityPreset::low, OutputCodec::h265, 8, 8, 25, 1, nullptr,
                         0);
    });
    EXPECT_EQ(error.description(), "Encoding failed: Output file not created");

    fakeTool("ffmpeg", ": > \"${@: -1}\"\nexit 0\n");
    error = errorOf([&] {
        engine.encodeSBS("L", "R", "A", output, QualityPreset::low, OutputCodec::h265, 8, 8, 25, 1, nullptr,
                         0);
    });
    EXPECT_EQ(error.description(), "Encoding failed: Output file not created");
}

TEST_F(EncodeFakeTools, MVHEVCStageRemuxesMatroskaAndReadsStereoPackerProgress) {
    fs::path input = scratch / "Movie_SBS.MKV";
    writeFile(input, "mkv");
    fakeTool("ffmpeg", "cp \"$3\" \"${@: -1}\"\n");
    fakeTool("StereoPacker", "echo 'Frame 1/20 (5.0%)'\necho 'Frame 2/20'\necho 'Frame 3/20 (abc%)'\n"
                             "echo 'Frame 20/20 (100%)'\necho 'note on stderr' >&2\necho mvhevc > \"$2\"\n");
    fs::path output = scratch / "Movie.mov";
    engine.convertToMVHEVC(input, output, QualityPreset::medium, recorder.handler());

    EXPECT_EQ(argumentsOf("ffmpeg"), mvhevcRemuxArguments(input, scratch / "Movie_SBS.mov"));
    EXPECT_EQ(argumentsOf("StereoPacker"),
              (std::vector<std::string>{(scratch / "Movie_SBS.mov").string(), output.string(), "0.7"}));
    auto fractions = recorder.fractions(ConversionStage::convertingMVHEVC);
    ASSERT_EQ(fractions.size(), 2u);
    EXPECT_NEAR(fractions[0], 0.8565, 1e-12);
    EXPECT_NEAR(fractions[1], 0.98, 1e-12);
    EXPECT_EQ(readFile(output), "mvhevc\n");
    EXPECT_TRUE(fs::exists(input)); // the Matroska file is left in place
}

TEST_F(EncodeFakeTools, MVHEVCStageFailures) {
    fs::path mov = scratch / "in.mov";
    writeFile(mov, "mov");
    fakeTool("StereoPacker", "exit 2\n");
    EXPECT_EQ(errorOf([&] {
                  engine.convertToMVHEVC(mov, scratch / "o.mov", QualityPreset::high, nullptr);
              }).description(),
              "Encoding failed: StereoPacker exited with code 2");
    EXPECT_EQ(argumentsOf("StereoPacker"),
              (std::vector<std::string>{mov.string(), (scratch / "o.mov").string(), "0.85", "25"}));

    fakeTool("StereoPacker", "exit 0\n");
    EXPECT_EQ(errorOf([&] {
                  engine.convertToMVHEVC(mov, scratch / "o.mov", QualityPreset::high, nullptr);
              }).description(),
              "Encoding failed: StereoPacker did not produce output file");

    fakeTool("ffmpeg", "for i in 1 2 3 4 5 6 7; do echo \"line $i\" >&2; done\nexit 1\n");
    writeFile(scratch / "in.mkv", "mkv");
    EXPECT_EQ(errorOf([&] {
                  engine.convertToMVHEVC(scratch / "in.mkv", scratch / "o.mov", QualityPreset::high, nullptr);
              }).description(),
              "Encoding failed: Failed to remux MKV → MOV: line 3\nline 4\nline 5\nline 6\nline 7");
}

TEST_F(EncodeFakeTools, PipePipelineProgressAndFailure) {
    fs::path stream = work / "Movie_interleaved.264";
    writeFile(stream, "stream");
    fs::path output = scratch / "Movie_SBS.mkv";
    fakeTool("viewpump", "for n in 100 150 250 300; do echo \"viewpump: $n frame pairs\" >&2; done\n"
                         "echo 'Warning: max_dec_frame_buffering missing' >&2\necho 'Warning: odd' >&2\n"
                         "echo 'viewpump: 300 pairs, done' >&2\n");
    fakeTool("twinrow",
             "cat > /dev/null\necho 'twinrow: 300 frames' >&2\necho 'twinrow: done, 300 frames' >&2\n");
    fakeTool("ffmpeg", "cat > /dev/null\nprintf 'frame=1 time=00:00:01.00 speed=2x\\r' >&2\n"
                       "echo movie > \"$(eval echo \\${$#})\"\n");
    StreamingDecodeRequest request{.interleavedURL = stream,
                                   .sourceAudioURL = scratch / "src.m2ts",
                                   .outputURL = output,
                                   .rightFirst = true,
                                   .sourceDuration = 10.0,
                                   .videoWidth = 320,
                                   .videoHeight = 176,
                                   .frameRateNum = 24,
                                   .frameRateDen = 1,
                                   .progressHandler = recorder.handler(),
                                   .spatialMetadata = {}};
    engine.decodeSBSPipe(request);

    EXPECT_EQ(readFile(output), "movie\n");
    EXPECT_EQ(argumentsOf("twinrow"), (std::vector<std::string>{"320", "176", "swap"}));
    EXPECT_EQ(fs::read_symlink(work / "input_stream.264"), stream);
    // 240 frames expected: 100 -> 0.625, 250 -> 0.80 (capped); 150 and 300 are under 100 apart.
    auto decoding = recorder.fractions(ConversionStage::decoding);
    ASSERT_EQ(decoding.size(), 2u);
    EXPECT_NEAR(decoding[0], 0.50 + 0.30 * 100 / 240, 1e-12);
    EXPECT_NEAR(decoding[1], 0.80, 1e-12);
    EXPECT_EQ(recorder.fractions(ConversionStage::encoding), std::vector<double>{0.80});

    // Any stage failing fails the whole pipe.
    fakeTool("twinrow", "cat > /dev/null\necho 'twinrow: partial picture' >&2\nexit 1\n");
    auto error = errorOf([&] { engine.decodeSBSPipe(request); });
    EXPECT_EQ(error.description(),
              "Decoding failed: Pipe pipeline exited with code 1: twinrow: partial picture");
}

TEST_F(EncodeFakeTools, ParallelPipelineArgumentsProgressAndFailure) {
    fakeTool("viewpump", "exit 0\n");
    EXPECT_FALSE(engine.parallelPipelineScriptPath());
    EXPECT_FALSE(engine.hasDualSplitTools());
    writeScript(tools / "unitprobe", "#!/bin/sh\n");
    writeScript(tools / "segmentplan", "#!/bin/sh\n");
    writeScript(tools / "segmentjoin", "#!/bin/sh\n");
    fakeTool(
        "fanout-run.sh",
        "echo 'Phase 1: scanning'\necho 'Split into 4 segments'\necho 'worker_0 done'\n"
        "echo 'Phase 2 (decode+encode) time 3s'\necho 'Phase 3: Concat'\necho 'ERROR: worker 2 slow' >&2\n"
        "echo 'noise' >&2\necho 'PIPELINE COMPLETE'\necho 'Output: x'\necho movie > \"$3\"\n");
    ASSERT_EQ(engine.parallelPipelineScriptPath(), (tools / "fanout-run.sh").string());
    writeScript(tools / "twinsever", "#!/bin/sh\n");
    EXPECT_FALSE(engine.hasDualSplitTools());
    writeScript(tools / "unitmerge", "#!/bin/sh\n");
    EXPECT_TRUE(engine.hasDualSplitTools());

    fs::path output = scratch / "M.mov";
    StreamingDecodeRequest request{.interleavedURL = work / "M.264",
                                   .sourceAudioURL = scratch / "M.m2ts",
                                   .outputURL = output,
                                   .qualityPreset = QualityPreset::medium,
                                   .outputTarget = OutputTarget::visionPro,
                                   .sourceDuration = 10.0,
                                   .progressHandler = recorder.handler(),
                                   .spatialMetadata = {}};
    engine.decodeSBSParallel(request, true, false, 0, work / "M.mvc");
    // The list itself is checked in ArgumentListTest and its movies end to end; here the preset, and
    // the worker count, which depends on this machine's memory: present, and at least one.
    auto seen = argumentsOf("fanout-run.sh");
    EXPECT_TRUE(passes(seen, "--quality", "0.7"));
    auto workers = std::find(seen.begin(), seen.end(), "--workers");
    ASSERT_NE(workers, seen.end());
    EXPECT_GE(std::atoi((workers + 1)->c_str()), 1);
    EXPECT_EQ(recorder.fractions(ConversionStage::decoding), (std::vector<double>{0.50, 0.55}));
    EXPECT_EQ(recorder.fractions(ConversionStage::encodingMVHEVC), (std::vector<double>{0.80, 0.85, 0.90}));

    fakeTool("fanout-run.sh", "for i in $(seq 1 25); do echo \"out $i\"; done\nexit 4\n");
    auto error = errorOf([&] { engine.decodeSBSParallel(request, false, false, 0, std::nullopt); });
    EXPECT_EQ(error.description(), "Decoding failed: Parallel pipeline exited with code 4: out 25");
}

TEST_F(EncodeFakeTools, CancelStopsAFrameAlternateRunAndItsProgressTimer) {
    // The script's ffmpeg never ends by itself and ignores SIGTERM.
    fakeTool("ffmpeg",
             "trap '' TERM\necho 'frame=1 time=00:00:01.00 speed=1x' >&2\nwhile true; do sleep 0.1; done\n");
    writeFile(scratch / "fa.mkv", "x");
    // Cancelled once the progress timer has read the log.
    std::thread canceller([&] {
        test::waitUntil([&] { return recorder.fractions(ConversionStage::encoding).size() >= 2; },
                        std::chrono::seconds(20));
        engine.cancel();
    });
    auto started = std::chrono::steady_clock::now();
    auto error = errorOf([&] {
        engine.runFrameAlternatePipeline(scratch / "fa.mkv", scratch.path(), work, "fa", QualityPreset::high,
                                         OutputCodec::h264, OutputTarget::sbs3D, false, 10, std::nullopt,
                                         recorder.handler());
    });
    canceller.join();
    EXPECT_EQ(error.kind(), ConversionError::Kind::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
    // The timer read "time=00:00:01.00" of 10 s from the log before the cancel.
    auto fractions = recorder.fractions(ConversionStage::encoding);
    ASSERT_EQ(fractions.size(), 2u);
    EXPECT_DOUBLE_EQ(fractions[0], 0.05);
    EXPECT_NEAR(fractions[1], 0.1 + 0.8 * 0.1, 1e-12);
}

TEST_F(EncodeFakeTools, EachStepNamesTheToolItMisses) {
    setPriorityToolFolder(tools, true); // nothing else is searched: every tool is missing
    writeFile(scratch / "in.mov", "mov");
    StreamingDecodeRequest request;
    request.interleavedURL = work / "M.264";
    request.outputURL = scratch / "M_SBS.mkv";
    std::vector<std::pair<std::function<void()>, std::string>> steps{
        {[&] { engine.decodeMVC(work / "M.264", work, 1, nullptr); },
         "ldecod not found: it comes with Duoscope in its tools folder; reinstall the duoscope package"},
        {[&] {
             engine.encodeSBS("L", "R", "A", scratch / "o.mkv", QualityPreset::high, OutputCodec::h264, 8, 8,
                              25, 1, nullptr, 1);
         },
         "ffmpeg not found: install the Debian package ffmpeg"},
        {[&] {
             engine.runFrameAlternatePipeline(scratch / "fa.mkv", scratch.path(), work, "fa",
                                              QualityPreset::high, OutputCodec::h264, OutputTarget::sbs3D,
                                              false, 1, std::nullopt, nullptr);
         },
         "ffmpeg not found: install the Debian package ffmpeg"},
        {[&] {
             engine.runSideBySidePipeline(scratch / "sbs.MKV", scratch.path(), work, "sbs",
                                          QualityPreset::high, OutputCodec::h264, OutputTarget::visionPro,
                                          true, nullptr);
         },
         "ffmpeg not found: install the Debian package ffmpeg"},
        {[&] { engine.convertToMVHEVC(scratch / "in.mov", scratch / "o.mov", QualityPreset::high, nullptr); },
         "StereoPacker not found: it comes with Duoscope in its tools folder; reinstall the duoscope "
         "package"},
        {[&] { engine.decodeSBSPipe(request); },
         "viewpump not found: it comes with Duoscope in its tools folder; reinstall the duoscope package"},
        {[&] { engine.decodeSBSParallel(request, false, false, 0, std::nullopt); },
         "fanout-run.sh not found: it comes with Duoscope in its tools folder; reinstall the duoscope "
         "package"},
    };
    for (auto& [step, message] : steps) {
        auto error = errorOf(step);
        EXPECT_EQ(error.kind(), ConversionError::Kind::toolNotFound) << message;
        EXPECT_EQ(error.description(), message);
    }
}

TEST_F(EncodeFakeTools, RemoveIntermediateFileReportsWhatItFreed) {
    writeFile(work / "big.264", std::string(1572864, 'x'));
    engine.removeIntermediateFile(work / "big.264", "interleaved stream");
    EXPECT_FALSE(fs::exists(work / "big.264"));
    EXPECT_TRUE(recorder.logged("Cleaned up interleaved stream: big.264 (1.5 MB freed)"));
}

} // namespace
} // namespace duoscope
