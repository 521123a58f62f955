// Video demultiplexer for MPEG transport streams (188/192-byte packets) and 3D
// Matroska: track listing and extraction of the base and MVC dependent views as
// Annex B streams. Callers own sources and sinks; one demux runs on one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tsmuxer {

// Bad media or a request the source cannot satisfy; the text says where.
class DemuxError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using WarningSink = std::function<void(const std::string&)>;

// Sequential reader in large chunks over a file or a memory block.
class ByteSource {
  public:
    static std::unique_ptr<ByteSource> openFile(const std::string& path); // throws DemuxError
    static std::unique_ptr<ByteSource> fromMemory(const uint8_t* data, size_t size);
    virtual ~ByteSource() = default;

    // Makes at least n bytes available at data() unless the source ends first;
    // returns the number available (may be less than n only at the end).
    size_t ensure(size_t n);
    const uint8_t* data() const { return buffer_.data() + start_; }
    size_t available() const { return end_ - start_; }
    void consume(size_t n) { start_ += n; }
    // Skips n bytes, seeking when they are not buffered; false when the source ends first.
    bool skip(uint64_t n);
    uint64_t offset() const { return bufferOffset_ + start_; }
    virtual std::optional<uint64_t> totalSize() const = 0;

  protected:
    // Reads up to n bytes into dst; 0 at the end. Throws DemuxError on I/O failure.
    virtual size_t readSome(uint8_t* dst, size_t n) = 0;
    // Moves the read position to an absolute offset; false when unsupported.
    virtual bool seekTo(uint64_t absolute) = 0;

  private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    uint64_t bufferOffset_ = 0; // source offset of buffer_[0]
    bool atEnd_ = false;
    static constexpr size_t kChunk = 4u << 20;
};

// Where one extracted view goes. truncate() is only ever called with a size
// the sink already reached, to drop access units after a cut.
class ElementarySink {
  public:
    virtual ~ElementarySink() = default;
    virtual void write(const uint8_t* data, size_t size) = 0;
    virtual uint64_t size() const = 0;
    virtual void truncate(uint64_t size) = 0;
    virtual void finish() = 0;
};

class MemorySink : public ElementarySink {
  public:
    void write(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
    uint64_t size() const override { return bytes.size(); }
    void truncate(uint64_t size) override { bytes.resize(size); }
    void finish() override {}
    std::vector<uint8_t> bytes;
};

// Buffered file output; throws DemuxError with errno text on failure.
class FileSink : public ElementarySink {
  public:
    explicit FileSink(const std::string& path);
    ~FileSink() override;
    void write(const uint8_t* data, size_t size) override;
    uint64_t size() const override { return written_ + buffer_.size(); }
    void truncate(uint64_t size) override;
    void finish() override;

  private:
    void flush();
    std::string path_;
    int fd_ = -1;
    uint64_t written_ = 0;
    std::vector<uint8_t> buffer_;
};

enum class ContainerKind { transportStream, matroska };

struct TrackInfo {
    uint32_t id = 0;        // PID for transport streams, TrackNumber for Matroska
    std::string streamType; // "H.264", "MVC", "HEVC", "AC3", ... ("H.264"/"MVC" are what callers match)
    std::string codecId;    // meta-file codec name, e.g. "V_MPEG4/ISO/AVC"
    std::string info;       // free text for people
    // Set on the two entries of one Matroska track holding both views.
    std::optional<uint32_t> subTrack;
};

struct Listing {
    ContainerKind kind = ContainerKind::transportStream;
    unsigned packetSize = 0; // 188 or 192 for transport streams
    std::vector<TrackInfo> tracks;
};

// Sub-track numbers of a Matroska track carrying both views, as listed.
inline constexpr uint32_t kMvcSubTrack = 1;
inline constexpr uint32_t kAvcSubTrack = 2;

Listing listTracks(ByteSource& source);
// The text printed by `tsmuxer <source>`: one block of lines per track.
std::string formatListing(const Listing& listing);

enum class View { base, dependent };

struct TrackRequest {
    View view = View::base;
    uint32_t track = 0;
    ElementarySink* sink = nullptr;
};

struct DemuxOptions {
    // Keep the access units up to the last one presented before this time
    // (nanoseconds after the first timestamp of the requested tracks).
    std::optional<int64_t> cutEndNanoseconds;
    WarningSink onWarning;
    std::function<void(uint64_t bytesRead)> onProgress; // called now and then
};

struct ViewStats {
    uint64_t accessUnits = 0;        // written (after a cut, kept)
    uint64_t insertedDelimiters = 0; // delimiters the source lacked
};

// Extracts every request in one pass; results are in request order.
std::vector<ViewStats> demux(ByteSource& source, const std::vector<TrackRequest>& requests,
                             const DemuxOptions& options);

// ---- meta file -------------------------------------------------------------

struct MetaTrackLine {
    std::string codec; // "V_MPEG4/ISO/AVC" or "V_MPEG4/ISO/MVC"
    std::string path;
    uint32_t track = 0;
    std::optional<uint32_t> subTrack;
    // With playlist=<n> the path is a Blu-ray disc (folder or image): the view
    // is read from the clips of that playlist, or of its play-item clip=<n> alone.
    std::optional<uint32_t> playlist;
    std::optional<std::string> clip;
    // otherStreams=<file>: the base view's other streams go there.
    std::optional<std::string> otherStreams;
    unsigned lineNumber = 0;
};

struct MetaFile {
    std::optional<int64_t> cutEndNanoseconds;
    std::vector<MetaTrackLine> tracks;
    std::vector<std::string> ignoredLines; // other codecs, reported as warnings
};

// Throws DemuxError naming the line for anything it cannot honour.
MetaFile parseMetaFile(std::string_view text);

} // namespace tsmuxer
