// CABAC arithmetic decoding engine and context initialisation (H.264 9.3.1,
// 9.3.3.2). One CabacDecoder per slice being decoded; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace duoscope::h264 {

// One context variable in one byte, pStateIdx << 1 | valMPS, so that a bin
// reads, updates and writes a single value.
struct CabacContext {
    uint8_t packed;
    static constexpr CabacContext make(int pStateIdx, int valMPS) {
        return {static_cast<uint8_t>(pStateIdx << 1 | valMPS)};
    }
    int state() const { return packed >> 1; }
    int mps() const { return packed & 1; }
};

inline constexpr int kCabacContexts = 460;

// 9.3.1.1: initialises contexts 0..459 for a slice. initType is 0 for I
// slices, else cabac_init_idc + 1. Returns false if no table is available.
void initCabacContexts(CabacContext* contexts, int initType, int sliceQp);

#ifdef DUOSCOPE_CABAC_PROBE
// Measuring builds only (cabac_init_probe): initial states can be forced per
// context and the contexts a slice reads are recorded, so that initialisation
// values can be measured against another decoder's output.
namespace cabac_probe {
extern uint8_t forcedPre[4][kCabacContexts]; // preCtxState 1..126; 0 = from the table
extern bool used[kCabacContexts];
extern int lastInitType;
extern int lastQp;
extern const CabacContext* lastContexts; // the table initCabacContexts filled last
inline void recordUse(const CabacContext* c) {
    if (c >= lastContexts && c < lastContexts + kCabacContexts) used[c - lastContexts] = true;
}
} // namespace cabac_probe
#endif

namespace cabac_tables {
// Table 9-44: rangeTabLPS[pStateIdx][qCodIRangeIdx].
inline constexpr uint8_t kRangeLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158},  {90, 110, 130, 150},  {85, 104, 123, 142},  {81, 99, 117, 135},
    {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},   {66, 80, 95, 110},
    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},
    {41, 50, 59, 69},     {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},
    {33, 41, 48, 56},     {32, 39, 46, 53},     {30, 37, 43, 50},     {29, 35, 41, 48},
    {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},     {23, 28, 33, 39},
    {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},
    {14, 18, 21, 24},     {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},
    {12, 14, 17, 20},     {11, 14, 16, 19},     {11, 13, 15, 18},     {10, 12, 15, 17},
    {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},      {8, 10, 12, 14},
    {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2}};

// Table 9-45: transIdxLPS.
inline constexpr uint8_t kTransLps[64] = {0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12,
                                          13, 13, 15, 15, 16, 16, 18, 18, 19, 19, 21, 21, 22, 22, 23, 24,
                                          24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30, 31, 32, 32, 33,
                                          33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63};

// rangeTabLPS by qCodIRangeIdx and packed context, and the packed context
// after an MPS ([0]: transIdxMPS, pStateIdx + 1 up to 62) or an LPS ([1]:
// transIdxLPS, valMPS flipped at pStateIdx 0).
struct PackedTables {
    uint8_t rangeLps[4][128];
    uint8_t next[2][128];
};
inline constexpr PackedTables kPacked = [] {
    PackedTables t{};
    for (int p = 0; p < 128; ++p) {
        int state = p >> 1, mps = p & 1;
        for (int q = 0; q < 4; ++q)
            t.rangeLps[q][p] = kRangeLps[state][q];
        t.next[0][p] = static_cast<uint8_t>((state < 62 ? state + 1 : state) << 1 | mps);
        t.next[1][p] = static_cast<uint8_t>(kTransLps[state] << 1 | (state == 0 ? 1 - mps : mps));
    }
    return t;
}();

// Renormalisation shift by codIRange (2..510 after a bin): a load instead of a
// bit scan and subtraction on the chain from one bin to the next.
inline constexpr struct NormShift {
    uint8_t shift[512];
} kNorm = [] {
    NormShift t{};
    for (int r = 1; r < 512; ++r)
        t.shift[r] = static_cast<uint8_t>(__builtin_clz(static_cast<unsigned>(r)) - 23);
    return t;
}();

} // namespace cabac_tables

// The arithmetic decoding engine. The offset register is kept scaled:
// value_ holds codIOffset followed by bitsLeft_ bits read ahead, so
// renormalisation only moves the scale and bytes are fetched several at a
// time. A small value: hot loops work on a local copy, which the compiler
// keeps in registers although context updates are byte stores.
class CabacEngine {
  public:
    // 9.3.1.2: starts the engine on the byte-aligned slice data.
    void start(const uint8_t* data, size_t size, size_t bytePos);
    // Always inlined: a call would spill the engine registers around every bin.
    __attribute__((always_inline)) int decodeDecision(CabacContext& ctx);
    int decodeBypass();
    // A bypass-coded sign applied to abs: -abs for a 1.
    int decodeBypassSigned(int abs);
    int decodeTerminate();
    // Position of the next unread byte (for I_PCM samples) and restart after them.
    size_t bytePosition() const;
    bool overran() const { return pos_ > size_ + 10; }

  private:
    void refill();
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    uint32_t range_ = 0;
    uint64_t value_ = 0;
    int bitsLeft_ = 0;
};

// The engine and the slice's context variables.
struct CabacDecoder : CabacEngine {
    CabacContext ctx[kCabacContexts];
};

// Tops the read-ahead up to at least 48 bits (value_ keeps 9 + bitsLeft_ <= 64);
// called with fewer than 8 left, so 6 bytes come in.
inline void CabacEngine::refill() {
    int bytes = (55 - bitsLeft_) >> 3;
    if (pos_ + 8 <= size_) {
        uint64_t next;
        __builtin_memcpy(&next, data_ + pos_, 8);
        next = __builtin_bswap64(next);
        value_ = (value_ << (8 * bytes)) | (next >> (64 - 8 * bytes));
        pos_ += static_cast<size_t>(bytes);
    } else {
        // Past the end the stream reads as zeros; overran() tells.
        for (int i = 0; i < bytes; ++i, ++pos_)
            value_ = (value_ << 8) | (pos_ < size_ ? data_[pos_] : 0u);
    }
    bitsLeft_ += 8 * bytes;
}

inline int CabacEngine::decodeDecision(CabacContext& c) {
#ifdef DUOSCOPE_CABAC_PROBE
    cabac_probe::recordUse(&c);
#endif
    int packed = c.packed;
    uint32_t lps = cabac_tables::kPacked.rangeLps[(range_ >> 6) & 3][packed];
    range_ -= lps;
    uint64_t scaled = static_cast<uint64_t>(range_) << bitsLeft_;
    // The LPS/MPS choice is data: masks instead of a branch the processor
    // would mispredict half the time.
    uint64_t isLps = value_ >= scaled ? ~uint64_t{0} : 0;
    value_ -= scaled & isLps;
    range_ ^= (range_ ^ lps) & static_cast<uint32_t>(isLps);
    int lpsBit = static_cast<int>(isLps & 1);
    c.packed = cabac_tables::kPacked.next[lpsBit][packed];
    int bin = (packed & 1) ^ lpsBit;
    int shift = cabac_tables::kNorm.shift[range_];
    range_ <<= shift;
    bitsLeft_ -= shift;
    if (bitsLeft_ < 8) refill();
    return bin;
}

inline int CabacEngine::decodeBypass() {
    if (bitsLeft_ < 8) refill();
    --bitsLeft_;
    uint64_t scaled = static_cast<uint64_t>(range_) << bitsLeft_;
    // Bypass bins (signs, level suffixes) are close to random: no branch.
    uint64_t one = value_ >= scaled ? ~uint64_t{0} : 0;
    value_ -= scaled & one;
    return static_cast<int>(one & 1);
}

inline int CabacEngine::decodeBypassSigned(int abs) {
    int sign = -decodeBypass();
    return (abs ^ sign) - sign;
}

inline int CabacEngine::decodeTerminate() {
    range_ -= 2;
    uint64_t scaled = static_cast<uint64_t>(range_) << bitsLeft_;
    if (value_ >= scaled) return 1;
    int shift = __builtin_clz(range_) - 23;
    range_ <<= shift;
    bitsLeft_ -= shift;
    if (bitsLeft_ < 8) refill();
    return 0;
}

} // namespace duoscope::h264
