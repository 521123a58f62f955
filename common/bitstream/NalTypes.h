// nal_unit_type values of H.264 (Table 7-1, with the MVC types of Annex H and
// Blu-ray's dependent-view delimiter) and HEVC (Table 7-1), spelled once for
// every reader and writer in the tree. Constants only.
#pragma once

#include <cstdint>

namespace bitstream {

namespace h264::nal {
inline constexpr int slice = 1;
inline constexpr int partitionA = 2;
inline constexpr int idrSlice = 5;
inline constexpr int sei = 6;
inline constexpr int sequenceParameterSet = 7;
inline constexpr int pictureParameterSet = 8;
inline constexpr int accessUnitDelimiter = 9;
inline constexpr int endOfSequence = 10;
inline constexpr int endOfStream = 11;
inline constexpr int filler = 12;
inline constexpr int sequenceParameterSetExtension = 13;
inline constexpr int prefix = 14;                     // carries the MVC header extension of a base slice
inline constexpr int subsetSequenceParameterSet = 15; // the dependent view's SPS
inline constexpr int sliceExtension = 20;             // a slice of a non-base view
inline constexpr int depthSliceExtension = 21;
inline constexpr int mvcDelimiter = 24; // Blu-ray's delimiter of dependent-view access units

// The header byte's low five bits.
constexpr int typeOf(std::uint8_t header) {
    return header & 0x1F;
}
constexpr bool isVcl(int type) {
    return type == slice || type == idrSlice || type == sliceExtension || type == depthSliceExtension;
}
// Types whose header carries the 3-byte extension (H.7.3.1.1) before the payload.
constexpr bool hasHeaderExtension(int type) {
    return type == prefix || type == sliceExtension || type == depthSliceExtension;
}
} // namespace h264::nal

namespace hevc::nal {
inline constexpr int trailN = 0;
inline constexpr int trailR = 1;
inline constexpr int raslR = 9;
inline constexpr int blaWLp = 16;
inline constexpr int idrWRadl = 19;
inline constexpr int idrNLp = 20;
inline constexpr int craNut = 21;
inline constexpr int reservedIrap23 = 23;
inline constexpr int videoParameterSet = 32;
inline constexpr int sequenceParameterSet = 33;
inline constexpr int pictureParameterSet = 34;
inline constexpr int accessUnitDelimiter = 35;
inline constexpr int endOfSequence = 36;
inline constexpr int endOfBitstream = 37;
inline constexpr int filler = 38;
inline constexpr int prefixSei = 39;
inline constexpr int suffixSei = 40;
} // namespace hevc::nal

} // namespace bitstream
