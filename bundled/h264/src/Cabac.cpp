#include "Cabac.h"

#include <algorithm>

#include "CabacTables.h"

namespace duoscope::h264 {

#ifdef DUOSCOPE_CABAC_PROBE
namespace cabac_probe {
uint8_t forcedPre[4][kCabacContexts] = {};
bool used[kCabacContexts] = {};
int lastInitType = -1;
int lastQp = -1;
const CabacContext* lastContexts = nullptr;
} // namespace cabac_probe
#endif

void initCabacContexts(CabacContext* contexts, int initType, int sliceQp) {
    const int8_t(*table)[2] = kCabacInit[initType];
    int qp = std::clamp(sliceQp, 0, 51);
#ifdef DUOSCOPE_CABAC_PROBE
    cabac_probe::lastInitType = initType;
    cabac_probe::lastQp = qp;
    cabac_probe::lastContexts = contexts;
#endif
    for (int i = 0; i < kCabacContexts; ++i) {
        int pre = std::clamp(((table[i][0] * qp) >> 4) + table[i][1], 1, 126);
#ifdef DUOSCOPE_CABAC_PROBE
        if (cabac_probe::forcedPre[initType][i] != 0) pre = cabac_probe::forcedPre[initType][i];
#endif
        contexts[i] = pre <= 63 ? CabacContext::make(63 - pre, 0) : CabacContext::make(pre - 64, 1);
    }
}

void CabacEngine::start(const uint8_t* data, size_t size, size_t bytePos) {
    data_ = data;
    size_ = size;
    pos_ = bytePos;
    // codIOffset is the first 9 bits; the other 55 of 8 bytes are read ahead.
    value_ = 0;
    for (int i = 0; i < 8; ++i, ++pos_)
        value_ = (value_ << 8) | (pos_ < size_ ? data_[pos_] : 0u);
    bitsLeft_ = 55;
    range_ = 510;
}

// Bytes read ahead are not consumed yet.
size_t CabacEngine::bytePosition() const {
    return pos_ - static_cast<size_t>(bitsLeft_ / 8);
}

} // namespace duoscope::h264
