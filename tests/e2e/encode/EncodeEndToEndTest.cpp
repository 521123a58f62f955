// Real conversions with Debian's ffmpeg in the software encoder profile, on
// the stereo test media kit's small set (fixture kit_small): each output is
// judged by the kit's stereocheck (per-eye PSNR against the eyes' sources, eye
// order) and by what ffprobe sees (frames, rate, length, codecs).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "EncodeSupport.h"
#include "EncoderProfile.h"
#include "PipelineEngine.h"
#include "StepRecorder.h"
#include "TestSupport.h"
#include "ToolLocator.h"

namespace duoscope {
namespace {

namespace fs = std::filesystem;
using test::runCommand;

// The kit's small set: 320x176 per eye, 48 frames at 24000/1001; the left eye
// alone carries a white block, so exchanged eyes show.
const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small";
const fs::path leftEye = kit / "left_src.yuv", rightEye = kit / "right_src.yuv";
const fs::path sbsMp4 = kit / "sbs.mp4";                // H.264 side by side, AAC
const fs::path sbsMkv = kit / "sbs_lr.mkv";             // H.264 side by side, AC-3
const fs::path alternate = kit / "frame_alternate.mkv"; // left picture first, AC-3
const fs::path videoOnly = kit / "cabac_b" / "left.264";
constexpr int width = 320, height = 176, framesPerEye = 48;
constexpr double frameSeconds = 1001.0 / 24000.0;

// Both halves against the eyes' sources; `exchanged` when the job asked for
// the other eye on the left.
void expectEyesMatch(const fs::path& movie, bool exchanged = false) {
    auto result = runCommand(std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck",
                             {"--left", (exchanged ? rightEye : leftEye).string(), "--right",
                              (exchanged ? leftEye : rightEye).string(), "--size", "320x176", "--min-psnr",
                              "35", movie.string()});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "swapped=no verdict=ok")) << movie << ": " << result.output;
}

struct StreamFacts {
    std::string codec;
    int width = 0;
    int frames = 0;
    double frameRate = 0;
    std::string averageRate; // as ffprobe gives it, e.g. "24000/1001"
    double length = 0;       // last packet's end, seconds
};

std::optional<StreamFacts> probeStream(const fs::path& movie, const std::string& selector) {
    auto result = runCommand("/usr/bin/ffprobe",
                             {"-v", "error", "-select_streams", selector, "-show_entries",
                              "stream=codec_name,width,avg_frame_rate:packet=pts_time,duration_time", "-of",
                              "json", movie.string()});
    if (result.status != 0) return std::nullopt;
    auto json = nlohmann::json::parse(result.output.substr(result.output.find('{')));
    if (json["streams"].empty()) return std::nullopt;
    StreamFacts facts;
    auto& stream = json["streams"][0];
    facts.codec = stream.value("codec_name", "");
    facts.width = stream.value("width", 0);
    std::string rate = stream.value("avg_frame_rate", "0/1");
    facts.averageRate = rate;
    double den = std::stod(rate.substr(rate.find('/') + 1));
    facts.frameRate = den > 0 ? std::stod(rate) / den : 0;
    for (auto& packet : json["packets"]) {
        ++facts.frames;
        double end = std::stod(packet.value("pts_time", "0")) + std::stod(packet.value("duration_time", "0"));
        facts.length = std::max(facts.length, end);
    }
    return facts;
}

using Recorder = test::StepRecorder;

class EncodeEndToEnd : public test::EncodeStepTest {
  protected:
    EncodeEndToEnd() : EncodeStepTest("encode-e2e") {}
    void SetUp() override {
        if (!fs::exists(kit / "kit.stamp")) GTEST_SKIP() << "the kit's small set is not made";
        EncodeStepTest::SetUp();
        fs::create_directories(out);
    }
    fs::path out = scratch / "out";
};

TEST_F(EncodeEndToEnd, EncodeSBSMakesMoviesWhoseHalvesAreTheEyesWithTheSourceAudio) {
    struct Case {
        std::string name;
        fs::path audio;
        std::string videoCodec, audioCodec;
    };
    for (const Case& c :
         {Case{"Movie_SBS.mov", sbsMp4, "hevc", "aac"}, Case{"Kit_SBS.mkv", sbsMkv, "h264", "ac3"},
          Case{"Kit_SBS.mov", sbsMkv, "hevc", "ac3"}, Case{"Silent_SBS.mkv", videoOnly, "h264", ""}}) {
        SCOPED_TRACE(c.name);
        Recorder progress;
        fs::path output = out / c.name;
        engine.encodeSBS(leftEye, rightEye, c.audio, output, QualityPreset::high, OutputCodec::h264, width,
                         height, 24000, 1001, progress.handler(), framesPerEye * frameSeconds);
        progress.expectRisingWithin(0.70, 0.85);
        auto video = probeStream(output, "v:0");
        ASSERT_TRUE(video);
        EXPECT_EQ(video->codec, c.videoCodec);
        EXPECT_EQ(video->width, 2 * width);
        EXPECT_EQ(video->frames, framesPerEye);
        auto audio = probeStream(output, "a:0");
        if (c.audioCodec.empty()) {
            EXPECT_FALSE(audio); // a video-only source still converts
        } else {
            ASSERT_TRUE(audio);
            EXPECT_EQ(audio->codec, c.audioCodec);
        }
        expectEyesMatch(output);
    }
}

TEST_F(EncodeEndToEnd, FrameAlternateSourcesBecomeSideBySideAtTheRealRateInBothEyeOrders) {
    for (bool rightFirst : {false, true}) {
        SCOPED_TRACE(rightFirst ? "right first" : "left first");
        Recorder progress;
        std::string base = rightFirst ? "alt_rl" : "alt_lr";
        auto result = engine.runFrameAlternatePipeline(
            alternate, out, work, base, QualityPreset::high, OutputCodec::h264, OutputTarget::sbs3D,
            rightFirst, framesPerEye * frameSeconds, std::nullopt, progress.handler());
        EXPECT_EQ(result.outputPath, (out / (base + "_SBS.mkv")).string());
        EXPECT_EQ(result.sbsIntermediatePath, result.outputPath);
        EXPECT_FALSE(fs::exists(work / "fa_work"));
        progress.expectRisingWithin(0.05, 1.0);
        auto video = probeStream(result.outputPath, "v:0");
        auto audio = probeStream(result.outputPath, "a:0");
        auto sourceAudio = probeStream(alternate, "a:0");
        ASSERT_TRUE(video && audio && sourceAudio);
        EXPECT_EQ(video->frames, framesPerEye);
        EXPECT_NEAR(video->frameRate, 24000.0 / 1001, 0.01);
        EXPECT_NEAR(video->length, framesPerEye * frameSeconds, frameSeconds);
        EXPECT_NEAR(audio->length, sourceAudio->length, frameSeconds);
        // The source's first picture is the left eye: read as right first, the eyes change sides.
        expectEyesMatch(result.outputPath, rightFirst);
    }
}

TEST_F(EncodeEndToEnd, FrameAlternateLimitCutsVideoAndAudioAlikeAndQuotedPathsWork) {
    // A name a shell would trip over, in a folder with a blank.
    fs::path source = scratch / "my films" / "it's a \"film\" $HOME `x`.mkv";
    fs::create_directories(source.parent_path());
    fs::copy_file(alternate, source);
    auto result =
        engine.runFrameAlternatePipeline(source, out, work, "limited", QualityPreset::medium,
                                         OutputCodec::h264, OutputTarget::sbs3D, false, 0, 1, nullptr);
    auto video = probeStream(result.outputPath, "v:0");
    auto audio = probeStream(result.outputPath, "a:0");
    ASSERT_TRUE(video && audio);
    EXPECT_NEAR(video->length, 1.0, frameSeconds);
    EXPECT_NEAR(video->frameRate, 24000.0 / 1001, 0.01);
    EXPECT_NEAR(audio->length, 1.0, 0.05);
}

TEST_F(EncodeEndToEnd, FrameAlternateFailuresAreClearAndClaimNothing) {
    // A source cut short before its first picture.
    fs::path truncated = scratch / "truncated.mkv";
    test::writeFile(truncated, test::readFile(alternate).substr(0, 1000));
    try {
        engine.runFrameAlternatePipeline(truncated, out, work, "truncated", QualityPreset::low,
                                         OutputCodec::h264, OutputTarget::sbs3D, false, 2, std::nullopt,
                                         nullptr);
        FAIL() << "a truncated source converted";
    } catch (const ConversionError& error) {
        EXPECT_EQ(error.kind(), ConversionError::Kind::decodingFailed);
        EXPECT_TRUE(startsWith(error.payload(), "Pipeline exited with code ")) << error.payload();
        EXPECT_TRUE(contains(error.payload(), "\nffmpeg: ")) << error.payload();
        EXPECT_TRUE(contains(error.payload(), "FA: Encoding frame-alternate")) << error.payload();
    }
    EXPECT_TRUE(fs::exists(work / "fa_work" / "pipeline.sh")); // kept for a look after a failure

    // An output folder that cannot hold files: the checked movie cannot be put in place.
    try {
        engine.runFrameAlternatePipeline(alternate, scratch / "no such folder", work, "x", QualityPreset::low,
                                         OutputCodec::h264, OutputTarget::sbs3D, false, 2, std::nullopt,
                                         nullptr);
        FAIL() << "converted into a missing folder";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(contains(error.what(), "no such folder/x_SBS.mkv")) << error.what();
    }
    EXPECT_TRUE(std::any_of(recorder.lines.begin(), recorder.lines.end(), [](auto& line) {
        return startsWith(line, "DIAGNOSTIC: Pipeline exited with code");
    }));
}

TEST_F(EncodeEndToEnd, SideBySideMP4IsCopiedIntoMatroska) {
    auto result = engine.runSideBySidePipeline(sbsMp4, out, work, "sbs", QualityPreset::high,
                                               OutputCodec::h264, OutputTarget::sbs3D, false, nullptr);
    EXPECT_EQ(result.outputPath, (out / "sbs_SBS.mkv").string());
    EXPECT_FALSE(result.sbsIntermediatePath);
    // The pictures themselves, not re-encoded.
    auto md5s = [](const fs::path& movie) {
        return test::frameMd5s(test::runCommand("/usr/bin/ffmpeg", {"-v", "error", "-i", movie.string(),
                                                                    "-map", "0:v", "-f", "framemd5", "-"})
                                   .standardOutput);
    };
    EXPECT_EQ(md5s(result.outputPath), md5s(sbsMp4));
    // A second run never replaces the first one's movie.
    auto again = engine.runSideBySidePipeline(sbsMp4, out, work, "sbs", QualityPreset::high,
                                              OutputCodec::h264, OutputTarget::sbs3D, false, nullptr);
    EXPECT_EQ(again.outputPath, (out / "sbs_SBS (2).mkv").string());
}

// The MV-HEVC stage with the real StereoPacker (when it is built): after an
// encode, and from a frame-alternate source. (A side-by-side Matroska source
// is converted the same way through the program in ConversionEndToEndTest.)
class EncodeWithStereoPacker : public EncodeEndToEnd {
  protected:
    void SetUp() override {
        EncodeEndToEnd::SetUp();
        if (IsSkipped()) return;
        if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
            GTEST_SKIP() << "StereoPacker is not built";
        setPriorityToolFolder(DUOSCOPE_TOOLS_DIR);
    }
    // An HEVC movie of one eye's width at exactly the source's rate (the
    // Matroska intermediates keep only millisecond timestamps).
    static void expectMVHEVCMovie(const fs::path& movie, int frames) {
        auto video = probeStream(movie, "v:0");
        ASSERT_TRUE(video);
        EXPECT_EQ(video->codec, "hevc");
        EXPECT_EQ(video->width, width);
        EXPECT_EQ(video->frames, frames);
        EXPECT_EQ(video->averageRate, "24000/1001");
    }
    Recorder progress;
};

TEST_F(EncodeWithStereoPacker, MVHEVCStage) {
    fs::path sbs = work / "Movie_SBS.mkv";
    engine.encodeSBS(leftEye, rightEye, sbsMp4, sbs, QualityPreset::medium, OutputCodec::h265, width, height,
                     24000, 1001, nullptr, 2);
    engine.convertToMVHEVC(sbs, out / "Movie.mov", QualityPreset::medium, progress.handler());
    EXPECT_TRUE(fs::exists(out / "Movie_SBS.mov")); // the remuxed twin beside the output, never the input
    expectMVHEVCMovie(out / "Movie.mov", framesPerEye);
    progress.expectRisingWithin(0.85, 0.98);
}

// visionPro from a frame-alternate source: HEVC side-by-side MOV with 5.1 AAC,
// then the MV-HEVC movie beside it.
TEST_F(EncodeWithStereoPacker, FrameAlternateToMVHEVC) {
    ConversionResult result =
        engine.runFrameAlternatePipeline(alternate, out, work, "film", QualityPreset::low, OutputCodec::h264,
                                         OutputTarget::visionPro, false, 2.0, 1, progress.handler());
    EXPECT_EQ(result.outputPath, (out / "film.mov").string());
    EXPECT_EQ(result.sbsIntermediatePath, (out / "film_SBS.mov").string());
    progress.expectRisingWithin(0.05, 1.0);
    auto sbsVideo = probeStream(out / "film_SBS.mov", "v:0");
    auto sbsAudio = probeStream(out / "film_SBS.mov", "a:0");
    ASSERT_TRUE(sbsVideo && sbsAudio);
    EXPECT_EQ(sbsVideo->codec, "hevc");
    EXPECT_EQ(sbsAudio->codec, "aac");
    EXPECT_NEAR(sbsVideo->length, 1.0, frameSeconds);
    expectMVHEVCMovie(result.outputPath, sbsVideo->frames); // half of the 48000/1001 source's rate
}

} // namespace
} // namespace duoscope
