// StereoPacker's testable pieces: its argument list, progress text, and the audio sample
// entries it builds when re-wrapping Matroska audio (mp4a with esds, ac-3 with dac3).
// Pure functions.
#pragma once

#include "media/hevc/SampleEntry.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace stereopacker {

struct Arguments {
    std::string input, output;
    double quality = 0.85;
    std::optional<uint32_t> rateMbps;
    // "--layout sbs|hsbs|tb|htb" and "--right-first": how the eyes lie in the input.
    bool topBottom = false, half = false, rightFirst = false;
    // "--hfov", "--baseline", "--disparity-adjustment": written only when given.
    media::hevc::SpatialInfo spatial;
};

// <input> <output> <quality> [<rate>], with the options anywhere among them; on error, the
// message for the "ERROR: " line.
std::variant<Arguments, std::string> parseArguments(const std::vector<std::string>& args);

constexpr const char* kUsage =
    "Usage: StereoPacker <input> <output> <quality 0..1> [<average rate in Mbps>] [--layout sbs|hsbs|tb|htb] "
    "[--right-first] [--hfov DEGREES] [--baseline MM] [--disparity-adjustment X]";

// "Frame <n>/<total> (<p>%)" with one decimal; without a known total just "Frame <n>".
std::string progressLine(int64_t frame, int64_t total);

struct FrameRate {
    uint32_t num = 0, den = 1;
    bool operator==(const FrameRate&) const = default;
};

// The source's exact frame rate from what the container reports. Matroska keeps millisecond
// timestamps and a remux to QuickTime keeps their rounding, so the average rate comes out as
// 16000/667 or 10000/417 for a 24000/1001 film, and the sample durations are uneven. The
// demuxer's base rate (`real`) is taken when it agrees with the average; a rate within 0.03 %
// of a broadcast or film rate (24000/1001 and 24 lie 0.1 % apart) is that rate; otherwise the
// average stands. A zero numerator or denominator means "not reported".
FrameRate exactFrameRate(FrameRate average, FrameRate real);

// AudioSampleEntry fixed part shared by both entries, then the codec box.
std::vector<uint8_t> aacSampleEntry(std::span<const uint8_t> audioSpecificConfig, int channels,
                                    int sampleRate, uint32_t averageBitRate);

struct Ac3Info {
    int fscod = 0, bsid = 0, bsmod = 0, acmod = 0, lfeon = 0, bitRateCode = 0;
    int sampleRate() const;
    int channels() const;
};
// Reads the bit-stream information of an AC-3 sync frame; nothing when it is not one.
std::optional<Ac3Info> parseAc3Header(std::span<const uint8_t> frame);
std::vector<uint8_t> ac3SampleEntry(const Ac3Info& info);

} // namespace stereopacker
