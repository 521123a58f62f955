#include "ConversionTypes.h"

#include "Text.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace duoscope {

namespace {

// The name of `value` in `names`, given in the order of `all` (the order the
// enumeration declares its values, so the value is its own index).
template <typename Enum, size_t N>
std::string_view nameOf(Enum value, const std::array<Enum, N>& all,
                        const std::array<std::string_view, N>& names) {
    const auto index = static_cast<size_t>(value);
    return index < N && all[index] == value ? names[index] : std::string_view{};
}

template <typename Enum, size_t N>
std::optional<Enum> fromRaw(const std::array<Enum, N>& all, std::string_view raw) {
    for (Enum value : all)
        if (rawValue(value) == raw) return value;
    return std::nullopt;
}

template <typename Enum, size_t N>
std::optional<Enum> fromLabel(const std::array<Enum, N>& all, std::string_view label) {
    const std::string wanted = lowercased(trimmed(label));
    for (Enum value : all)
        if (lowercased(rawValue(value)) == wanted) return value;
    return std::nullopt;
}

template <typename Enum, size_t N>
StoredChoice<Enum> readChoice(const std::array<Enum, N>& all, const std::optional<std::string>& stored,
                              std::string_view key, Enum fallback) {
    if (!stored) return {fallback, {}};
    if (auto value = fromLabel(all, *stored)) return {*value, {}};
    std::string warning = "WARNING: setting ";
    warning.append(key);
    if (trimmed(*stored).empty()) {
        warning += " is empty";
    } else {
        warning.append(" \"").append(*stored).append("\" is none of");
        for (size_t i = 0; i < N; ++i)
            warning.append(i == 0 ? " \"" : ", \"").append(rawValue(all[i])).append("\"");
    }
    warning.append("; using \"").append(rawValue(fallback)).append("\"");
    return {fallback, warning};
}

} // namespace

std::string_view rawValue(QualityPreset preset) {
    return nameOf(preset, allQualityPresets, {"Ultra High", "High Quality", "Balanced", "Smaller File"});
}

std::string_view rawValue(OutputCodec codec) {
    return nameOf(codec, allOutputCodecs, {"H.264", "H.265 (HEVC)"});
}

std::string_view rawValue(OutputTarget target) {
    return nameOf(target, allOutputTargets, {"SBS 3D (MKV)", "Apple Vision Pro (MV-HEVC)"});
}

std::string_view rawValue(ConversionStage stage) {
    return nameOf(stage, allConversionStages,
                  {"Ready", "Demuxing...", "Interleaving NAL units...", "Decoding MVC...",
                   "Encoding SBS 3D...", "Encoding MV-HEVC...", "Converting to MV-HEVC...", "Complete!",
                   "Failed"});
}

std::string_view caseName(ConversionStage stage) {
    return nameOf(stage, allConversionStages,
                  {"idle", "demuxing", "interleaving", "decoding", "encoding", "encodingMVHEVC",
                   "convertingMVHEVC", "complete", "failed"});
}

std::optional<QualityPreset> qualityPresetFromRaw(std::string_view raw) {
    return fromRaw(allQualityPresets, raw);
}
std::optional<OutputCodec> outputCodecFromRaw(std::string_view raw) {
    return fromRaw(allOutputCodecs, raw);
}
std::optional<OutputTarget> outputTargetFromRaw(std::string_view raw) {
    return fromRaw(allOutputTargets, raw);
}

std::string_view optionName(LayoutChoice choice) {
    return nameOf(choice, allLayoutChoices, {"auto", "sbs", "hsbs", "tb", "htb", "alternate", "mvc"});
}

std::string_view label(LayoutChoice choice) {
    return nameOf(choice, allLayoutChoices,
                  {"Auto", "Full side by side", "Half side by side", "Full top-bottom", "Half top-bottom",
                   "Frame alternate", "MVC (Blu-ray 3D)"});
}

std::optional<LayoutChoice> layoutChoiceFromOptionName(std::string_view name) {
    for (LayoutChoice choice : allLayoutChoices)
        if (optionName(choice) == name) return choice;
    return std::nullopt;
}

std::optional<LayoutChoice> layoutChoiceFromLabel(std::string_view text) {
    for (LayoutChoice choice : allLayoutChoices)
        if (label(choice) == text) return choice;
    return std::nullopt;
}

namespace {
std::string shortest(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}
} // namespace

std::optional<std::string> spatialMetadataProblem(const SpatialMetadata& metadata) {
    // The boxes hold whole micrometres, thousandths of a degree and
    // ten-thousandths of the width in 32 bits.
    if (auto v = metadata.horizontalFieldOfViewDegrees; v && !(*v > 0 && *v < 360))
        return "--hfov must lie above 0 and below 360 degrees, got " + shortest(*v);
    if (auto v = metadata.baselineMillimetres; v && !(*v > 0 && *v <= 1000000))
        return "--baseline must lie above 0 and at most 1000000 mm, got " + shortest(*v);
    if (auto v = metadata.disparityAdjustment; v && !(*v >= -1 && *v <= 1))
        return "--disparity-adjustment must lie between -1 and 1 (a fraction of the width), got " +
               shortest(*v);
    return std::nullopt;
}

std::vector<std::string> spatialMetadataArguments(const SpatialMetadata& metadata) {
    std::vector<std::string> arguments;
    if (metadata.horizontalFieldOfViewDegrees)
        arguments.insert(arguments.end(), {"--hfov", shortest(*metadata.horizontalFieldOfViewDegrees)});
    if (metadata.baselineMillimetres)
        arguments.insert(arguments.end(), {"--baseline", shortest(*metadata.baselineMillimetres)});
    if (metadata.disparityAdjustment)
        arguments.insert(arguments.end(),
                         {"--disparity-adjustment", shortest(*metadata.disparityAdjustment)});
    return arguments;
}

std::optional<QualityPreset> qualityPresetFromLabel(std::string_view label) {
    return fromLabel(allQualityPresets, label);
}
std::optional<OutputCodec> outputCodecFromLabel(std::string_view label) {
    return fromLabel(allOutputCodecs, label);
}
std::optional<OutputTarget> outputTargetFromLabel(std::string_view label) {
    return fromLabel(allOutputTargets, label);
}

StoredChoice<QualityPreset> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                             QualityPreset fallback) {
    return readChoice(allQualityPresets, stored, key, fallback);
}
StoredChoice<OutputCodec> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                           OutputCodec fallback) {
    return readChoice(allOutputCodecs, stored, key, fallback);
}
StoredChoice<OutputTarget> readStoredChoice(const std::optional<std::string>& stored, std::string_view key,
                                            OutputTarget fallback) {
    return readChoice(allOutputTargets, stored, key, fallback);
}

StoredChoice<bool> readStoredSwitch(const std::optional<std::string>& stored, std::string_view key,
                                    bool fallback) {
    if (!stored) return {fallback, {}};
    std::string word = lowercased(trimmed(*stored));
    if (word == "true" || word == "false") return {word == "true", {}};
    return {fallback, "WARNING: setting " + std::string(key) + " \"" + *stored +
                          "\" is neither true nor false; using " + (fallback ? "true" : "false")};
}

std::string Stereo3DMode::text() const {
    const char* flag = rightFirst ? "true" : "false";
    const char* half = isHalf ? "true" : "false";
    switch (kind) {
    case Kind::mvcSingleTrack:
        return std::string("mvcSingleTrack(rightFirst: ") + flag + ")";
    case Kind::frameAlternate:
        return std::string("frameAlternate(rightFirst: ") + flag + ")";
    case Kind::none:
        return "none";
    case Kind::mvcSeparateTracks:
        return rightFirst ? "mvcSeparateTracks(rightFirst: true)" : "mvcSeparateTracks";
    case Kind::sideBySide:
        if (!rightFirst && !isHalf) return "sideBySide";
        return std::string("sideBySide(half: ") + half + ", rightFirst: " + flag + ")";
    case Kind::topBottom:
        return std::string("topBottom(half: ") + half + ", rightFirst: " + flag + ")";
    }
    return {};
}

std::string Stereo3DMode::description() const {
    std::string name;
    switch (kind) {
    case Kind::mvcSingleTrack:
    case Kind::mvcSeparateTracks:
        name = "MVC";
        break;
    case Kind::frameAlternate:
        name = "frame alternate";
        break;
    case Kind::none:
        return "no 3D";
    case Kind::sideBySide:
        name = isHalf ? "half side by side" : "full side by side";
        break;
    case Kind::topBottom:
        name = isHalf ? "half top-bottom" : "full top-bottom";
        break;
    }
    return name + (rightFirst ? ", right eye first" : "");
}

EyeSize eyeSizeOf(const Stereo3DMode& mode, int frameWidth, int frameHeight) {
    if (mode.kind == Stereo3DMode::Kind::sideBySide && !mode.isHalf) return {frameWidth / 2, frameHeight};
    if (mode.kind == Stereo3DMode::Kind::topBottom && !mode.isHalf) return {frameWidth, frameHeight / 2};
    return {frameWidth, frameHeight};
}

std::optional<std::string> layoutProblem(const Stereo3DMode& mode, int frameWidth, int frameHeight) {
    if (!mode.isFramePacked()) return std::nullopt;
    std::string size = std::to_string(frameWidth) + "x" + std::to_string(frameHeight);
    bool sideBySide = mode.kind == Stereo3DMode::Kind::sideBySide;
    if (frameWidth < 2 || frameHeight < 2) return "a " + size + " frame holds no picture to split";
    // Both eyes are 4:2:0 pictures: each needs an even width and height.
    int split = sideBySide ? frameWidth : frameHeight;
    int other = sideBySide ? frameHeight : frameWidth;
    if (split % 4 != 0 || other % 2 != 0)
        return "a " + size + " frame cannot be split into two " +
               (sideBySide ? "side-by-side" : "top-bottom") + " eyes of even size";
    // Eyes far wider or taller than any film or camera make are the sign of
    // the wrong layout (a 3840x1080 frame read as top-bottom gives 7:1 eyes).
    EyeSize eye = eyeSizeOf(mode, frameWidth, frameHeight);
    double shape = static_cast<double>(eye.width) / eye.height;
    if (shape < 0.5 || shape > 3.0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", shape);
        return "a " + size + " frame as " + mode.description() + " gives eyes of " +
               std::to_string(eye.width) + "x" + std::to_string(eye.height) + " (shape " + text +
               ":1), not a picture";
    }
    return std::nullopt;
}

std::string SourceFileInfo::formattedDuration() const {
    // A non-finite duration is a caller's bug; clamp rather than invoke UB on the cast.
    double whole = std::isfinite(duration) ? std::max(0.0, std::floor(duration)) : 0.0;
    auto total = static_cast<long long>(whole);
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", total / 3600, (total % 3600) / 60, total % 60);
    return text;
}

std::string SourceFileInfo::description() const {
    std::ostringstream out;
    out << "SourceFileInfo(url: " << url.string() << ", fileName: " << fileName << ", title: " << title
        << ", duration: " << duration << ", resolution: " << resolution << ", videoWidth: " << videoWidth
        << ", videoHeight: " << videoHeight << ", frameRateNum: " << frameRateNum
        << ", frameRateDen: " << frameRateDen << ", hasMVCStream: " << (hasMVCStream ? "true" : "false")
        << ", mvcTrackIndex: " << (mvcTrackIndex ? std::to_string(*mvcTrackIndex) : std::string("nil"))
        << ", stereoMode: " << stereoMode.text() << ", layoutSignal: " << layoutSignal << ")";
    return out.str();
}

std::optional<int> parseWholeNumber(std::string_view text) {
    size_t digits = text.starts_with('+') || text.starts_with('-') ? 1 : 0;
    if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string_view::npos)
        return std::nullopt;
    long long value = 0;
    for (size_t i = digits; i < text.size(); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (text.starts_with('-')) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int>(value);
}

Stereo3DMode defaultStereoModeForExtension(const std::filesystem::path& source) {
    if (lowercased(source.extension().string()) == ".mkv") return Stereo3DMode::mvcSingleTrack(false);
    return Stereo3DMode::mvcSeparateTracks();
}

ConversionError::ConversionError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {
    switch (kind_) {
    case Kind::toolNotFound:
        description_ = payload_;
        break;
    case Kind::demuxFailed:
        description_ = "Demux failed: " + payload_;
        break;
    case Kind::decodingFailed:
        description_ = "Decoding failed: " + payload_;
        break;
    case Kind::encodingFailed:
        description_ = "Encoding failed: " + payload_;
        break;
    case Kind::cancelled:
        description_ = "Conversion was cancelled";
        break;
    }
}

} // namespace duoscope
