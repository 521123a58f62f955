#include "media/hevc/Layering.h"

#include <algorithm>
#include <cstring>

namespace media::hevc {

namespace {

std::span<const uint8_t> payloadOf(std::span<const uint8_t> nal) {
    if (nal.size() < 3) throw Error("NAL unit too short (" + std::to_string(nal.size()) + " bytes)");
    return nal.subspan(2);
}

Bytes assemble(std::span<const uint8_t> header, const Bytes& rbsp) {
    Bytes out(header.begin(), header.end());
    const Bytes esc = escapeRbsp(rbsp);
    out.insert(out.end(), esc.begin(), esc.end());
    return out;
}

// Position of the rbsp_stop_one_bit.
size_t stopBitPos(const Bytes& rbsp) {
    for (size_t i = rbsp.size(); i-- > 0;) {
        if (rbsp[i] != 0) {
            for (int b = 0; b < 8; ++b)
                if ((rbsp[i] >> b) & 1) return i * 8 + (7 - b);
        }
    }
    throw Error("RBSP without stop bit");
}

// Replaces one ue(v) field [from, to) by ue(value) and keeps everything up to the stop bit.
Bytes replaceUe(const Bytes& rbsp, size_t from, size_t to, uint32_t value) {
    BitWriter w;
    w.copyBits(rbsp, 0, from);
    w.ue(value);
    w.copyBits(rbsp, to, stopBitPos(rbsp));
    w.trailingBits();
    return w.take();
}

} // namespace

Bytes withLayerId(std::span<const uint8_t> nal, int layerId) {
    if (nal.size() < 2) throw Error("NAL unit too short for a header");
    Bytes out(nal.begin(), nal.end());
    out[0] = static_cast<uint8_t>((out[0] & 0xfe) | ((layerId >> 5) & 1));
    out[1] = static_cast<uint8_t>(((layerId & 0x1f) << 3) | (out[1] & 7));
    return out;
}

Bytes rewriteSps(std::span<const uint8_t> nal, const LayerRewrite& rw) {
    if (nalType(nal) != hevcnal::sequenceParameterSet)
        throw Error("rewriteSps: NAL type " + std::to_string(nalType(nal)) + " is not an SPS");
    const Bytes rbsp = unescapeRbsp(payloadOf(nal));
    const Sps sps = parseSps(rbsp, 0);
    BitReader r(rbsp, sps.spsIdBitPos);
    r.ue();
    const Bytes out = replaceUe(rbsp, sps.spsIdBitPos, r.pos(), static_cast<uint32_t>(rw.spsId));
    return assemble(withLayerId(nal.first(2), rw.layerId), out);
}

Bytes rewritePps(std::span<const uint8_t> nal, const LayerRewrite& rw) {
    if (nalType(nal) != hevcnal::pictureParameterSet)
        throw Error("rewritePps: NAL type " + std::to_string(nalType(nal)) + " is not a PPS");
    const Bytes rbsp = unescapeRbsp(payloadOf(nal));
    BitReader r(rbsp);
    r.ue();
    const size_t spsFrom = r.pos();
    r.ue();
    const size_t spsTo = r.pos();
    BitWriter w;
    w.ue(static_cast<uint32_t>(rw.ppsId));
    w.ue(static_cast<uint32_t>(rw.spsId));
    w.copyBits(rbsp, spsTo, stopBitPos(rbsp));
    w.trailingBits();
    (void)spsFrom;
    return assemble(withLayerId(nal.first(2), rw.layerId), w.take());
}

Bytes rewriteSlice(std::span<const uint8_t> nal, const Sps& sps, const Pps& pps, const LayerRewrite& rw) {
    const int type = nalType(nal);
    if (!isVcl(type)) throw Error("rewriteSlice: NAL type " + std::to_string(type) + " is not a slice");
    const auto payload = payloadOf(nal);
    const Bytes rbsp = unescapeRbsp(payload);
    const SliceHeader h = parseSliceHeader(rbsp, type, nalLayerId(nal), sps, pps);

    const bool insert = rw.layerId > 0 && rw.variant == VpsVariant::A && !h.dependentSlice;
    BitWriter w;
    w.copyBits(rbsp, 0, h.ppsIdPos);
    w.ue(static_cast<uint32_t>(rw.ppsId));
    w.copyBits(rbsp, h.ppsIdEnd, h.pocLsbPos);
    // Layer-1 IDR slices carry a POC lsb once the VPS declares a dependency; the base IDR has POC 0.
    if (insert && isIdr(type)) w.u(0, sps.log2MaxPocLsb);
    w.copyBits(rbsp, h.pocLsbPos, h.interLayerFlagPos);
    if (insert) w.u(0, 1); // inter_layer_pred_enabled_flag
    w.copyBits(rbsp, h.interLayerFlagPos, h.headerEndBits);
    w.trailingBits();
    Bytes header = w.take();
    Bytes newRbsp = header;
    newRbsp.insert(newRbsp.end(), rbsp.begin() + static_cast<std::ptrdiff_t>(h.dataOffset), rbsp.end());
    Bytes out = assemble(withLayerId(nal.first(2), rw.layerId), newRbsp);

    // The slice data must come out byte-identical (entry point offsets count escaped bytes).
    const size_t oldHeaderEsc = escapeRbsp(std::span(rbsp).first(h.dataOffset)).size();
    const size_t newHeaderEsc = escapeRbsp(header).size();
    const size_t oldTail = payload.size() - oldHeaderEsc;
    if (out.size() - 2 - newHeaderEsc != oldTail ||
        !std::equal(out.end() - static_cast<std::ptrdiff_t>(oldTail), out.end(),
                    payload.end() - static_cast<std::ptrdiff_t>(oldTail))) {
        throw Error("slice rewrite changed the escaped slice data (POC lsb " + std::to_string(h.pocLsb) +
                    ")");
    }
    return out;
}

Bytes layerSliceToBase(std::span<const uint8_t> nal, const Sps& sps, const Pps& pps,
                       const LayerContext& ctx) {
    const int type = nalType(nal);
    if (!isVcl(type)) throw Error("layerSliceToBase: NAL type " + std::to_string(type) + " is not a slice");
    const Bytes rbsp = unescapeRbsp(payloadOf(nal));
    const SliceHeader h = parseSliceHeader(rbsp, type, nalLayerId(nal), sps, pps, ctx);
    BitWriter w;
    size_t pos = h.pocLsbPos;
    w.copyBits(rbsp, 0, pos);
    if (h.pocLsbPresent && isIdr(type)) pos += static_cast<size_t>(sps.log2MaxPocLsb);
    w.copyBits(rbsp, pos, h.interLayerFlagPos);
    pos = h.interLayerFlagPos + (h.interLayerPredPresent ? 1 : 0);
    w.copyBits(rbsp, pos, h.headerEndBits);
    w.trailingBits();
    Bytes out = w.take();
    out.insert(out.end(), rbsp.begin() + static_cast<std::ptrdiff_t>(h.dataOffset), rbsp.end());
    return assemble(withLayerId(nal.first(2), 0), out);
}

Bytes makeStereoVps(const Sps& base, VpsVariant variant) {
    if (base.maxSubLayersMinus1 != 0) throw Error("stereo VPS: only one temporal sub-layer is supported");
    if (base.chromaFormatIdc == 3 && base.separateColourPlane)
        throw Error("stereo VPS: separate colour planes");
    const bool b = variant == VpsVariant::B;
    BitWriter w;
    w.u(0, 4); // vps_video_parameter_set_id
    w.u(1, 1); // base layer internal
    w.u(1, 1); // base layer available
    w.u(1, 6); // vps_max_layers_minus1
    w.u(0, 3); // vps_max_sub_layers_minus1
    w.u(1, 1); // temporal id nesting
    w.u(0xffff, 16);
    writeProfileTierLevel(w, base.ptl);
    w.u(0, 1); // sub-layer ordering info for the highest sub-layer only
    w.ue(base.maxDecPicBufferingMinus1);
    w.ue(base.maxNumReorderPics);
    w.ue(base.maxLatencyIncreasePlus1);
    w.u(1, 6); // vps_max_layer_id
    w.ue(1);   // vps_num_layer_sets_minus1
    w.u(1, 1); // layer set 1 holds layer 0 ...
    w.u(1, 1); // ... and layer 1
    w.u(0, 1); // timing lives in the SPS VUI
    w.u(1, 1); // vps_extension_flag
    w.alignWithOnes();

    // vps_extension()
    w.u(base.ptl.levelIdc, 8); // profile_tier_level(0, 0): level only
    w.u(0, 1);                 // splitting_flag
    w.u(0x4000, 16);           // scalability mask: multiview only
    w.u(2, 3);                 // dimension_id_len_minus1
    w.u(1, 1);                 // vps_nuh_layer_id_present_flag
    w.u(1, 6);                 // layer_id_in_nuh[1]
    w.u(1, 3);                 // dimension_id[1][0] = view order index 1
    w.u(1, 4);                 // view_id_len
    w.u(0, 1);                 // view_id_val[0]
    w.u(1, 1);                 // view_id_val[1]
    w.u(b ? 0 : 1, 1);         // direct_dependency_flag[1][0]
    if (b) w.ue(0);            // num_add_layer_sets (two independent layers)
    w.u(0, 1);                 // vps_sub_layers_max_minus1_present_flag
    w.u(0, 1);                 // max_tid_ref_present_flag
    w.u(0, 1);                 // default_ref_layers_active_flag
    w.ue(2);                   // vps_num_profile_tier_level_minus1
    w.u(1, 1);                 // vps_profile_present_flag[2]
    ProfileTierLevel mv;
    mv.profileIdc = 6; // Multiview Main
    mv.compatibilityFlags = 1u << (31 - 6);
    // progressive, non-packed, frame-only; max_12bit..max_420chroma constraint flags.
    mv.constraintFlags = (uint64_t{0b1011} << 44) | (uint64_t{0x7C000000000} << 1);
    mv.levelIdc = base.ptl.levelIdc;
    writeProfileTierLevel(w, mv);
    w.ue(0);   // num_add_olss
    w.u(0, 2); // default_output_layer_idc: all layers output
    w.u(1, 2); // profile_tier_level_idx[1][0]
    w.u(2, 2); // profile_tier_level_idx[1][1]
    w.ue(0);   // vps_num_rep_formats_minus1
    w.u(base.width, 16);
    w.u(base.height, 16);
    w.u(1, 1); // chroma_and_bit_depth_vps_present_flag
    w.u(static_cast<uint32_t>(base.chromaFormatIdc), 2);
    if (base.chromaFormatIdc == 3) w.u(0, 1);
    w.u(static_cast<uint32_t>(base.bitDepthLuma - 8), 4);
    w.u(static_cast<uint32_t>(base.bitDepthChroma - 8), 4);
    w.flag(base.conformanceWindow);
    if (base.conformanceWindow)
        for (uint32_t c : base.confWin)
            w.ue(c);
    w.u(1, 1);        // max_one_active_ref_layer_flag
    w.u(1, 1);        // vps_poc_lsb_aligned_flag: both eyes share every POC
    if (b) w.u(1, 1); // poc_lsb_not_present_flag[1]
    // dpb_size() for OLS 1
    w.u(0, 1);
    w.ue(base.maxDecPicBufferingMinus1);
    w.ue(base.maxDecPicBufferingMinus1);
    w.ue(base.maxNumReorderPics);
    w.ue(base.maxLatencyIncreasePlus1);
    w.ue(0);   // direct_dep_type_len_minus2
    w.u(1, 1); // direct_dependency_all_layers_flag
    w.u(2, 2); // direct_dependency_all_layers_type
    w.ue(0);   // vps_non_vui_extension_length
    w.u(0, 1); // vps_vui_present_flag
    w.u(0, 1); // vps_extension2_flag
    w.trailingBits();
    const uint8_t header[2] = {static_cast<uint8_t>(hevcnal::videoParameterSet << 1), 1};
    return assemble(header, w.take());
}

LayerContext stereoLayerContext(VpsVariant variant) {
    LayerContext c;
    c.pocLsbNotPresent = variant == VpsVariant::B;
    c.interLayerFlagPresent = variant == VpsVariant::A;
    return c;
}

Bytes makeReferenceDisplaysSei() {
    BitWriter p;
    p.ue(31);  // prec_ref_display_width
    p.u(0, 1); // ref_viewing_distance_flag
    p.ue(0);   // num_ref_displays_minus1
    p.ue(0);   // left_view_id
    p.ue(1);   // right_view_id
    p.u(0, 6); // exponent_ref_display_width
    p.u(0, 1); // mantissa: exponent 0, precision 31 -> 1 bit
    p.u(0, 1); // additional_shift_present_flag
    p.u(0, 1); // extension flag
    if (!p.byteAligned()) {
        p.u(1, 1); // payload bit equal to one, then zeros
        while (!p.byteAligned())
            p.u(0, 1);
    }
    const Bytes payload = p.take();
    Bytes rbsp = {176, static_cast<uint8_t>(payload.size())};
    rbsp.insert(rbsp.end(), payload.begin(), payload.end());
    rbsp.push_back(0x80);
    const uint8_t header[2] = {static_cast<uint8_t>(hevcnal::prefixSei << 1), 1};
    return assemble(header, rbsp);
}

} // namespace media::hevc
