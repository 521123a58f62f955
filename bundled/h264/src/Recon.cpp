#include "Recon.h"

#include <algorithm>
#include <cstring>

#include "Dsp.h"

namespace duoscope::h264 {

void idct4x4Add(uint8_t* dst, int stride, int32_t* c) {
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        const int32_t* r = c + 4 * i;
        int32_t e = r[0] + r[2], f = r[0] - r[2];
        int32_t g = (r[1] >> 1) - r[3], h = r[1] + (r[3] >> 1);
        t[4 * i + 0] = e + h;
        t[4 * i + 1] = f + g;
        t[4 * i + 2] = f - g;
        t[4 * i + 3] = e - h;
    }
    for (int j = 0; j < 4; ++j) {
        int32_t e = t[j] + t[8 + j], f = t[j] - t[8 + j];
        int32_t g = (t[4 + j] >> 1) - t[12 + j], h = t[4 + j] + (t[12 + j] >> 1);
        int32_t out[4] = {e + h, f + g, f - g, e - h};
        for (int i = 0; i < 4; ++i) {
            uint8_t* p = dst + i * stride + j;
            *p = clip1(*p + ((out[i] + 32) >> 6));
        }
    }
    std::memset(c, 0, 16 * sizeof(int32_t));
}

namespace {
inline void idct8(const int32_t* d, int32_t* o, int step) {
    int32_t d0 = d[0], d1 = d[step], d2 = d[2 * step], d3 = d[3 * step], d4 = d[4 * step], d5 = d[5 * step],
            d6 = d[6 * step], d7 = d[7 * step];
    int32_t a0 = d0 + d4, a4 = d0 - d4, a2 = (d2 >> 1) - d6, a6 = d2 + (d6 >> 1);
    int32_t b0 = a0 + a6, b2 = a4 + a2, b4 = a4 - a2, b6 = a0 - a6;
    int32_t a1 = -d3 + d5 - d7 - (d7 >> 1), a3 = d1 + d7 - d3 - (d3 >> 1);
    int32_t a5 = -d1 + d7 + d5 + (d5 >> 1), a7 = d3 + d5 + d1 + (d1 >> 1);
    int32_t b1 = a1 + (a7 >> 2), b7 = a7 - (a1 >> 2), b3 = a3 + (a5 >> 2), b5 = (a3 >> 2) - a5;
    o[0] = b0 + b7;
    o[step] = b2 + b5;
    o[2 * step] = b4 + b3;
    o[3 * step] = b6 + b1;
    o[4 * step] = b6 - b1;
    o[5 * step] = b4 - b3;
    o[6 * step] = b2 - b5;
    o[7 * step] = b0 - b7;
}
} // namespace

void idct8x8Add(uint8_t* dst, int stride, int32_t* c) {
    int32_t t[64], u[64];
    for (int i = 0; i < 8; ++i)
        idct8(c + 8 * i, t + 8 * i, 1);
    for (int j = 0; j < 8; ++j)
        idct8(t + j, u + j, 8);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            uint8_t* p = dst + i * stride + j;
            *p = clip1(*p + ((u[8 * i + j] + 32) >> 6));
        }
    std::memset(c, 0, 64 * sizeof(int32_t));
}

void hadamard4x4(int32_t* c) {
    int32_t t[16];
    for (int i = 0; i < 4; ++i) {
        int32_t* r = c + 4 * i;
        int32_t s0 = r[0] + r[1], s1 = r[0] - r[1], s2 = r[2] + r[3], s3 = r[2] - r[3];
        t[4 * i + 0] = s0 + s2;
        t[4 * i + 1] = s0 - s2;
        t[4 * i + 2] = s1 - s3;
        t[4 * i + 3] = s1 + s3;
    }
    for (int j = 0; j < 4; ++j) {
        int32_t s0 = t[j] + t[4 + j], s1 = t[j] - t[4 + j], s2 = t[8 + j] + t[12 + j],
                s3 = t[8 + j] - t[12 + j];
        c[j] = s0 + s2;
        c[4 + j] = s0 - s2;
        c[8 + j] = s1 - s3;
        c[12 + j] = s1 + s3;
    }
}

void filterEdge8x8(IntraEdge& e) {
    if (e.hasTop && !e.hasTopRight)
        for (int x = 8; x < 16; ++x)
            e.top[x] = e.top[7];
    IntraEdge f = e;
    if (e.hasTop) {
        f.top[0] = static_cast<uint8_t>(e.hasCorner ? (e.corner + 2 * e.top[0] + e.top[1] + 2) >> 2
                                                    : (3 * e.top[0] + e.top[1] + 2) >> 2);
        for (int x = 1; x < 15; ++x)
            f.top[x] = static_cast<uint8_t>((e.top[x - 1] + 2 * e.top[x] + e.top[x + 1] + 2) >> 2);
        f.top[15] = static_cast<uint8_t>((e.top[14] + 3 * e.top[15] + 2) >> 2);
    }
    if (e.hasCorner) {
        if (!e.hasTop && e.hasLeft)
            f.corner = static_cast<uint8_t>((3 * e.corner + e.left[0] + 2) >> 2);
        else if (e.hasTop && !e.hasLeft)
            f.corner = static_cast<uint8_t>((3 * e.corner + e.top[0] + 2) >> 2);
        else if (e.hasTop && e.hasLeft)
            f.corner = static_cast<uint8_t>((e.top[0] + 2 * e.corner + e.left[0] + 2) >> 2);
    }
    if (e.hasLeft) {
        f.left[0] = static_cast<uint8_t>(e.hasCorner ? (e.corner + 2 * e.left[0] + e.left[1] + 2) >> 2
                                                     : (3 * e.left[0] + e.left[1] + 2) >> 2);
        for (int y = 1; y < 7; ++y)
            f.left[y] = static_cast<uint8_t>((e.left[y - 1] + 2 * e.left[y] + e.left[y + 1] + 2) >> 2);
        f.left[7] = static_cast<uint8_t>((e.left[6] + 3 * e.left[7] + 2) >> 2);
    }
    e = f;
}

void predictIntraNxN(uint8_t* dst, int stride, int n, int mode, const IntraEdge& e) {
    // P(x, -1) for x >= -1 and P(-1, y) for y >= -1, as in the equations.
    uint8_t topBuf[17], leftBuf[17];
    topBuf[0] = leftBuf[0] = e.corner;
    for (int i = 0; i < 2 * n; ++i)
        topBuf[i + 1] = e.top[i];
    if (n == 4 && e.hasTop && !e.hasTopRight)
        for (int i = 4; i < 8; ++i)
            topBuf[i + 1] = e.top[3];
    for (int i = 0; i < n; ++i)
        leftBuf[i + 1] = e.left[i];
    auto T = [&](int x) { return int{topBuf[x + 1]}; };
    auto L = [&](int y) { return int{leftBuf[y + 1]}; };
    auto at = [&](int x, int y) -> uint8_t& { return dst[y * stride + x]; };
    switch (mode) {
    case 0:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                at(x, y) = static_cast<uint8_t>(T(x));
        break;
    case 1:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                at(x, y) = static_cast<uint8_t>(L(y));
        break;
    case 2: {
        int sum = 0, shift = n == 4 ? 2 : 3, dc = 128;
        if (e.hasTop && e.hasLeft) {
            for (int i = 0; i < n; ++i)
                sum += T(i) + L(i);
            dc = (sum + n) >> (shift + 1);
        } else if (e.hasLeft) {
            for (int i = 0; i < n; ++i)
                sum += L(i);
            dc = (sum + n / 2) >> shift;
        } else if (e.hasTop) {
            for (int i = 0; i < n; ++i)
                sum += T(i);
            dc = (sum + n / 2) >> shift;
        }
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                at(x, y) = static_cast<uint8_t>(dc);
        break;
    }
    case 3:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int k = x + y;
                at(x, y) = static_cast<uint8_t>(k == 2 * n - 2 ? (T(k) + 3 * T(k + 1) + 2) >> 2
                                                               : (T(k) + 2 * T(k + 1) + T(k + 2) + 2) >> 2);
            }
        break;
    case 4: {
        // One diagonal line through left column, corner and top row.
        int line[33];
        for (int i = 0; i < n; ++i)
            line[n - 1 - i] = L(i);
        line[n] = e.corner;
        for (int i = 0; i < n; ++i)
            line[n + 1 + i] = T(i);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int d = n + x - y;
                at(x, y) = static_cast<uint8_t>((line[d - 1] + 2 * line[d] + line[d + 1] + 2) >> 2);
            }
        break;
    }
    case 5:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int z = 2 * x - y, v;
                if (z >= 0 && (z & 1) == 0)
                    v = (T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 1) >> 1;
                else if (z >= 0)
                    v = (T(x - (y >> 1) - 2) + 2 * T(x - (y >> 1) - 1) + T(x - (y >> 1)) + 2) >> 2;
                else if (z == -1)
                    v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
                else
                    v = (L(y - 2 * x - 1) + 2 * L(y - 2 * x - 2) + L(y - 2 * x - 3) + 2) >> 2;
                at(x, y) = static_cast<uint8_t>(v);
            }
        break;
    case 6:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int z = 2 * y - x, v;
                if (z >= 0 && (z & 1) == 0)
                    v = (L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 1) >> 1;
                else if (z >= 0)
                    v = (L(y - (x >> 1) - 2) + 2 * L(y - (x >> 1) - 1) + L(y - (x >> 1)) + 2) >> 2;
                else if (z == -1)
                    v = (L(0) + 2 * L(-1) + T(0) + 2) >> 2;
                else
                    v = (T(x - 2 * y - 1) + 2 * T(x - 2 * y - 2) + T(x - 2 * y - 3) + 2) >> 2;
                at(x, y) = static_cast<uint8_t>(v);
            }
        break;
    case 7:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int k = x + (y >> 1);
                at(x, y) = static_cast<uint8_t>((y & 1) == 0 ? (T(k) + T(k + 1) + 1) >> 1
                                                             : (T(k) + 2 * T(k + 1) + T(k + 2) + 2) >> 2);
            }
        break;
    case 8:
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                int z = x + 2 * y, k = y + (x >> 1), v;
                if (z > 2 * n - 3)
                    v = L(n - 1);
                else if (z == 2 * n - 3)
                    v = (L(n - 2) + 3 * L(n - 1) + 2) >> 2;
                else if ((z & 1) == 0)
                    v = (L(k) + L(k + 1) + 1) >> 1;
                else
                    v = (L(k) + 2 * L(k + 1) + L(k + 2) + 2) >> 2;
                at(x, y) = static_cast<uint8_t>(v);
            }
        break;
    default:
        break;
    }
}

void predictIntra16x16(uint8_t* dst, int stride, int mode, const IntraEdge& e) {
    switch (mode) {
    case 0:
        for (int y = 0; y < 16; ++y)
            std::memcpy(dst + y * stride, e.top, 16);
        break;
    case 1:
        for (int y = 0; y < 16; ++y)
            std::memset(dst + y * stride, e.left[y], 16);
        break;
    case 2: {
        int sum = 0, dc = 128;
        if (e.hasTop && e.hasLeft) {
            for (int i = 0; i < 16; ++i)
                sum += e.top[i] + e.left[i];
            dc = (sum + 16) >> 5;
        } else if (e.hasLeft) {
            for (int i = 0; i < 16; ++i)
                sum += e.left[i];
            dc = (sum + 8) >> 4;
        } else if (e.hasTop) {
            for (int i = 0; i < 16; ++i)
                sum += e.top[i];
            dc = (sum + 8) >> 4;
        }
        for (int y = 0; y < 16; ++y)
            std::memset(dst + y * stride, dc, 16);
        break;
    }
    default: {
        int h = 0, v = 0;
        for (int i = 0; i < 8; ++i) {
            int tl = 6 - i < 0 ? e.corner : e.top[6 - i];
            int ll = 6 - i < 0 ? e.corner : e.left[6 - i];
            h += (i + 1) * (e.top[8 + i] - tl);
            v += (i + 1) * (e.left[8 + i] - ll);
        }
        int a = 16 * (e.left[15] + e.top[15]), b = (5 * h + 32) >> 6, c = (5 * v + 32) >> 6;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                dst[y * stride + x] = clip1((a + b * (x - 7) + c * (y - 7) + 16) >> 5);
    }
    }
}

void predictIntraChroma(uint8_t* dst, int stride, int mode, const IntraEdge& e) {
    switch (mode) {
    case 0:
        for (int by = 0; by < 2; ++by)
            for (int bx = 0; bx < 2; ++bx) {
                int st = 0, sl = 0;
                for (int i = 0; i < 4; ++i) {
                    st += e.top[4 * bx + i];
                    sl += e.left[4 * by + i];
                }
                int dc = 128;
                bool both = (bx == 0 && by == 0) || (bx > 0 && by > 0);
                if (both) {
                    if (e.hasTop && e.hasLeft)
                        dc = (st + sl + 4) >> 3;
                    else if (e.hasLeft)
                        dc = (sl + 2) >> 2;
                    else if (e.hasTop)
                        dc = (st + 2) >> 2;
                } else if (bx > 0) {
                    if (e.hasTop)
                        dc = (st + 2) >> 2;
                    else if (e.hasLeft)
                        dc = (sl + 2) >> 2;
                } else {
                    if (e.hasLeft)
                        dc = (sl + 2) >> 2;
                    else if (e.hasTop)
                        dc = (st + 2) >> 2;
                }
                for (int y = 0; y < 4; ++y)
                    std::memset(dst + (4 * by + y) * stride + 4 * bx, dc, 4);
            }
        break;
    case 1:
        for (int y = 0; y < 8; ++y)
            std::memset(dst + y * stride, e.left[y], 8);
        break;
    case 2:
        for (int y = 0; y < 8; ++y)
            std::memcpy(dst + y * stride, e.top, 8);
        break;
    default: {
        int h = 0, v = 0;
        for (int i = 0; i < 4; ++i) {
            int tl = 2 - i < 0 ? e.corner : e.top[2 - i];
            int ll = 2 - i < 0 ? e.corner : e.left[2 - i];
            h += (i + 1) * (e.top[4 + i] - tl);
            v += (i + 1) * (e.left[4 + i] - ll);
        }
        int a = 16 * (e.left[7] + e.top[7]), b = (34 * h + 32) >> 6, c = (34 * v + 32) >> 6;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                dst[y * stride + x] = clip1((a + b * (x - 3) + c * (y - 3) + 16) >> 5);
    }
    }
}

namespace {

// Copies a block plus margins from the reference, repeating border samples
// for positions outside the picture (8.4.2.2: Clip3 on each coordinate).
void fetchBlock(uint8_t* out, int outStride, const uint8_t* ref, int refStride, int refWidth, int refHeight,
                int x0, int y0, int w, int h) {
    // Columns [inStart, inEnd) of the block lie inside the picture; the rest
    // repeat the first or last sample of the row.
    int inStart = std::clamp(-x0, 0, w), inEnd = std::clamp(refWidth - x0, inStart, w);
    for (int y = 0; y < h; ++y, out += outStride) {
        const uint8_t* row = ref + std::clamp(y0 + y, 0, refHeight - 1) * refStride;
        if (inStart > 0) std::memset(out, row[0], static_cast<size_t>(inStart));
        if (inEnd > inStart)
            std::memcpy(out + inStart, row + x0 + inStart, static_cast<size_t>(inEnd - inStart));
        if (inEnd < w) std::memset(out + inEnd, row[refWidth - 1], static_cast<size_t>(w - inEnd));
    }
}

} // namespace

void interpolateLuma(uint8_t* dst, int dstStride, const uint8_t* ref, int refStride, int refWidth,
                     int refHeight, int x, int y, int fx, int fy, int w, int h) {
    // Inside the picture the reference is read in place; near its border the
    // block and its filter margins are copied with the border repeated.
    uint8_t copy[24 * 24];
    const uint8_t* g; // the full sample G at the block's top-left
    int S;
    if (x - 2 >= 0 && y - 2 >= 0 && x + w + 3 <= refWidth && y + h + 3 <= refHeight) {
        g = ref + y * refStride + x;
        S = refStride;
    } else {
        fetchBlock(copy, 24, ref, refStride, refWidth, refHeight, x - 2, y - 2, w + 5, h + 5);
        g = copy + 2 * 24 + 2;
        S = 24;
    }
    const DspFunctions& f = dsp();
    if (fx == 0 && fy == 0) {
        f.copy(dst, dstStride, g, S, w, h);
        return;
    }
    // Quarter samples are averages of two of G, b, h, j and their neighbours
    // one sample right (fraction 3 horizontally) or below (3 vertically).
    alignas(16) uint8_t first[16 * 16], second[16 * 16];
    if (fy == 0) {
        if (fx == 2) return f.lumaHalfH(dst, dstStride, g, S, w, h);
        f.lumaHalfH(first, 16, g, S, w, h);
        return f.average(dst, dstStride, first, 16, g + (fx == 3), S, w, h);
    }
    if (fx == 0) {
        if (fy == 2) return f.lumaHalfV(dst, dstStride, g, S, w, h);
        f.lumaHalfV(first, 16, g, S, w, h);
        return f.average(dst, dstStride, first, 16, g + (fy == 3) * S, S, w, h);
    }
    if (fx == 2 || fy == 2) {
        if (fx == 2 && fy == 2) return f.lumaHalfHV(dst, dstStride, g, S, w, h);
        f.lumaHalfHV(first, 16, g, S, w, h);
        if (fx == 2)
            f.lumaHalfH(second, 16, g + (fy == 3) * S, S, w, h);
        else
            f.lumaHalfV(second, 16, g + (fx == 3), S, w, h);
        return f.average(dst, dstStride, first, 16, second, 16, w, h);
    }
    f.lumaHalfH(first, 16, g + (fy == 3) * S, S, w, h);
    f.lumaHalfV(second, 16, g + (fx == 3), S, w, h);
    f.average(dst, dstStride, first, 16, second, 16, w, h);
}

void interpolateChroma(uint8_t* dst, int dstStride, const uint8_t* ref, int refStride, int refWidth,
                       int refHeight, int x, int y, int fx, int fy, int w, int h) {
    uint8_t copy[9 * 9];
    const uint8_t* src;
    int S;
    if (x >= 0 && y >= 0 && x + w + 1 <= refWidth && y + h + 1 <= refHeight) {
        src = ref + y * refStride + x;
        S = refStride;
    } else {
        fetchBlock(copy, 9, ref, refStride, refWidth, refHeight, x, y, w + 1, h + 1);
        src = copy;
        S = 9;
    }
    if ((fx | fy) == 0)
        dsp().copy(dst, dstStride, src, S, w, h);
    else
        dsp().chroma(dst, dstStride, src, S, fx, fy, w, h);
}

} // namespace duoscope::h264
