// The texts users and stored settings see, and the defaults by file name.
#include <gtest/gtest.h>

#include "ConversionTypes.h"

using namespace duoscope;

TEST(ConversionTypes, RawValuesRoundTripInDeclarationOrder) {
    std::vector<std::string> presets, stages;
    for (auto preset : allQualityPresets) {
        presets.emplace_back(rawValue(preset));
        EXPECT_EQ(qualityPresetFromRaw(rawValue(preset)), preset);
    }
    EXPECT_EQ(presets, (std::vector<std::string>{"Ultra High", "High Quality", "Balanced", "Smaller File"}));
    for (auto stage : allConversionStages)
        stages.emplace_back(rawValue(stage));
    EXPECT_EQ(stages,
              (std::vector<std::string>{"Ready", "Demuxing...", "Interleaving NAL units...",
                                        "Decoding MVC...", "Encoding SBS 3D...", "Encoding MV-HEVC...",
                                        "Converting to MV-HEVC...", "Complete!", "Failed"}));
    EXPECT_EQ(rawValue(OutputCodec::h265), "H.265 (HEVC)");
    EXPECT_EQ(outputTargetFromRaw("Apple Vision Pro (MV-HEVC)"), OutputTarget::visionPro);
    EXPECT_EQ(outputTargetFromRaw("SBS 3D (MKV)"), OutputTarget::sbs3D);
    EXPECT_FALSE(qualityPresetFromRaw("high"));
    EXPECT_EQ(caseName(ConversionStage::convertingMVHEVC), "convertingMVHEVC");
}

TEST(ConversionTypes, DefaultsByExtension) {
    EXPECT_EQ(defaultStereoModeForExtension("/films/movie.MKV"), Stereo3DMode::mvcSingleTrack(false));
    for (const char* name : {"movie.m2ts", "movie.ts", "movie.mp4", "movie"})
        EXPECT_EQ(defaultStereoModeForExtension(name), Stereo3DMode::mvcSeparateTracks()) << name;
}

TEST(ConversionTypes, FormattedDuration) {
    SourceFileInfo info;
    info.duration = 3725.9;
    EXPECT_EQ(info.formattedDuration(), "01:02:05");
    info.duration = 90000;
    EXPECT_EQ(info.formattedDuration(), "25:00:00");
    info.duration = 0;
    EXPECT_EQ(info.formattedDuration(), "00:00:00");
}

// The two warnings' exact words; how the spellings are matched is judged through
// the stored settings (ConverterModelTest, CommandLineTest).
TEST(ConversionTypes, StoredLabelWarnings) {
    for (const auto& [stored, warning] : std::vector<std::pair<std::string, std::string>>{
             {"MV-HEVC",
              "WARNING: setting outputTarget \"MV-HEVC\" is none of \"SBS 3D (MKV)\", \"Apple Vision Pro "
              "(MV-HEVC)\"; using \"Apple Vision Pro (MV-HEVC)\""},
             {"", "WARNING: setting outputTarget is empty; using \"Apple Vision Pro (MV-HEVC)\""},
         }) {
        auto choice = readStoredChoice(std::optional(stored), "outputTarget", OutputTarget::visionPro);
        EXPECT_EQ(choice.value, OutputTarget::visionPro) << stored;
        EXPECT_EQ(choice.warning, warning);
    }
}
