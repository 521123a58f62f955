#include "H264Bits.h"

namespace kit {

uint32_t BitReader::bits(int count) {
    if (count < 0 || count > 32) throw BitstreamError("bit read of " + std::to_string(count) + " bits");
    if (static_cast<size_t>(count) > bitsLeft())
        throw BitstreamError("read past the end at bit " + std::to_string(position_));
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t byte = data_[position_ >> 3];
        value = (value << 1) | ((byte >> (7 - (position_ & 7))) & 1);
        ++position_;
    }
    return value;
}

uint32_t BitReader::ue() {
    int leadingZeros = 0;
    while (bits(1) == 0) {
        // 32 leading zeros would exceed every ue(v) range H.264 allows.
        if (++leadingZeros > 31)
            throw BitstreamError("Exp-Golomb code too long at bit " + std::to_string(position_));
    }
    if (leadingZeros == 0) return 0;
    return static_cast<uint32_t>((uint64_t{1} << leadingZeros) - 1 + bits(leadingZeros));
}

int32_t BitReader::se() {
    const uint32_t code = ue();
    const int32_t magnitude = static_cast<int32_t>((code + 1) / 2);
    return (code & 1) ? magnitude : -magnitude;
}

bool BitReader::atTrailingBits() const {
    if (bitsLeft() == 0 || bitsLeft() > 8 + 7) return false;
    // The stop bit is the last 1 of the payload; everything after it is 0.
    size_t lastOne = data_.size() * 8;
    for (size_t bit = data_.size() * 8; bit-- > position_;) {
        if ((data_[bit >> 3] >> (7 - (bit & 7))) & 1) {
            lastOne = bit;
            break;
        }
    }
    return lastOne == position_;
}

void BitWriter::bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (used_ == 8) {
            bytes_.push_back(0);
            used_ = 0;
        }
        if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> used_);
        ++used_;
    }
}

void BitWriter::ue(uint32_t value) {
    const uint64_t codeNum = uint64_t{value} + 1;
    int length = 0;
    while ((codeNum >> length) > 1)
        ++length;
    bits(0, length);
    bits(1, 1);
    if (length > 0) bits(static_cast<uint32_t>(codeNum & ((uint64_t{1} << length) - 1)), length);
}

void BitWriter::se(int32_t value) {
    ue(value > 0 ? static_cast<uint32_t>(2 * int64_t{value} - 1)
                 : static_cast<uint32_t>(-2 * int64_t{value}));
}

void BitWriter::trailingBits() {
    bits(1, 1);
    while (used_ != 8)
        bits(0, 1);
}

Bytes unescapeRbsp(std::span<const uint8_t> payload) {
    Bytes out;
    out.reserve(payload.size());
    int zeros = 0;
    for (uint8_t byte : payload) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    return out;
}

Bytes escapeRbsp(std::span<const uint8_t> rbsp) {
    Bytes out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    int zeros = 0;
    for (uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    return out;
}

std::vector<NalUnit> splitAnnexB(std::span<const uint8_t> stream) {
    std::vector<NalUnit> units;
    const size_t size = stream.size();
    auto findStart = [&](size_t from) {
        for (size_t i = from; i + 2 < size; ++i)
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) return i;
        return size;
    };
    size_t start = findStart(0);
    while (start < size) {
        const size_t begin = start + 3;
        const size_t next = findStart(begin);
        size_t end = next;
        while (end > begin && stream[end - 1] == 0)
            --end; // the zero byte of a 4-byte start code, or trailing_zero_8bits
        if (end > begin) {
            NalUnit unit;
            unit.offset = begin;
            unit.bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(begin),
                              stream.begin() + static_cast<std::ptrdiff_t>(end));
            units.push_back(std::move(unit));
        }
        start = next;
    }
    return units;
}

void appendWithStartCode(Bytes& out, std::span<const uint8_t> nal) {
    static constexpr uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

} // namespace kit
