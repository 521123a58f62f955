// Annex B start-code search (H.264 B.1, HEVC B.2), the one every reader of
// byte streams in the tree uses. Pure functions over caller-owned bytes;
// callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitstream {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// The first 00 00 01 beginning at or after `from` and ending within
// [0, count). A zero byte in front of it, at or after `floor`, makes it the
// 4-byte form 00 00 00 01: the result is then one byte earlier and length is 4,
// otherwise length is 3. npos when there is none (length is left alone).
// `floor` lets a caller that resumes a search keep a zero it has already
// handed on from being counted twice; it must not exceed `from`.
std::size_t findStartCode(const std::uint8_t* bytes, std::size_t from, std::size_t floor, std::size_t count,
                          std::size_t& length);

// The same with floor == from: the earliest start code, of either form, that
// lies wholly in [from, count).
inline std::size_t findStartCode(const std::uint8_t* bytes, std::size_t from, std::size_t count,
                                 std::size_t& length) {
    return findStartCode(bytes, from, from, count, length);
}

// The same, byte by byte: the reference the vector search is tested against.
std::size_t findStartCodeScalar(const std::uint8_t* bytes, std::size_t from, std::size_t floor,
                                std::size_t count, std::size_t& length);

} // namespace bitstream
