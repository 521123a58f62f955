#include "ConversionTypes.h"

#include "Text.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace duoscope {

namespace {

template <typename Enum, size_t N>
std::optional<Enum> fromRaw(const std::array<Enum, N>& all, std::string_view raw) {
    for (Enum value : all)
        if (rawValue(value) == raw) return value;
    return std::nullopt;
}

} // namespace

std::string_view rawValue(QualityPreset preset) {
    switch (preset) {
    case QualityPreset::ultraHigh:
        return "Ultra High";
    case QualityPreset::high:
        return "High Quality";
    case QualityPreset::medium:
        return "Balanced";
    case QualityPreset::low:
        return "Smaller File";
    }
    return {};
}

std::string_view rawValue(OutputCodec codec) {
    switch (codec) {
    case OutputCodec::h264:
        return "H.264";
    case OutputCodec::h265:
        return "H.265 (HEVC)";
    }
    return {};
}

std::string_view rawValue(OutputTarget target) {
    switch (target) {
    case OutputTarget::sbs3D:
        return "SBS 3D (MKV)";
    case OutputTarget::visionPro:
        return "Apple Vision Pro (MV-HEVC)";
    }
    return {};
}

std::string_view rawValue(ConversionStage stage) {
    switch (stage) {
    case ConversionStage::idle:
        return "Ready";
    case ConversionStage::demuxing:
        return "Demuxing...";
    case ConversionStage::interleaving:
        return "Interleaving NAL units...";
    case ConversionStage::decoding:
        return "Decoding MVC...";
    case ConversionStage::encoding:
        return "Encoding SBS 3D...";
    case ConversionStage::encodingMVHEVC:
        return "Encoding MV-HEVC...";
    case ConversionStage::convertingMVHEVC:
        return "Converting to MV-HEVC...";
    case ConversionStage::complete:
        return "Complete!";
    case ConversionStage::failed:
        return "Failed";
    }
    return {};
}

std::string_view caseName(ConversionStage stage) {
    switch (stage) {
    case ConversionStage::idle:
        return "idle";
    case ConversionStage::demuxing:
        return "demuxing";
    case ConversionStage::interleaving:
        return "interleaving";
    case ConversionStage::decoding:
        return "decoding";
    case ConversionStage::encoding:
        return "encoding";
    case ConversionStage::encodingMVHEVC:
        return "encodingMVHEVC";
    case ConversionStage::convertingMVHEVC:
        return "convertingMVHEVC";
    case ConversionStage::complete:
        return "complete";
    case ConversionStage::failed:
        return "failed";
    }
    return {};
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

std::string Stereo3DMode::text() const {
    const char* flag = rightFirst ? "true" : "false";
    switch (kind) {
    case Kind::mvcSingleTrack:
        return std::string("mvcSingleTrack(rightFirst: ") + flag + ")";
    case Kind::frameAlternate:
        return std::string("frameAlternate(rightFirst: ") + flag + ")";
    case Kind::none:
        return "none";
    case Kind::mvcSeparateTracks:
        return "mvcSeparateTracks";
    case Kind::sideBySide:
        return "sideBySide";
    }
    return {};
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
        << ", stereoMode: " << stereoMode.text() << ")";
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
