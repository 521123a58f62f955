// MV-HEVC on content whose eyes differ the way real ones do: the stereo test kit's 1080p set, and
// a generated pair with independent grain per eye, a flash only the right eye sees, a cut, fades
// and fast pans, at the sizes films come in. Each movie is judged by decoding both layers against
// the source eyes: every frame, PSNR per eye, eyes not exchanged, the exact frame rate.
#include "StereoChecks.h"

using namespace stereochecks;

namespace {

const std::string kTools = DUOSCOPE_TOOLS_DIR;

int runTool(const std::string& cmd, std::string* out) {
    const auto run = runShell(cmd);
    *out = run.output;
    return run.status;
}

std::string averageRate(const fs::path& movie) {
    std::string rate = run(
        "ffprobe -v error -select_streams v:0 -show_entries stream=avg_frame_rate -of csv=p=0 " + q(movie));
    return rate.substr(0, rate.find('\n'));
}

// Both layers of `movie` against the eyes: PSNR of each at least `minPsnr`, each closer to its own
// eye than to the other, every frame there, 24000/1001 exactly.
void judge(const fs::path& movie, const fs::path& left, const fs::path& right, int w, int h, int frames,
           double minPsnr) {
    SCOPED_TRACE(movie.string());
    const fs::path layer1 = movie.string() + ".right.hevc";
    ASSERT_TRUE(extractRightEye(movie, layer1));
    const std::string base = "-i " + q(movie), second = "-i " + q(layer1);
    EXPECT_EQ(frameHashes(base).size(), size_t(frames));
    EXPECT_EQ(frameHashes(second).size(), size_t(frames));
    const double l = psnr(base, left, w, h), r = psnr(second, right, w, h);
    EXPECT_GE(l, minPsnr);
    EXPECT_GE(r, minPsnr);
    EXPECT_LT(psnr(base, right, w, h), l - 3);
    EXPECT_LT(psnr(second, left, w, h), r - 3);
    EXPECT_EQ(averageRate(movie), "24000/1001");
}

// The generated pair as side-by-side I420 frames, and each eye alone.
struct Pair {
    fs::path sbs, left, right;
};

Pair makePair(const fs::path& dir, int w, int h, int frames) {
    const int pan = (w / 8) & ~1, disparity = (w / 60) & ~1;
    const std::string W = std::to_string(w), H = std::to_string(h), N = std::to_string(frames);
    const std::string wide = std::to_string(w + pan + disparity) + "x" + H;
    const std::string fadeOut = std::to_string((frames - 5) * 1001.0 / 24000);
    // Two different views of the Mandelbrot set (a cut halfway), panned fast; the right eye sees the
    // scene `disparity` pixels over, with its own grain, and alone a flash at picture 5.
    const std::string filter = "mandelbrot=s=" + wide +
                               ":r=24000/1001:start_scale=2:end_scale=0.5:maxiter=100[m1];"
                               "mandelbrot=s=" +
                               wide +
                               ":r=24000/1001:start_x=-0.7435:start_y=0.1314:start_scale=0.02:"
                               "end_scale=0.001:maxiter=100[m2];"
                               "[m1]trim=end_frame=" +
                               std::to_string(frames / 2) + "[a];[m2]trim=end_frame=" + N +
                               "[b];"
                               "[a][b]concat=n=2,format=yuv420p,crop=" +
                               std::to_string(w + disparity) + ":" + H + ":'mod(n*" +
                               std::to_string(pan / 6) + "," + std::to_string(pan) +
                               ")':0,split[x][y];"
                               "[x]crop=" +
                               W + ":" + H +
                               ":0:0,noise=alls=8:allf=t:all_seed=11[l];"
                               "[y]crop=" +
                               W + ":" + H + ":" + std::to_string(disparity) +
                               ":0,noise=alls=8:allf=t:all_seed=29,"
                               "drawbox=x=0:y=0:w=" +
                               W + ":h=" + H +
                               ":color=white@0.7:t=fill:enable='eq(n,5)'[r];"
                               "[l][r]hstack,fade=t=in:d=0.2,fade=t=out:st=" +
                               fadeOut + ":d=0.2";
    Pair p{dir / "sbs.yuv", dir / "left.yuv", dir / "right.yuv"};
    run("ffmpeg -nostdin -y -f lavfi -i \"" + filter + "\" -frames:v " + N + " -f rawvideo " + q(p.sbs));
    run("ffmpeg -nostdin -y -f rawvideo -pix_fmt yuv420p -s " + std::to_string(2 * w) + "x" + H + " -i " +
        q(p.sbs) + " -filter_complex '[0]split[a][b];[a]crop=" + W + ":" + H + ":0:0[l];[b]crop=" + W + ":" +
        H + ":" + W + ":0[r]' -map '[l]' -f rawvideo " + q(p.left) + " -map '[r]' -f rawvideo " + q(p.right));
    return p;
}

} // namespace

// The kit's 1080p set (its eyes differ: disparity, a marker one eye sees) as Matroska (millisecond
// timestamps) at High Quality: this stopped at picture 28 when each eye's encoder chose its own
// picture types.
TEST(RealisticStereo, KitHdSetThroughStereoPacker) {
    const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "hd";
    ASSERT_TRUE(fs::exists(kit / "set.info")) << "kit_hd missing";
    const fs::path dir = scratch("realistic_kit_hd");
    std::string out;
    ASSERT_EQ(
        runTool(kTools + "/StereoPacker " + q(kit / "sbs_lr.mkv") + " " + q(dir / "hd.mov") + " 0.85 25",
                &out),
        0)
        << out;
    judge(dir / "hd.mov", kit / "left_src.yuv", kit / "right_src.yuv", 1920, 1080, 48, 38.0);
}

// Every size with one quality preset each, so that all four presets (two of them average bit rate,
// as the engine passes them) and all four sizes are covered: layerforge from raw frames.
TEST(RealisticStereo, EveryPresetAtTheSizesFilmsComeIn) {
    struct Case {
        int w, h;
        const char* options; // what the engine's presets give
        double minPsnr;
    };
    const Case cases[] = {
        {1920, 1080, "--quality 0.5", 33.0},
        {1440, 1080, "--quality 0.7", 34.0}, // heavy grain: about 35.3 dB
        {1280, 720, "--quality 0.85 --maxrate 25", 38.0},
        {720, 576, "--quality 0.88 --maxrate 35", 38.0},
    };
    constexpr int frames = 16;
    for (const Case& c : cases) {
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        SCOPED_TRACE(size);
        const fs::path dir = scratch("realistic_" + size);
        const Pair p = makePair(dir, c.w, c.h, frames);
        ASSERT_EQ(fs::file_size(p.sbs), size_t(c.w) * 2 * c.h * 3 / 2 * frames);
        std::string out;
        ASSERT_EQ(runTool(kTools + "/layerforge --width " + std::to_string(c.w) + " --height " +
                              std::to_string(c.h) + " " + c.options + " -o " + q(dir / "lf.mov") + " < " +
                              q(p.sbs),
                          &out),
                  0)
            << out;
        judge(dir / "lf.mov", p.left, p.right, c.w, c.h, frames, c.minPsnr);
        fs::remove_all(dir);
    }
}

// Real two-camera footage: a 640x480 MVC conformance stream decoded by our ldecod, both views.
TEST(RealisticStereo, TwoCameraFootageFromTheMvcDecoder) {
    const fs::path dir = scratch("realistic_mvc");
    run(kTools + "/ldecod -p InputFile=" + q(fs::path(DUOSCOPE_TESTDATA_DIR) / "mvc" / "MVCRP_2.264") +
        " -p OutputFile=" + q(dir / "rp.yuv") + " -p DecodeAllLayers=1");
    constexpr int frames = 48;
    const fs::path left = dir / "rp_ViewId0000.yuv", right = dir / "rp_ViewId0001.yuv";
    ASSERT_TRUE(fs::exists(left) && fs::exists(right));
    for (const fs::path& eye : {left, right})
        fs::resize_file(eye, size_t(640) * 480 * 3 / 2 * frames);
    const std::string raw = "-f rawvideo -pix_fmt yuv420p -s 640x480 -i ";
    run("ffmpeg -nostdin -y " + raw + q(left) + " " + raw + q(right) +
        " -filter_complex hstack -f rawvideo " + q(dir / "sbs.yuv"));
    std::string out;
    ASSERT_EQ(runTool(kTools + "/layerforge --width 640 --height 480 -o " + q(dir / "mvc.mov") + " < " +
                          q(dir / "sbs.yuv"),
                      &out),
              0)
        << out;
    judge(dir / "mvc.mov", left, right, 640, 480, frames, 38.0);
}
