// CABAC arithmetic decoding engine and context initialisation (H.264 9.3.1,
// 9.3.3.2). One CabacDecoder per slice being decoded; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace duoscope::h264 {

struct CabacContext {
    uint8_t state; // pStateIdx
    uint8_t mps;   // valMPS
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

} // namespace cabac_tables

class CabacDecoder {
  public:
    // 9.3.1.2: starts the engine on the byte-aligned slice data.
    void start(const uint8_t* data, size_t size, size_t bytePos);
    int decodeDecision(CabacContext& ctx);
    int decodeBypass();
    int decodeTerminate();
    // Position of the next unread byte (for I_PCM samples) and restart after them.
    size_t bytePosition() const;
    bool overran() const { return pos_ > size_ + 10; }

    CabacContext ctx[kCabacContexts];

  private:
    void renorm();
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    uint32_t range_ = 0;
    uint32_t offset_ = 0;
    uint64_t cache_ = 0; // MSB-first bits read ahead of the arithmetic decoder
    int cacheBits_ = 0;
    uint32_t readBits(int n);
};

inline uint32_t CabacDecoder::readBits(int n) {
    if (cacheBits_ < n) {
        while (cacheBits_ <= 56) {
            uint64_t byte = pos_ < size_ ? data_[pos_] : 0;
            ++pos_;
            cache_ |= byte << (56 - cacheBits_);
            cacheBits_ += 8;
        }
    }
    uint32_t v = static_cast<uint32_t>(cache_ >> (64 - n));
    cache_ <<= n;
    cacheBits_ -= n;
    return v;
}

inline void CabacDecoder::renorm() {
    if (range_ >= 256) return;
    int shift = __builtin_clz(range_) - 23;
    range_ <<= shift;
    offset_ = (offset_ << shift) | readBits(shift);
}

inline int CabacDecoder::decodeDecision(CabacContext& c) {
#ifdef DUOSCOPE_CABAC_PROBE
    cabac_probe::used[&c - ctx] = true;
#endif
    uint32_t lps = cabac_tables::kRangeLps[c.state][(range_ >> 6) & 3];
    range_ -= lps;
    int bin;
    if (offset_ >= range_) {
        bin = !c.mps;
        offset_ -= range_;
        range_ = lps;
        if (c.state == 0) c.mps = static_cast<uint8_t>(1 - c.mps);
        c.state = cabac_tables::kTransLps[c.state];
    } else {
        bin = c.mps;
        if (c.state < 62) ++c.state;
    }
    renorm();
    return bin;
}

inline int CabacDecoder::decodeBypass() {
    offset_ = (offset_ << 1) | readBits(1);
    if (offset_ >= range_) {
        offset_ -= range_;
        return 1;
    }
    return 0;
}

inline int CabacDecoder::decodeTerminate() {
    range_ -= 2;
    if (offset_ >= range_) return 1;
    renorm();
    return 0;
}

} // namespace duoscope::h264
