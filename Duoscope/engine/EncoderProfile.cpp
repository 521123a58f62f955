#include "EncoderProfile.h"

#include <signal.h>

#include <chrono>
#include <mutex>
#include <sstream>

#include "ChildProcess.h"
#include "EncodeSupport.h"
#include "ToolLocator.h"

namespace duoscope {

namespace {

// Indexed by the preset's position: ultraHigh, high, medium, low.
const PresetEncoding presetTable[] = {
    {85, 35, 18, "medium", "0.88", 35},
    {80, 30, 20, "medium", "0.85", 25},
    {65, std::nullopt, 23, "fast", "0.7", std::nullopt},
    {45, std::nullopt, 28, "veryfast", "0.5", std::nullopt},
};

std::mutex profileMutex;
std::optional<EncoderProfile> forcedProfile;
std::optional<EncoderProfile> detectedProfile;

EncoderProfile detectProfile() {
    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) return EncoderProfile::software;
    try {
        auto process = ChildProcess::create({*ffmpeg,
                                             {"-hide_banner", "-encoders"},
                                             std::nullopt,
                                             ChildProcess::Output::pipe,
                                             ChildProcess::Output::nullDevice});
        process->launch();
        // A listing takes milliseconds; an ffmpeg that hangs must not hang every conversion.
        if (!process->waitUntilExit(std::chrono::seconds(20))) {
            ::kill(process->processIdentifier(), SIGKILL);
            process->waitUntilExit();
            return EncoderProfile::software;
        }
        return encoderProfileFromEncoderList(process->collectedStandardOutput());
    } catch (const std::exception&) {
        return EncoderProfile::software;
    }
}

const PresetEncoding* presetForQuality(std::string_view text) {
    for (const auto& row : presetTable)
        if (text == std::to_string(row.videoQuality)) return &row;
    return nullptr;
}

} // namespace

const PresetEncoding& presetEncoding(QualityPreset preset) {
    return presetTable[static_cast<int>(preset)];
}

EncoderProfile encoderProfileFromEncoderList(std::string_view encodersOutput) {
    // Each encoder stands as a whole word in its row; "hevc_videotoolbox" must
    // not match a longer name that merely contains it.
    auto listed = [&](std::string_view name) {
        std::istringstream rows{std::string(encodersOutput)};
        std::string row;
        while (std::getline(rows, row)) {
            std::istringstream words(row);
            std::string flags, encoder;
            if (words >> flags >> encoder && encoder == name) return true;
        }
        return false;
    };
    return listed("hevc_videotoolbox") && listed("h264_videotoolbox") ? EncoderProfile::videoToolbox
                                                                      : EncoderProfile::software;
}

EncoderProfile activeEncoderProfile() {
    std::lock_guard lock(profileMutex);
    if (forcedProfile) return *forcedProfile;
    if (!detectedProfile) detectedProfile = detectProfile();
    return *detectedProfile;
}

void overrideEncoderProfile(std::optional<EncoderProfile> profile) {
    std::lock_guard lock(profileMutex);
    forcedProfile = profile;
}

std::vector<std::string> applyEncoderProfile(std::vector<std::string> arguments, EncoderProfile profile) {
    if (profile == EncoderProfile::videoToolbox) return arguments;
    bool isHEVC = false;
    // The speed preset follows the quality the list asks for ("-q:v"), wherever it stands.
    std::string speedPreset = "medium";
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-c:v" && arguments[i + 1] == "hevc_videotoolbox") isHEVC = true;
        if (arguments[i] == "-q:v" && presetForQuality(arguments[i + 1]))
            speedPreset = presetForQuality(arguments[i + 1])->softwareSpeedPreset;
    }

    std::vector<std::string> result;
    result.reserve(arguments.size() + 4);
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
        if (word == "-c:v" && next && (*next == "hevc_videotoolbox" || *next == "h264_videotoolbox")) {
            result.insert(result.end(), {"-c:v", *next == "hevc_videotoolbox" ? "libx265" : "libx264",
                                         "-preset", speedPreset});
            ++i;
        } else if (word == "-q:v" && next && presetForQuality(*next)) {
            result.insert(result.end(), {"-crf", std::to_string(presetForQuality(*next)->softwareCRF)});
            ++i;
        } else if (word == "-realtime" && next && *next == "0") {
            ++i;
        } else if (word == "-sc_threshold" && next && *next == "0" && isHEVC) {
            // libx265 has no such option; scene cuts are its own business.
            ++i;
        } else if (word == "-c:a" && next && *next == "aac_at") {
            result.insert(result.end(), {"-c:a", "aac"});
            ++i;
        } else {
            result.push_back(word);
        }
    }
    return result;
}

std::string applyEncoderProfile(const std::string& argumentText, EncoderProfile profile) {
    if (profile == EncoderProfile::videoToolbox) return argumentText;
    return joined(applyEncoderProfile(splitAt(argumentText, " "), profile), " ");
}

std::vector<std::string> videoEncoderGroup(bool useHEVC, QualityPreset preset) {
    std::string quality = std::to_string(presetEncoding(preset).videoQuality);
    if (useHEVC)
        return {"-c:v",
                "hevc_videotoolbox",
                "-q:v",
                quality,
                "-tag:v",
                "hvc1",
                "-metadata:s:v:0",
                "stereo_mode=left_right"};
    return {"-c:v", "h264_videotoolbox", "-q:v", quality, "-metadata:s:v:0", "stereo_mode=left_right"};
}

std::vector<std::string> rateCapArguments(QualityPreset preset) {
    auto cap = presetEncoding(preset).rateCapMegabits;
    if (!cap) return {};
    return {"-maxrate", std::to_string(*cap) + "M", "-bufsize", std::to_string(2 * *cap) + "M"};
}

bool usesHEVC(std::string_view outputExtension, OutputCodec codec) {
    return lowercased(outputExtension) == "mov" || codec == OutputCodec::h265;
}

} // namespace duoscope
