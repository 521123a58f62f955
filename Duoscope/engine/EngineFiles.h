// Small file and text helpers the engine's steps share, and the pure pieces of
// demultiplexing (meta file text, listing parsing) exposed for tests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ConversionTypes.h"

namespace duoscope {

// Writes the whole text to a temporary file beside `path` and renames it into
// place; throws std::system_error with the path on failure.
void writeFileAtomically(const std::filesystem::path& path, const std::string& contents);

// Size in bytes, 0 when it cannot be read.
unsigned long long fileSizeOrZero(const std::filesystem::path& path);

struct SubTrackLayout {
    int avcTrack = 1;
    int avcSubTrack = 2;
    int mvcTrack = 1;
    int mvcSubTrack = 1;
    friend bool operator==(const SubTrackLayout&, const SubTrackLayout&) = default;
};

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
