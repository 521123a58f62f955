// The MV-HEVC writer on the stereo test kit's sources (fixture kit_small): the library
// encode with its bit-exact checks. The tools on the kit's 1080p set: RealisticStereoTest.
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

} // namespace

TEST(KitStereo, LibraryEncodeIsBitExactAndEveryLayerOneSliceParsesBack) {
    ASSERT_TRUE(fs::exists(kKit / "set.info")) << "kit_small missing";
    ASSERT_EQ(encoded().aus.size(), size_t(clip().frames));
    // The encode of the kit's own sources: quality 0.85 must give 38 dB per eye.
    checkBitExactDecodes(encoded(), clip(), 38.0);
    checkLayerOneSlices(encoded(), clip());
}
