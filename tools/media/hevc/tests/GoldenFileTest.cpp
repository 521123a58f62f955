// The Apple-written stereo MV-HEVC movie must parse to the documented values; our own
// VPS, SEI and sample entry must read back the same way.
#include "isobmff/MovieReader.h"
#include "media/hevc/Layering.h"
#include "media/hevc/SampleEntry.h"
#include "media/hevc/Syntax.h"

#include <gtest/gtest.h>

using namespace media::hevc;

namespace {

const std::string kApple = std::string(DUOSCOPE_TESTDATA_DIR) + "/mvhevc/apple-stereo-spatial-160x120.mp4";

Bytes rbspOf(const Bytes& nal) {
    return unescapeRbsp(std::span(nal).subspan(2));
}

} // namespace

TEST(GoldenAppleFile, SampleEntryVpsAndSamples) {
    media::MovieReader movie(kApple);
    const int v = movie.firstTrack("vide");
    ASSERT_GE(v, 0);
    const auto& track = movie.tracks()[size_t(v)];
    const VisualSampleEntry entry = parseVisualSampleEntry(track.sampleEntry);
    EXPECT_EQ(media::fourccToString(entry.type), "hvc1");
    EXPECT_EQ(entry.width, 160);
    EXPECT_EQ(entry.height, 120);

    // hvcC: VPS, layer-0 SPS/PPS and the 3D reference displays SEI, all complete arrays.
    ASSERT_NE(entry.child("hvcC"), nullptr);
    const HevcConfig hvcc = parseHvcC(*entry.child("hvcC"));
    EXPECT_EQ(hvcc.profileIdc, 1);
    EXPECT_EQ(hvcc.lengthSizeMinusOne, 3);
    ASSERT_EQ(hvcc.arrays.size(), 4u);
    for (auto& a : hvcc.arrays)
        EXPECT_TRUE(a.complete);
    ASSERT_NE(hvcc.array(hevcnal::prefixSei), nullptr);
    EXPECT_EQ(hvcc.array(hevcnal::prefixSei)->nals[0], makeReferenceDisplaysSei());

    const Vps vps = parseVps(rbspOf(hvcc.array(hevcnal::videoParameterSet)->nals[0]));
    EXPECT_EQ(vps.maxLayersMinus1, 1);
    EXPECT_EQ(vps.maxLayerId, 1);
    EXPECT_EQ(vps.numLayerSetsMinus1, 1u);
    EXPECT_EQ(vps.maxDecPicBufferingMinus1, 4u);
    EXPECT_EQ(vps.maxNumReorderPics, 2u);
    ASSERT_TRUE(vps.ext);
    const VpsExtension& e = *vps.ext;
    EXPECT_EQ(e.baseLevelIdc, vps.ptl.levelIdc);
    EXPECT_FALSE(e.splitting);
    EXPECT_EQ(e.scalabilityMask, 0x4000);
    EXPECT_EQ(e.dimensionIdLenMinus1, std::vector<int>{2});
    EXPECT_TRUE(e.nuhLayerIdPresent);
    EXPECT_EQ(e.layerIdInNuh1, 1);
    EXPECT_EQ(e.dimensionId1, std::vector<uint32_t>{1});
    EXPECT_EQ(e.viewIdLen, 1);
    EXPECT_EQ(e.viewIdVal, (std::vector<uint32_t>{0, 1}));
    EXPECT_TRUE(e.directDependency10);
    EXPECT_FALSE(e.numAddLayerSets);
    EXPECT_TRUE(e.defaultRefLayersActive);
    EXPECT_EQ(e.numProfileTierLevelMinus1, 2u);
    ASSERT_EQ(e.ptls.size(), 3u);
    EXPECT_EQ(e.ptls[2].profileIdc, 6);
    EXPECT_EQ(e.ptls[2].compatibilityFlags, 0x02000000u);
    EXPECT_EQ(e.ptls[2].constraintFlags, (uint64_t{0b1011} << 44) | (uint64_t{0x7C000000000} << 1));
    EXPECT_EQ(e.numAddOlss, 0u);
    EXPECT_EQ(e.defaultOutputLayerIdc, 0);
    EXPECT_EQ(e.ptlIdxOls1, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(e.repFormat.width, 160u);
    EXPECT_EQ(e.repFormat.height, 128u);
    EXPECT_TRUE(e.repFormat.conformanceWindow);
    EXPECT_EQ(e.repFormat.confWin[3], 4u);
    EXPECT_TRUE(e.maxOneActiveRefLayer);
    EXPECT_TRUE(e.pocLsbAligned);
    EXPECT_EQ(e.dpb.maxDecPicBufferingMinus1, (std::vector<uint32_t>{4, 4}));
    EXPECT_EQ(e.dpb.maxNumReorder, 2u);
    EXPECT_TRUE(e.directDependencyAllLayers);
    EXPECT_EQ(e.directDependencyAllLayersType, 2u);
    EXPECT_TRUE(e.vuiPresent);

    // lhvC: only the layer-1 SPS and PPS.
    ASSERT_NE(entry.child("lhvC"), nullptr);
    const HevcConfig lhvc = parseLhvC(*entry.child("lhvC"));
    EXPECT_EQ(lhvc.lengthSizeMinusOne, 3);
    ASSERT_EQ(lhvc.arrays.size(), 2u);
    EXPECT_EQ(lhvc.arrays[0].type, hevcnal::sequenceParameterSet);
    EXPECT_EQ(lhvc.arrays[1].type, hevcnal::pictureParameterSet);
    EXPECT_EQ(nalLayerId(lhvc.arrays[0].nals[0]), 1);
    EXPECT_EQ(lhvc.arrays[0].nals[0].size(), 9u);

    ASSERT_NE(entry.child("vexu"), nullptr);
    const StereoView sv = parseVexu(*entry.child("vexu"));
    EXPECT_EQ(sv.stri, 0x03);
    EXPECT_EQ(sv.hero, 1);
    EXPECT_EQ(sv.baselineMicrometres, 19240u);
    EXPECT_EQ(sv.disparityAdjustment, 200);
    ASSERT_NE(entry.child("hfov"), nullptr);
    EXPECT_EQ(media::readBE32(entry.child("hfov")->data()), 63400u);

    // Samples: one access unit each, layer 0 first, then layer 1; the first a sync sample.
    ASSERT_EQ(track.samples.size(), 10u);
    EXPECT_TRUE(track.samples[0].isSync);
    Bytes buf;
    for (size_t i = 0; i < track.samples.size(); ++i) {
        movie.readSample(size_t(v), i, buf);
        std::vector<std::pair<int, int>> got;
        for (auto nal : splitLengthPrefixed(buf))
            got.push_back({nalType(nal), nalLayerId(nal)});
        if (i == 0) {
            EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{hevcnal::prefixSei, 0},
                                                             {hevcnal::idrNLp, 0},
                                                             {hevcnal::prefixSei, 0},
                                                             {hevcnal::craNut, 1}}));
        } else {
            EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{hevcnal::trailR, 0}, {hevcnal::trailR, 1}}));
        }
    }
}

TEST(StereoVps, BothVariantsParseBackToTheDocumentedFields) {
    // A 1920x1080 Main-profile SPS as x265 3.5 writes it (coded height 1088, window bottom 4).
    Sps base;
    base.ptl.profileIdc = 1;
    base.ptl.compatibilityFlags = 0x60000000;
    base.ptl.constraintFlags = uint64_t{0b1011} << 44;
    base.ptl.levelIdc = 123;
    base.width = 1920;
    base.height = 1088;
    base.conformanceWindow = true;
    base.confWin = {0, 0, 0, 4};
    base.maxDecPicBufferingMinus1 = 4;
    base.maxNumReorderPics = 2;
    for (VpsVariant variant : {VpsVariant::A, VpsVariant::B}) {
        const bool b = variant == VpsVariant::B;
        const Bytes nal = makeStereoVps(base, variant);
        EXPECT_EQ(nalType(nal), hevcnal::videoParameterSet);
        const Vps vps = parseVps(rbspOf(nal));
        ASSERT_TRUE(vps.ext);
        const VpsExtension& e = *vps.ext;
        EXPECT_EQ(vps.ptl.levelIdc, 123);
        EXPECT_EQ(vps.ptl.compatibilityFlags, 0x60000000u);
        EXPECT_EQ(e.baseLevelIdc, 123);
        EXPECT_EQ(e.scalabilityMask, 0x4000);
        EXPECT_EQ(e.viewIdVal, (std::vector<uint32_t>{0, 1}));
        EXPECT_EQ(e.directDependency10, !b);
        EXPECT_EQ(e.numAddLayerSets.has_value(), b);
        EXPECT_FALSE(e.defaultRefLayersActive);
        EXPECT_EQ(e.ptls[2].profileIdc, 6);
        EXPECT_EQ(e.ptls[2].levelIdc, 123);
        EXPECT_EQ(e.ptlIdxOls1, (std::vector<uint32_t>{1, 2}));
        EXPECT_EQ(e.repFormat.width, 1920u);
        EXPECT_EQ(e.repFormat.height, 1088u);
        EXPECT_EQ(e.repFormat.confWin[3], 4u);
        EXPECT_EQ(e.pocLsbNotPresent1.value_or(false), b);
        EXPECT_EQ(e.dpb.maxDecPicBufferingMinus1, (std::vector<uint32_t>{4, 4}));
        EXPECT_FALSE(e.vuiPresent);
        const LayerContext c = vps.layer1Context();
        EXPECT_EQ(c.interLayerFlagPresent, !b);
        EXPECT_EQ(c.pocLsbNotPresent, b);
        const LayerContext s = stereoLayerContext(variant);
        EXPECT_EQ(s.interLayerFlagPresent, c.interLayerFlagPresent);
        EXPECT_EQ(s.pocLsbNotPresent, c.pocLsbNotPresent);
    }
}

TEST(ReferenceDisplaysSei, MatchesTheNineBytesAppleWrites) {
    EXPECT_EQ(makeReferenceDisplaysSei(), (Bytes{0x4E, 0x01, 0xB0, 0x04, 0x04, 0x0D, 0x00, 0x20, 0x80}));
}

// Emulation prevention around every critical pattern, including a trailing cabac_zero_word, and the
// reader's end. Exp-Golomb codes are judged by the VPS above and the slices StereoPipelineTest parses back.
TEST(Bitstream, EscapingAndTheEnd) {
    const Bytes rbsp = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02,
                        0x00, 0x00, 0x03, 0x00, 0x00, 0x04, 0x80, 0x00, 0x00};
    const Bytes esc = escapeRbsp(rbsp);
    EXPECT_EQ(esc, (Bytes{0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x02,
                          0x00, 0x00, 0x03, 0x03, 0x00, 0x00, 0x04, 0x80, 0x00, 0x00, 0x03}));
    EXPECT_EQ(unescapeRbsp(esc), rbsp);
    // Reading past the end is an error, not a read of what lies beyond.
    const Bytes ones{0xFF};
    BitReader r(ones);
    EXPECT_EQ(r.u(8), 0xFFu);
    EXPECT_THROW(r.u(1), Error);
}

// Apple's spatial facts read back in the user's units, and written again from those values
// byte for byte: vexu (eyes: stri, hero, cams/blin, cmfy/dadj) and hfov beside it.
TEST(GoldenAppleFile, SpatialBoxesReadBackAndRebuiltByteForByte) {
    media::MovieReader movie(kApple);
    const int v = movie.firstTrack("vide");
    ASSERT_GE(v, 0);
    const VisualSampleEntry entry = parseVisualSampleEntry(movie.tracks()[size_t(v)].sampleEntry);
    const SpatialInfo read = readSpatialInfo(entry);
    ASSERT_TRUE(read.baselineMicrometres && read.fieldOfViewThousandths && read.disparityAdjustment);
    EXPECT_DOUBLE_EQ(*read.baselineMicrometres / 1000.0, 19.24);   // mm
    EXPECT_DOUBLE_EQ(*read.fieldOfViewThousandths / 1000.0, 63.4); // degrees
    EXPECT_DOUBLE_EQ(*read.disparityAdjustment / 10000.0, 0.02);   // of the width

    auto boxBytes = [&](const char* type) {
        const Bytes* payload = entry.child(type);
        EXPECT_NE(payload, nullptr) << type;
        Bytes box{0, 0, 0, 0};
        box.insert(box.end(), type, type + 4);
        if (payload) box.insert(box.end(), payload->begin(), payload->end());
        const uint32_t size = uint32_t(box.size());
        for (int i = 0; i < 4; ++i)
            box[size_t(i)] = uint8_t(size >> (24 - 8 * i));
        return box;
    };
    Bytes apple = boxBytes("vexu");
    const Bytes hfov = boxBytes("hfov");
    apple.insert(apple.end(), hfov.begin(), hfov.end());
    SpatialInfo ours;
    for (auto [option, value] :
         {std::pair{"--baseline", "19.24"}, {"--hfov", "63.4"}, {"--disparity-adjustment", "0.02"}})
        EXPECT_FALSE(applySpatialOption(ours, option, value));
    EXPECT_EQ(ours, read);
    EXPECT_EQ(buildStereoViewBoxes(ours), apple);
    // Nothing given: the eyes only, as before.
    EXPECT_EQ(buildStereoViewBoxes({}).size(), 42u); // vexu, eyes, stri, hero
    EXPECT_EQ(applySpatialOption(ours, "--hfov", "400").value_or(""),
              "--hfov must lie above 0 and below 360 degrees, got 400");
}
