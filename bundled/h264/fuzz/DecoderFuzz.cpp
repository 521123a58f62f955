// libFuzzer target over the whole decoder: the input is an Annex B byte
// stream, split at start codes and fed NAL by NAL, then flushed.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "Decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace duoscope::h264;
    DecoderCallbacks callbacks;
    uint64_t checksum = 0;
    callbacks.onPicture = [&](const OutputPicture& p) {
        // Touch the visible area so reads of unwritten memory would show.
        for (int y = 0; y < p.height; y += 7)
            checksum +=
                p.picture->plane[0][(p.cropTop + y) * p.picture->stride[0] + p.cropLeft + p.width - 1];
    };
    callbacks.onWarning = [](const std::string&) {};
    callbacks.maxPictureMacroblocks = 3600; // 1280x720: keeps each run fast and small
    try {
        Decoder decoder(callbacks);
        size_t start = 0;
        bool inNal = false;
        for (size_t i = 0; i + 2 < size; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
                if (inNal && i > start) decoder.decodeNal(data + start, i - start, start);
                start = i + 3;
                inNal = true;
                i += 2;
            }
        }
        if (inNal && size > start) decoder.decodeNal(data + start, size - start, start);
        decoder.flush();
    } catch (const UnsupportedFeature&) {
    } catch (const std::exception&) {
    }
    return checksum == 0xdeadbeef ? 1 : 0;
}
