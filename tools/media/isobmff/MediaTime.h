// Exact rational media times (value / timescale), the integer counterpart of a CMTime: sums and
// conversions stay exact or report that they cannot. Plain values; any thread.
#pragma once

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>

namespace media {

__extension__ typedef __int128 Int128;

struct MediaTime {
    int64_t value = 0;
    uint32_t timescale = 1;

    double seconds() const { return timescale ? double(value) / double(timescale) : 0.0; }
    bool isZero() const { return value == 0; }
};

// value * to / from when that is an integer and fits; nothing otherwise. Uses 128-bit arithmetic.
inline std::optional<int64_t> rescaleExact(int64_t value, uint32_t from, uint32_t to) {
    if (from == 0 || to == 0) return std::nullopt;
    Int128 product = Int128(value) * to;
    if (product % from != 0) return std::nullopt;
    Int128 result = product / from;
    if (result > INT64_MAX || result < INT64_MIN) return std::nullopt;
    return int64_t(result);
}

// Rounded to nearest (ties away from zero); for values that are informative only (movie-level durations).
inline int64_t rescaleRounded(int64_t value, uint32_t from, uint32_t to) {
    if (from == 0) return 0;
    Int128 product = Int128(value) * to;
    Int128 half = from / 2;
    Int128 result = product >= 0 ? (product + half) / from : -((-product + half) / from);
    if (result > INT64_MAX) return INT64_MAX;
    if (result < INT64_MIN) return INT64_MIN;
    return int64_t(result);
}

// Exactly when possible, rounded otherwise: for joiners whose output timescale was chosen so
// that rounding is only the last resort (no common timescale fits in 32 bits).
inline int64_t rescale(int64_t value, uint32_t from, uint32_t to) {
    if (auto exact = rescaleExact(value, from, to)) return *exact;
    return rescaleRounded(value, from, to);
}

// Smallest timescale both can be expressed in exactly; nothing when it does not fit 32 bits.
inline std::optional<uint32_t> commonTimescale(uint32_t a, uint32_t b) {
    if (a == 0 || b == 0) return std::nullopt;
    uint64_t l = std::lcm(uint64_t(a), uint64_t(b));
    if (l > UINT32_MAX) return std::nullopt;
    return uint32_t(l);
}

// The output timescale of a join, folded segment by segment: one in which every
// segment's times are exact while a common one fits 32 bits. When a segment has
// no samples, its stand-in duration's scale must be exact too.
class JoinedTimescale {
  public:
    void add(uint32_t timescale, bool hasSamples) {
        if (!hasSamples) anyEmpty_ = true;
        if (timescale_ == 0)
            timescale_ = timescale;
        else if (auto common = commonTimescale(timescale_, timescale))
            timescale_ = *common;
    }
    uint32_t result(uint32_t defaultDurationScale) const {
        if (anyEmpty_)
            if (auto common = commonTimescale(timescale_, defaultDurationScale)) return *common;
        return timescale_;
    }

  private:
    uint32_t timescale_ = 0;
    bool anyEmpty_ = false;
};

} // namespace media
