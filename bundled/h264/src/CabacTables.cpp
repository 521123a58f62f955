#include "CabacTables.h"

namespace duoscope::h264 {

const int8_t kCabacInit[4][460][2] = {};
const bool kCabacTablesComplete = false;

} // namespace duoscope::h264
