// The value types every part of the main program exchanges: the user's choices,
// the analysed source, one conversion request and its result, stages and errors.
// Plain copyable values; safe to pass between threads.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace duoscope {

enum class QualityPreset { ultraHigh, high, medium, low };
enum class OutputCodec { h264, h265 };
enum class OutputTarget { sbs3D, visionPro };
enum class ConversionStage {
    idle,
    demuxing,
    interleaving,
    decoding,
    encoding,
    encodingMVHEVC,
    convertingMVHEVC,
    complete,
    failed
};

inline constexpr std::array allQualityPresets{QualityPreset::ultraHigh, QualityPreset::high,
                                              QualityPreset::medium, QualityPreset::low};
inline constexpr std::array allOutputCodecs{OutputCodec::h264, OutputCodec::h265};
inline constexpr std::array allOutputTargets{OutputTarget::sbs3D, OutputTarget::visionPro};
inline constexpr std::array allConversionStages{ConversionStage::idle,
                                                ConversionStage::demuxing,
                                                ConversionStage::interleaving,
                                                ConversionStage::decoding,
                                                ConversionStage::encoding,
                                                ConversionStage::encodingMVHEVC,
                                                ConversionStage::convertingMVHEVC,
                                                ConversionStage::complete,
                                                ConversionStage::failed};

// Raw values double as the labels the user sees and the texts the settings store keeps.
std::string_view rawValue(QualityPreset preset);
std::string_view rawValue(OutputCodec codec);
std::string_view rawValue(OutputTarget target);
std::string_view rawValue(ConversionStage stage);
std::string_view caseName(ConversionStage stage);

std::optional<QualityPreset> qualityPresetFromRaw(std::string_view raw);
std::optional<OutputCodec> outputCodecFromRaw(std::string_view raw);
std::optional<OutputTarget> outputTargetFromRaw(std::string_view raw);

// A label as a person or an older settings file writes it: the known labels
// compared without regard to ASCII case or white space at either end.
std::optional<QualityPreset> qualityPresetFromLabel(std::string_view label);
std::optional<OutputCodec> outputCodecFromLabel(std::string_view label);
std::optional<OutputTarget> outputTargetFromLabel(std::string_view label);

// One stored setting read against its known labels. `stored` is absent when
// nothing is stored, which quietly gives `fallback`; a value that names no
// label gives `fallback` and one warning line naming the key, the value and
// the label used instead. The command line and the model read settings alike.
template <typename Enum> struct StoredChoice {
    Enum value;
    std::string warning; // empty when the stored value was read as it is
};
StoredChoice<QualityPreset> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                             QualityPreset fallback);
StoredChoice<OutputCodec> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                           OutputCodec fallback);
StoredChoice<OutputTarget> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                            OutputTarget fallback);
// A stored switch ("true"/"false" in any case), with the same warning.
StoredChoice<bool> readStoredSwitch(const std::optional<std::string>& stored, std::string_view key,
                                    bool fallback);

struct Stereo3DMode {
    enum class Kind { mvcSingleTrack, frameAlternate, none, mvcSeparateTracks, sideBySide, topBottom };
    Kind kind = Kind::none;
    // The first view (base view, first picture of a pair, left half or top
    // half) is the right eye. Every case but none carries it.
    bool rightFirst = false;
    // sideBySide and topBottom: each eye holds half the width (or height) of
    // its display shape and is stretched back to it.
    bool isHalf = false;

    static Stereo3DMode mvcSingleTrack(bool rightFirst) { return {Kind::mvcSingleTrack, rightFirst}; }
    static Stereo3DMode frameAlternate(bool rightFirst) { return {Kind::frameAlternate, rightFirst}; }
    static Stereo3DMode none() { return {Kind::none, false}; }
    static Stereo3DMode mvcSeparateTracks(bool rightFirst = false) {
        return {Kind::mvcSeparateTracks, rightFirst};
    }
    static Stereo3DMode sideBySide(bool rightFirst = false, bool isHalf = false) {
        return {Kind::sideBySide, rightFirst, isHalf};
    }
    static Stereo3DMode topBottom(bool rightFirst = false, bool isHalf = false) {
        return {Kind::topBottom, rightFirst, isHalf};
    }

    bool hasPayload() const { return kind == Kind::mvcSingleTrack || kind == Kind::frameAlternate; }
    // Both eyes in every frame, one beside or above the other.
    bool isFramePacked() const { return kind == Kind::sideBySide || kind == Kind::topBottom; }
    // Full side by side, left eye first: the only layout that is already what
    // the side-by-side target holds.
    bool isPlainSideBySide() const { return kind == Kind::sideBySide && !rightFirst && !isHalf; }
    // The form used in log lines, e.g. "mvcSingleTrack(rightFirst: true)", "sideBySide" or
    // "topBottom(half: true, rightFirst: false)".
    std::string text() const;
    // A short name for people: "half side by side, right eye first".
    std::string description() const;

    friend bool operator==(const Stereo3DMode& a, const Stereo3DMode& b) {
        return a.kind == b.kind && (a.kind == Kind::none || a.rightFirst == b.rightFirst) &&
               (!a.isFramePacked() || a.isHalf == b.isHalf);
    }
};

// One eye's picture size as the routes write it, from the source frame's size.
struct EyeSize {
    int width = 0, height = 0;
};
EyeSize eyeSizeOf(const Stereo3DMode& mode, int frameWidth, int frameHeight);
// Why a frame of this size cannot hold the layout (naming the size), or nothing.
std::optional<std::string> layoutProblem(const Stereo3DMode& mode, int frameWidth, int frameHeight);

// One stream of a source as the analysis saw it, for --analyze and the window.
struct MediaTrack {
    int index = 0;
    std::string type;     // "video", "audio", "subtitle", …
    std::string codec;    // ffprobe's codec name
    std::string language; // ISO 639-2 from the container, or empty
    int width = 0, height = 0;
    int channels = 0;
    friend bool operator==(const MediaTrack&, const MediaTrack&) = default;
};

// The title of a Blu-ray disc backup that a run converts, as the analysis chose it.
struct DiscTitleSource {
    std::filesystem::path root; // the folder holding BDMV/, or the .iso
    unsigned titleNumber = 0;
    unsigned playlist = 0;
    std::string playlistName;            // "00001.mpls"
    std::optional<std::string> baseClip; // only this play-item, when the user gave its clip
    std::optional<unsigned> audioPid;    // none: the title has no sound
    std::string audioDescription;        // "eng AC-3", for the log
    std::string audioLanguage;           // "eng" (ISO 639-2), empty when the disc names none
    std::vector<double> chapters;        // start seconds from the title's start
    std::string reason;                  // why this title, for --analyze and the log
    // What the window offers to choose from: the disc's 3D titles (playlist
    // number and a label) and the chosen title's audio languages.
    std::vector<std::pair<unsigned, std::string>> titles3D;
    std::vector<std::string> audioLanguages;

    friend bool operator==(const DiscTitleSource&, const DiscTitleSource&) = default;
};

struct SourceFileInfo {
    std::filesystem::path url;
    std::string fileName;
    std::string title;
    double duration = 0;
    std::string resolution = "Unknown";
    int videoWidth = 1920;
    int videoHeight = 1080;
    int frameRateNum = 24000;
    int frameRateDen = 1001;
    bool hasMVCStream = false;
    std::optional<int> mvcTrackIndex;
    Stereo3DMode stereoMode;
    // Which signal decided the layout, for the analysis trace and --analyze.
    std::string layoutSignal = "none";
    std::vector<MediaTrack> tracks;
    std::optional<DiscTitleSource> disc;

    // "%02d:%02d:%02d" of the whole seconds; hours are not wrapped at 24.
    std::string formattedDuration() const;
    // A string form of every field, for the analysis trace of the command line.
    std::string description() const;

    friend bool operator==(const SourceFileInfo&, const SourceFileInfo&) = default;
};

// A whole decimal number as the user or a tool writes it: optional sign, digits
// only, within int range; nothing otherwise.
std::optional<int> parseWholeNumber(std::string_view text);

// The stereo mode assumed for a source that could not be analysed.
Stereo3DMode defaultStereoModeForExtension(const std::filesystem::path& source);

// The layout the user says a source has; `automatic` leaves it to the analysis.
enum class LayoutChoice { automatic, sbs, hsbs, tb, htb, alternate, mvc };
inline constexpr std::array allLayoutChoices{
    LayoutChoice::automatic, LayoutChoice::sbs,       LayoutChoice::hsbs, LayoutChoice::tb,
    LayoutChoice::htb,       LayoutChoice::alternate, LayoutChoice::mvc};
// The command line's word ("auto", "hsbs", ...) and the window's label ("Auto", "Half side by side", ...).
std::string_view optionName(LayoutChoice choice);
std::string_view label(LayoutChoice choice);
std::optional<LayoutChoice> layoutChoiceFromOptionName(std::string_view name);
std::optional<LayoutChoice> layoutChoiceFromLabel(std::string_view label);

// Camera and display facts written into an MV-HEVC movie for Apple Vision
// Pro's spatial presentation; each one only when set.
struct SpatialMetadata {
    std::optional<double> horizontalFieldOfViewDegrees;
    std::optional<double> baselineMillimetres;
    // Horizontal disparity adjustment as a fraction of the image width, -1 to 1.
    std::optional<double> disparityAdjustment;
    bool isEmpty() const {
        return !horizontalFieldOfViewDegrees && !baselineMillimetres && !disparityAdjustment;
    }
    friend bool operator==(const SpatialMetadata&, const SpatialMetadata&) = default;
};
// Why a value cannot be written (naming the option), or nothing.
std::optional<std::string> spatialMetadataProblem(const SpatialMetadata& metadata);
// The tools' options for it: "--hfov" 63.4 "--baseline" 19.24 "--disparity-adjustment" 0.02, set ones only.
std::vector<std::string> spatialMetadataArguments(const SpatialMetadata& metadata);

struct ConversionJob {
    std::filesystem::path sourceURL;
    std::filesystem::path outputDirectory;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputCodec outputCodec = OutputCodec::h264;
    OutputTarget outputTarget = OutputTarget::sbs3D;
    std::optional<int> durationLimit;
    LayoutChoice layoutChoice = LayoutChoice::automatic;
    bool rightFirst = false; // the user says the first view is the right eye
    SpatialMetadata spatialMetadata;
    // After a failure the work folder keeps everything, not only its logs.
    bool keepWorkFolder = false;
    // An output file of the final name is replaced; else the movie takes the next free name.
    bool replaceExisting = false;
    // A source whose decoder had to conceal pictures converts, with a warning, instead of failing.
    bool acceptDamaged = false;
    // The side-by-side movie a frame-alternate source makes on its way to
    // MV-HEVC is handed to the caller; without it that movie goes with the work folder.
    bool keepSBSIntermediate = true;
    // Other machines that take segments of the parallel routes over SSH, in
    // GNU parallel's --sshlogin form ("4/user@box1,:"), or "@" and a file of
    // them; empty: this machine's cores only.
    std::string otherMachines;
    // A side-by-side movie kept from an earlier run of this source: the run
    // makes its output from it (no duration limit, that movie already has it);
    // the output is still named after `sourceURL`.
    std::optional<std::filesystem::path> keptSideBySide;
    // A disc backup's title by number or playlist (else the main 3D title), and
    // the sound by ISO 639-2 language (else the title's first audio stream).
    std::optional<unsigned> discTitle;
    std::optional<unsigned> discPlaylist;
    std::string audioLanguage;
};

struct ConversionResult {
    std::string outputPath;
    std::filesystem::path tempDirectory;
    std::optional<std::string> sbsIntermediatePath;
};

class ConversionError : public std::exception {
  public:
    enum class Kind { toolNotFound, demuxFailed, decodingFailed, encodingFailed, cancelled };

    static ConversionError toolNotFound(std::string message) {
        return {Kind::toolNotFound, std::move(message)};
    }
    static ConversionError demuxFailed(std::string detail) { return {Kind::demuxFailed, std::move(detail)}; }
    static ConversionError decodingFailed(std::string detail) {
        return {Kind::decodingFailed, std::move(detail)};
    }
    static ConversionError encodingFailed(std::string detail) {
        return {Kind::encodingFailed, std::move(detail)};
    }
    static ConversionError cancelled() { return {Kind::cancelled, {}}; }

    Kind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    ConversionError(Kind kind, std::string payload);
    Kind kind_;
    std::string payload_;
    std::string description_;
};

struct DetectedTrack {
    int trackId = 0;
    std::string codec;
    bool isMVC = false;
    int index = 0;
    friend bool operator==(const DetectedTrack&, const DetectedTrack&) = default;
};

} // namespace duoscope
