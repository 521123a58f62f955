// Test media for the demuxer: a minimal transport-stream muxer and Matroska
// writer of our own (nothing on Debian muxes MVC), a splitter of two-view MVC
// streams into per-view access units, and a runner for the tsmuxer program.
#pragma once

#include "TestSupport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsmuxer::test {

using duoscope::test::Bytes;

inline Bytes readFile(const std::string& path) {
    return duoscope::test::readBytes(path);
}
inline void writeFile(const std::string& path, const Bytes& bytes) {
    duoscope::test::writeBytes(path, bytes);
}
inline void writeFile(const std::string& path, const std::string& text) {
    duoscope::test::writeFile(path, text);
}
std::string scratchFolder(const std::string& name); // fresh folder under the build tree

// NAL units in Annex B order; each payload starts at the NAL header.
std::vector<Bytes> splitAnnexB(const Bytes& stream);
inline uint8_t nalType(const Bytes& nal) {
    return nal[0] & 0x1F;
}

struct StereoAccessUnit {
    std::vector<Bytes> base;      // base-view NAL units
    std::vector<Bytes> dependent; // prefix, subset SPS, its PPS, slice extensions
    int64_t pts = 0;              // 90 kHz
    int64_t dts = 0;
};

// Splits a two-view MVC stream (one of the reference streams) into access
// units, with timestamps from a regular IBBP-like reordering.
std::vector<StereoAccessUnit> splitStereo(const Bytes& stream);
// splitStereo of one of the reference streams in the test data's mvc/ folder.
std::vector<StereoAccessUnit> loadStereo(const std::string& name);

// The options of a meta file as the engine writes them for separate tracks.
inline const std::string kSeparateTracksOptions =
    "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500";
// A meta file: its MUXOPT line, then one "<codec>, "<source>", <rest>" line per track.
std::string metaText(const std::string& firstLine, const std::string& source,
                     const std::vector<std::pair<std::string, std::string>>& lines);

// The Annex B stream of one view, each access unit opened by its delimiter
// when withDelimiters is set (4-byte start codes throughout).
Bytes viewStream(const std::vector<StereoAccessUnit>& units, bool dependent, bool withDelimiters);

struct TsOptions {
    unsigned packetSize = 192;
    bool withDelimiters = true;            // put AUD / type-24 delimiters into the PES payloads
    std::optional<size_t> dropPacket;      // index of a base-view packet to lose
    size_t unitsPerPes = 1;                // access units per PES packet (only the first has its PTS)
    std::optional<size_t> junkAfterPacket; // 77 stray bytes after this packet (sync loss)
};
Bytes muxTransportStream(const std::vector<StereoAccessUnit>& units, const TsOptions& options);

struct MkvOptions {
    bool parametersInBand = true; // keep SPS/PPS in the blocks as well as in CodecPrivate
    bool mvcConfigBox = false;    // append an 'mvcC' box with the MVC parameter sets to CodecPrivate
    bool withDependent = true;
    bool unknownSizeClusters = false;
    bool blockGroups = false; // BlockGroup/Block instead of SimpleBlock
    unsigned lacing = 0;      // 1 Xiph, 3 EBML: up to three frames per block
};
Bytes makeMatroska(const std::vector<StereoAccessUnit>& units, const MkvOptions& options);

struct ProgramResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments);
ProgramResult runTsmuxer(const std::vector<std::string>& arguments); // the built tools/tsmuxer

} // namespace tsmuxer::test
