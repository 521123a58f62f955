// Feeds arbitrary bytes to the listing and to a demux of the usual tracks
// (PIDs 4113/4114, Matroska track 1 both views), with and without a cut.
#include "Demuxer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tsmuxer;
    try {
        auto source = ByteSource::fromMemory(data, size);
        listTracks(*source);
    } catch (const DemuxError&) {
    }
    for (uint32_t track : {4113u, 1u}) {
        try {
            auto source = ByteSource::fromMemory(data, size);
            MemorySink base, dependent;
            DemuxOptions options;
            if (size % 2) options.cutEndNanoseconds = 1'000'000'000;
            options.onWarning = [](const std::string&) {};
            demux(*source,
                  {{View::base, track, &base}, {View::dependent, track == 1 ? 1u : 4114u, &dependent}},
                  options);
        } catch (const DemuxError&) {
        }
    }
    return 0;
}
