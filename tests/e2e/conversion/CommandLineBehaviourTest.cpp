// The program as a Unix command: no display needed for anything but the
// window, usage mistakes exit 2, --analyze --json is one parseable object, and
// progress is one redrawn line on a terminal but plain lines in a pipe.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "CommandLineRun.h"
#include "TestSupport.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

// The program with no window system in reach: no X, no Wayland, no Qt platform.
CommandResult runHeadless(const std::vector<std::string>& arguments, const fs::path& folder = {}) {
    std::vector<std::string> command{"-u", "DISPLAY",         "-u",           "WAYLAND_DISPLAY",
                                     "-u", "QT_QPA_PLATFORM", duoscopeProgram};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand("/usr/bin/env", command, CommandOptions::inFolder(folder));
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

class CommandLineBehaviour : public CommandLineRun {
  protected:
    ScratchFolder work{"command line behaviour"};
};

} // namespace

TEST_F(CommandLineBehaviour, QueriesAndMistakesWithoutADisplay) {
    auto help = runHeadless({"--help"});
    EXPECT_EQ(help.status, 0) << help.output;
    for (const char* option : {"--input", "--output", "--auto-convert", "--duration", "--analyze", "--json",
                               "--quiet", "--version"})
        EXPECT_NE(help.standardOutput.find(option), std::string::npos) << option;
    EXPECT_EQ(runHeadless({"-h"}).standardOutput, help.standardOutput);

    auto version = runHeadless({"--version"});
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_TRUE(version.standardOutput.starts_with("Duoscope ")) << version.output;

    // A mistake is one line naming it plus the hint, never a window or an abort.
    for (const std::vector<std::string>& mistake :
         {std::vector<std::string>{"--frobnicate"},
          std::vector<std::string>{"--input", "x.mkv", "--outptu", "o"},
          std::vector<std::string>{"--auto-convert", "--input"}, std::vector<std::string>{"--analyze"}}) {
        auto result = runHeadless(mistake);
        EXPECT_EQ(result.status, 2) << mistake.front() << ": " << result.output;
        EXPECT_EQ(result.standardOutput, "");
        EXPECT_EQ(count(result.standardError, "\n"), 2u) << result.standardError;
        EXPECT_NE(result.standardError.find("--help"), std::string::npos) << result.standardError;
    }
    // The usage line of a conversion without a source stays what scripts saw.
    auto noInput = runHeadless({"--auto-convert"});
    EXPECT_EQ(noInput.status, 1);
    EXPECT_TRUE(noInput.standardOutput.starts_with("Usage: Duoscope --input <file> --auto-convert"))
        << noInput.output;

    auto manual = runHeadless({"--manual-page"});
    EXPECT_EQ(manual.status, 0);
    EXPECT_TRUE(manual.standardOutput.starts_with(".TH DUOSCOPE 1")) << manual.output;
    EXPECT_NE(manual.standardOutput.find("EXIT STATUS"), std::string::npos);
}

TEST_F(CommandLineBehaviour, AnalysisAsJsonAgreesWithTheText) {
    for (const char* name : {"sbs_lr.mkv", "frame_alternate.mkv", "pyramid_8x8/movie.m2ts"}) {
        fs::path source = kitSmallSet / name;
        auto text = runHeadless({"--analyze", source.string()});
        ASSERT_EQ(text.status, 0) << text.output;
        auto json = runHeadless({"--analyze", source.string(), "--json"});
        ASSERT_EQ(json.status, 0) << json.output;
        // The analysis trace goes to standard error: standard output is the object alone.
        auto analysis = nlohmann::json::parse(json.standardOutput);
        EXPECT_NE(json.standardError.find("[FFProbe] "), std::string::npos);
        auto has = [&](const std::string& line) {
            return text.standardOutput.find(line) != std::string::npos;
        };
        EXPECT_TRUE(has("  Stereo mode: " + analysis.at("layout").get<std::string>() + "\n")) << name;
        EXPECT_TRUE(has("(" + std::to_string(analysis.at("width").get<int>()) + "x" +
                        std::to_string(analysis.at("height").get<int>()) + ")"))
            << name;
        EXPECT_TRUE(has("  Frame rate:  " + std::to_string(analysis["frameRate"]["numerator"].get<int>()) +
                        "/" + std::to_string(analysis["frameRate"]["denominator"].get<int>())))
            << name;
        EXPECT_GT(analysis.at("duration").get<double>(), 0) << name;
        EXPECT_EQ(analysis.at("hasMVCStream").get<bool>(), has("  3D stream:   yes")) << name;
    }
    // The kit's side-by-side Matroska file: one H.264 picture stream and its AC-3 sound.
    auto tracks =
        nlohmann::json::parse(
            runHeadless({"--analyze", (kitSmallSet / "sbs_lr.mkv").string(), "--json"}).standardOutput)
            .at("tracks");
    ASSERT_EQ(tracks.size(), 2u) << tracks.dump();
    EXPECT_EQ(tracks[0]["type"], "video");
    EXPECT_EQ(tracks[0]["codec"], "h264");
    EXPECT_EQ(tracks[1]["type"], "audio");
    EXPECT_EQ(tracks[1]["codec"], "ac3");
    EXPECT_EQ(tracks[1]["channels"], 2);

    auto missing = runHeadless({"--analyze", (work / "nothing.mkv").string(), "--json"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.standardOutput, "");
}

// One real conversion each way: on a pseudo-terminal the progress is one line
// redrawn in place; in a pipe it is time-stamped lines; --quiet leaves only
// the result. None of them needs a display.
TEST_F(CommandLineBehaviour, ProgressOnATerminalInAPipeAndQuiet) {
    storeTarget("Apple Vision Pro (MV-HEVC)");
    fs::path source = kitSmallSet / "sbs.mov";

    auto piped =
        runHeadless({"--input", source.string(), "--auto-convert", "--output", (work / "piped").string()});
    ASSERT_EQ(piped.status, 0) << piped.output;
    EXPECT_EQ(piped.standardOutput.find('\r'), std::string::npos);
    EXPECT_NE(piped.standardOutput.find("] [complete] 100%\n"), std::string::npos) << piped.standardOutput;

    auto quiet = runHeadless(
        {"--input", source.string(), "--auto-convert", "--quiet", "--output", (work / "quiet").string()});
    ASSERT_EQ(quiet.status, 0) << quiet.output;
    EXPECT_EQ(count(quiet.standardOutput, "\n"), 1u) << quiet.standardOutput;
    EXPECT_NE(
        quiet.standardOutput.find("✅ Conversion complete: " + (work / "quiet" / "sbs_MV-HEVC.mov").string()),
        std::string::npos)
        << quiet.standardOutput;

    // script(1) gives the program a terminal; its own words go to a file.
    fs::path typescript = work / "typescript";
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + duoscopeProgram +
                          "' --input '" + source.string() + "' --auto-convert --output '" +
                          (work / "terminal").string() + "'";
    auto terminal = runCommand("/usr/bin/script", {"-qec", command, typescript.string()});
    ASSERT_EQ(terminal.status, 0) << terminal.output;
    std::string screen = readFile(typescript);
    EXPECT_GE(count(screen, "\r\x1b[K"), 2u) << screen;
    EXPECT_NE(screen.find("% · "), std::string::npos) << screen;
    EXPECT_NE(screen.find("elapsed "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("] [encoding"), std::string::npos)
        << "no time-stamped progress lines on a terminal";
    EXPECT_NE(screen.find("✅ Conversion complete: "), std::string::npos) << screen;
    EXPECT_TRUE(fs::exists(work / "terminal" / "sbs_MV-HEVC.mov"));
}
