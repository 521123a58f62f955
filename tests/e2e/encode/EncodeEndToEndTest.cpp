// Real conversions with Debian's ffmpeg in the software encoder profile, on
// media generated here: two eyes that differ by a horizontal shift and a white
// block only the left eye has, so exchanged eyes are detected by PSNR.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unistd.h>

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
using test::ScratchFolder;

constexpr int width = 320, height = 176, framesPerEye = 48;
constexpr double frameSeconds = 1001.0 / 24000.0;

std::string ffmpegOrFail(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"-hide_banner", "-loglevel", "error", "-y"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    auto result = runCommand("/usr/bin/ffmpeg", all);
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output;
}

// The media every test reads; made once per test program.
struct Media {
    fs::path folder;
    fs::path left, right;                   // raw I420 eyes
    fs::path audioMkv, audioMp4, silentMp4; // sources to take audio from
    fs::path sbsMp4, sbsMkv;                // side-by-side sources (H.264; AC-3 in the MKV)
    fs::path alternateLeftFirst, alternateRightFirst;
};

Media mediaIn(const fs::path& folder) {
    Media m;
    m.folder = folder;
    m.left = folder / "left.yuv";
    m.right = folder / "right.yuv";
    m.audioMkv = folder / "audio source.mkv";
    m.audioMp4 = folder / "audio_source.mp4";
    m.silentMp4 = folder / "silent.mp4";
    m.sbsMp4 = folder / "sbs.mp4";
    m.sbsMkv = folder / "sbs.mkv";
    m.alternateLeftFirst = folder / "alternate_lr.mkv";
    m.alternateRightFirst = folder / "alternate_rl.mkv";
    return m;
}

const Media& media() {
    static Media made = [] {
        // Each test case runs in its own process, perhaps beside the others:
        // the media are made once, in a private folder renamed into place.
        fs::path shared = fs::path(DUOSCOPE_BINARY_DIR) / "scratch" / "encode-e2e-media-v2";
        Media m = mediaIn(shared);
        if (fs::exists(shared / "complete")) return m;
        m = mediaIn(shared.string() + ".partial-" + std::to_string(::getpid()));
        fs::remove_all(m.folder);
        fs::create_directories(m.folder);
        std::string source =
            "testsrc2=size=" + std::to_string(width + 8) + "x" + std::to_string(height) + ":rate=24000/1001";
        ffmpegOrFail({"-f", "lavfi", "-i", source, "-frames:v", std::to_string(framesPerEye), "-vf",
                      "crop=320:176:0:0,drawbox=x=20:y=11:w=40:h=22:color=white:t=fill", "-pix_fmt",
                      "yuv420p", "-f", "rawvideo", m.left.string()});
        ffmpegOrFail({"-f", "lavfi", "-i", source, "-frames:v", std::to_string(framesPerEye), "-vf",
                      "crop=320:176:8:0", "-pix_fmt", "yuv420p", "-f", "rawvideo", m.right.string()});
        std::string duration = shortestDecimal(framesPerEye * frameSeconds);
        std::string tone = "sine=frequency=440:sample_rate=48000:duration=" + duration;
        std::string picture = "testsrc2=size=64x64:rate=24000/1001:duration=" + duration;
        ffmpegOrFail({"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", tone, "-c:v", "libx264", "-preset",
                      "ultrafast", "-c:a", "ac3", m.audioMkv.string()});
        ffmpegOrFail({"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", tone, "-c:v", "libx264", "-preset",
                      "ultrafast", "-c:a", "aac", m.audioMp4.string()});
        ffmpegOrFail(
            {"-f", "lavfi", "-i", picture, "-c:v", "libx264", "-preset", "ultrafast", m.silentMp4.string()});
        std::string rawSize = std::to_string(width) + "x" + std::to_string(height);
        std::vector<std::string> rawIn{"-f", "rawvideo", "-pix_fmt", "yuv420p",
                                       "-s", rawSize,    "-r",       "24000/1001"};
        std::vector<std::string> sbs = rawIn;
        sbs.insert(sbs.end(), {"-i", m.left.string()});
        sbs.insert(sbs.end(), rawIn.begin(), rawIn.end());
        sbs.insert(sbs.end(), {"-i", m.right.string(), "-filter_complex", "[0:v][1:v]hstack=inputs=2", "-c:v",
                               "libx264", "-preset", "ultrafast", m.sbsMp4.string()});
        ffmpegOrFail(sbs);
        ffmpegOrFail({"-i", m.sbsMp4.string(), "-i", m.audioMkv.string(), "-map", "0:v", "-map", "1:a", "-c",
                      "copy", m.sbsMkv.string()});

        // Frame-alternate sources: the eyes' pictures interleaved at twice the rate.
        std::ifstream leftIn(m.left, std::ios::binary), rightIn(m.right, std::ios::binary);
        size_t pictureSize = width * height * 3 / 2;
        std::string leftPicture(pictureSize, '\0'), rightPicture(pictureSize, '\0');
        fs::path leftFirstRaw = m.folder / "alt_lr.yuv", rightFirstRaw = m.folder / "alt_rl.yuv";
        std::ofstream leftFirst(leftFirstRaw, std::ios::binary), rightFirst(rightFirstRaw, std::ios::binary);
        for (int i = 0; i < framesPerEye; ++i) {
            leftIn.read(leftPicture.data(), static_cast<std::streamsize>(pictureSize));
            rightIn.read(rightPicture.data(), static_cast<std::streamsize>(pictureSize));
            leftFirst << leftPicture << rightPicture;
            rightFirst << rightPicture << leftPicture;
        }
        leftFirst.close();
        rightFirst.close();
        for (auto [raw, movie] :
             {std::pair{leftFirstRaw, m.alternateLeftFirst}, std::pair{rightFirstRaw, m.alternateRightFirst}})
            ffmpegOrFail({"-f",   "rawvideo",   "-pix_fmt", "yuv420p",    "-s",          rawSize,
                          "-r",   "48000/1001", "-i",       raw.string(), "-f",          "lavfi",
                          "-i",   tone,         "-c:v",     "libx264",    "-preset",     "ultrafast",
                          "-crf", "12",         "-c:a",     "ac3",        movie.string()});
        test::writeFile(m.folder / "complete", "");
        std::error_code raced;
        fs::rename(m.folder, shared, raced);
        if (raced) fs::remove_all(m.folder, raced); // another process was first
        return mediaIn(shared);
    }();
    return made;
}

// PSNR of one half of a side-by-side movie against a raw eye, frame by frame
// in order (timestamps are renumbered on both sides).
double halfPSNR(const fs::path& movie, bool rightHalf, const fs::path& eye) {
    std::string crop = "crop=" + std::to_string(width) + ":" + std::to_string(height) + ":" +
                       std::to_string(rightHalf ? width : 0) + ":0";
    auto result = runCommand("/usr/bin/ffmpeg",
                             {"-hide_banner", "-nostats", "-i", movie.string(), "-f", "rawvideo", "-pix_fmt",
                              "yuv420p", "-s", std::to_string(width) + "x" + std::to_string(height), "-r",
                              "24000/1001", "-i", eye.string(), "-lavfi",
                              "[0:v]" + crop + ",setpts=N/(25*TB)[a];[1:v]setpts=N/(25*TB)[b];[a][b]psnr",
                              "-f", "null", "-"});
    size_t at = result.output.rfind("average:");
    if (result.status != 0 || at == std::string::npos) {
        ADD_FAILURE() << result.output;
        return 0;
    }
    return std::stod(result.output.substr(at + 8));
}

void expectEyesMatch(const fs::path& movie) {
    const Media& m = media();
    double leftOwn = halfPSNR(movie, false, m.left), rightOwn = halfPSNR(movie, true, m.right);
    double leftOther = halfPSNR(movie, false, m.right), rightOther = halfPSNR(movie, true, m.left);
    EXPECT_GE(leftOwn, 35.0) << movie;
    EXPECT_GE(rightOwn, 35.0) << movie;
    EXPECT_GT(leftOwn, leftOther + 5) << "eyes swapped in " << movie;
    EXPECT_GT(rightOwn, rightOther + 5) << "eyes swapped in " << movie;
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

class EncodeEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        overrideEncoderProfile(EncoderProfile::software);
        engine.onLog = recorder.log();
        engine.verboseLogging = true;
        fs::create_directories(out);
        fs::create_directories(work);
    }
    void TearDown() override {
        overrideEncoderProfile(std::nullopt);
        setPriorityToolFolder({}); // also when a step threw or the test was skipped
    }
    ScratchFolder scratch{"encode-e2e"};
    fs::path out = scratch / "out";
    fs::path work = scratch / "work";
    PipelineEngine engine;
    Recorder recorder;
};

TEST_F(EncodeEndToEnd, EncodeSBSMakesMoviesWhoseHalvesAreTheEyesWithTheSourceAudio) {
    const Media& m = media();
    struct Case {
        std::string name;
        fs::path audio;
        OutputCodec codec;
        std::string videoCodec, audioCodec;
    };
    // Matroska with AC-3 is also covered on the kit's media (EncodeKit).
    for (const Case& c : {Case{"Movie_SBS.mov", m.audioMp4, OutputCodec::h264, "hevc", "aac"},
                          Case{"Silent_SBS.mkv", m.silentMp4, OutputCodec::h264, "h264", ""}}) {
        SCOPED_TRACE(c.name);
        Recorder progress;
        fs::path output = out / c.name;
        engine.encodeSBS(m.left, m.right, c.audio, output, QualityPreset::high, c.codec, width, height, 24000,
                         1001, progress.handler(), framesPerEye * frameSeconds);
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
    const Media& m = media();
    for (bool rightFirst : {false, true}) {
        SCOPED_TRACE(rightFirst ? "right first" : "left first");
        Recorder progress;
        const fs::path& source = rightFirst ? m.alternateRightFirst : m.alternateLeftFirst;
        std::string base = rightFirst ? "alt_rl" : "alt_lr";
        auto result = engine.runFrameAlternatePipeline(
            source, out, work, base, QualityPreset::high, OutputCodec::h264, OutputTarget::sbs3D, rightFirst,
            framesPerEye * frameSeconds, std::nullopt, progress.handler());
        EXPECT_EQ(result.outputPath, (out / (base + "_SBS.mkv")).string());
        EXPECT_EQ(result.sbsIntermediatePath, result.outputPath);
        EXPECT_FALSE(fs::exists(work / "fa_work"));
        progress.expectRisingWithin(0.05, 1.0);
        auto video = probeStream(result.outputPath, "v:0");
        auto audio = probeStream(result.outputPath, "a:0");
        auto sourceAudio = probeStream(source, "a:0");
        ASSERT_TRUE(video && audio && sourceAudio);
        EXPECT_EQ(video->frames, framesPerEye);
        EXPECT_NEAR(video->frameRate, 24000.0 / 1001, 0.01);
        EXPECT_NEAR(video->length, framesPerEye * frameSeconds, frameSeconds);
        EXPECT_NEAR(audio->length, sourceAudio->length, frameSeconds);
        expectEyesMatch(result.outputPath);
    }
}

TEST_F(EncodeEndToEnd, FrameAlternateLimitCutsVideoAndAudioAlikeAndQuotedPathsWork) {
    // A name a shell would trip over, in a folder with a blank.
    fs::path source = scratch / "my films" / "it's a \"film\" $HOME `x`.mkv";
    fs::create_directories(source.parent_path());
    fs::copy_file(media().alternateLeftFirst, source);
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
    {
        std::ifstream in(media().alternateLeftFirst, std::ios::binary);
        std::string head(1000, '\0');
        in.read(head.data(), 1000);
        std::ofstream(truncated, std::ios::binary) << head;
    }
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
        engine.runFrameAlternatePipeline(media().alternateLeftFirst, scratch / "no such folder", work, "x",
                                         QualityPreset::low, OutputCodec::h264, OutputTarget::sbs3D, false, 2,
                                         std::nullopt, nullptr);
        FAIL() << "converted into a missing folder";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(contains(error.what(), "no such folder/x_SBS.mkv")) << error.what();
    }
    EXPECT_TRUE(std::any_of(recorder.lines.begin(), recorder.lines.end(), [](auto& line) {
        return startsWith(line, "DIAGNOSTIC: Pipeline exited with code");
    }));
}

TEST_F(EncodeEndToEnd, EncodeSBSIntoAMissingFolderFails) {
    const Media& m = media();
    try {
        engine.encodeSBS(m.left, m.right, m.audioMkv, scratch / "missing" / "x_SBS.mkv", QualityPreset::low,
                         OutputCodec::h264, width, height, 24000, 1001, nullptr, 2);
        FAIL() << "reported success without a file";
    } catch (const ConversionError& error) {
        EXPECT_TRUE(startsWith(error.description(), "Encoding failed: ffmpeg exited with code 1: "))
            << error.description();
        EXPECT_TRUE(contains(error.description(), "No such file or directory")) << error.description();
    }
}

// The MV-HEVC stage with the real StereoPacker, when it is built.
TEST_F(EncodeEndToEnd, MVHEVCStageWithRealStereoPacker) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
        GTEST_SKIP() << "StereoPacker is not built";
    setPriorityToolFolder(DUOSCOPE_TOOLS_DIR);
    const Media& m = media();
    fs::path sbs = work / "Movie_SBS.mkv";
    Recorder progress;
    engine.encodeSBS(m.left, m.right, m.audioMp4, sbs, QualityPreset::medium, OutputCodec::h265, width,
                     height, 24000, 1001, nullptr, 2);
    engine.convertToMVHEVC(sbs, out / "Movie.mov", QualityPreset::medium, progress.handler());
    setPriorityToolFolder({});
    EXPECT_TRUE(fs::exists(out / "Movie_SBS.mov")); // the remuxed twin beside the output, never the input
    auto video = probeStream(out / "Movie.mov", "v:0");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, "hevc");
    EXPECT_EQ(video->width, width);
    // The Matroska intermediate keeps millisecond timestamps; the movie has the exact rate.
    EXPECT_EQ(video->averageRate, "24000/1001");
    progress.expectRisingWithin(0.85, 0.98);
}

// A visionPro job for an H.264 side-by-side MKV: remuxed to MOV, then MV-HEVC.
TEST_F(EncodeEndToEnd, SideBySideMatroskaToMVHEVCWithRealStereoPacker) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
        GTEST_SKIP() << "StereoPacker is not built";
    setPriorityToolFolder(DUOSCOPE_TOOLS_DIR);
    Recorder progress;
    ConversionResult result =
        engine.runSideBySidePipeline(media().sbsMkv, out, work, "film", QualityPreset::medium,
                                     OutputCodec::h264, OutputTarget::visionPro, true, progress.handler());
    setPriorityToolFolder({});
    EXPECT_EQ(result.outputPath, (out / "film_MV-HEVC.mov").string());
    EXPECT_TRUE(fs::exists(work / "film_remuxed.mov"));
    auto audio = probeStream(work / "film_remuxed.mov", "a:0");
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->codec, "aac");
    auto video = probeStream(result.outputPath, "v:0");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, "hevc");
    EXPECT_EQ(video->frames, framesPerEye);
    EXPECT_EQ(video->averageRate, "24000/1001");
    progress.expectRisingWithin(0.05, 1.0);
}

// visionPro from a frame-alternate source: HEVC side-by-side MOV with 5.1 AAC,
// then the MV-HEVC movie beside it.
TEST_F(EncodeEndToEnd, FrameAlternateToMVHEVCWithRealStereoPacker) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
        GTEST_SKIP() << "StereoPacker is not built";
    setPriorityToolFolder(DUOSCOPE_TOOLS_DIR);
    Recorder progress;
    ConversionResult result = engine.runFrameAlternatePipeline(
        media().alternateRightFirst, out, work, "film", QualityPreset::low, OutputCodec::h264,
        OutputTarget::visionPro, true, 2.0, 1, progress.handler());
    setPriorityToolFolder({});
    EXPECT_EQ(result.outputPath, (out / "film.mov").string());
    EXPECT_EQ(result.sbsIntermediatePath, (out / "film_SBS.mov").string());
    progress.expectRisingWithin(0.05, 1.0);
    auto sbsVideo = probeStream(out / "film_SBS.mov", "v:0");
    auto sbsAudio = probeStream(out / "film_SBS.mov", "a:0");
    ASSERT_TRUE(sbsVideo && sbsAudio);
    EXPECT_EQ(sbsVideo->codec, "hevc");
    EXPECT_EQ(sbsAudio->codec, "aac");
    EXPECT_NEAR(sbsVideo->length, 1.0, frameSeconds);
    auto video = probeStream(result.outputPath, "v:0");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->codec, "hevc");
    EXPECT_EQ(video->width, width);
    EXPECT_EQ(video->frames, sbsVideo->frames);
    EXPECT_EQ(video->averageRate, "24000/1001"); // half of the 48000/1001 source
}

} // namespace
} // namespace duoscope
