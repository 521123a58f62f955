// Writes an MV-HEVC movie's layer 1 (the right eye) as a single-layer HEVC stream that Debian's
// ffmpeg decodes, so the benchmark can measure the right eye's PSNR.
//   mvhevc_layer_one <movie.mov> <right.hevc>
#include "isobmff/MovieReader.h"
#include "media/hevc/Layering.h"
#include "media/hevc/SampleEntry.h"
#include "media/hevc/Syntax.h"

#include <cstdio>
#include <fstream>

using namespace media::hevc;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <movie.mov> <right.hevc>\n", argv[0]);
        return 1;
    }
    try {
        media::MovieReader movie(argv[1]);
        const int t = movie.firstTrack("vide");
        if (t < 0) throw Error("no video track");
        const VisualSampleEntry entry = parseVisualSampleEntry(movie.tracks()[size_t(t)].sampleEntry);
        if (!entry.child("hvcC") || !entry.child("lhvC")) throw Error("not an MV-HEVC movie");
        const HevcConfig hvcc = parseHvcC(*entry.child("hvcC"));
        const HevcConfig lhvc = parseLhvC(*entry.child("lhvC"));
        const Bytes& vps = hvcc.array(kVps)->nals[0];
        const Bytes& sps = lhvc.array(kSps)->nals[0];
        const Bytes& pps = lhvc.array(kPps)->nals[0];
        const LayerContext context = parseVps(unescapeRbsp(std::span(vps).subspan(2))).layer1Context();
        const Sps parsedSps = parseSps(unescapeRbsp(std::span(sps).subspan(2)), 1);
        const Pps parsedPps = parsePps(unescapeRbsp(std::span(pps).subspan(2)));
        std::ofstream out(argv[2], std::ios::binary);
        auto put = [&](const Bytes& nal) {
            static const char startCode[4] = {0, 0, 0, 1};
            out.write(startCode, 4);
            out.write(reinterpret_cast<const char*>(nal.data()), std::streamsize(nal.size()));
        };
        put(vps);
        put(withLayerId(sps, 0));
        put(withLayerId(pps, 0));
        Bytes sample;
        for (size_t i = 0; i < movie.tracks()[size_t(t)].samples.size(); ++i) {
            movie.readSample(size_t(t), i, sample);
            for (auto nal : splitLengthPrefixed(sample))
                if (nalLayerId(nal) == 1 && isVcl(nalType(nal)))
                    put(layerSliceToBase(nal, parsedSps, parsedPps, context));
        }
        return out ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ERROR: %s\n", e.what());
        return 1;
    }
}
