// Reads the sample tables of a QuickTime/MP4 movie (moov before or after mdat) and its samples.
// Memory is bounded by the sample tables, never by the media size; sample data is read on demand.
// One MovieReader per thread; the object owns its file descriptor.
#pragma once

#include "Box.h"
#include "MediaTime.h"

#include <cstdint>
#include <string>
#include <vector>

namespace media {

struct SampleInfo {
    uint64_t offset = 0;          // file offset of the sample's first byte
    int64_t decodeTime = 0;       // media timescale, first sample at 0
    int64_t presentationTime = 0; // decodeTime + composition offset (media timescale, before the edit list)
    uint32_t size = 0;
    uint32_t duration = 0; // stts delta
    bool isSync = false;
};

struct EditEntry {
    uint64_t segmentDuration = 0; // movie timescale
    int64_t mediaTime = 0;        // media timescale; -1 = empty edit
    int32_t mediaRate = 0x10000;  // 16.16
};

struct TrackInfo {
    uint32_t trackId = 0;
    std::string handlerType;          // "vide", "soun", ...
    uint32_t timescale = 0;           // mdhd
    uint64_t mediaDuration = 0;       // mdhd, media timescale
    uint64_t trackDuration = 0;       // tkhd, movie timescale
    uint32_t width = 0, height = 0;   // tkhd, integer part of 16.16
    uint16_t language = 0;            // mdhd packed ISO-639-2/T (or Macintosh code)
    uint16_t volume = 0;              // tkhd 8.8
    std::vector<uint8_t> sampleEntry; // the whole first stsd entry box, byte for byte
    uint32_t sampleEntryType = 0;     // e.g. 'hvc1'
    uint32_t sampleDescriptionCount = 0;
    std::vector<EditEntry> edits;
    std::vector<SampleInfo> samples; // decode order

    // Track timeline time = media time + presentationShift (track timescale), from the edit list:
    // an optional leading empty edit, then the first normal edit's media time. 0 without edits.
    int64_t presentationShift = 0;
    // The track's time range duration: the sum of its edits (movie timescale) when it has an edit
    // list, otherwise the media duration (track timescale).
    MediaTime timeRangeDuration;
};

class MovieReader {
  public:
    // Opens and parses; throws IoError (cannot open/read) or FormatError (not a movie, fragmented,
    // truncated, inconsistent tables) with the path in the message.
    explicit MovieReader(const std::string& path);
    ~MovieReader();
    MovieReader(const MovieReader&) = delete;
    MovieReader& operator=(const MovieReader&) = delete;

    const std::string& path() const { return path_; }
    uint64_t fileSize() const { return fileSize_; }
    uint32_t movieTimescale() const { return movieTimescale_; }
    uint64_t movieDuration() const { return movieDuration_; }
    const std::vector<TrackInfo>& tracks() const { return tracks_; }
    // Index of the first track with that handler ("vide", "soun"), or -1.
    int firstTrack(const std::string& handlerType) const;
    // Top-level boxes of the file (headers only).
    const std::vector<BoxHeader>& topLevelBoxes() const { return topLevel_; }

    // Reads one sample's bytes into buffer (resized to the sample size). Throws IoError on a short read.
    void readSample(size_t track, size_t index, std::vector<uint8_t>& buffer) const;
    // Reads `size` bytes at a file offset into dst. Throws IoError on a short read.
    void readAt(uint64_t offset, uint8_t* dst, size_t size) const;
    int fd() const { return fd_; }

  private:
    void parse();
    std::string path_;
    int fd_ = -1;
    uint64_t fileSize_ = 0;
    uint32_t movieTimescale_ = 0;
    uint64_t movieDuration_ = 0;
    std::vector<TrackInfo> tracks_;
    std::vector<BoxHeader> topLevel_;
};

// Parses a complete moov box (bytes start at its header) into tracks; `fileSize` bounds the sample
// offsets (0 = do not check). The MovieReader uses this; exposed for tests and the fuzzer.
struct ParsedMovie {
    uint32_t movieTimescale = 0;
    uint64_t movieDuration = 0;
    std::vector<TrackInfo> tracks;
};
ParsedMovie parseMoov(const uint8_t* data, size_t size, uint64_t moovOffset, uint64_t fileSize);

} // namespace media
