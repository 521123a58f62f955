// The MV-HEVC writer on the stereo test kit's sources (fixture kit_small): the library
// encode with its bit-exact checks, layerforge and StereoPacker on the kit's movies.
#include "StereoChecks.h"

#include <map>

using namespace stereochecks;

namespace {

const fs::path kKit = fs::path(DUOSCOPE_KIT_DIR) / "small";

std::map<std::string, std::string> setInfo() {
    std::map<std::string, std::string> m;
    std::ifstream in(kKit / "set.info");
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
}

// The kit's two eyes side by side, as the engine's decoders would write them.
const Clip& clip() {
    static Clip c = [] {
        auto info = setInfo();
        Clip k;
        k.dir = scratch("kit_small");
        k.w = std::stoi(info["width"]);
        k.h = std::stoi(info["height"]);
        k.frames = std::stoi(info["frames"]);
        k.fpsNum = 24000;
        k.fpsDen = 1001;
        k.keyint = std::stoi(info["keyint"]);
        k.sbs = k.dir / "sbs.yuv";
        const Bytes l = readFile(kKit / "left_src.yuv"), r = readFile(kKit / "right_src.yuv");
        std::ofstream out(k.sbs, std::ios::binary);
        size_t off = 0;
        for (int f = 0; f < k.frames; ++f) {
            for (int plane = 0; plane < 3; ++plane) {
                const size_t row = size_t(plane ? k.w / 2 : k.w), rows = size_t(plane ? k.h / 2 : k.h);
                for (size_t y = 0; y < rows; ++y, off += row) {
                    out.write(reinterpret_cast<const char*>(l.data() + off), std::streamsize(row));
                    out.write(reinterpret_cast<const char*>(r.data() + off), std::streamsize(row));
                }
            }
        }
        return k;
    }();
    return c;
}

const Encoded& encoded() {
    static Encoded e = encodeClip(clip());
    return e;
}

int runTool(const std::string& cmd, std::string* err = nullptr) {
    int status = -1;
    const std::string text = run("(" + cmd + " 2>&1 >/dev/null)", &status);
    if (err) *err = text;
    return status;
}

} // namespace

TEST(KitStereo, LibraryEncodeIsBitExactAndEveryLayerOneSliceParsesBack) {
    ASSERT_TRUE(fs::exists(kKit / "set.info")) << "kit_small missing";
    ASSERT_EQ(encoded().aus.size(), size_t(clip().frames));
    // The encode of the kit's own sources: quality 0.85 must give 38 dB per eye.
    checkBitExactDecodes(encoded(), clip(), 38.0);
    checkLayerOneSlices(encoded(), clip());
}

TEST(KitStereo, LayerforgeKeepsTheEyesApart) {
    const Clip& c = clip();
    const std::string tool = std::string(DUOSCOPE_TOOLS_DIR) + "/layerforge";
    const std::string size = " --width " + std::to_string(c.w) + " --height " + std::to_string(c.h);
    std::string err;
    ASSERT_EQ(runTool(tool + size + " -o " + q(c.dir / "lf.mov") + " < " + q(c.sbs), &err), 0) << err;
    EXPECT_GE(psnr("-i " + q(c.dir / "lf.mov"), kKit / "left_src.yuv", c.w, c.h), 38.0);
    ASSERT_TRUE(extractRightEye(c.dir / "lf.mov", c.dir / "lf-right.hevc"));
    EXPECT_GE(psnr("-i " + q(c.dir / "lf-right.hevc"), kKit / "right_src.yuv", c.w, c.h), 38.0);
    ASSERT_EQ(runTool(tool + size + " --swap -o " + q(c.dir / "lf-swap.mov") + " < " + q(c.sbs), &err), 0)
        << err;
    EXPECT_GE(psnr("-i " + q(c.dir / "lf-swap.mov"), kKit / "right_src.yuv", c.w, c.h), 38.0);
    EXPECT_LT(psnr("-i " + q(c.dir / "lf-swap.mov"), kKit / "left_src.yuv", c.w, c.h), 32.0);
}

TEST(KitStereo, StereoPackerOnTheKitMovAndMkv) {
    const Clip& c = clip();
    const std::string tool = std::string(DUOSCOPE_TOOLS_DIR) + "/StereoPacker";
    for (const char* name : {"sbs.mov", "sbs_lr.mkv"}) {
        const fs::path out = c.dir / (std::string(name) + ".mov");
        std::string err;
        ASSERT_EQ(runTool(tool + " " + q(kKit / name) + " " + q(out) + " 0.85", &err), 0) << err;
        // Against the decoded source's halves: what our encode added, per eye and layer.
        for (int eye = 0; eye < 2; ++eye) {
            const fs::path half = c.dir / (std::string(name) + (eye ? ".right.yuv" : ".left.yuv"));
            run("ffmpeg -nostdin -y -i " + q(kKit / name) + " -vf crop=" + std::to_string(c.w) + ":" +
                std::to_string(c.h) + ":" + std::to_string(eye * c.w) + ":0 -f rawvideo -pix_fmt yuv420p " +
                q(half));
            fs::path layer = out;
            if (eye) {
                layer = out.string() + ".right.hevc";
                ASSERT_TRUE(extractRightEye(out, layer));
            }
            EXPECT_GE(psnr("-i " + q(layer), half, c.w, c.h), 38.0) << name << " eye " << eye;
        }
        const auto src = audioHashes(kKit / name);
        EXPECT_FALSE(src.empty()) << name;
        EXPECT_EQ(audioHashes(out), src) << name;
        EXPECT_EQ(frameHashes("-i " + q(out)).size(), size_t(c.frames)) << name;
    }
}
