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

// Apple's spatial video facts, in the units of their boxes: the camera baseline
// ('blin', micrometres), the horizontal disparity adjustment ('dadj', 1/10000
// of the image width) inside vexu/eyes, and the horizontal field of view
// ('hfov', 1/1000 degree) beside vexu. Each box is written only when set.
struct SpatialInfo {
    std::optional<uint32_t> baselineMicrometres;
    std::optional<int32_t> disparityAdjustment;
    std::optional<uint32_t> fieldOfViewThousandths;
    bool operator==(const SpatialInfo&) const = default;
};

// From the user's units (millimetres, a fraction of the width, degrees), rounded to the boxes' units.
SpatialInfo spatialInfoFrom(std::optional<double> baselineMillimetres,
                            std::optional<double> disparityAdjustment,
                            std::optional<double> fieldOfViewDegrees);

// The tools' shared options "--hfov DEGREES", "--baseline MM" and "--disparity-adjustment X"
// (a fraction of the width, -1 to 1). isSpatialOption names them; applySpatialOption sets
// one into `info` and returns the message for a value out of range or not a number.
bool isSpatialOption(const std::string& name);
std::optional<std::string> applySpatialOption(SpatialInfo& info, const std::string& name,
                                              const std::string& value);

struct StereoParameterSets {
    Bytes vps, sps0, pps0, sei; // layer 0 (sei may be empty)
    Bytes sps1, pps1;           // layer 1
};

// Complete 'hvc1' box. width/height: one view's display size.
Bytes buildStereoSampleEntry(const StereoParameterSets& ps, uint32_t width, uint32_t height,
                             const std::optional<Colour>& colour, const SpatialInfo& spatial = {});
// The vexu box (header included) and, when the field of view is set, the hfov box after it:
// the stereo-view part of the sample entry.
Bytes buildStereoViewBoxes(const SpatialInfo& spatial);

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
// The spatial facts of a parsed sample entry (vexu's blin and dadj, the hfov beside it).
SpatialInfo readSpatialInfo(const VisualSampleEntry& entry);

// Splits a sample of 4-byte length-prefixed NAL units; throws on a length running past the end.
std::vector<std::span<const uint8_t>> splitLengthPrefixed(std::span<const uint8_t> sample,
                                                          int lengthSize = 4);

} // namespace media::hevc
