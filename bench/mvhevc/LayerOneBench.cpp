// Writes an MV-HEVC movie's layer 1 (the right eye) as a single-layer HEVC stream that Debian's
// ffmpeg decodes, so the benchmark can measure the right eye's PSNR.
//   mvhevc_layer_one <movie.mov> <right.hevc>
#include "media/hevc/StereoMovie.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <movie.mov> <right.hevc>\n", argv[0]);
        return 1;
    }
    try {
        media::hevc::writeLayerOneAsSingleLayer(argv[1], argv[2]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: %s\n", e.what());
        return 1;
    }
}
