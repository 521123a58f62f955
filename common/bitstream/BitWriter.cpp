#include "bitstream/BitWriter.h"

namespace bitstream {

void BitWriter::u(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if ((bits_ & 7) == 0) out_.push_back(0);
        if ((value >> i) & 1) out_.back() |= static_cast<uint8_t>(0x80 >> (bits_ & 7));
        ++bits_;
    }
}

void BitWriter::ue(uint32_t value) {
    const uint64_t v = uint64_t{value} + 1;
    int len = 0;
    while ((v >> len) > 1)
        ++len;
    u(0, len);
    for (int i = len; i >= 0; --i)
        u(static_cast<uint32_t>((v >> i) & 1), 1);
}

void BitWriter::se(int32_t value) {
    ue(value > 0 ? static_cast<uint32_t>(2 * static_cast<int64_t>(value) - 1)
                 : static_cast<uint32_t>(-2 * static_cast<int64_t>(value)));
}

void BitWriter::copyBits(std::span<const uint8_t> rbsp, size_t from, size_t to) {
    for (size_t p = from; p < to; ++p)
        u((rbsp[p >> 3] >> (7 - (p & 7))) & 1, 1);
}

void BitWriter::trailingBits() {
    u(1, 1);
    while (!byteAligned())
        u(0, 1);
}

void BitWriter::alignWithOnes() {
    while (!byteAligned())
        u(1, 1);
}

} // namespace bitstream
