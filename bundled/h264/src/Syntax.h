// H.264 high-level syntax: NAL unit headers (with the MVC extension of types
// 14 and 20), sequence and picture parameter sets and slice headers, parsed
// from RBSP bytes into plain structs. Pure functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "BitReader.h"
#include "bitstream/NalTypes.h"

namespace duoscope::h264 {

// A stream feature this decoder does not implement; the message names it.
struct UnsupportedFeature : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Damaged or non-conforming syntax; the message says where.
struct BitstreamError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace h264nal = bitstream::h264::nal;

struct NalHeader {
    int refIdc = 0;
    int type = 0;
    // nal_unit_header_mvc_extension (types 14 and 20, svc_extension_flag 0)
    bool hasMvcExtension = false;
    bool nonIdr = true;
    int priorityId = 0;
    int viewId = 0;
    int temporalId = 0;
    bool anchorPic = false;
    bool interViewFlag = false;
};

// Splits off the NAL header (1 byte, or 4 for types 14/20) and removes
// emulation prevention bytes into rbsp. Returns false on a malformed header.
bool parseNalUnit(const uint8_t* data, size_t size, NalHeader& header, std::vector<uint8_t>& rbsp);

struct ScalingLists {
    // Row-major (raster) order, not zigzag.
    std::array<std::array<uint8_t, 16>, 6> list4x4{};
    std::array<std::array<uint8_t, 64>, 2> list8x8{};
};

struct Sps {
    bool isValid = false;
    int profileIdc = 0;
    int constraintFlags = 0;
    int levelIdc = 0;
    int id = 0;
    int chromaFormatIdc = 1;
    int bitDepthLuma = 8;
    int bitDepthChroma = 8;
    bool transformBypass = false;
    bool hasScalingMatrix = false;
    ScalingLists scaling;
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
    bool deltaPicOrderAlwaysZero = false;
    int offsetForNonRefPic = 0;
    int offsetForTopToBottomField = 0;
    std::vector<int> offsetForRefFrame;
    int maxNumRefFrames = 0;
    bool gapsInFrameNumAllowed = false;
    int widthMbs = 0;
    int heightMbs = 0; // frame height in macroblocks
    bool frameMbsOnly = true;
    bool mbAdaptiveFrameField = false;
    bool direct8x8Inference = false;
    int cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0; // in luma samples
    bool hasVui = false;
    bool hasBitstreamRestriction = false;
    int maxNumReorderFrames = -1;
    int maxDecFrameBuffering = -1;
    // seq_parameter_set_mvc_extension of a subset SPS (two views at most):
    // view_id by view order index, and the inter-view references of the
    // second view (view_ids) for anchor and non-anchor pictures, per list.
    int numViews = 1;
    int viewIds[2] = {0, 1};
    std::vector<int> anchorRefs[2], nonAnchorRefs[2];

    int width() const { return widthMbs * 16; }
    int height() const { return heightMbs * 16; }
    int croppedWidth() const { return width() - cropLeft - cropRight; }
    int croppedHeight() const { return height() - cropTop - cropBottom; }
    // DPB capacity in frames from the level limits (A.3.1) and the VUI; with
    // two views the level's buffer is shared by both views, and each view
    // gets its half.
    int dpbFrames(int viewsSharing = 1) const;
};

struct Pps {
    bool isValid = false;
    int id = 0;
    int spsId = 0;
    bool cabac = false;
    bool bottomFieldPicOrderInFramePresent = false;
    int numSliceGroups = 1;
    int numRefIdxL0DefaultActive = 1;
    int numRefIdxL1DefaultActive = 1;
    bool weightedPred = false;
    int weightedBipredIdc = 0;
    int picInitQp = 26;
    int chromaQpIndexOffset = 0;
    int secondChromaQpIndexOffset = 0;
    bool deblockingFilterControlPresent = false;
    bool constrainedIntraPred = false;
    bool redundantPicCntPresent = false;
    bool transform8x8Mode = false;
    ScalingLists scaling; // effective lists (SPS lists when the PPS has none)
};

// Parses an SPS (type 7) or the seq_parameter_set_data of a subset SPS.
// Throws UnsupportedFeature / BitstreamError.
Sps parseSps(BitReader& br);
// Parses a subset SPS (type 15): seq_parameter_set_data and, for the MVC
// profiles, the MVC extension. Throws UnsupportedFeature for more than two views.
Sps parseSubsetSps(BitReader& br);
Pps parsePps(BitReader& br, const std::array<Sps, 32>& spsTable);

struct RefPicModification {
    int idc;
    uint32_t value; // abs_diff_pic_num_minus1, long_term_pic_num or abs_diff_view_idx_minus1
};

struct Mmco {
    int op;
    uint32_t diffPicNumsMinus1 = 0;
    uint32_t longTermPicNum = 0;
    uint32_t longTermFrameIdx = 0;
    uint32_t maxLongTermFrameIdxPlus1 = 0;
};

struct PredWeight {
    int lumaWeight, lumaOffset;
    int chromaWeight[2], chromaOffset[2];
    bool lumaFlag, chromaFlag;
};

enum SliceType : int { kSliceP = 0, kSliceB = 1, kSliceI = 2, kSliceSP = 3, kSliceSI = 4 };

struct SliceHeader {
    int firstMb = 0;
    int sliceType = 0;
    int ppsId = 0;
    int frameNum = 0;
    bool isIdr = false;
    int nalRefIdc = 0;
    int idrPicId = 0;
    int pocLsb = 0;
    int deltaPocBottom = 0;
    int deltaPoc[2] = {0, 0};
    int redundantPicCnt = 0;
    bool directSpatialMvPred = false;
    int numRefIdxActive[2] = {0, 0};
    std::vector<RefPicModification> refPicModification[2];
    int lumaLog2WeightDenom = 0, chromaLog2WeightDenom = 0;
    std::vector<PredWeight> weights[2];
    bool noOutputOfPriorPics = false;
    bool longTermReference = false;
    bool adaptiveRefPicMarking = false;
    std::vector<Mmco> mmcos;
    int cabacInitIdc = 0;
    int qp = 26;
    int disableDeblocking = 0;
    int alphaOffset = 0; // slice_alpha_c0_offset_div2 * 2
    int betaOffset = 0;
    size_t headerBits = 0; // bit position of slice_data() in the RBSP
};

// Parses slice_header() of a slice (types 1, 5, 20). Throws on errors.
SliceHeader parseSliceHeader(BitReader& br, const NalHeader& nal, const std::array<Sps, 32>& spsTable,
                             const std::array<Pps, 256>& ppsTable, bool mvcSubset);

} // namespace duoscope::h264
