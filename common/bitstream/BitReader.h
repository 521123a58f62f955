// The MSB-first bit reader of every parser in the tree, over an RBSP (emulation
// prevention already removed; see Rbsp.h).
// Reads through a 64-bit cache; reading past the end yields zeros and sets a
// sticky error flag that callers check at structure boundaries. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitstream {

class BitReader {
  public:
    BitReader() = default;
    BitReader(const uint8_t* data, size_t size) { reset(data, size); }

    void reset(const uint8_t* data, size_t size) {
        data_ = data;
        size_ = size;
        pos_ = 0;
        cache_ = 0;
        cacheBits_ = 0;
        consumed_ = 0;
        error_ = false;
        refill();
    }

    // Next n bits (n <= 32) without consuming them.
    uint32_t peek(int n) {
        if (cacheBits_ < n) refill();
        return n == 0 ? 0 : static_cast<uint32_t>(cache_ >> (64 - n));
    }
    void skip(int n) {
        while (n > 32) {
            skip(32);
            n -= 32;
        }
        if (cacheBits_ < n) refill();
        cache_ <<= n;
        cacheBits_ -= n;
        consumed_ += static_cast<size_t>(n);
        if (consumed_ > size_ * 8) error_ = true;
    }
    uint32_t u(int n) {
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    bool flag() { return u(1) != 0; }

    // ue(v), bounded: codes longer than 32 bits flag an error and read as 0.
    uint32_t ue() {
        if (cacheBits_ < 32) refill();
        int zeros = 0;
        if ((cache_ >> 32) != 0) {
            zeros = __builtin_clzll(cache_);
        } else {
            while (zeros < 32 && u(1) == 0)
                ++zeros;
            if (zeros >= 32) {
                error_ = true;
                return 0;
            }
            return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
        }
        skip(zeros + 1);
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
    }
    int32_t se() {
        uint32_t k = ue();
        int64_t v = (k & 1) ? (int64_t{k} + 1) / 2 : -(int64_t{k} / 2);
        return static_cast<int32_t>(v);
    }

    size_t bitPosition() const { return consumed_; }
    size_t bitsLeft() const { return consumed_ >= size_ * 8 ? 0 : size_ * 8 - consumed_; }
    bool isByteAligned() const { return (consumed_ & 7) == 0; }
    bool hasError() const { return error_; }
    void setError() { error_ = true; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    // H.264 7.2 more_rbsp_data(): true while data remains before the stop bit.
    bool moreRbspData() const {
        size_t end = size_;
        while (end > 0 && data_[end - 1] == 0)
            --end;
        if (end == 0) return false;
        int trailing = __builtin_ctz(data_[end - 1]);
        size_t stopBit = end * 8 - 1 - static_cast<size_t>(trailing);
        return consumed_ < stopBit;
    }

  private:
    void refill() {
        while (cacheBits_ <= 56) {
            uint64_t byte = pos_ < size_ ? data_[pos_] : 0;
            ++pos_;
            cache_ |= byte << (56 - cacheBits_);
            cacheBits_ += 8;
        }
    }

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    uint64_t cache_ = 0;
    int cacheBits_ = 0;
    size_t consumed_ = 0;
    bool error_ = false;
};

} // namespace bitstream
