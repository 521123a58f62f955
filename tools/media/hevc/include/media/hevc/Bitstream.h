// HEVC bit-level reading and writing: Annex B splitting, emulation prevention,
// MSB-first bit reader/writer with Exp-Golomb codes, the two-byte NAL header.
// Plain value types; any thread may use its own instances. Errors throw media::hevc::Error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitstream/BitReader.h"
#include "bitstream/BitWriter.h"
#include "bitstream/NalTypes.h"
#include "bitstream/Rbsp.h"

namespace media::hevc {

using Bytes = std::vector<uint8_t>;

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace hevcnal = bitstream::hevc::nal;

inline int nalType(std::span<const uint8_t> nal) {
    return nal.empty() ? -1 : (nal[0] >> 1) & 0x3f;
}
inline int nalLayerId(std::span<const uint8_t> nal) {
    return nal.size() < 2 ? -1 : ((nal[0] & 1) << 5) | (nal[1] >> 3);
}
inline int nalTemporalIdPlus1(std::span<const uint8_t> nal) {
    return nal.size() < 2 ? 0 : nal[1] & 7;
}
inline bool isVcl(int type) {
    return type >= 0 && type < 32;
}
inline bool isIrap(int type) {
    return type >= hevcnal::blaWLp && type <= hevcnal::reservedIrap23;
}
inline bool isIdr(int type) {
    return type == hevcnal::idrWRadl || type == hevcnal::idrNLp;
}

// NAL units of an Annex B byte stream (start codes and trailing zero bytes removed).
std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> stream);

// Emulation prevention: NAL payload bytes <-> RBSP bytes.
using bitstream::escapeRbsp;
using bitstream::unescapeRbsp;

// The shared reader with this layer's error handling: a read past the end or an
// over-long Exp-Golomb code throws Error at once instead of setting a flag.
class BitReader {
  public:
    explicit BitReader(std::span<const uint8_t> rbsp, size_t bitPos = 0);

    uint32_t u(int bits);
    bool flag() { return u(1) != 0; }
    uint32_t ue();
    int32_t se();
    void skip(size_t bits);
    size_t pos() const { return reader_.bitPosition(); }
    size_t bitsLeft() const { return reader_.bitsLeft(); }
    bool byteAligned() const { return reader_.isByteAligned(); }
    // True when only the rbsp_stop_one_bit and zero bits remain.
    bool atRbspTrailing() const;

  private:
    bitstream::BitReader reader_;
};

using BitWriter = bitstream::BitWriter;

// Bits needed for an unsigned index below n: Ceil(Log2(n)).
int ceilLog2(uint32_t n);

} // namespace media::hevc
