// What the decode, encode and pipeline steps build and parse, as plain
// functions: the argument lists and generated scripts of every tool run, the
// parsing of ffmpeg's "time=" values, and small text and file helpers.
// Pure functions and one small thread-safe list; callable from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConversionTypes.h"
#include "EncoderProfile.h"
#include "Text.h"

namespace duoscope {

// ---- text ----
std::string joined(const std::vector<std::string>& parts, std::string_view separator);
// The pieces between any of the separator characters, empty ones kept.
std::vector<std::string> splitAt(std::string_view text, std::string_view separators);
// The lines of a text split at CR and LF, trimmed, empty ones dropped.
std::vector<std::string> splitLines(std::string_view text);
// The first `count` characters (UTF-8 code points, not bytes).
std::string leadingCharacters(std::string_view text, std::size_t count);
bool startsWith(std::string_view text, std::string_view prefix);
bool contains(std::string_view text, std::string_view part);
// The extension without its dot ("" when none).
std::string extensionOf(const std::filesystem::path& path);
// Shortest round-trip form that keeps a fractional digit: 5400 -> "5400.0", 12.5 -> "12.5".
std::string shortestDecimal(double value);
// Quotes a path for a "..." context of a bash script. Plain paths come back
// unchanged inside the quotes; ", \, $ and ` are escaped so that a file name
// can never run as a command.
std::string shellDoubleQuoted(const std::string& text);

// "HH:MM:SS.ss" -> seconds; exactly three numeric parts, non-negative, else nothing.
std::optional<double> parseClockTime(std::string_view text);
// The text after the first "time=" up to the next space (or the line's end); nothing without "time=".
std::optional<std::string> timeTextOfLine(std::string_view line);
// The value of the last "time=" in a log tail that parses (0 when none does).
double lastTimeInLog(std::string_view logText);

// Size in whole megabytes of 1,000,000 bytes; 0 when unreadable.
std::uintmax_t wholeMegabytes(const std::filesystem::path& file);
// The last `count` bytes of a file (all of it when shorter); empty when unreadable.
std::string fileTail(const std::filesystem::path& file, std::size_t count);

// The last `capacity` lines; shared between a pipe reader and the waiting thread.
class RecentLines {
  public:
    explicit RecentLines(std::size_t capacity) : capacity_(capacity) {}
    void append(std::string line);
    std::vector<std::string> last(std::size_t count) const;
    bool empty() const;

  private:
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
};

// The parallel script's "PROGRESS: <done>/<total> frames, <k>/<n> segments".
struct ParallelWork {
    long long framesDone = 0;
    long long framesTotal = 0;
    int segmentsDone = 0;
    int segments = 0;
};
std::optional<ParallelWork> parallelWorkLine(std::string_view line);

// ---- argument lists and scripts (design lists with the profile applied) ----
struct SBSEncodeSpec {
    std::filesystem::path leftView, rightView, sourceAudio, output;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputCodec outputCodec = OutputCodec::h264;
    int viewWidth = 1920, viewHeight = 1080, frameRateNum = 24000, frameRateDen = 1001;
    std::optional<std::string> sourceAudioCodec;
};
std::vector<std::string> encodeSBSArguments(const SBSEncodeSpec& spec, EncoderProfile profile);

// Side-by-side MKV source to MOV before the MV-HEVC stage.
std::vector<std::string> sideBySideRemuxArguments(const std::filesystem::path& source,
                                                  const std::filesystem::path& remuxed,
                                                  EncoderProfile profile);
// A side-by-side source to the side-by-side movie of the target: the video
// copied when `copyVideo` (the source is already in the chosen codec), else
// encoded with the chosen codec and preset; the sound as audioCopyArguments says.
std::vector<std::string> sideBySideCopyArguments(const std::filesystem::path& source,
                                                 const std::filesystem::path& output, bool copyVideo,
                                                 OutputCodec codec, QualityPreset preset,
                                                 std::optional<int> durationLimit,
                                                 const std::optional<std::string>& sourceAudioCodec,
                                                 EncoderProfile profile);
// The ffprobe codec name that the chosen codec writes.
std::string_view ffprobeCodecName(OutputCodec codec);
// Matroska side-by-side intermediate to its .mov twin inside the MV-HEVC stage.
std::vector<std::string> mvhevcRemuxArguments(const std::filesystem::path& input,
                                              const std::filesystem::path& remuxed);
// "-tag:v hvc1" names HEVC; with stream copy of any other codec ffmpeg refuses
// the whole remux, so the tag is dropped when the video is known not to be HEVC.
std::vector<std::string> withHEVCTagOnlyFor(std::vector<std::string> arguments,
                                            const std::optional<std::string>& videoCodec);
// The first video stream's codec name by ffprobe, or nothing when it cannot tell.
std::optional<std::string> probeVideoCodec(const std::filesystem::path& movie);
// The first audio stream's codec name by ffprobe, or nothing when it cannot tell.
std::optional<std::string> probeAudioCodec(const std::filesystem::path& movie);
// "-c:a copy" when a movie of this extension can hold the source's sound as it
// is, else a lossless re-encode (FLAC in Matroska, 24-bit PCM in QuickTime).
std::vector<std::string> audioCopyArguments(std::string_view extension,
                                            const std::optional<std::string>& codec);
// With a layout other than full side by side, left eye first, StereoPacker cuts (and for half
// layouts stretches) the eyes itself: "--layout hsbs" and "--right-first" follow the design's
// positional arguments, then the spatial metadata options.
std::vector<std::string> stereoPackerArguments(const std::filesystem::path& input,
                                               const std::filesystem::path& output, QualityPreset preset,
                                               const Stereo3DMode& layout = Stereo3DMode::sideBySide(),
                                               const SpatialMetadata& spatial = {});
// "sbs", "hsbs", "tb" or "htb" for a side-by-side or top-bottom layout.
std::string layoutOptionName(const Stereo3DMode& layout);
// The filter graph that turns one frame of a side-by-side or top-bottom layout into full side
// by side, left eye first: each eye cut out, a half eye stretched back with a Lanczos filter.
std::string framePackedFilter(const Stereo3DMode& layout, int frameWidth, int frameHeight);

// "-c:a aac_at -b:a 448k -ac 6 -ar 48000" for visionPro (profile applied), else
// the source's sound copied into the output as audioCopyArguments says.
std::string audioArgumentText(OutputTarget target, EncoderProfile profile, const std::string& outputPath,
                              const std::optional<std::string>& sourceAudioCodec);

struct FrameAlternateScriptSpec {
    std::string ffmpegPath, sourcePath, workFolder, outputPath;
    bool rightFirst = false;
    std::optional<int> durationLimit;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputCodec outputCodec = OutputCodec::h264;
    OutputTarget outputTarget = OutputTarget::sbs3D;
    std::optional<std::string> sourceAudioCodec;
};
// A side-by-side or top-bottom source and its frame size: the same script cuts its frames instead.
struct PackedFrames {
    Stereo3DMode layout;
    int width = 1920, height = 1080;
};
std::string frameAlternateScript(const FrameAlternateScriptSpec& spec, EncoderProfile profile,
                                 const std::optional<PackedFrames>& packed = std::nullopt);

struct PipeScriptSpec {
    std::string workFolder, viewpumpPath, twinrowPath, ffmpegPath, sourceAudioPath, outputPath;
    bool rightFirst = false;
    int viewWidth = 1920, viewHeight = 1080, frameRateNum = 24000, frameRateDen = 1001;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputTarget outputTarget = OutputTarget::sbs3D;
    std::optional<std::string> sourceAudioCodec;
    // Of the side-by-side movie; its container may demand HEVC (usesHEVC).
    OutputCodec outputCodec = OutputCodec::h265;
};
std::string pipePipelineScript(const PipeScriptSpec& spec, EncoderProfile profile);

struct ParallelArgumentsSpec {
    std::string scriptPath, interleavedPath, sourceAudioPath, outputPath, workFolder;
    int viewWidth = 1920, viewHeight = 1080, frameRateNum = 24000, frameRateDen = 1001;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputTarget outputTarget = OutputTarget::sbs3D;
    bool rightFirst = false, directMVHEVC = false;
    std::optional<std::string> dualSplitMVCPath;
    std::optional<std::string> sourceAudioCodec;
    // Of the side-by-side movie; its container may demand HEVC (usesHEVC).
    OutputCodec outputCodec = OutputCodec::h265;
    std::optional<int> workers; // the script's own choice (one per core) when absent
    // Other machines for the segments (GNU parallel --sshlogin entries, comma
    // separated, or "@" and a file of them); empty: this machine only.
    std::string hosts;
};
// Memory one segment worker (decoder, eye splitter and encoder together) peaks
// at for views of this size.
std::uint64_t segmentWorkerPeakBytes(int viewWidth, int viewHeight);
// One worker per core, but no more than the available memory holds (keeping
// a quarter of it for everything else), and at least one.
int segmentWorkerCount(int cores, std::uint64_t availableBytes, std::uint64_t perWorkerBytes);
// MemAvailable of /proc/meminfo, nothing when it cannot be read.
std::optional<std::uint64_t> availableMemoryBytes();
// "viewpump: concealed picture of view <v> in access unit <n>": (view, access unit).
std::optional<std::pair<int, long long>> concealedPictureLine(std::string_view line);
// "N damaged pictures between HH:MM:SS and HH:MM:SS (base view: a, second view: b)"
// for pictures at these times (seconds) and views; empty when there are none.
std::string damageSummary(const std::vector<std::pair<int, double>>& concealed);
// The quality argument of fanout-run.sh for a preset and mode.
std::string parallelQualityText(QualityPreset preset, bool directMVHEVC);
// `spatial` is handed on in direct MV-HEVC mode only.
std::vector<std::string> parallelPipelineArguments(const ParallelArgumentsSpec& spec, EncoderProfile profile,
                                                   const SpatialMetadata& spatial = {});

} // namespace duoscope
