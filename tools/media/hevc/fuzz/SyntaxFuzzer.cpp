// Feeds arbitrary bytes to the HEVC and sample-entry parsers: they must throw, never crash.
// The first byte picks the parser; the rest is its input.
#include "isobmff/Box.h"
#include "media/hevc/SampleEntry.h"
#include "media/hevc/Syntax.h"

using namespace media::hevc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::span<const uint8_t> in(data + 1, size - 1);
    try {
        switch (data[0] % 6) {
        case 0:
            (void)parseVps(unescapeRbsp(in));
            break;
        case 1:
            (void)parseSps(unescapeRbsp(in), data[0] & 0x40 ? 1 : 0);
            break;
        case 2:
            (void)parsePps(unescapeRbsp(in));
            break;
        case 3: {
            // A plain 1080p x265-like SPS/PPS context, with the input as slice header.
            Sps sps;
            sps.width = 1920;
            sps.height = 1088;
            sps.log2Ctb = 6;
            sps.log2MaxPocLsb = 8;
            sps.sampleAdaptiveOffset = true;
            sps.temporalMvp = true;
            sps.longTermRefsPresent = data[0] & 0x80;
            Pps pps;
            pps.entropyCodingSync = true;
            pps.listsModificationPresent = data[0] & 0x40;
            pps.weightedPred = pps.weightedBipred = data[0] & 0x20;
            LayerContext ctx;
            ctx.interLayerFlagPresent = data[0] & 0x10;
            (void)parseSliceHeader(unescapeRbsp(in), (data[0] >> 3) & 0x1f, ctx.interLayerFlagPresent, sps,
                                   pps, ctx);
            break;
        }
        case 4: {
            const VisualSampleEntry e = parseVisualSampleEntry(in);
            if (auto* c = e.child("hvcC")) (void)parseHvcC(*c);
            if (auto* c = e.child("lhvC")) (void)parseLhvC(*c);
            if (auto* c = e.child("vexu")) (void)parseVexu(*c);
            break;
        }
        default:
            (void)splitLengthPrefixed(in);
            break;
        }
    } catch (const Error&) {
    } catch (const media::FormatError&) {
    }
    return 0;
}
