// ISO BMFF / QuickTime box primitives: header parsing (32/64-bit, size 0), a bounds-checked reader,
// a big-endian box writer and a lossless box tree (parse → dump → write gives the same bytes).
// Plain values without shared state: any thread may use its own instances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace media {

// Bad media: the message says which box or field and at which byte offset.
class FormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The environment failed (open, read, write): the message carries the path and the OS's reason.
class IoError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr uint32_t fourcc(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}
uint32_t fourcc(std::string_view s); // exactly 4 characters, else std::invalid_argument
// The 4 bytes as text; "????" when any byte is not printable ASCII.
std::string fourccToString(uint32_t type);

inline uint32_t readBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t readBE64(const uint8_t* p) {
    return (uint64_t(readBE32(p)) << 32) | readBE32(p + 4);
}
inline void writeBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}
inline void writeBE64(uint8_t* p, uint64_t v) {
    writeBE32(p, uint32_t(v >> 32)), writeBE32(p + 4, uint32_t(v));
}

struct BoxHeader {
    uint32_t type = 0;
    uint64_t offset = 0;      // of the box's first byte, in whatever space the caller parsed
    uint64_t size = 0;        // whole box, header included (resolved for size 0)
    uint32_t headerSize = 8;  // 8, or 16 with a 64-bit size
    bool isLargeSize = false; // written with size field 1 and a 64-bit size
    bool runsToEnd = false;   // written with size field 0

    uint64_t payloadOffset() const { return offset + headerSize; }
    uint64_t payloadSize() const { return size - headerSize; }
    uint64_t end() const { return offset + size; }
    std::string typeName() const { return fourccToString(type); }
};

// Parses the header at data[0..] where `available` bytes remain up to the end of the enclosing space
// (file or parent box). Returns nothing when fewer than 8 (or 16) bytes remain; throws FormatError when
// the size is smaller than the header or larger than `available`. `offset` only labels the result.
std::optional<BoxHeader> parseBoxHeader(const uint8_t* data, uint64_t available, uint64_t offset);

// Bounds-checked big-endian reader over a byte span; every read past the end throws FormatError naming
// the absolute offset (base + position) and the `what` label.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size, uint64_t baseOffset = 0, std::string what = {})
        : data_(data), size_(size), base_(baseOffset), what_(std::move(what)) {}

    uint8_t u8();
    uint16_t u16();
    uint32_t u24();
    uint32_t u32();
    uint64_t u64();
    int16_t i16() { return int16_t(u16()); }
    int32_t i32() { return int32_t(u32()); }
    int64_t i64() { return int64_t(u64()); }
    const uint8_t* bytes(size_t n); // pointer to n bytes, position advanced
    void skip(size_t n) { bytes(n); }
    void seek(size_t pos);

    size_t position() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    size_t size() const { return size_; }
    uint64_t absoluteOffset() const { return base_ + pos_; }
    const uint8_t* data() const { return data_; }
    [[noreturn]] void fail(const std::string& message) const;

  private:
    void need(size_t n);
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    uint64_t base_;
    std::string what_;
};

// Appends big-endian fields to a byte vector. beginBox/endBox nest; endBox patches the size and widens
// the header to 64 bits when the box exceeds 4 GiB - 1.
class BoxWriter {
  public:
    BoxWriter() : out_(&own_) {}
    explicit BoxWriter(std::vector<uint8_t>& out) : out_(&out) {}

    void u8(uint8_t v) { out_->push_back(v); }
    void u16(uint16_t v);
    void u24(uint32_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void i16(int16_t v) { u16(uint16_t(v)); }
    void i32(int32_t v) { u32(uint32_t(v)); }
    void i64(int64_t v) { u64(uint64_t(v)); }
    void type(uint32_t fourccValue) { u32(fourccValue); }
    void type(std::string_view name) { u32(fourcc(name)); }
    void bytes(const uint8_t* data, size_t n) { out_->insert(out_->end(), data, data + n); }
    void bytes(const std::vector<uint8_t>& data) { bytes(data.data(), data.size()); }
    void zeros(size_t n) { out_->insert(out_->end(), n, 0); }

    void beginBox(std::string_view type) { beginBox(fourcc(type)); }
    void beginBox(uint32_t type);
    void beginFullBox(std::string_view type, uint8_t version, uint32_t flags);
    void endBox();
    size_t openBoxes() const { return open_.size(); }

    size_t size() const { return out_->size(); }
    std::vector<uint8_t>& data() { return *out_; }
    std::vector<uint8_t> take() { return std::move(*out_); }

  private:
    std::vector<uint8_t> own_;
    std::vector<uint8_t>* out_;
    std::vector<size_t> open_;
};

// A box kept losslessly: containers hold children (after `prefix`, the bytes a container carries before
// its children, e.g. the 8 bytes of stsd or the 78 of a visual sample entry), everything else its payload.
// Unknown boxes stay byte for byte.
struct Box {
    uint32_t type = 0;
    bool isLargeSize = false;
    bool runsToEnd = false;
    uint64_t offset = 0;          // where it was parsed; informative only
    std::vector<uint8_t> payload; // leaf: everything after the header; container: the prefix
    std::vector<Box> children;
    bool isContainer = false;

    std::string typeName() const { return fourccToString(type); }
    uint64_t serializedSize() const;
    const Box* find(uint32_t childType) const;
    Box* find(uint32_t childType);
};

// How many prefix bytes a container of this type carries before its children, or nothing when the
// type is not parsed as a container: `stsd` 8, visual sample entries (`hvc1`, `hev1`, `avc1`) 78,
// plain containers (`moov`, `trak`, `vexu`, ...) 0. A container whose inside does not parse as whole
// boxes is kept as a leaf, so parsing never loses bytes.
std::optional<size_t> containerPrefixSize(uint32_t type);

// Parses a run of boxes. Throws FormatError with the offset of the box that does not fit.
// `baseOffset` labels offsets for messages. maxDepth bounds recursion on hostile input.
std::vector<Box> parseBoxes(const uint8_t* data, size_t size, uint64_t baseOffset = 0, int maxDepth = 32);
void writeBoxes(const std::vector<Box>& boxes, std::vector<uint8_t>& out);
void writeBox(const Box& box, std::vector<uint8_t>& out);
// One line per box: indentation, type, offset, size (and "large"/"to-end" header forms).
std::string dumpBoxes(const std::vector<Box>& boxes);

} // namespace media
