#include "Syntax.h"

#include "bitstream/Rbsp.h"

#include <algorithm>
#include <cstring>

#include "Tables.h"

namespace duoscope::h264 {

bool parseNalUnit(const uint8_t* data, size_t size, NalHeader& header, std::vector<uint8_t>& rbsp) {
    if (size < 1 || (data[0] & 0x80)) return false;
    header = NalHeader{};
    header.refIdc = (data[0] >> 5) & 3;
    header.type = data[0] & 31;
    size_t headerBytes = 1;
    if (header.type == h264nal::prefix || header.type == h264nal::sliceExtension) {
        if (size < 4) return false;
        bool svcExtension = data[1] & 0x80;
        if (!svcExtension) {
            // H.264 H.7.3.1.1 nal_unit_header_mvc_extension()
            uint32_t bits = (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
            header.hasMvcExtension = true;
            header.nonIdr = (bits >> 22) & 1;
            header.priorityId = (bits >> 16) & 63;
            header.viewId = (bits >> 6) & 1023;
            header.temporalId = (bits >> 3) & 7;
            header.anchorPic = (bits >> 2) & 1;
            header.interViewFlag = (bits >> 1) & 1;
        }
        headerBytes = 4;
    }
    bitstream::unescapeRbsp({data + headerBytes, size - headerBytes}, rbsp);
    return true;
}

namespace {

uint32_t ueMax(BitReader& br, uint32_t max, const char* what) {
    uint32_t v = br.ue();
    if (v > max || br.hasError()) throw BitstreamError(std::string("invalid ") + what);
    return v;
}

int seRange(BitReader& br, int lo, int hi, const char* what) {
    int v = br.se();
    if (v < lo || v > hi || br.hasError()) throw BitstreamError(std::string("invalid ") + what);
    return v;
}

// H.264 7.3.2.1.1.1; returns false when the default list is to be used.
template <size_t N> bool readScalingList(BitReader& br, std::array<uint8_t, N>& zigzagList) {
    int last = 8, next = 8;
    for (size_t j = 0; j < N; ++j) {
        if (next != 0) {
            int delta = seRange(br, -128, 127, "delta_scale");
            next = (last + delta + 256) % 256;
            if (j == 0 && next == 0) return false;
        }
        zigzagList[j] = static_cast<uint8_t>(next == 0 ? last : next);
        last = zigzagList[j];
    }
    return true;
}

template <size_t N> std::array<uint8_t, N> toRaster(const uint8_t* zigzag) {
    std::array<uint8_t, N> out{};
    for (size_t k = 0; k < N; ++k)
        out[N == 16 ? kZigzag4x4[k] : kZigzag8x8[k]] = zigzag[k];
    return out;
}

// Reads the scaling lists of an SPS or PPS. fallback gives, for fall-back rule B,
// the SPS lists; nullptr selects rule A (defaults).
void readScalingMatrix(BitReader& br, int count8x8, ScalingLists& out, const ScalingLists* fallback) {
    for (int i = 0; i < 6; ++i) {
        std::array<uint8_t, 16> zz{};
        bool present = br.flag();
        const uint8_t* deflt = i < 3 ? kDefault4x4Intra : kDefault4x4Inter;
        if (present) {
            if (readScalingList(br, zz))
                out.list4x4[i] = toRaster<16>(zz.data());
            else
                out.list4x4[i] = toRaster<16>(deflt);
        } else if (i == 0 || i == 3) {
            out.list4x4[i] = fallback ? fallback->list4x4[i] : toRaster<16>(deflt);
        } else {
            out.list4x4[i] = out.list4x4[i - 1];
        }
    }
    for (int i = 0; i < 2; ++i) {
        const uint8_t* deflt = i == 0 ? kDefault8x8Intra : kDefault8x8Inter;
        bool present = i < count8x8 && br.flag();
        std::array<uint8_t, 64> zz{};
        if (present && readScalingList(br, zz))
            out.list8x8[i] = toRaster<64>(zz.data());
        else if (present || !fallback)
            out.list8x8[i] = toRaster<64>(deflt);
        else
            out.list8x8[i] = fallback->list8x8[i];
    }
}

ScalingLists flatLists() {
    ScalingLists s;
    for (auto& l : s.list4x4)
        l.fill(16);
    for (auto& l : s.list8x8)
        l.fill(16);
    return s;
}

void skipHrd(BitReader& br) {
    uint32_t count = ueMax(br, 31, "cpb_cnt_minus1") + 1;
    br.skip(8);
    for (uint32_t i = 0; i < count; ++i) {
        br.ue();
        br.ue();
        br.skip(1);
    }
    br.skip(20);
}

void parseVui(BitReader& br, Sps& sps) {
    if (br.flag()) {
        if (br.u(8) == 255) br.skip(32);
    }
    if (br.flag()) br.skip(1);
    if (br.flag()) {
        br.skip(4);
        if (br.flag()) br.skip(24);
    }
    if (br.flag()) {
        br.ue();
        br.ue();
    }
    if (br.flag()) {
        br.skip(32);
        br.skip(32);
        br.skip(1);
    }
    bool nalHrd = br.flag();
    if (nalHrd) skipHrd(br);
    bool vclHrd = br.flag();
    if (vclHrd) skipHrd(br);
    if (nalHrd || vclHrd) br.skip(1);
    br.skip(1); // pic_struct_present_flag
    sps.hasBitstreamRestriction = br.flag();
    if (sps.hasBitstreamRestriction) {
        br.skip(1);
        br.ue();
        br.ue();
        br.ue();
        br.ue();
        sps.maxNumReorderFrames = static_cast<int>(br.ue());
        sps.maxDecFrameBuffering = static_cast<int>(br.ue());
        if (br.hasError() || sps.maxNumReorderFrames > 16 || sps.maxDecFrameBuffering > 16) {
            // A damaged restriction block is only a hint: fall back to the level limits.
            sps.hasBitstreamRestriction = false;
            sps.maxNumReorderFrames = sps.maxDecFrameBuffering = -1;
        }
    }
}

} // namespace

int Sps::dpbFrames(int viewsSharing) const {
    struct LevelLimit {
        int level;
        int maxDpbMbs;
    };
    static constexpr LevelLimit limits[] = {
        {9, 396},     {10, 396},    {11, 900},    {12, 2376},   {13, 2376},   {20, 2376},  {21, 4752},
        {22, 8100},   {30, 8100},   {31, 18000},  {32, 20480},  {40, 32768},  {41, 32768}, {42, 34816},
        {50, 110400}, {51, 184320}, {52, 184320}, {60, 696320}, {61, 696320}, {62, 696320}};
    int maxDpbMbs = 696320;
    for (const auto& l : limits)
        if (l.level == levelIdc) maxDpbMbs = l.maxDpbMbs;
    // Annex H level limits: two views share twice the level's buffer, at most 16 view components.
    int frames = viewsSharing > 1 ? std::clamp(maxDpbMbs * 2 / std::max(1, widthMbs * heightMbs), 1, 16) / 2
                                  : std::clamp(maxDpbMbs / std::max(1, widthMbs * heightMbs), 1, 16);
    if (maxDecFrameBuffering >= 0) frames = std::max(1, maxDecFrameBuffering);
    return std::clamp(std::max(frames, maxNumRefFrames), 1, 16);
}

Sps parseSps(BitReader& br) {
    Sps sps;
    sps.profileIdc = static_cast<int>(br.u(8));
    sps.constraintFlags = static_cast<int>(br.u(8));
    sps.levelIdc = static_cast<int>(br.u(8));
    sps.id = static_cast<int>(ueMax(br, 31, "seq_parameter_set_id"));
    sps.scaling = flatLists();
    static constexpr int highProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(highProfiles), std::end(highProfiles), sps.profileIdc) !=
        std::end(highProfiles)) {
        sps.chromaFormatIdc = static_cast<int>(ueMax(br, 3, "chroma_format_idc"));
        if (sps.chromaFormatIdc == 3) br.skip(1);
        sps.bitDepthLuma = static_cast<int>(ueMax(br, 6, "bit_depth_luma_minus8")) + 8;
        sps.bitDepthChroma = static_cast<int>(ueMax(br, 6, "bit_depth_chroma_minus8")) + 8;
        sps.transformBypass = br.flag();
        sps.hasScalingMatrix = br.flag();
        if (sps.hasScalingMatrix)
            readScalingMatrix(br, sps.chromaFormatIdc == 3 ? 6 : 2, sps.scaling, nullptr);
        if (sps.chromaFormatIdc == 3 && sps.hasScalingMatrix) {
            // Lists 8..11 only exist for 4:4:4, which is rejected below.
        }
    }
    if (sps.chromaFormatIdc != 1)
        throw UnsupportedFeature(sps.chromaFormatIdc == 0   ? "monochrome (4:0:0) video"
                                 : sps.chromaFormatIdc == 2 ? "4:2:2 chroma format"
                                                            : "4:4:4 chroma format");
    if (sps.bitDepthLuma != 8 || sps.bitDepthChroma != 8)
        throw UnsupportedFeature("bit depth above 8 (" + std::to_string(sps.bitDepthLuma) + " bits)");
    if (sps.transformBypass) throw UnsupportedFeature("lossless (qpprime_y_zero_transform_bypass) coding");
    sps.log2MaxFrameNum = static_cast<int>(ueMax(br, 12, "log2_max_frame_num_minus4")) + 4;
    sps.pocType = static_cast<int>(ueMax(br, 2, "pic_order_cnt_type"));
    if (sps.pocType == 0) {
        sps.log2MaxPocLsb = static_cast<int>(ueMax(br, 12, "log2_max_pic_order_cnt_lsb_minus4")) + 4;
    } else if (sps.pocType == 1) {
        sps.deltaPicOrderAlwaysZero = br.flag();
        sps.offsetForNonRefPic = br.se();
        sps.offsetForTopToBottomField = br.se();
        uint32_t n = ueMax(br, 255, "num_ref_frames_in_pic_order_cnt_cycle");
        for (uint32_t i = 0; i < n; ++i)
            sps.offsetForRefFrame.push_back(br.se());
    }
    sps.maxNumRefFrames = static_cast<int>(ueMax(br, 16, "max_num_ref_frames"));
    sps.gapsInFrameNumAllowed = br.flag();
    sps.widthMbs = static_cast<int>(ueMax(br, 1023, "pic_width_in_mbs_minus1")) + 1;
    int mapUnits = static_cast<int>(ueMax(br, 1023, "pic_height_in_map_units_minus1")) + 1;
    sps.frameMbsOnly = br.flag();
    sps.heightMbs = sps.frameMbsOnly ? mapUnits : mapUnits * 2;
    if (!sps.frameMbsOnly) sps.mbAdaptiveFrameField = br.flag();
    sps.direct8x8Inference = br.flag();
    if (br.flag()) {
        int unitY = sps.frameMbsOnly ? 2 : 4;
        sps.cropLeft = static_cast<int>(ueMax(br, 8192, "frame_crop_left_offset")) * 2;
        sps.cropRight = static_cast<int>(ueMax(br, 8192, "frame_crop_right_offset")) * 2;
        sps.cropTop = static_cast<int>(ueMax(br, 8192, "frame_crop_top_offset")) * unitY;
        sps.cropBottom = static_cast<int>(ueMax(br, 8192, "frame_crop_bottom_offset")) * unitY;
        if (sps.cropLeft + sps.cropRight >= sps.width() || sps.cropTop + sps.cropBottom >= sps.height())
            throw BitstreamError("frame cropping larger than the picture");
    }
    if (br.hasError()) throw BitstreamError("truncated sequence parameter set");
    sps.hasVui = br.flag();
    if (sps.hasVui) parseVui(br, sps);
    if (static_cast<int64_t>(sps.widthMbs) * sps.heightMbs > 139264)
        throw UnsupportedFeature("picture size above level 6.2 limits");
    sps.isValid = true;
    return sps;
}

Sps parseSubsetSps(BitReader& br) {
    Sps sps = parseSps(br);
    if (sps.profileIdc != 118 && sps.profileIdc != 128 && sps.profileIdc != 134) return sps;
    br.skip(1); // bit_equal_to_one
    // seq_parameter_set_mvc_extension (Annex H)
    int numViews = static_cast<int>(ueMax(br, 1023, "num_views_minus1")) + 1;
    if (numViews > 2)
        throw UnsupportedFeature("more than two views (" + std::to_string(numViews) +
                                 "); only stereo (two-view) MVC is decoded");
    sps.numViews = numViews;
    for (int i = 0; i < numViews; ++i)
        sps.viewIds[i] = static_cast<int>(ueMax(br, 1023, "view_id"));
    if (numViews == 2 && sps.viewIds[0] == sps.viewIds[1]) throw BitstreamError("two views with one view_id");
    auto readRefs = [&](std::vector<int>& refs) {
        uint32_t n = ueMax(br, 15, "number of inter-view references");
        for (uint32_t j = 0; j < n; ++j)
            refs.push_back(static_cast<int>(ueMax(br, 1023, "inter-view reference view_id")));
    };
    if (numViews == 2) {
        readRefs(sps.anchorRefs[0]);
        readRefs(sps.anchorRefs[1]);
        readRefs(sps.nonAnchorRefs[0]);
        readRefs(sps.nonAnchorRefs[1]);
    }
    // Level values and operation points follow; nothing in them is needed to
    // decode (their levels are unreliable in real streams), nor the MVC VUI.
    if (br.hasError()) throw BitstreamError("truncated subset sequence parameter set");
    return sps;
}

Pps parsePps(BitReader& br, const std::array<Sps, 32>& spsTable) {
    Pps pps;
    pps.id = static_cast<int>(ueMax(br, 255, "pic_parameter_set_id"));
    pps.spsId = static_cast<int>(ueMax(br, 31, "seq_parameter_set_id"));
    const Sps& sps = spsTable[static_cast<size_t>(pps.spsId)];
    if (!sps.isValid) throw BitstreamError("picture parameter set refers to a missing SPS");
    pps.cabac = br.flag();
    pps.bottomFieldPicOrderInFramePresent = br.flag();
    pps.numSliceGroups = static_cast<int>(ueMax(br, 7, "num_slice_groups_minus1")) + 1;
    if (pps.numSliceGroups > 1) throw UnsupportedFeature("flexible macroblock ordering (slice groups)");
    pps.numRefIdxL0DefaultActive =
        static_cast<int>(ueMax(br, 31, "num_ref_idx_l0_default_active_minus1")) + 1;
    pps.numRefIdxL1DefaultActive =
        static_cast<int>(ueMax(br, 31, "num_ref_idx_l1_default_active_minus1")) + 1;
    pps.weightedPred = br.flag();
    pps.weightedBipredIdc = static_cast<int>(br.u(2));
    if (pps.weightedBipredIdc == 3) throw BitstreamError("invalid weighted_bipred_idc");
    pps.picInitQp = 26 + seRange(br, -26, 25, "pic_init_qp_minus26");
    br.se();
    pps.chromaQpIndexOffset = seRange(br, -12, 12, "chroma_qp_index_offset");
    pps.deblockingFilterControlPresent = br.flag();
    pps.constrainedIntraPred = br.flag();
    pps.redundantPicCntPresent = br.flag();
    pps.secondChromaQpIndexOffset = pps.chromaQpIndexOffset;
    pps.scaling = sps.scaling;
    if (br.hasError()) throw BitstreamError("truncated picture parameter set");
    if (br.moreRbspData()) {
        pps.transform8x8Mode = br.flag();
        if (br.flag()) {
            // Fall-back rule B applies only when the SPS carried a matrix; otherwise rule A.
            ScalingLists fromSps = sps.scaling;
            readScalingMatrix(br, pps.transform8x8Mode ? 2 : 0, pps.scaling,
                              sps.hasScalingMatrix ? &fromSps : nullptr);
        }
        pps.secondChromaQpIndexOffset = seRange(br, -12, 12, "second_chroma_qp_index_offset");
    }
    if (br.hasError()) throw BitstreamError("truncated picture parameter set");
    pps.isValid = true;
    return pps;
}

namespace {

void readModifications(BitReader& br, std::vector<RefPicModification>& out, bool mvc) {
    if (!br.flag()) return;
    for (int n = 0; n < 66; ++n) {
        int idc = static_cast<int>(br.ue());
        if (idc == 3) return;
        if (idc > 5 || (!mvc && idc > 2) || br.hasError())
            throw BitstreamError("invalid modification_of_pic_nums_idc");
        out.push_back({idc, br.ue()});
    }
    throw BitstreamError("too many reference list modifications");
}

void readWeights(BitReader& br, int count, std::vector<PredWeight>& out, int lumaDenom, int chromaDenom) {
    out.resize(static_cast<size_t>(count));
    for (auto& w : out) {
        w.lumaFlag = br.flag();
        w.lumaWeight = 1 << lumaDenom;
        w.lumaOffset = 0;
        if (w.lumaFlag) {
            w.lumaWeight = seRange(br, -128, 127, "luma_weight");
            w.lumaOffset = seRange(br, -128, 127, "luma_offset");
        }
        w.chromaFlag = br.flag();
        for (int c = 0; c < 2; ++c) {
            w.chromaWeight[c] = 1 << chromaDenom;
            w.chromaOffset[c] = 0;
            if (w.chromaFlag) {
                w.chromaWeight[c] = seRange(br, -128, 127, "chroma_weight");
                w.chromaOffset[c] = seRange(br, -128, 127, "chroma_offset");
            }
        }
    }
}

} // namespace

SliceHeader parseSliceHeader(BitReader& br, const NalHeader& nal, const std::array<Sps, 32>& spsTable,
                             const std::array<Pps, 256>& ppsTable, bool mvcSubset) {
    SliceHeader sh;
    sh.nalRefIdc = nal.refIdc;
    sh.isIdr = nal.type == h264nal::idrSlice || (nal.type == h264nal::sliceExtension && !nal.nonIdr);
    sh.firstMb = static_cast<int>(ueMax(br, 139264, "first_mb_in_slice"));
    uint32_t type = ueMax(br, 9, "slice_type");
    sh.sliceType = static_cast<int>(type % 5);
    if (sh.sliceType == kSliceSP || sh.sliceType == kSliceSI) throw UnsupportedFeature("SP/SI slices");
    sh.ppsId = static_cast<int>(ueMax(br, 255, "pic_parameter_set_id"));
    const Pps& pps = ppsTable[static_cast<size_t>(sh.ppsId)];
    if (!pps.isValid) throw BitstreamError("slice refers to a missing PPS " + std::to_string(sh.ppsId));
    const Sps& sps = spsTable[static_cast<size_t>(pps.spsId)];
    if (!sps.isValid) throw BitstreamError("slice refers to a missing SPS");
    sh.frameNum = static_cast<int>(br.u(sps.log2MaxFrameNum));
    if (!sps.frameMbsOnly) {
        if (br.flag()) throw UnsupportedFeature("field pictures (interlaced coding)");
    }
    if (sps.mbAdaptiveFrameField) throw UnsupportedFeature("MBAFF (macroblock-adaptive frame/field coding)");
    if (sh.isIdr) sh.idrPicId = static_cast<int>(ueMax(br, 65535, "idr_pic_id"));
    if (sps.pocType == 0) {
        sh.pocLsb = static_cast<int>(br.u(sps.log2MaxPocLsb));
        if (pps.bottomFieldPicOrderInFramePresent) sh.deltaPocBottom = br.se();
    } else if (sps.pocType == 1 && !sps.deltaPicOrderAlwaysZero) {
        sh.deltaPoc[0] = br.se();
        if (pps.bottomFieldPicOrderInFramePresent) sh.deltaPoc[1] = br.se();
    }
    if (pps.redundantPicCntPresent)
        sh.redundantPicCnt = static_cast<int>(ueMax(br, 127, "redundant_pic_cnt"));
    if (sh.sliceType == kSliceB) sh.directSpatialMvPred = br.flag();
    if (sh.sliceType != kSliceI) {
        sh.numRefIdxActive[0] = pps.numRefIdxL0DefaultActive;
        sh.numRefIdxActive[1] = sh.sliceType == kSliceB ? pps.numRefIdxL1DefaultActive : 0;
        if (br.flag()) {
            sh.numRefIdxActive[0] = static_cast<int>(ueMax(br, 31, "num_ref_idx_l0_active_minus1")) + 1;
            if (sh.sliceType == kSliceB)
                sh.numRefIdxActive[1] = static_cast<int>(ueMax(br, 31, "num_ref_idx_l1_active_minus1")) + 1;
        }
        if (sh.numRefIdxActive[0] > 32 || sh.numRefIdxActive[1] > 32)
            throw BitstreamError("num_ref_idx_active above 32");
        readModifications(br, sh.refPicModification[0], mvcSubset);
        if (sh.sliceType == kSliceB) readModifications(br, sh.refPicModification[1], mvcSubset);
    }
    if ((pps.weightedPred && sh.sliceType == kSliceP) ||
        (pps.weightedBipredIdc == 1 && sh.sliceType == kSliceB)) {
        sh.lumaLog2WeightDenom = static_cast<int>(ueMax(br, 7, "luma_log2_weight_denom"));
        sh.chromaLog2WeightDenom = static_cast<int>(ueMax(br, 7, "chroma_log2_weight_denom"));
        readWeights(br, sh.numRefIdxActive[0], sh.weights[0], sh.lumaLog2WeightDenom,
                    sh.chromaLog2WeightDenom);
        if (sh.sliceType == kSliceB)
            readWeights(br, sh.numRefIdxActive[1], sh.weights[1], sh.lumaLog2WeightDenom,
                        sh.chromaLog2WeightDenom);
    }
    if (nal.refIdc != 0) {
        if (sh.isIdr) {
            sh.noOutputOfPriorPics = br.flag();
            sh.longTermReference = br.flag();
        } else {
            sh.adaptiveRefPicMarking = br.flag();
            if (sh.adaptiveRefPicMarking) {
                for (int n = 0;; ++n) {
                    Mmco m;
                    m.op = static_cast<int>(br.ue());
                    if (m.op == 0) break;
                    if (m.op > 6 || n > 66 || br.hasError())
                        throw BitstreamError("invalid memory_management_control_operation");
                    if (m.op == 1 || m.op == 3) m.diffPicNumsMinus1 = br.ue();
                    if (m.op == 2) m.longTermPicNum = br.ue();
                    if (m.op == 3 || m.op == 6) m.longTermFrameIdx = br.ue();
                    if (m.op == 4) m.maxLongTermFrameIdxPlus1 = br.ue();
                    sh.mmcos.push_back(m);
                }
            }
        }
    }
    if (pps.cabac && sh.sliceType != kSliceI)
        sh.cabacInitIdc = static_cast<int>(ueMax(br, 2, "cabac_init_idc"));
    sh.qp = pps.picInitQp + br.se();
    if (sh.qp < 0 || sh.qp > 51) throw BitstreamError("slice QP out of range");
    if (pps.deblockingFilterControlPresent) {
        sh.disableDeblocking = static_cast<int>(ueMax(br, 2, "disable_deblocking_filter_idc"));
        if (sh.disableDeblocking != 1) {
            sh.alphaOffset = seRange(br, -6, 6, "slice_alpha_c0_offset_div2") * 2;
            sh.betaOffset = seRange(br, -6, 6, "slice_beta_offset_div2") * 2;
        }
    }
    if (br.hasError()) throw BitstreamError("truncated slice header");
    sh.headerBits = br.bitPosition();
    return sh;
}

} // namespace duoscope::h264
