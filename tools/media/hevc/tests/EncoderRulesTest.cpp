#include "isobmff/MovieReader.h"
#include "media/hevc/StereoMovie.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

using namespace media::hevc;

TEST(QualityTable, DocumentedPointsAndMonotonic) {
    EXPECT_DOUBLE_EQ(crfForQuality(0.5), 28);
    EXPECT_DOUBLE_EQ(crfForQuality(0.7), 23);
    EXPECT_DOUBLE_EQ(crfForQuality(0.85), 18);
    EXPECT_DOUBLE_EQ(crfForQuality(0.88), 17);
    EXPECT_DOUBLE_EQ(crfForQuality(-1), 36);
    EXPECT_DOUBLE_EQ(crfForQuality(2), 12);
    double last = 100;
    for (int i = 0; i <= 1000; ++i) {
        const double crf = crfForQuality(i / 1000.0);
        EXPECT_LE(crf, last) << i;
        last = crf;
    }
}

TEST(QualityTable, SpeedPresetFollowsQuality) {
    for (auto [quality, preset] :
         {std::pair{0.88, "medium"}, std::pair{0.8, "medium"}, std::pair{0.7, "fast"}, std::pair{0.6, "fast"},
          std::pair{0.5, "veryfast"}})
        EXPECT_EQ(presetForQuality(quality), preset) << quality;
}

TEST(PicturePlan, IdrEveryKeyintAndAtCutsBRunsClosedByP) {
    // keyint 12, cuts honoured from 3 pictures after an IDR, 3 B pictures per run.
    PicturePlan plan(12, 3, 3);
    std::string types;
    for (int i = 0; i < 30; ++i)
        types += "?IIPBB"[plan.next(i == 13 || i == 15 || i == 18 || i == 20)]; // IDR 1, P 3, B 5
    // Cuts 1 and 2 pictures after an IDR (13, 20) are too close; 15 and 18 become IDRs.
    EXPECT_EQ(types, "IBBBPBBBPBBBIBBIBBIBBBPBBBPBBB");
    PicturePlan noB(4, 1, 0);
    types.clear();
    for (int i = 0; i < 9; ++i)
        types += "?IIPBB"[noB.next(false)];
    EXPECT_EQ(types, "IPPPIPPPI");
}

TEST(PicturePlan, SceneCutsSeenByBothEyesOnlyNotPansFadesOrOneEyeFlashes) {
    constexpr int W = 256, H = 64;
    auto texture = [](int x, int y, int scene) { // two smooth scenes of different brightness ranges
        return scene ? 60 + int(40 * std::sin(x / 11.0 + y / 13.0))
                     : 150 + int(60 * std::sin(x / 17.0) * std::cos(y / 9.0));
    };
    std::vector<uint8_t> eyes[2] = {std::vector<uint8_t>(W * H * 3 / 2, 128),
                                    std::vector<uint8_t>(W * H * 3 / 2, 128)};
    SceneCutDetector detector;
    std::vector<int> cuts;
    for (int n = 0; n < 24; ++n) {
        const int scene = n >= 10, pan = 8 * n;                    // a fast pan, a cut at 10
        const double fade = n >= 14 ? 1.0 - 0.08 * (n - 13) : 1.0; // a fade from 14
        PlanarPicture pictures[2];
        for (int eye = 0; eye < 2; ++eye) {
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const int grain =
                        int((uint32_t((x + 7 * eye) * 2654435761u) ^ uint32_t(n * y * 40503)) % 9) - 4;
                    const int flash = eye == 1 && n == 5 ? 120 : 0; // only the right eye
                    eyes[eye][size_t(y * W + x)] = uint8_t(
                        std::clamp(int(fade * texture(x + pan + 3 * eye, y, scene)) + grain + flash, 0, 255));
                }
            pictures[eye].planes[0] = eyes[eye].data();
            pictures[eye].planes[1] = pictures[eye].planes[2] = eyes[eye].data() + W * H;
            pictures[eye].strides[0] = W;
            pictures[eye].strides[1] = pictures[eye].strides[2] = W / 2;
        }
        if (detector.isCut(pictures[0], pictures[1], W, H)) cuts.push_back(n);
    }
    EXPECT_EQ(cuts, std::vector<int>{10});
}

TEST(EyesInStep, MismatchedPairsAreErrors) {
    auto picture = [](int poc, int type, int nalType) {
        EncodedPicture p;
        p.poc = poc;
        p.pts = poc;
        p.sliceType = type;
        p.nals.push_back(Bytes{uint8_t(nalType << 1), 1, 0xAF});
        return p;
    };
    EXPECT_NO_THROW(checkEyesInStep({picture(4, 3, hevcnal::trailR), picture(4, 3, hevcnal::trailR)}, 7));
    EXPECT_THROW(checkEyesInStep({picture(4, 3, hevcnal::trailR), picture(6, 3, hevcnal::trailR)}, 7), Error);
    EXPECT_THROW(checkEyesInStep({picture(4, 3, hevcnal::trailR), picture(4, 5, hevcnal::trailR)}, 7), Error);
    EXPECT_THROW(checkEyesInStep({picture(0, 1, hevcnal::idrWRadl), picture(0, 1, hevcnal::craNut)}, 0),
                 Error);
    StereoAccessUnit noSlice{picture(0, 1, hevcnal::idrWRadl), picture(0, 1, hevcnal::idrWRadl)};
    noSlice.right.nals[0][0] = uint8_t(hevcnal::prefixSei << 1);
    EXPECT_THROW(checkEyesInStep(noSlice, 0), Error);
    try {
        checkEyesInStep({picture(4, 3, hevcnal::trailR), picture(6, 3, hevcnal::trailR)}, 7);
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("access unit 7"), std::string::npos);
    }
}

TEST(StereoEncoderSetup, RejectsSizesAndRatesItCannotEncode) {
    EncoderSettings s;
    s.width = 63;
    s.height = 64;
    EXPECT_THROW(StereoEncoder{s}, Error);
    s.width = 64;
    s.fpsDen = 0;
    EXPECT_THROW(StereoEncoder{s}, Error);
    s.fpsDen = 1;
    s.preset = "no-such-preset";
    EXPECT_THROW(StereoEncoder{s}, Error);
}

// Sample times are whole multiples of the frame duration in the rate's own timescale, so a two-hour
// film at 24000/1001 ends exactly where it should: no drift against its sound, however long.
TEST(StereoTiming, TwoHoursAt24000Over1001EndExactly) {
    EncoderSettings s;
    s.width = s.height = 16;
    s.preset = "ultrafast";
    StereoEncoder encoder(s);
    std::vector<uint8_t> grey(16 * 16 * 3 / 2, 128);
    PlanarPicture picture;
    picture.planes[0] = grey.data();
    picture.planes[1] = grey.data() + 256;
    picture.planes[2] = grey.data() + 320;
    picture.strides[0] = 16;
    picture.strides[1] = picture.strides[2] = 8;
    std::vector<StereoAccessUnit> aus;
    encoder.encode(picture, picture, 0, aus);
    encoder.flush(aus);
    ASSERT_EQ(aus.size(), 1u);

    const auto path =
        std::filesystem::temp_directory_path() / ("stereo-timing-" + std::to_string(::getpid()) + ".mov");
    constexpr int64_t frames = 172800; // 2 h 0 min 7.2 s
    {
        StereoMovieWriter writer(path.string(), encoder);
        StereoAccessUnit au = aus[0];
        for (int64_t k = 0; k < frames; ++k) {
            au.left.pts = au.left.dts = au.right.pts = au.right.dts = k;
            writer.addAccessUnit(au);
        }
        writer.finish();
    }
    media::MovieReader movie(path.string());
    std::filesystem::remove(path);
    const media::TrackInfo& t = movie.tracks()[0];
    ASSERT_EQ(t.samples.size(), size_t(frames));
    EXPECT_EQ(t.timescale, 24000u);
    EXPECT_EQ(t.mediaDuration, uint64_t(frames) * 1001); // 7207.2 s exactly
    EXPECT_EQ(movie.movieDuration() * t.timescale, uint64_t(frames) * 1001 * movie.movieTimescale());
    const media::SampleInfo& last = t.samples.back();
    EXPECT_EQ(last.presentationTime + t.presentationShift, (frames - 1) * 1001);
    EXPECT_EQ(last.duration, 1001u);
}
