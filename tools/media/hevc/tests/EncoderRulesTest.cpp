#include "media/hevc/StereoEncoder.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(presetForQuality(0.88), "medium");
    EXPECT_EQ(presetForQuality(0.8), "medium");
    EXPECT_EQ(presetForQuality(0.7), "fast");
    EXPECT_EQ(presetForQuality(0.6), "fast");
    EXPECT_EQ(presetForQuality(0.5), "veryfast");
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

TEST(EyesInStep, MismatchedPairsAreErrors) {
    auto picture = [](int poc, int type, int nalType) {
        EncodedPicture p;
        p.poc = poc;
        p.pts = poc;
        p.sliceType = type;
        p.nals.push_back(Bytes{uint8_t(nalType << 1), 1, 0xAF});
        return p;
    };
    EXPECT_NO_THROW(checkEyesInStep({picture(4, 3, kTrailR), picture(4, 3, kTrailR)}, 7));
    EXPECT_THROW(checkEyesInStep({picture(4, 3, kTrailR), picture(6, 3, kTrailR)}, 7), Error);
    EXPECT_THROW(checkEyesInStep({picture(4, 3, kTrailR), picture(4, 5, kTrailR)}, 7), Error);
    EXPECT_THROW(checkEyesInStep({picture(0, 1, kIdrWRadl), picture(0, 1, kCraNut)}, 0), Error);
    StereoAccessUnit noSlice{picture(0, 1, kIdrWRadl), picture(0, 1, kIdrWRadl)};
    noSlice.right.nals[0][0] = uint8_t(kPrefixSei << 1);
    EXPECT_THROW(checkEyesInStep(noSlice, 0), Error);
    try {
        checkEyesInStep({picture(4, 3, kTrailR), picture(6, 3, kTrailR)}, 7);
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
