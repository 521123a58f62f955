// Parsers for HEVC parameter sets and slice segment headers, covering what
// libx265 writes and what a two-layer MV-HEVC stream needs (VPS extension).
// Anything outside that (SCC/3D extensions, more than two layers) throws
// media::hevc::Error naming the field. Value types; no shared state.
#pragma once

#include "media/hevc/Bitstream.h"

#include <array>
#include <optional>

namespace media::hevc {

struct ProfileTierLevel {
    bool profilePresent = true;
    uint8_t profileSpace = 0;
    bool tierFlag = false;
    uint8_t profileIdc = 0;
    uint32_t compatibilityFlags = 0;
    uint64_t constraintFlags = 0; // the 48 bits after the compatibility flags
    uint8_t levelIdc = 0;
};

// Reads profile_tier_level(profilePresentFlag, maxSubLayersMinus1); sub-layer parts are skipped.
ProfileTierLevel parseProfileTierLevel(BitReader& r, bool profilePresent, int maxSubLayersMinus1);
void writeProfileTierLevel(BitWriter& w, const ProfileTierLevel& ptl); // maxSubLayersMinus1 == 0 only

struct ShortTermRps {
    std::vector<int32_t> deltaPoc; // negative pictures first (descending), then positive
    std::vector<bool> used;
    int numNegative = 0;
    int usedCount() const;
};

struct Sps {
    int vpsId = 0;
    int maxSubLayersMinus1 = 0;
    bool multiLayerExt = false; // compact layer>0 SPS (sps_ext_or_max_sub_layers_minus1 == 7)
    ProfileTierLevel ptl;
    size_t spsIdBitPos = 0; // RBSP bit position of sps_seq_parameter_set_id
    int spsId = 0;
    int chromaFormatIdc = 1;
    bool separateColourPlane = false;
    uint32_t width = 0, height = 0;
    bool conformanceWindow = false;
    std::array<uint32_t, 4> confWin{}; // left, right, top, bottom
    int bitDepthLuma = 8, bitDepthChroma = 8;
    int log2MaxPocLsb = 4;
    uint32_t maxDecPicBufferingMinus1 = 0, maxNumReorderPics = 0, maxLatencyIncreasePlus1 = 0;
    int log2MinCb = 3, log2Ctb = 4;
    bool sampleAdaptiveOffset = false;
    std::vector<ShortTermRps> stRps;
    bool longTermRefsPresent = false;
    uint32_t numLongTermRefPicsSps = 0;
    bool temporalMvp = false;

    int chromaArrayType() const { return separateColourPlane ? 0 : chromaFormatIdc; }
    uint32_t picSizeInCtbs() const;
    uint32_t displayWidth() const;
    uint32_t displayHeight() const;
};

struct Pps {
    int ppsId = 0;
    int spsId = 0;
    bool dependentSliceSegments = false;
    bool outputFlagPresent = false;
    int numExtraSliceHeaderBits = 0;
    bool cabacInitPresent = false;
    uint32_t numRefIdxL0DefaultMinus1 = 0, numRefIdxL1DefaultMinus1 = 0;
    bool sliceChromaQpOffsetsPresent = false;
    bool weightedPred = false, weightedBipred = false;
    bool tiles = false, entropyCodingSync = false;
    bool loopFilterAcrossSlices = false;
    bool deblockingOverrideEnabled = false;
    bool deblockingDisabled = false;
    bool listsModificationPresent = false;
    bool sliceHeaderExtensionPresent = false;
    bool chromaQpOffsetListEnabled = false;
};

// The RBSP of a parameter set or slice (NAL header excluded) is what the parsers take.
Sps parseSps(std::span<const uint8_t> rbsp, int nuhLayerId);
Pps parsePps(std::span<const uint8_t> rbsp);

enum SliceType { kSliceB = 0, kSliceP = 1, kSliceI = 2 };

struct SliceHeader {
    bool firstSliceInPic = false;
    bool noOutputOfPriorPics = false;
    uint32_t ppsId = 0;
    bool dependentSlice = false;
    uint32_t segmentAddress = 0;
    uint32_t sliceType = kSliceI;
    bool picOutput = true;
    bool pocLsbPresent = false;
    uint32_t pocLsb = 0;
    bool shortTermRpsSpsFlag = false;
    ShortTermRps rps;
    uint32_t numLongTerm = 0;
    bool temporalMvp = false;
    bool interLayerPredPresent = false;
    bool interLayerPred = false;
    bool saoLuma = false, saoChroma = false;
    uint32_t numRefIdxL0Minus1 = 0, numRefIdxL1Minus1 = 0;
    int32_t qpDelta = 0;
    uint32_t numEntryPoints = 0;
    std::vector<uint32_t> entryPointOffsetMinus1;

    // RBSP bit positions used by the layer rewriter.
    size_t ppsIdPos = 0, ppsIdEnd = 0;
    size_t pocLsbPos = 0;         // where slice_pic_order_cnt_lsb is or would be
    size_t interLayerFlagPos = 0; // where inter_layer_pred_enabled_flag is or would be
    size_t headerEndBits = 0;     // bits before byte_alignment()
    size_t dataOffset = 0;        // RBSP byte offset of slice_segment_data()
};

// What the slice header of a layer>0 NAL depends on from the VPS.
struct LayerContext {
    bool pocLsbNotPresent = false;
    bool interLayerFlagPresent = false; // !default_ref_layers_active && NumDirectRefLayers > 0
};

// rbsp is the unescaped NAL payload after the 2-byte header.
SliceHeader parseSliceHeader(std::span<const uint8_t> rbsp, int nalType, int nuhLayerId, const Sps& sps,
                             const Pps& pps, const LayerContext& layer = {});

// Video parameter set with the MV-HEVC extension (at most two layers).
struct RepFormat {
    uint32_t width = 0, height = 0;
    bool chromaAndBitDepthPresent = true;
    int chromaFormatIdc = 1;
    int bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
    bool conformanceWindow = false;
    std::array<uint32_t, 4> confWin{};
};

struct DpbSize {
    std::vector<uint32_t> maxDecPicBufferingMinus1; // per layer of the OLS
    uint32_t maxNumReorder = 0, maxLatencyIncreasePlus1 = 0;
};

struct VpsExtension {
    uint8_t baseLevelIdc = 0; // PTL(0) of the extension
    bool splitting = false;
    uint16_t scalabilityMask = 0; // bit 15 = scalability_mask_flag[0]
    std::vector<int> dimensionIdLenMinus1;
    bool nuhLayerIdPresent = false;
    int layerIdInNuh1 = 1;
    std::vector<uint32_t> dimensionId1;
    int viewIdLen = 0;
    std::vector<uint32_t> viewIdVal;
    bool directDependency10 = false;
    std::optional<uint32_t> numAddLayerSets;
    bool subLayersMaxMinus1Present = false;
    bool maxTidRefPresent = false;
    bool defaultRefLayersActive = false;
    uint32_t numProfileTierLevelMinus1 = 0;
    std::vector<ProfileTierLevel> ptls; // index 2.. (index 0/1 unused placeholders)
    uint32_t numAddOlss = 0;
    int defaultOutputLayerIdc = 0;
    std::vector<uint32_t> ptlIdxOls1;
    uint32_t numRepFormatsMinus1 = 0;
    RepFormat repFormat;
    bool maxOneActiveRefLayer = false;
    bool pocLsbAligned = false;
    std::optional<bool> pocLsbNotPresent1;
    DpbSize dpb;
    uint32_t directDepTypeLenMinus2 = 0;
    bool directDependencyAllLayers = false;
    uint32_t directDependencyAllLayersType = 0;
    uint32_t nonVuiExtensionLength = 0;
    bool vuiPresent = false;
};

struct Vps {
    int vpsId = 0;
    bool baseLayerInternal = true, baseLayerAvailable = true;
    int maxLayersMinus1 = 0;
    int maxSubLayersMinus1 = 0;
    bool temporalIdNesting = true;
    ProfileTierLevel ptl;
    uint32_t maxDecPicBufferingMinus1 = 0, maxNumReorderPics = 0, maxLatencyIncreasePlus1 = 0;
    int maxLayerId = 0;
    uint32_t numLayerSetsMinus1 = 0;
    std::vector<std::vector<bool>> layerIdIncluded; // [set][layer id]
    bool timingInfoPresent = false;
    bool extensionPresent = false;
    std::optional<VpsExtension> ext;

    LayerContext layer1Context() const;
};

Vps parseVps(std::span<const uint8_t> rbsp);

} // namespace media::hevc
