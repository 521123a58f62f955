// The QuickTime sample entry of a stereo MV-HEVC track: 'hvc1' with hvcC (VPS,
// layer-0 SPS/PPS, 3D reference displays SEI), lhvC (layer-1 SPS/PPS), colr and
// vexu (eyes: stri + hero); and parsers for these records. Pure functions.
#pragma once

#include "media/hevc/Bitstream.h"

#include <map>
#include <optional>

namespace media::hevc {

struct Colour {
    uint16_t primaries = 1, transfer = 1, matrix = 1; // BT.709
    bool fullRange = false;
};

struct StereoParameterSets {
    Bytes vps, sps0, pps0, sei; // layer 0 (sei may be empty)
    Bytes sps1, pps1;           // layer 1
};

// Complete 'hvc1' box. width/height: one view's display size.
Bytes buildStereoSampleEntry(const StereoParameterSets& ps, uint32_t width, uint32_t height,
                             const std::optional<Colour>& colour);

struct NalArray {
    int type = 0;
    bool complete = false;
    std::vector<Bytes> nals;
};

struct HevcConfig { // hvcC or lhvC
    uint8_t version = 0;
    uint8_t profileSpace = 0, tier = 0, profileIdc = 0; // hvcC only
    uint32_t compatibility = 0;
    uint64_t constraints = 0;
    uint8_t levelIdc = 0;
    uint16_t minSpatialSegmentation = 0;
    uint8_t parallelismType = 0, chromaFormat = 0, bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
    uint8_t numTemporalLayers = 0;
    bool temporalIdNested = false;
    uint8_t lengthSizeMinusOne = 0;
    std::vector<NalArray> arrays;
    const NalArray* array(int type) const;
};

// Payloads (box header excluded).
HevcConfig parseHvcC(std::span<const uint8_t> payload);
HevcConfig parseLhvC(std::span<const uint8_t> payload);

struct StereoView {
    std::optional<uint8_t> stri; // flags byte
    std::optional<uint8_t> hero;
    std::optional<uint32_t> baselineMicrometres;
    std::optional<int32_t> disparityAdjustment;
    std::optional<uint32_t> projection;
};
StereoView parseVexu(std::span<const uint8_t> payload);

struct VisualSampleEntry {
    uint32_t type = 0;
    uint16_t width = 0, height = 0;
    std::vector<std::pair<std::string, Bytes>> children; // type, payload in file order
    const Bytes* child(const std::string& type) const;
};
// A whole sample entry box (header included).
VisualSampleEntry parseVisualSampleEntry(std::span<const uint8_t> box);

// Splits a sample of 4-byte length-prefixed NAL units; throws on a length running past the end.
std::vector<std::span<const uint8_t>> splitLengthPrefixed(std::span<const uint8_t> sample,
                                                          int lengthSize = 4);

} // namespace media::hevc
