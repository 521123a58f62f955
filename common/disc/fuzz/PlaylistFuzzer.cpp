// Feeds arbitrary bytes to the playlist reader: it must answer or throw
// PlaylistError, never read outside the buffer.
#include "disc/PlaylistExtension.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        disc::parsePlaylist({data, size});
    } catch (const disc::PlaylistError&) {
    }
    return 0;
}
