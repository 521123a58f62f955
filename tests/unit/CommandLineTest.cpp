#include <gtest/gtest.h>

#include <cstdlib>

#include "CommandLineMode.h"
#include "CommandLineOptions.h"
#include "TestSupport.h"

using namespace duoscope;
using namespace duoscope::test;

namespace {

const std::string duoscopeProgram = std::string(DUOSCOPE_BINARY_DIR) + "/bin/Duoscope";

} // namespace

TEST(CommandLine, StoredSettingsChooseQualityAndTarget) {
    ScratchFolder config("cli config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_EQ(storedQualityAndTarget(),
              std::make_pair(std::string("High Quality"), std::string("Apple Vision Pro (MV-HEVC)")));
    std::filesystem::create_directories(config / "Duoscope");
    writeFile(config / "Duoscope" / "Duoscope.conf",
              "[General]\nqualityPreset=Ultra High\noutputTarget=SBS 3D (MKV)\n");
    EXPECT_EQ(storedQualityAndTarget(),
              std::make_pair(std::string("Ultra High"), std::string("SBS 3D (MKV)")));
    unsetenv("XDG_CONFIG_HOME");

    EXPECT_EQ(commandLineQuality("Ultra High"), QualityPreset::ultraHigh);
    EXPECT_EQ(commandLineQuality("High Quality"), QualityPreset::high);
    EXPECT_EQ(commandLineQuality("Balanced"), QualityPreset::medium);
    EXPECT_EQ(commandLineQuality("Smaller File"), QualityPreset::medium);
    EXPECT_EQ(commandLineQuality("ultra high"), QualityPreset::medium);
    EXPECT_EQ(commandLineTarget("Apple Vision Pro (MV-HEVC)"), OutputTarget::visionPro);
    EXPECT_EQ(commandLineTarget("SBS 3D (MKV)"), OutputTarget::sbs3D);
}

TEST(CommandLine, DurationAndProgressLines) {
    EXPECT_EQ(parseWholeNumber("30"), 30);
    EXPECT_EQ(parseWholeNumber("+30"), 30);
    EXPECT_EQ(parseWholeNumber("-5"), -5);
    EXPECT_EQ(commandLineDurationLimit("30"), 30);
    for (const char* none : {"0", "-5", "abc"})
        EXPECT_FALSE(commandLineDurationLimit(std::string(none))) << none;
    for (const char* bad : {"abc", "", "3.5", "30s", " 30", "99999999999", "-"})
        EXPECT_FALSE(parseWholeNumber(bad)) << bad;

    std::vector<std::string> lines;
    for (double fraction : {0.0, 0.05, 0.1, 0.1, 0.999, 1.0})
        if (auto line = progressLine(ConversionStage::decoding, fraction)) lines.push_back(*line);
    EXPECT_EQ(lines, (std::vector<std::string>{"[decoding] 0%", "[decoding] 10%", "[decoding] 10%",
                                               "[decoding] 100%"}));
}

TEST(CommandLine, OptionTableParsing) {
    auto parsed = parseCommandLine({"Duoscope", "--input", "a.mkv", "--duration", "-5", "--json", "b.m2ts",
                                    "--input", "ignored.mkv", "-platform", "offscreen", "-q"});
    EXPECT_EQ(parsed.value("--input"), "a.mkv") << "the first occurrence wins";
    EXPECT_EQ(parsed.value("--duration"), "-5") << "a value may start with a dash";
    EXPECT_TRUE(parsed.has("--json"));
    EXPECT_TRUE(parsed.has("--quiet")) << "the short form names the long option";
    EXPECT_FALSE(parsed.has("--auto-convert"));
    EXPECT_EQ(parsed.files, std::vector<std::string>{"b.m2ts"}) << "a window option's value is not a file";

    struct Mistake {
        std::vector<std::string> arguments;
        std::string message;
    };
    for (const auto& mistake : {Mistake{{"Duoscope", "--inptu", "a"}, "unknown option --inptu"},
                                Mistake{{"Duoscope", "-x"}, "unknown option -x"},
                                Mistake{{"Duoscope", "--output"}, "option --output needs a value <dir>"}}) {
        try {
            parseCommandLine(mistake.arguments);
            ADD_FAILURE() << mistake.message;
        } catch (const CommandLineUsageError& error) {
            EXPECT_EQ(error.what(), mistake.message);
        }
    }
    // Every option the parser takes is in the help, and the help names no other.
    std::string help = usageText();
    for (const auto& option : commandLineOptions())
        if (!option.isWindowSystemOption && !option.help.empty())
            EXPECT_NE(help.find(std::string(option.name)), std::string::npos) << option.name;
}

TEST(CommandLine, BadInputsFailWithAReason) {
    ScratchFolder folder("cli bad input");
    auto output = folder / "out";
    struct Case {
        std::string input, output, reason;
    };
    writeFile(folder / "blocker", "a file where a folder should be");
    writeFile(folder / "clip.mp4", "not really a movie");
    for (const auto& c :
         {Case{(folder / "missing.m2ts").string(), output.string(), "Source file not found: "},
          Case{folder.path().string(), output.string(), "Source is a folder"},
          Case{(folder / "clip.mp4").string(), (folder / "blocker" / "out").string(), "Not a directory"}}) {
        auto result =
            runCommand(duoscopeProgram, {"--input", c.input, "--auto-convert", "--output", c.output});
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_NE(result.output.find("=== Duoscope CLI (Build 134) ==="), std::string::npos);
        auto failure = result.output.find("❌ Pipeline failed: ");
        ASSERT_NE(failure, std::string::npos) << result.output;
        EXPECT_NE(result.output.find(c.reason, failure), std::string::npos) << result.output;
    }
}
