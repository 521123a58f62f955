// The decoder reads through the tree's shared bit reader (64-bit cache, sticky
// error flag, bounded Exp-Golomb codes).
#pragma once

#include "bitstream/BitReader.h"

namespace duoscope::h264 {

using BitReader = bitstream::BitReader;

} // namespace duoscope::h264
