// layerforge's command line and number formatting, kept apart from main() so they can be
// tested. Pure functions.
#pragma once

#include "media/hevc/SampleEntry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace layerforge {

struct Options {
    int width = 1920;
    int height = 1080;
    int32_t fpsNum = 24000, fpsDen = 1001;
    double quality = 0.85;
    std::optional<int64_t> maxBitrateMbps;
    bool swap = false;
    // Worker threads of the two encoders together; 0 leaves the choice to x265 (all cores).
    int threads = 0;
    std::string outputPath;
    // Written into the movie only when given (--hfov, --baseline, --disparity-adjustment).
    media::hevc::SpatialInfo spatial;
};

struct ShowUsage {};
struct BadOption {
    std::string message; // without the "ERROR: " prefix
};

using ParseResult = std::variant<Options, ShowUsage, BadOption>;

ParseResult parseCommandLine(const std::vector<std::string>& args);

constexpr const char* kUsage1 = "Usage: layerforge --width W --height H --fps NUM/DEN --quality Q [--maxrate "
                                "Mbps] [--swap] --output FILE";
constexpr const char* kUsage2 = "  Reads raw SBS YUV420 frames from stdin";

// "<s>s" below a minute, else "<m>m <s>s"; seconds truncated toward zero.
std::string formatTime(double seconds);
// Shortest decimal text that reads back as the same double (0.85, 1, 0.7).
std::string shortestDecimal(double v);

} // namespace layerforge
