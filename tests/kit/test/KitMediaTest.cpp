// The small media set, checked end to end: the MVC composition keeps every
// slice of both eyes, Debian's ffmpeg decodes every container to its eye, and
// a second kit run is a cache hit. How the analysis reads each container
// through ffprobe is judged by the conversions of the kit's files (tests/e2e).
// That the containers carry exactly the elementary streams is proven by the
// demultiplexer's tests, which take every kit container back apart byte for
// byte (tsmuxer KitTest), and by ffmpeg decoding each one to its eye here.
#include "Containers.h"
#include "H264Syntax.h"
#include "KitTestSupport.h"
#include "MvcComposer.h"

#include <functional>
#include <gtest/gtest.h>

namespace kit {
namespace {

using namespace kit::test;
namespace fs = std::filesystem;

const std::string kSet = "small";

Bytes concat(const std::vector<NalUnit>& nals, size_t from) {
    Bytes out;
    for (size_t i = from; i < nals.size(); ++i)
        appendWithStartCode(out, nals[i].bytes);
    return out;
}

void expectFourByteStartCodes(const Bytes& stream, const std::string& what) {
    for (const NalUnit& nal : splitAnnexB(stream)) {
        ASSERT_GE(nal.offset, 4u);
        EXPECT_EQ(stream[nal.offset - 4], 0) << what << " NAL at " << nal.offset;
    }
}

// Checks one composition: `baseFile`/`dependentFile` made from `baseEye`/`dependentEye`.
void checkComposition(const fs::path& folder, const std::string& baseEye, const std::string& dependentEye,
                      const std::string& baseFile, const std::string& dependentFile, size_t frames) {
    SCOPED_TRACE(folder.string() + " " + baseFile);
    const auto eyeBase = splitAccessUnits(readBytes(folder / baseEye));
    const auto eyeDep = splitAccessUnits(readBytes(folder / dependentEye));
    const Bytes base = readBytes(folder / baseFile);
    const Bytes dependent = readBytes(folder / dependentFile);
    const auto baseUnits = splitAccessUnits(base);
    const auto depUnits = splitAccessUnits(dependent);
    const auto lines = accessUnitLines(folder);
    ASSERT_EQ(lines.size(), frames);
    ASSERT_EQ(eyeBase.size(), frames);
    ASSERT_EQ(baseUnits.size(), frames);
    ASSERT_EQ(depUnits.size(), frames);
    expectFourByteStartCodes(base, baseFile);
    expectFourByteStartCodes(dependent, dependentFile);

    std::optional<SpsData> dependentSps;
    for (size_t au = 0; au < frames; ++au) {
        SCOPED_TRACE("access unit " + std::to_string(au));
        // Base: an AUD, then the eye's NAL units unchanged. AUD and delimiter
        // name the slice types present (primary_pic_type 0 I, 1 I/P, 2 I/P/B).
        ASSERT_EQ(baseUnits[au].front().type(), 9);
        const char letter = lines[au].slice;
        const uint8_t primaryPicType = letter == 'B' ? 2 : letter == 'P' ? 1 : 0;
        EXPECT_EQ(baseUnits[au].front().bytes,
                  (Bytes{0x09, static_cast<uint8_t>(primaryPicType << 5 | 0x10)}));
        EXPECT_EQ(depUnits[au].front().bytes,
                  (Bytes{0x18, static_cast<uint8_t>(primaryPicType << 5 | 0x10)}));
        std::vector<NalUnit> eyeNals;
        for (const NalUnit& nal : eyeBase[au])
            if (nal.type() != 9) eyeNals.push_back(nal);
        ASSERT_EQ(baseUnits[au].size(), eyeNals.size() + 1);
        for (size_t i = 0; i < eyeNals.size(); ++i)
            EXPECT_EQ(baseUnits[au][i + 1].bytes, eyeNals[i].bytes);

        // Dependent: a type-24 delimiter, subset SPS for SPS, PPS as is, SEI
        // dropped, slices as type 20 with untouched payload bytes.
        const auto& dep = depUnits[au];
        ASSERT_EQ(dep.front().type(), 24);
        size_t d = 1;
        for (const NalUnit& nal : eyeDep[au]) {
            switch (nal.type()) {
            case 6:
            case 9:
                continue;
            case 7: {
                ASSERT_LT(d, dep.size());
                ASSERT_EQ(dep[d].type(), 15);
                dependentSps = parseSpsNal(nal.bytes);
                const SubsetSps subset = parseSubsetSpsNal(dep[d].bytes);
                EXPECT_EQ(subset, stereoSubsetSps(*dependentSps));
                SpsData data = subset.sps;
                data.profileIdc = dependentSps->profileIdc;
                data.constraintFlags = dependentSps->constraintFlags;
                EXPECT_EQ(data, *dependentSps);
                break;
            }
            case 8:
                ASSERT_LT(d, dep.size());
                EXPECT_EQ(dep[d].bytes, nal.bytes);
                break;
            case 1:
            case 5: {
                ASSERT_LT(d, dep.size());
                ASSERT_EQ(dep[d].type(), 20);
                const MvcNalHeader h = decodeSliceExtensionHeader(dep[d].bytes);
                EXPECT_EQ(h.nalRefIdc, nal.refIdc());
                EXPECT_EQ(h.nonIdr, nal.type() == 1);
                const bool intra = std::all_of(eyeDep[au].begin(), eyeDep[au].end(), [&](const NalUnit& n) {
                    return (n.type() != 1 && n.type() != 5) ||
                           parseSliceHeaderStart(n.bytes, *dependentSps).sliceLetter() == 'I';
                });
                EXPECT_EQ(h.anchorPic, nal.type() == 5 || (intra && nal.refIdc() != 0));
                EXPECT_EQ(h.anchorPic, lines[au].anchor);
                EXPECT_EQ(h.viewId, 1u);
                EXPECT_FALSE(h.interView);
                EXPECT_TRUE(std::equal(dep[d].bytes.begin() + 4, dep[d].bytes.end(), nal.bytes.begin() + 1,
                                       nal.bytes.end()))
                    << "slice payload changed";
                break;
            }
            default:
                FAIL() << "unexpected NAL type " << nal.type();
            }
            ++d;
        }
        EXPECT_EQ(d, dep.size());
    }
    ASSERT_TRUE(dependentSps.has_value());
}

TEST(KitMedia, MvcCompositionKeepsEveryEyeBitExact) {
    const size_t frames = std::stoul(setInfo(kSet).at("frames"));
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        checkComposition(folder, "left.264", "right.264", "base.264", "dependent.mvc", frames);
        checkComposition(folder, "right.264", "left.264", "base_rl.264", "dependent_rl.mvc", frames);

        // Interleaved = base AU and dependent AU without their delimiters, in turn.
        const auto base = splitAccessUnits(readBytes(folder / "base.264"));
        const auto dep = splitAccessUnits(readBytes(folder / "dependent.mvc"));
        Bytes expected;
        for (size_t au = 0; au < base.size(); ++au) {
            const Bytes b = concat(base[au], 1), d = concat(dep[au], 1);
            expected.insert(expected.end(), b.begin(), b.end());
            expected.insert(expected.end(), d.begin(), d.end());
        }
        EXPECT_EQ(readBytes(folder / "interleaved.264"), expected) << profile;

        // access_units.txt points at the units, and display order is a permutation.
        const auto lines = accessUnitLines(folder);
        ASSERT_EQ(lines.size(), frames);
        const Bytes baseBytes = readBytes(folder / "base.264");
        std::vector<bool> shown(frames);
        for (size_t au = 0; au < frames; ++au) {
            EXPECT_EQ(lines[au].baseSize, concat(base[au], 0).size());
            EXPECT_EQ(baseBytes[lines[au].baseOffset + 4] & 0x1F, 9);
            EXPECT_GE(lines[au].pts, lines[au].dts);
            ASSERT_LT(lines[au].display, frames);
            shown[lines[au].display] = true;
        }
        EXPECT_EQ(std::count(shown.begin(), shown.end(), true), static_cast<long>(frames)) << profile;
    }
}

TEST(KitMedia, CompositionRefusesEyesThatCannotPair) {
    const fs::path dir = setDir(kSet);
    const Bytes left = readBytes(dir / "cabac_b" / "left.264"),
                right = readBytes(dir / "cabac_b" / "right.264");
    auto message = [](const std::function<void()>& compose) {
        try {
            compose();
        } catch (const BitstreamError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message([&] { composeMvc(left, left, {}); }).find("--sps-id"), std::string::npos);
    const Bytes otherStructure = readBytes(dir / "cavlc_p" / "right.264");
    EXPECT_NE(message([&] { composeMvc(left, otherStructure, {}); }).find("access unit 1"),
              std::string::npos);
    const auto units = splitAccessUnits(right);
    const Bytes shorter(right.begin(), right.begin() + static_cast<long>(units.back().front().offset - 4));
    EXPECT_NE(message([&] { composeMvc(left, shorter, {}); }).find("access units"), std::string::npos);
}

TEST(KitMedia, FfmpegDecodesEveryBaseViewToItsEyesGroundTruth) {
    const size_t frames = std::stoul(setInfo(kSet).at("frames"));
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        const auto left = frameMd5s(readText(folder / "left.framemd5"));
        const auto right = frameMd5s(readText(folder / "right.framemd5"));
        ASSERT_EQ(left.size(), frames) << profile;
        ASSERT_EQ(right.size(), frames) << profile;
        EXPECT_NE(left, right);
        // The elementary streams are byte-checked above, so each container is
        // decoded once per profile and the plain files for the default only.
        std::vector<std::string> leftFiles{"interleaved.264", "movie.m2ts", "movie_lr.mkv"};
        std::vector<std::string> rightFiles{"movie_rl.mkv"};
        if (profile == "cabac_b") {
            leftFiles.insert(leftFiles.end(), {"base.264", "movie.ts"});
            rightFiles.push_back("base_rl.264");
        }
        for (const auto& file : leftFiles)
            EXPECT_EQ(decodeMd5s(folder / file), left) << profile << " " << file;
        for (const auto& file : rightFiles)
            EXPECT_EQ(decodeMd5s(folder / file), right) << profile << " " << file;
    }
}

TEST(KitMedia, SecondRunOfTheKitIsACacheHit) {
    const fs::path stamp = setDir(kSet) / "kit.stamp";
    const auto before = fs::last_write_time(stamp);
    const RunResult result =
        runCapture({DUOSCOPE_BINARY_DIR "/bin/stereokit", "--set", kSet, "--output", DUOSCOPE_KIT_DIR});
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_NE(result.output.find("up to date"), std::string::npos) << result.output;
    EXPECT_EQ(fs::last_write_time(stamp), before);
    EXPECT_FALSE(fs::exists(fs::path(DUOSCOPE_KIT_DIR) / (kSet + ".partial")));

    const RunResult bad =
        runCapture({DUOSCOPE_BINARY_DIR "/bin/stereokit", "--set", "huge", "--output", DUOSCOPE_KIT_DIR});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.error.rfind("ERROR: ", 0), 0u) << bad.error;
}

} // namespace
} // namespace kit
