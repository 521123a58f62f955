// Whole conversions through the command line, on the kit's side-by-side and
// frame-alternate sources, checked by per-eye PSNR and eye order.
#include <gtest/gtest.h>

#include <cstdlib>

#include "TestSupport.h"

using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path set = fs::path(DUOSCOPE_KIT_DIR) / "small";
const std::string duoscopeProgram = std::string(DUOSCOPE_BINARY_DIR) + "/bin/Duoscope";
const std::string stereocheck = std::string(DUOSCOPE_BINARY_DIR) + "/bin/stereocheck";

class Conversion : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    void storeTarget(const std::string& target) {
        fs::create_directories(config / "Duoscope");
        writeFile(config / "Duoscope" / "Duoscope.conf", "[General]\noutputTarget=" + target + "\n");
    }

    CommandResult convert(const fs::path& source, const fs::path& output) {
        return runCommand(duoscopeProgram, {"--input", source.string(), "--auto-convert", "--output", output.string()});
    }

    static std::vector<std::string> entries(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchFolder config{"e2e config"};
    ScratchFolder work{"e2e conversions"};
};

} // namespace

TEST_F(Conversion, SideBySideAndFrameAlternateSourcesToSideBySide) {
    storeTarget("SBS 3D (MKV)");
    struct Case {
        std::string source, layout, output;
    };
    for (const auto& c : {Case{"sbs_lr.mkv", "sbs", "Film LR_SBS.mkv"}, Case{"sbs.mp4", "sbs", "Film LR_SBS.mp4"},
                          Case{"frame_alternate.mkv", "sbs", "Film LR_SBS.mkv"}}) {
        // A name with blanks and quotes on the way.
        fs::path sourceFolder = work / ("in " + c.source);
        fs::create_directories(sourceFolder);
        fs::path source = sourceFolder / ("Film LR" + fs::path(c.source).extension().string());
        fs::copy_file(set / c.source, source);
        fs::path output = work / ("out \"" + c.source + "\"");
        auto result = convert(source, output);
        ASSERT_EQ(result.status, 0) << result.output;
        EXPECT_NE(result.output.find("✅ Conversion complete: " + (output / c.output).string()), std::string::npos)
            << result.output;
        EXPECT_EQ(entries(output), std::vector<std::string>{c.output}) << c.source;
        auto check = runCommand(stereocheck, {"--set", set.string(), "--min-psnr", "35", (output / c.output).string()});
        EXPECT_EQ(check.status, 0) << c.source << ": " << check.output;
        EXPECT_EQ(readFile(source), readFile(set / c.source)) << "the source must stay untouched";
    }
}

TEST_F(Conversion, SideBySideSourceToMVHEVC) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker")) GTEST_SKIP() << "StereoPacker is not built";
    fs::path output = work / "mvhevc";
    auto result = convert(set / "sbs.mov", output);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(entries(output), std::vector<std::string>{"sbs_MV-HEVC.mov"});
    auto probe = runCommand("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                 "stream=codec_name,width,height", "-of", "csv=p=0",
                                                 (output / "sbs_MV-HEVC.mov").string()});
    EXPECT_EQ(probe.output, "hevc,320,176\n");
}
