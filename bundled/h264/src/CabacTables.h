// Context initialisation values (m, n) of H.264 Tables 9-12 to 9-33 for
// ctxIdx 0..459, per initType (0: I slices, 1..3: cabac_init_idc 0..2).
#pragma once

#include <cstdint>

namespace duoscope::h264 {

extern const int8_t kCabacInit[4][460][2];
extern const bool kCabacTablesComplete;

} // namespace duoscope::h264
