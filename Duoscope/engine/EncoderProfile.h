// The encoder argument set in one place: the quality table indexed by preset,
// and the encoder profile (VideoToolbox or software) that maps the design's
// ffmpeg arguments onto the encoders this ffmpeg really has. The profile is
// chosen once per process; every function here is safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConversionTypes.h"

namespace duoscope {

enum class EncoderProfile {
    videoToolbox, // hevc_videotoolbox, h264_videotoolbox and aac_at present: arguments as designed
    software,     // libx265 / libx264 / aac substitutions
};

// Everything a preset decides, for every consumer of the table.
struct PresetEncoding {
    int videoQuality;                    // ffmpeg -q:v of the hardware encoders
    std::optional<int> rateCapMegabits;  // -maxrate <cap>M -bufsize <2 cap>M
    int softwareCRF;                     // what -q:v becomes in the software profile
    const char* softwareSpeedPreset;     // libx264/libx265 -preset: a two-hour stereo film at
                                         // "medium" takes days on two cores, so faster below high
    std::string stereoPackerQuality;     // StereoPacker / direct MV-HEVC quality, 0..1
    std::optional<int> stereoPackerRate; // StereoPacker / direct MV-HEVC average rate, Mbit/s
};

const PresetEncoding& presetEncoding(QualityPreset preset);

// The profile of this process: decided on first use from `ffmpeg -hide_banner
// -encoders` (software when ffmpeg is missing), unless a test forced one.
EncoderProfile activeEncoderProfile();
EncoderProfile encoderProfileFromEncoderList(std::string_view encodersOutput);
// For tests: force a profile (nullopt returns to the detected one).
void overrideEncoderProfile(std::optional<EncoderProfile> profile);

// Applies the profile's substitutions to a design argument list; the
// VideoToolbox profile returns it unchanged.
std::vector<std::string> applyEncoderProfile(std::vector<std::string> arguments, EncoderProfile profile);
// The same for argument text with single blanks between words (script text).
std::string applyEncoderProfile(const std::string& argumentText, EncoderProfile profile);

// The design's encoder group: "-c:v", <hevc|h264>_videotoolbox, "-q:v", q,
// ["-tag:v", "hvc1"], "-metadata:s:v:0", "stereo_mode=left_right".
std::vector<std::string> videoEncoderGroup(bool useHEVC, QualityPreset preset);
// "-maxrate", "<cap>M", "-bufsize", "<2 cap>M", or nothing.
std::vector<std::string> rateCapArguments(QualityPreset preset);
// HEVC when the output is a .mov (any case) or the codec is h265.
bool usesHEVC(std::string_view outputExtension, OutputCodec codec);

} // namespace duoscope
