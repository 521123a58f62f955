// Sample-level building blocks of H.264 reconstruction: inverse transforms,
// intra predictors and fractional-sample interpolation. Pure functions over
// caller-owned buffers; any thread.
#pragma once

#include <cstdint>

namespace duoscope::h264 {

inline uint8_t clip1(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// 8.5.12.2: inverse 4x4 transform of raster-ordered, already scaled
// coefficients, added to dst with clipping. Clears coef.
void idct4x4Add(uint8_t* dst, int stride, int32_t* coef);
// 8.5.13.2: the same for 8x8.
void idct8x8Add(uint8_t* dst, int stride, int32_t* coef);
// Inverse 4x4 Hadamard of Intra16x16 DC values (raster order, in place).
void hadamard4x4(int32_t* c);

// Reference samples of an intra block. top holds up to 2N samples (above and
// above-right), left N samples, corner the one above-left.
struct IntraEdge {
    uint8_t top[16];
    uint8_t left[16];
    uint8_t corner;
    bool hasTop, hasTopRight, hasLeft, hasCorner;
};

// 8.3.1.2 (n = 4) and 8.3.2.2 (n = 8, edge filtered first by filterEdge8x8).
void predictIntraNxN(uint8_t* dst, int stride, int n, int mode, const IntraEdge& e);
// 8.3.2.2.1 reference sample filtering for Intra_8x8 (fills top-right first).
void filterEdge8x8(IntraEdge& e);
// 8.3.3 Intra_16x16 (16 top, 16 left samples).
void predictIntra16x16(uint8_t* dst, int stride, int mode, const IntraEdge& e);
// 8.3.4 chroma of 4:2:0 (8 top, 8 left samples); modes as intra_chroma_pred_mode.
void predictIntraChroma(uint8_t* dst, int stride, int mode, const IntraEdge& e);

// 8.4.2.2.1 luma sample interpolation of a w x h block whose integer position
// in the reference is (x, y) with quarter-sample fraction (fx, fy); positions
// outside the w_ref x h_ref picture repeat its border samples.
void interpolateLuma(uint8_t* dst, int dstStride, const uint8_t* ref, int refStride, int refWidth,
                     int refHeight, int x, int y, int fx, int fy, int w, int h);
// 8.4.2.2.2 chroma sample interpolation with eighth-sample fraction.
void interpolateChroma(uint8_t* dst, int dstStride, const uint8_t* ref, int refStride, int refWidth,
                       int refHeight, int x, int y, int fx, int fy, int w, int h);

} // namespace duoscope::h264
