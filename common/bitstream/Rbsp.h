// Emulation prevention (H.264 7.4.1, HEVC 7.4.2): NAL unit payload bytes to
// RBSP bytes and back. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bitstream {

// Drops each 03 that follows two zero bytes; writes into `out` (resized to
// fit) so that a caller can reuse one buffer for every NAL unit.
void unescapeRbsp(std::span<const uint8_t> payload, std::vector<uint8_t>& out);
std::vector<uint8_t> unescapeRbsp(std::span<const uint8_t> payload);

// Puts a 03 in front of any byte <= 3 that follows two zero bytes, and after a
// final zero byte, so that the NAL unit neither holds a start code nor ends in zero.
std::vector<uint8_t> escapeRbsp(std::span<const uint8_t> rbsp);

} // namespace bitstream
