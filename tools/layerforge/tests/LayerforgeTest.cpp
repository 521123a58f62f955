// layerforge as a program, on generated side-by-side frames.
#include "../../media/hevc/tests/StereoChecks.h"

#include <gtest/gtest.h>

using namespace stereochecks;

namespace {

constexpr int W = 192, H = 108; // per eye

const std::string kTool = std::string(DUOSCOPE_TOOLS_DIR) + "/layerforge";

// What layerforge writes on standard error (its log) and its exit status.
struct Result {
    int status;
    std::string err;
};

Result layerforge(const std::string& args, const std::string& stdinFile) {
    const auto run = runShell(kTool + " " + args + " < " + stdinFile + " > /dev/null");
    return {run.status, run.standardError};
}

const fs::path& dir() {
    static fs::path d = [] {
        fs::path p = scratch("layerforge");
        EXPECT_TRUE(makeSbsYuv(p / "sbs.yuv", W, H, 24));
        // The two eyes alone, to measure against.
        run("ffmpeg -nostdin -y -f rawvideo -pix_fmt yuv420p -s " + std::to_string(2 * W) + "x" +
            std::to_string(H) + " -i " + q(p / "sbs.yuv") + " -filter_complex '[0]split[a][b];[a]crop=" +
            std::to_string(W) + ":" + std::to_string(H) + ":0:0[l];[b]crop=" + std::to_string(W) + ":" +
            std::to_string(H) + ":" + std::to_string(W) + ":0[r]' -map '[l]' -f rawvideo " +
            q(p / "left.yuv") + " -map '[r]' -f rawvideo " + q(p / "right.yuv"));
        return p;
    }();
    return d;
}

std::string sizeArgs() {
    return "--width " + std::to_string(W) + " --height " + std::to_string(H);
}

std::vector<std::string> ptsTimes(const fs::path& movie) {
    const std::string out =
        run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " + q(movie));
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t e = out.find('\n', pos);
        if (e == std::string::npos) e = out.size();
        if (e > pos) v.push_back(out.substr(pos, e - pos));
        pos = e + 1;
    }
    std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return std::stod(a) < std::stod(b); });
    return v;
}

} // namespace

TEST(Layerforge, EncodesBothEyesWithNtscTimingAndReportsDone) {
    const fs::path out = dir() / "ntsc.mov";
    const Result r = layerforge(sizeArgs() + " --fps 30000/1001 --output " + q(out), q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\n✅ Done! 24 frames in "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Output: " + out.string() + " (0 MB)"), std::string::npos);
    const auto pts = ptsTimes(out);
    ASSERT_EQ(pts.size(), 24u);
    EXPECT_NEAR(std::stod(pts[1]), 1001.0 / 30000, 1e-6);
    EXPECT_NEAR(std::stod(pts[23]), 23 * 1001.0 / 30000, 1e-6);
    // Both layers against their eyes: the swap case below and RealisticStereoTest.
}

TEST(Layerforge, SwapPutsTheRightHalfIntoTheBaseLayer) {
    const fs::path out = dir() / "swap.mov";
    const Result r = layerforge(sizeArgs() + " --swap --fps 30 " + q(out), q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(psnr("-i " + q(out), dir() / "right.yuv", W, H), 38.0);
    EXPECT_LT(psnr("-i " + q(out), dir() / "left.yuv", W, H), 30.0);
    ASSERT_TRUE(extractRightEye(out, dir() / "swap-right.hevc"));
    EXPECT_GE(psnr("-i " + q(dir() / "swap-right.hevc"), dir() / "left.yuv", W, H), 38.0);
    const auto pts = ptsTimes(out);
    ASSERT_EQ(pts.size(), 24u);
    EXPECT_NEAR(std::stod(pts[3]), 0.1, 1e-9);
}

// Which rate mode --maxrate chooses shows only in the log (the movies' rates are judged elsewhere).
TEST(Layerforge, AverageBitRateModeAndNonIntegerMaxrate) {
    Result r = layerforge(sizeArgs() + " --maxrate 40 " + q(dir() / "rate.mov"), q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("  Bitrate mode: 40 Mbps average\n"), std::string::npos) << r.err;
    r = layerforge(sizeArgs() + " --maxrate 4.5 --quality 0.5 " + q(dir() / "q.mov"), q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("  Quality mode: 0.5\n"), std::string::npos) << r.err;
}

TEST(Layerforge, EmptyAndPartialInput) {
    // No complete frame (nothing, or less than one frame): an error and no movie.
    const fs::path empty = dir() / "empty.mov";
    const fs::path half = dir() / "half.yuv";
    const size_t frameBytes = size_t(2 * W) * H * 3 / 2;
    run("head -c " + std::to_string(frameBytes / 2) + " " + q(dir() / "sbs.yuv") + " > " + q(half));
    for (const std::string& input : {std::string("/dev/null"), q(half)}) {
        const Result r = layerforge(sizeArgs() + " " + q(empty), input);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("\nERROR: "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Done"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(empty)) << input;
    }

    // Two and a half frames.
    const fs::path partial = dir() / "partial.yuv";
    run("head -c " + std::to_string(frameBytes * 5 / 2) + " " + q(dir() / "sbs.yuv") + " > " + q(partial));
    const fs::path out = dir() / "partial.mov";
    const Result r = layerforge(sizeArgs() + " -o " + q(out), q(partial));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("WARNING: Partial frame at EOF (" + std::to_string(frameBytes / 2) + "/" +
                         std::to_string(frameBytes) + " bytes), discarding\n✅ Done! 2 frames"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ptsTimes(out).size(), 2u);
}

TEST(Layerforge, ProgressEveryHundredFrames) {
    const fs::path tiny = dir() / "tiny.yuv";
    run("ffmpeg -nostdin -y -f lavfi -i testsrc2=size=64x32:rate=25 -frames:v 201 -pix_fmt yuv420p -f "
        "rawvideo " +
        q(tiny));
    const Result r = layerforge("--width 32 --height 32 --fps 25 " + q(dir() / "tiny.mov"), q(tiny));
    EXPECT_EQ(r.status, 0) << r.err;
    size_t count = 0;
    for (size_t p = r.err.find("\nFrame "); p != std::string::npos; p = r.err.find("\nFrame ", p + 1))
        ++count;
    EXPECT_EQ(count, 2u) << r.err;
    EXPECT_NE(r.err.find("\nFrame 100 — "), std::string::npos);
    EXPECT_NE(r.err.find("\nFrame 200 — "), std::string::npos);
}

TEST(Layerforge, ErrorsGiveOneLineAndExitOne) {
    Result r = layerforge(sizeArgs(), "/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err,
        "Usage: layerforge --width W --height H --fps NUM/DEN --quality Q [--maxrate Mbps] [--swap] --output "
        "FILE\n  Reads raw SBS YUV420 frames from stdin\n");
    r = layerforge("--width 191 --height 108 " + q(dir() / "odd.mov"), q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(dir() / "odd.mov"));

    r = layerforge(sizeArgs() + " /nonexistent-dir/out.mov", q(dir() / "sbs.yuv"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: Failed to create AVAssetWriter: "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Done"), std::string::npos);
}

// The spatial options land in the movie's sample entry exactly as Apple writes them: the
// same values as the Apple sample give its vexu and hfov boxes byte for byte. Without the
// options only the eyes are written.
TEST(Layerforge, SpatialMetadataAsAppleWritesIt) {
    auto entryOf = [](const fs::path& movie) {
        media::MovieReader reader(movie.string());
        return parseVisualSampleEntry(reader.tracks()[size_t(reader.firstTrack("vide"))].sampleEntry);
    };
    const fs::path out = dir() / "spatial.mov";
    const Result r =
        layerforge(sizeArgs() + " --hfov 63.4 --baseline 19.24 --disparity-adjustment 0.02 " + q(out),
                   q(dir() / "sbs.yuv"));
    ASSERT_EQ(r.status, 0) << r.err;
    const VisualSampleEntry ours = entryOf(out);
    const VisualSampleEntry apple =
        entryOf(std::string(DUOSCOPE_TESTDATA_DIR) + "/mvhevc/apple-stereo-spatial-160x120.mp4");
    for (const char* box : {"vexu", "hfov"}) {
        ASSERT_NE(ours.child(box), nullptr) << box;
        EXPECT_EQ(*ours.child(box), *apple.child(box)) << box;
    }
    const fs::path plainMovie = dir() / "plain.mov";
    ASSERT_EQ(layerforge(sizeArgs() + " " + q(plainMovie), q(dir() / "sbs.yuv")).status, 0);
    const VisualSampleEntry plain = entryOf(plainMovie);
    EXPECT_EQ(plain.child("hfov"), nullptr);
    EXPECT_EQ(readSpatialInfo(plain), SpatialInfo{});

    const Result bad =
        layerforge(sizeArgs() + " --disparity-adjustment 2 " + q(dir() / "bad.mov"), q(dir() / "sbs.yuv"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("ERROR: --disparity-adjustment must lie between -1 and 1"), std::string::npos)
        << bad.err;
}
