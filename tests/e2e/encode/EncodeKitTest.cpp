// The encode steps on the stereo test media kit, judged by the kit's own
// stereocheck (per-eye PSNR against the ground truth, eye order).
#include <gtest/gtest.h>

#include "EncodeSupport.h"
#include "EncoderProfile.h"
#include "PipelineEngine.h"
#include "TestSupport.h"

namespace duoscope {
namespace {

namespace fs = std::filesystem;

const fs::path kitSet = fs::path(DUOSCOPE_KIT_DIR) / "small";

void expectStereoCheckPasses(const fs::path& movie) {
    auto result = test::runCommand(std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck",
                                   {"--set", kitSet.string(), "--min-psnr", "35", movie.string()});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(contains(result.output, "swapped=no verdict=ok")) << result.output;
}

std::string audioCodecOf(const fs::path& movie) {
    auto result = test::runCommand(
        "/usr/bin/ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries", "stream=codec_name",
                             "-of", "default=noprint_wrappers=1:nokey=1", movie.string()});
    return trimmed(result.output);
}

class EncodeKit : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kitSet / "kit.stamp")) GTEST_SKIP() << "the kit's small set is not made";
        overrideEncoderProfile(EncoderProfile::software);
        fs::create_directories(out);
        fs::create_directories(work);
    }
    void TearDown() override { overrideEncoderProfile(std::nullopt); }
    test::ScratchFolder scratch{"encode-kit"};
    fs::path out = scratch / "out";
    fs::path work = scratch / "work";
    PipelineEngine engine;
};

TEST_F(EncodeKit, EncodeSBSFromTheEyesWithTheSourceAudio) {
    for (std::string name : {"kit_SBS.mkv", "kit_SBS.mov"}) {
        fs::path output = out / name;
        engine.encodeSBS(kitSet / "left_src.yuv", kitSet / "right_src.yuv", kitSet / "sbs_lr.mkv", output,
                         QualityPreset::high, OutputCodec::h264, 320, 176, 24000, 1001, nullptr, 2.002);
        expectStereoCheckPasses(output);
        EXPECT_EQ(audioCodecOf(output), "ac3");
    }
}

TEST_F(EncodeKit, SideBySideMP4IsCopiedOnce) {
    std::vector<std::pair<ConversionStage, double>> progress;
    auto record = [&](ConversionStage stage, double fraction) { progress.emplace_back(stage, fraction); };
    auto result = engine.runSideBySidePipeline(kitSet / "sbs.mp4", out, work, "sbs", QualityPreset::high,
                                               OutputCodec::h264, OutputTarget::sbs3D, false, record);
    EXPECT_EQ(result.outputPath, (out / "sbs_SBS.mp4").string());
    EXPECT_FALSE(result.sbsIntermediatePath);
    EXPECT_EQ(test::readFile(result.outputPath), test::readFile(kitSet / "sbs.mp4"));
    EXPECT_EQ(progress, (std::vector<std::pair<ConversionStage, double>>{{ConversionStage::encoding, 0.5},
                                                                         {ConversionStage::complete, 1.0}}));
    expectStereoCheckPasses(result.outputPath);
    // A second run replaces our own first copy.
    engine.runSideBySidePipeline(kitSet / "sbs.mp4", out, work, "sbs", QualityPreset::high, OutputCodec::h264,
                                 OutputTarget::sbs3D, false, nullptr);
    EXPECT_EQ(test::readFile(result.outputPath), test::readFile(kitSet / "sbs.mp4"));
}

} // namespace
} // namespace duoscope
