#include "SliceDecoder.h"

namespace duoscope::h264 {

void SliceDecoder::decodeMacroblockCabac(int) {
    throw UnsupportedFeature("CABAC entropy coding");
}

} // namespace duoscope::h264
