#include "Dsp.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Recon.h"

namespace duoscope::h264 {

const DspFunctions* x86Dsp(); // DspX86.cpp; nullptr without SSE4.1

namespace {

inline uint8_t clip255(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

inline int tap6(int a, int b, int c, int d, int e, int f) {
    return a - 5 * b + 20 * c + 20 * d - 5 * e + f;
}

void lumaHalfH(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        for (int c = 0; c < w; ++c) {
            const uint8_t* p = src + c;
            dst[c] = clip255((tap6(p[-2], p[-1], p[0], p[1], p[2], p[3]) + 16) >> 5);
        }
}

void lumaHalfV(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        for (int c = 0; c < w; ++c) {
            const uint8_t* p = src + c;
            dst[c] = clip255((tap6(p[-2 * ss], p[-ss], p[0], p[ss], p[2 * ss], p[3 * ss]) + 16) >> 5);
        }
}

// j from the unrounded horizontal sums of the rows around it (8-244).
void lumaHalfHV(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    int32_t inter[21 * 16];
    for (int r = -2; r < h + 3; ++r)
        for (int c = 0; c < w; ++c) {
            const uint8_t* p = src + r * ss + c;
            inter[(r + 2) * 16 + c] = tap6(p[-2], p[-1], p[0], p[1], p[2], p[3]);
        }
    for (int r = 0; r < h; ++r, dst += ds)
        for (int c = 0; c < w; ++c) {
            const int32_t* p = inter + r * 16 + c;
            dst[c] = clip255((tap6(p[0], p[16], p[32], p[48], p[64], p[80]) + 512) >> 10);
        }
}

void average(uint8_t* dst, int ds, const uint8_t* a, int as, const uint8_t* b, int bs, int w, int h) {
    for (int r = 0; r < h; ++r, dst += ds, a += as, b += bs)
        for (int c = 0; c < w; ++c)
            dst[c] = static_cast<uint8_t>((a[c] + b[c] + 1) >> 1);
}

void copy(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        std::memcpy(dst, src, static_cast<size_t>(w));
}

void chroma(uint8_t* dst, int ds, const uint8_t* src, int ss, int fx, int fy, int w, int h) {
    int wA = (8 - fx) * (8 - fy), wB = fx * (8 - fy), wC = (8 - fx) * fy, wD = fx * fy;
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        for (int c = 0; c < w; ++c) {
            const uint8_t* p = src + c;
            dst[c] = static_cast<uint8_t>((wA * p[0] + wB * p[1] + wC * p[ss] + wD * p[ss + 1] + 32) >> 6);
        }
}

void weight(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int wgt, int off, int logWD) {
    const int round = logWD >= 1 ? 1 << (logWD - 1) : 0;
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        for (int c = 0; c < w; ++c)
            dst[c] = clip255(((src[c] * wgt + round) >> logWD) + off);
}

void weightBi(uint8_t* dst, int ds, const uint8_t* s0, const uint8_t* s1, int ss, int w, int h, int w0,
              int w1, int off, int logWD) {
    const int round = 1 << logWD, shift = logWD + 1;
    for (int r = 0; r < h; ++r, dst += ds, s0 += ss, s1 += ss)
        for (int c = 0; c < w; ++c)
            dst[c] = clip255(((s0[c] * w0 + s1[c] * w1 + round) >> shift) + off);
}

// One line of an edge; `across` steps from p0 to q0.
inline bool edgeActive(const uint8_t* q, int across, int alpha, int beta) {
    int p0 = q[-across], p1 = q[-2 * across], q0 = q[0], q1 = q[across];
    return std::abs(p0 - q0) < alpha && std::abs(p1 - p0) < beta && std::abs(q1 - q0) < beta;
}

void lumaLines(uint8_t* q0p, int across, int along, int alpha, int beta, const int8_t tc0s[4]) {
    for (int i = 0; i < 16; ++i) {
        int tc0 = tc0s[i >> 2];
        uint8_t* q = q0p + i * along;
        if (tc0 < 0 || !edgeActive(q, across, alpha, beta)) continue;
        int p0 = q[-across], p1 = q[-2 * across], p2 = q[-3 * across];
        int q0 = q[0], q1 = q[across], q2 = q[2 * across];
        bool ap = std::abs(p2 - p0) < beta, aq = std::abs(q2 - q0) < beta;
        int tc = tc0 + ap + aq;
        int delta = std::clamp((((q0 - p0) * 4) + (p1 - q1) + 4) >> 3, -tc, tc);
        q[-across] = clip255(p0 + delta);
        q[0] = clip255(q0 - delta);
        if (ap)
            q[-2 * across] =
                static_cast<uint8_t>(p1 + std::clamp((p2 + ((p0 + q0 + 1) >> 1) - 2 * p1) >> 1, -tc0, tc0));
        if (aq)
            q[across] =
                static_cast<uint8_t>(q1 + std::clamp((q2 + ((p0 + q0 + 1) >> 1) - 2 * q1) >> 1, -tc0, tc0));
    }
}

void lumaLinesStrong(uint8_t* q0p, int across, int along, int alpha, int beta) {
    for (int i = 0; i < 16; ++i) {
        uint8_t* q = q0p + i * along;
        if (!edgeActive(q, across, alpha, beta)) continue;
        int p0 = q[-across], p1 = q[-2 * across], p2 = q[-3 * across], p3 = q[-4 * across];
        int q0 = q[0], q1 = q[across], q2 = q[2 * across], q3 = q[3 * across];
        bool strong = std::abs(p0 - q0) < ((alpha >> 2) + 2);
        if (std::abs(p2 - p0) < beta && strong) {
            q[-across] = static_cast<uint8_t>((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
            q[-2 * across] = static_cast<uint8_t>((p2 + p1 + p0 + q0 + 2) >> 2);
            q[-3 * across] = static_cast<uint8_t>((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
        } else {
            q[-across] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
        }
        if (std::abs(q2 - q0) < beta && strong) {
            q[0] = static_cast<uint8_t>((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
            q[across] = static_cast<uint8_t>((p0 + q0 + q1 + q2 + 2) >> 2);
            q[2 * across] = static_cast<uint8_t>((2 * q3 + 3 * q2 + q1 + q0 + p0 + 4) >> 3);
        } else {
            q[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
        }
    }
}

void chromaLines(uint8_t* q0p, int across, int along, int alpha, int beta, const int8_t tc0s[4]) {
    for (int i = 0; i < 8; ++i) {
        int tc0 = tc0s[i >> 1];
        uint8_t* q = q0p + i * along;
        if (tc0 < 0 || !edgeActive(q, across, alpha, beta)) continue;
        int p0 = q[-across], p1 = q[-2 * across], q0 = q[0], q1 = q[across];
        int tc = tc0 + 1;
        int delta = std::clamp((((q0 - p0) * 4) + (p1 - q1) + 4) >> 3, -tc, tc);
        q[-across] = clip255(p0 + delta);
        q[0] = clip255(q0 - delta);
    }
}

void chromaLinesStrong(uint8_t* q0p, int across, int along, int alpha, int beta) {
    for (int i = 0; i < 8; ++i) {
        uint8_t* q = q0p + i * along;
        if (!edgeActive(q, across, alpha, beta)) continue;
        int p0 = q[-across], p1 = q[-2 * across], q0 = q[0], q1 = q[across];
        q[-across] = static_cast<uint8_t>((2 * p1 + p0 + q1 + 2) >> 2);
        q[0] = static_cast<uint8_t>((2 * q1 + q0 + p1 + 2) >> 2);
    }
}

void lumaEdgeV(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    lumaLines(q0, 1, stride, alpha, beta, tc0);
}
void lumaEdgeH(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    lumaLines(q0, stride, 1, alpha, beta, tc0);
}
void lumaEdgeStrongV(uint8_t* q0, int stride, int alpha, int beta) {
    lumaLinesStrong(q0, 1, stride, alpha, beta);
}
void lumaEdgeStrongH(uint8_t* q0, int stride, int alpha, int beta) {
    lumaLinesStrong(q0, stride, 1, alpha, beta);
}
void chromaEdgeV(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    chromaLines(q0, 1, stride, alpha, beta, tc0);
}
void chromaEdgeH(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    chromaLines(q0, stride, 1, alpha, beta, tc0);
}
void chromaEdgeStrongV(uint8_t* q0, int stride, int alpha, int beta) {
    chromaLinesStrong(q0, 1, stride, alpha, beta);
}
void chromaEdgeStrongH(uint8_t* q0, int stride, int alpha, int beta) {
    chromaLinesStrong(q0, stride, 1, alpha, beta);
}

const DspFunctions kPlain = {"C",
                             lumaHalfH,
                             lumaHalfV,
                             lumaHalfHV,
                             average,
                             copy,
                             chroma,
                             weight,
                             weightBi,
                             idct4x4Add,
                             {lumaEdgeV, lumaEdgeH},
                             {lumaEdgeStrongV, lumaEdgeStrongH},
                             {chromaEdgeV, chromaEdgeH},
                             {chromaEdgeStrongV, chromaEdgeStrongH}};

const DspFunctions& choose() {
    const char* env = std::getenv("DUOSCOPE_H264_SIMD");
    if (env && std::strcmp(env, "0") == 0) return kPlain;
    const DspFunctions* simd = simdDsp();
    return simd ? *simd : kPlain;
}

} // namespace

const DspFunctions& plainDsp() {
    return kPlain;
}

const DspFunctions* simdDsp() {
#if defined(__x86_64__) || defined(__i386__)
    return x86Dsp();
#else
    return nullptr;
#endif
}

const DspFunctions& dsp() {
    static const DspFunctions& chosen = choose();
    return chosen;
}

} // namespace duoscope::h264
