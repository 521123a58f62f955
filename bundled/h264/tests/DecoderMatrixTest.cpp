// Bit-exactness of the decoder against ffmpeg on streams x264 makes at test
// time: every output frame's MD5 must match ffmpeg's framemd5.
#include <gtest/gtest.h>

#include <vector>

#include "BitReader.h"
#include "DecoderTestSupport.h"
#include "Syntax.h"

namespace {

struct MatrixCase {
    const char* name;
    const char* size;
    int frames;
    const char* x264Options;
};

void PrintTo(const MatrixCase& c, std::ostream* os) {
    *os << c.name;
}

class H264Matrix : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(H264Matrix, EveryFrameMatchesFfmpeg) {
    const MatrixCase& c = GetParam();
    std::string log;
    ASSERT_TRUE(h264test::makeStream(c.name, c.size, c.frames, c.x264Options, log)) << log;
    std::string base = h264test::workDir() + "/" + c.name;
    auto r = h264test::decodeAndVerify(base);
    EXPECT_EQ(r.status, 0) << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_NE(r.output.find("MD5 verification passed: " + std::to_string(c.frames) + " frames"),
              std::string::npos)
        << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_EQ(r.output.find("Warning"), std::string::npos) << "a clean stream must decode without warnings";
}

// CAVLC: baseline and high profile tools. Deblocking settings and picture sizes,
// the same code for both entropy coders, are in the CABAC list only.
const MatrixCase kCavlcCases[] = {
    {"baseline_intra", "176x144", 6, "--profile baseline --keyint 1"},
    {"baseline_ref16", "176x144", 24, "--profile baseline --ref 16"},
    {"cavlc_high_8x8_weightp", "176x144", 20, "--profile high --no-cabac --bframes 0 --weightp 2"},
    {"cavlc_no8x8", "176x144", 12, "--profile high --no-cabac --no-8x8dct"},
    {"cavlc_bpyramid_spatial", "176x144", 30,
     "--profile high --no-cabac --bframes 3 --b-pyramid normal --direct spatial"},
    {"cavlc_temporal_direct", "176x144", 30, "--profile high --no-cabac --bframes 3 --direct temporal"},
    {"cavlc_weightb", "176x144", 24, "--profile high --no-cabac --bframes 2 --weightb"},
    {"cavlc_cqm_jvt", "176x144", 12, "--profile high --no-cabac --cqm jvt"},
    {"cavlc_many_slices", "176x144", 12, "--profile high --no-cabac --slice-max-size 250"},
    {"cavlc_constrained_intra", "176x144", 12, "--profile baseline --constrained-intra --ref 2"},
    {"cavlc_qp1_large_levels", "176x144", 3, "--profile high --no-cabac --qp 1"},
    {"cavlc_fake_interlaced", "176x144", 8, "--profile high --no-cabac --fake-interlaced"},
};

// CABAC: main and high profile, B pyramids, weighted and direct prediction.
const MatrixCase kCabacCases[] = {
    {"main_intra", "176x144", 4, "--profile main --keyint 1"},
    {"high_default", "176x144", 30, "--profile high"},
    {"high_pyramid_ref16", "176x144", 30, "--profile high --ref 16 --bframes 4 --b-pyramid strict"},
    {"high_temporal_weightb", "176x144", 30, "--profile high --direct temporal --bframes 3 --weightb"},
    {"high_spatial_weightp", "176x144", 24, "--profile high --direct spatial --weightp 2 --bframes 2"},
    {"high_b8x8_partitions", "176x144", 24,
     "--profile high --bframes 3 --partitions all --subme 9 --no-8x8dct"},
    {"high_intra8x8", "176x144", 4, "--profile high --keyint 1"},
    {"high_cqm_jvt", "176x144", 16, "--profile high --cqm jvt"},
    {"high_many_slices", "176x144", 12, "--profile high --slice-max-size 250"},
    {"high_deblock_offsets", "176x144", 12, "--profile high --deblock 2:-3"},
    {"high_no_deblock", "176x144", 8, "--profile high --no-deblock"},
    {"high_constrained_intra", "176x144", 12, "--profile high --constrained-intra --bframes 0"},
    {"high_qp1_large_levels", "176x144", 3, "--profile high --qp 1"},
    {"high_odd_size", "200x120", 8, "--profile high"},
    {"high_qcif_pal", "720x576", 6, "--profile high"},
};

INSTANTIATE_TEST_SUITE_P(Cabac, H264Matrix, ::testing::ValuesIn(kCabacCases),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Cavlc, H264Matrix, ::testing::ValuesIn(kCavlcCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every context's initial state depends on the slice QP, so one stream per
// cabac_init_idc joins small encodes at slice QPs from 0 to 51. The x264
// program always writes cabac_init_idc 0; its library takes 1 and 2
// ("cabac-idc"), so these streams come through ffmpeg's libx264.
class H264CabacInitIdc : public ::testing::TestWithParam<int> {};

TEST_P(H264CabacInitIdc, EverySliceQpMatchesFfmpeg) {
    int idc = GetParam();
    std::string dir = h264test::workDir();
    std::string base = dir + "/init_idc" + std::to_string(idc);
    std::string joined;
    int frames = 0;
    for (int qp : {1, 5, 10, 15, 20, 25, 30, 35, 40, 45, 49}) {
        std::string part = base + "_qp" + std::to_string(qp) + ".264";
        // B frames add 2 to the QP and I frames take 3 off: slice QPs 0..51 are all met
        // (a QP of 0 itself would make x264 switch to lossless coding).
        auto enc = h264test::run(
            "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=96x64:rate=25,noise=alls=12:allf=t "
            "-frames:v 9 -pix_fmt yuv420p -c:v libx264 -profile:v high -x264-params cabac-idc=" +
            std::to_string(idc) + ":qp=" + std::to_string(qp) +
            ":bframes=2:b-adapt=0:weightp=2:weightb=1:direct=auto:partitions=all:8x8dct=1 " + part);
        ASSERT_EQ(enc.status, 0) << enc.output;
        joined += h264test::readFile(part);
        frames += 9;
    }
    std::ofstream(base + ".264", std::ios::binary) << joined;
    auto ref = h264test::referenceMd5(base);
    ASSERT_EQ(ref.status, 0) << ref.output;
    auto r = h264test::decodeAndVerify(base);
    EXPECT_EQ(r.status, 0) << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_NE(r.output.find("MD5 verification passed: " + std::to_string(frames) + " frames"),
              std::string::npos)
        << r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
    EXPECT_EQ(r.output.find("Warning"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Cabac, H264CabacInitIdc, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "idc" + std::to_string(info.param); });

} // namespace

namespace {

// A full-HD High-profile CABAC stream of 200 frames: long GOP, B pyramid,
// several references, cropping to 1080 lines; also bounds memory use.
TEST(H264Long, FullHd200FramesMatchFfmpeg) {
    std::string log;
    ASSERT_TRUE(
        h264test::makeStream("long_1080p", "1920x1080", 200,
                             "--profile high --preset veryfast --bframes 3 --b-pyramid normal --ref 4 "
                             "--keyint 120",
                             log))
        << log;
    std::string base = h264test::workDir() + "/long_1080p";
    auto r = h264test::run("/usr/bin/time -f 'maxrss=%M' " + h264test::ldecod() + " -p InputFile=" + base +
                           ".264 -p OutputFile=/dev/null -p VerifyMd5=" + base + ".md5");
    EXPECT_EQ(r.status, 0) << r.output.substr(r.output.size() > 2000 ? r.output.size() - 2000 : 0);
    EXPECT_NE(r.output.find("MD5 verification passed: 200 frames"), std::string::npos);
    size_t pos = r.output.find("maxrss=");
    ASSERT_NE(pos, std::string::npos);
    long rssKiB = std::stol(r.output.substr(pos + 7));
    EXPECT_LT(rssKiB, 100 * 1024) << "resident size must stay bounded by the DPB";
}

} // namespace

namespace {

// x264 never writes pic_order_cnt_type 1. A baseline stream with type 2 is
// rewritten to type 1 with one offset_for_ref_frame of 2 (the same order for
// an all-reference stream) and ffmpeg decodes the rewritten stream as the
// reference, so the type 1 equations are checked independently.
struct BitString {
    std::string bits;
    void u(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            bits += ((v >> i) & 1) ? '1' : '0';
    }
    void ue(uint32_t v) {
        uint32_t x = v + 1;
        int len = 32 - __builtin_clz(x);
        u(0, len - 1);
        u(x, len);
    }
    void se(int v) { ue(v > 0 ? 2 * v - 1 : -2 * v); }
};

// The NAL units of an Annex B stream, without start codes and trailing zeros.
std::vector<std::string> splitNals(const std::string& bytes) {
    std::vector<std::string> nals;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t start = bytes.find(std::string("\0\0\1", 3), pos);
        if (start == std::string::npos) break;
        start += 3;
        size_t end = bytes.find(std::string("\0\0\1", 3), start);
        if (end == std::string::npos) end = bytes.size();
        std::string nal = bytes.substr(start, end - start);
        while (!nal.empty() && nal.back() == 0)
            nal.pop_back();
        nals.push_back(nal);
        pos = end;
    }
    return nals;
}

// A NAL unit from its header byte and RBSP bits (zero-padded to a byte),
// with emulation prevention bytes inserted.
std::string escapeNal(std::string bits, char header) {
    while (bits.size() % 8)
        bits += '0';
    std::string payload(1, header);
    int zeros = 0;
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t b = static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2));
        if (zeros >= 2 && b <= 3) {
            payload += '\3';
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        payload += static_cast<char>(b);
    }
    return payload;
}

// Writes the rewritten stream and checks every frame against ffmpeg's decoding of it.
void expectMatchesFfmpeg(const std::string& name, const std::vector<std::string>& nals, int frames) {
    std::string out;
    for (const std::string& nal : nals)
        out += std::string("\0\0\0\1", 4) + nal;
    std::string base = h264test::workDir() + "/" + name;
    std::ofstream(base + ".264", std::ios::binary) << out;
    auto ref = h264test::referenceMd5(base);
    ASSERT_EQ(ref.status, 0) << ref.output;
    auto r = h264test::decodeAndVerify(base);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("MD5 verification passed: " + std::to_string(frames) + " frames"),
              std::string::npos)
        << r.output;
}

struct Rbsp {
    std::vector<uint8_t> bytes;
    duoscope::h264::NalHeader header;
};

Rbsp unescape(const std::string& nal) {
    Rbsp r;
    EXPECT_TRUE(duoscope::h264::parseNalUnit(reinterpret_cast<const uint8_t*>(nal.data()), nal.size(),
                                             r.header, r.bytes));
    return r;
}

TEST(H264PocType1, RewrittenStreamMatchesFfmpeg) {
    std::string log;
    ASSERT_TRUE(
        h264test::makeStream("poc2_source", "176x144", 15, "--profile baseline --bframes 0 --ref 3", log))
        << log;
    std::vector<std::string> nals = splitNals(h264test::readFile(h264test::workDir() + "/poc2_source.264"));
    bool rewritten = false;
    for (std::string& nal : nals) {
        if ((nal[0] & 31) != 7) continue;
        // Read up to pic_order_cnt_type, write the new fields, copy the rest.
        Rbsp rbsp = unescape(nal);
        duoscope::h264::BitReader br(rbsp.bytes.data(), rbsp.bytes.size());
        BitString w;
        w.u(br.u(8), 8);
        w.u(br.u(8), 8);
        w.u(br.u(8), 8);
        w.ue(br.ue());
        w.ue(br.ue());
        ASSERT_EQ(br.ue(), 2u);
        w.ue(1);
        w.u(1, 1); // delta_pic_order_always_zero_flag
        w.se(0);   // offset_for_non_ref_pic
        w.se(0);   // offset_for_top_to_bottom_field
        w.ue(1);   // num_ref_frames_in_pic_order_cnt_cycle
        w.se(2);   // offset_for_ref_frame[0]
        while (br.bitsLeft() > 0)
            w.u(br.u(1), 1);
        nal = escapeNal(w.bits, nal[0]);
        rewritten = true;
    }
    ASSERT_TRUE(rewritten);
    expectMatchesFfmpeg("poc1", nals, 15);
}

// x264 never marks long-term references. One P slice of a baseline stream gets
// memory_management_control_operation 4 and 6 (the picture becomes long-term
// frame 0), so later slices predict from a long-term reference placed after
// the short-term ones; ffmpeg decodes the same rewritten stream as the reference.
TEST(H264LongTerm, RewrittenStreamMatchesFfmpeg) {
    std::string log;
    ASSERT_TRUE(h264test::makeStream("lt_source", "176x144", 20,
                                     "--profile baseline --bframes 0 --ref 3 --keyint 50", log))
        << log;
    std::vector<std::string> nals = splitNals(h264test::readFile(h264test::workDir() + "/lt_source.264"));
    int log2MaxFrameNum = 0;
    bool rewritten = false;
    for (std::string& nal : nals) {
        Rbsp rbsp = unescape(nal);
        duoscope::h264::BitReader br(rbsp.bytes.data(), rbsp.bytes.size());
        if (rbsp.header.type == 7) {
            br.skip(24);
            br.ue();
            log2MaxFrameNum = static_cast<int>(br.ue()) + 4;
            ASSERT_EQ(br.ue(), 2u) << "expected POC type 2 from x264 without B-frames";
        } else if (rbsp.header.type == 1 && !rewritten) {
            BitString w;
            w.ue(br.ue()); // first_mb_in_slice
            uint32_t sliceType = br.ue();
            w.ue(sliceType);
            w.ue(br.ue()); // pic_parameter_set_id
            uint32_t frameNum = br.u(log2MaxFrameNum);
            w.u(frameNum, log2MaxFrameNum);
            if (frameNum != 4 || sliceType % 5 != 0 || rbsp.header.refIdc == 0) continue;
            uint32_t overrideFlag = br.u(1);
            w.u(overrideFlag, 1);
            if (overrideFlag) w.ue(br.ue());
            ASSERT_EQ(br.u(1), 0u); // ref_pic_list_modification_flag_l0
            w.u(0, 1);
            ASSERT_EQ(br.u(1), 0u); // adaptive_ref_pic_marking_mode_flag
            w.u(1, 1);
            w.ue(4); // max_long_term_frame_idx_plus1 = 1
            w.ue(1);
            w.ue(6); // current picture -> long_term_frame_idx 0
            w.ue(0);
            w.ue(0); // end of operations
            while (br.bitsLeft() > 0)
                w.u(br.u(1), 1);
            nal = escapeNal(w.bits, nal[0]);
            rewritten = true;
        }
    }
    ASSERT_TRUE(rewritten);
    expectMatchesFfmpeg("longterm", nals, 20);
}

} // namespace
