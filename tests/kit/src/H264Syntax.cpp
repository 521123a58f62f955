#include "H264Syntax.h"

namespace kit {
namespace {

HrdParameters readHrd(BitReader& r) {
    HrdParameters hrd;
    const uint32_t cpbCount = r.ue() + 1;
    if (cpbCount > 32) throw BitstreamError("hrd_parameters: cpb_cnt_minus1 out of range");
    hrd.bitRateScale = r.bits(4);
    hrd.cpbSizeScale = r.bits(4);
    hrd.cpbs.assign(cpbCount, {});
    for (auto& cpb : hrd.cpbs) {
        cpb.bitRateValueMinus1 = r.ue();
        cpb.cpbSizeValueMinus1 = r.ue();
        cpb.cbr = r.flag();
    }
    hrd.initialCpbRemovalDelayLengthMinus1 = r.bits(5);
    hrd.cpbRemovalDelayLengthMinus1 = r.bits(5);
    hrd.dpbOutputDelayLengthMinus1 = r.bits(5);
    hrd.timeOffsetLength = r.bits(5);
    return hrd;
}

void writeHrd(BitWriter& w, const HrdParameters& hrd) {
    w.ue(static_cast<uint32_t>(hrd.cpbs.size() - 1));
    w.bits(hrd.bitRateScale, 4);
    w.bits(hrd.cpbSizeScale, 4);
    for (const auto& cpb : hrd.cpbs) {
        w.ue(cpb.bitRateValueMinus1);
        w.ue(cpb.cpbSizeValueMinus1);
        w.flag(cpb.cbr);
    }
    w.bits(hrd.initialCpbRemovalDelayLengthMinus1, 5);
    w.bits(hrd.cpbRemovalDelayLengthMinus1, 5);
    w.bits(hrd.dpbOutputDelayLengthMinus1, 5);
    w.bits(hrd.timeOffsetLength, 5);
}

VuiParameters readVui(BitReader& r) {
    VuiParameters v;
    if ((v.aspectRatioInfoPresent = r.flag())) {
        v.aspectRatioIdc = r.bits(8);
        if (v.aspectRatioIdc == 255) {
            v.sarWidth = r.bits(16);
            v.sarHeight = r.bits(16);
        }
    }
    if ((v.overscanInfoPresent = r.flag())) v.overscanAppropriate = r.flag();
    if ((v.videoSignalTypePresent = r.flag())) {
        v.videoFormat = r.bits(3);
        v.videoFullRange = r.flag();
        if ((v.colourDescriptionPresent = r.flag())) {
            v.colourPrimaries = r.bits(8);
            v.transferCharacteristics = r.bits(8);
            v.matrixCoefficients = r.bits(8);
        }
    }
    if ((v.chromaLocInfoPresent = r.flag())) {
        v.chromaSampleLocTop = r.ue();
        v.chromaSampleLocBottom = r.ue();
    }
    if ((v.timingInfoPresent = r.flag())) {
        v.numUnitsInTick = r.bits(32);
        v.timeScale = r.bits(32);
        v.fixedFrameRate = r.flag();
    }
    if (r.flag()) v.nalHrd = readHrd(r);
    if (r.flag()) v.vclHrd = readHrd(r);
    if (v.nalHrd || v.vclHrd) v.lowDelayHrd = r.flag();
    v.picStructPresent = r.flag();
    if ((v.bitstreamRestriction = r.flag())) {
        v.motionVectorsOverPicBoundaries = r.flag();
        v.maxBytesPerPicDenom = r.ue();
        v.maxBitsPerMbDenom = r.ue();
        v.log2MaxMvLengthHorizontal = r.ue();
        v.log2MaxMvLengthVertical = r.ue();
        v.maxNumReorderFrames = r.ue();
        v.maxDecFrameBuffering = r.ue();
    }
    return v;
}

void writeVui(BitWriter& w, const VuiParameters& v) {
    w.flag(v.aspectRatioInfoPresent);
    if (v.aspectRatioInfoPresent) {
        w.bits(v.aspectRatioIdc, 8);
        if (v.aspectRatioIdc == 255) {
            w.bits(v.sarWidth, 16);
            w.bits(v.sarHeight, 16);
        }
    }
    w.flag(v.overscanInfoPresent);
    if (v.overscanInfoPresent) w.flag(v.overscanAppropriate);
    w.flag(v.videoSignalTypePresent);
    if (v.videoSignalTypePresent) {
        w.bits(v.videoFormat, 3);
        w.flag(v.videoFullRange);
        w.flag(v.colourDescriptionPresent);
        if (v.colourDescriptionPresent) {
            w.bits(v.colourPrimaries, 8);
            w.bits(v.transferCharacteristics, 8);
            w.bits(v.matrixCoefficients, 8);
        }
    }
    w.flag(v.chromaLocInfoPresent);
    if (v.chromaLocInfoPresent) {
        w.ue(v.chromaSampleLocTop);
        w.ue(v.chromaSampleLocBottom);
    }
    w.flag(v.timingInfoPresent);
    if (v.timingInfoPresent) {
        w.bits(v.numUnitsInTick, 32);
        w.bits(v.timeScale, 32);
        w.flag(v.fixedFrameRate);
    }
    w.flag(v.nalHrd.has_value());
    if (v.nalHrd) writeHrd(w, *v.nalHrd);
    w.flag(v.vclHrd.has_value());
    if (v.vclHrd) writeHrd(w, *v.vclHrd);
    if (v.nalHrd || v.vclHrd) w.flag(v.lowDelayHrd);
    w.flag(v.picStructPresent);
    w.flag(v.bitstreamRestriction);
    if (v.bitstreamRestriction) {
        w.flag(v.motionVectorsOverPicBoundaries);
        w.ue(v.maxBytesPerPicDenom);
        w.ue(v.maxBitsPerMbDenom);
        w.ue(v.log2MaxMvLengthHorizontal);
        w.ue(v.log2MaxMvLengthVertical);
        w.ue(v.maxNumReorderFrames);
        w.ue(v.maxDecFrameBuffering);
    }
}

std::vector<int32_t> readScalingList(BitReader& r, int size) {
    std::vector<int32_t> deltas;
    int lastScale = 8, nextScale = 8;
    for (int j = 0; j < size && nextScale != 0; ++j) {
        const int32_t delta = r.se();
        if (delta < -128 || delta > 127) throw BitstreamError("scaling list delta_scale out of range");
        deltas.push_back(delta);
        nextScale = (lastScale + delta + 256) % 256;
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
    return deltas;
}

SpsData readSpsData(BitReader& r) {
    SpsData s;
    s.profileIdc = r.bits(8);
    s.constraintFlags = r.bits(8);
    s.levelIdc = r.bits(8);
    s.spsId = r.ue();
    if (s.spsId > 31) throw BitstreamError("seq_parameter_set_id out of range");
    if (s.hasChromaInfo()) {
        s.chromaFormatIdc = r.ue();
        if (s.chromaFormatIdc > 3) throw BitstreamError("chroma_format_idc out of range");
        if (s.chromaFormatIdc == 3) s.separateColourPlane = r.flag();
        s.bitDepthLumaMinus8 = r.ue();
        s.bitDepthChromaMinus8 = r.ue();
        s.qpprimeYZeroTransformBypass = r.flag();
        if ((s.seqScalingMatrixPresent = r.flag())) {
            const int lists = s.chromaFormatIdc != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                if (r.flag())
                    s.scalingLists.emplace_back(readScalingList(r, i < 6 ? 16 : 64));
                else
                    s.scalingLists.emplace_back(std::nullopt);
            }
        }
    }
    s.log2MaxFrameNumMinus4 = r.ue();
    s.picOrderCntType = r.ue();
    if (s.log2MaxFrameNumMinus4 > 12 || s.picOrderCntType > 2)
        throw BitstreamError("log2_max_frame_num_minus4 or pic_order_cnt_type out of range");
    if (s.picOrderCntType == 0) {
        s.log2MaxPicOrderCntLsbMinus4 = r.ue();
        if (s.log2MaxPicOrderCntLsbMinus4 > 12)
            throw BitstreamError("log2_max_pic_order_cnt_lsb_minus4 out of range");
    } else if (s.picOrderCntType == 1) {
        s.deltaPicOrderAlwaysZero = r.flag();
        s.offsetForNonRefPic = r.se();
        s.offsetForTopToBottomField = r.se();
        const uint32_t cycle = r.ue();
        if (cycle > 255) throw BitstreamError("num_ref_frames_in_pic_order_cnt_cycle out of range");
        for (uint32_t i = 0; i < cycle; ++i)
            s.offsetForRefFrame.push_back(r.se());
    }
    s.maxNumRefFrames = r.ue();
    s.gapsInFrameNumAllowed = r.flag();
    s.picWidthInMbsMinus1 = r.ue();
    s.picHeightInMapUnitsMinus1 = r.ue();
    if (!(s.frameMbsOnly = r.flag())) s.mbAdaptiveFrameField = r.flag();
    s.direct8x8Inference = r.flag();
    if ((s.frameCropping = r.flag())) {
        s.cropLeft = r.ue();
        s.cropRight = r.ue();
        s.cropTop = r.ue();
        s.cropBottom = r.ue();
    }
    if (r.flag()) s.vui = readVui(r);
    return s;
}

void writeSpsData(BitWriter& w, const SpsData& s) {
    w.bits(s.profileIdc, 8);
    w.bits(s.constraintFlags, 8);
    w.bits(s.levelIdc, 8);
    w.ue(s.spsId);
    if (s.hasChromaInfo()) {
        w.ue(s.chromaFormatIdc);
        if (s.chromaFormatIdc == 3) w.flag(s.separateColourPlane);
        w.ue(s.bitDepthLumaMinus8);
        w.ue(s.bitDepthChromaMinus8);
        w.flag(s.qpprimeYZeroTransformBypass);
        w.flag(s.seqScalingMatrixPresent);
        if (s.seqScalingMatrixPresent) {
            for (const auto& list : s.scalingLists) {
                w.flag(list.has_value());
                if (list)
                    for (int32_t delta : *list)
                        w.se(delta);
            }
        }
    }
    w.ue(s.log2MaxFrameNumMinus4);
    w.ue(s.picOrderCntType);
    if (s.picOrderCntType == 0) {
        w.ue(s.log2MaxPicOrderCntLsbMinus4);
    } else if (s.picOrderCntType == 1) {
        w.flag(s.deltaPicOrderAlwaysZero);
        w.se(s.offsetForNonRefPic);
        w.se(s.offsetForTopToBottomField);
        w.ue(static_cast<uint32_t>(s.offsetForRefFrame.size()));
        for (int32_t offset : s.offsetForRefFrame)
            w.se(offset);
    }
    w.ue(s.maxNumRefFrames);
    w.flag(s.gapsInFrameNumAllowed);
    w.ue(s.picWidthInMbsMinus1);
    w.ue(s.picHeightInMapUnitsMinus1);
    w.flag(s.frameMbsOnly);
    if (!s.frameMbsOnly) w.flag(s.mbAdaptiveFrameField);
    w.flag(s.direct8x8Inference);
    w.flag(s.frameCropping);
    if (s.frameCropping) {
        w.ue(s.cropLeft);
        w.ue(s.cropRight);
        w.ue(s.cropTop);
        w.ue(s.cropBottom);
    }
    w.flag(s.vui.has_value());
    if (s.vui) writeVui(w, *s.vui);
}

std::vector<uint32_t> readList(BitReader& r, const char* what) {
    const uint32_t count = r.ue();
    if (count > 15) throw BitstreamError(std::string(what) + " count out of range");
    std::vector<uint32_t> list;
    for (uint32_t j = 0; j < count; ++j)
        list.push_back(r.ue());
    return list;
}

void writeList(BitWriter& w, const std::vector<uint32_t>& list) {
    w.ue(static_cast<uint32_t>(list.size()));
    for (uint32_t value : list)
        w.ue(value);
}

Bytes payloadOf(std::span<const uint8_t> nal, int expectedType) {
    if (nal.empty() || (nal[0] & 0x1F) != expectedType)
        throw BitstreamError("expected NAL unit type " + std::to_string(expectedType));
    return unescapeRbsp(nal.subspan(1));
}

void expectTrailingBits(const BitReader& r, const char* what) {
    if (!r.atTrailingBits())
        throw BitstreamError(std::string(what) + ": unexpected data at bit " + std::to_string(r.position()));
}

} // namespace

bool SpsData::hasChromaInfo() const {
    switch (profileIdc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

SpsData parseSpsRbsp(std::span<const uint8_t> rbsp) {
    BitReader r(rbsp);
    SpsData sps = readSpsData(r);
    expectTrailingBits(r, "seq_parameter_set_rbsp");
    return sps;
}

Bytes writeSpsRbsp(const SpsData& sps) {
    BitWriter w;
    writeSpsData(w, sps);
    w.trailingBits();
    return w.bytes();
}

SubsetSps parseSubsetSpsRbsp(std::span<const uint8_t> rbsp) {
    BitReader r(rbsp);
    SubsetSps subset;
    subset.sps = readSpsData(r);
    const uint32_t profile = subset.sps.profileIdc;
    if (profile != 118 && profile != 128)
        throw BitstreamError("subset SPS profile_idc " + std::to_string(profile) + " is not an MVC profile");
    if (!r.flag()) throw BitstreamError("subset SPS: bit_equal_to_one is 0");
    MvcExtension& mvc = subset.mvc;
    const uint32_t views = r.ue() + 1;
    if (views > 1024) throw BitstreamError("num_views_minus1 out of range");
    for (uint32_t i = 0; i < views; ++i)
        mvc.viewIds.push_back(r.ue());
    mvc.refs.assign(views - 1, {});
    for (auto& refs : mvc.refs) {
        refs.anchorL0 = readList(r, "num_anchor_refs_l0");
        refs.anchorL1 = readList(r, "num_anchor_refs_l1");
    }
    for (auto& refs : mvc.refs) {
        refs.nonAnchorL0 = readList(r, "num_non_anchor_refs_l0");
        refs.nonAnchorL1 = readList(r, "num_non_anchor_refs_l1");
    }
    const uint32_t levelCount = r.ue() + 1;
    if (levelCount > 64) throw BitstreamError("num_level_values_signalled_minus1 out of range");
    for (uint32_t i = 0; i < levelCount; ++i) {
        MvcExtension::LevelValue level;
        level.levelIdc = r.bits(8);
        const uint32_t ops = r.ue() + 1;
        if (ops > 1024) throw BitstreamError("num_applicable_ops_minus1 out of range");
        for (uint32_t j = 0; j < ops; ++j) {
            MvcExtension::Operation op;
            op.temporalId = r.bits(3);
            const uint32_t targets = r.ue() + 1;
            if (targets > views) throw BitstreamError("applicable_op_num_target_views_minus1 out of range");
            for (uint32_t k = 0; k < targets; ++k)
                op.targetViewIds.push_back(r.ue());
            op.numViewsMinus1 = r.ue();
            level.operations.push_back(std::move(op));
        }
        mvc.levels.push_back(std::move(level));
    }
    if (r.flag()) {
        const uint32_t ops = r.ue() + 1;
        if (ops > 1024) throw BitstreamError("vui_mvc_num_ops_minus1 out of range");
        subset.mvcVui.emplace();
        for (uint32_t i = 0; i < ops; ++i) {
            MvcVuiOperation op;
            op.temporalId = r.bits(3);
            const uint32_t views = r.ue() + 1;
            if (views > 1024) throw BitstreamError("vui_mvc_num_target_output_views_minus1 out of range");
            for (uint32_t j = 0; j < views; ++j)
                op.targetOutputViewIds.push_back(r.ue());
            if ((op.timingInfoPresent = r.flag())) {
                op.numUnitsInTick = r.bits(32);
                op.timeScale = r.bits(32);
                op.fixedFrameRate = r.flag();
            }
            if (r.flag()) op.nalHrd = readHrd(r);
            if (r.flag()) op.vclHrd = readHrd(r);
            if (op.nalHrd || op.vclHrd) op.lowDelayHrd = r.flag();
            op.picStructPresent = r.flag();
            subset.mvcVui->push_back(std::move(op));
        }
    }
    if (r.flag()) throw BitstreamError("subset SPS: additional_extension2_flag set");
    expectTrailingBits(r, "subset_seq_parameter_set_rbsp");
    return subset;
}

Bytes writeSubsetSpsRbsp(const SubsetSps& subset) {
    BitWriter w;
    writeSpsData(w, subset.sps);
    w.flag(true); // bit_equal_to_one
    const MvcExtension& mvc = subset.mvc;
    w.ue(static_cast<uint32_t>(mvc.viewIds.size() - 1));
    for (uint32_t id : mvc.viewIds)
        w.ue(id);
    for (const auto& refs : mvc.refs) {
        writeList(w, refs.anchorL0);
        writeList(w, refs.anchorL1);
    }
    for (const auto& refs : mvc.refs) {
        writeList(w, refs.nonAnchorL0);
        writeList(w, refs.nonAnchorL1);
    }
    w.ue(static_cast<uint32_t>(mvc.levels.size() - 1));
    for (const auto& level : mvc.levels) {
        w.bits(level.levelIdc, 8);
        w.ue(static_cast<uint32_t>(level.operations.size() - 1));
        for (const auto& op : level.operations) {
            w.bits(op.temporalId, 3);
            w.ue(static_cast<uint32_t>(op.targetViewIds.size() - 1));
            for (uint32_t id : op.targetViewIds)
                w.ue(id);
            w.ue(op.numViewsMinus1);
        }
    }
    w.flag(subset.mvcVui.has_value());
    if (subset.mvcVui) {
        w.ue(static_cast<uint32_t>(subset.mvcVui->size() - 1));
        for (const auto& op : *subset.mvcVui) {
            w.bits(op.temporalId, 3);
            w.ue(static_cast<uint32_t>(op.targetOutputViewIds.size() - 1));
            for (uint32_t id : op.targetOutputViewIds)
                w.ue(id);
            w.flag(op.timingInfoPresent);
            if (op.timingInfoPresent) {
                w.bits(op.numUnitsInTick, 32);
                w.bits(op.timeScale, 32);
                w.flag(op.fixedFrameRate);
            }
            w.flag(op.nalHrd.has_value());
            if (op.nalHrd) writeHrd(w, *op.nalHrd);
            w.flag(op.vclHrd.has_value());
            if (op.vclHrd) writeHrd(w, *op.vclHrd);
            if (op.nalHrd || op.vclHrd) w.flag(op.lowDelayHrd);
            w.flag(op.picStructPresent);
        }
    }
    w.flag(false); // additional_extension2_flag
    w.trailingBits();
    return w.bytes();
}

SpsData parseSpsNal(std::span<const uint8_t> nal) {
    return parseSpsRbsp(payloadOf(nal, 7));
}

SubsetSps parseSubsetSpsNal(std::span<const uint8_t> nal) {
    return parseSubsetSpsRbsp(payloadOf(nal, 15));
}

Bytes makeSubsetSpsNal(const SubsetSps& subset) {
    Bytes nal{0x6F}; // nal_ref_idc 3, nal_unit_type 15
    const Bytes payload = escapeRbsp(writeSubsetSpsRbsp(subset));
    nal.insert(nal.end(), payload.begin(), payload.end());
    return nal;
}

SubsetSps stereoSubsetSps(const SpsData& dependentViewSps) {
    SubsetSps subset;
    subset.sps = dependentViewSps;
    // Stereo High: profile 128 always codes chroma_format_idc and bit depths,
    // which a Baseline/Main SPS leaves at their inferred values (4:2:0, 8 bit).
    subset.sps.profileIdc = 128;
    subset.sps.constraintFlags = 0;
    MvcExtension& mvc = subset.mvc;
    mvc.viewIds = {0, 1};
    MvcExtension::ViewRefs refs;
    refs.anchorL0 = {0};
    refs.nonAnchorL0 = {0};
    mvc.refs = {refs};
    MvcExtension::Operation op;
    op.temporalId = 0;
    op.targetViewIds = {0, 1};
    op.numViewsMinus1 = 1;
    mvc.levels = {MvcExtension::LevelValue{dependentViewSps.levelIdc, {op}}};
    return subset;
}

std::array<uint8_t, 4> encodeSliceExtensionHeader(const MvcNalHeader& h) {
    BitWriter w;
    w.bits(0, 1); // forbidden_zero_bit
    w.bits(static_cast<uint32_t>(h.nalRefIdc), 2);
    w.bits(20, 5);
    w.bits(0, 1); // svc_extension_flag: MVC
    w.flag(h.nonIdr);
    w.bits(h.priorityId, 6);
    w.bits(h.viewId, 10);
    w.bits(h.temporalId, 3);
    w.flag(h.anchorPic);
    w.flag(h.interView);
    w.bits(1, 1); // reserved_one_bit
    const Bytes& b = w.bytes();
    return {b[0], b[1], b[2], b[3]};
}

MvcNalHeader decodeSliceExtensionHeader(std::span<const uint8_t> nal) {
    if (nal.size() < 4 || (nal[0] & 0x1F) != 20) throw BitstreamError("not a coded slice extension NAL unit");
    BitReader r(nal.first(4));
    MvcNalHeader h;
    r.bits(1);
    h.nalRefIdc = static_cast<int>(r.bits(2));
    r.bits(5);
    if (r.flag()) throw BitstreamError("svc_extension_flag set in a type 20 NAL unit");
    h.nonIdr = r.flag();
    h.priorityId = r.bits(6);
    h.viewId = r.bits(10);
    h.temporalId = r.bits(3);
    h.anchorPic = r.flag();
    h.interView = r.flag();
    if (!r.flag()) throw BitstreamError("reserved_one_bit is 0");
    return h;
}

PpsIds parsePpsIds(std::span<const uint8_t> nal) {
    const Bytes rbsp = payloadOf(nal, 8);
    BitReader r(rbsp);
    PpsIds ids;
    ids.ppsId = r.ue();
    ids.spsId = r.ue();
    return ids;
}

char SliceHeaderStart::sliceLetter() const {
    static constexpr char letters[] = {'P', 'B', 'I', 'p', 'i'};
    return letters[sliceType % 5];
}

SliceHeaderStart parseSliceHeaderStart(std::span<const uint8_t> nal, const SpsData& sps) {
    if (nal.empty()) throw BitstreamError("empty slice NAL unit");
    const int type = nal[0] & 0x1F;
    size_t headerBytes = 1;
    bool isIdr = type == 5;
    if (type == 20) {
        isIdr = !decodeSliceExtensionHeader(nal).nonIdr;
        headerBytes = 4;
    } else if (type != 1 && type != 5) {
        throw BitstreamError("not a slice NAL unit");
    }
    // The first fields fit in a few dozen bytes; unescaping all of a large
    // slice would be wasted work.
    const Bytes rbsp = unescapeRbsp(nal.subspan(headerBytes, std::min<size_t>(nal.size() - headerBytes, 64)));
    BitReader r(rbsp);
    SliceHeaderStart h;
    h.isIdr = isIdr;
    h.firstMbInSlice = r.ue();
    h.sliceType = r.ue();
    if (h.sliceType > 9) throw BitstreamError("slice_type out of range");
    h.ppsId = r.ue();
    if (sps.separateColourPlane) r.bits(2);
    h.frameNum = r.bits(static_cast<int>(sps.log2MaxFrameNumMinus4 + 4));
    if (!sps.frameMbsOnly && r.flag()) throw BitstreamError("field pictures are not supported");
    if (isIdr) h.idrPicId = r.ue();
    if (sps.picOrderCntType == 0)
        h.picOrderCntLsb = r.bits(static_cast<int>(sps.log2MaxPicOrderCntLsbMinus4 + 4));
    return h;
}

} // namespace kit
