#include "PackerSupport.h"
#include "isobmff/Box.h"

#include <gtest/gtest.h>

using namespace stereopacker;

TEST(StereoPackerArguments, EngineCallShapesAndBadValues) {
    auto a = std::get<Arguments>(parseArguments({"in.mov", "out.mov", "0.88", "35"}));
    EXPECT_EQ(a.input, "in.mov");
    EXPECT_EQ(a.output, "out.mov");
    EXPECT_DOUBLE_EQ(a.quality, 0.88);
    EXPECT_EQ(a.rateMbps, 35u);
    a = std::get<Arguments>(parseArguments({"in.mov", "out.mov", "0.7"}));
    EXPECT_FALSE(a.rateMbps);
    EXPECT_FALSE(a.half || a.topBottom || a.rightFirst);
    // The engine's layout and spatial options follow the positional arguments.
    a = std::get<Arguments>(
        parseArguments({"in.mkv", "out.mov", "0.7", "--layout", "htb", "--right-first", "--hfov", "63.4",
                        "--baseline", "19.24", "--disparity-adjustment", "-0.02"}));
    EXPECT_TRUE(a.half && a.topBottom && a.rightFirst);
    EXPECT_EQ(a.spatial.fieldOfViewThousandths, 63400u);
    EXPECT_EQ(a.spatial.baselineMicrometres, 19240u);
    EXPECT_EQ(a.spatial.disparityAdjustment, -200);
    for (const auto& bad :
         std::vector<std::vector<std::string>>{{},
                                               {"in.mov", "out.mov"},
                                               {"in.mov", "out.mov", "0.7", "25", "x"},
                                               {"in.mov", "out.mov", "high"},
                                               {"in.mov", "out.mov", "1.2"},
                                               {"in.mov", "out.mov", "0.85", "0"},
                                               {"in.mov", "out.mov", "0.85", "2.5"},
                                               {"", "out.mov", "0.85"},
                                               {"in.mov", "out.mov", "0.85", "--layout", "mvc"},
                                               {"in.mov", "out.mov", "0.85", "--hfov"},
                                               {"in.mov", "out.mov", "0.85", "--baseline", "-3"}}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(parseArguments(bad))) << bad.size();
    }
}

TEST(StereoPackerArguments, ProgressLinesCarryTheEnginesPercentShape) {
    EXPECT_EQ(progressLine(5, 100), "Frame 5/100 (5.0%)");
    EXPECT_EQ(progressLine(1, 3), "Frame 1/3 (33.3%)");
    EXPECT_EQ(progressLine(72, 72), "Frame 72/72 (100.0%)");
    EXPECT_EQ(progressLine(80, 72), "Frame 80/72 (100.0%)");
    EXPECT_EQ(progressLine(7, 0), "Frame 7");
}

TEST(StereoPackerAudio, Ac3HeaderAndDac3Fields) {
    // 48 kHz, 384 kbit/s (frmsizecod 28), bsid 8, bsmod 0, acmod 7 (3/2), LFE on.
    // Bits after the CRC: fscod 00, frmsizecod 011100, bsid 01000, bsmod 000, acmod 111,
    // cmixlev 00, surmixlev 00, lfeon 1.
    const std::vector<uint8_t> frame = {0x0B, 0x77, 0x00, 0x00, 0x1C, 0x40, 0xE1, 0x10};
    const auto info = parseAc3Header(frame);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sampleRate(), 48000);
    EXPECT_EQ(info->acmod, 7);
    EXPECT_EQ(info->lfeon, 1);
    EXPECT_EQ(info->channels(), 6);
    EXPECT_EQ(info->bitRateCode, 14);
    const auto entry = ac3SampleEntry(*info);
    ASSERT_EQ(entry.size(), 36u + 11u);
    EXPECT_EQ(media::readBE32(entry.data() + 4), media::fourcc("ac-3"));
    EXPECT_EQ(media::readBE32(entry.data() + 36 + 4), media::fourcc("dac3"));
    // fscod 0 | bsid 8 | bsmod 0 | acmod 7 | lfeon 1 | bit_rate_code 14 | reserved
    const uint32_t dac3 = (uint32_t(entry[44]) << 16) | (uint32_t(entry[45]) << 8) | entry[46];
    EXPECT_EQ(dac3, (8u << 17) | (7u << 11) | (1u << 10) | (14u << 5));
    EXPECT_FALSE(parseAc3Header(std::vector<uint8_t>{0x0B, 0x77, 0, 0, 0xC0, 0, 0, 0})); // fscod 3
    EXPECT_FALSE(parseAc3Header(std::vector<uint8_t>{0x0B, 0x78, 0, 0, 0, 0, 0, 0}));
}

TEST(StereoPackerFrameRate, MillisecondTimestampsGiveBackTheSourceRate) {
    struct Case {
        FrameRate average, real, exact;
    };
    const Case cases[] = {
        {{768000, 32023}, {24000, 1001}, {24000, 1001}}, // Matroska remuxed to QuickTime
        {{16000, 667}, {24000, 1001}, {24000, 1001}},
        {{10000, 417}, {}, {24000, 1001}},
        {{7001, 146}, {7001, 146}, {48000, 1001}}, // frame-alternate Matroska
        {{24, 1}, {48, 1}, {24, 1}},               // a base rate that disagrees with the average
        {{25, 1}, {}, {25, 1}},
        {{47, 2}, {47, 2}, {47, 2}}, // an unusual rate stands
        {{}, {30000, 1001}, {30000, 1001}},
        {{}, {}, {}},
    };
    for (const Case& c : cases) {
        const FrameRate r = exactFrameRate(c.average, c.real);
        EXPECT_EQ(r, c.exact) << c.average.num << "/" << c.average.den << " " << c.real.num << "/"
                              << c.real.den;
    }
}
