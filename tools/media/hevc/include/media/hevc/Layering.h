// Turning a single-layer HEVC stream into layer 1 of a two-view MV-HEVC stream:
// parameter-set id renumbering, NAL header layer id, the slice-header insertions
// of the chosen VPS variant, the two-layer VPS and the 3D reference displays SEI.
// Pure functions on NAL unit bytes (escaped, with the 2-byte header); thread-safe.
#pragma once

#include "media/hevc/Syntax.h"

namespace media::hevc {

// A: dependency declared in the VPS, inter-layer prediction switched off in every
//    layer-1 slice (decodable by FFmpeg >= 7.1, same VPS shape as Apple's files).
// B: layer 1 declared independent (no slice-header insertions; FFmpeg >= 8.0).
enum class VpsVariant { A, B };

struct LayerRewrite {
    int layerId = 1; // 0 keeps the layer (id renumbering only, for checks with single-layer decoders)
    int spsId = 1;
    int ppsId = 1;
    VpsVariant variant = VpsVariant::A;
};

// Header bytes of a NAL unit with a new layer id (temporal id kept).
Bytes withLayerId(std::span<const uint8_t> nal, int layerId);

Bytes rewriteSps(std::span<const uint8_t> nal, const LayerRewrite& rw);
Bytes rewritePps(std::span<const uint8_t> nal, const LayerRewrite& rw);
// sps/pps are the parsed originals the slice refers to (layer 0 syntax).
Bytes rewriteSlice(std::span<const uint8_t> nal, const Sps& sps, const Pps& pps, const LayerRewrite& rw);

// The inverse, for checking a written movie with single-layer decoders: a layer-1 slice
// (parsed with its own SPS/PPS and the VPS's layer context) back at layer 0 without the
// inserted fields. Parameter sets only need withLayerId(nal, 0).
Bytes layerSliceToBase(std::span<const uint8_t> nal, const Sps& sps, const Pps& pps, const LayerContext& ctx);

// The two-layer VPS NAL unit for a base layer described by its SPS.
Bytes makeStereoVps(const Sps& baseSps, VpsVariant variant);

// The LayerContext a decoder derives from makeStereoVps(variant) for layer 1.
LayerContext stereoLayerContext(VpsVariant variant);

// Prefix SEI (layer 0) with three_dimensional_reference_displays_info:
// left view 0, right view 1, no reference display size.
Bytes makeReferenceDisplaysSei();

} // namespace media::hevc
