// Bit-exact checks of what the kit writes: emulation prevention, SPS / subset
// SPS and MVC NAL header round trips on real MVC streams, the container
// arithmetic and the PSNR judgement.
#include "Containers.h"
#include "H264Syntax.h"
#include "StereoCheck.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kit {
namespace {

// Exp-Golomb codes are judged by the parameter sets below, written back to the
// reference streams' own bytes.
TEST(KitBits, ReaderRejectsOverlongAndShortInput) {
    const Bytes zeros(8, 0);
    BitReader r(zeros);
    EXPECT_THROW(r.ue(), BitstreamError);
    const Bytes one{0xFF};
    BitReader s(one);
    EXPECT_THROW(s.bits(9), BitstreamError);
}

TEST(KitBits, EmulationPreventionRoundTrips) {
    const std::vector<Bytes> cases{
        {0, 0, 0},       {0, 0, 1}, {0, 0, 2, 0, 0, 3}, {0, 0, 0, 0, 0, 0}, {1, 0, 0, 4, 0},
        {0, 0, 3, 0, 0}, {0xAB},
    };
    for (const Bytes& rbsp : cases) {
        const Bytes escaped = escapeRbsp(rbsp);
        for (size_t i = 2; i < escaped.size(); ++i)
            EXPECT_FALSE(escaped[i - 2] == 0 && escaped[i - 1] == 0 && escaped[i] <= 2)
                << "start code emulated";
        EXPECT_EQ(unescapeRbsp(escaped), rbsp);
    }
    EXPECT_EQ(escapeRbsp(Bytes{0, 0, 1}), (Bytes{0, 0, 3, 1}));
}

TEST(KitBits, AnnexBSplitHandlesBothStartCodesAndTrailingZeros) {
    const Bytes stream{0, 0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 0, 1, 0x68, 0xBB, 0, 0};
    const auto nals = splitAnnexB(stream);
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0].bytes, (Bytes{0x09, 0x10}));
    EXPECT_EQ(nals[1].bytes, (Bytes{0x67, 0xAA}));
    EXPECT_EQ(nals[2].bytes, (Bytes{0x68, 0xBB}));
    EXPECT_EQ(nals[1].offset, 9u);
}

// Every SPS and subset SPS of the reference MVC streams (conformance and
// JM-encoded) parses and writes back to the same bytes, and the slice
// extension headers carry the view ids their README names.
TEST(KitSyntax, ParameterSetsOfReferenceMvcStreamsRoundTripBitExact) {
    const std::filesystem::path dir = std::filesystem::path(DUOSCOPE_TESTDATA_DIR) / "mvc";
    int spsCount = 0, subsetCount = 0, files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".264") continue;
        ++files;
        const std::string name = entry.path().filename().string();
        const uint32_t expectedViewId = name.rfind("MVCDS", 0) == 0 || name.rfind("MVCSPS", 0) == 0 ? 2 : 1;
        const Bytes stream = duoscope::test::readBytes(entry.path());
        for (const NalUnit& nal : splitAnnexB(stream)) {
            const std::span<const uint8_t> payload(nal.bytes.data() + 1, nal.bytes.size() - 1);
            if (nal.type() == 7) {
                const SpsData sps = parseSpsNal(nal.bytes);
                EXPECT_EQ(escapeRbsp(writeSpsRbsp(sps)), Bytes(payload.begin(), payload.end())) << name;
                ++spsCount;
            } else if (nal.type() == 15) {
                const SubsetSps subset = parseSubsetSpsNal(nal.bytes);
                EXPECT_EQ(escapeRbsp(writeSubsetSpsRbsp(subset)), Bytes(payload.begin(), payload.end()))
                    << name;
                ASSERT_EQ(subset.mvc.viewIds.size(), 2u) << name;
                EXPECT_EQ(subset.mvc.viewIds[1], expectedViewId) << name;
                ++subsetCount;
            } else if (nal.type() == 20) {
                const MvcNalHeader header = decodeSliceExtensionHeader(nal.bytes);
                EXPECT_EQ(header.viewId, expectedViewId) << name;
                const auto bytes = encodeSliceExtensionHeader(header);
                EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), nal.bytes.begin())) << name;
            }
        }
    }
    EXPECT_GE(files, 10);
    EXPECT_GE(spsCount, files);
    EXPECT_GE(subsetCount, files);
}

// The subset SPS the kit makes from each eye's SPS (Baseline among them) and the
// slice extension headers it writes are checked per access unit of every
// profile in KitMediaTest, and decoded to both eyes by ldecod and viewpump.

TEST(KitContainers, ArithmeticOfTimestampsSizesAndChecksums) {
    // CRC-32/MPEG-2 check value.
    const std::string check = "123456789";
    EXPECT_EQ(
        mpegCrc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
        0x0376E6E7u);
    // EBML sizes: all-ones is reserved for "unknown", so 127 needs two bytes.
    EXPECT_EQ(ebmlSize(0), Bytes{0x80});
    EXPECT_EQ(ebmlSize(126), Bytes{0xFE});
    EXPECT_EQ(ebmlSize(127), (Bytes{0x40, 0x7F}));
    EXPECT_EQ(ebmlSize(16382), (Bytes{0x7F, 0xFE}));
    EXPECT_EQ(ebmlSize(16383), (Bytes{0x20, 0x3F, 0xFF}));
    // 24000/1001 fps: 3753.75 ticks per frame, rounded per frame, never drifting.
    EXPECT_EQ(frameTime90k(1, {}), 3754);
    EXPECT_EQ(frameTime90k(4, {}), 15015);
    EXPECT_EQ(frameTime90k(24000, {}), 90090000);
    EXPECT_EQ(frameTime90k(3, {25, 1}), 10800);
}

TEST(KitContainers, Ac3FramesAreSplitByTheirHeader) {
    Bytes stream;
    for (int i = 0; i < 3; ++i) {
        Bytes frame(768, static_cast<uint8_t>(i)); // 192 kb/s at 48 kHz
        frame[0] = 0x0B;
        frame[1] = 0x77;
        frame[4] = 0x14; // fscod 0, frmsizecod 20
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    const auto frames = splitAc3(stream, 1000);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2].data.size(), 768u);
    EXPECT_EQ(frames[2].data[5], 2);
    EXPECT_EQ(frames[2].pts, 1000 + 2 * 2880);
    stream.pop_back();
    EXPECT_THROW(splitAc3(stream, 0), BitstreamError);
}

TEST(StereoCheckArithmetic, PsnrAndSwapJudgement) {
    EXPECT_DOUBLE_EQ(psnrFromMse(0), 99.0);
    EXPECT_NEAR(psnrFromMse(1.0), 48.13, 0.01);
    EXPECT_NEAR(psnrFromMse(65025.0), 0.0, 1e-9);
    const Bytes a{10, 20, 30, 40}, b{12, 20, 27, 40};
    EXPECT_EQ(squaredError(a, b), 13u);

    const Bytes left(16, 100), right(16, 140), nearLeft(16, 101), nearRight(16, 139);
    EyeScore outLeft, outRight;
    outLeft.add(nearLeft, left, right);
    outRight.add(nearRight, left, right);
    StereoReport ok = judge(outLeft, outRight, 1, 1, 30);
    EXPECT_EQ(ok.verdict, "ok");
    EXPECT_FALSE(ok.swapped);
    EXPECT_NEAR(ok.leftPsnr, 48.13, 0.01);

    StereoReport swapped = judge(outRight, outLeft, 1, 1, 30);
    EXPECT_TRUE(swapped.swapped);
    EXPECT_EQ(swapped.verdict, "swapped");
    EXPECT_EQ(judge(outLeft, outRight, 1, 1, 60).verdict, "low-psnr");
    EXPECT_EQ(judge(EyeScore{}, EyeScore{}, 0, 1, 30).verdict, "no-frames");
    EXPECT_EQ(judge(outLeft, outRight, 1, 2, 30).verdict, "frame-count");
    EXPECT_EQ(judge(outLeft, outRight, 1, 2, 30, 1).verdict, "ok");

    // A perfect left eye must not mask a right eye that shows the left picture.
    EyeScore perfectLeft, wrongRight;
    perfectLeft.add(left, left, right);
    wrongRight.add(nearLeft, left, right);
    EXPECT_TRUE(judge(perfectLeft, wrongRight, 1, 1, 30).verdict != "ok");
}

} // namespace
} // namespace kit
