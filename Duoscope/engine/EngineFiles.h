// Small file and text helpers the engine's steps share, and the pure pieces of
// demultiplexing (meta file text, listing parsing) exposed for tests.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ConversionTypes.h"

namespace duoscope {

class ChildProcess;
// Receives each tool process a helper starts, so that cancellation reaches it.
using ProcessTracker = std::function<void(const std::shared_ptr<ChildProcess>&)>;

// Writes the whole text to a temporary file beside `path` and renames it into
// place; throws std::system_error with the path on failure.
void writeFileAtomically(const std::filesystem::path& path, const std::string& contents);

// Why a path cannot be a conversion's source (missing, a folder, a named pipe,
// a device, ...), or nothing when it is a regular file (links followed).
std::optional<std::string> sourceProblem(const std::filesystem::path& source);

// True when both paths name one existing file (links of either kind count).
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// `name` with `suffix` before its extension, its stem shortened (on a UTF-8
// character boundary) so that the whole fits the file system's 255 bytes.
std::string fittingFileName(const std::string& name, const std::string& suffix);

// The last line of a tool's output that says something: progress lines and
// generic closing words are passed over, an error line is preferred. Empty
// when there is none.
std::string lastMeaningfulLine(const std::vector<std::string>& lines);
// "<text>: <reason>", or the text alone when the reason is empty.
std::string withReason(const std::string& text, const std::string& reason);
// Whether the disk holding `folder` has less than 1 MiB left.
bool diskIsFull(const std::filesystem::path& folder);

// Video frames and length of a movie, read back with ffprobe.
struct MovieFacts {
    long long frames = 0;
    double duration = 0;
    double frameRate = 0;                // the video stream's r_frame_rate, 0 when unknown
    std::optional<double> soundDuration; // filled by the caller when it matters
};
// Counts the first video stream's packets, within the first `readSeconds`
// when given; nothing when ffprobe cannot read the file.
std::optional<MovieFacts> probeMovieFacts(const std::filesystem::path& movie,
                                          std::optional<double> readSeconds = std::nullopt,
                                          const ProcessTracker& track = {});

// How long the first sound stream lasts, from its first packet's start to its
// last packet's end, within the first `readSeconds` when given; nothing when
// there is no sound stream or it cannot be read.
std::optional<double> probeSoundDuration(const std::filesystem::path& movie,
                                         std::optional<double> readSeconds = std::nullopt,
                                         const ProcessTracker& track = {});

// Decodes the first video stream's first pictures and its last seconds (from
// `duration` - 3 s): what is wrong when a stretch decodes to fewer pictures
// than it has packets, nothing when both decode.
std::optional<std::string> undecodableVideo(const std::filesystem::path& movie, double duration,
                                            const ProcessTracker& track = {});

// What a movie written from a source must hold.
struct MovieExpectation {
    std::optional<long long> frames;     // unknown when the source could not be counted
    double frameRate = 0;                // of the written movie
    std::optional<double> soundDuration; // the source's sound, cut to the limit; none without sound
};
// From the source's own count (and rate, when `sourceFrameRate` is 0): `picturesPerFrame` source pictures
// make one output frame (2 for frame-alternate sources); a limit cuts after that many seconds.
MovieExpectation expectationFromSource(const std::filesystem::path& source, double sourceFrameRate,
                                       int picturesPerFrame, std::optional<int> durationLimit,
                                       const ProcessTracker& track = {});
// Nothing when the facts meet the expectation (frames within one, length
// within a frame or two, sound within 0.2 s), else what is wrong.
std::optional<std::string> movieShortfall(const MovieFacts& facts, const MovieExpectation& expected);

// Copies a file's bytes to a new file; throws std::system_error with the OS
// reason (a full disk says so) and the path.
void copyFileContents(const std::filesystem::path& from, const std::filesystem::path& to);

// Size in bytes, 0 when it cannot be read.
unsigned long long fileSizeOrZero(const std::filesystem::path& path);

struct SubTrackLayout {
    int avcTrack = 1;
    int avcSubTrack = 2;
    int mvcTrack = 1;
    int mvcSubTrack = 1;
    friend bool operator==(const SubTrackLayout&, const SubTrackLayout&) = default;
};

// "source" with the source's extension when it is plain letters and digits:
// the name the demultiplexer sees, so no character of the user's reaches it.
std::filesystem::path neutralSourceName(const std::filesystem::path& source);
std::string demuxCutOption(std::optional<int> durationLimit);
SubTrackLayout parseTrackListing(const std::string& listing);
std::string singleTrackMeta(const std::filesystem::path& source, const SubTrackLayout& layout,
                            std::optional<int> durationLimit);
std::string separateTracksMeta(const std::filesystem::path& source, const std::vector<DetectedTrack>& tracks,
                               std::optional<int> durationLimit);
// Video tracks of an ffprobe "-show_streams" report, base views before MVC views.
// Throws nlohmann::json::parse_error when the report is not JSON.
std::vector<DetectedTrack> detectedTracksFromReport(const std::string& report);

} // namespace duoscope
