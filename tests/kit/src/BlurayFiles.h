// Writers of the Blu-ray navigation files the kit's disc backups hold:
// index.bdmv, MovieObject.bdmv, playlists (.mpls) and clip information
// (.clpi), in the layouts libbluray reads. Pure functions over plain values;
// any thread. Times are 45 kHz ticks, as the files store them.
#pragma once

#include "H264Bits.h"

#include <string>
#include <vector>

namespace kit {

// Stream coding types of playlists and clip information files.
inline constexpr uint8_t kCodingAvc = 0x1B, kCodingMvc = 0x20, kCodingAc3 = 0x81;

struct BlurayStream {
    uint16_t pid = 0;
    uint8_t codingType = kCodingAvc;
    uint8_t format = 0, rate = 0; // video_format/frame_rate or audio_presentation_type/sampling_frequency
    std::string language;         // ISO 639-2, audio only
};

struct EntryPoint {
    int64_t pts90k = 0;  // of an I picture that decoding may start from
    uint32_t packet = 0; // source packet holding the start of its PES
};

struct ClipInformation {
    bool isDependentView = false; // the sub-TS of a 3D title's MVC dependent view
    uint32_t sourcePackets = 0;
    uint32_t recordingRate = 0; // bytes per second
    uint32_t presentationStart = 0, presentationEnd = 0;
    uint16_t pcrPid = 0x1001, pmtPid = 0x0100;
    std::vector<BlurayStream> streams;
    uint16_t entryPid = 0;
    std::vector<EntryPoint> entryPoints;
};

struct PlayItem {
    std::string clip; // five digits
    uint8_t connectionCondition = 1;
    uint32_t inTime = 0, outTime = 0;
    std::vector<BlurayStream> video, audio; // STN table
};

// A sub-play-item of the 3D sub-path, synchronised with one play item.
struct DependentViewItem {
    std::string clip;
    uint8_t connectionCondition = 1;
    uint32_t inTime = 0, outTime = 0;
    uint16_t syncPlayItem = 0;
    uint32_t syncStartTime = 0;
};

struct PlaylistMark {
    uint16_t playItem = 0;
    uint32_t time = 0; // on the play item's clip timeline
};

struct PlaylistFile {
    bool baseViewIsRight = false; // MVC_Base_view_R_flag
    std::vector<PlayItem> items;
    std::vector<DependentViewItem> dependentView; // empty: a 2D playlist
    std::vector<PlaylistMark> marks;              // entry marks (chapters)
};

Bytes writeClipInformation(const ClipInformation& clip);
Bytes writePlaylist(const PlaylistFile& playlist);

// HDMV titles 1..N each run movie object N-1, which plays playlist
// playlistNumbers[N-1]; first playback runs the first.
Bytes writeIndex(size_t titleCount, bool has3D, uint8_t videoFormat, uint8_t frameRate);
Bytes writeMovieObjects(const std::vector<int>& playlistNumbers);

} // namespace kit
