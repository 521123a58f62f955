// End to end through the library: side-by-side frames -> two x265 encodes -> MV-HEVC movie,
// checked with Debian's ffmpeg (base layer, renumbered right eye) and by parsing every
// layer-1 slice back.
#include "StereoChecks.h"

using namespace stereochecks;

namespace {

const Clip& clip() {
    static Clip c = [] {
        Clip k;
        k.dir = scratch("stereo_pipeline");
        k.sbs = k.dir / "sbs.yuv";
        k.w = 320;
        k.h = 180; // coded 184: exercises the conformance window
        k.frames = 40;
        EXPECT_TRUE(makeSbsYuv(k.sbs, k.w, k.h, k.frames));
        return k;
    }();
    return c;
}

const Encoded& encoded() {
    static Encoded e = encodeClip(clip());
    return e;
}

} // namespace

TEST(StereoPipeline, EyesStayInStepAndEncodeIdentically) {
    const Encoded& e = encoded();
    ASSERT_EQ(e.aus.size(), size_t(clip().frames));
    EXPECT_EQ(e.headers[0], e.headers[1]);
    int idr = 0;
    for (auto& au : e.aus)
        idr += au.left.keyframe;
    EXPECT_EQ(idr, 3); // keyint 16 over 40 frames
}

TEST(StereoPipeline, BaseLayerAndRenumberedRightEyeDecodeBitExactly) {
    checkBitExactDecodes(encoded(), clip());
}

TEST(StereoPipeline, EveryLayerOneSliceParsesBackToTheOriginalFields) {
    checkLayerOneSlices(encoded(), clip());
}

// Other x265 presets (SAO off, more references, B-pyramid, different motion search) and the
// average-bit-rate mode must rewrite just as cleanly.
TEST(StereoPipeline, OtherPresetsAndRateModeRewriteCleanly) {
    for (const auto& [preset, kbps] :
         std::vector<std::pair<std::string, uint32_t>>{{"ultrafast", 0}, {"slow", 0}, {"veryfast", 300}}) {
        Clip c;
        c.dir = scratch("stereo_presets_" + preset);
        c.sbs = c.dir / "sbs.yuv";
        c.w = 128;
        c.h = 72;
        c.frames = 16;
        c.keyint = 8;
        c.preset = preset;
        if (kbps) c.averageKbps = kbps;
        ASSERT_TRUE(makeSbsYuv(c.sbs, c.w, c.h, c.frames));
        const Encoded e = encodeClip(c);
        ASSERT_EQ(e.aus.size(), size_t(c.frames)) << preset;
        checkBitExactDecodes(e, c, 30.0);
        checkLayerOneSlices(e, c);
        if (kbps) {
            // The average applies to the whole movie, both layers together.
            size_t bytes = 0;
            for (auto& au : e.aus)
                for (auto* eye : {&au.left, &au.right})
                    for (auto& n : eye->nals)
                        bytes += n.size();
            const double kbit = bytes * 8.0 / (double(c.frames) / c.fpsNum * c.fpsDen) / 1000;
            EXPECT_GT(kbit, kbps * 0.5) << preset;
            EXPECT_LT(kbit, kbps * 1.5) << preset;
        }
    }
}
