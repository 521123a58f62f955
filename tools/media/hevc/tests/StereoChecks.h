// Shared checks of a stereo encode: bit-exact decodes with Debian's ffmpeg and the
// parse-back of every layer-1 slice. Used on generated clips and on the stereo test kit.
#pragma once

#include "TestMedia.h"
#include "isobmff/MovieReader.h"
#include "media/hevc/StereoMovie.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace stereochecks {

using namespace media::hevc;
using namespace testmedia;
namespace fs = std::filesystem;

struct Clip {
    fs::path dir;
    fs::path sbs; // side-by-side I420 frames
    int w = 0, h = 0, frames = 0;
    uint32_t fpsNum = 24, fpsDen = 1;
    int keyint = 16;
    std::string preset = "fast";
    std::optional<uint32_t> averageKbps;
};

inline EncoderSettings settingsFor(const Clip& c) {
    EncoderSettings s;
    s.width = c.w;
    s.height = c.h;
    s.fpsNum = c.fpsNum;
    s.fpsDen = c.fpsDen;
    s.keyint = c.keyint;
    s.preset = c.preset;
    s.averageKbps = c.averageKbps;
    return s;
}

inline void appendAnnexB(std::ofstream& f, const Bytes& nal) {
    static const char sc[4] = {0, 0, 0, 1};
    f.write(sc, 4);
    f.write(reinterpret_cast<const char*>(nal.data()), std::streamsize(nal.size()));
}

struct Encoded {
    std::vector<StereoAccessUnit> aus;
    std::vector<Bytes> headers[2];
    fs::path dir;
};

// Encodes a clip's eyes, keeps the single-layer streams (and the eyes' raw pictures) in c.dir.
inline Encoded encodeClip(const Clip& c) {
    const int W = c.w, H = c.h, Frames = c.frames;
    Encoded r;
    r.dir = c.dir;
    const Bytes raw = readBytes(c.sbs);
    EXPECT_EQ(raw.size(), size_t(W) * 2 * H * 3 / 2 * Frames);
    StereoEncoder enc(settingsFor(c));
    r.headers[0] = enc.headers(0);
    r.headers[1] = enc.headers(1);
    std::ofstream left(r.dir / "left.yuv", std::ios::binary), right(r.dir / "right.yuv", std::ios::binary);
    const size_t frameBytes = size_t(W) * 2 * H * 3 / 2;
    for (int f = 0; f < Frames; ++f) {
        const uint8_t* base = raw.data() + frameBytes * size_t(f);
        PlanarPicture pl, pr;
        const uint8_t* planes[3] = {base, base + 2 * W * H, base + 2 * W * H + W * H / 2};
        const int strides[3] = {2 * W, W, W};
        for (int i = 0; i < 3; ++i) {
            pl.planes[i] = planes[i];
            pr.planes[i] = planes[i] + strides[i] / 2;
            pl.strides[i] = pr.strides[i] = strides[i];
            const int rows = i ? H / 2 : H;
            for (int y = 0; y < rows; ++y) {
                left.write(reinterpret_cast<const char*>(pl.planes[i] + y * strides[i]), strides[i] / 2);
                right.write(reinterpret_cast<const char*>(pr.planes[i] + y * strides[i]), strides[i] / 2);
            }
        }
        enc.encode(pl, pr, f, r.aus);
    }
    enc.flush(r.aus);
    // The single-layer encodes as Annex B streams, and the right eye renumbered at layer 0.
    std::ofstream l(r.dir / "left.hevc", std::ios::binary), rr(r.dir / "right.hevc", std::ios::binary),
        rn(r.dir / "right-renumbered.hevc", std::ios::binary);
    const Sps sps = parseSps(unescapeRbsp(std::span(r.headers[1][1]).subspan(2)), 0);
    const Pps pps = parsePps(unescapeRbsp(std::span(r.headers[1][2]).subspan(2)));
    LayerRewrite renumber;
    renumber.layerId = 0;
    for (int eye = 0; eye < 2; ++eye)
        for (auto& h : r.headers[eye])
            appendAnnexB(eye ? rr : l, h);
    appendAnnexB(rn, r.headers[1][0]);
    appendAnnexB(rn, rewriteSps(r.headers[1][1], renumber));
    appendAnnexB(rn, rewritePps(r.headers[1][2], renumber));
    for (auto& au : r.aus) {
        for (auto& n : au.left.nals)
            appendAnnexB(l, n);
        for (auto& n : au.right.nals) {
            appendAnnexB(rr, n);
            if (isVcl(nalType(n))) appendAnnexB(rn, rewriteSlice(n, sps, pps, renumber));
        }
    }
    return r;
}

inline fs::path writeMovie(const Encoded& e, const Clip& c, VpsVariant variant) {
    // The writer needs an encoder for its parameter sets; a second one with the same settings
    // yields the same headers.
    StereoEncoder enc(settingsFor(c));
    EXPECT_EQ(enc.headers(0), e.headers[0]);
    const fs::path out = e.dir / (variant == VpsVariant::A ? "stereo-a.mov" : "stereo-b.mov");
    StereoMovieWriter w(out.string(), enc, {variant, true, {}});
    for (auto& au : e.aus)
        w.addAccessUnit(au);
    w.finish();
    return out;
}

// The movie's layer 1 as a single-layer Annex B stream (inserted fields removed, layer id 0),
// so Debian's ffmpeg 5.1 can decode the right eye of a written movie.
inline bool extractRightEye(const fs::path& moviePath, const fs::path& out) {
    try {
        writeLayerOneAsSingleLayer(moviePath.string(), out.string());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Base layer == left encode (both variants), renumbered right eye == right encode, PSNR >= minPsnr
// against the eyes' sources.
inline void checkBitExactDecodes(const Encoded& e, const Clip& c, double minPsnr = 38.0) {
    const int W = c.w, H = c.h, Frames = c.frames;
    const auto left = frameHashes("-i " + q(e.dir / "left.hevc"));
    const auto right = frameHashes("-i " + q(e.dir / "right.hevc"));
    ASSERT_EQ(left.size(), size_t(Frames));
    ASSERT_EQ(right.size(), size_t(Frames));
    EXPECT_NE(left, right);
    EXPECT_EQ(frameHashes("-i " + q(e.dir / "right-renumbered.hevc")), right);
    for (VpsVariant v : {VpsVariant::A, VpsVariant::B}) {
        const fs::path movie = writeMovie(e, c, v);
        EXPECT_EQ(frameHashes("-i " + q(movie)), left) << movie;
        const fs::path rightOut = movie.string() + ".right.hevc";
        ASSERT_TRUE(extractRightEye(movie, rightOut));
        EXPECT_EQ(frameHashes("-i " + q(rightOut)), right) << movie;
    }
    // Quality at the default 0.85, against the source eyes.
    EXPECT_GE(psnr("-i " + q(e.dir / "left.hevc"), e.dir / "left.yuv", W, H), minPsnr);
    EXPECT_GE(psnr("-i " + q(e.dir / "right-renumbered.hevc"), e.dir / "right.yuv", W, H), minPsnr);
}

// Every layer-1 slice of the movie re-parses to the original right-eye fields plus the
// inserted ones, with identical slice data; layer-0 NAL units are the left encode's.
inline void checkLayerOneSlices(const Encoded& e, const Clip& c) {
    const int W = c.w, H = c.h, Frames = c.frames;
    const Sps origSps = parseSps(unescapeRbsp(std::span(e.headers[1][1]).subspan(2)), 0);
    const Pps origPps = parsePps(unescapeRbsp(std::span(e.headers[1][2]).subspan(2)));
    for (VpsVariant variant : {VpsVariant::A, VpsVariant::B}) {
        const fs::path path = writeMovie(e, c, variant);
        media::MovieReader movie(path.string());
        const int t = movie.firstTrack("vide");
        ASSERT_EQ(t, 0);
        const auto& track = movie.tracks()[0];
        const VisualSampleEntry entry = parseVisualSampleEntry(track.sampleEntry);
        EXPECT_EQ(entry.width, W);
        EXPECT_EQ(entry.height, H);
        const HevcConfig hvcc = parseHvcC(*entry.child("hvcC"));
        const HevcConfig lhvc = parseLhvC(*entry.child("lhvC"));
        const StereoView view = parseVexu(*entry.child("vexu"));
        EXPECT_EQ(view.stri, 0x03);
        EXPECT_EQ(view.hero, 1);
        EXPECT_FALSE(view.baselineMicrometres);
        EXPECT_EQ(entry.child("hfov"), nullptr);
        const Vps vps =
            parseVps(unescapeRbsp(std::span(hvcc.array(hevcnal::videoParameterSet)->nals[0]).subspan(2)));
        const Bytes& sps1Nal = lhvc.array(hevcnal::sequenceParameterSet)->nals[0];
        const Bytes& pps1Nal = lhvc.array(hevcnal::pictureParameterSet)->nals[0];
        EXPECT_EQ(nalLayerId(sps1Nal), 1);
        EXPECT_EQ(nalLayerId(pps1Nal), 1);
        const Sps sps1 = parseSps(unescapeRbsp(std::span(sps1Nal).subspan(2)), 1);
        const Pps pps1 = parsePps(unescapeRbsp(std::span(pps1Nal).subspan(2)));
        EXPECT_EQ(sps1.spsId, 1);
        EXPECT_EQ(pps1.ppsId, 1);
        EXPECT_EQ(pps1.spsId, 1);
        EXPECT_EQ(sps1.width, origSps.width);
        const LayerContext ctx = vps.layer1Context();
        EXPECT_EQ(ctx.interLayerFlagPresent, variant == VpsVariant::A);

        ASSERT_EQ(track.samples.size(), size_t(Frames));
        Bytes buf;
        for (size_t i = 0; i < track.samples.size(); ++i) {
            const StereoAccessUnit& au = e.aus[i];
            EXPECT_EQ(track.samples[i].isSync, au.left.keyframe) << i;
            movie.readSample(0, i, buf);
            std::vector<Bytes> l0, l1;
            for (auto nal : splitLengthPrefixed(buf))
                (nalLayerId(nal) ? l1 : l0).emplace_back(nal.begin(), nal.end());
            EXPECT_EQ(l0, au.left.nals) << i;
            std::vector<const Bytes*> orig;
            for (auto& n : au.right.nals)
                if (isVcl(nalType(n))) orig.push_back(&n);
            ASSERT_EQ(l1.size(), orig.size()) << i;
            for (size_t k = 0; k < l1.size(); ++k) {
                const Bytes& o = *orig[k];
                const int type = nalType(o);
                EXPECT_EQ(nalType(l1[k]), type);
                const Bytes orbsp = unescapeRbsp(std::span(o).subspan(2));
                const Bytes nrbsp = unescapeRbsp(std::span(l1[k]).subspan(2));
                const SliceHeader a = parseSliceHeader(orbsp, type, 0, origSps, origPps);
                const SliceHeader b = parseSliceHeader(nrbsp, type, 1, sps1, pps1, ctx);
                EXPECT_EQ(b.ppsId, 1u);
                EXPECT_EQ(b.firstSliceInPic, a.firstSliceInPic);
                EXPECT_EQ(b.sliceType, a.sliceType);
                EXPECT_EQ(b.pocLsb, a.pocLsb);
                EXPECT_EQ(b.pocLsbPresent, variant == VpsVariant::A || !isIdr(type));
                EXPECT_EQ(b.rps.deltaPoc, a.rps.deltaPoc);
                EXPECT_EQ(b.rps.used, a.rps.used);
                EXPECT_EQ(b.temporalMvp, a.temporalMvp);
                EXPECT_EQ(b.interLayerPredPresent, variant == VpsVariant::A);
                EXPECT_FALSE(b.interLayerPred);
                EXPECT_EQ(b.saoLuma, a.saoLuma);
                EXPECT_EQ(b.numRefIdxL0Minus1, a.numRefIdxL0Minus1);
                EXPECT_EQ(b.numRefIdxL1Minus1, a.numRefIdxL1Minus1);
                EXPECT_EQ(b.qpDelta, a.qpDelta);
                EXPECT_EQ(b.entryPointOffsetMinus1, a.entryPointOffsetMinus1);
                // Slice data identical byte for byte.
                EXPECT_TRUE(std::equal(orbsp.begin() + std::ptrdiff_t(a.dataOffset), orbsp.end(),
                                       nrbsp.begin() + std::ptrdiff_t(b.dataOffset), nrbsp.end()));
            }
        }
    }
}

} // namespace stereochecks
