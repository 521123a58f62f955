// SSE4.1 versions of the DspFunctions entries, compiled with per-function
// target attributes so that the rest of the library stays baseline x86-64;
// used only when the processor reports SSE4.1. Samples are widened to 16-bit
// lanes (the 6-tap centre sample to 32-bit) so every result equals the plain
// code's exactly.
#include "Dsp.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cstring>
#include <immintrin.h>

#define DUOSCOPE_SSE41 __attribute__((target("sse4.1")))

namespace duoscope::h264 {

namespace {

DUOSCOPE_SSE41 inline __m128i load4(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

DUOSCOPE_SSE41 inline void store4(uint8_t* p, __m128i v) {
    int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

// W samples at p as 16-bit lanes: lo holds the first 8 (or 4), hi the second 8.
template <int W> DUOSCOPE_SSE41 inline void widen(const uint8_t* p, __m128i& lo, __m128i& hi) {
    if constexpr (W == 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        lo = _mm_unpacklo_epi8(v, _mm_setzero_si128());
        hi = _mm_unpackhi_epi8(v, _mm_setzero_si128());
    } else if constexpr (W == 8) {
        lo = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        hi = lo;
    } else {
        lo = _mm_cvtepu8_epi16(load4(p));
        hi = lo;
    }
}

template <int W> DUOSCOPE_SSE41 inline void storeBytes(uint8_t* p, __m128i packed) {
    if constexpr (W == 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
    else if constexpr (W == 8)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), packed);
    else
        store4(p, packed);
}

template <int W> DUOSCOPE_SSE41 inline __m128i loadBytes(const uint8_t* p) {
    if constexpr (W == 16)
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    else if constexpr (W == 8)
        return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    else
        return load4(p);
}

// a - 5b + 20c + 20d - 5e + f on 16-bit lanes (no overflow for samples or
// for the sums of two of them).
DUOSCOPE_SSE41 inline __m128i tap6(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f) {
    __m128i af = _mm_add_epi16(a, f), be = _mm_add_epi16(b, e), cd = _mm_add_epi16(c, d);
    return _mm_add_epi16(_mm_sub_epi16(af, _mm_mullo_epi16(be, _mm_set1_epi16(5))),
                         _mm_mullo_epi16(cd, _mm_set1_epi16(20)));
}

DUOSCOPE_SSE41 inline __m128i round5(__m128i v) {
    return _mm_srai_epi16(_mm_add_epi16(v, _mm_set1_epi16(16)), 5);
}

// Horizontal taps of one row; the unrounded sums of W samples.
template <int W> DUOSCOPE_SSE41 inline void rowTaps(const uint8_t* p, __m128i& lo, __m128i& hi) {
    __m128i l[6], h[6];
    for (int k = 0; k < 6; ++k)
        widen<W>(p + k - 2, l[k], h[k]);
    lo = tap6(l[0], l[1], l[2], l[3], l[4], l[5]);
    if constexpr (W == 16)
        hi = tap6(h[0], h[1], h[2], h[3], h[4], h[5]);
    else
        hi = lo;
}

template <int W> DUOSCOPE_SSE41 void halfH(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
    for (int r = 0; r < h; ++r, dst += ds, src += ss) {
        __m128i lo, hi;
        rowTaps<W>(src, lo, hi);
        storeBytes<W>(dst, _mm_packus_epi16(round5(lo), round5(hi)));
    }
}

template <int W> DUOSCOPE_SSE41 void halfV(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
    __m128i l[6], hh[6];
    for (int k = 0; k < 5; ++k)
        widen<W>(src + (k - 2) * ss, l[k + 1], hh[k + 1]);
    for (int r = 0; r < h; ++r, dst += ds, src += ss) {
        for (int k = 0; k < 5; ++k) {
            l[k] = l[k + 1];
            hh[k] = hh[k + 1];
        }
        widen<W>(src + 3 * ss, l[5], hh[5]);
        __m128i lo = round5(tap6(l[0], l[1], l[2], l[3], l[4], l[5]));
        __m128i hi = W == 16 ? round5(tap6(hh[0], hh[1], hh[2], hh[3], hh[4], hh[5])) : lo;
        storeBytes<W>(dst, _mm_packus_epi16(lo, hi));
    }
}

// Vertical 6-tap over 16-bit intermediates in 32-bit precision, rounded by
// 512 >> 10 and saturated to 16 bits (the later byte saturation clips).
DUOSCOPE_SSE41 inline __m128i tap6Wide(const __m128i* t) {
    __m128i af = _mm_add_epi16(t[0], t[5]), be = _mm_add_epi16(t[1], t[4]), cd = _mm_add_epi16(t[2], t[3]);
    const __m128i coef = _mm_setr_epi16(1, -5, 1, -5, 1, -5, 1, -5);
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(af, be), coef);
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(af, be), coef);
    __m128i cdLo = _mm_cvtepi16_epi32(cd), cdHi = _mm_cvtepi16_epi32(_mm_srli_si128(cd, 8));
    lo = _mm_add_epi32(lo, _mm_mullo_epi32(cdLo, _mm_set1_epi32(20)));
    hi = _mm_add_epi32(hi, _mm_mullo_epi32(cdHi, _mm_set1_epi32(20)));
    const __m128i round = _mm_set1_epi32(512);
    lo = _mm_srai_epi32(_mm_add_epi32(lo, round), 10);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, round), 10);
    return _mm_packs_epi32(lo, hi);
}

template <int W> DUOSCOPE_SSE41 void halfHV(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
    __m128i lo[6], hi[6];
    for (int k = 0; k < 5; ++k)
        rowTaps<W>(src + (k - 2) * ss, lo[k + 1], hi[k + 1]);
    for (int r = 0; r < h; ++r, dst += ds, src += ss) {
        for (int k = 0; k < 5; ++k) {
            lo[k] = lo[k + 1];
            hi[k] = hi[k + 1];
        }
        rowTaps<W>(src + 3 * ss, lo[5], hi[5]);
        __m128i a = tap6Wide(lo);
        __m128i b = W == 16 ? tap6Wide(hi) : a;
        storeBytes<W>(dst, _mm_packus_epi16(a, b));
    }
}

void lumaHalfH(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    if (w == 16)
        halfH<16>(dst, ds, src, ss, h);
    else if (w == 8)
        halfH<8>(dst, ds, src, ss, h);
    else if (w == 4)
        halfH<4>(dst, ds, src, ss, h);
    else
        plainDsp().lumaHalfH(dst, ds, src, ss, w, h);
}

void lumaHalfV(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    if (w == 16)
        halfV<16>(dst, ds, src, ss, h);
    else if (w == 8)
        halfV<8>(dst, ds, src, ss, h);
    else if (w == 4)
        halfV<4>(dst, ds, src, ss, h);
    else
        plainDsp().lumaHalfV(dst, ds, src, ss, w, h);
}

void lumaHalfHV(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    if (w == 16)
        halfHV<16>(dst, ds, src, ss, h);
    else if (w == 8)
        halfHV<8>(dst, ds, src, ss, h);
    else if (w == 4)
        halfHV<4>(dst, ds, src, ss, h);
    else
        plainDsp().lumaHalfHV(dst, ds, src, ss, w, h);
}

template <int W>
DUOSCOPE_SSE41 void averageW(uint8_t* dst, int ds, const uint8_t* a, int as, const uint8_t* b, int bs,
                             int h) {
    for (int r = 0; r < h; ++r, dst += ds, a += as, b += bs)
        storeBytes<W>(dst, _mm_avg_epu8(loadBytes<W>(a), loadBytes<W>(b)));
}

void average(uint8_t* dst, int ds, const uint8_t* a, int as, const uint8_t* b, int bs, int w, int h) {
    if (w == 16)
        averageW<16>(dst, ds, a, as, b, bs, h);
    else if (w == 8)
        averageW<8>(dst, ds, a, as, b, bs, h);
    else if (w == 4)
        averageW<4>(dst, ds, a, as, b, bs, h);
    else
        plainDsp().average(dst, ds, a, as, b, bs, w, h);
}

template <int W> DUOSCOPE_SSE41 void copyW(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
    for (int r = 0; r < h; ++r, dst += ds, src += ss)
        storeBytes<W>(dst, loadBytes<W>(src));
}

void copy(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
    if (w == 16)
        copyW<16>(dst, ds, src, ss, h);
    else if (w == 8)
        copyW<8>(dst, ds, src, ss, h);
    else if (w == 4)
        copyW<4>(dst, ds, src, ss, h);
    else
        plainDsp().copy(dst, ds, src, ss, w, h);
}

template <int W>
DUOSCOPE_SSE41 void chromaW(uint8_t* dst, int ds, const uint8_t* src, int ss, int fx, int fy, int h) {
    const __m128i wA = _mm_set1_epi16(static_cast<int16_t>((8 - fx) * (8 - fy)));
    const __m128i wB = _mm_set1_epi16(static_cast<int16_t>(fx * (8 - fy)));
    const __m128i wC = _mm_set1_epi16(static_cast<int16_t>((8 - fx) * fy));
    const __m128i wD = _mm_set1_epi16(static_cast<int16_t>(fx * fy));
    __m128i a, b, unused;
    widen<W>(src, a, unused);
    widen<W>(src + 1, b, unused);
    for (int r = 0; r < h; ++r, dst += ds, src += ss) {
        __m128i c, d;
        widen<W>(src + ss, c, unused);
        widen<W>(src + ss + 1, d, unused);
        __m128i v = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(a, wA), _mm_mullo_epi16(b, wB)),
                                  _mm_add_epi16(_mm_mullo_epi16(c, wC), _mm_mullo_epi16(d, wD)));
        v = _mm_srli_epi16(_mm_add_epi16(v, _mm_set1_epi16(32)), 6);
        storeBytes<W>(dst, _mm_packus_epi16(v, v));
        a = c;
        b = d;
    }
}

void chroma(uint8_t* dst, int ds, const uint8_t* src, int ss, int fx, int fy, int w, int h) {
    if (w == 8)
        chromaW<8>(dst, ds, src, ss, fx, fy, h);
    else if (w == 4)
        chromaW<4>(dst, ds, src, ss, fx, fy, h);
    else
        plainDsp().chroma(dst, ds, src, ss, fx, fy, w, h);
}

template <int W>
DUOSCOPE_SSE41 void weightW(uint8_t* dst, int ds, const uint8_t* src, int ss, int h, int wgt, int off,
                            int logWD) {
    const __m128i vw = _mm_set1_epi16(static_cast<int16_t>(wgt));
    const __m128i vr = _mm_set1_epi16(static_cast<int16_t>(logWD >= 1 ? 1 << (logWD - 1) : 0));
    const __m128i vo = _mm_set1_epi16(static_cast<int16_t>(off));
    const __m128i shift = _mm_cvtsi32_si128(logWD);
    for (int r = 0; r < h; ++r, dst += ds, src += ss) {
        __m128i lo, hi;
        widen<W>(src, lo, hi);
        // |s * wgt| + round stays within 16 bits for weights in -128..127.
        lo = _mm_adds_epi16(_mm_sra_epi16(_mm_add_epi16(_mm_mullo_epi16(lo, vw), vr), shift), vo);
        hi = W == 16 ? _mm_adds_epi16(_mm_sra_epi16(_mm_add_epi16(_mm_mullo_epi16(hi, vw), vr), shift), vo)
                     : lo;
        storeBytes<W>(dst, _mm_packus_epi16(lo, hi));
    }
}

void weight(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h, int wgt, int off, int logWD) {
    bool inRange = wgt >= -128 && wgt <= 127 && off >= -128 && off <= 127 && logWD >= 0 && logWD <= 7;
    if (inRange && w == 16)
        weightW<16>(dst, ds, src, ss, h, wgt, off, logWD);
    else if (inRange && w == 8)
        weightW<8>(dst, ds, src, ss, h, wgt, off, logWD);
    else if (inRange && w == 4)
        weightW<4>(dst, ds, src, ss, h, wgt, off, logWD);
    else
        plainDsp().weight(dst, ds, src, ss, w, h, wgt, off, logWD);
}

DUOSCOPE_SSE41 inline __m128i weighPair(__m128i a, __m128i b, __m128i weights, __m128i round, __m128i shift,
                                        __m128i off) {
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(a, b), weights);
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(a, b), weights);
    lo = _mm_add_epi32(_mm_sra_epi32(_mm_add_epi32(lo, round), shift), off);
    hi = _mm_add_epi32(_mm_sra_epi32(_mm_add_epi32(hi, round), shift), off);
    return _mm_packs_epi32(lo, hi);
}

template <int W>
DUOSCOPE_SSE41 void weightBiW(uint8_t* dst, int ds, const uint8_t* s0, const uint8_t* s1, int ss, int h,
                              int w0, int w1, int off, int logWD) {
    const __m128i weights =
        _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(w1) << 16) | static_cast<uint16_t>(w0)));
    const __m128i round = _mm_set1_epi32(1 << logWD);
    const __m128i shift = _mm_cvtsi32_si128(logWD + 1);
    const __m128i vo = _mm_set1_epi32(off);
    for (int r = 0; r < h; ++r, dst += ds, s0 += ss, s1 += ss) {
        __m128i aLo, aHi, bLo, bHi;
        widen<W>(s0, aLo, aHi);
        widen<W>(s1, bLo, bHi);
        __m128i lo = weighPair(aLo, bLo, weights, round, shift, vo);
        __m128i hi = W == 16 ? weighPair(aHi, bHi, weights, round, shift, vo) : lo;
        storeBytes<W>(dst, _mm_packus_epi16(lo, hi));
    }
}

void weightBi(uint8_t* dst, int ds, const uint8_t* s0, const uint8_t* s1, int ss, int w, int h, int w0,
              int w1, int off, int logWD) {
    bool inRange = w0 >= -32768 && w0 <= 32767 && w1 >= -32768 && w1 <= 32767 && logWD >= 0 && logWD <= 7 &&
                   off >= -(1 << 20) && off <= (1 << 20);
    if (inRange && w == 16)
        weightBiW<16>(dst, ds, s0, s1, ss, h, w0, w1, off, logWD);
    else if (inRange && w == 8)
        weightBiW<8>(dst, ds, s0, s1, ss, h, w0, w1, off, logWD);
    else if (inRange && w == 4)
        weightBiW<4>(dst, ds, s0, s1, ss, h, w0, w1, off, logWD);
    else
        plainDsp().weightBi(dst, ds, s0, s1, ss, w, h, w0, w1, off, logWD);
}

DUOSCOPE_SSE41 inline void transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
    __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab0, cd0);
    b = _mm_unpackhi_epi64(ab0, cd0);
    c = _mm_unpacklo_epi64(ab1, cd1);
    d = _mm_unpackhi_epi64(ab1, cd1);
}

// One 1-D pass of 8-338..8-345 on four lines at once (32-bit lanes as in C).
DUOSCOPE_SSE41 inline void idct4Pass(__m128i& x0, __m128i& x1, __m128i& x2, __m128i& x3) {
    __m128i e = _mm_add_epi32(x0, x2), f = _mm_sub_epi32(x0, x2);
    __m128i g = _mm_sub_epi32(_mm_srai_epi32(x1, 1), x3), h = _mm_add_epi32(x1, _mm_srai_epi32(x3, 1));
    x0 = _mm_add_epi32(e, h);
    x1 = _mm_add_epi32(f, g);
    x2 = _mm_sub_epi32(f, g);
    x3 = _mm_sub_epi32(e, h);
}

DUOSCOPE_SSE41 void idct4x4Add(uint8_t* dst, int stride, int32_t* coef) {
    __m128i* c = reinterpret_cast<__m128i*>(coef);
    __m128i r0 = _mm_loadu_si128(c), r1 = _mm_loadu_si128(c + 1), r2 = _mm_loadu_si128(c + 2),
            r3 = _mm_loadu_si128(c + 3);
    // Rows first: with the block transposed, lane i of each vector is row i.
    transpose4(r0, r1, r2, r3);
    idct4Pass(r0, r1, r2, r3);
    transpose4(r0, r1, r2, r3);
    idct4Pass(r0, r1, r2, r3);
    __m128i rows[4] = {r0, r1, r2, r3};
    const __m128i round = _mm_set1_epi32(32);
    for (int i = 0; i < 4; ++i) {
        uint8_t* p = dst + i * stride;
        __m128i v =
            _mm_add_epi32(_mm_cvtepu8_epi32(load4(p)), _mm_srai_epi32(_mm_add_epi32(rows[i], round), 6));
        v = _mm_packs_epi32(v, v);
        store4(p, _mm_packus_epi16(v, v));
        _mm_storeu_si128(c + i, _mm_setzero_si128());
    }
}

// ---- Deblocking. Lines of an edge are lanes; p3..q3 are whole vectors.

DUOSCOPE_SSE41 inline __m128i absDiff(__m128i a, __m128i b) {
    return _mm_abs_epi16(_mm_sub_epi16(a, b));
}

// filterSamplesFlag (8-468) per lane.
DUOSCOPE_SSE41 inline __m128i activeLanes(__m128i p1, __m128i p0, __m128i q0, __m128i q1, __m128i alpha,
                                          __m128i beta) {
    __m128i m = _mm_cmplt_epi16(absDiff(p0, q0), alpha);
    m = _mm_and_si128(m, _mm_cmplt_epi16(absDiff(p1, p0), beta));
    return _mm_and_si128(m, _mm_cmplt_epi16(absDiff(q1, q0), beta));
}

DUOSCOPE_SSE41 inline __m128i clamp16(__m128i v, __m128i lim) {
    return _mm_min_epi16(_mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), lim)), lim);
}

// 8.7.2.3 (bS < 4) on 16-bit lanes; v holds p3, p2, p1, p0, q0, q1, q2, q3.
DUOSCOPE_SSE41 inline void lumaNormal(__m128i* v, __m128i alpha, __m128i beta, __m128i tc0) {
    __m128i p2 = v[1], p1 = v[2], p0 = v[3], q0 = v[4], q1 = v[5], q2 = v[6];
    __m128i mask =
        _mm_and_si128(activeLanes(p1, p0, q0, q1, alpha, beta), _mm_cmpgt_epi16(tc0, _mm_set1_epi16(-1)));
    __m128i ap = _mm_cmplt_epi16(absDiff(p2, p0), beta), aq = _mm_cmplt_epi16(absDiff(q2, q0), beta);
    __m128i tc = _mm_sub_epi16(_mm_sub_epi16(tc0, ap), aq);
    __m128i delta = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
    delta = clamp16(_mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(4)), 3), tc);
    __m128i avg = _mm_avg_epu16(p0, q0);
    __m128i dp =
        clamp16(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(p2, avg), _mm_slli_epi16(p1, 1)), 1), tc0);
    __m128i dq =
        clamp16(_mm_srai_epi16(_mm_sub_epi16(_mm_add_epi16(q2, avg), _mm_slli_epi16(q1, 1)), 1), tc0);
    __m128i zero = _mm_setzero_si128(), max = _mm_set1_epi16(255);
    v[3] = _mm_blendv_epi8(p0, _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(p0, delta), zero), max), mask);
    v[4] = _mm_blendv_epi8(q0, _mm_min_epi16(_mm_max_epi16(_mm_sub_epi16(q0, delta), zero), max), mask);
    v[2] = _mm_blendv_epi8(p1, _mm_add_epi16(p1, dp), _mm_and_si128(mask, ap));
    v[5] = _mm_blendv_epi8(q1, _mm_add_epi16(q1, dq), _mm_and_si128(mask, aq));
}

// 8.7.2.4 (bS 4).
DUOSCOPE_SSE41 inline void lumaStrong(__m128i* v, __m128i alpha, __m128i beta) {
    __m128i p3 = v[0], p2 = v[1], p1 = v[2], p0 = v[3], q0 = v[4], q1 = v[5], q2 = v[6], q3 = v[7];
    __m128i mask = activeLanes(p1, p0, q0, q1, alpha, beta);
    __m128i strong =
        _mm_cmplt_epi16(absDiff(p0, q0), _mm_add_epi16(_mm_srai_epi16(alpha, 2), _mm_set1_epi16(2)));
    __m128i ap = _mm_and_si128(_mm_and_si128(_mm_cmplt_epi16(absDiff(p2, p0), beta), strong), mask);
    __m128i aq = _mm_and_si128(_mm_and_si128(_mm_cmplt_epi16(absDiff(q2, q0), beta), strong), mask);
    const __m128i two = _mm_set1_epi16(2), four = _mm_set1_epi16(4);
    __m128i p0q0 = _mm_add_epi16(p0, q0);
    // p side
    __m128i p0a = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(p2, _mm_slli_epi16(_mm_add_epi16(p1, p0q0), 1)), _mm_add_epi16(q1, four)),
        3);
    __m128i p1a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1), _mm_add_epi16(p0q0, two)), 2);
    __m128i p2a = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p3, 1), _mm_mullo_epi16(p2, _mm_set1_epi16(3))),
                      _mm_add_epi16(_mm_add_epi16(p1, p0q0), four)),
        3);
    __m128i p0b =
        _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p1, 1), p0), _mm_add_epi16(q1, two)), 2);
    // q side
    __m128i q0a = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(q2, _mm_slli_epi16(_mm_add_epi16(q1, p0q0), 1)), _mm_add_epi16(p1, four)),
        3);
    __m128i q1a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1), _mm_add_epi16(p0q0, two)), 2);
    __m128i q2a = _mm_srai_epi16(
        _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q3, 1), _mm_mullo_epi16(q2, _mm_set1_epi16(3))),
                      _mm_add_epi16(_mm_add_epi16(q1, p0q0), four)),
        3);
    __m128i q0b =
        _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q1, 1), q0), _mm_add_epi16(p1, two)), 2);
    v[3] = _mm_blendv_epi8(p0, _mm_blendv_epi8(p0b, p0a, ap), mask);
    v[2] = _mm_blendv_epi8(p1, p1a, ap);
    v[1] = _mm_blendv_epi8(p2, p2a, ap);
    v[4] = _mm_blendv_epi8(q0, _mm_blendv_epi8(q0b, q0a, aq), mask);
    v[5] = _mm_blendv_epi8(q1, q1a, aq);
    v[6] = _mm_blendv_epi8(q2, q2a, aq);
}

// 16 rows of 8 bytes (p3..q3 of a vertical edge) to 8 vectors of 16 lines.
DUOSCOPE_SSE41 inline void transpose16x8(const uint8_t* p, int stride, __m128i* cols) {
    __m128i r[16];
    for (int i = 0; i < 16; ++i)
        r[i] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i * stride));
    __m128i a[8], b[8], c[8];
    for (int i = 0; i < 8; ++i)
        a[i] = _mm_unpacklo_epi8(r[2 * i], r[2 * i + 1]);
    for (int i = 0; i < 4; ++i) {
        b[2 * i] = _mm_unpacklo_epi16(a[2 * i], a[2 * i + 1]);
        b[2 * i + 1] = _mm_unpackhi_epi16(a[2 * i], a[2 * i + 1]);
    }
    // b[0] cols 0-3 rows 0-3, b[1] cols 4-7 rows 0-3, b[2]/b[3] rows 4-7, ...
    for (int h = 0; h < 2; ++h) {
        __m128i* out = c + 4 * h;
        const __m128i* in = b + 4 * h;
        out[0] = _mm_unpacklo_epi32(in[0], in[2]); // cols 0,1 of 8 rows
        out[1] = _mm_unpackhi_epi32(in[0], in[2]); // cols 2,3
        out[2] = _mm_unpacklo_epi32(in[1], in[3]); // cols 4,5
        out[3] = _mm_unpackhi_epi32(in[1], in[3]); // cols 6,7
    }
    for (int i = 0; i < 4; ++i) {
        cols[2 * i] = _mm_unpacklo_epi64(c[i], c[4 + i]);
        cols[2 * i + 1] = _mm_unpackhi_epi64(c[i], c[4 + i]);
    }
}

// The inverse: 8 vectors of 16 lines back to 16 rows of 8 bytes.
DUOSCOPE_SSE41 inline void storeTransposed(uint8_t* p, int stride, const __m128i* cols) {
    __m128i a[8], b[8];
    for (int i = 0; i < 4; ++i) {
        a[2 * i] = _mm_unpacklo_epi8(cols[2 * i], cols[2 * i + 1]);     // rows 0-7, cols 2i,2i+1
        a[2 * i + 1] = _mm_unpackhi_epi8(cols[2 * i], cols[2 * i + 1]); // rows 8-15
    }
    for (int h = 0; h < 2; ++h) {
        // cols 0-3 and 4-7 of rows 8h..8h+7, 4 bytes per row
        b[4 * h + 0] = _mm_unpacklo_epi16(a[h], a[2 + h]);     // rows 0-3, cols 0-3
        b[4 * h + 1] = _mm_unpackhi_epi16(a[h], a[2 + h]);     // rows 4-7, cols 0-3
        b[4 * h + 2] = _mm_unpacklo_epi16(a[4 + h], a[6 + h]); // rows 0-3, cols 4-7
        b[4 * h + 3] = _mm_unpackhi_epi16(a[4 + h], a[6 + h]); // rows 4-7, cols 4-7
    }
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < 2; ++k) {
            __m128i lo = _mm_unpacklo_epi32(b[4 * h + k], b[4 * h + 2 + k]); // two rows of 8 bytes
            __m128i hi = _mm_unpackhi_epi32(b[4 * h + k], b[4 * h + 2 + k]);
            uint8_t* row = p + (8 * h + 4 * k) * stride;
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row), lo);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row + stride), _mm_unpackhi_epi64(lo, lo));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 2 * stride), hi);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 3 * stride), _mm_unpackhi_epi64(hi, hi));
        }
}

// Runs the filter on both halves of 16 lines held as bytes.
template <bool Strong>
DUOSCOPE_SSE41 inline void filterLuma16(__m128i* bytes, int alpha, int beta, const int8_t* tc0) {
    __m128i va = _mm_set1_epi16(static_cast<int16_t>(alpha)), vb = _mm_set1_epi16(static_cast<int16_t>(beta));
    __m128i lo[8], hi[8];
    for (int k = 0; k < 8; ++k) {
        lo[k] = _mm_unpacklo_epi8(bytes[k], _mm_setzero_si128());
        hi[k] = _mm_unpackhi_epi8(bytes[k], _mm_setzero_si128());
    }
    if constexpr (Strong) {
        lumaStrong(lo, va, vb);
        lumaStrong(hi, va, vb);
    } else {
        lumaNormal(lo, va, vb,
                   _mm_setr_epi16(tc0[0], tc0[0], tc0[0], tc0[0], tc0[1], tc0[1], tc0[1], tc0[1]));
        lumaNormal(hi, va, vb,
                   _mm_setr_epi16(tc0[2], tc0[2], tc0[2], tc0[2], tc0[3], tc0[3], tc0[3], tc0[3]));
    }
    for (int k = 1; k < 7; ++k)
        bytes[k] = _mm_packus_epi16(lo[k], hi[k]);
}

template <bool Strong>
DUOSCOPE_SSE41 void lumaEdgeVertical(uint8_t* q0, int stride, int alpha, int beta, const int8_t* tc0) {
    __m128i cols[8];
    transpose16x8(q0 - 4, stride, cols);
    filterLuma16<Strong>(cols, alpha, beta, tc0);
    storeTransposed(q0 - 4, stride, cols);
}

template <bool Strong>
DUOSCOPE_SSE41 void lumaEdgeHorizontal(uint8_t* q0, int stride, int alpha, int beta, const int8_t* tc0) {
    __m128i rows[8];
    for (int k = 0; k < 8; ++k)
        rows[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q0 + (k - 4) * stride));
    filterLuma16<Strong>(rows, alpha, beta, tc0);
    for (int k = 1; k < 7; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q0 + (k - 4) * stride), rows[k]);
}

void lumaEdgeV(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    lumaEdgeVertical<false>(q0, stride, alpha, beta, tc0);
}
void lumaEdgeH(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    lumaEdgeHorizontal<false>(q0, stride, alpha, beta, tc0);
}
void lumaEdgeStrongV(uint8_t* q0, int stride, int alpha, int beta) {
    lumaEdgeVertical<true>(q0, stride, alpha, beta, nullptr);
}
void lumaEdgeStrongH(uint8_t* q0, int stride, int alpha, int beta) {
    lumaEdgeHorizontal<true>(q0, stride, alpha, beta, nullptr);
}

// Chroma: 8 lines of p1, p0, q0, q1 in 16-bit lanes; only p0 and q0 change.
template <bool Strong>
DUOSCOPE_SSE41 inline void filterChroma8(__m128i* v, int alpha, int beta, const int8_t* tc0) {
    __m128i p1 = v[0], p0 = v[1], q0 = v[2], q1 = v[3];
    __m128i mask = activeLanes(p1, p0, q0, q1, _mm_set1_epi16(static_cast<int16_t>(alpha)),
                               _mm_set1_epi16(static_cast<int16_t>(beta)));
    const __m128i two = _mm_set1_epi16(2);
    __m128i np0, nq0;
    if constexpr (Strong) {
        np0 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(p1, 1), p0), _mm_add_epi16(q1, two)),
                             2);
        nq0 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(q1, 1), q0), _mm_add_epi16(p1, two)),
                             2);
    } else {
        __m128i t = _mm_setr_epi16(tc0[0], tc0[0], tc0[1], tc0[1], tc0[2], tc0[2], tc0[3], tc0[3]);
        mask = _mm_and_si128(mask, _mm_cmpgt_epi16(t, _mm_set1_epi16(-1)));
        __m128i tc = _mm_add_epi16(t, _mm_set1_epi16(1));
        __m128i delta = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
        delta = clamp16(_mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(4)), 3), tc);
        np0 = _mm_add_epi16(p0, delta);
        nq0 = _mm_sub_epi16(q0, delta);
    }
    v[1] = _mm_blendv_epi8(p0, np0, mask);
    v[2] = _mm_blendv_epi8(q0, nq0, mask);
}

template <bool Strong>
DUOSCOPE_SSE41 void chromaEdgeHorizontal(uint8_t* q0, int stride, int alpha, int beta, const int8_t* tc0) {
    __m128i v[4];
    for (int k = 0; k < 4; ++k)
        v[k] = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q0 + (k - 2) * stride)));
    filterChroma8<Strong>(v, alpha, beta, tc0);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(q0 - stride), _mm_packus_epi16(v[1], v[1]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(q0), _mm_packus_epi16(v[2], v[2]));
}

template <bool Strong>
DUOSCOPE_SSE41 void chromaEdgeVertical(uint8_t* q0, int stride, int alpha, int beta, const int8_t* tc0) {
    const uint8_t* p = q0 - 2;
    __m128i a[4];
    for (int i = 0; i < 4; ++i)
        a[i] = _mm_unpacklo_epi8(load4(p + 2 * i * stride), load4(p + (2 * i + 1) * stride));
    __m128i b0 = _mm_unpacklo_epi16(a[0], a[1]); // rows 0-3: p1 p1 p1 p1, p0 .., q0 .., q1 ..
    __m128i b1 = _mm_unpacklo_epi16(a[2], a[3]); // rows 4-7
    __m128i lo = _mm_unpacklo_epi32(b0, b1);     // p1 of rows 0-7, then p0
    __m128i hi = _mm_unpackhi_epi32(b0, b1);     // q0, then q1
    __m128i v[4] = {_mm_cvtepu8_epi16(lo), _mm_cvtepu8_epi16(_mm_srli_si128(lo, 8)), _mm_cvtepu8_epi16(hi),
                    _mm_cvtepu8_epi16(_mm_srli_si128(hi, 8))};
    filterChroma8<Strong>(v, alpha, beta, tc0);
    __m128i pairs = _mm_unpacklo_epi8(_mm_packus_epi16(v[1], v[1]), _mm_packus_epi16(v[2], v[2]));
    for (int i = 0; i < 8; ++i) {
        uint16_t pq = static_cast<uint16_t>(_mm_extract_epi16(pairs, 0));
        pairs = _mm_srli_si128(pairs, 2);
        std::memcpy(q0 - 1 + i * stride, &pq, 2);
    }
}

void chromaEdgeV(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    chromaEdgeVertical<false>(q0, stride, alpha, beta, tc0);
}
void chromaEdgeH(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]) {
    chromaEdgeHorizontal<false>(q0, stride, alpha, beta, tc0);
}
void chromaEdgeStrongV(uint8_t* q0, int stride, int alpha, int beta) {
    chromaEdgeVertical<true>(q0, stride, alpha, beta, nullptr);
}
void chromaEdgeStrongH(uint8_t* q0, int stride, int alpha, int beta) {
    chromaEdgeHorizontal<true>(q0, stride, alpha, beta, nullptr);
}

const DspFunctions kSse41 = {"SSE4.1",
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

} // namespace

const DspFunctions* x86Dsp() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1") ? &kSse41 : nullptr;
}

} // namespace duoscope::h264

#endif
