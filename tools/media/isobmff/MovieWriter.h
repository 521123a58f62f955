// Streaming QuickTime/MP4 writer: ftyp, then one mdat that grows as samples are added (64-bit when it
// passes 4 GiB), then moov on finish(). Keeps only the sample tables in memory, never media.
// Sample entries are written byte for byte as given. One writer per thread; errors throw IoError
// (with the path) or std::invalid_argument (caller errors such as decode times that go backwards).
#pragma once

#include "Box.h"
#include "MovieReader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace media {

// True when both paths name one existing file; a tool uses it to refuse an output that
// would overwrite one of its own inputs.
bool isSameFile(const std::string& a, const std::string& b);

struct TrackConfig {
    std::string handler = "vide";     // "vide" or "soun"
    uint32_t timescale = 0;           // media timescale, required
    uint32_t width = 0, height = 0;   // tkhd presentation size (video)
    std::vector<uint8_t> sampleEntry; // complete sample entry box (size, type, fields, children)
    uint16_t language = 0x55C4;       // packed "und"
    // Explicit edit list (movie timescale durations). Without it, the writer derives one from the
    // presentation times it was given (see addSample).
    std::optional<std::vector<EditEntry>> edits;
};

// A chapter mark: where it starts and how long it lasts (chapter timescale), and its UTF-8 title.
struct Chapter {
    int64_t start = 0;
    uint32_t duration = 0;
    std::string title;
};
struct ChapterList {
    uint32_t timescale = 1000;
    std::vector<Chapter> chapters;
};

// A movie's QuickTime chapters: the samples of its first text track, each a 16-bit length and
// a title. Empty when it has none.
ChapterList readChapters(const MovieReader& movie);

struct MovieWriterOptions {
    bool quickTime = true;       // ftyp "qt  " (else "isom" with mp41/mp42 compatibility)
    uint32_t movieTimescale = 0; // 0 = the first track's timescale
};

class MovieWriter {
  public:
    // Creates (truncates) the file and writes ftyp and the mdat header. Throws IoError.
    explicit MovieWriter(const std::string& path, MovieWriterOptions options = {});
    ~MovieWriter(); // closes without finishing when finish() was not called (file left as is)
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // Tracks must all be added before the first sample. Returns the track index.
    int addTrack(const TrackConfig& config);

    // Times are in the track timescale, on the presentation timeline (presentation time 0 shows at
    // movie time 0). Decode times must strictly increase per track; the first decode time becomes
    // media time 0 and an edit list maps the presentation times back when needed. The duration of
    // every sample but the last is the next decode time minus its own; `duration` is kept for the last.
    void addSample(int track, const uint8_t* data, size_t size, int64_t decodeTime, int64_t presentationTime,
                   uint32_t duration, bool isSync);
    // Same, with the sample's bytes copied from another file (kernel-side copy when possible).
    void addSampleFromFile(int track, int sourceFd, uint64_t sourceOffset, size_t size, int64_t decodeTime,
                           int64_t presentationTime, uint32_t duration, bool isSync);

    // QuickTime chapters, written on finish() as a disabled text track that every video track
    // names in a 'chap' reference. Chapters must start in order; empty ones are left out.
    void setChapters(const ChapterList& chapters) { chapters_ = chapters; }

    // Writes moov, patches the mdat size and closes. Throws IoError.
    void finish();

    uint64_t bytesWritten() const { return position_; }
    size_t sampleCount(int track) const;
    const std::string& path() const { return path_; }

  private:
    struct Track;
    void checkSample(int track, size_t size, int64_t decodeTime);
    void recordSample(int track, uint64_t offset, size_t size, int64_t decodeTime, int64_t presentationTime,
                      uint32_t duration, bool isSync);
    void writeRaw(const uint8_t* data, size_t size);
    void writeChapterTrack();
    void flushBuffer();
    void pwriteAll(const uint8_t* data, size_t size, uint64_t offset);
    std::vector<uint8_t> buildMoov() const;

    std::string path_;
    MovieWriterOptions options_;
    int fd_ = -1;
    uint64_t position_ = 0; // logical end of file (buffer included)
    uint64_t mdatStart_ = 0;
    std::vector<uint8_t> buffer_;
    std::vector<std::unique_ptr<Track>> tracks_;
    int lastTrack_ = -1;
    bool finished_ = false;
    ChapterList chapters_;
    int chapterTrack_ = -1;
};

} // namespace media
