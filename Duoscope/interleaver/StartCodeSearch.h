// Start-code search used by NALInterleaver's reader (internal to the interleaver).
// Pure functions over caller-owned bytes; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace startcode {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Earliest position s >= from holding 00 00 01 (length 3) or 00 00 00 01
// (length 4) entirely within [0, count); npos when there is none. The 4-byte
// form wins, so a zero byte in front of a 3-byte code belongs to the code.
std::size_t find(const std::uint8_t* bytes, std::size_t from, std::size_t count, std::size_t& length);

// The same, byte by byte: the reference the vector search is tested against.
std::size_t findScalar(const std::uint8_t* bytes, std::size_t from, std::size_t count, std::size_t& length);

} // namespace startcode
