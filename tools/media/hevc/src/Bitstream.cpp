#include "media/hevc/Bitstream.h"

#include "bitstream/StartCode.h"

namespace media::hevc {

std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> s) {
    std::vector<std::span<const uint8_t>> nals;
    const size_t n = s.size();
    // Position of the next 00 00 01 at or after `from`, or n.
    auto findStart = [&](size_t from) -> size_t {
        size_t length = 0;
        const size_t at = bitstream::findStartCode(s.data(), from, n, length);
        return at == bitstream::npos ? n : at + length - 3;
    };
    size_t sc = findStart(0);
    while (sc < n) {
        const size_t begin = sc + 3;
        size_t next = findStart(begin);
        size_t end = next;
        // Zero bytes before the next start code belong to it (or are trailing_zero_8bits).
        while (end > begin && s[end - 1] == 0)
            --end;
        if (end > begin) nals.push_back(s.subspan(begin, end - begin));
        sc = next;
    }
    return nals;
}

BitReader::BitReader(std::span<const uint8_t> rbsp, size_t bitPos) : reader_(rbsp.data(), rbsp.size()) {
    reader_.skip(static_cast<int>(bitPos));
}

uint32_t BitReader::u(int bits) {
    if (bits == 0) return 0;
    if (bits < 0 || bits > 32 || static_cast<size_t>(bits) > bitsLeft()) {
        throw Error("bit reader: read of " + std::to_string(bits) + " bits past the end at bit " +
                    std::to_string(pos()));
    }
    return reader_.u(bits);
}

uint32_t BitReader::ue() {
    const size_t start = pos();
    int zeros = 0;
    while (u(1) == 0) {
        if (++zeros > 31) throw Error("bit reader: Exp-Golomb code too long at bit " + std::to_string(start));
    }
    if (zeros == 0) return 0;
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + u(zeros));
}

int32_t BitReader::se() {
    const uint32_t k = ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
}

void BitReader::skip(size_t bits) {
    if (bits > bitsLeft()) throw Error("bit reader: skip past the end at bit " + std::to_string(pos()));
    reader_.skip(static_cast<int>(bits));
}

bool BitReader::atRbspTrailing() const {
    const uint8_t* data = reader_.data();
    const size_t total = reader_.size() * 8;
    if (pos() >= total) return false;
    // Last set bit of the buffer is the stop bit.
    size_t last = total;
    while (last > 0) {
        --last;
        if ((data[last >> 3] >> (7 - (last & 7))) & 1) return last == pos();
    }
    return false;
}

int ceilLog2(uint32_t n) {
    int b = 0;
    while ((uint64_t{1} << b) < n)
        ++b;
    return b;
}

} // namespace media::hevc
