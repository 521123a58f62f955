// Unit tests of the decoder's readers against values worked out by hand from
// the syntax of ITU-T H.264, and their behaviour on input no encoder writes.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "AnnexBReader.h"
#include "BitReader.h"
#include "Cavlc.h"
#include "Syntax.h"

using namespace duoscope::h264;

namespace {

std::vector<uint8_t> packBits(const std::string& bits) {
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
}

// The codes every stream is made of are read in every DecoderMatrixTest stream;
// here the reader's cache boundary and its end, which clean streams never reach.
TEST(H264BitReader, ReadsAcrossTheCacheAndStopsAtTheEnd) {
    // Past the end: zeros and a sticky error.
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

TEST(H264Nal, EmulationPreventionAndTheForbiddenBit) {
    const uint8_t nal[] = {0x65, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03};
    NalHeader h;
    std::vector<uint8_t> rbsp;
    ASSERT_TRUE(parseNalUnit(nal, sizeof nal, h, rbsp));
    EXPECT_EQ(h.type, 5);
    EXPECT_EQ(h.refIdc, 3);
    EXPECT_EQ(rbsp, (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0}));
    // The MVC extension header is read on every two-view stream of MvcTest.
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

// Two views with their references are read in every stream of MvcTest; a third is named.
TEST(H264SubsetSps, MoreThanTwoViewsAreNamed) {
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

// The coefficient codes, transforms, predictions and the CABAC engine and its
// context tables are judged bit-exactly against ffmpeg on every coding tool
// x264 writes (DecoderMatrixTest, every cabac_init_idc at every slice QP);
// here only what those clean streams never hold.
TEST(H264Cavlc, InvalidLevelPrefixIsAnErrorNotACrash) {
    std::vector<uint8_t> bad(8, 0);
    BitReader badReader(bad.data(), bad.size());
    int32_t levels[16] = {};
    EXPECT_EQ(readResidualBlockCavlc(badReader, 0, levels, 0, 15, 16), -1);
}

} // namespace
