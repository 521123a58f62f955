#include "media/hevc/Bitstream.h"

namespace media::hevc {

std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> s) {
    std::vector<std::span<const uint8_t>> nals;
    const size_t n = s.size();
    auto findStart = [&](size_t from) -> size_t {
        for (size_t i = from; i + 2 < n; ++i) {
            if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
        }
        return n;
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

Bytes unescapeRbsp(std::span<const uint8_t> nal) {
    Bytes out;
    out.reserve(nal.size());
    int zeros = 0;
    for (uint8_t b : nal) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

Bytes escapeRbsp(std::span<const uint8_t> rbsp) {
    Bytes out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    // An RBSP ending in cabac_zero_words must not end the NAL unit in a zero byte.
    if (!out.empty() && out.back() == 0) out.push_back(3);
    return out;
}

uint32_t BitReader::u(int bits) {
    if (bits == 0) return 0;
    if (bits < 0 || bits > 32 || static_cast<size_t>(bits) > bitsLeft()) {
        throw Error("bit reader: read of " + std::to_string(bits) + " bits past the end at bit " +
                    std::to_string(pos_));
    }
    uint32_t v = 0;
    for (int i = 0; i < bits; ++i) {
        v = (v << 1) | ((data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1);
        ++pos_;
    }
    return v;
}

uint32_t BitReader::ue() {
    const size_t start = pos_;
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
    if (bits > bitsLeft()) throw Error("bit reader: skip past the end at bit " + std::to_string(pos_));
    pos_ += bits;
}

bool BitReader::atRbspTrailing() const {
    const size_t total = data_.size() * 8;
    if (pos_ >= total) return false;
    // Last set bit of the buffer is the stop bit.
    size_t last = total;
    while (last > 0) {
        --last;
        if ((data_[last >> 3] >> (7 - (last & 7))) & 1) return last == pos_;
    }
    return false;
}

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

int ceilLog2(uint32_t n) {
    int b = 0;
    while ((uint64_t{1} << b) < n)
        ++b;
    return b;
}

} // namespace media::hevc
