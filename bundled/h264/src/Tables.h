// Constant tables of ITU-T H.264: scans, default scaling lists, dequantisation
// factors, chroma QP mapping. Read-only data; any thread.
#pragma once

#include <cstdint>

namespace duoscope::h264 {

// 4x4 frame zigzag: scan position -> raster index.
inline constexpr uint8_t kZigzag4x4[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};

inline constexpr uint8_t kZigzag8x8[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                           12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                           35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                           58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Table 7-3 / 7-4, in zigzag order.
inline constexpr uint8_t kDefault4x4Intra[16] = {6,  13, 13, 20, 20, 20, 28, 28,
                                                 28, 28, 32, 32, 32, 37, 37, 42};
inline constexpr uint8_t kDefault4x4Inter[16] = {10, 14, 14, 20, 20, 20, 24, 24,
                                                 24, 24, 27, 27, 27, 30, 30, 34};
inline constexpr uint8_t kDefault8x8Intra[64] = {
    6,  10, 10, 13, 11, 13, 16, 16, 16, 16, 18, 18, 18, 18, 18, 23, 23, 23, 23, 23, 23, 25,
    25, 25, 25, 25, 25, 25, 27, 27, 27, 27, 27, 27, 27, 27, 29, 29, 29, 29, 29, 29, 29, 31,
    31, 31, 31, 31, 31, 33, 33, 33, 33, 33, 36, 36, 36, 36, 38, 38, 38, 40, 40, 42};
inline constexpr uint8_t kDefault8x8Inter[64] = {
    9,  13, 13, 15, 13, 15, 17, 17, 17, 17, 19, 19, 19, 19, 19, 21, 21, 21, 21, 21, 21, 22,
    22, 22, 22, 22, 22, 22, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 27,
    27, 27, 27, 27, 27, 28, 28, 28, 28, 28, 30, 30, 30, 30, 32, 32, 32, 33, 33, 35};

// normAdjust4x4 (8-315) and normAdjust8x8 (8-318) by qP % 6.
inline constexpr uint8_t kNormAdjust4x4[6][3] = {{10, 16, 13}, {11, 18, 14}, {13, 20, 16},
                                                 {14, 23, 18}, {16, 25, 20}, {18, 29, 23}};
inline constexpr uint8_t kNormAdjust8x8[6][6] = {{20, 18, 32, 19, 25, 24}, {22, 19, 35, 21, 28, 26},
                                                 {26, 23, 42, 24, 33, 31}, {28, 25, 45, 26, 35, 33},
                                                 {32, 28, 51, 30, 40, 38}, {36, 32, 58, 34, 46, 43}};

inline int normAdjust4x4(int m, int i, int j) {
    if ((i & 1) == 0 && (j & 1) == 0) return kNormAdjust4x4[m][0];
    if ((i & 1) == 1 && (j & 1) == 1) return kNormAdjust4x4[m][1];
    return kNormAdjust4x4[m][2];
}

inline int normAdjust8x8(int m, int i, int j) {
    if ((i & 3) == 0 && (j & 3) == 0) return kNormAdjust8x8[m][0];
    if ((i & 1) == 1 && (j & 1) == 1) return kNormAdjust8x8[m][1];
    if ((i & 3) == 2 && (j & 3) == 2) return kNormAdjust8x8[m][2];
    if (((i & 3) == 0 && (j & 1) == 1) || ((i & 1) == 1 && (j & 3) == 0)) return kNormAdjust8x8[m][3];
    if (((i & 3) == 0 && (j & 3) == 2) || ((i & 3) == 2 && (j & 3) == 0)) return kNormAdjust8x8[m][4];
    return kNormAdjust8x8[m][5];
}

// Table 8-15: QPc for qPI 30..51 (below 30 QPc = qPI).
inline int chromaQp(int qpi) {
    static constexpr uint8_t high[22] = {29, 30, 31, 32, 32, 33, 34, 34, 35, 35, 36,
                                         36, 37, 37, 37, 38, 38, 38, 39, 39, 39, 39};
    if (qpi < 30) return qpi < 0 ? 0 : qpi;
    return high[qpi > 51 ? 21 : qpi - 30];
}

// Table 9-4, ChromaArrayType 1 or 2: codeNum -> coded_block_pattern.
inline constexpr uint8_t kCbpIntra[48] = {47, 31, 15, 0,  23, 27, 29, 30, 7,  11, 13, 14, 39, 43, 45, 46,
                                          16, 3,  5,  10, 12, 19, 21, 26, 28, 35, 37, 42, 44, 1,  2,  4,
                                          8,  17, 18, 20, 24, 6,  9,  22, 25, 32, 33, 34, 36, 40, 38, 41};
inline constexpr uint8_t kCbpInter[48] = {0,  16, 1,  2,  4,  8,  32, 3,  5,  10, 12, 15, 47, 7,  11, 13,
                                          14, 6,  9,  31, 35, 37, 42, 44, 33, 34, 36, 40, 39, 43, 45, 46,
                                          17, 18, 20, 24, 19, 21, 26, 28, 23, 27, 29, 30, 22, 25, 38, 41};

} // namespace duoscope::h264
