// H.264 Annex B byte-stream reading shared by unitmerge, twinsever and unitprobe:
// NAL units with their file offsets, MVC-aware access units, delimiter-framed
// access units and the base/dependent split of an MVC access unit.
// Every object here is single-threaded; spans handed out stay valid until the
// next call on the object that produced them. Errors are thrown as StreamError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitstream/NalTypes.h"

namespace streamtools {

class StreamError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

namespace nal = bitstream::h264::nal;

// One NAL unit as it lies in the stream: start code, header, payload and any
// trailing zero bytes up to the next start code. A run of bytes in front of the
// first start code is handed out once with startCodeLength 0.
struct NalUnit {
    std::uint64_t offset = 0;
    std::span<const std::uint8_t> bytes;
    std::uint8_t startCodeLength = 0;
    // A later piece of a NAL unit too long to hold at once (see
    // NalReader::setLargestHeldUnit); it has no start code and no header.
    bool isContinuation = false;

    bool hasHeader() const { return startCodeLength != 0 && bytes.size() > startCodeLength; }
    int type() const { return hasHeader() ? bytes[startCodeLength] & 0x1F : -1; }
    // first_mb_in_slice == 0 (its ue(v) code is the single bit 1) for slices;
    // for NAL 20 the slice header follows the 3-byte MVC header extension.
    bool startsPicture() const;
    // anchor_pic_flag of the MVC NAL unit header extension (NAL 14 and 20).
    bool isAnchor() const;
};

// Reads chunks through `read` (returns bytes read, 0 at the end, -1 with errno
// set on failure) and cuts them into NAL units.
class NalReader {
  public:
    using ReadFunction = std::function<long(std::uint8_t*, std::size_t)>;
    static constexpr std::size_t defaultChunkSize = std::size_t{1} << 20;

    NalReader(ReadFunction read, std::string name, std::size_t chunkSize = defaultChunkSize);
    // Reads a file; throws StreamError naming the path when it cannot be opened.
    static NalReader openFile(const std::string& path);
    NalReader(NalReader&&) noexcept;
    ~NalReader();

    std::optional<NalUnit> next();
    // A NAL unit longer than `bytes` comes out in pieces (the first with its
    // start code and header, the rest as continuations), so memory stays
    // bounded however long a unit is. 0, the default, holds whole units.
    void setLargestHeldUnit(std::size_t bytes) { largestHeld_ = bytes; }
    const std::string& name() const { return name_; }
    bool sawStartCode() const { return sawStartCode_; }
    std::uint64_t bytesRead() const { return consumedOffset_ + (end_ - begin_); }

  private:
    bool readMore();

    ReadFunction read_;
    std::string name_;
    int ownedFd_ = -1;
    std::size_t chunkSize_;
    std::unique_ptr<std::uint8_t[]> buffer_; // not zero-filled: every byte is read into before use
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0, end_ = 0;
    std::uint64_t consumedOffset_ = 0; // file offset of buffer_[begin_]
    bool atEnd_ = false;
    bool started_ = false;
    bool sawStartCode_ = false;
    std::size_t largestHeld_ = 0;
    bool inLongUnit_ = false;
};

struct NalRecord {
    std::size_t offset; // within the access unit's bytes
    std::size_t size;
    int type;
    bool isAnchor = false;
};

struct AccessUnit {
    std::uint64_t offset = 0;
    std::uint64_t size = 0; // in the stream; bytes holds them unless the reader keeps none
    std::vector<std::uint8_t> bytes;
    std::vector<NalRecord> nals;
    bool isRandomAccess = false; // holds an IDR slice or an MVC anchor view component
    bool hasBaseView = false;
    bool hasDependentView = false;

    std::span<const std::uint8_t> nalBytes(const NalRecord& record) const {
        return std::span<const std::uint8_t>(bytes).subspan(record.offset, record.size);
    }
};

// Groups NAL units into access units of an interleaved MVC stream (base and
// dependent view components in one unit), a base-view stream or a dependent-view
// stream, with or without delimiters, following H.264 7.4.1.2.3 and H.7.4.1.2.3:
// non-VCL units after a base picture wait until the next slice shows whether they
// lead the dependent view component or the next access unit.
class AccessUnitReader {
  public:
    explicit AccessUnitReader(NalReader& reader) : reader_(reader) {}
    std::optional<AccessUnit> next();
    // Units then carry their layout and size but no bytes (for a scan that
    // only lists them); with a NalReader that hands out long units in pieces,
    // memory stays bounded.
    void keepNoBytes() { keepsBytes_ = false; }
    std::uint64_t leadingBytes() const { return leadingBytes_; }

  private:
    void add(AccessUnit& unit, const NalUnit& nal);
    void addRecord(AccessUnit& unit, NalRecord record, std::span<const std::uint8_t> bytes);
    void takePending(AccessUnit& unit);
    void storePending(const NalUnit& nal);
    void extendLast(const NalUnit& piece);

    NalReader& reader_;
    AccessUnit current_;
    std::vector<std::uint8_t> pendingBytes_;
    std::vector<NalRecord> pendingNals_;
    std::uint64_t pendingOffset_ = 0;
    std::uint64_t leadingBytes_ = 0;
    std::size_t pendingSize_ = 0;
    bool keepsBytes_ = true;
    bool lastWasPending_ = false;
    bool isDone_ = false;
};

// Access units opened by a given delimiter type (9 base view, 24 dependent
// view), with that delimiter NAL unit removed; bytes before the first
// delimiter are dropped.
class DelimitedUnitReader {
  public:
    DelimitedUnitReader(NalReader& reader, int delimiterType)
        : reader_(reader), delimiterType_(delimiterType) {}
    // Unit bytes without the delimiter, valid until the next call.
    std::optional<std::span<const std::uint8_t>> next();
    // The same in pieces, for units too long to hold: startNext() says whether
    // another unit follows (skipping what is left of the current one), then
    // nextPiece() hands out its NAL units (or pieces of them) until it ends.
    bool startNext();
    std::optional<NalUnit> nextPiece();

  private:
    NalReader& reader_;
    int delimiterType_;
    std::vector<std::uint8_t> unit_;
    bool delimiterRead_ = false; // the next unit's delimiter has already been read
    bool inUnit_ = false;
    bool isDone_ = false;
};

// Which NAL units of an access unit go to the base-view stream and which to the
// dependent-view stream; the relative order inside each is kept.
struct ViewSplit {
    std::vector<NalRecord> base;
    std::vector<NalRecord> dependent;
};
ViewSplit splitViews(const AccessUnit& unit);

} // namespace streamtools
