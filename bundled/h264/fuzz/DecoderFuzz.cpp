// libFuzzer target over the whole decoder: the input is an Annex B byte
// stream, split at start codes and fed NAL by NAL, then flushed; once to the
// two-view decoder, once to the split pair viewpump runs on two threads (here
// one after the other: the base decoder first, keeping every base picture).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <vector>

#include "Decoder.h"

namespace {

using namespace duoscope::h264;

void feed(Decoder& decoder, const uint8_t* data, size_t size) {
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
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t checksum = 0;
    DecoderCallbacks callbacks;
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
        feed(decoder, data, size);
    } catch (const std::exception&) {
    }
    std::map<int64_t, Picture*> bases;
    DecoderCallbacks base = callbacks, second = callbacks;
    base.views = ViewSelection::BaseOnly;
    base.onBasePicture = [&](int64_t accessUnit, Picture* pic) { bases[accessUnit] = pic; };
    second.views = ViewSelection::DependentOnly;
    second.interViewPicture = [&](int64_t accessUnit) {
        auto it = bases.find(accessUnit);
        return it == bases.end() ? nullptr : it->second;
    };
    try {
        Decoder baseDecoder(base);
        try {
            feed(baseDecoder, data, size);
        } catch (const std::exception&) {
        }
        Decoder secondDecoder(second);
        feed(secondDecoder, data, size);
    } catch (const std::exception&) {
    }
    return checksum == 0xdeadbeef ? 1 : 0;
}
