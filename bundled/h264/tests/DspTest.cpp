// Every SIMD kernel against the plain C++ one, on random samples, on smooth
// ones (where the deblocking filter acts) and on the extremes 0 and 255.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Dsp.h"

using namespace duoscope::h264;

namespace {

constexpr int kStride = 48;

struct Planes {
    std::vector<uint8_t> src, plain, simd;
};

// A 48x48 picture: 0 random, 1 smooth around a random level, 2 only 0 and 255.
void fill(std::vector<uint8_t>& v, int kind, std::mt19937& rng) {
    int level = static_cast<int>(rng() % 256);
    for (auto& s : v) {
        int noise = static_cast<int>(rng() % 9) - 4;
        s = static_cast<uint8_t>(kind == 0   ? rng() % 256
                                 : kind == 1 ? std::clamp(level + noise, 0, 255)
                                             : (rng() & 1) * 255);
    }
}

TEST(H264Dsp, SimdKernelsMatchThePlainOnes) {
    const DspFunctions* simd = simdDsp();
    if (!simd) GTEST_SKIP() << "no SIMD level on this processor";
    const DspFunctions& c = plainDsp();
    std::mt19937 rng(7);
    std::vector<uint8_t> src(kStride * kStride), src2(kStride * kStride), a(kStride * kStride),
        b(kStride * kStride);
    const uint8_t* g = src.data() + 8 * kStride + 8; // room for every kernel's margins
    auto same = [&](const char* what, int w, int h) {
        ASSERT_EQ(a, b) << simd->name << " " << what << " " << w << "x" << h;
    };
    for (int round = 0; round < 300; ++round) {
        fill(src, round % 3, rng);
        fill(src2, round % 3, rng);
        fill(a, 0, rng);
        b = a;
        const int widths[3] = {4, 8, 16};
        int w = widths[round % 3], h = widths[(round / 3) % 3];
        int fx = round % 8, fy = (round / 8) % 8;
        uint8_t* da = a.data() + 8 * kStride + 8;
        uint8_t* db = b.data() + 8 * kStride + 8;
        c.lumaHalfH(da, kStride, g, kStride, w, h);
        simd->lumaHalfH(db, kStride, g, kStride, w, h);
        same("lumaHalfH", w, h);
        c.lumaHalfV(da, kStride, g, kStride, w, h);
        simd->lumaHalfV(db, kStride, g, kStride, w, h);
        same("lumaHalfV", w, h);
        c.lumaHalfHV(da, kStride, g, kStride, w, h);
        simd->lumaHalfHV(db, kStride, g, kStride, w, h);
        same("lumaHalfHV", w, h);
        c.average(da, kStride, g, kStride, src2.data(), kStride, w, h);
        simd->average(db, kStride, g, kStride, src2.data(), kStride, w, h);
        same("average", w, h);
        c.copy(da, kStride, g, kStride, w, h);
        simd->copy(db, kStride, g, kStride, w, h);
        same("copy", w, h);
        int cw = w / 2, ch = h / 2;
        c.chroma(da, kStride, g, kStride, fx, fy, cw, ch);
        simd->chroma(db, kStride, g, kStride, fx, fy, cw, ch);
        same("chroma", cw, ch);
        // Weights over their whole range, the extremes included.
        int logWD = static_cast<int>(rng() % 8);
        int w0 = round % 5 == 0 ? -128 : round % 5 == 1 ? 127 : static_cast<int>(rng() % 256) - 128;
        int w1 = static_cast<int>(rng() % 256) - 128, off = static_cast<int>(rng() % 256) - 128;
        c.weight(da, kStride, g, kStride, w, h, w0, off, logWD);
        simd->weight(db, kStride, g, kStride, w, h, w0, off, logWD);
        same("weight", w, h);
        c.weightBi(da, kStride, g, src2.data(), kStride, w, h, w0, w1, off, logWD);
        simd->weightBi(db, kStride, g, src2.data(), kStride, w, h, w0, w1, off, logWD);
        same("weightBi", w, h);
        // Coefficients of every size up to the decoder's clamp, 2^20.
        int32_t coefA[16], coefB[16];
        int magnitude = 1 << (round % 21);
        for (int i = 0; i < 16; ++i)
            coefA[i] = coefB[i] = static_cast<int32_t>(rng() % (2 * magnitude + 1)) - magnitude;
        c.idct4x4Add(da, kStride, coefA);
        simd->idct4x4Add(db, kStride, coefB);
        same("idct4x4Add", 4, 4);
        ASSERT_EQ(std::vector<int32_t>(coefA, coefA + 16), std::vector<int32_t>(coefB, coefB + 16));
        // Deblocking: alpha/beta from the whole table range, tc0 -1 (bS 0) to 25.
        a = src;
        b = src;
        int alpha = static_cast<int>(rng() % 256), beta = static_cast<int>(rng() % 19);
        int8_t tc0[4];
        for (auto& t : tc0)
            t = static_cast<int8_t>(static_cast<int>(rng() % 27) - 1);
        for (int dir = 0; dir < 2; ++dir) {
            c.lumaEdge[dir](da, kStride, alpha, beta, tc0);
            simd->lumaEdge[dir](db, kStride, alpha, beta, tc0);
            same(dir ? "lumaEdge horizontal" : "lumaEdge vertical", 16, 16);
            c.lumaEdgeStrong[dir](da, kStride, alpha, beta);
            simd->lumaEdgeStrong[dir](db, kStride, alpha, beta);
            same(dir ? "lumaEdgeStrong horizontal" : "lumaEdgeStrong vertical", 16, 16);
            c.chromaEdge[dir](da, kStride, alpha, beta, tc0);
            simd->chromaEdge[dir](db, kStride, alpha, beta, tc0);
            same(dir ? "chromaEdge horizontal" : "chromaEdge vertical", 8, 8);
            c.chromaEdgeStrong[dir](da, kStride, alpha, beta);
            simd->chromaEdgeStrong[dir](db, kStride, alpha, beta);
            same(dir ? "chromaEdgeStrong horizontal" : "chromaEdgeStrong vertical", 8, 8);
        }
    }
}

} // namespace
