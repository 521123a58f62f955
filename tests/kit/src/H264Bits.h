// Bit-level H.264 helpers for the stereo test media kit: RBSP bit reader and
// writer with Exp-Golomb codes, emulation prevention, Annex B splitting.
// Plain values, no shared state; any thread may use its own instances.
// The kit keeps this copy on purpose instead of using common/bitstream: the
// media it makes is the ground truth the decoder, the demuxer and the stream
// tools are judged against, so a fault in the shared code must not be able to
// hide itself in the kit too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kit {

using Bytes = std::vector<uint8_t>;

struct BitstreamError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads an RBSP (emulation prevention already removed). Reading past the end
// throws: every structure the kit parses is its own or x264's, so a short
// read is a bug worth stopping on.
class BitReader {
  public:
    explicit BitReader(std::span<const uint8_t> rbsp) : data_(rbsp) {}
    uint32_t bits(int count);
    bool flag() { return bits(1) != 0; }
    uint32_t ue();
    int32_t se();
    size_t position() const { return position_; }
    size_t bitsLeft() const { return data_.size() * 8 - position_; }
    // True when only rbsp_trailing_bits (a 1 then zeros) remain.
    bool atTrailingBits() const;

  private:
    std::span<const uint8_t> data_;
    size_t position_ = 0;
};

class BitWriter {
  public:
    void bits(uint32_t value, int count);
    void flag(bool value) { bits(value ? 1 : 0, 1); }
    void ue(uint32_t value);
    void se(int32_t value);
    void trailingBits(); // rbsp_trailing_bits(): stop bit then zero padding
    size_t bitCount() const { return bytes_.size() * 8 - (8 - used_) % 8; }
    const Bytes& bytes() const { return bytes_; }

  private:
    Bytes bytes_;
    int used_ = 8; // bits used in the last byte
};

// H.264 7.4.1: remove / insert emulation_prevention_three_byte.
Bytes unescapeRbsp(std::span<const uint8_t> payload);
Bytes escapeRbsp(std::span<const uint8_t> rbsp);

// One NAL unit as found in an Annex B stream: header byte first, no start
// code, trailing zero bytes dropped.
struct NalUnit {
    size_t offset = 0; // of the header byte in the stream
    Bytes bytes;
    int type() const { return bytes.empty() ? -1 : bytes[0] & 0x1F; }
    int refIdc() const { return bytes.empty() ? 0 : (bytes[0] >> 5) & 3; }
};

std::vector<NalUnit> splitAnnexB(std::span<const uint8_t> stream);

// Byte appends written as loops: GCC 12 reports false -Warray-bounds on
// vector::insert of short ranges at -O2.
inline void append(Bytes& out, std::span<const uint8_t> bytes) {
    out.reserve(out.size() + bytes.size());
    for (uint8_t byte : bytes)
        out.push_back(byte);
}
inline void append(Bytes& out, std::initializer_list<uint8_t> bytes) {
    append(out, std::span<const uint8_t>(bytes.begin(), bytes.size()));
}

// Appends 00 00 00 01 + nal.
void appendWithStartCode(Bytes& out, std::span<const uint8_t> nal);

} // namespace kit
