// stereocheck as the conversions' tests will use it: exit status and its one
// line on the kit's own stereo movies, on outputs with exchanged eyes, on
// half-width side-by-side, and on bad input.
#include "KitTestSupport.h"

#include <gtest/gtest.h>

#include <regex>

namespace kit {
namespace {

using namespace kit::test;
namespace fs = std::filesystem;

const std::string kStereoCheck = DUOSCOPE_BINARY_DIR "/bin/stereocheck";

struct Check {
    int status;
    std::string line, error;
    double leftPsnr = 0, rightPsnr = 0;
    bool swapped = false;
    int frames = 0;
};

Check stereocheck(std::vector<std::string> args) {
    args.insert(args.begin(), {kStereoCheck, "--set", setDir("small").string()});
    const RunResult r = runCapture(args);
    Check c{r.status, r.output, r.error};
    std::smatch m;
    const std::regex pattern(
        R"(stereocheck: frames=(\d+) source_frames=\d+ left_psnr=([\d.]+) right_psnr=([\d.]+) .* swapped=(yes|no) verdict=\S+\n)");
    if (std::regex_match(r.output, m, pattern)) {
        c.frames = std::stoi(m[1]);
        c.leftPsnr = std::stod(m[2]);
        c.rightPsnr = std::stod(m[3]);
        c.swapped = m[4] == "yes";
    }
    return c;
}

struct ScratchDir : duoscope::test::ScratchFolder {
    ScratchDir() : ScratchFolder("stereocheck") {}
};

TEST(StereoCheck, AcceptsTheKitsOwnStereoMovies) {
    const fs::path dir = setDir("small");
    const size_t frames = std::stoul(setInfo("small").at("frames"));
    const std::vector<std::vector<std::string>> cases{
        {(dir / "sbs_lr.mkv").string()},
        {(dir / "sbs.mp4").string()},
        {"--layout", "alternate", (dir / "frame_alternate.mkv").string()},
        {(dir / "cabac_b" / "left.264").string(), (dir / "cabac_b" / "right.264").string()},
    };
    for (const auto& args : cases) {
        const Check c = stereocheck(args);
        SCOPED_TRACE(args.back());
        EXPECT_EQ(c.status, 0) << c.line << c.error;
        EXPECT_EQ(c.frames, static_cast<int>(frames)) << c.line;
        EXPECT_GT(c.leftPsnr, 35.0) << c.line;
        EXPECT_GT(c.rightPsnr, 35.0) << c.line;
        EXPECT_FALSE(c.swapped);
    }
    // The sources against themselves are perfect.
    const Check exact = stereocheck({(dir / "left_src.yuv").string(), (dir / "right_src.yuv").string()});
    EXPECT_EQ(exact.status, 0);
    EXPECT_DOUBLE_EQ(exact.leftPsnr, 99.0);
}

TEST(StereoCheck, FlagsExchangedEyesAndHandlesHalfWidth) {
    const fs::path dir = setDir("small");
    const auto info = setInfo("small");
    const int width = std::stoi(info.at("width")), height = std::stoi(info.at("height"));
    ScratchDir scratch;
    // What a converter that mixed up the views would write.
    run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", (dir / "sbs.mp4").string(), "-filter_complex",
         "[0:v]split[a][b];[a]crop=iw/2:ih:0:0[l];[b]crop=iw/2:ih:iw/2:0[r];[r][l]hstack[v]", "-map", "[v]",
         "-c:v", "libx264", "-preset", "ultrafast", "-crf", "12", (scratch / "swapped.mkv").string()});
    const Check swapped = stereocheck({(scratch / "swapped.mkv").string()});
    EXPECT_EQ(swapped.status, 1) << swapped.line;
    EXPECT_TRUE(swapped.swapped);
    EXPECT_NE(swapped.line.find("verdict=swapped"), std::string::npos);

    const Check reversed =
        stereocheck({(dir / "cabac_b" / "right.264").string(), (dir / "cabac_b" / "left.264").string()});
    EXPECT_EQ(reversed.status, 1);
    EXPECT_TRUE(reversed.swapped);

    // Half-width side by side is scaled back: lower PSNR, right order.
    run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", (dir / "sbs.mp4").string(), "-vf",
         "scale=" + std::to_string(width) + ":" + std::to_string(height), "-c:v", "libx264", "-preset",
         "ultrafast", "-crf", "12", (scratch / "half.mkv").string()});
    const Check half = stereocheck({"--min-psnr", "20", (scratch / "half.mkv").string()});
    EXPECT_EQ(half.status, 0) << half.line;
    EXPECT_FALSE(half.swapped);
    EXPECT_LT(half.leftPsnr, 35.0);
    EXPECT_EQ(stereocheck({"--min-psnr", "60", (dir / "sbs.mp4").string()}).status, 1);

    // A truncated output fails unless that length was asked for.
    run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", (dir / "sbs.mp4").string(), "-frames:v", "20",
         "-c:v", "libx264", "-preset", "ultrafast", "-crf", "12", (scratch / "short.mkv").string()});
    const Check shortOutput = stereocheck({(scratch / "short.mkv").string()});
    EXPECT_EQ(shortOutput.status, 1);
    EXPECT_NE(shortOutput.line.find("verdict=frame-count"), std::string::npos) << shortOutput.line;
    EXPECT_EQ(stereocheck({"--frames", "20", (scratch / "short.mkv").string()}).status, 0);
}

TEST(StereoCheck, ReportsUsageAndDecodingErrors) {
    const Check missing = stereocheck({(setDir("small") / "no_such_movie.mkv").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.error.rfind("ERROR: ", 0), 0u) << missing.error;
    ScratchDir scratch;
    {
        std::ofstream junk(scratch / "junk.mkv");
        junk << "not a movie";
    }
    const Check junk = stereocheck({(scratch / "junk.mkv").string()});
    EXPECT_EQ(junk.status, 2);
    EXPECT_EQ(junk.error.rfind("ERROR: ", 0), 0u) << junk.error;
    EXPECT_EQ(runCapture({kStereoCheck}).status, 2);
    EXPECT_EQ(
        runCapture({kStereoCheck, "--set", setDir("small").string(), "--layout", "diagonal", "x.mkv"}).status,
        2);
}

} // namespace
} // namespace kit
