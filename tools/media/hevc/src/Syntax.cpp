#include "media/hevc/Syntax.h"

#include <algorithm>
#include <bit>

namespace media::hevc {

namespace {

[[noreturn]] void unsupported(const std::string& what) {
    throw Error("unsupported HEVC syntax: " + what);
}

void check(bool ok, const std::string& what) {
    if (!ok) throw Error("invalid HEVC syntax: " + what);
}

void skipScalingListData(BitReader& r) {
    for (int sizeId = 0; sizeId < 4; ++sizeId) {
        for (int matrixId = 0; matrixId < 6; matrixId += (sizeId == 3) ? 3 : 1) {
            if (!r.flag()) {
                r.ue(); // scaling_list_pred_matrix_id_delta
            } else {
                const int coefNum = std::min(64, 1 << (4 + (sizeId << 1)));
                if (sizeId > 1) r.se();
                for (int i = 0; i < coefNum; ++i)
                    r.se();
            }
        }
    }
}

// st_ref_pic_set(stRpsIdx) per the standard's derivation (7.4.8).
ShortTermRps parseStRps(BitReader& r, size_t idx, const std::vector<ShortTermRps>& sets, size_t numSets) {
    ShortTermRps out;
    const bool interPred = idx != 0 && r.flag();
    if (interPred) {
        uint32_t deltaIdxMinus1 = 0;
        if (idx == numSets) deltaIdxMinus1 = r.ue();
        check(deltaIdxMinus1 + 1 <= idx, "delta_idx_minus1");
        const ShortTermRps& ref = sets[idx - (deltaIdxMinus1 + 1)];
        const bool sign = r.flag();
        const uint32_t absMinus1 = r.ue();
        check(absMinus1 < 32768, "abs_delta_rps_minus1");
        const int32_t deltaRps = (sign ? -1 : 1) * static_cast<int32_t>(absMinus1 + 1);
        const size_t n = ref.deltaPoc.size();
        std::vector<bool> usedFlag(n + 1), useDelta(n + 1, true);
        for (size_t j = 0; j <= n; ++j) {
            usedFlag[j] = r.flag();
            if (!usedFlag[j]) useDelta[j] = r.flag();
        }
        // Collect (dPoc, used) for every kept picture, then sort into negative/positive order.
        std::vector<std::pair<int32_t, bool>> neg, pos;
        for (size_t j = 0; j <= n; ++j) {
            const int32_t d = (j < n ? ref.deltaPoc[j] : 0) + deltaRps;
            if (!useDelta[j] || d == 0) continue;
            (d < 0 ? neg : pos).push_back({d, usedFlag[j]});
        }
        std::sort(neg.begin(), neg.end(), [](auto& a, auto& b) { return a.first > b.first; });
        std::sort(pos.begin(), pos.end(), [](auto& a, auto& b) { return a.first < b.first; });
        out.numNegative = static_cast<int>(neg.size());
        for (auto* v : {&neg, &pos}) {
            for (auto& [d, u] : *v) {
                out.deltaPoc.push_back(d);
                out.used.push_back(u);
            }
        }
    } else {
        const uint32_t numNeg = r.ue(), numPos = r.ue();
        check(numNeg <= 16 && numPos <= 16, "num_negative_pics/num_positive_pics");
        out.numNegative = static_cast<int>(numNeg);
        int32_t poc = 0;
        for (uint32_t i = 0; i < numNeg; ++i) {
            poc -= static_cast<int32_t>(r.ue() + 1);
            out.deltaPoc.push_back(poc);
            out.used.push_back(r.flag());
        }
        poc = 0;
        for (uint32_t i = 0; i < numPos; ++i) {
            poc += static_cast<int32_t>(r.ue() + 1);
            out.deltaPoc.push_back(poc);
            out.used.push_back(r.flag());
        }
    }
    return out;
}

void skipPredWeightTable(BitReader& r, const Sps& sps, uint32_t sliceType, uint32_t l0, uint32_t l1) {
    r.ue(); // luma_log2_weight_denom
    const bool chroma = sps.chromaArrayType() != 0;
    if (chroma) r.se();
    auto list = [&](uint32_t count) {
        std::vector<bool> luma(count + 1), chromaFlag(count + 1);
        // Single-layer references never share the current POC, so every flag is present.
        for (uint32_t i = 0; i <= count; ++i)
            luma[i] = r.flag();
        if (chroma)
            for (uint32_t i = 0; i <= count; ++i)
                chromaFlag[i] = r.flag();
        for (uint32_t i = 0; i <= count; ++i) {
            if (luma[i]) {
                r.se();
                r.se();
            }
            if (chromaFlag[i]) {
                for (int j = 0; j < 4; ++j)
                    r.se();
            }
        }
    };
    list(l0);
    if (sliceType == kSliceB) list(l1);
}

} // namespace

int ShortTermRps::usedCount() const {
    return static_cast<int>(std::count(used.begin(), used.end(), true));
}

uint32_t Sps::picSizeInCtbs() const {
    const uint32_t ctb = 1u << log2Ctb;
    return ((width + ctb - 1) / ctb) * ((height + ctb - 1) / ctb);
}

static int subWidthC(int idc) {
    return (idc == 1 || idc == 2) ? 2 : 1;
}
static int subHeightC(int idc) {
    return idc == 1 ? 2 : 1;
}

uint32_t Sps::displayWidth() const {
    return width - subWidthC(chromaArrayType()) * (confWin[0] + confWin[1]);
}
uint32_t Sps::displayHeight() const {
    return height - subHeightC(chromaArrayType()) * (confWin[2] + confWin[3]);
}

ProfileTierLevel parseProfileTierLevel(BitReader& r, bool profilePresent, int maxSub) {
    ProfileTierLevel p;
    p.profilePresent = profilePresent;
    if (profilePresent) {
        p.profileSpace = static_cast<uint8_t>(r.u(2));
        p.tierFlag = r.flag();
        p.profileIdc = static_cast<uint8_t>(r.u(5));
        p.compatibilityFlags = r.u(32);
        p.constraintFlags = (uint64_t{r.u(16)} << 32) | r.u(32);
    }
    p.levelIdc = static_cast<uint8_t>(r.u(8));
    std::vector<bool> prof(maxSub), lev(maxSub);
    for (int i = 0; i < maxSub; ++i) {
        prof[i] = r.flag();
        lev[i] = r.flag();
    }
    if (maxSub > 0)
        for (int i = maxSub; i < 8; ++i)
            r.u(2);
    for (int i = 0; i < maxSub; ++i) {
        if (prof[i]) r.skip(88);
        if (lev[i]) r.skip(8);
    }
    return p;
}

void writeProfileTierLevel(BitWriter& w, const ProfileTierLevel& p) {
    if (p.profilePresent) {
        w.u(p.profileSpace, 2);
        w.flag(p.tierFlag);
        w.u(p.profileIdc, 5);
        w.u(p.compatibilityFlags, 32);
        w.u(static_cast<uint32_t>(p.constraintFlags >> 32) & 0xffff, 16);
        w.u(static_cast<uint32_t>(p.constraintFlags), 32);
    }
    w.u(p.levelIdc, 8);
}

Sps parseSps(std::span<const uint8_t> rbsp, int nuhLayerId) {
    BitReader r(rbsp);
    Sps s;
    s.vpsId = static_cast<int>(r.u(4));
    const int extOrMax = static_cast<int>(r.u(3));
    s.multiLayerExt = nuhLayerId > 0 && extOrMax == 7;
    if (s.multiLayerExt) unsupported("compact multi-layer SPS");
    s.maxSubLayersMinus1 = extOrMax;
    check(extOrMax < 7, "sps_max_sub_layers_minus1");
    r.flag(); // temporal id nesting
    s.ptl = parseProfileTierLevel(r, true, s.maxSubLayersMinus1);
    s.spsIdBitPos = r.pos();
    s.spsId = static_cast<int>(r.ue());
    check(s.spsId < 16, "sps_seq_parameter_set_id");
    s.chromaFormatIdc = static_cast<int>(r.ue());
    check(s.chromaFormatIdc <= 3, "chroma_format_idc");
    if (s.chromaFormatIdc == 3) s.separateColourPlane = r.flag();
    s.width = r.ue();
    s.height = r.ue();
    check(s.width > 0 && s.height > 0 && s.width <= 16888 && s.height <= 16888, "picture size");
    s.conformanceWindow = r.flag();
    if (s.conformanceWindow)
        for (auto& c : s.confWin)
            c = r.ue();
    const uint32_t depthLuma = r.ue(), depthChroma = r.ue();
    check(depthLuma <= 8 && depthChroma <= 8, "bit depths");
    s.bitDepthLuma = static_cast<int>(depthLuma) + 8;
    s.bitDepthChroma = static_cast<int>(depthChroma) + 8;
    const uint32_t pocBits = r.ue();
    check(pocBits <= 12, "log2_max_pic_order_cnt_lsb_minus4");
    s.log2MaxPocLsb = static_cast<int>(pocBits) + 4;
    const bool orderingAll = r.flag();
    for (int i = orderingAll ? 0 : s.maxSubLayersMinus1; i <= s.maxSubLayersMinus1; ++i) {
        s.maxDecPicBufferingMinus1 = r.ue();
        s.maxNumReorderPics = r.ue();
        s.maxLatencyIncreasePlus1 = r.ue();
    }
    const uint32_t minCb = r.ue(), diffCtb = r.ue();
    check(minCb <= 3 && diffCtb <= 3 && minCb + diffCtb <= 3, "coding block sizes");
    s.log2MinCb = static_cast<int>(minCb) + 3;
    s.log2Ctb = s.log2MinCb + static_cast<int>(diffCtb);
    r.ue();
    r.ue();
    r.ue();
    r.ue();
    if (r.flag()) { // scaling_list_enabled_flag
        if (r.flag()) skipScalingListData(r);
    }
    r.flag(); // amp
    s.sampleAdaptiveOffset = r.flag();
    if (r.flag()) { // pcm
        r.u(4);
        r.u(4);
        r.ue();
        r.ue();
        r.flag();
    }
    const uint32_t numSets = r.ue();
    check(numSets <= 64, "num_short_term_ref_pic_sets");
    for (uint32_t i = 0; i < numSets; ++i)
        s.stRps.push_back(parseStRps(r, i, s.stRps, numSets));
    s.longTermRefsPresent = r.flag();
    if (s.longTermRefsPresent) {
        s.numLongTermRefPicsSps = r.ue();
        check(s.numLongTermRefPicsSps <= 32, "num_long_term_ref_pics_sps");
        for (uint32_t i = 0; i < s.numLongTermRefPicsSps; ++i) {
            r.u(s.log2MaxPocLsb);
            r.flag();
        }
    }
    s.temporalMvp = r.flag();
    return s;
}

Pps parsePps(std::span<const uint8_t> rbsp) {
    BitReader r(rbsp);
    Pps p;
    p.ppsId = static_cast<int>(r.ue());
    p.spsId = static_cast<int>(r.ue());
    check(p.ppsId < 64 && p.spsId < 16, "PPS ids");
    p.dependentSliceSegments = r.flag();
    p.outputFlagPresent = r.flag();
    p.numExtraSliceHeaderBits = static_cast<int>(r.u(3));
    r.flag(); // sign data hiding
    p.cabacInitPresent = r.flag();
    p.numRefIdxL0DefaultMinus1 = r.ue();
    p.numRefIdxL1DefaultMinus1 = r.ue();
    r.se();   // init_qp_minus26
    r.flag(); // constrained intra
    const bool transformSkip = r.flag();
    if (r.flag()) r.ue(); // cu_qp_delta
    r.se();
    r.se();
    p.sliceChromaQpOffsetsPresent = r.flag();
    p.weightedPred = r.flag();
    p.weightedBipred = r.flag();
    r.flag(); // transquant bypass
    p.tiles = r.flag();
    p.entropyCodingSync = r.flag();
    if (p.tiles) {
        const uint32_t cols = r.ue(), rows = r.ue();
        check(cols < 64 && rows < 64, "tile counts");
        if (!r.flag()) {
            for (uint32_t i = 0; i < cols; ++i)
                r.ue();
            for (uint32_t i = 0; i < rows; ++i)
                r.ue();
        }
        r.flag();
    }
    p.loopFilterAcrossSlices = r.flag();
    if (r.flag()) { // deblocking control
        p.deblockingOverrideEnabled = r.flag();
        p.deblockingDisabled = r.flag();
        if (!p.deblockingDisabled) {
            r.se();
            r.se();
        }
    }
    if (r.flag()) skipScalingListData(r);
    p.listsModificationPresent = r.flag();
    r.ue();
    p.sliceHeaderExtensionPresent = r.flag();
    if (r.flag()) { // pps_extension_present_flag
        const bool range = r.flag();
        const bool multilayer = r.flag();
        const bool ext3d = r.flag();
        const bool scc = r.flag();
        r.u(4);
        if (ext3d || scc) unsupported("PPS 3D/SCC extension");
        if (range) {
            if (transformSkip) r.ue();
            r.flag();
            p.chromaQpOffsetListEnabled = r.flag();
            if (p.chromaQpOffsetListEnabled) {
                r.ue();
                const uint32_t len = r.ue();
                check(len < 6, "chroma_qp_offset_list_len_minus1");
                for (uint32_t i = 0; i <= len; ++i) {
                    r.se();
                    r.se();
                }
            }
            r.ue();
            r.ue();
        }
        (void)multilayer; // nothing in it changes slice header syntax we parse
    }
    return p;
}

SliceHeader parseSliceHeader(std::span<const uint8_t> rbsp, int nalType, int nuhLayerId, const Sps& sps,
                             const Pps& pps, const LayerContext& layer) {
    BitReader r(rbsp);
    SliceHeader h;
    h.firstSliceInPic = r.flag();
    if (isIrap(nalType)) h.noOutputOfPriorPics = r.flag();
    h.ppsIdPos = r.pos();
    h.ppsId = r.ue();
    h.ppsIdEnd = r.pos();
    check(h.ppsId < 64, "slice_pic_parameter_set_id");
    if (!h.firstSliceInPic) {
        if (pps.dependentSliceSegments) h.dependentSlice = r.flag();
        h.segmentAddress = r.u(ceilLog2(sps.picSizeInCtbs()));
    }
    h.pocLsbPos = h.interLayerFlagPos = r.pos();
    bool deblockDisabled = pps.deblockingDisabled;
    if (!h.dependentSlice) {
        r.u(pps.numExtraSliceHeaderBits);
        h.sliceType = r.ue();
        check(h.sliceType <= 2, "slice_type");
        if (pps.outputFlagPresent) h.picOutput = r.flag();
        if (sps.separateColourPlane) r.u(2);
        h.pocLsbPos = r.pos();
        h.pocLsbPresent = (nuhLayerId > 0 && !layer.pocLsbNotPresent) || !isIdr(nalType);
        if (h.pocLsbPresent) h.pocLsb = r.u(sps.log2MaxPocLsb);
        int numPicTotalCurr = 0;
        if (!isIdr(nalType)) {
            h.shortTermRpsSpsFlag = r.flag();
            const size_t numSets = sps.stRps.size();
            if (!h.shortTermRpsSpsFlag) {
                h.rps = parseStRps(r, numSets, sps.stRps, numSets);
            } else {
                check(numSets > 0, "short_term_ref_pic_set_sps_flag without SPS sets");
                const uint32_t idx = numSets > 1 ? r.u(ceilLog2(static_cast<uint32_t>(numSets))) : 0;
                check(idx < numSets, "short_term_ref_pic_set_idx");
                h.rps = sps.stRps[idx];
            }
            numPicTotalCurr = h.rps.usedCount();
            if (sps.longTermRefsPresent) {
                uint32_t numLtSps = 0;
                if (sps.numLongTermRefPicsSps > 0) numLtSps = r.ue();
                const uint32_t numLtPics = r.ue();
                check(numLtSps <= sps.numLongTermRefPicsSps && numLtPics <= 32, "long-term picture counts");
                h.numLongTerm = numLtSps + numLtPics;
                for (uint32_t i = 0; i < h.numLongTerm; ++i) {
                    if (i < numLtSps) {
                        if (sps.numLongTermRefPicsSps > 1) r.u(ceilLog2(sps.numLongTermRefPicsSps));
                        // used_by_curr of SPS candidates is not tracked; such streams need no list
                        // modification.
                    } else {
                        r.u(sps.log2MaxPocLsb);
                        if (r.flag()) ++numPicTotalCurr;
                    }
                    if (r.flag()) r.ue();
                }
            }
            if (sps.temporalMvp) h.temporalMvp = r.flag();
        }
        h.interLayerFlagPos = r.pos();
        if (nuhLayerId > 0 && layer.interLayerFlagPresent) {
            h.interLayerPredPresent = true;
            h.interLayerPred = r.flag();
            if (h.interLayerPred) unsupported("inter-layer prediction in a slice");
        }
        if (sps.sampleAdaptiveOffset) {
            h.saoLuma = r.flag();
            if (sps.chromaArrayType() != 0) h.saoChroma = r.flag();
        }
        if (h.sliceType != kSliceI) {
            h.numRefIdxL0Minus1 = pps.numRefIdxL0DefaultMinus1;
            h.numRefIdxL1Minus1 = pps.numRefIdxL1DefaultMinus1;
            if (r.flag()) {
                h.numRefIdxL0Minus1 = r.ue();
                if (h.sliceType == kSliceB) h.numRefIdxL1Minus1 = r.ue();
            }
            check(h.numRefIdxL0Minus1 < 15 && h.numRefIdxL1Minus1 < 15, "num_ref_idx_active");
            if (pps.listsModificationPresent && numPicTotalCurr > 1) {
                const int bits = ceilLog2(static_cast<uint32_t>(numPicTotalCurr));
                if (r.flag())
                    for (uint32_t i = 0; i <= h.numRefIdxL0Minus1; ++i)
                        r.u(bits);
                if (h.sliceType == kSliceB && r.flag())
                    for (uint32_t i = 0; i <= h.numRefIdxL1Minus1; ++i)
                        r.u(bits);
            }
            if (h.sliceType == kSliceB) r.flag(); // mvd_l1_zero
            if (pps.cabacInitPresent) r.flag();
            if (h.temporalMvp) {
                bool fromL0 = true;
                if (h.sliceType == kSliceB) fromL0 = r.flag();
                if ((fromL0 && h.numRefIdxL0Minus1 > 0) || (!fromL0 && h.numRefIdxL1Minus1 > 0)) r.ue();
            }
            if ((pps.weightedPred && h.sliceType == kSliceP) ||
                (pps.weightedBipred && h.sliceType == kSliceB))
                skipPredWeightTable(r, sps, h.sliceType, h.numRefIdxL0Minus1, h.numRefIdxL1Minus1);
            r.ue(); // five_minus_max_num_merge_cand
        }
        h.qpDelta = r.se();
        if (pps.sliceChromaQpOffsetsPresent) {
            r.se();
            r.se();
        }
        if (pps.chromaQpOffsetListEnabled) r.flag();
        bool override = false;
        if (pps.deblockingOverrideEnabled) override = r.flag();
        if (override) {
            deblockDisabled = r.flag();
            if (!deblockDisabled) {
                r.se();
                r.se();
            }
        }
        if (pps.loopFilterAcrossSlices && (h.saoLuma || h.saoChroma || !deblockDisabled)) r.flag();
    }
    if (pps.tiles || pps.entropyCodingSync) {
        h.numEntryPoints = r.ue();
        check(h.numEntryPoints <= sps.picSizeInCtbs(), "num_entry_point_offsets");
        if (h.numEntryPoints > 0) {
            const uint32_t lenMinus1 = r.ue();
            check(lenMinus1 < 32, "offset_len_minus1");
            for (uint32_t i = 0; i < h.numEntryPoints; ++i)
                h.entryPointOffsetMinus1.push_back(r.u(lenMinus1 + 1));
        }
    }
    if (pps.sliceHeaderExtensionPresent) {
        const uint32_t len = r.ue();
        check(len <= 256, "slice_segment_header_extension_length");
        r.skip(size_t{len} * 8);
    }
    h.headerEndBits = r.pos();
    // byte_alignment(): a one bit, then zeros.
    check(r.flag(), "byte_alignment() bit");
    while (!r.byteAligned())
        check(!r.flag(), "byte_alignment() zero bits");
    h.dataOffset = r.pos() / 8;
    return h;
}

LayerContext Vps::layer1Context() const {
    LayerContext c;
    if (!ext) return c;
    c.pocLsbNotPresent = ext->pocLsbNotPresent1.value_or(false);
    c.interLayerFlagPresent = !ext->defaultRefLayersActive && ext->directDependency10;
    return c;
}

namespace {

RepFormat parseRepFormat(BitReader& r) {
    RepFormat f;
    f.width = r.u(16);
    f.height = r.u(16);
    f.chromaAndBitDepthPresent = r.flag();
    if (f.chromaAndBitDepthPresent) {
        f.chromaFormatIdc = static_cast<int>(r.u(2));
        if (f.chromaFormatIdc == 3) r.flag();
        f.bitDepthLumaMinus8 = static_cast<int>(r.u(4));
        f.bitDepthChromaMinus8 = static_cast<int>(r.u(4));
    }
    f.conformanceWindow = r.flag();
    if (f.conformanceWindow)
        for (auto& c : f.confWin)
            c = r.ue();
    return f;
}

VpsExtension parseVpsExtension(BitReader& r, const Vps& v) {
    VpsExtension e;
    check(v.maxLayersMinus1 == 1, "vps_max_layers_minus1 (two layers expected)");
    check(v.baseLayerInternal, "external base layer");
    e.baseLevelIdc = parseProfileTierLevel(r, false, v.maxSubLayersMinus1).levelIdc;
    e.splitting = r.flag();
    e.scalabilityMask = static_cast<uint16_t>(r.u(16));
    const int numTypes = std::popcount(e.scalabilityMask);
    for (int j = 0; j < numTypes - (e.splitting ? 1 : 0); ++j)
        e.dimensionIdLenMinus1.push_back(static_cast<int>(r.u(3)));
    e.nuhLayerIdPresent = r.flag();
    if (e.nuhLayerIdPresent) e.layerIdInNuh1 = static_cast<int>(r.u(6));
    if (!e.splitting)
        for (int j = 0; j < numTypes; ++j)
            e.dimensionId1.push_back(r.u(e.dimensionIdLenMinus1[j] + 1));
    // NumViews: distinct view order indices; with the multiview bit alone, dimension_id is the view order
    // index.
    const bool multiview = (e.scalabilityMask & 0x4000) != 0;
    const int numViews = multiview && !e.dimensionId1.empty() && e.dimensionId1[0] != 0 ? 2 : 1;
    e.viewIdLen = static_cast<int>(r.u(4));
    if (e.viewIdLen > 0)
        for (int i = 0; i < numViews; ++i)
            e.viewIdVal.push_back(r.u(e.viewIdLen));
    e.directDependency10 = r.flag();
    const int numDirectRef1 = e.directDependency10 ? 1 : 0;
    const int numIndependentLayers = e.directDependency10 ? 1 : 2;
    if (numIndependentLayers > 1) {
        e.numAddLayerSets = r.ue();
        if (*e.numAddLayerSets != 0) unsupported("num_add_layer_sets > 0");
    }
    e.subLayersMaxMinus1Present = r.flag();
    if (e.subLayersMaxMinus1Present) {
        r.u(3);
        r.u(3);
    }
    e.maxTidRefPresent = r.flag();
    if (e.maxTidRefPresent && e.directDependency10) r.u(3);
    e.defaultRefLayersActive = r.flag();
    e.numProfileTierLevelMinus1 = r.ue();
    check(e.numProfileTierLevelMinus1 < 64, "vps_num_profile_tier_level_minus1");
    e.ptls.resize(2);
    for (uint32_t i = 2; i <= e.numProfileTierLevelMinus1; ++i) {
        const bool present = r.flag();
        e.ptls.push_back(parseProfileTierLevel(r, present, v.maxSubLayersMinus1));
    }
    const uint32_t numLayerSets = v.numLayerSetsMinus1 + 1;
    if (numLayerSets > 1) {
        e.numAddOlss = r.ue();
        e.defaultOutputLayerIdc = static_cast<int>(r.u(2));
    }
    if (e.numAddOlss != 0) unsupported("num_add_olss > 0");
    if (numLayerSets != 2) unsupported("layer set count other than 2");
    check(v.layerIdIncluded.size() == 2 && v.layerIdIncluded[1].size() >= 2 && v.layerIdIncluded[1][0] &&
              v.layerIdIncluded[1][1],
          "layer set 1 must hold both layers");
    // OLS 1 = layer set 1 with both layers.
    int numOutputLayers = 2;
    if (e.defaultOutputLayerIdc == 2) {
        numOutputLayers = 0;
        for (int j = 0; j < 2; ++j)
            numOutputLayers += r.flag() ? 1 : 0;
    } else if (e.defaultOutputLayerIdc == 1) {
        numOutputLayers = 1;
    }
    if (e.numProfileTierLevelMinus1 > 0) {
        const int bits = ceilLog2(e.numProfileTierLevelMinus1 + 1);
        for (int j = 0; j < 2; ++j)
            e.ptlIdxOls1.push_back(r.u(bits));
    }
    if (numOutputLayers == 1 && numDirectRef1 > 0) r.flag(); // alt_output_layer_flag
    e.numRepFormatsMinus1 = r.ue();
    if (e.numRepFormatsMinus1 != 0) unsupported("more than one rep_format");
    e.repFormat = parseRepFormat(r);
    e.maxOneActiveRefLayer = r.flag();
    e.pocLsbAligned = r.flag();
    if (numDirectRef1 == 0) e.pocLsbNotPresent1 = r.flag();
    // dpb_size() for OLS 1
    const bool subLayerInfo = r.flag();
    for (int j = 0; j <= v.maxSubLayersMinus1; ++j) {
        const bool present = (j > 0 && subLayerInfo) ? r.flag() : true;
        if (!present && j > 0) continue;
        e.dpb.maxDecPicBufferingMinus1.clear();
        for (int k = 0; k < 2; ++k)
            e.dpb.maxDecPicBufferingMinus1.push_back(r.ue());
        e.dpb.maxNumReorder = r.ue();
        e.dpb.maxLatencyIncreasePlus1 = r.ue();
    }
    e.directDepTypeLenMinus2 = r.ue();
    check(e.directDepTypeLenMinus2 <= 30, "direct_dep_type_len_minus2");
    e.directDependencyAllLayers = r.flag();
    if (e.directDependencyAllLayers) {
        e.directDependencyAllLayersType = r.u(static_cast<int>(e.directDepTypeLenMinus2) + 2);
    } else if (e.directDependency10) {
        r.u(static_cast<int>(e.directDepTypeLenMinus2) + 2);
    }
    e.nonVuiExtensionLength = r.ue();
    check(e.nonVuiExtensionLength <= 4096, "vps_non_vui_extension_length");
    r.skip(size_t{e.nonVuiExtensionLength} * 8);
    e.vuiPresent = r.flag();
    return e;
}

} // namespace

Vps parseVps(std::span<const uint8_t> rbsp) {
    BitReader r(rbsp);
    Vps v;
    v.vpsId = static_cast<int>(r.u(4));
    v.baseLayerInternal = r.flag();
    v.baseLayerAvailable = r.flag();
    v.maxLayersMinus1 = static_cast<int>(r.u(6));
    v.maxSubLayersMinus1 = static_cast<int>(r.u(3));
    check(v.maxSubLayersMinus1 < 7, "vps_max_sub_layers_minus1");
    v.temporalIdNesting = r.flag();
    check(r.u(16) == 0xffff, "vps_reserved_0xffff_16bits");
    v.ptl = parseProfileTierLevel(r, true, v.maxSubLayersMinus1);
    const bool orderingAll = r.flag();
    for (int i = orderingAll ? 0 : v.maxSubLayersMinus1; i <= v.maxSubLayersMinus1; ++i) {
        v.maxDecPicBufferingMinus1 = r.ue();
        v.maxNumReorderPics = r.ue();
        v.maxLatencyIncreasePlus1 = r.ue();
    }
    v.maxLayerId = static_cast<int>(r.u(6));
    v.numLayerSetsMinus1 = r.ue();
    check(v.numLayerSetsMinus1 < 1024, "vps_num_layer_sets_minus1");
    v.layerIdIncluded.resize(v.numLayerSetsMinus1 + 1);
    v.layerIdIncluded[0] = {true};
    for (uint32_t i = 1; i <= v.numLayerSetsMinus1; ++i)
        for (int j = 0; j <= v.maxLayerId; ++j)
            v.layerIdIncluded[i].push_back(r.flag());
    v.timingInfoPresent = r.flag();
    if (v.timingInfoPresent) {
        r.u(32);
        r.u(32);
        if (r.flag()) r.ue();
        if (r.ue() != 0) unsupported("VPS HRD parameters");
    }
    v.extensionPresent = r.flag();
    if (v.extensionPresent) {
        while (!r.byteAligned())
            check(r.flag(), "vps_extension_alignment_bit_equal_to_one");
        v.ext = parseVpsExtension(r, v);
    }
    return v;
}

} // namespace media::hevc
