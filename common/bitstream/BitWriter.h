// The MSB-first bit writer of the tree, with Exp-Golomb codes and the RBSP
// endings; it grows one byte vector. Plain value type; one instance per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bitstream {

class BitWriter {
  public:
    void u(uint32_t value, int bits);
    void flag(bool v) { u(v ? 1 : 0, 1); }
    void ue(uint32_t value);
    void se(int32_t value);
    // Copies bits [from, to) of rbsp.
    void copyBits(std::span<const uint8_t> rbsp, size_t from, size_t to);
    size_t bitCount() const { return bits_; }
    bool byteAligned() const { return (bits_ & 7) == 0; }
    // rbsp_trailing_bits(): a one, then zeros to the byte boundary.
    void trailingBits();
    // Ones up to the byte boundary (vps_extension_alignment_bit_equal_to_one).
    void alignWithOnes();
    const std::vector<uint8_t>& bytes() const { return out_; }
    std::vector<uint8_t> take() { return std::move(out_); }

  private:
    std::vector<uint8_t> out_;
    size_t bits_ = 0;
};

} // namespace bitstream
