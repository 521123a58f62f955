// CABAC parsing of macroblock_layer() (H.264 9.3.2, 9.3.3.1): binarizations
// and context index derivation for every syntax element of frame macroblocks.
#include <algorithm>
#include <cstring>

#include "SliceDecoder.h"
#include "Tables.h"

namespace duoscope::h264 {

namespace {

constexpr uint8_t kBlkToRasterC[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};
constexpr uint8_t kBSubPredC[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
constexpr uint8_t kBSubShapeC[13] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 3, 3, 3};
constexpr uint8_t kShapePartsC[4] = {1, 2, 2, 4};
constexpr uint8_t kBPartPredC[22][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {1, 1}, {1, 1}, {2, 2}, {2, 2},
                                        {1, 2}, {1, 2}, {2, 1}, {2, 1}, {1, 3}, {1, 3}, {2, 3}, {2, 3},
                                        {3, 1}, {3, 1}, {3, 2}, {3, 2}, {3, 3}, {3, 3}};

// ctxBlockCat offsets (Table 9-40) for coded_block_flag, significance maps and levels.
constexpr int kCbfCatOffset[5] = {0, 4, 8, 12, 16};
constexpr int kSigCatOffset[5] = {0, 15, 29, 44, 47};
constexpr int kAbsCatOffset[5] = {0, 10, 20, 30, 39};

// Table 9-43, frame coded 8x8 blocks.
constexpr uint8_t kSig8x8[63] = {0,  1,  2,  3,  4,  5,  5,  4, 4,  3,  3,  4,  4,  4,  5, 5,
                                 4,  4,  4,  4,  3,  3,  6,  7, 7,  7,  8,  9,  10, 9,  8, 7,
                                 7,  6,  11, 12, 13, 11, 6,  7, 8,  9,  14, 10, 9,  8,  6, 11,
                                 12, 13, 11, 6,  9,  14, 10, 9, 11, 12, 13, 11, 14, 10, 12};
constexpr uint8_t kLast8x8[63] = {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2,
                                  2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4,
                                  4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 8, 8, 8};

inline int32_t scaleLevelC(int32_t level, int32_t scale, int shift) {
    int64_t v = (static_cast<int64_t>(level) * scale + (int64_t{1} << (shift - 1))) >> shift;
    return static_cast<int32_t>(std::clamp<int64_t>(v, -(1 << 20), 1 << 20));
}

} // namespace

namespace {

// 7.3.5.3.3 residual_block_cabac of ctxBlockCat Cat: the significant
// coefficients' scan positions (ascending) and levels. Returns their count,
// -1 on an impossible level prefix.
template <int Cat>
inline int readResidualBlock(CabacEngine& d, CabacContext* ctx, int cbfInc, bool hasCbf, uint8_t* scanPos,
                             int32_t* levels) {
    constexpr int maxNumCoeff = Cat == 0 || Cat == 2 ? 16 : Cat == 3 ? 4 : Cat == 5 ? 64 : 15;
    // The tables cover categories 0..4; 8x8 blocks (5) have their own bases and no flag.
    constexpr int table = Cat < 5 ? Cat : 0;
    constexpr int sigBase = Cat == 5 ? 402 : 105 + kSigCatOffset[table];
    constexpr int lastBase = Cat == 5 ? 417 : 166 + kSigCatOffset[table];
    constexpr int absBase = Cat == 5 ? 426 : 227 + kAbsCatOffset[table];
    constexpr int maxGt1Inc = Cat == 3 ? 3 : 4;
    if (hasCbf && !d.decodeDecision(ctx[85 + kCbfCatOffset[table] + cbfInc])) return 0;
    CabacContext* sig = ctx + sigBase;
    CabacContext* last = ctx + lastBase;
    int count = 0;
    int i = 0;
    for (; i < maxNumCoeff - 1; ++i) {
        int inc = Cat == 5 ? kSig8x8[i] : Cat == 3 ? std::min(i, 2) : i;
        if (!d.decodeDecision(sig[inc])) continue;
        scanPos[count++] = static_cast<uint8_t>(i);
        int lastInc = Cat == 5 ? kLast8x8[i] : Cat == 3 ? std::min(i, 2) : i;
        if (d.decodeDecision(last[lastInc])) break;
    }
    if (i == maxNumCoeff - 1) scanPos[count++] = static_cast<uint8_t>(i);
    CabacContext* absCtx = ctx + absBase;
    int gt1 = 0, eq1 = 0;
    for (int k = count - 1; k >= 0; --k) {
        int abs;
        if (!d.decodeDecision(absCtx[gt1 != 0 ? 0 : std::min(4, 1 + eq1)])) {
            abs = 1;
            ++eq1;
        } else {
            abs = 2;
            CabacContext& c = absCtx[5 + std::min(maxGt1Inc, gt1)];
            while (abs < 15 && d.decodeDecision(c))
                ++abs;
            if (abs == 15) {
                int kExp = 0;
                while (d.decodeBypass()) {
                    abs += 1 << kExp;
                    if (++kExp > 24) return -1;
                }
                while (kExp-- > 0)
                    abs += d.decodeBypass() << kExp;
            }
            ++gt1;
        }
        levels[k] = d.decodeBypassSigned(abs);
    }
    return count;
}

// On a local copy of the engine, kept in registers.
template <int Cat>
int residualBlock(CabacDecoder& decoder, int cbfInc, bool hasCbf, uint8_t* scanPos, int32_t* levels) {
    CabacEngine d = decoder;
    int count = readResidualBlock<Cat>(d, decoder.ctx, cbfInc, hasCbf, scanPos, levels);
    static_cast<CabacEngine&>(decoder) = d;
    return count;
}

} // namespace

int SliceDecoder::cbfNeighbourInc(int mbAddr, int bitA, int mbA, int bitB, int mbB) const {
    bool intra = mbs_[static_cast<size_t>(mbAddr)].isIntra;
    auto term = [&](int n, int bit) {
        if (n < 0) return intra ? 1 : 0;
        return static_cast<int>((mbs_[static_cast<size_t>(n)].codedBlockFlags >> bit) & 1);
    };
    return term(mbA, bitA) + 2 * term(mbB, bitB);
}

void SliceDecoder::readResidualCabac(int mbAddr) {
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    CabacDecoder& d = cabac_;
    uint8_t pos[64];
    int32_t levels[64];
    auto fail = [&]() {
        throw BitstreamError("invalid residual data at macroblock " + std::to_string(mbAddr));
    };
    int cbpLuma = mb.cbp & 15, cbpChroma = mb.cbp >> 4;
    bool intra = mb.isIntra;
    int qp = mb.qp;
    int mbX = mbXOf(mbAddr);
    int left = mbX > 0 && isMbAvailable(mbAddr, mbAddr - 1) ? mbAddr - 1 : -1;
    int top = mbAddr >= widthMbs_ && isMbAvailable(mbAddr, mbAddr - widthMbs_) ? mbAddr - widthMbs_ : -1;
    hasDcLuma_ = false;
    if (mb.kind == kMbI16x16) {
        int n = residualBlock<0>(d, cbfNeighbourInc(mbAddr, 0, left, 0, top), true, pos, levels);
        if (n < 0) fail();
        if (n > 0) {
            mb.codedBlockFlags |= 1;
            int32_t c[16] = {};
            for (int k = 0; k < n; ++k)
                c[kZigzag4x4[pos[k]]] = levels[k];
            hadamard4x4(c);
            int32_t s = levelScale4_[0][qp][0];
            for (int i = 0; i < 16; ++i)
                dcLuma_[i] = scaleLevelC(c[i], s, 6);
            hasDcLuma_ = true;
        }
    }
    if (transform8x8_) {
        const int32_t* scale = levelScale8_[intra ? 0 : 1][qp];
        for (int b8 = 0; b8 < 4; ++b8) {
            if (!((cbpLuma >> b8) & 1)) continue;
            int n = residualBlock<5>(d, 0, false, pos, levels);
            if (n < 0) fail();
            for (int k = 0; k < n; ++k) {
                int z = kZigzag8x8[pos[k]];
                coef8_[b8][z] = scaleLevelC(levels[k], scale[z], 6);
            }
            uint16_t mask = static_cast<uint16_t>(0x33 << ((b8 >> 1) * 8 + (b8 & 1) * 2));
            // An 8x8 block of 4:2:0 video carries no coded_block_flag; it counts as coded.
            for (int r = 0; r < 16; ++r)
                if ((mask >> r) & 1) mb.codedBlockFlags |= 1u << (3 + r);
            if (n > 0) mb.nonZero |= mask;
        }
    } else {
        bool isI16 = mb.kind == kMbI16x16;
        const int32_t* scale = levelScale4_[intra ? 0 : 3][qp];
        for (int blk = 0; blk < 16; ++blk) {
            int r = kBlkToRasterC[blk];
            int bx = r & 3, by = r >> 2;
            int b8 = (by >> 1) * 2 + (bx >> 1);
            if (!((cbpLuma >> b8) & 1)) continue;
            int mbA = bx > 0 ? mbAddr : left, mbB = by > 0 ? mbAddr : top;
            int rA = bx > 0 ? r - 1 : r + 3, rB = by > 0 ? r - 4 : r + 12;
            int inc = cbfNeighbourInc(mbAddr, 3 + rA, mbA, 3 + rB, mbB);
            // Intra 16x16 AC blocks start at scan position 1 (their DC came first).
            int n = isI16 ? residualBlock<1>(d, inc, true, pos, levels)
                          : residualBlock<2>(d, inc, true, pos, levels);
            if (n < 0) fail();
            for (int k = 0; k < n; ++k) {
                int z = kZigzag4x4[pos[k] + isI16];
                coef_[r][z] = scaleLevelC(levels[k], scale[z], 4);
            }
            if (n > 0) {
                mb.codedBlockFlags |= 1u << (3 + r);
                mb.nonZero |= static_cast<uint16_t>(1 << r);
            }
        }
    }
    std::memset(dcChroma_, 0, sizeof dcChroma_);
    if (cbpChroma) {
        for (int c = 0; c < 2; ++c) {
            int n = residualBlock<3>(d, cbfNeighbourInc(mbAddr, 1 + c, left, 1 + c, top), true, pos, levels);
            if (n < 0) fail();
            if (n > 0) {
                mb.codedBlockFlags |= 1u << (1 + c);
                int32_t dc[4] = {};
                for (int k = 0; k < n; ++k)
                    dc[pos[k]] = levels[k];
                scaleChromaDc(c, dc, intra, mb.qpc[c]);
            }
        }
    }
    if (cbpChroma & 2) {
        for (int c = 0; c < 2; ++c) {
            const int32_t* scale = levelScale4_[(intra ? 1 : 4) + c][mb.qpc[c]];
            for (int b = 0; b < 4; ++b) {
                int bx = b & 1, by = b >> 1;
                int mbA = bx > 0 ? mbAddr : left, mbB = by > 0 ? mbAddr : top;
                int bA = bx > 0 ? b - 1 : b + 1, bB = by > 0 ? b - 2 : b + 2;
                int inc = cbfNeighbourInc(mbAddr, 19 + c * 4 + bA, mbA, 19 + c * 4 + bB, mbB);
                int n = residualBlock<4>(d, inc, true, pos, levels);
                if (n < 0) fail();
                for (int k = 0; k < n; ++k) {
                    int z = kZigzag4x4[pos[k] + 1];
                    coefChroma_[c][b][z] = scaleLevelC(levels[k], scale[z], 4);
                }
                if (n > 0) {
                    mb.codedBlockFlags |= 1u << (19 + c * 4 + b);
                    mb.totalCoeff[16 + c * 4 + b] = static_cast<uint8_t>(n);
                }
            }
        }
    }
}

int SliceDecoder::cabacIntraMbType(int ctxBase, bool prefixFromNeighbours, int mbAddr) {
    CabacDecoder& d = cabac_;
    int b0;
    if (prefixFromNeighbours) {
        int mbX = mbXOf(mbAddr);
        int left = mbX > 0 && isMbAvailable(mbAddr, mbAddr - 1) ? mbAddr - 1 : -1;
        int top = mbAddr >= widthMbs_ && isMbAvailable(mbAddr, mbAddr - widthMbs_) ? mbAddr - widthMbs_ : -1;
        int inc = (left >= 0 && mbs_[static_cast<size_t>(left)].kind != kMbI4x4 &&
                   mbs_[static_cast<size_t>(left)].kind != kMbI8x8) +
                  (top >= 0 && mbs_[static_cast<size_t>(top)].kind != kMbI4x4 &&
                   mbs_[static_cast<size_t>(top)].kind != kMbI8x8);
        b0 = d.decodeDecision(d.ctx[ctxBase + inc]);
    } else {
        b0 = d.decodeDecision(d.ctx[ctxBase]);
    }
    if (!b0) return 0;
    if (d.decodeTerminate()) return 25;
    // I slices use separate contexts per bin; the suffix in P/B slices shares them.
    int cLuma = prefixFromNeighbours ? ctxBase + 3 : ctxBase + 1;
    int cChroma = prefixFromNeighbours ? ctxBase + 4 : ctxBase + 2;
    int cChroma2 = prefixFromNeighbours ? ctxBase + 5 : ctxBase + 2;
    int luma = d.decodeDecision(d.ctx[cLuma]);
    int chroma = d.decodeDecision(d.ctx[cChroma]);
    int pred1, pred2;
    if (chroma) {
        chroma += d.decodeDecision(d.ctx[cChroma2]);
        pred1 = prefixFromNeighbours ? ctxBase + 6 : ctxBase + 3;
        pred2 = prefixFromNeighbours ? ctxBase + 7 : ctxBase + 3;
    } else {
        pred1 = prefixFromNeighbours ? ctxBase + 6 : ctxBase + 3;
        pred2 = prefixFromNeighbours ? ctxBase + 7 : ctxBase + 3;
    }
    int pred = d.decodeDecision(d.ctx[pred1]) << 1;
    pred |= d.decodeDecision(d.ctx[pred2]);
    return 1 + pred + 4 * chroma + 12 * luma;
}

int SliceDecoder::cabacRefIdx(int mbAddr, int list, int x, int y) {
    CabacDecoder& d = cabac_;
    auto term = [&](int xN, int yN) {
        int xW, yW;
        int n = neighbourMb(mbAddr, xN, yN, xW, yW);
        if (n < 0) return 0;
        int b8 = (yW >> 3) * 2 + (xW >> 3);
        if (n == mbAddr) return curRef_[list][b8] > 0 ? 1 : 0;
        const MbInfo& nb = mbs_[static_cast<size_t>(n)];
        if (nb.isIntra || nb.kind == kMbPSkip || nb.kind == kMbBSkip || ((nb.directMask >> b8) & 1)) return 0;
        return pic_->motion[static_cast<size_t>(n)].ref[list][b8] > 0 ? 1 : 0;
    };
    int inc = term(x - 1, y) + 2 * term(x, y - 1);
    int v = 0;
    if (!d.decodeDecision(d.ctx[54 + inc])) return 0;
    v = 1;
    int ctx = 54 + 4;
    while (d.decodeDecision(d.ctx[ctx])) {
        ++v;
        ctx = 54 + 5;
        if (v > 32) throw BitstreamError("ref_idx out of range at macroblock " + std::to_string(mbAddr));
    }
    return v;
}

int SliceDecoder::cabacMvd(int mbAddr, int list, int comp, int x, int y) {
    CabacDecoder& d = cabac_;
    auto absN = [&](int xN, int yN) {
        int xW, yW;
        int n = neighbourMb(mbAddr, xN, yN, xW, yW);
        if (n < 0) return 0;
        return static_cast<int>(mbs_[static_cast<size_t>(n)].mvd[list][(yW >> 2) * 4 + (xW >> 2)][comp]);
    };
    int sum = absN(x - 1, y) + absN(x, y - 1);
    int base = comp == 0 ? 40 : 47;
    int inc = sum < 3 ? 0 : sum > 32 ? 2 : 1;
    if (!d.decodeDecision(d.ctx[base + inc])) return 0;
    int v = 1;
    int ctx = 3;
    while (v < 9 && d.decodeDecision(d.ctx[base + ctx])) {
        ++v;
        if (ctx < 6) ++ctx;
    }
    if (v >= 9) {
        int k = 3;
        while (d.decodeBypass()) {
            v += 1 << k;
            if (++k > 24) throw BitstreamError("invalid mvd at macroblock " + std::to_string(mbAddr));
        }
        while (k-- > 0)
            v += d.decodeBypass() << k;
    }
    return d.decodeBypassSigned(v);
}

void SliceDecoder::decodeMacroblockCabac(int mbAddr) {
    setCurrentMb(mbAddr);
    CabacDecoder& d = cabac_;
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    int mbX = mbXOf(mbAddr);
    // Neighbours are looked up before this macroblock's slice index is set.
    mb = kFreshMb;
    mbSlice_[static_cast<size_t>(mbAddr)] = sliceIndex_;
    int left = mbX > 0 && isMbAvailable(mbAddr, mbAddr - 1) ? mbAddr - 1 : -1;
    int top = mbAddr >= widthMbs_ && isMbAvailable(mbAddr, mbAddr - widthMbs_) ? mbAddr - widthMbs_ : -1;
    const MbInfo* A = left >= 0 ? &mbs_[static_cast<size_t>(left)] : nullptr;
    const MbInfo* B = top >= 0 ? &mbs_[static_cast<size_t>(top)] : nullptr;
    if (sliceType_ != kSliceI) {
        int base = sliceType_ == kSliceP ? 11 : 24;
        int inc = (A && A->kind != kMbPSkip && A->kind != kMbBSkip) +
                  (B && B->kind != kMbPSkip && B->kind != kMbBSkip);
        if (d.decodeDecision(d.ctx[base + inc])) {
            decodeSkip(mbAddr);
            if (sliceType_ == kSliceB) mbs_[static_cast<size_t>(mbAddr)].directMask = 15;
            return;
        }
    }
    int intraType = -1;
    if (sliceType_ == kSliceI) {
        intraType = cabacIntraMbType(3, true, mbAddr);
    } else if (sliceType_ == kSliceP) {
        if (d.decodeDecision(d.ctx[14])) {
            intraType = cabacIntraMbType(17, false, mbAddr);
        } else if (!d.decodeDecision(d.ctx[15])) {
            mbType_ = d.decodeDecision(d.ctx[16]) ? 3 : 0;
        } else {
            mbType_ = d.decodeDecision(d.ctx[17]) ? 1 : 2;
        }
    } else {
        int inc =
            (A && A->kind != kMbBSkip && !A->isDirect16x16) + (B && B->kind != kMbBSkip && !B->isDirect16x16);
        if (!d.decodeDecision(d.ctx[27 + inc])) {
            mbType_ = 0;
        } else if (!d.decodeDecision(d.ctx[30])) {
            mbType_ = 1 + d.decodeDecision(d.ctx[32]);
        } else {
            int bits = d.decodeDecision(d.ctx[31]) << 3;
            bits |= d.decodeDecision(d.ctx[32]) << 2;
            bits |= d.decodeDecision(d.ctx[32]) << 1;
            bits |= d.decodeDecision(d.ctx[32]);
            if (bits < 8)
                mbType_ = bits + 3;
            else if (bits == 13)
                intraType = cabacIntraMbType(32, false, mbAddr);
            else if (bits == 14)
                mbType_ = 11;
            else if (bits == 15)
                mbType_ = 22;
            else
                mbType_ = 12 + (((bits - 8) << 1) | d.decodeDecision(d.ctx[32]));
        }
    }
    transform8x8_ = false;
    auto transformFlag = [&]() {
        int inc = (A && A->transform8x8) + (B && B->transform8x8);
        return d.decodeDecision(d.ctx[399 + inc]) != 0;
    };
    if (intraType == 25) {
        mb.kind = kMbIPcm;
        mb.isIntra = true;
        size_t pos = d.bytePosition();
        const uint8_t* data = cabacData_;
        if (pos + 384 > cabacSize_)
            throw BitstreamError("I_PCM samples cut short at macroblock " + std::to_string(mbAddr));
        std::memcpy(pcm_, data + pos, 384);
        d.start(data, cabacSize_, pos + 384);
        mb.qp = 0;
        computeQpc(mb);
        mb.codedBlockFlags = 0xffffffffu;
        mb.nonZero = 0xffff;
        mb.cbp = 0x2f;
        lastQpDelta_ = 0;
        reconstruct(mbAddr);
        return;
    }
    bool noSubLessThan8x8 = true;
    int prevFlag[16] = {}, remMode[16] = {};
    if (intraType >= 0) {
        mb.isIntra = true;
        if (intraType == 0) {
            mb.kind = kMbI4x4;
            if (pps_->transform8x8Mode && transformFlag()) {
                mb.kind = kMbI8x8;
                transform8x8_ = true;
            }
            int count = mb.kind == kMbI8x8 ? 4 : 16;
            for (int i = 0; i < count; ++i) {
                prevFlag[i] = d.decodeDecision(d.ctx[68]);
                if (!prevFlag[i]) {
                    remMode[i] = d.decodeDecision(d.ctx[69]);
                    remMode[i] |= d.decodeDecision(d.ctx[69]) << 1;
                    remMode[i] |= d.decodeDecision(d.ctx[69]) << 2;
                }
            }
        } else {
            mb.kind = kMbI16x16;
            intra16Mode_ = (intraType - 1) % 4;
            mb.cbp = static_cast<uint8_t>((((intraType - 1) / 4) % 3) << 4 | (intraType >= 13 ? 15 : 0));
        }
        auto chromaTerm = [](const MbInfo* n) {
            return n && n->isIntra && n->kind != kMbIPcm && n->chromaPredMode != 0;
        };
        int inc = chromaTerm(A) + chromaTerm(B);
        int mode = 0;
        if (d.decodeDecision(d.ctx[64 + inc])) {
            mode = 1;
            while (mode < 3 && d.decodeDecision(d.ctx[64 + 3]))
                ++mode;
        }
        mb.chromaPredMode = static_cast<uint8_t>(mode);
        if (mb.kind != kMbI16x16) setupIntraModes(mbAddr, prevFlag, remMode);
    } else {
        mb.kind = kMbInter;
        bool isB = sliceType_ == kSliceB;
        bool is8x8 = isB ? mbType_ == 22 : mbType_ >= 3;
        mb.isDirect16x16 = isB && mbType_ == 0;
        if (mb.isDirect16x16) mb.directMask = 15;
        std::memset(mvd_, 0, sizeof mvd_);
        for (auto& l : curRef_)
            for (int& r : l)
                r = -1;
        for (auto& l : refIdx_)
            for (int& r : l)
                r = 0;
        auto setCurRef = [&](int list, int x, int y, int w, int h, int ref) {
            for (int b8y = y / 8; b8y < (y + h) / 8; ++b8y)
                for (int b8x = x / 8; b8x < (x + w) / 8; ++b8x)
                    curRef_[list][b8y * 2 + b8x] = ref;
        };
        auto readMvd = [&](int list, int x, int y, int w, int h, int* out) {
            out[0] = cabacMvd(mbAddr, list, 0, x, y);
            out[1] = cabacMvd(mbAddr, list, 1, x, y);
            uint8_t ax = static_cast<uint8_t>(std::min(std::abs(out[0]), 255)),
                    ay = static_cast<uint8_t>(std::min(std::abs(out[1]), 255));
            for (int by = y / 4; by < (y + h) / 4; ++by)
                for (int bx = x / 4; bx < (x + w) / 4; ++bx) {
                    mb.mvd[list][by * 4 + bx][0] = ax;
                    mb.mvd[list][by * 4 + bx][1] = ay;
                }
        };
        if (is8x8) {
            for (int i = 0; i < 4; ++i) {
                int st;
                if (!isB) {
                    if (d.decodeDecision(d.ctx[21]))
                        st = 0;
                    else if (!d.decodeDecision(d.ctx[22]))
                        st = 1;
                    else
                        st = d.decodeDecision(d.ctx[23]) ? 2 : 3;
                } else if (!d.decodeDecision(d.ctx[36])) {
                    st = 0;
                } else if (!d.decodeDecision(d.ctx[37])) {
                    st = 1 + d.decodeDecision(d.ctx[39]);
                } else if (d.decodeDecision(d.ctx[38])) {
                    if (d.decodeDecision(d.ctx[39])) {
                        st = 11 + d.decodeDecision(d.ctx[39]);
                    } else {
                        st = 7 + (d.decodeDecision(d.ctx[39]) << 1);
                        st += d.decodeDecision(d.ctx[39]);
                    }
                } else {
                    st = 3 + (d.decodeDecision(d.ctx[39]) << 1);
                    st += d.decodeDecision(d.ctx[39]);
                }
                subTypes_[i] = st;
                if (isB && st == 0) {
                    mb.directMask |= static_cast<uint8_t>(1 << i);
                    if (!sps_->direct8x8Inference) noSubLessThan8x8 = false;
                } else if ((isB ? kBSubShapeC[st] : st) != 0) {
                    noSubLessThan8x8 = false;
                }
            }
            for (int list = 0; list < 2; ++list)
                for (int i = 0; i < 4; ++i) {
                    int pred = isB ? kBSubPredC[subTypes_[i]] : (list == 0 ? 1 : 0);
                    if (!((pred >> list) & 1)) {
                        refIdx_[list][i] = -1;
                        continue;
                    }
                    int r = 0;
                    if (sh_->numRefIdxActive[list] > 1 && mbType_ != 4)
                        r = cabacRefIdx(mbAddr, list, (i & 1) * 8, (i >> 1) * 8);
                    if (r >= sh_->numRefIdxActive[list])
                        throw BitstreamError("ref_idx out of range at macroblock " + std::to_string(mbAddr));
                    refIdx_[list][i] = r;
                    curRef_[list][i] = r;
                }
            for (int list = 0; list < 2; ++list)
                for (int i = 0; i < 4; ++i) {
                    int pred = isB ? kBSubPredC[subTypes_[i]] : (list == 0 ? 1 : 0);
                    if (!((pred >> list) & 1)) continue;
                    int shape = isB ? kBSubShapeC[subTypes_[i]] : subTypes_[i];
                    int w = shape == 0 || shape == 1 ? 8 : 4, h = shape == 0 || shape == 2 ? 8 : 4;
                    for (int s = 0; s < kShapePartsC[shape]; ++s) {
                        int x = (i & 1) * 8 + (w == 4 ? (s & 1) * 4 : 0);
                        int y = (i >> 1) * 8 + (h == 4 ? (w == 4 ? (s >> 1) * 4 : s * 4) : 0);
                        readMvd(list, x, y, w, h, mvd_[list][i * 4 + s]);
                    }
                }
        } else if (!mb.isDirect16x16) {
            int shape = isB ? (mbType_ <= 3 ? 0 : (mbType_ & 1) ? 2 : 1) : mbType_;
            int parts = shape == 0 ? 1 : 2;
            for (int list = 0; list < 2; ++list)
                for (int p = 0; p < parts; ++p) {
                    int pred = isB ? kBPartPredC[mbType_][p] : (list == 0 ? 1 : 0);
                    int x = shape == 2 ? p * 8 : 0, y = shape == 1 ? p * 8 : 0;
                    int w = shape == 2 ? 8 : 16, h = shape == 1 ? 8 : 16;
                    if (!((pred >> list) & 1)) {
                        refIdx_[list][p] = -1;
                        continue;
                    }
                    int r = sh_->numRefIdxActive[list] > 1 ? cabacRefIdx(mbAddr, list, x, y) : 0;
                    if (r >= sh_->numRefIdxActive[list])
                        throw BitstreamError("ref_idx out of range at macroblock " + std::to_string(mbAddr));
                    refIdx_[list][p] = r;
                    setCurRef(list, x, y, w, h, r);
                }
            for (int list = 0; list < 2; ++list)
                for (int p = 0; p < parts; ++p) {
                    int pred = isB ? kBPartPredC[mbType_][p] : (list == 0 ? 1 : 0);
                    if (!((pred >> list) & 1)) continue;
                    int x = shape == 2 ? p * 8 : 0, y = shape == 1 ? p * 8 : 0;
                    int w = shape == 2 ? 8 : 16, h = shape == 1 ? 8 : 16;
                    readMvd(list, x, y, w, h, mvd_[list][p * 4]);
                }
        }
    }
    if (mb.kind != kMbI16x16) {
        // coded_block_pattern: four luma bins, then chroma (9.3.3.1.1.4).
        auto lumaTerm = [&](int xN, int yN, int curBits) {
            int xW, yW;
            int n = neighbourMb(mbAddr, xN, yN, xW, yW);
            if (n < 0) return 0;
            int b8 = (yW >> 3) * 2 + (xW >> 3);
            if (n == mbAddr) return ((curBits >> b8) & 1) ? 0 : 1;
            const MbInfo& nb = mbs_[static_cast<size_t>(n)];
            if (nb.kind == kMbIPcm) return 0;
            if (nb.kind != kMbPSkip && nb.kind != kMbBSkip && ((nb.cbp >> b8) & 1)) return 0;
            return 1;
        };
        int luma = 0;
        for (int b8 = 0; b8 < 4; ++b8) {
            int x = (b8 & 1) * 8, y = (b8 >> 1) * 8;
            int inc = lumaTerm(x - 1, y, luma) + 2 * lumaTerm(x, y - 1, luma);
            luma |= d.decodeDecision(d.ctx[73 + inc]) << b8;
        }
        auto chromaTerm = [](const MbInfo* n, int threshold) {
            if (!n) return 0;
            if (n->kind == kMbIPcm) return 1;
            if (n->kind == kMbPSkip || n->kind == kMbBSkip) return 0;
            return (n->cbp >> 4) >= threshold ? 1 : 0;
        };
        int chroma = 0;
        if (d.decodeDecision(d.ctx[77 + chromaTerm(A, 1) + 2 * chromaTerm(B, 1)])) {
            chroma = 1 + d.decodeDecision(d.ctx[77 + 4 + chromaTerm(A, 2) + 2 * chromaTerm(B, 2)]);
        }
        mb.cbp = static_cast<uint8_t>(luma | (chroma << 4));
        if (luma && pps_->transform8x8Mode && !mb.isIntra && noSubLessThan8x8 &&
            (!mb.isDirect16x16 || sps_->direct8x8Inference))
            transform8x8_ = transformFlag();
    }
    mb.transform8x8 = transform8x8_;
    if (!mb.isIntra) computeMotion(mbAddr);
    if ((mb.cbp & 15) || (mb.cbp >> 4) || mb.kind == kMbI16x16) {
        int delta = 0;
        if (d.decodeDecision(d.ctx[60 + (lastQpDelta_ != 0 ? 1 : 0)])) {
            int k = 1;
            int ctx = 62;
            while (d.decodeDecision(d.ctx[ctx])) {
                ++k;
                ctx = 63;
                if (k > 52)
                    throw BitstreamError("invalid mb_qp_delta at macroblock " + std::to_string(mbAddr));
            }
            delta = (k & 1) ? (k + 1) / 2 : -(k / 2);
        }
        if (delta < -26 || delta > 25)
            throw BitstreamError("invalid mb_qp_delta at macroblock " + std::to_string(mbAddr));
        qp_ = (qp_ + delta + 52) % 52;
        lastQpDelta_ = delta;
        mb.qp = static_cast<int8_t>(qp_);
        computeQpc(mb);
        readResidualCabac(mbAddr);
    } else {
        lastQpDelta_ = 0;
        mb.qp = static_cast<int8_t>(qp_);
        computeQpc(mb);
        hasDcLuma_ = false;
    }
    reconstruct(mbAddr);
}

} // namespace duoscope::h264
