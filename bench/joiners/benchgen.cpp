// Writes a large synthetic MV-HEVC-shaped segment for the join benchmark: an hvc1 entry with hvcC,
// lhvC (unless --no-lhvc) and vexu, samples of pseudo-random bytes with B-frame timing (I P B B ...).
// The joiners never decode, so only the sizes, times and boxes matter here.
#include "MovieWriter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace media;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: joiners_benchgen <out.mov> <megabytes> <sample-kilobytes> [--no-lhvc]\n");
        return 1;
    }
    std::string out = argv[1];
    uint64_t total = std::stoull(argv[2]) * 1000000ull;
    size_t sampleSize = size_t(std::stoul(argv[3])) * 1000;
    bool withLhvC = !(argc > 4 && std::string(argv[4]) == "--no-lhvc");

    BoxWriter e;
    e.beginBox("hvc1");
    e.zeros(6);
    e.u16(1);
    e.zeros(16);
    e.u16(1920);
    e.u16(1080);
    e.u32(0x00480000);
    e.u32(0x00480000);
    e.u32(0);
    e.u16(1);
    e.zeros(32);
    e.u16(0x18);
    e.i16(-1);
    e.beginBox("hvcC");
    e.zeros(23);
    e.endBox();
    if (withLhvC) {
        e.beginBox("lhvC");
        e.u8(1), e.u16(0xF000), e.u8(0xFC), e.u8(0xCB), e.u8(0);
        e.endBox();
    }
    e.beginBox("vexu");
    e.beginBox("eyes");
    e.beginFullBox("stri", 0, 0);
    e.u8(3);
    e.endBox();
    e.endBox();
    e.endBox();
    e.endBox();

    try {
        MovieWriter w(out);
        int t = w.addTrack({"vide", 24000, 1920, 1080, e.take(), 0x55C4, std::nullopt});
        std::vector<uint8_t> sample(sampleSize);
        uint64_t state = 0x9E3779B97F4A7C15ull;
        size_t count = size_t(total / sampleSize);
        count -= count % 4;
        for (size_t i = 0; i < count; ++i) {
            for (size_t k = 0; k + 8 <= sample.size(); k += 8) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                std::memcpy(sample.data() + k, &state, 8);
            }
            // Decode order I0 P3 B1 B2 | P7 B5 B6 ... presented in order; decode times two frames early.
            size_t group = i / 4 * 4, pos = i % 4;
            size_t shown = group + (pos == 0 ? 0 : pos == 1 ? 3 : pos - 1);
            int64_t dts = int64_t(i) * 1001 - 2002, pts = int64_t(shown) * 1001;
            w.addSample(t, sample.data(), sample.size(), dts, pts, 1001, pos == 0);
        }
        w.finish();
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "ERROR: %s\n", ex.what());
        return 1;
    }
    return 0;
}
