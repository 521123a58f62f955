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

class CabacDecoder {
  public:
    // 9.3.1.2: starts the engine on the byte-aligned slice data.
    void start(const uint8_t* data, size_t size, size_t bytePos);
    int decodeDecision(CabacContext& ctx);
    int decodeBypass();
    int decodeTerminate();
    // Position of the next unread byte (for I_PCM samples) and restart after them.
    size_t bytePosition() const;
    bool overran() const { return pos_ > size_ + 2; }

    CabacContext ctx[kCabacContexts];

  private:
    void renorm();
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    uint32_t range_ = 0;
    uint32_t offset_ = 0;
    int bitsLeft_ = 0; // unread bits of the byte at pos_-1
    uint32_t currentByte_ = 0;
    uint32_t readBit();
};

} // namespace duoscope::h264
