#include "bitstream/StartCode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bitstream {

namespace {

// Every start code begins with two zero bytes, and in coded slice data a zero
// pair only occurs in start codes and emulation prevention (00 00 03), so
// candidates are rare and each is checked in full.
inline std::size_t complete(const std::uint8_t* bytes, std::size_t at, std::size_t floor,
                            std::size_t& length) {
    if (at > floor && bytes[at - 1] == 0) {
        length = 4;
        return at - 1;
    }
    length = 3;
    return at;
}

} // namespace

std::size_t findStartCodeScalar(const std::uint8_t* bytes, std::size_t from, std::size_t floor,
                                std::size_t count, std::size_t& length) {
    for (std::size_t at = from; at + 2 < count; ++at) {
        if (bytes[at] == 0 && bytes[at + 1] == 0 && bytes[at + 2] == 1)
            return complete(bytes, at, floor, length);
    }
    return npos;
}

std::size_t findStartCode(const std::uint8_t* bytes, std::size_t from, std::size_t floor, std::size_t count,
                          std::size_t& length) {
    std::size_t at = from;
#if defined(__SSE2__)
    // Sixteen positions at a time: a bit for each position whose byte and the
    // next are zero.
    const __m128i zero = _mm_setzero_si128();
    while (at + 18 <= count) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 1));
        auto pairs = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, zero), _mm_cmpeq_epi8(next, zero))));
        while (pairs != 0) {
            const std::size_t candidate = at + static_cast<std::size_t>(__builtin_ctz(pairs));
            if (bytes[candidate + 2] == 1) return complete(bytes, candidate, floor, length);
            pairs &= pairs - 1;
        }
        at += 16;
    }
#endif
    return findStartCodeScalar(bytes, at, floor, count, length);
}

} // namespace bitstream
