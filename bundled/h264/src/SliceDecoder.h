// Macroblock-level decoding of one picture: slice data parsing (CAVLC and
// CABAC), prediction, residual reconstruction and the deblocking filter.
// Internal to the decoder library; owned by Decoder, one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "BitReader.h"
#include "Cabac.h"
#include "Picture.h"
#include "Recon.h"
#include "Syntax.h"

namespace duoscope::h264 {

enum MbKind : uint8_t { kMbI4x4, kMbI8x8, kMbI16x16, kMbIPcm, kMbPSkip, kMbBSkip, kMbInter };

struct MbInfo {
    MbKind kind = kMbI4x4;
    bool isIntra = false;
    bool transform8x8 = false;
    bool isDirect16x16 = false; // B_Skip or B_Direct_16x16 (CABAC context)
    uint8_t cbp = 0;            // luma bits 0..3, chroma in bits 4..5
    int8_t qp = 0;
    int8_t qpc[2] = {0, 0};
    int8_t intraModes[16]; // raster 4x4 order; 2 (DC) for other macroblock kinds
    uint8_t chromaPredMode = 0;
    uint8_t totalCoeff[24]; // luma raster 4x4 (16), then Cb and Cr 2x2 raster (4 + 4)
    uint16_t nonZero = 0;   // luma 4x4 blocks with coefficients, for deblocking
    uint32_t codedBlockFlags =
        0;                  // CABAC: bit 0 luma DC, 1..2 chroma DC, 3.. luma 4x4 (16), 19.. chroma AC (8)
    uint8_t mvd[2][16][2];  // CABAC: |mvd| per 4x4, saturated
    uint8_t directMask = 0; // 8x8 blocks predicted in direct mode (CABAC ref_idx context)
};

// A macroblock before its syntax is read: DC intra modes (what neighbours of
// inter macroblocks predict from), no coefficients, no mvd. Copied rather than
// built, since it is reset for every macroblock.
inline constexpr MbInfo kFreshMb = [] {
    MbInfo mb{};
    for (auto& mode : mb.intraModes)
        mode = 2;
    return mb;
}();

struct SliceParams {
    int disableDeblocking;
    int alphaOffset, betaOffset;
    int chromaQpOffset[2];
};

class Decoder;

class SliceDecoder {
  public:
    void beginPicture(Picture* pic, const Sps& sps);
    // Decodes slice_data() from br (positioned after the header). Throws
    // BitstreamError on damage; macroblocks decoded so far stay valid.
    void decodeSlice(const SliceHeader& sh, const Sps& sps, const Pps& pps, BitReader& br,
                     std::vector<Picture*> refLists[2], int sliceIndex);
    // Fills every macroblock no slice reached from ref (or grey); returns how many.
    int concealMissing(const Picture* ref);
    // Filters the rows not yet filtered during decoding.
    void deblockPicture();
    int lastMb() const { return lastMb_; }

  private:
    struct Neighbour {
        bool available;
        int ref;
        int mv[2];
        int32_t refId;
    };

    // Slice-level state.
    void setupSlice(const SliceHeader& sh, const Sps& sps, const Pps& pps, std::vector<Picture*> refLists[2]);
    void decodeMacroblocks(const SliceHeader& sh, const Pps& pps, BitReader& br, int& mbAddr);
    void decodeMacroblockCavlc(BitReader& br, int mbAddr);
    void decodeMacroblockCabac(int mbAddr);
    void decodeSkip(int mbAddr);
    void readResidualCavlc(BitReader& br, int mbAddr);
    void readResidualCabac(int mbAddr);
    int cbfNeighbourInc(int mbAddr, int bitA, int mbA, int bitB, int mbB) const;
    int cabacIntraMbType(int ctxBase, bool prefixFromNeighbours, int mbAddr);
    int cabacRefIdx(int mbAddr, int list, int x, int y);
    int cabacMvd(int mbAddr, int list, int comp, int x, int y);
    void reconstruct(int mbAddr);
    void setupIntraModes(int mbAddr, const int* prevFlag, const int* remMode);
    void computeMotion(int mbAddr);
    void predictInter(int mbAddr);
    void predictBlock(int mbAddr, int x, int y, int w, int h);
    void directPrediction(int mbAddr, int part8x8, bool wholeMb);
    void spatialDirectRefs(int mbAddr, int refs[2], int mvp[2][2]);
    struct MvNeighbours {
        Neighbour a, b, c;
    };
    MvNeighbours mvNeighbours(int mbAddr, int list, int x, int y, int w) const;
    MvNeighbours macroblockNeighbours(int mbAddr, int list) const;
    static void predictMv(const MvNeighbours& n, int ref, int x, int y, int w, int h, int out[2]);
    void mvPrediction(int mbAddr, int list, int ref, int x, int y, int w, int h, int out[2]);
    Neighbour neighbour(int mbAddr, int list, int xN, int yN) const;
    int neighbourMb(int mbAddr, int xN, int yN, int& xW, int& yW) const;
    bool isMbAvailable(int mbAddr, int other) const;
    bool isIntraAvailable(int mbAddr, int other) const;
    void dequantAndStore(int mbAddr);
    int nCForBlock(int mbAddr, int blkX, int blkY, int plane) const;
    void intraEdge(int mbAddr, int plane, int x, int y, int n, bool isNxN, IntraEdge& e) const;
    void computeQpc(MbInfo& mb);
    void deblockMb(int mbAddr);
    void deblockRow(int row);
    void macroblockDecoded(int mbAddr);
    // An inter-view reference counts as short-term whatever its own view marks
    // it (and that marking may change on another thread meanwhile).
    bool longTerm(const Picture* p) const { return p->isLongRef && p->viewIndex == pic_->viewIndex; }
    // Macroblock column and row; the current macroblock's without a division.
    void setCurrentMb(int mbAddr) {
        curMb_ = mbAddr;
        curMbX_ = mbAddr % widthMbs_;
        curMbY_ = mbAddr / widthMbs_;
    }
    int mbXOf(int mbAddr) const { return mbAddr == curMb_ ? curMbX_ : mbAddr % widthMbs_; }
    int mbYOf(int mbAddr) const { return mbAddr == curMb_ ? curMbY_ : mbAddr / widthMbs_; }

    friend class Decoder;

  public:
    Picture* pic_ = nullptr;
    // Per macroblock; only the slice index is reset for a new picture (the rest
    // is written when the macroblock is decoded and read only once it is), so
    // a picture starts without writing its megabyte of macroblock state.
    std::vector<MbInfo> mbs_;
    std::vector<int32_t> mbSlice_; // index into sliceParams_, -1 = not decoded
    std::vector<SliceParams> sliceParams_;

  private:
    int widthMbs_ = 0, heightMbs_ = 0;
    int curMb_ = -1, curMbX_ = 0, curMbY_ = 0;
    std::vector<uint8_t> uniformMotion_; // per macroblock, filled as deblocking passes it
    int lastMb_ = -1;
    int decodedPrefix_ = 0; // macroblocks 0 .. decodedPrefix_ - 1 are all decoded
    int deblockedRows_ = 0;

    // Current slice.
    const SliceHeader* sh_ = nullptr;
    const Sps* sps_ = nullptr;
    const Pps* pps_ = nullptr;
    std::vector<Picture*>* refLists_ = nullptr;
    int sliceIndex_ = 0;
    int sliceType_ = 0;
    int qp_ = 0;
    int lastQpDelta_ = 0;
    bool directSpatial_ = false;
    int32_t levelScale4_[6][52][16]; // per list, qP, raster position
    int32_t levelScale8_[2][52][64];
    ScalingLists scaledWith_; // the matrices levelScale4_/8_ were made from
    bool hasScales_ = false;
    int pocDistanceScale_[32];   // temporal direct DistScaleFactor per refIdxL0
    int implicitWeight_[32][32]; // implicit w0 for [ref0][ref1] (w1 = 64 - w0)
    bool useImplicit_ = false;
    bool useExplicit_ = false;
    const std::vector<MbMotion>* colocatedMotion_ = nullptr; // RefPicList1[0]'s, in B slices

    // Current macroblock.
    int mbType_ = 0; // mb_type as coded, normalised to the P/B table; intra types separately
    int subTypes_[4] = {0, 0, 0, 0};
    int refIdx_[2][4];
    int mvd_[2][16][2]; // per 4x4 raster of the partition's top-left... stored per partition
    bool transform8x8_ = false;
    int intra16Mode_ = 0;
    int32_t coef_[16][16]; // luma 4x4 blocks (raster block index), raster coefficients
    int32_t coef8_[4][64]; // luma 8x8 blocks
    int32_t dcLuma_[16];
    int32_t dcChroma_[2][4];
    int32_t coefChroma_[2][4][16];
    bool hasDcLuma_ = false;
    uint8_t pcm_[384];
    bool filled_[16]; // 4x4 blocks of the current MB whose motion is known
    bool directRefsValid_ = false;
    int directRefs_[2] = {0, 0};
    int directMvp_[2][2] = {{0, 0}, {0, 0}};

    // Chroma DC of component c: 2x2 inverse transform and scaling (H.264 8.5.11), the same
    // for both entropy coders.
    void scaleChromaDc(int c, const int32_t levels[4], bool intra, int qpc);

  public:
    bool missingDirectRef_ = false;
    bool missingReference_ = false;

  private:
    CabacDecoder cabac_;
    const uint8_t* cabacData_ = nullptr;
    size_t cabacSize_ = 0;
    int curRef_[2][4];
};

} // namespace duoscope::h264
