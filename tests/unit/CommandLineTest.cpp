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

TEST(CommandLine, FlagsOverStoredSettingsReadWithoutRegardToCase) {
    ScratchFolder config("cli config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    auto choicesWith = [&](const std::string& stored, std::vector<std::string> flags = {}) {
        std::filesystem::create_directories(config / "Duoscope");
        writeFile(config / "Duoscope" / "Duoscope.conf", "[General]\n" + stored);
        flags.insert(flags.begin(), "Duoscope");
        return commandLineChoices(parseCommandLine(flags));
    };
    auto nothing = choicesWith("");
    EXPECT_EQ(nothing.quality, QualityPreset::high);
    EXPECT_EQ(nothing.target, OutputTarget::visionPro);
    EXPECT_TRUE(nothing.warnings.empty());
    // The window's "Smaller File" is the same preset here.
    auto stored =
        choicesWith("qualityPreset=smaller file\noutputTarget=sbs 3d (mkv)\noutputCodec=H.265 (HEVC)\n");
    EXPECT_EQ(stored.quality, QualityPreset::low);
    EXPECT_EQ(stored.target, OutputTarget::sbs3D);
    EXPECT_EQ(stored.codec, OutputCodec::h265);
    EXPECT_TRUE(stored.warnings.empty());
    // A near miss is no longer read as the other target in silence.
    auto unknown = choicesWith("outputTarget=Not Vision at all\nqualityPreset=\n");
    EXPECT_EQ(unknown.target, OutputTarget::visionPro);
    EXPECT_EQ(unknown.warnings.size(), 2u);
    auto flagged = choicesWith("outputTarget=SBS 3D (MKV)\n", {"--target", "MVHEVC", "--quality", "small"});
    EXPECT_EQ(flagged.target, OutputTarget::visionPro);
    EXPECT_EQ(flagged.quality, QualityPreset::low);
    EXPECT_THROW(choicesWith("", {"--target", "vision"}), CommandLineUsageError);
    EXPECT_THROW(choicesWith("", {"--quality", "best"}), CommandLineUsageError);
    unsetenv("XDG_CONFIG_HOME");
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
