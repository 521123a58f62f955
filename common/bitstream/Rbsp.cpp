#include "bitstream/Rbsp.h"

namespace bitstream {

void unescapeRbsp(std::span<const uint8_t> payload, std::vector<uint8_t>& out) {
    out.resize(payload.size());
    uint8_t* next = out.data();
    int zeros = 0;
    for (const uint8_t b : payload) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        *next++ = b;
    }
    out.resize(static_cast<size_t>(next - out.data()));
}

std::vector<uint8_t> unescapeRbsp(std::span<const uint8_t> payload) {
    std::vector<uint8_t> out;
    unescapeRbsp(payload, out);
    return out;
}

std::vector<uint8_t> escapeRbsp(std::span<const uint8_t> rbsp) {
    std::vector<uint8_t> out;
    out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
    int zeros = 0;
    for (const uint8_t b : rbsp) {
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

} // namespace bitstream
