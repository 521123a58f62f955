// The sample loops that dominate decoding time (interpolation, weighted
// prediction, the deblocking filter's edges) as a table of functions chosen
// once from the processor's features. The plain C++ table is the reference
// every SIMD entry is tested against; DUOSCOPE_H264_SIMD=0 in the environment
// keeps it. Pure functions over caller-owned buffers; any thread.
#pragma once

#include <cstdint>

namespace duoscope::h264 {

struct DspFunctions {
    const char* name;
    // Luma half samples of a w x h block (w 4, 8 or 16; h up to 16) whose full
    // sample G is at src: b (horizontal), h (vertical), j (centre), 8-241..8-247.
    // They read 2 samples before and 3 after the block along their direction(s).
    void (*lumaHalfH)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
    void (*lumaHalfV)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
    void (*lumaHalfHV)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
    // (a + b + 1) >> 1 per sample: quarter samples and unweighted bi-prediction.
    void (*average)(uint8_t* dst, int dstStride, const uint8_t* a, int aStride, const uint8_t* b, int bStride,
                    int w, int h);
    void (*copy)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h);
    // 8.4.2.2.2 chroma sample of eighth-sample fraction (fx, fy); reads one sample
    // beyond the block to the right and below. w 2, 4 or 8.
    void (*chroma)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int fx, int fy, int w,
                   int h);
    // 8-300, one list: Clip1(((s * wgt + 2^(logWD-1)) >> logWD) + off); logWD 0..7.
    void (*weight)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride, int w, int h, int wgt,
                   int off, int logWD);
    // 8-301, two lists: Clip1(((s0 * w0 + s1 * w1 + 2^logWD) >> (logWD + 1)) + off).
    void (*weightBi)(uint8_t* dst, int dstStride, const uint8_t* s0, const uint8_t* s1, int srcStride, int w,
                     int h, int w0, int w1, int off, int logWD);
    // 8.5.12.2: inverse 4x4 transform of raster-ordered scaled coefficients,
    // added to dst with clipping; clears coef.
    void (*idct4x4Add)(uint8_t* dst, int stride, int32_t* coef);
    // 8.7.2.3/8.7.2.4 on one luma edge of 16 sample lines: q0 is the first q0
    // sample; [0] filters a vertical edge (p samples to the left), [1] a
    // horizontal one (p samples above). tc0 per 4 lines, -1 where bS is 0.
    void (*lumaEdge[2])(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]);
    void (*lumaEdgeStrong[2])(uint8_t* q0, int stride, int alpha, int beta); // bS 4
    // The same for a chroma edge of 8 lines, tc0 per 2 lines.
    void (*chromaEdge[2])(uint8_t* q0, int stride, int alpha, int beta, const int8_t tc0[4]);
    void (*chromaEdgeStrong[2])(uint8_t* q0, int stride, int alpha, int beta);
};

// The table for this processor (the plain one when SIMD is switched off).
const DspFunctions& dsp();
// The plain C++ reference.
const DspFunctions& plainDsp();
// The table of the best SIMD level the processor has, or nullptr on none.
const DspFunctions* simdDsp();

} // namespace duoscope::h264
