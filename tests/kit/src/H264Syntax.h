// H.264 syntax structures the kit reads and writes: sequence parameter set
// data with VUI/HRD (7.3.2.1.1, E.1), the subset SPS with its MVC extension
// (7.3.2.1.3, H.7.3.2.1.4), the MVC NAL header extension (H.7.3.1.1), and the
// first slice-header fields. Plain values; any thread.
#pragma once

#include "H264Bits.h"

#include <array>
#include <optional>

namespace kit {

struct HrdParameters {
    uint32_t bitRateScale = 0, cpbSizeScale = 0;
    struct Cpb {
        uint32_t bitRateValueMinus1 = 0, cpbSizeValueMinus1 = 0;
        bool cbr = false;
        bool operator==(const Cpb&) const = default;
    };
    std::vector<Cpb> cpbs{Cpb{}};
    uint32_t initialCpbRemovalDelayLengthMinus1 = 23, cpbRemovalDelayLengthMinus1 = 23,
             dpbOutputDelayLengthMinus1 = 23, timeOffsetLength = 24;
    bool operator==(const HrdParameters&) const = default;
};

struct VuiParameters {
    bool aspectRatioInfoPresent = false;
    uint32_t aspectRatioIdc = 0, sarWidth = 0, sarHeight = 0;
    bool overscanInfoPresent = false, overscanAppropriate = false;
    bool videoSignalTypePresent = false;
    uint32_t videoFormat = 5;
    bool videoFullRange = false, colourDescriptionPresent = false;
    uint32_t colourPrimaries = 2, transferCharacteristics = 2, matrixCoefficients = 2;
    bool chromaLocInfoPresent = false;
    uint32_t chromaSampleLocTop = 0, chromaSampleLocBottom = 0;
    bool timingInfoPresent = false;
    uint32_t numUnitsInTick = 0, timeScale = 0;
    bool fixedFrameRate = false;
    std::optional<HrdParameters> nalHrd, vclHrd;
    bool lowDelayHrd = false;
    bool picStructPresent = false;
    bool bitstreamRestriction = false;
    bool motionVectorsOverPicBoundaries = true;
    uint32_t maxBytesPerPicDenom = 0, maxBitsPerMbDenom = 0, log2MaxMvLengthHorizontal = 0,
             log2MaxMvLengthVertical = 0, maxNumReorderFrames = 0, maxDecFrameBuffering = 0;
    bool operator==(const VuiParameters&) const = default;
};

// seq_parameter_set_data(). Scaling lists are kept as their coded
// delta_scale values so that a parse/write round trip is bit exact.
struct SpsData {
    uint32_t profileIdc = 0;
    uint32_t constraintFlags = 0; // constraint_set0..5 + reserved_zero_2bits, as coded (8 bits)
    uint32_t levelIdc = 0;
    uint32_t spsId = 0;
    uint32_t chromaFormatIdc = 1;
    bool separateColourPlane = false;
    uint32_t bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
    bool qpprimeYZeroTransformBypass = false;
    bool seqScalingMatrixPresent = false;
    std::vector<std::optional<std::vector<int32_t>>> scalingLists; // per list: deltas, or absent
    uint32_t log2MaxFrameNumMinus4 = 0;
    uint32_t picOrderCntType = 0;
    uint32_t log2MaxPicOrderCntLsbMinus4 = 0;
    bool deltaPicOrderAlwaysZero = false;
    int32_t offsetForNonRefPic = 0, offsetForTopToBottomField = 0;
    std::vector<int32_t> offsetForRefFrame;
    uint32_t maxNumRefFrames = 0;
    bool gapsInFrameNumAllowed = false;
    uint32_t picWidthInMbsMinus1 = 0, picHeightInMapUnitsMinus1 = 0;
    bool frameMbsOnly = true, mbAdaptiveFrameField = false;
    bool direct8x8Inference = true;
    bool frameCropping = false;
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    std::optional<VuiParameters> vui;

    bool hasChromaInfo() const; // profile_idc carries chroma_format_idc etc.
    bool operator==(const SpsData&) const = default;
};

struct MvcExtension {
    std::vector<uint32_t> viewIds; // view_id[i], i = view order index
    struct ViewRefs {
        std::vector<uint32_t> anchorL0, anchorL1, nonAnchorL0, nonAnchorL1;
        bool operator==(const ViewRefs&) const = default;
    };
    std::vector<ViewRefs> refs; // for view order index 1..num_views_minus1
    struct Operation {
        uint32_t temporalId = 0;
        std::vector<uint32_t> targetViewIds;
        uint32_t numViewsMinus1 = 0;
        bool operator==(const Operation&) const = default;
    };
    struct LevelValue {
        uint32_t levelIdc = 0;
        std::vector<Operation> operations;
        bool operator==(const LevelValue&) const = default;
    };
    std::vector<LevelValue> levels;
    bool operator==(const MvcExtension&) const = default;
};

// mvc_vui_parameters_extension() (H.14.1), one entry per operation point.
struct MvcVuiOperation {
    uint32_t temporalId = 0;
    std::vector<uint32_t> targetOutputViewIds;
    bool timingInfoPresent = false;
    uint32_t numUnitsInTick = 0, timeScale = 0;
    bool fixedFrameRate = false;
    std::optional<HrdParameters> nalHrd, vclHrd;
    bool lowDelayHrd = false, picStructPresent = false;
    bool operator==(const MvcVuiOperation&) const = default;
};

struct SubsetSps {
    SpsData sps;
    MvcExtension mvc;
    std::optional<std::vector<MvcVuiOperation>> mvcVui;
    bool operator==(const SubsetSps&) const = default;
};

// Parse/write RBSPs (no NAL header byte, no emulation prevention).
SpsData parseSpsRbsp(std::span<const uint8_t> rbsp);
Bytes writeSpsRbsp(const SpsData& sps);
SubsetSps parseSubsetSpsRbsp(std::span<const uint8_t> rbsp);
Bytes writeSubsetSpsRbsp(const SubsetSps& subset);

// Whole NAL units (header byte + escaped payload).
SpsData parseSpsNal(std::span<const uint8_t> nal);
SubsetSps parseSubsetSpsNal(std::span<const uint8_t> nal);
Bytes makeSubsetSpsNal(const SubsetSps& subset);

// The stereo composition: the right eye's SPS becomes view 1 of a two-view
// Stereo High subset SPS whose anchor and non-anchor list 0 name view 0.
SubsetSps stereoSubsetSps(const SpsData& dependentViewSps);

struct MvcNalHeader {
    int nalRefIdc = 0;
    bool nonIdr = true;
    uint32_t priorityId = 0, viewId = 0, temporalId = 0;
    bool anchorPic = false, interView = false;
    bool operator==(const MvcNalHeader&) const = default;
};

// The 4 header bytes of a coded slice extension (type 20) NAL unit.
std::array<uint8_t, 4> encodeSliceExtensionHeader(const MvcNalHeader& header);
MvcNalHeader decodeSliceExtensionHeader(std::span<const uint8_t> nal);

struct PpsIds {
    uint32_t ppsId = 0, spsId = 0;
};
PpsIds parsePpsIds(std::span<const uint8_t> nal);

// Slice header fields up to pic_order_cnt_lsb (7.3.3).
struct SliceHeaderStart {
    uint32_t firstMbInSlice = 0, sliceType = 0, ppsId = 0, frameNum = 0, idrPicId = 0, picOrderCntLsb = 0;
    bool isIdr = false;
    char sliceLetter() const; // 'P', 'B', 'I', 'p' (SP), 'i' (SI)
};
// `nal` is a slice NAL (type 1, 5 or 20); `sps` the SPS its PPS names.
SliceHeaderStart parseSliceHeaderStart(std::span<const uint8_t> nal, const SpsData& sps);

} // namespace kit
