#include "StartCodeSearch.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace startcode {

namespace {

// Every start code begins with two zero bytes, and in coded slice data a zero
// pair only occurs in start codes and emulation prevention (00 00 03), so
// candidates are rare and each is checked in full.
inline bool isStartCodeAt(const std::uint8_t* bytes, std::size_t at, std::size_t count, std::size_t& length) {
    if (at + 2 < count && bytes[at + 2] == 1) {
        length = 3;
        return true;
    }
    if (at + 3 < count && bytes[at + 2] == 0 && bytes[at + 3] == 1) {
        length = 4;
        return true;
    }
    return false;
}

} // namespace

std::size_t findScalar(const std::uint8_t* bytes, std::size_t from, std::size_t count, std::size_t& length) {
    for (std::size_t at = from; at + 2 < count; ++at) {
        if (bytes[at] == 0 && bytes[at + 1] == 0 && isStartCodeAt(bytes, at, count, length)) return at;
    }
    return npos;
}

std::size_t find(const std::uint8_t* bytes, std::size_t from, std::size_t count, std::size_t& length) {
    std::size_t at = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    while (at + 17 <= count) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 1));
        auto pairs = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, zero), _mm_cmpeq_epi8(next, zero))));
        while (pairs != 0) {
            const std::size_t candidate = at + static_cast<std::size_t>(__builtin_ctz(pairs));
            if (isStartCodeAt(bytes, candidate, count, length)) return candidate;
            pairs &= pairs - 1;
        }
        at += 16;
    }
#endif
    return findScalar(bytes, at, count, length);
}

} // namespace startcode
