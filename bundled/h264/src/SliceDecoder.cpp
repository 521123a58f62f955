#include "SliceDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Cavlc.h"
#include "Dsp.h"
#include "Recon.h"
#include "Tables.h"

namespace duoscope::h264 {

namespace {

// luma4x4BlkIdx (z-order) -> raster 4x4 index within the macroblock.
constexpr uint8_t kBlkToRaster[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

// Partition prediction masks: bit 0 list 0, bit 1 list 1.
constexpr uint8_t kBPartPred[22][2] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {1, 1}, {1, 1}, {2, 2}, {2, 2},
                                       {1, 2}, {1, 2}, {2, 1}, {2, 1}, {1, 3}, {1, 3}, {2, 3}, {2, 3},
                                       {3, 1}, {3, 1}, {3, 2}, {3, 2}, {3, 3}, {3, 3}};
// B sub_mb_type: prediction mask and shape (0 8x8, 1 8x4, 2 4x8, 3 4x4).
constexpr uint8_t kBSubPred[13] = {0, 1, 2, 3, 1, 1, 2, 2, 3, 3, 1, 2, 3};
constexpr uint8_t kBSubShape[13] = {0, 0, 0, 0, 1, 2, 1, 2, 1, 2, 3, 3, 3};
constexpr uint8_t kShapeParts[4] = {1, 2, 2, 4};

// One reference and one vector for the whole macroblock (skip, 16x16,
// uniform direct): predicted as one block, and its inner edges can only get a
// strength from coefficients.
bool isMotionUniform(const MbMotion& m) {
    uint32_t mv[32];
    std::memcpy(mv, m.mv, sizeof mv);
    uint32_t differs = 0;
    for (int list = 0; list < 2; ++list)
        for (int b = 1; b < 16; ++b)
            differs |= mv[list * 16 + b] ^ mv[list * 16];
    for (int list = 0; list < 2; ++list)
        for (int i = 1; i < 4; ++i)
            differs |= static_cast<uint32_t>(m.ref[list][i] != m.ref[list][0]);
    return differs == 0;
}

// 4x4 block (raster) -> its 8x8 block (raster).
inline int block8x8Of(int blk) {
    return ((blk >> 3) << 1) | ((blk & 3) >> 1);
}

inline int median3(int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

inline int32_t scaleLevel(int32_t level, int32_t scale, int shift) {
    int64_t v = (static_cast<int64_t>(level) * scale + (int64_t{1} << (shift - 1))) >> shift;
    return static_cast<int32_t>(std::clamp<int64_t>(v, -(1 << 20), 1 << 20));
}

} // namespace

void SliceDecoder::beginPicture(Picture* pic, const Sps& sps) {
    pic_ = pic;
    widthMbs_ = sps.widthMbs;
    heightMbs_ = sps.heightMbs;
    mbs_.resize(static_cast<size_t>(widthMbs_) * heightMbs_);
    mbSlice_.assign(mbs_.size(), -1);
    sliceParams_.clear();
    lastMb_ = -1;
    curMb_ = -1;
    uniformMotion_.assign(mbs_.size(), 0);
    decodedPrefix_ = 0;
    deblockedRows_ = 0;
}

// Rows are filtered while decoding goes on, so that their samples and motion are
// still in the caches (filtering the whole picture at its end reads it all from
// memory again). A row is filtered once the row below it is decoded, since that
// row predicts from the unfiltered samples above it; only an unbroken run of
// decoded macroblocks from the first counts, so that a lost slice leaves the
// rest to the end of the picture, after concealment, in the same order.
void SliceDecoder::macroblockDecoded(int mbAddr) {
    lastMb_ = mbAddr;
    if (mbAddr != decodedPrefix_) return;
    ++decodedPrefix_;
    if (decodedPrefix_ % widthMbs_ != 0) return;
    int decodedRows = decodedPrefix_ / widthMbs_;
    while (deblockedRows_ + 1 < decodedRows)
        deblockRow(deblockedRows_++);
}

void SliceDecoder::deblockRow(int row) {
    for (int mbAddr = row * widthMbs_; mbAddr < (row + 1) * widthMbs_; ++mbAddr)
        if (mbSlice_[static_cast<size_t>(mbAddr)] >= 0) deblockMb(mbAddr);
}

bool SliceDecoder::isMbAvailable(int mbAddr, int other) const {
    return other >= 0 && other < mbAddr &&
           mbSlice_[static_cast<size_t>(other)] == mbSlice_[static_cast<size_t>(mbAddr)];
}

bool SliceDecoder::isIntraAvailable(int mbAddr, int other) const {
    if (!isMbAvailable(mbAddr, other)) return false;
    return !pps_->constrainedIntraPred || mbs_[static_cast<size_t>(other)].isIntra;
}

// 6.4.12: the macroblock holding luma location (xN, yN) relative to the
// current one, or -1 when outside the picture or not yet available.
int SliceDecoder::neighbourMb(int mbAddr, int xN, int yN, int& xW, int& yW) const {
    int mbX = mbXOf(mbAddr), mbY = mbYOf(mbAddr);
    xW = (xN + 16) & 15;
    yW = (yN + 16) & 15;
    if (yN > 15) return -1;
    if (xN > 15 && yN >= 0) return -1;
    int dx = xN < 0 ? -1 : xN > 15 ? 1 : 0;
    int dy = yN < 0 ? -1 : 0;
    if (dx == 0 && dy == 0) return mbAddr;
    int nx = mbX + dx, ny = mbY + dy;
    if (nx < 0 || nx >= widthMbs_ || ny < 0) return -1;
    int n = ny * widthMbs_ + nx;
    return isMbAvailable(mbAddr, n) ? n : -1;
}

SliceDecoder::Neighbour SliceDecoder::neighbour(int mbAddr, int list, int xN, int yN) const {
    int xW, yW;
    int n = neighbourMb(mbAddr, xN, yN, xW, yW);
    Neighbour r{false, -1, {0, 0}, 0};
    if (n < 0) return r;
    int blk = (yW >> 2) * 4 + (xW >> 2);
    if (n == mbAddr && !filled_[blk]) return r;
    r.available = true;
    const MbMotion& m = pic_->motion[static_cast<size_t>(n)];
    if (m.isIntra) return r;
    r.ref = m.ref[list][(yW >> 3) * 2 + (xW >> 3)];
    if (r.ref >= 0) {
        r.mv[0] = m.mv[list][blk][0];
        r.mv[1] = m.mv[list][blk][1];
        r.refId = m.refId[list][(yW >> 3) * 2 + (xW >> 3)];
    }
    return r;
}

// 8.4.1.3 luma motion vector prediction for a partition at (x, y), w x h.
// Neighbours A, B and C (D where C is unavailable) of a partition, 8.4.1.3.2.
SliceDecoder::MvNeighbours SliceDecoder::mvNeighbours(int mbAddr, int list, int x, int y, int w) const {
    if (x == 0 && y == 0 && w == 16) return macroblockNeighbours(mbAddr, list);
    MvNeighbours n{neighbour(mbAddr, list, x - 1, y), neighbour(mbAddr, list, x, y - 1),
                   neighbour(mbAddr, list, x + w, y - 1)};
    if (!n.c.available) n.c = neighbour(mbAddr, list, x - 1, y - 1);
    return n;
}

// The neighbours of a whole macroblock (skip, direct, 16x16) are the bottom-right
// 4x4 block of the left macroblock (A), the bottom-left ones of the macroblocks
// above and above right (B, C) and the bottom-right one above left (D): found
// without the general search, as they are the most frequent case.
SliceDecoder::MvNeighbours SliceDecoder::macroblockNeighbours(int mbAddr, int list) const {
    const int mbX = mbXOf(mbAddr), mbY = mbYOf(mbAddr);
    const int32_t slice = mbSlice_[static_cast<size_t>(mbAddr)];
    auto at = [&](bool inside, int n, int blk) {
        Neighbour r{false, -1, {0, 0}, 0};
        if (!inside || mbSlice_[static_cast<size_t>(n)] != slice) return r;
        r.available = true;
        const MbMotion& m = pic_->motion[static_cast<size_t>(n)];
        if (m.isIntra) return r;
        int b8 = block8x8Of(blk);
        r.ref = m.ref[list][b8];
        if (r.ref >= 0) {
            r.mv[0] = m.mv[list][blk][0];
            r.mv[1] = m.mv[list][blk][1];
            r.refId = m.refId[list][b8];
        }
        return r;
    };
    const int above = mbAddr - widthMbs_;
    MvNeighbours n{at(mbX > 0, mbAddr - 1, 3), at(mbY > 0, above, 12),
                   at(mbY > 0 && mbX + 1 < widthMbs_, above + 1, 12)};
    if (!n.c.available) n.c = at(mbX > 0 && mbY > 0, above - 1, 15);
    return n;
}

void SliceDecoder::mvPrediction(int mbAddr, int list, int ref, int x, int y, int w, int h, int out[2]) {
    predictMv(mvNeighbours(mbAddr, list, x, y, w), ref, x, y, w, h, out);
}

// The neighbours come by reference: copied by value, the freshly stored
// fields are read back as wider words, which stalls store forwarding.
void SliceDecoder::predictMv(const MvNeighbours& n3, int ref, int x, int y, int w, int h, int out[2]) {
    const Neighbour* a = &n3.a;
    const Neighbour* b = &n3.b;
    const Neighbour* c = &n3.c;
    if (w == 16 && h == 8) {
        const Neighbour& n = y == 0 ? *b : *a;
        if (n.ref == ref) {
            out[0] = n.mv[0];
            out[1] = n.mv[1];
            return;
        }
    } else if (w == 8 && h == 16) {
        const Neighbour& n = x == 0 ? *a : *c;
        if (n.ref == ref) {
            out[0] = n.mv[0];
            out[1] = n.mv[1];
            return;
        }
    }
    if (!b->available && !c->available && a->available) b = c = a;
    int matches = (a->ref == ref) + (b->ref == ref) + (c->ref == ref);
    if (matches == 1) {
        const Neighbour& n = a->ref == ref ? *a : b->ref == ref ? *b : *c;
        out[0] = n.mv[0];
        out[1] = n.mv[1];
        return;
    }
    out[0] = median3(a->mv[0], b->mv[0], c->mv[0]);
    out[1] = median3(a->mv[1], b->mv[1], c->mv[1]);
}

void SliceDecoder::setupSlice(const SliceHeader& sh, const Sps& sps, const Pps& pps,
                              std::vector<Picture*> refLists[2]) {
    sh_ = &sh;
    sps_ = &sps;
    pps_ = &pps;
    refLists_ = refLists;
    sliceType_ = sh.sliceType;
    qp_ = sh.qp;
    lastQpDelta_ = 0;
    directSpatial_ = sh.directSpatialMvPred;
    // The level scales depend on the scaling matrices alone, which rarely change
    // within a stream; a PPS may be replaced under the same address, so they are
    // compared by value.
    if (!hasScales_ ||
        !(scaledWith_.list4x4 == pps.scaling.list4x4 && scaledWith_.list8x8 == pps.scaling.list8x8)) {
        for (int list = 0; list < 6; ++list)
            for (int q = 0; q < 52; ++q)
                for (int i = 0; i < 16; ++i)
                    levelScale4_[list][q][i] =
                        (pps.scaling.list4x4[static_cast<size_t>(list)][static_cast<size_t>(i)] *
                         normAdjust4x4(q % 6, i >> 2, i & 3))
                        << (q / 6);
        for (int list = 0; list < 2; ++list)
            for (int q = 0; q < 52; ++q)
                for (int i = 0; i < 64; ++i)
                    levelScale8_[list][q][i] =
                        (pps.scaling.list8x8[static_cast<size_t>(list)][static_cast<size_t>(i)] *
                         normAdjust8x8(q % 6, i >> 3, i & 7))
                        << (q / 6);
        scaledWith_ = pps.scaling;
        hasScales_ = true;
    }
    useExplicit_ =
        (sliceType_ == kSliceP && pps.weightedPred) || (sliceType_ == kSliceB && pps.weightedBipredIdc == 1);
    useImplicit_ = sliceType_ == kSliceB && pps.weightedBipredIdc == 2;
    colocatedMotion_ = nullptr;
    if (sliceType_ == kSliceB && !refLists[1].empty() && refLists[1][0] &&
        refLists[1][0]->motion.size() == pic_->motion.size())
        colocatedMotion_ = &refLists[1][0]->motion;
    if (sliceType_ == kSliceB) {
        int cur = pic_->poc;
        const Picture* p1 = refLists[1].empty() ? nullptr : refLists[1][0];
        for (size_t i = 0; i < refLists[0].size() && i < 32; ++i) {
            const Picture* p0 = refLists[0][i];
            int dsf = 256;
            if (p1 && p0) {
                int tb = std::clamp(cur - p0->poc, -128, 127);
                int td = std::clamp(p1->poc - p0->poc, -128, 127);
                if (td != 0 && !longTerm(p0)) {
                    int tx = (16384 + std::abs(td / 2)) / td;
                    dsf = std::clamp((tb * tx + 32) >> 6, -1024, 1023);
                } else {
                    dsf = 9999; // direct copy of the co-located vector
                }
            }
            pocDistanceScale_[i] = dsf;
            for (size_t j = 0; j < refLists[1].size() && j < 32; ++j) {
                const Picture* q1 = refLists[1][j];
                int w0 = 32;
                if (p0 && q1 && !longTerm(p0) && !longTerm(q1)) {
                    int tb = std::clamp(cur - p0->poc, -128, 127);
                    int td = std::clamp(q1->poc - p0->poc, -128, 127);
                    if (td != 0) {
                        int tx = (16384 + std::abs(td / 2)) / td;
                        int scale = std::clamp((tb * tx + 32) >> 6, -1024, 1023);
                        if ((scale >> 2) >= -64 && (scale >> 2) <= 128) w0 = 64 - (scale >> 2);
                    }
                }
                implicitWeight_[i][j] = w0;
            }
        }
    }
}

void SliceDecoder::computeQpc(MbInfo& mb) {
    for (int c = 0; c < 2; ++c)
        mb.qpc[c] = static_cast<int8_t>(chromaQp(std::clamp(
            mb.qp + (c == 0 ? pps_->chromaQpIndexOffset : pps_->secondChromaQpIndexOffset), 0, 51)));
}

void SliceDecoder::decodeSlice(const SliceHeader& sh, const Sps& sps, const Pps& pps, BitReader& br,
                               std::vector<Picture*> refLists[2], int sliceIndex) {
    setupSlice(sh, sps, pps, refLists);
    sliceIndex_ = sliceIndex;
    int mbAddr = sh.firstMb;
    try {
        decodeMacroblocks(sh, pps, br, mbAddr);
    } catch (const BitstreamError&) {
        // A macroblock left half-decoded would keep whatever the reused picture
        // held before; concealment fills it instead.
        if (mbAddr > lastMb_ && mbAddr < static_cast<int>(mbs_.size()) &&
            mbSlice_[static_cast<size_t>(mbAddr)] == sliceIndex_)
            mbSlice_[static_cast<size_t>(mbAddr)] = -1;
        throw;
    }
}

void SliceDecoder::decodeMacroblocks(const SliceHeader& sh, const Pps& pps, BitReader& br, int& mbAddr) {
    int total = widthMbs_ * heightMbs_;
    if (mbAddr >= total) throw BitstreamError("first_mb_in_slice beyond the picture");
    if (pps.cabac) {
        size_t pos = (br.bitPosition() + 7) / 8;
        cabacData_ = br.data();
        cabacSize_ = br.size();
        cabac_.start(br.data(), br.size(), pos);
        initCabacContexts(cabac_.ctx, sliceType_ == kSliceI ? 0 : sh.cabacInitIdc + 1, sh.qp);
        for (;;) {
            if (mbAddr >= total) throw BitstreamError("slice runs past the last macroblock");
            decodeMacroblockCabac(mbAddr);
            macroblockDecoded(mbAddr);
            if (cabac_.overran())
                throw BitstreamError("slice data ends inside macroblock " + std::to_string(mbAddr));
            if (cabac_.decodeTerminate()) break;
            ++mbAddr;
        }
        return;
    }
    bool moreData = true;
    while (moreData) {
        if (mbAddr >= total) throw BitstreamError("slice runs past the last macroblock");
        if (sliceType_ != kSliceI) {
            uint32_t run = br.ue();
            if (br.hasError() || run > static_cast<uint32_t>(total - mbAddr))
                throw BitstreamError("invalid mb_skip_run at macroblock " + std::to_string(mbAddr));
            for (uint32_t i = 0; i < run; ++i) {
                decodeSkip(mbAddr);
                macroblockDecoded(mbAddr++);
            }
            if (run > 0 && !br.moreRbspData()) break;
            if (mbAddr >= total) throw BitstreamError("slice runs past the last macroblock");
        }
        decodeMacroblockCavlc(br, mbAddr);
        macroblockDecoded(mbAddr);
        if (br.hasError())
            throw BitstreamError("slice data ends inside macroblock " + std::to_string(mbAddr));
        moreData = br.moreRbspData();
        ++mbAddr;
    }
}

void SliceDecoder::decodeSkip(int mbAddr) {
    setCurrentMb(mbAddr);
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    mb = kFreshMb;
    mbSlice_[static_cast<size_t>(mbAddr)] = sliceIndex_;
    mb.kind = sliceType_ == kSliceB ? kMbBSkip : kMbPSkip;
    mb.isDirect16x16 = sliceType_ == kSliceB;
    mb.qp = static_cast<int8_t>(qp_);
    computeQpc(mb);
    lastQpDelta_ = 0;
    mbType_ = 0;
    transform8x8_ = false;
    computeMotion(mbAddr);
    predictInter(mbAddr);
}

void SliceDecoder::setupIntraModes(int mbAddr, const int* prevFlag, const int* remMode) {
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    bool is8x8 = mb.kind == kMbI8x8;
    int count = is8x8 ? 4 : 16;
    for (int i = 0; i < count; ++i) {
        int x, y;
        if (is8x8) {
            x = (i & 1) * 8;
            y = (i >> 1) * 8;
        } else {
            int r = kBlkToRaster[i];
            x = (r & 3) * 4;
            y = (r >> 2) * 4;
        }
        int xa, ya, xb, yb;
        int na = neighbourMb(mbAddr, x - 1, y, xa, ya);
        int nb = neighbourMb(mbAddr, x, y - 1, xb, yb);
        bool dcPred = na < 0 || nb < 0 ||
                      (pps_->constrainedIntraPred &&
                       (!mbs_[static_cast<size_t>(na)].isIntra || !mbs_[static_cast<size_t>(nb)].isIntra));
        int pred = 2;
        if (!dcPred) {
            int ma = mbs_[static_cast<size_t>(na)].intraModes[(ya >> 2) * 4 + (xa >> 2)];
            int mbm = mbs_[static_cast<size_t>(nb)].intraModes[(yb >> 2) * 4 + (xb >> 2)];
            pred = std::min(ma, mbm);
        }
        int mode = prevFlag[i] ? pred : (remMode[i] < pred ? remMode[i] : remMode[i] + 1);
        if (is8x8) {
            for (int k = 0; k < 4; ++k)
                mb.intraModes[((y >> 2) + (k >> 1)) * 4 + (x >> 2) + (k & 1)] = static_cast<int8_t>(mode);
        } else {
            mb.intraModes[(y >> 2) * 4 + (x >> 2)] = static_cast<int8_t>(mode);
        }
    }
}

int SliceDecoder::nCForBlock(int mbAddr, int bx, int by, int plane) const {
    int size = plane == 0 ? 4 : 2;
    int base = plane == 0 ? 0 : plane == 1 ? 16 : 20;
    int nA = -1, nB = -1;
    int mbX = mbXOf(mbAddr);
    if (bx > 0) {
        nA = mbs_[static_cast<size_t>(mbAddr)].totalCoeff[base + by * size + bx - 1];
    } else if (mbX > 0 && isMbAvailable(mbAddr, mbAddr - 1)) {
        nA = mbs_[static_cast<size_t>(mbAddr - 1)].totalCoeff[base + by * size + size - 1];
    }
    if (by > 0) {
        nB = mbs_[static_cast<size_t>(mbAddr)].totalCoeff[base + (by - 1) * size + bx];
    } else if (mbAddr >= widthMbs_ && isMbAvailable(mbAddr, mbAddr - widthMbs_)) {
        nB = mbs_[static_cast<size_t>(mbAddr - widthMbs_)].totalCoeff[base + (size - 1) * size + bx];
    }
    if (nA >= 0 && nB >= 0) return (nA + nB + 1) >> 1;
    if (nA >= 0) return nA;
    if (nB >= 0) return nB;
    return 0;
}

void SliceDecoder::decodeMacroblockCavlc(BitReader& br, int mbAddr) {
    setCurrentMb(mbAddr);
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    mb = kFreshMb;
    mbSlice_[static_cast<size_t>(mbAddr)] = sliceIndex_;
    uint32_t type = br.ue();
    int intraType = -1;
    if (sliceType_ == kSliceI) {
        intraType = static_cast<int>(type);
    } else if (sliceType_ == kSliceP) {
        if (type < 5)
            mbType_ = static_cast<int>(type);
        else
            intraType = static_cast<int>(type) - 5;
    } else {
        if (type < 23)
            mbType_ = static_cast<int>(type);
        else
            intraType = static_cast<int>(type) - 23;
    }
    if (intraType > 25 || br.hasError())
        throw BitstreamError("invalid mb_type at macroblock " + std::to_string(mbAddr));
    transform8x8_ = false;
    if (intraType == 25) {
        mb.kind = kMbIPcm;
        mb.isIntra = true;
        br.skip(static_cast<int>((8 - br.bitPosition() % 8) % 8));
        for (int i = 0; i < 384; ++i)
            pcm_[i] = static_cast<uint8_t>(br.u(8));
        mb.qp = 0;
        computeQpc(mb);
        std::memset(mb.totalCoeff, 16, sizeof mb.totalCoeff);
        mb.nonZero = 0xffff;
        mb.cbp = 0x2f;
        lastQpDelta_ = 0;
        reconstruct(mbAddr);
        return;
    }
    int prevFlag[16] = {}, remMode[16] = {};
    bool noSubLessThan8x8 = true;
    if (intraType >= 0) {
        mb.isIntra = true;
        if (intraType == 0) {
            mb.kind = kMbI4x4;
            if (pps_->transform8x8Mode && br.flag()) {
                mb.kind = kMbI8x8;
                transform8x8_ = true;
            }
            int count = mb.kind == kMbI8x8 ? 4 : 16;
            for (int i = 0; i < count; ++i) {
                prevFlag[i] = br.flag();
                if (!prevFlag[i]) remMode[i] = static_cast<int>(br.u(3));
            }
        } else {
            mb.kind = kMbI16x16;
            intra16Mode_ = (intraType - 1) % 4;
            mb.cbp = static_cast<uint8_t>((((intraType - 1) / 4) % 3) << 4 | (intraType >= 13 ? 15 : 0));
        }
        mb.chromaPredMode = static_cast<uint8_t>(br.ue());
        if (mb.chromaPredMode > 3)
            throw BitstreamError("invalid intra_chroma_pred_mode at macroblock " + std::to_string(mbAddr));
        if (mb.kind != kMbI16x16) setupIntraModes(mbAddr, prevFlag, remMode);
    } else {
        mb.kind = kMbInter;
        bool isB = sliceType_ == kSliceB;
        bool is8x8 = isB ? mbType_ == 22 : mbType_ >= 3;
        mb.isDirect16x16 = isB && mbType_ == 0;
        for (auto& l : refIdx_)
            for (int& r : l)
                r = 0;
        std::memset(mvd_, 0, sizeof mvd_);
        auto readRef = [&](int list) {
            int n = sh_->numRefIdxActive[list];
            if (n <= 1) return 0;
            uint32_t v = n == 2 ? (br.u(1) ^ 1) : br.ue();
            if (v >= static_cast<uint32_t>(n))
                throw BitstreamError("ref_idx out of range at macroblock " + std::to_string(mbAddr));
            return static_cast<int>(v);
        };
        if (is8x8) {
            for (int i = 0; i < 4; ++i) {
                subTypes_[i] = static_cast<int>(br.ue());
                if (subTypes_[i] > (isB ? 12 : 3))
                    throw BitstreamError("invalid sub_mb_type at macroblock " + std::to_string(mbAddr));
                if (isB && subTypes_[i] == 0) {
                    if (!sps_->direct8x8Inference) noSubLessThan8x8 = false;
                } else if ((isB ? kBSubShape[subTypes_[i]] : subTypes_[i]) != 0) {
                    noSubLessThan8x8 = false;
                }
            }
            for (int list = 0; list < 2; ++list)
                for (int i = 0; i < 4; ++i) {
                    int pred = isB ? kBSubPred[subTypes_[i]] : (list == 0 ? 1 : 0);
                    refIdx_[list][i] = (pred >> list) & 1 ? (mbType_ == 4 ? 0 : readRef(list)) : -1;
                }
            for (int list = 0; list < 2; ++list)
                for (int i = 0; i < 4; ++i) {
                    int pred = isB ? kBSubPred[subTypes_[i]] : (list == 0 ? 1 : 0);
                    if (!((pred >> list) & 1)) continue;
                    int shape = isB ? kBSubShape[subTypes_[i]] : subTypes_[i];
                    for (int s = 0; s < kShapeParts[shape]; ++s) {
                        mvd_[list][i * 4 + s][0] = br.se();
                        mvd_[list][i * 4 + s][1] = br.se();
                    }
                }
        } else if (!mb.isDirect16x16) {
            int parts = (isB ? (mbType_ <= 3 ? 1 : 2) : (mbType_ == 0 ? 1 : 2));
            for (int list = 0; list < 2; ++list)
                for (int p = 0; p < parts; ++p) {
                    int pred = isB ? kBPartPred[mbType_][p] : (list == 0 ? 1 : 0);
                    refIdx_[list][p] = (pred >> list) & 1 ? readRef(list) : -1;
                }
            for (int list = 0; list < 2; ++list)
                for (int p = 0; p < parts; ++p) {
                    int pred = isB ? kBPartPred[mbType_][p] : (list == 0 ? 1 : 0);
                    if (!((pred >> list) & 1)) continue;
                    mvd_[list][p * 4][0] = br.se();
                    mvd_[list][p * 4][1] = br.se();
                }
        }
    }
    if (mb.kind != kMbI16x16) {
        uint32_t code = br.ue();
        if (code > 47)
            throw BitstreamError("invalid coded_block_pattern at macroblock " + std::to_string(mbAddr));
        int cbp = mb.isIntra ? kCbpIntra[code] : kCbpInter[code];
        mb.cbp = static_cast<uint8_t>((cbp & 15) | ((cbp >> 4) << 4));
        if ((cbp & 15) && pps_->transform8x8Mode && !mb.isIntra && noSubLessThan8x8 &&
            (!mb.isDirect16x16 || sps_->direct8x8Inference))
            transform8x8_ = br.flag();
    }
    mb.transform8x8 = transform8x8_;
    if (!mb.isIntra) {
        computeMotion(mbAddr);
    }
    if ((mb.cbp & 15) || (mb.cbp >> 4) || mb.kind == kMbI16x16) {
        int delta = br.se();
        if (delta < -26 || delta > 25)
            throw BitstreamError("invalid mb_qp_delta at macroblock " + std::to_string(mbAddr));
        qp_ = (qp_ + delta + 52) % 52;
        lastQpDelta_ = delta;
        mb.qp = static_cast<int8_t>(qp_);
        computeQpc(mb);
        readResidualCavlc(br, mbAddr);
    } else {
        lastQpDelta_ = 0;
        mb.qp = static_cast<int8_t>(qp_);
        computeQpc(mb);
        hasDcLuma_ = false;
    }
    if (br.hasError()) throw BitstreamError("slice data ends inside macroblock " + std::to_string(mbAddr));
    reconstruct(mbAddr);
}

void SliceDecoder::readResidualCavlc(BitReader& br, int mbAddr) {
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    int32_t levels[64];
    auto fail = [&]() {
        throw BitstreamError("invalid residual data at macroblock " + std::to_string(mbAddr));
    };
    int cbpLuma = mb.cbp & 15, cbpChroma = mb.cbp >> 4;
    bool intra = mb.isIntra;
    int qp = mb.qp;
    hasDcLuma_ = false;
    if (mb.kind == kMbI16x16) {
        std::fill_n(levels, 16, 0);
        int tc = readResidualBlockCavlc(br, nCForBlock(mbAddr, 0, 0, 0), levels, 0, 15, 16);
        if (tc < 0) fail();
        if (tc > 0) {
            int32_t c[16];
            for (int k = 0; k < 16; ++k)
                c[kZigzag4x4[k]] = levels[k];
            hadamard4x4(c);
            int32_t s = levelScale4_[0][qp][0];
            for (int i = 0; i < 16; ++i)
                dcLuma_[i] = scaleLevel(c[i], s, 6);
            hasDcLuma_ = true;
        }
    }
    for (int blk = 0; blk < 16; ++blk) {
        int r = kBlkToRaster[blk];
        int bx = r & 3, by = r >> 2;
        int b8 = (by >> 1) * 2 + (bx >> 1);
        if (!((cbpLuma >> b8) & 1)) continue;
        std::fill_n(levels, 16, 0);
        int nC = nCForBlock(mbAddr, bx, by, 0);
        int tc;
        if (mb.kind == kMbI16x16) {
            tc = readResidualBlockCavlc(br, nC, levels, 0, 14, 15);
            if (tc < 0) fail();
            mb.totalCoeff[r] = static_cast<uint8_t>(tc);
            for (int k = 0; k < 15; ++k)
                if (levels[k])
                    coef_[r][kZigzag4x4[k + 1]] =
                        scaleLevel(levels[k], levelScale4_[0][qp][kZigzag4x4[k + 1]], 4);
            if (tc) mb.nonZero |= static_cast<uint16_t>(1 << r);
        } else if (transform8x8_) {
            tc = readResidualBlockCavlc(br, nC, levels, 0, 15, 16);
            if (tc < 0) fail();
            mb.totalCoeff[r] = static_cast<uint8_t>(tc);
            int sub = blk & 3;
            const int32_t* scale = levelScale8_[intra ? 0 : 1][qp];
            for (int k = 0; k < 16; ++k)
                if (levels[k]) {
                    int pos = kZigzag8x8[4 * k + sub];
                    coef8_[b8][pos] = scaleLevel(levels[k], scale[pos], 6);
                }
            if (tc) mb.nonZero |= static_cast<uint16_t>(0x33 << ((by & 2) * 4 + (bx & 2)));
        } else {
            tc = readResidualBlockCavlc(br, nC, levels, 0, 15, 16);
            if (tc < 0) fail();
            mb.totalCoeff[r] = static_cast<uint8_t>(tc);
            const int32_t* scale = levelScale4_[intra ? 0 : 3][qp];
            for (int k = 0; k < 16; ++k)
                if (levels[k]) coef_[r][kZigzag4x4[k]] = scaleLevel(levels[k], scale[kZigzag4x4[k]], 4);
            if (tc) mb.nonZero |= static_cast<uint16_t>(1 << r);
        }
    }
    if (transform8x8_) {
        // Each 8x8 block counts as coded for all four of its 4x4 positions.
        for (int b8 = 0; b8 < 4; ++b8) {
            uint16_t mask = static_cast<uint16_t>(0x33 << ((b8 >> 1) * 8 + (b8 & 1) * 2));
            if (mb.nonZero & mask) mb.nonZero |= mask;
        }
    }
    std::memset(dcChroma_, 0, sizeof dcChroma_);
    if (cbpChroma) {
        for (int c = 0; c < 2; ++c) {
            std::fill_n(levels, 4, 0);
            int tc = readResidualBlockCavlc(br, -1, levels, 0, 3, 4);
            if (tc < 0) fail();
            if (tc) scaleChromaDc(c, levels, intra, mb.qpc[c]);
        }
    }
    if (cbpChroma & 2) {
        for (int c = 0; c < 2; ++c)
            for (int b = 0; b < 4; ++b) {
                std::fill_n(levels, 16, 0);
                int tc =
                    readResidualBlockCavlc(br, nCForBlock(mbAddr, b & 1, b >> 1, c + 1), levels, 0, 14, 15);
                if (tc < 0) fail();
                mb.totalCoeff[16 + c * 4 + b] = static_cast<uint8_t>(tc);
                const int32_t* scale = levelScale4_[(intra ? 1 : 4) + c][mb.qpc[c]];
                for (int k = 0; k < 15; ++k)
                    if (levels[k])
                        coefChroma_[c][b][kZigzag4x4[k + 1]] =
                            scaleLevel(levels[k], scale[kZigzag4x4[k + 1]], 4);
            }
    }
}

} // namespace duoscope::h264

namespace duoscope::h264 {

namespace {
constexpr uint8_t kRasterToBlk[16] = {0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15};

inline void storeMv(MbMotion& m, int list, int x, int y, int w, int h, int mvx, int mvy) {
    int16_t vx = static_cast<int16_t>(std::clamp(mvx, -32768, 32767));
    int16_t vy = static_cast<int16_t>(std::clamp(mvy, -32768, 32767));
    for (int by = y / 4; by < (y + h) / 4; ++by)
        for (int bx = x / 4; bx < (x + w) / 4; ++bx) {
            m.mv[list][by * 4 + bx][0] = vx;
            m.mv[list][by * 4 + bx][1] = vy;
        }
}
} // namespace

// The whole macroblock's neighbours all lie outside it, so the blocks of the
// macroblock already predicted do not matter.
void SliceDecoder::spatialDirectRefs(int mbAddr, int refs[2], int mvp[2][2]) {
    for (int list = 0; list < 2; ++list) {
        // The reference choice and the vector prediction look at the same neighbours.
        MvNeighbours n = mvNeighbours(mbAddr, list, 0, 0, 16);
        auto minPositive = [](int x, int y) { return (x >= 0 && y >= 0) ? std::min(x, y) : std::max(x, y); };
        refs[list] = minPositive(n.a.ref, minPositive(n.b.ref, n.c.ref));
        mvp[list][0] = mvp[list][1] = 0;
        if (refs[list] >= 0) predictMv(n, refs[list], 0, 0, 16, 16, mvp[list]);
    }
}

// 8.4.1.2 for the 8x8 quadrant q of the current macroblock, or for all four
// (B_Skip, B_Direct_16x16) with wholeMb.
void SliceDecoder::directPrediction(int mbAddr, int q, bool wholeMb) {
    MbMotion& m = pic_->motion[static_cast<size_t>(mbAddr)];
    const std::vector<Picture*>& l0 = refLists_[0];
    const std::vector<Picture*>& l1 = refLists_[1];
    const Picture* col = l1.empty() ? nullptr : l1[0];
    const MbMotion* cm = col && col->width == pic_->width && col->height == pic_->height
                             ? &col->motion[static_cast<size_t>(mbAddr)]
                             : nullptr;
    const int firstQuadrant = wholeMb ? 0 : q, endQuadrant = wholeMb ? 4 : q + 1;
    const bool inference = sps_->direct8x8Inference;
    auto colocated = [&](int bx, int by, int& refIdx, int& mvx, int& mvy, int32_t& refId) {
        if (inference) {
            bx = (bx >> 1) * 3;
            by = (by >> 1) * 3;
        }
        int blk = by * 4 + bx, b8 = (by >> 1) * 2 + (bx >> 1);
        refIdx = -1;
        mvx = mvy = 0;
        refId = 0;
        if (!cm || cm->isIntra) return;
        int list = cm->ref[0][b8] >= 0 ? 0 : 1;
        refIdx = cm->ref[list][b8];
        if (refIdx < 0) return;
        mvx = cm->mv[list][blk][0];
        mvy = cm->mv[list][blk][1];
        refId = cm->refId[list][b8];
    };
    if (directSpatial_) {
        if (!directRefsValid_) {
            spatialDirectRefs(mbAddr, directRefs_, directMvp_);
            directRefsValid_ = true;
        }
        int refs[2] = {directRefs_[0], directRefs_[1]};
        bool zeroPred = refs[0] < 0 && refs[1] < 0;
        if (zeroPred) refs[0] = refs[1] = 0;
        int32_t refIds[2];
        for (int list = 0; list < 2; ++list)
            refIds[list] = refs[list] >= 0 && refs[list] < static_cast<int>(refLists_[list].size())
                               ? refLists_[list][static_cast<size_t>(refs[list])]->id
                               : 0;
        // Only a list whose reference index is 0 looks at the co-located block
        // (colZeroFlag), and only a short-term one that is not intra can zero it.
        const bool needsColocated =
            !zeroPred && (refs[0] == 0 || refs[1] == 0) && col && !longTerm(col) && cm && !cm->isIntra;
        int16_t predicted[2][2];
        for (int list = 0; list < 2; ++list)
            for (int c = 0; c < 2; ++c)
                predicted[list][c] =
                    static_cast<int16_t>(!zeroPred && refs[list] >= 0 ? directMvp_[list][c] : 0);
        for (int quadrant = firstQuadrant; quadrant < endQuadrant; ++quadrant) {
            int qx = (quadrant & 1) * 8, qy = (quadrant >> 1) * 8;
            for (int list = 0; list < 2; ++list) {
                m.ref[list][quadrant] = static_cast<int8_t>(refs[list]);
                m.refId[list][quadrant] = refIds[list];
            }
            int16_t v[2][2] = {};
            for (int i = 0; i < 4; ++i) {
                int bx = qx / 4 + (i & 1), by = qy / 4 + (i >> 1);
                // With direct_8x8_inference_flag the quadrant's corner block decides all four.
                if (i == 0 || !inference) {
                    bool colZero = false;
                    if (needsColocated) {
                        int refIdx, mvx, mvy;
                        int32_t refId;
                        colocated(bx, by, refIdx, mvx, mvy, refId);
                        colZero = refIdx == 0 && mvx >= -1 && mvx <= 1 && mvy >= -1 && mvy <= 1;
                    }
                    for (int list = 0; list < 2; ++list) {
                        bool zeroed = refs[list] == 0 && colZero;
                        v[list][0] = zeroed ? int16_t{0} : predicted[list][0];
                        v[list][1] = zeroed ? int16_t{0} : predicted[list][1];
                    }
                }
                for (int list = 0; list < 2; ++list) {
                    m.mv[list][by * 4 + bx][0] = v[list][0];
                    m.mv[list][by * 4 + bx][1] = v[list][1];
                }
            }
        }
    } else {
        for (int quadrant = firstQuadrant; quadrant < endQuadrant; ++quadrant) {
            int qx = (quadrant & 1) * 8, qy = (quadrant >> 1) * 8;
            for (int by = qy / 4; by < qy / 4 + 2; ++by)
                for (int bx = qx / 4; bx < qx / 4 + 2; ++bx) {
                    int refIdx, mvx, mvy;
                    int32_t refId;
                    colocated(bx, by, refIdx, mvx, mvy, refId);
                    int ref0 = 0;
                    if (refIdx >= 0) {
                        ref0 = -1;
                        for (size_t i = 0; i < l0.size(); ++i)
                            if (l0[i]->id == refId) {
                                ref0 = static_cast<int>(i);
                                break;
                            }
                        if (ref0 < 0) {
                            ref0 = 0;
                            missingDirectRef_ = true;
                        }
                    } else {
                        mvx = mvy = 0;
                    }
                    int dsf = pocDistanceScale_[ref0];
                    int v0x, v0y, v1x, v1y;
                    if (dsf == 9999) {
                        v0x = mvx;
                        v0y = mvy;
                        v1x = v1y = 0;
                    } else {
                        v0x = (dsf * mvx + 128) >> 8;
                        v0y = (dsf * mvy + 128) >> 8;
                        v1x = v0x - mvx;
                        v1y = v0y - mvy;
                    }
                    m.ref[0][quadrant] = static_cast<int8_t>(ref0);
                    m.ref[1][quadrant] = 0;
                    m.refId[0][quadrant] = l0.empty() ? 0 : l0[static_cast<size_t>(ref0)]->id;
                    m.refId[1][quadrant] = l1.empty() ? 0 : l1[0]->id;
                    m.mv[0][by * 4 + bx][0] = static_cast<int16_t>(v0x);
                    m.mv[0][by * 4 + bx][1] = static_cast<int16_t>(v0y);
                    m.mv[1][by * 4 + bx][0] = static_cast<int16_t>(v1x);
                    m.mv[1][by * 4 + bx][1] = static_cast<int16_t>(v1y);
                }
        }
    }
    for (int quadrant = firstQuadrant; quadrant < endQuadrant; ++quadrant) {
        int qx = (quadrant & 1) * 8, qy = (quadrant >> 1) * 8;
        for (int by = qy / 4; by < qy / 4 + 2; ++by)
            for (int bx = qx / 4; bx < qx / 4 + 2; ++bx)
                filled_[by * 4 + bx] = true;
    }
}

void SliceDecoder::computeMotion(int mbAddr) {
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    MbMotion& m = pic_->motion[static_cast<size_t>(mbAddr)];
    // Direct prediction reads the co-located macroblock's motion, a picture
    // decoded long ago: asked from memory two macroblocks ahead, it is there in time.
    if (colocatedMotion_ && static_cast<size_t>(mbAddr) + 2 < colocatedMotion_->size()) {
        const char* ahead =
            reinterpret_cast<const char*>(&(*colocatedMotion_)[static_cast<size_t>(mbAddr) + 2]);
        for (size_t offset = 0; offset < sizeof(MbMotion); offset += 64)
            __builtin_prefetch(ahead + offset);
        __builtin_prefetch(ahead + sizeof(MbMotion) - 1);
    }
    m.isIntra = false;
    std::memset(m.mv, 0, sizeof m.mv);
    std::memset(&m.ref[0][0], -1, sizeof(m.ref));
    std::memset(m.refId, 0, sizeof m.refId);
    std::memset(filled_, 0, sizeof filled_);
    directRefsValid_ = false;
    auto refIdOf = [&](int list, int ref) {
        return ref >= 0 && ref < static_cast<int>(refLists_[list].size())
                   ? refLists_[list][static_cast<size_t>(ref)]->id
                   : 0;
    };
    auto setRef = [&](int list, int x, int y, int w, int h, int ref) {
        for (int b8y = y / 8; b8y < (y + h + 7) / 8; ++b8y)
            for (int b8x = x / 8; b8x < (x + w + 7) / 8; ++b8x) {
                m.ref[list][b8y * 2 + b8x] = static_cast<int8_t>(ref);
                m.refId[list][b8y * 2 + b8x] = refIdOf(list, ref);
            }
    };
    auto fill = [&](int x, int y, int w, int h) {
        for (int by = y / 4; by < (y + h) / 4; ++by)
            for (int bx = x / 4; bx < (x + w) / 4; ++bx)
                filled_[by * 4 + bx] = true;
    };
    auto storeMvd = [&](int list, int x, int y, int w, int h, int dx, int dy) {
        uint8_t ax = static_cast<uint8_t>(std::min(std::abs(dx), 255)),
                ay = static_cast<uint8_t>(std::min(std::abs(dy), 255));
        for (int by = y / 4; by < (y + h) / 4; ++by)
            for (int bx = x / 4; bx < (x + w) / 4; ++bx) {
                mb.mvd[list][by * 4 + bx][0] = ax;
                mb.mvd[list][by * 4 + bx][1] = ay;
            }
    };
    auto interPart = [&](int x, int y, int w, int h, int pred, const int* refs, const int(*mvd)[2]) {
        for (int list = 0; list < 2; ++list) {
            if (!((pred >> list) & 1)) continue;
            int mvp[2];
            mvPrediction(mbAddr, list, refs[list], x, y, w, h, mvp);
            storeMv(m, list, x, y, w, h, mvp[0] + mvd[list][0], mvp[1] + mvd[list][1]);
            storeMvd(list, x, y, w, h, mvd[list][0], mvd[list][1]);
        }
        fill(x, y, w, h);
    };
    if (mb.kind == kMbPSkip) {
        m.ref[0][0] = m.ref[0][1] = m.ref[0][2] = m.ref[0][3] = 0;
        for (int i = 0; i < 4; ++i)
            m.refId[0][i] = refIdOf(0, 0);
        MvNeighbours n = mvNeighbours(mbAddr, 0, 0, 0, 16);
        const Neighbour &a = n.a, &b = n.b;
        int mv[2] = {0, 0};
        if (a.available && b.available && !(a.ref == 0 && a.mv[0] == 0 && a.mv[1] == 0) &&
            !(b.ref == 0 && b.mv[0] == 0 && b.mv[1] == 0))
            predictMv(n, 0, 0, 0, 16, 16, mv);
        storeMv(m, 0, 0, 0, 16, 16, mv[0], mv[1]);
        return;
    }
    bool isB = sliceType_ == kSliceB;
    if (mb.kind == kMbBSkip || mb.isDirect16x16) {
        directPrediction(mbAddr, 0, true);
        return;
    }
    bool is8x8 = isB ? mbType_ == 22 : mbType_ >= 3;
    if (is8x8) {
        for (int i = 0; i < 4; ++i) {
            int x0 = (i & 1) * 8, y0 = (i >> 1) * 8;
            if (isB && subTypes_[i] == 0) {
                directPrediction(mbAddr, i, false);
                continue;
            }
            int pred = isB ? kBSubPred[subTypes_[i]] : 1;
            int shape = isB ? kBSubShape[subTypes_[i]] : subTypes_[i];
            for (int list = 0; list < 2; ++list)
                if ((pred >> list) & 1) setRef(list, x0, y0, 8, 8, refIdx_[list][i]);
            int w = shape == 0 || shape == 1 ? 8 : 4, h = shape == 0 || shape == 2 ? 8 : 4;
            for (int s = 0; s < kShapeParts[shape]; ++s) {
                int x = x0 + (w == 4 ? (s & 1) * 4 : 0);
                int y = y0 + (h == 4 ? (w == 4 ? (s >> 1) * 4 : s * 4) : 0);
                int refs[2] = {refIdx_[0][i], refIdx_[1][i]};
                int mvd[2][2] = {{mvd_[0][i * 4 + s][0], mvd_[0][i * 4 + s][1]},
                                 {mvd_[1][i * 4 + s][0], mvd_[1][i * 4 + s][1]}};
                interPart(x, y, w, h, pred, refs, mvd);
            }
        }
        return;
    }
    int shape; // 0 16x16, 1 16x8, 2 8x16
    if (isB)
        shape = mbType_ <= 3 ? 0 : (mbType_ & 1) ? 2 : 1;
    else
        shape = mbType_;
    int parts = shape == 0 ? 1 : 2;
    for (int p = 0; p < parts; ++p) {
        int x = shape == 2 ? p * 8 : 0, y = shape == 1 ? p * 8 : 0;
        int w = shape == 2 ? 8 : 16, h = shape == 1 ? 8 : 16;
        int pred = isB ? kBPartPred[mbType_][p] : 1;
        for (int list = 0; list < 2; ++list)
            if ((pred >> list) & 1) setRef(list, x, y, w, h, refIdx_[list][p]);
        int refs[2] = {refIdx_[0][p], refIdx_[1][p]};
        int mvd[2][2] = {{mvd_[0][p * 4][0], mvd_[0][p * 4][1]}, {mvd_[1][p * 4][0], mvd_[1][p * 4][1]}};
        interPart(x, y, w, h, pred, refs, mvd);
    }
}

void SliceDecoder::predictInter(int mbAddr) {
    const MbMotion& m = pic_->motion[static_cast<size_t>(mbAddr)];
    if (isMotionUniform(m)) {
        predictBlock(mbAddr, 0, 0, 16, 16);
        return;
    }
    uint32_t mv[2][16];
    std::memcpy(mv, m.mv, sizeof mv);
    auto sameMotion = [&](int blkA, int blkB) {
        return mv[0][blkA] == mv[0][blkB] && mv[1][blkA] == mv[1][blkB];
    };
    for (int q = 0; q < 4; ++q) {
        int x = (q & 1) * 8, y = (q >> 1) * 8;
        int b0 = (y / 4) * 4 + x / 4;
        if (sameMotion(b0, b0 + 1) && sameMotion(b0, b0 + 4) && sameMotion(b0, b0 + 5)) {
            predictBlock(mbAddr, x, y, 8, 8);
        } else {
            for (int s = 0; s < 4; ++s)
                predictBlock(mbAddr, x + (s & 1) * 4, y + (s >> 1) * 4, 4, 4);
        }
    }
}

void SliceDecoder::predictBlock(int mbAddr, int x, int y, int w, int h) {
    const MbMotion& m = pic_->motion[static_cast<size_t>(mbAddr)];
    int b8 = (y / 8) * 2 + x / 8, blk = (y / 4) * 4 + x / 4;
    int px = mbXOf(mbAddr) * 16 + x, py = mbYOf(mbAddr) * 16 + y;
    uint8_t predY[2][256], predC[2][2][64];
    int refs[2] = {m.ref[0][b8], m.ref[1][b8]};
    int used = (refs[0] >= 0 ? 1 : 0) | (refs[1] >= 0 ? 2 : 0);
    // A single unweighted prediction is interpolated straight into the picture.
    // (Not when a damaged stream left the picture itself as its reference.)
    bool direct = (used == 1 || used == 2) && !useExplicit_;
    if (direct) {
        int list = used == 1 ? 0 : 1;
        direct = refs[list] < static_cast<int>(refLists_[list].size()) &&
                 refLists_[list][static_cast<size_t>(refs[list])] != pic_;
    }
    for (int list = 0; list < 2; ++list) {
        if (refs[list] < 0) continue;
        const Picture* rp = refs[list] < static_cast<int>(refLists_[list].size())
                                ? refLists_[list][static_cast<size_t>(refs[list])]
                                : nullptr;
        if (!rp) rp = pic_;
        int mvx = m.mv[list][blk][0], mvy = m.mv[list][blk][1];
        uint8_t* outY = direct ? pic_->plane[0] + py * pic_->stride[0] + px : predY[list];
        int strideY = direct ? pic_->stride[0] : 16;
        interpolateLuma(outY, strideY, rp->plane[0], rp->stride[0], rp->width, rp->height, px + (mvx >> 2),
                        py + (mvy >> 2), mvx & 3, mvy & 3, w, h);
        for (int c = 0; c < 2; ++c) {
            uint8_t* outC =
                direct ? pic_->plane[1 + c] + (py / 2) * pic_->stride[1] + px / 2 : predC[list][c];
            int strideC = direct ? pic_->stride[1] : 8;
            interpolateChroma(outC, strideC, rp->plane[1 + c], rp->stride[1], rp->width / 2, rp->height / 2,
                              px / 2 + (mvx >> 3), py / 2 + (mvy >> 3), mvx & 7, mvy & 7, w / 2, h / 2);
        }
    }
    if (direct) return;
    if (used == 0) return;
    const DspFunctions& f = dsp();
    for (int plane = 0; plane < 3; ++plane) {
        int bw = plane ? w / 2 : w, bh = plane ? h / 2 : h, ps = plane ? 8 : 16;
        uint8_t* dst =
            pic_->plane[plane] + (plane ? py / 2 : py) * pic_->stride[plane] + (plane ? px / 2 : px);
        int stride = pic_->stride[plane];
        const uint8_t* s0 = plane ? predC[0][plane - 1] : predY[0];
        const uint8_t* s1 = plane ? predC[1][plane - 1] : predY[1];
        if (used != 3) {
            int list = used == 1 ? 0 : 1;
            const uint8_t* s = list ? s1 : s0;
            if (useExplicit_) {
                const PredWeight& pw = sh_->weights[list][static_cast<size_t>(refs[list])];
                int wgt = plane ? pw.chromaWeight[plane - 1] : pw.lumaWeight;
                int off = plane ? pw.chromaOffset[plane - 1] : pw.lumaOffset;
                int logWD = plane ? sh_->chromaLog2WeightDenom : sh_->lumaLog2WeightDenom;
                f.weight(dst, stride, s, ps, bw, bh, wgt, off, logWD);
            } else {
                f.copy(dst, stride, s, ps, bw, bh);
            }
            continue;
        }
        // Implicit weights of 32/32 are the plain average (8-301 with logWD 5).
        bool weighted = useExplicit_ || (useImplicit_ && implicitWeight_[refs[0]][refs[1]] != 32);
        if (weighted) {
            int w0, w1, o = 0, logWD;
            if (useExplicit_) {
                const PredWeight& p0 = sh_->weights[0][static_cast<size_t>(refs[0])];
                const PredWeight& p1 = sh_->weights[1][static_cast<size_t>(refs[1])];
                w0 = plane ? p0.chromaWeight[plane - 1] : p0.lumaWeight;
                w1 = plane ? p1.chromaWeight[plane - 1] : p1.lumaWeight;
                int o0 = plane ? p0.chromaOffset[plane - 1] : p0.lumaOffset;
                int o1 = plane ? p1.chromaOffset[plane - 1] : p1.lumaOffset;
                o = (o0 + o1 + 1) >> 1;
                logWD = plane ? sh_->chromaLog2WeightDenom : sh_->lumaLog2WeightDenom;
            } else {
                w0 = implicitWeight_[refs[0]][refs[1]];
                w1 = 64 - w0;
                logWD = 5;
            }
            f.weightBi(dst, stride, s0, s1, ps, bw, bh, w0, w1, o, logWD);
        } else {
            f.average(dst, stride, s0, ps, s1, ps, bw, bh);
        }
    }
}

void SliceDecoder::intraEdge(int mbAddr, int plane, int x, int y, int n, bool isNxN, IntraEdge& e) const {
    int mbX = mbXOf(mbAddr), mbY = mbYOf(mbAddr);
    int stride = pic_->stride[plane];
    int mbSize = plane ? 8 : 16;
    const uint8_t* base = pic_->plane[plane] + (mbY * mbSize + y) * stride + mbX * mbSize + x;
    int left = mbX > 0 ? mbAddr - 1 : -1;
    int top = mbY > 0 ? mbAddr - widthMbs_ : -1;
    int topLeft = mbX > 0 && mbY > 0 ? mbAddr - widthMbs_ - 1 : -1;
    int topRight = mbY > 0 && mbX + 1 < widthMbs_ ? mbAddr - widthMbs_ + 1 : -1;
    e.hasLeft = x > 0 || isIntraAvailable(mbAddr, left);
    e.hasTop = y > 0 || isIntraAvailable(mbAddr, top);
    if (x > 0 && y > 0)
        e.hasCorner = true;
    else if (y > 0)
        e.hasCorner = isIntraAvailable(mbAddr, left);
    else if (x > 0)
        e.hasCorner = isIntraAvailable(mbAddr, top);
    else
        e.hasCorner = isIntraAvailable(mbAddr, topLeft);
    e.hasTopRight = false;
    if (isNxN) {
        int tx = x + n;
        if (y == 0) {
            e.hasTopRight = tx < 16 ? isIntraAvailable(mbAddr, top) : isIntraAvailable(mbAddr, topRight);
        } else if (tx < 16) {
            int cur = n == 4 ? kRasterToBlk[(y / 4) * 4 + x / 4] : ((y / 8) * 2 + x / 8) * 4;
            int other = n == 4 ? kRasterToBlk[((y - 1) / 4) * 4 + tx / 4] : (((y - 1) / 8) * 2 + tx / 8) * 4;
            e.hasTopRight = other < cur;
        }
    }
    int topCount = isNxN ? 2 * n : n;
    if (e.hasTop) {
        std::memcpy(e.top, base - stride, static_cast<size_t>(n));
        if (isNxN) {
            if (e.hasTopRight)
                std::memcpy(e.top + n, base - stride + n, static_cast<size_t>(n));
            else
                std::memset(e.top + n, e.top[n - 1], static_cast<size_t>(n));
        }
    } else {
        std::memset(e.top, 128, static_cast<size_t>(topCount));
    }
    if (e.hasLeft) {
        for (int i = 0; i < n; ++i)
            e.left[i] = base[i * stride - 1];
    } else {
        std::memset(e.left, 128, static_cast<size_t>(n));
    }
    e.corner = e.hasCorner ? base[-stride - 1] : 128;
}

void SliceDecoder::reconstruct(int mbAddr) {
    const DspFunctions& f = dsp();
    MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    int mbX = mbXOf(mbAddr), mbY = mbYOf(mbAddr);
    uint8_t* luma = pic_->plane[0] + mbY * 16 * pic_->stride[0] + mbX * 16;
    int ls = pic_->stride[0];
    if (mb.isIntra) {
        MbMotion& m = pic_->motion[static_cast<size_t>(mbAddr)];
        m.isIntra = true;
        std::memset(&m.ref[0][0], -1, sizeof(m.ref));
        std::memset(m.mv, 0, sizeof m.mv);
    }
    if (mb.kind == kMbIPcm) {
        for (int y = 0; y < 16; ++y)
            std::memcpy(luma + y * ls, pcm_ + y * 16, 16);
        for (int c = 0; c < 2; ++c) {
            uint8_t* ch = pic_->plane[1 + c] + mbY * 8 * pic_->stride[1] + mbX * 8;
            for (int y = 0; y < 8; ++y)
                std::memcpy(ch + y * pic_->stride[1], pcm_ + 256 + c * 64 + y * 8, 8);
        }
        return;
    }
    IntraEdge e;
    if (mb.kind == kMbI4x4) {
        for (int blk = 0; blk < 16; ++blk) {
            int r = kBlkToRaster[blk];
            int x = (r & 3) * 4, y = (r >> 2) * 4;
            intraEdge(mbAddr, 0, x, y, 4, true, e);
            uint8_t* dst = luma + y * ls + x;
            predictIntraNxN(dst, ls, 4, mb.intraModes[r], e);
            if (mb.nonZero & (1 << r)) f.idct4x4Add(dst, ls, coef_[r]);
        }
    } else if (mb.kind == kMbI8x8) {
        for (int b8 = 0; b8 < 4; ++b8) {
            int x = (b8 & 1) * 8, y = (b8 >> 1) * 8;
            intraEdge(mbAddr, 0, x, y, 8, true, e);
            filterEdge8x8(e);
            uint8_t* dst = luma + y * ls + x;
            predictIntraNxN(dst, ls, 8, mb.intraModes[(y / 4) * 4 + x / 4], e);
            if ((mb.cbp >> b8) & 1) idct8x8Add(dst, ls, coef8_[b8]);
        }
    } else if (mb.kind == kMbI16x16) {
        intraEdge(mbAddr, 0, 0, 0, 16, false, e);
        predictIntra16x16(luma, ls, intra16Mode_, e);
        for (int r = 0; r < 16; ++r) {
            if (hasDcLuma_) coef_[r][0] = dcLuma_[r];
            if ((hasDcLuma_ && dcLuma_[r]) || (mb.nonZero & (1 << r)))
                f.idct4x4Add(luma + (r >> 2) * 4 * ls + (r & 3) * 4, ls, coef_[r]);
            else
                coef_[r][0] = 0;
        }
    } else {
        predictInter(mbAddr);
        if (mb.transform8x8) {
            for (int b8 = 0; b8 < 4; ++b8)
                if ((mb.cbp >> b8) & 1) idct8x8Add(luma + (b8 >> 1) * 8 * ls + (b8 & 1) * 8, ls, coef8_[b8]);
        } else {
            for (int r = 0; r < 16; ++r)
                if (mb.nonZero & (1 << r)) f.idct4x4Add(luma + (r >> 2) * 4 * ls + (r & 3) * 4, ls, coef_[r]);
        }
    }
    int cs = pic_->stride[1];
    for (int c = 0; c < 2; ++c) {
        uint8_t* ch = pic_->plane[1 + c] + mbY * 8 * cs + mbX * 8;
        if (mb.isIntra) {
            intraEdge(mbAddr, 1 + c, 0, 0, 8, false, e);
            predictIntraChroma(ch, cs, mb.chromaPredMode, e);
        }
        if (!(mb.cbp >> 4)) continue;
        for (int b = 0; b < 4; ++b) {
            coefChroma_[c][b][0] = dcChroma_[c][b];
            if (dcChroma_[c][b] || mb.totalCoeff[16 + c * 4 + b])
                f.idct4x4Add(ch + (b >> 1) * 4 * cs + (b & 1) * 4, cs, coefChroma_[c][b]);
            else
                coefChroma_[c][b][0] = 0;
        }
    }
}

int SliceDecoder::concealMissing(const Picture* ref) {
    int count = 0;
    int concealSlice = -1;
    for (size_t i = 0; i < mbs_.size(); ++i) {
        if (mbSlice_[i] >= 0) continue;
        if (concealSlice < 0) {
            concealSlice = static_cast<int>(sliceParams_.size());
            sliceParams_.push_back({1, 0, 0, {0, 0}});
        }
        ++count;
        MbInfo& mb = mbs_[i];
        mb = kFreshMb;
        mbSlice_[i] = concealSlice;
        mb.kind = kMbPSkip;
        MbMotion& m = pic_->motion[i];
        m = MbMotion{};
        m.isIntra = true;
        std::memset(&m.ref[0][0], -1, sizeof(m.ref));
        int mbX = static_cast<int>(i) % widthMbs_, mbY = static_cast<int>(i) / widthMbs_;
        for (int p = 0; p < 3; ++p) {
            int size = p ? 8 : 16;
            int stride = pic_->stride[p];
            uint8_t* dst = pic_->plane[p] + mbY * size * stride + mbX * size;
            for (int y = 0; y < size; ++y) {
                if (ref && ref != pic_ && ref->width == pic_->width && ref->height == pic_->height)
                    std::memcpy(dst + y * stride, ref->plane[p] + (mbY * size + y) * stride + mbX * size,
                                static_cast<size_t>(size));
                else
                    std::memset(dst + y * stride, 128, static_cast<size_t>(size));
            }
        }
    }
    return count;
}

} // namespace duoscope::h264

namespace duoscope::h264 {

namespace {

constexpr uint8_t kAlpha[52] = {0,  0,  0,  0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
                                0,  0,  0,  4,   4,   5,   6,   7,   8,   9,   10,  12,  13,
                                15, 17, 20, 22,  25,  28,  32,  36,  40,  45,  50,  56,  63,
                                71, 80, 90, 101, 113, 127, 144, 162, 182, 203, 226, 255, 255};
constexpr uint8_t kBeta[52] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0, 2,  2,
                               2,  3,  3,  3,  3,  4,  4,  4,  6,  6,  7,  7,  8,  8,  9,  9, 10, 10,
                               11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18};
constexpr uint8_t kTc0[52][3] = {
    {0, 0, 0},   {0, 0, 0},    {0, 0, 0},    {0, 0, 0},   {0, 0, 0},  {0, 0, 0},  {0, 0, 0},   {0, 0, 0},
    {0, 0, 0},   {0, 0, 0},    {0, 0, 0},    {0, 0, 0},   {0, 0, 0},  {0, 0, 0},  {0, 0, 0},   {0, 0, 0},
    {0, 0, 0},   {0, 0, 1},    {0, 0, 1},    {0, 0, 1},   {0, 0, 1},  {0, 1, 1},  {0, 1, 1},   {1, 1, 1},
    {1, 1, 1},   {1, 1, 1},    {1, 1, 1},    {1, 1, 2},   {1, 1, 2},  {1, 1, 2},  {1, 1, 2},   {1, 2, 3},
    {1, 2, 3},   {2, 2, 3},    {2, 2, 4},    {2, 3, 4},   {2, 3, 4},  {3, 3, 5},  {3, 4, 6},   {3, 4, 6},
    {4, 5, 7},   {4, 5, 8},    {4, 6, 9},    {5, 7, 10},  {6, 8, 11}, {6, 8, 13}, {7, 10, 14}, {8, 11, 16},
    {9, 12, 18}, {10, 13, 20}, {11, 15, 23}, {13, 17, 25}};

// Filters one edge (16 luma or 8 chroma lines); bS holds the strength per
// 4 luma (2 chroma) lines. `vertical` edges have their p samples to the left.
void filterEdge(const DspFunctions& f, uint8_t* q0, int stride, bool vertical, const int* bS, int qpAv,
                int offsetA, int offsetB, bool chroma) {
    int indexA = std::clamp(qpAv + offsetA, 0, 51);
    int indexB = std::clamp(qpAv + offsetB, 0, 51);
    int alpha = kAlpha[indexA], beta = kBeta[indexB];
    if (alpha == 0 || beta == 0) return;
    int dir = vertical ? 0 : 1;
    // Intra macroblock edges give bS 4 to all their lines, nothing else does.
    if (bS[0] == 4) {
        (chroma ? f.chromaEdgeStrong : f.lumaEdgeStrong)[dir](q0, stride, alpha, beta);
        return;
    }
    int8_t tc0[4];
    for (int k = 0; k < 4; ++k)
        tc0[k] = static_cast<int8_t>(bS[k] ? kTc0[indexA][bS[k] - 1] : -1);
    (chroma ? f.chromaEdge : f.lumaEdge)[dir](q0, stride, alpha, beta, tc0);
}

// bS 1 test of 8.7.2.1 for two inter blocks.
// The same pictures with the same vectors: the usual case, checked first.
inline bool sameMotion(const MbMotion& p, int pb8, int pblk, const MbMotion& q, int qb8, int qblk) {
    uint32_t pmv[2], qmv[2];
    std::memcpy(&pmv[0], p.mv[0][pblk], 4);
    std::memcpy(&pmv[1], p.mv[1][pblk], 4);
    std::memcpy(&qmv[0], q.mv[0][qblk], 4);
    std::memcpy(&qmv[1], q.mv[1][qblk], 4);
    return pmv[0] == qmv[0] && pmv[1] == qmv[1] && p.refId[0][pb8] == q.refId[0][qb8] &&
           p.refId[1][pb8] == q.refId[1][qb8] && (p.ref[0][pb8] < 0) == (q.ref[0][qb8] < 0) &&
           (p.ref[1][pb8] < 0) == (q.ref[1][qb8] < 0);
}

bool motionDiffers(const MbMotion& p, int pb8, int pblk, const MbMotion& q, int qb8, int qblk) {
    if (sameMotion(p, pb8, pblk, q, qb8, qblk)) return false;
    int pCount = (p.ref[0][pb8] >= 0) + (p.ref[1][pb8] >= 0);
    int qCount = (q.ref[0][qb8] >= 0) + (q.ref[1][qb8] >= 0);
    if (pCount != qCount) return true;
    auto far = [](const int16_t* a, const int16_t* b) {
        return std::abs(a[0] - b[0]) >= 4 || std::abs(a[1] - b[1]) >= 4;
    };
    if (pCount == 1) {
        int pl = p.ref[0][pb8] >= 0 ? 0 : 1, ql = q.ref[0][qb8] >= 0 ? 0 : 1;
        if (p.refId[pl][pb8] != q.refId[ql][qb8]) return true;
        return far(p.mv[pl][pblk], q.mv[ql][qblk]);
    }
    int32_t p0 = p.refId[0][pb8], p1 = p.refId[1][pb8], q0 = q.refId[0][qb8], q1 = q.refId[1][qb8];
    if (!((p0 == q0 && p1 == q1) || (p0 == q1 && p1 == q0))) return true;
    if (p0 != p1) {
        if (p0 == q0) return far(p.mv[0][pblk], q.mv[0][qblk]) || far(p.mv[1][pblk], q.mv[1][qblk]);
        return far(p.mv[0][pblk], q.mv[1][qblk]) || far(p.mv[1][pblk], q.mv[0][qblk]);
    }
    bool straight = far(p.mv[0][pblk], q.mv[0][qblk]) || far(p.mv[1][pblk], q.mv[1][qblk]);
    bool crossed = far(p.mv[0][pblk], q.mv[1][qblk]) || far(p.mv[1][pblk], q.mv[0][qblk]);
    return straight && crossed;
}

} // namespace

void SliceDecoder::deblockPicture() {
    while (deblockedRows_ < heightMbs_)
        deblockRow(deblockedRows_++);
}

void SliceDecoder::deblockMb(int mbAddr) {
    const MbInfo& mb = mbs_[static_cast<size_t>(mbAddr)];
    const int32_t slice = mbSlice_[static_cast<size_t>(mbAddr)];
    const SliceParams& sp = sliceParams_[static_cast<size_t>(slice)];
    if (sp.disableDeblocking == 1) return;
    int mbX = mbXOf(mbAddr), mbY = mbYOf(mbAddr);
    const MbMotion& qm = pic_->motion[static_cast<size_t>(mbAddr)];
    const DspFunctions& f = dsp();
    const int ls = pic_->stride[0], cs = pic_->stride[1];
    uint8_t* luma = pic_->plane[0] + (mbY * 16) * ls + mbX * 16;
    uint8_t* chroma[2] = {pic_->plane[1] + (mbY * 8) * cs + mbX * 8,
                          pic_->plane[2] + (mbY * 8) * cs + mbX * 8};
    bool uniformMotion = !mb.isIntra && isMotionUniform(qm);
    uniformMotion_[static_cast<size_t>(mbAddr)] = uniformMotion;
    for (int dir = 0; dir < 2; ++dir) { // 0: vertical edges, 1: horizontal edges
        int neighbourAddr = dir == 0 ? (mbX > 0 ? mbAddr - 1 : -1) : (mbY > 0 ? mbAddr - widthMbs_ : -1);
        bool filterOuter =
            neighbourAddr >= 0 && mbSlice_[static_cast<size_t>(neighbourAddr)] >= 0 &&
            !(sp.disableDeblocking == 2 && mbSlice_[static_cast<size_t>(neighbourAddr)] != slice);
        // 4x4 blocks in raster order: the p block of an inner edge is `step` before its q block.
        const int step = dir == 0 ? 1 : 4;
        const uint32_t coded = mb.nonZero | (static_cast<uint32_t>(mb.nonZero) << step);
        for (int edge = filterOuter ? 0 : 1; edge < 4; ++edge) {
            if (edge > 0 && mb.transform8x8 && (edge & 1)) continue;
            const MbInfo& pmb = edge == 0 ? mbs_[static_cast<size_t>(neighbourAddr)] : mb;
            int bS[4];
            if (edge == 0) {
                const MbMotion& pm = pic_->motion[static_cast<size_t>(neighbourAddr)];
                // Two macroblocks that each move as one, and move alike.
                bool alike = uniformMotion && uniformMotion_[static_cast<size_t>(neighbourAddr)] &&
                             sameMotion(pm, 0, 0, qm, 0, 0);
                uint32_t qEdge = dir == 0 ? 0x1111 : 0x000f, pEdge = dir == 0 ? 0x8888 : 0xf000;
                if (alike && !pmb.isIntra && !(mb.nonZero & qEdge) && !(pmb.nonZero & pEdge)) continue;
                for (int k = 0; k < 4; ++k) {
                    int qblk = dir == 0 ? k * 4 : k, pblk = dir == 0 ? k * 4 + 3 : 12 + k;
                    if (mb.isIntra || pmb.isIntra)
                        bS[k] = 4;
                    else if (((mb.nonZero >> qblk) | (pmb.nonZero >> pblk)) & 1)
                        bS[k] = 2;
                    else
                        bS[k] =
                            !alike && motionDiffers(pm, block8x8Of(pblk), pblk, qm, block8x8Of(qblk), qblk);
                }
            } else if (mb.isIntra) {
                bS[0] = bS[1] = bS[2] = bS[3] = 3;
            } else {
                if (uniformMotion && !(coded & (dir == 0 ? 0x1111u << edge : 0xfu << (4 * edge)))) continue;
                for (int k = 0; k < 4; ++k) {
                    int qblk = dir == 0 ? k * 4 + edge : edge * 4 + k, pblk = qblk - step;
                    if ((coded >> qblk) & 1)
                        bS[k] = 2;
                    else
                        bS[k] = !uniformMotion &&
                                motionDiffers(qm, block8x8Of(pblk), pblk, qm, block8x8Of(qblk), qblk);
                }
            }
            if (!(bS[0] | bS[1] | bS[2] | bS[3])) continue;
            int qpAv = (mb.qp + pmb.qp + 1) >> 1;
            filterEdge(f, luma + (dir == 0 ? edge * 4 : edge * 4 * ls), ls, dir == 0, bS, qpAv,
                       sp.alphaOffset, sp.betaOffset, false);
            if (edge & 1) continue;
            for (int c = 0; c < 2; ++c) {
                int qpc = (mb.qpc[c] + pmb.qpc[c] + 1) >> 1;
                filterEdge(f, chroma[c] + (dir == 0 ? edge * 2 : edge * 2 * cs), cs, dir == 0, bS, qpc,
                           sp.alphaOffset, sp.betaOffset, true);
            }
        }
    }
}

void SliceDecoder::scaleChromaDc(int c, const int32_t levels[4], bool intra, int qpc) {
    int32_t f[4] = {
        levels[0] + levels[1] + levels[2] + levels[3], levels[0] - levels[1] + levels[2] - levels[3],
        levels[0] + levels[1] - levels[2] - levels[3], levels[0] - levels[1] - levels[2] + levels[3]};
    int32_t s = levelScale4_[(intra ? 1 : 4) + c][qpc][0];
    for (int i = 0; i < 4; ++i)
        dcChroma_[c][i] = static_cast<int32_t>(
            std::clamp<int64_t>((static_cast<int64_t>(f[i]) * s) >> 5, -(1 << 20), 1 << 20));
}

} // namespace duoscope::h264
