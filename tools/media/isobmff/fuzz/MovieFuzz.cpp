// Fuzz target for the box reader and the moov parser: whatever parses must write back to the same
// bytes, and the sample tables must never point outside the input or crash on hostile counts.
#include "Box.h"
#include "MovieReader.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    try {
        auto boxes = media::parseBoxes(data, size);
        std::vector<uint8_t> written;
        media::writeBoxes(boxes, written);
        if (written.size() != size || std::memcmp(written.data(), data, size) != 0) std::abort();
        (void)media::dumpBoxes(boxes);
    } catch (const media::FormatError&) {
    }
    // Every top-level moov, parsed as the movie reader does with the input as the whole file.
    size_t pos = 0;
    while (pos + 8 <= size) {
        std::optional<media::BoxHeader> h;
        try {
            h = media::parseBoxHeader(data + pos, size - pos, pos);
        } catch (const media::FormatError&) {
            break;
        }
        if (!h) break;
        if (h->type == media::fourcc("moov")) {
            try {
                auto movie = media::parseMoov(data + pos, size_t(h->size), pos, size);
                for (const auto& t : movie.tracks)
                    for (const auto& s : t.samples)
                        if (s.offset > size || s.size > size - s.offset) std::abort();
            } catch (const media::FormatError&) {
            }
        }
        pos += size_t(h->size);
    }
    return 0;
}
