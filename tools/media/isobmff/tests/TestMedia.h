// Test media for the joiners' tests: HEVC movies encoded at test time with Debian's ffmpeg/libx265,
// turned into stereo-style segments (hvc1 entry with an lhvC and a vexu box) with our own writer.
// Test-only code; single-threaded.
#pragma once

#include "Box.h"
#include "MovieReader.h"
#include "TestSupport.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace media::testing {

using duoscope::test::CommandResult;
// Runs a program (first of args) with arguments, no shell, through the shared runner.
CommandResult run(const std::vector<std::string>& args);

// A per-process scratch folder removed by the destructor.
struct ScratchDir {
    explicit ScratchDir(const std::string& name);
    ~ScratchDir();
    std::filesystem::path path;
    std::string file(const std::string& name) const { return (path / name).string(); }
};

struct HevcOptions {
    int frames = 24;
    int width = 160, height = 120;
    std::string rate = "24000/1001";
    int bframes = 3;
    int keyint = 12;
    std::string pattern = "testsrc2"; // any lavfi video source name
};
// Encodes an HEVC .mov (hvc1, moov after mdat) with libx265; throws on failure.
void makeHevcMovie(const std::string& path, const HevcOptions& options);

struct SegmentOptions {
    std::string entryType = "hvc1"; // or "hev1"
    bool withVexu = true;           // false: hvcC is the entry's last child
    bool withLhvC = true;
    uint8_t lhvCMarker = 0x11; // distinguishes lhvC boxes of different segments
};
// The lhvC box used for fake stereo segments: a syntactically valid LHEVCDecoderConfigurationRecord
// with an empty parameter-set list, tagged by `marker` in its last byte.
std::vector<uint8_t> fakeLhvC(uint8_t marker);
std::vector<uint8_t> fakeVexu();
// Rewrites an HEVC movie into a stereo-style segment with our writer: same samples and times, sample entry
// with lhvC after hvcC and vexu at the end (per options).
void makeStereoSegment(const std::string& hevcMovie, const std::string& out, const SegmentOptions& options);

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// framemd5 lines (without the header comments) of the decoded base layer, by Debian's ffmpeg.
std::vector<std::string> decodedFrameMd5(const std::string& path);
// Every sample's bytes of the first video track, in decode order.
std::vector<std::vector<uint8_t>> videoSamples(const std::string& path);

std::string toolPath(const std::string& name);
// Runs one of the built tools with arguments.
CommandResult runTool(const std::string& name, const std::vector<std::string>& args);

// A generated file kept in the build tree between test processes: made once by `make(tempPath)`, then
// renamed into place (so parallel tests never see half a file). Returns its path.
std::string cachedMedia(const std::string& name, const std::function<void(const std::string&)>& make);
// Three stereo-style segments with B-frames, 24 frames each at 24000/1001 fps, different pictures and
// the same sample entry (as one encoder configuration gives).
std::vector<std::string> standardSegments();
// An audio-only movie (AAC in .m4a) of about `seconds` seconds.
std::string audioMovie(double seconds);

// Checks a joined movie against its segments: one video track whose sample entry is byte-identical to
// the first segment's, the segments' samples in order and unchanged, presentation times continuous
// (segment k shifted by the lengths of the segments before it), decode times strictly increasing,
// and Debian's ffmpeg decoding the base layer to the segments' pictures in order.
void expectJoined(const std::string& output, const std::vector<std::string>& segments);

} // namespace media::testing
