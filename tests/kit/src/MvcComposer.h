// Turns two x264 encodes of identical structure into a two-view H.264 MVC
// stream (Annex H): base view with AUDs, dependent view with type-24
// delimiters, coded slice extensions and a subset SPS, and the interleaved
// stream. The slices' bits are carried over unchanged. Pure function; any thread.
#pragma once

#include "H264Bits.h"

#include <string>

namespace kit {

struct AccessUnitInfo {
    size_t decodeIndex = 0, displayIndex = 0;
    bool isIdr = false;
    bool isAnchor = false;  // anchor_pic_flag of the dependent view's slices
    char sliceLetter = 'P'; // of the base view's first slice
    int32_t picOrderCnt = 0;
    int64_t pts = 0, dts = 0;                      // 90 kHz
    size_t baseOffset = 0, baseSize = 0;           // in `base`
    size_t dependentOffset = 0, dependentSize = 0; // in `dependent`
};

struct MvcComposition {
    Bytes base, dependent, interleaved;
    std::vector<AccessUnitInfo> units;
    Bytes baseSps, basePps; // NAL units (header byte first), for avcC
    int width = 0, height = 0;
};

struct FrameRate {
    int64_t num = 24000, den = 1001;
};

// 90 kHz time of frame `index` counted from 0.
int64_t frameTime90k(int64_t index, FrameRate rate);

// Throws BitstreamError (with the access unit and NAL index) when the two
// encodes differ in structure or hold something the composition can't carry.
MvcComposition composeMvc(std::span<const uint8_t> baseEye, std::span<const uint8_t> dependentEye,
                          FrameRate rate, int64_t firstDts90k = 90000);

// Groups an Annex B stream's NAL units into access units (7.4.1.2.3).
std::vector<std::vector<NalUnit>> splitAccessUnits(std::span<const uint8_t> stream);

// The lines of access_units.txt.
std::string describeAccessUnits(const MvcComposition& composition);

} // namespace kit
