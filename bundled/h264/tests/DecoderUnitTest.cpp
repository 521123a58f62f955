// Unit tests of the decoder's building blocks against values worked out by
// hand from the equations of ITU-T H.264.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "AnnexBReader.h"
#include "BitReader.h"
#include "Cabac.h"
#include "Cavlc.h"
#include "Md5.h"
#include "Recon.h"
#include "Syntax.h"

using namespace duoscope::h264;

namespace {

std::vector<uint8_t> packBits(const std::string& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
}

TEST(H264BitReader, ExpGolombAndFixedLengthReads) {
    // ue: 1 -> 0, 010 -> 1, 011 -> 2, 00100 -> 3, 00111 -> 6; se: 010 -> +1, 011 -> -1, 00100 -> +2, 00101 ->
    // -2
    auto bytes = packBits("1"
                          "010"
                          "011"
                          "00100"
                          "00111"
                          "010"
                          "011"
                          "00100"
                          "00101"
                          "1011");
    BitReader br(bytes.data(), bytes.size());
    EXPECT_EQ(br.ue(), 0u);
    EXPECT_EQ(br.ue(), 1u);
    EXPECT_EQ(br.ue(), 2u);
    EXPECT_EQ(br.ue(), 3u);
    EXPECT_EQ(br.ue(), 6u);
    EXPECT_EQ(br.se(), 1);
    EXPECT_EQ(br.se(), -1);
    EXPECT_EQ(br.se(), 2);
    EXPECT_EQ(br.se(), -2);
    EXPECT_EQ(br.u(4), 0xbu);
    EXPECT_FALSE(br.hasError());

    // Reads across the 64-bit cache and past the end: zeros and a sticky error.
    std::vector<uint8_t> many(20);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<uint8_t>(i * 37 + 1);
    BitReader wide(many.data(), many.size());
    wide.skip(100);
    uint32_t expected =
        (uint32_t{many[12]} << 20 | uint32_t{many[13]} << 12 | uint32_t{many[14]} << 4 | many[15] >> 4) &
        0xffffff;
    EXPECT_EQ(wide.u(24), expected);
    wide.skip(200);
    EXPECT_TRUE(wide.hasError());
    EXPECT_EQ(wide.u(8), 0u);
}

TEST(H264BitReader, ExpGolombLengthIsBounded) {
    std::vector<uint8_t> zeros(16, 0);
    zeros.push_back(0xff);
    BitReader br(zeros.data(), zeros.size());
    EXPECT_EQ(br.ue(), 0u);
    EXPECT_TRUE(br.hasError());
    // The largest legal code: 31 zeros, a one, 31 bits.
    auto big = packBits(std::string(31, '0') + "1" + std::string(31, '1'));
    BitReader ok(big.data(), big.size());
    EXPECT_EQ(ok.ue(), 0xfffffffeu);
    EXPECT_FALSE(ok.hasError());
}

TEST(H264BitReader, MoreRbspDataStopsAtTheStopBit) {
    auto bytes = packBits("10110000"
                          "10000000"
                          "00000000");
    BitReader br(bytes.data(), bytes.size());
    br.skip(8);
    EXPECT_FALSE(br.moreRbspData());
    BitReader early(bytes.data(), bytes.size());
    early.skip(7);
    EXPECT_TRUE(early.moreRbspData());
}

TEST(H264Nal, EmulationPreventionAndMvcHeader) {
    const uint8_t nal[] = {0x65, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03};
    NalHeader h;
    std::vector<uint8_t> rbsp;
    ASSERT_TRUE(parseNalUnit(nal, sizeof nal, h, rbsp));
    EXPECT_EQ(h.type, 5);
    EXPECT_EQ(h.refIdc, 3);
    EXPECT_EQ(rbsp, (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0}));
    // Type 20 with view_id 1, anchor, inter-view, non_idr.
    const uint8_t ext[] = {0x74, 0x40, 0x00, 0x47, 0xaa};
    ASSERT_TRUE(parseNalUnit(ext, sizeof ext, h, rbsp));
    EXPECT_EQ(h.type, 20);
    EXPECT_TRUE(h.hasMvcExtension);
    EXPECT_TRUE(h.nonIdr);
    EXPECT_EQ(h.viewId, 1);
    EXPECT_TRUE(h.anchorPic);
    EXPECT_TRUE(h.interViewFlag);
    EXPECT_EQ(rbsp, std::vector<uint8_t>{0xaa});
    const uint8_t forbidden[] = {0x85};
    EXPECT_FALSE(parseNalUnit(forbidden, 1, h, rbsp));
}

// A Stereo High subset SPS: 320x240, POC type 2, then the MVC extension.
std::string subsetSps(const std::string& extension) {
    return "10000000"
           "00000000"
           "00011110" // profile 128, constraints, level 30
           "1"        // seq_parameter_set_id 0
           "010"      // chroma_format_idc 1
           "1"
           "1"
           "0"
           "0"         // bit depths 8, no bypass, no scaling matrix
           "1"         // log2_max_frame_num_minus4 0
           "011"       // pic_order_cnt_type 2
           "010"       // max_num_ref_frames 1
           "0"         // gaps
           "000010100" // width in MBs - 1 = 19
           "0001111"   // height in map units - 1 = 14
           "1"
           "1"
           "0"
           "0"   // frame_mbs_only, direct_8x8, no cropping, no VUI
           "1" + // bit_equal_to_one
           extension;
}

TEST(H264SubsetSps, TwoViewsWithTheirReferencesAndNoMore) {
    // num_views_minus1 1, view_id 0 and 3; view 3: anchor l0 {0}, l1 {}, non-anchor l0 {0}, l1 {}.
    auto bytes = packBits(subsetSps("010"
                                    "1"
                                    "00100"
                                    "010"
                                    "1"
                                    "1"
                                    "010"
                                    "1"
                                    "1"
                                    "1"
                                    "00000000"
                                    "1"
                                    "000"
                                    "1"
                                    "1"
                                    "1"
                                    "1"));
    BitReader br(bytes.data(), bytes.size());
    Sps sps = parseSubsetSps(br);
    EXPECT_EQ(sps.width(), 320);
    EXPECT_EQ(sps.numViews, 2);
    EXPECT_EQ(sps.viewIds[1], 3);
    EXPECT_EQ(sps.anchorRefs[0], std::vector<int>{0});
    EXPECT_TRUE(sps.anchorRefs[1].empty());
    EXPECT_EQ(sps.nonAnchorRefs[0], std::vector<int>{0});
    auto three = packBits(subsetSps("011"
                                    "1"
                                    "010"
                                    "011"));
    BitReader br3(three.data(), three.size());
    try {
        parseSubsetSps(br3);
        ADD_FAILURE() << "three views accepted";
    } catch (const UnsupportedFeature& e) {
        EXPECT_NE(std::string(e.what()).find("more than two views (3)"), std::string::npos) << e.what();
    }
}

TEST(H264AnnexB, SplitsThreeAndFourByteStartCodesFromAPipe) {
    const uint8_t stream[] = {0x00, 0x00, 0x00, 0x01, 0x67, 0x11, 0x00, 0x00, 0x01, 0x68, 0x22,
                              0x00, 0x00, 0x00, 0x01, 0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], stream, sizeof stream), static_cast<ssize_t>(sizeof stream));
    close(fds[1]);
    AnnexBReader reader(fds[0]);
    const uint8_t* data;
    size_t size;
    uint64_t offset;
    std::vector<std::vector<uint8_t>> nals;
    std::vector<uint64_t> offsets;
    while (reader.next(data, size, offset)) {
        nals.emplace_back(data, data + size);
        offsets.push_back(offset);
    }
    close(fds[0]);
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0], (std::vector<uint8_t>{0x67, 0x11}));
    EXPECT_EQ(nals[1], (std::vector<uint8_t>{0x68, 0x22}));
    EXPECT_EQ(nals[2], (std::vector<uint8_t>{0x65, 0x00, 0x00, 0x03}));
    EXPECT_EQ(offsets, (std::vector<uint64_t>{4, 9, 15}));
}

TEST(H264Cavlc, DecodesTheClassicFiveCoefficientBlock) {
    // TotalCoeff 5, TrailingOnes 3, nC 0: the block 0 3 -1 0 / 0 -1 1 0 / 1 0 0 0 / 0 0 0 0.
    auto bytes = packBits("0000100"
                          "011"
                          "1"
                          "0010"
                          "111"
                          "10"
                          "1"
                          "1"
                          "01"
                          "1");
    BitReader br(bytes.data(), bytes.size());
    int32_t levels[16] = {};
    EXPECT_EQ(readResidualBlockCavlc(br, 0, levels, 0, 15, 16), 5);
    const int32_t expected[16] = {0, 3, 0, 1, -1, -1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(levels[i], expected[i]) << i;
    EXPECT_EQ(br.bitPosition(), 24u);
}

TEST(H264Cavlc, TableCodesAtEveryNcClass) {
    struct Case {
        const char* bits;
        int nC, totalCoeff, trailingOnes;
    } cases[] = {
        {"1", 0, 0, 0},
        {"01", 1, 1, 1},
        {"0000000000000100", 0, 16, 0},
        {"11", 2, 0, 0},
        {"0000000000000111", 0, 15, 0},
        {"0000000001", 5, 16, 0},
        {"000011", 8, 0, 0},
        {"111111", 9, 16, 3},
        {"0000000", -1, 4, 3},
        {"01", -1, 0, 0},
        {"1", -1, 1, 1},
        {"00000010", -1, 4, 2},
    };
    for (const Case& c : cases) {
        auto bytes = packBits(std::string(c.bits) + "1");
        BitReader br(bytes.data(), bytes.size());
        int tc = -1, t1 = -1;
        ASSERT_TRUE(readCoeffToken(br, c.nC, tc, t1)) << c.bits;
        EXPECT_EQ(tc, c.totalCoeff) << c.bits << " nC " << c.nC;
        EXPECT_EQ(t1, c.trailingOnes) << c.bits << " nC " << c.nC;
        EXPECT_EQ(br.bitPosition(), std::string(c.bits).size()) << c.bits;
    }
    // total_zeros and run_before, including the all-zero and longest codes.
    auto tz = packBits("000000001"
                       "000000"
                       "0000000001");
    BitReader br(tz.data(), tz.size());
    EXPECT_EQ(readTotalZeros(br, 1, 16), 15);
    EXPECT_EQ(readTotalZeros(br, 6, 16), 10);
    EXPECT_EQ(readRunBefore(br, 9), 13);
    // An invalid level prefix (all zeros) is an error, not a crash.
    std::vector<uint8_t> bad(8, 0);
    BitReader badReader(bad.data(), bad.size());
    int32_t levels[16] = {};
    EXPECT_EQ(readResidualBlockCavlc(badReader, 0, levels, 0, 15, 16), -1);
}

TEST(H264Transform, InverseTransformsMatchHandComputedResiduals) {
    uint8_t block[4 * 4];
    std::fill(std::begin(block), std::end(block), 100);
    int32_t coef[16] = {};
    coef[1] = 64; // first horizontal AC: columns get +1, +1, 0, -1
    idct4x4Add(block, 4, coef);
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(block[y * 4 + 0], 101);
        EXPECT_EQ(block[y * 4 + 1], 101);
        EXPECT_EQ(block[y * 4 + 2], 100);
        EXPECT_EQ(block[y * 4 + 3], 99);
    }
    for (int32_t c : coef)
        EXPECT_EQ(c, 0);

    uint8_t big[8 * 8];
    std::fill(std::begin(big), std::end(big), 250);
    int32_t c8[64] = {};
    c8[0] = 640; // DC 640 -> +10 everywhere, clipped at 255
    idct8x8Add(big, 8, c8);
    for (uint8_t v : big)
        EXPECT_EQ(v, 255);

    int32_t dc[16];
    std::fill(std::begin(dc), std::end(dc), 1);
    hadamard4x4(dc);
    EXPECT_EQ(dc[0], 16);
    for (int i = 1; i < 16; ++i)
        EXPECT_EQ(dc[i], 0);
    int32_t one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    one[1] = 1; // second basis function: rows +1 +1 -1 -1
    hadamard4x4(one);
    EXPECT_EQ(one[0], 1);
    EXPECT_EQ(one[1], 1);
    EXPECT_EQ(one[2], -1);
    EXPECT_EQ(one[3], -1);
    EXPECT_EQ(one[12], 1);
}

TEST(H264Interpolation, LumaSixTapAndChromaBilinearOnARamp) {
    // ref[x] = 10 x on every row: b = 10x + 5, a = 10x + 3, c = 10x + 8 (8-241 .. 8-261).
    std::vector<uint8_t> ref(16 * 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            ref[static_cast<size_t>(y * 16 + x)] = static_cast<uint8_t>(10 * x);
    uint8_t out[4 * 4];
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 5, 5, 2, 0, 4, 4);
    EXPECT_EQ(out[0], 55);
    EXPECT_EQ(out[1], 65);
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 5, 5, 1, 0, 4, 4);
    EXPECT_EQ(out[0], 53);
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 5, 5, 3, 0, 4, 4);
    EXPECT_EQ(out[0], 58);
    // Vertical and centre positions on a row-constant ramp equal the horizontal ones.
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 5, 5, 2, 2, 4, 4);
    EXPECT_EQ(out[0], 55);
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 5, 5, 0, 3, 4, 4);
    EXPECT_EQ(out[0], 50);
    // Far outside the picture: the border sample repeats.
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, -40, -40, 0, 0, 4, 4);
    EXPECT_EQ(out[15], 0);
    interpolateLuma(out, 4, ref.data(), 16, 16, 16, 40, 3, 2, 1, 4, 4);
    EXPECT_EQ(out[0], 150);
    uint8_t c[2 * 2];
    interpolateChroma(c, 2, ref.data(), 16, 16, 16, 5, 5, 4, 3, 2, 2);
    EXPECT_EQ(c[0], 55);
    interpolateChroma(c, 2, ref.data(), 16, 16, 16, 5, 5, 1, 0, 2, 2);
    EXPECT_EQ(c[0], 51); // (7*50 + 1*60) * 8 / 64 = 51.25
}

TEST(H264IntraPrediction, DirectionalModesFromTheirEquations) {
    IntraEdge e{};
    for (int i = 0; i < 8; ++i)
        e.top[i] = static_cast<uint8_t>(10 * (i + 1));
    for (int i = 0; i < 4; ++i)
        e.left[i] = static_cast<uint8_t>(100 + 10 * i);
    e.corner = 5;
    e.hasTop = e.hasLeft = e.hasCorner = e.hasTopRight = true;
    uint8_t p[16];
    predictIntraNxN(p, 4, 4, 2, e); // DC: (100 + 460 + 4) >> 3
    EXPECT_EQ(p[0], (100 + 460 + 4) >> 3);
    predictIntraNxN(p, 4, 4, 3, e); // diagonal down-left at (3,3): (p[6,-1] + 3 p[7,-1] + 2) >> 2
    EXPECT_EQ(p[15], (70 + 3 * 80 + 2) >> 2);
    predictIntraNxN(p, 4, 4, 4, e); // diagonal down-right at (0,0): (p[0,-1] + 2 p[-1,-1] + p[-1,0] + 2) >> 2
    EXPECT_EQ(p[0], (10 + 10 + 100 + 2) >> 2);
    predictIntraNxN(p, 4, 4, 8, e); // horizontal-up beyond zHU 5: p[-1,3]
    EXPECT_EQ(p[15], 130);
    e.hasTopRight = false; // above-right replaced by p[3,-1]
    predictIntraNxN(p, 4, 4, 7, e);
    EXPECT_EQ(p[3 + 4 * 2], (40 + 40 + 1) >> 1); // vertical-left (3,2): (p[4,-1] + p[5,-1] + 1) >> 1
}

TEST(H264Cabac, EngineAndContextInitialisation) {
    CabacContext ctx[kCabacContexts];
    initCabacContexts(ctx, 0, 26);
    // ctxIdx 0 (m = 20, n = -15): preCtxState = (20 * 26 >> 4) - 15 = 17 -> pStateIdx 46, valMPS 0.
    EXPECT_EQ(ctx[0].state(), 46);
    EXPECT_EQ(ctx[0].mps(), 0);
    // ctxIdx 60 (m = 0, n = 41): 41 -> pStateIdx 22, valMPS 0.
    EXPECT_EQ(ctx[60].state(), 22);
    // ctxIdx 11 for cabac_init_idc 0 (m = 23, n = 33) at QP 51: 73 + 33 = 106 -> 42, valMPS 1.
    initCabacContexts(ctx, 1, 51);
    EXPECT_EQ(ctx[11].state(), 42);
    EXPECT_EQ(ctx[11].mps(), 1);

    // With an all-zero offset every decision is the MPS: range 510 - rangeTabLPS[0][3] = 270.
    const uint8_t zeros[8] = {};
    CabacDecoder dec;
    dec.start(zeros, sizeof zeros, 0);
    CabacContext c = CabacContext::make(0, 1);
    EXPECT_EQ(dec.decodeDecision(c), 1);
    EXPECT_EQ(c.state(), 1);
    EXPECT_EQ(dec.decodeBypass(), 0);
    EXPECT_EQ(dec.decodeTerminate(), 0);
    // An all-ones offset is above every range: LPS, then terminate.
    const uint8_t ones[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    dec.start(ones, sizeof ones, 0);
    CabacContext d = CabacContext::make(0, 0);
    EXPECT_EQ(dec.decodeDecision(d), 1);
    EXPECT_EQ(d.mps(), 1); // LPS at state 0 flips valMPS
    EXPECT_EQ(dec.decodeTerminate(), 1);
}

TEST(H264Md5, KnownDigest) {
    Md5 md5;
    const std::string text = "The quick brown fox jumps over the lazy dog";
    md5.update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(md5.hex(), "9e107d9d372bb6826bd81d3542a419d6");
}

} // namespace
