// unitmerge: interleaves a base-view stream (access units opened by NAL 9) and
// a dependent-view stream (opened by NAL 24) into one MVC stream, base then
// dependent for every picture, delimiters removed.
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace streamtools;

namespace {

constexpr std::uint64_t maxExtraUnits = 5;
constexpr const char* usage = "usage: unitmerge <base.264> <dependent.mvc> <output>\n";
const std::string help =
    "Interleaves a base-view H.264 stream (access units opened by NAL type 9) and an MVC\n"
    "dependent-view stream (opened by NAL type 24) into one stream: base access unit k, then\n"
    "dependent access unit k, delimiters removed. Up to " +
    std::to_string(maxExtraUnits) +
    " unpaired access units at the\n"
    "end of the longer stream are dropped; more is an error. <output> may be a named pipe\n"
    "or '-' for standard output.\n";
constexpr std::uint64_t progressEvery = 500;
// Units stream through in pieces of at most this size, so a huge NAL unit
// costs no more memory than a small one.
constexpr std::size_t largestHeldUnit = std::size_t{8} << 20;

void checkHasStartCode(const NalReader& reader) {
    if (reader.bytesRead() > 0 && !reader.sawStartCode())
        throw StreamError(reader.name() + ": no start code in stream");
}

int mergeInto(OutputFile& output, DelimitedUnitReader& base, DelimitedUnitReader& dependent,
              const NalReader& baseReader, const NalReader& dependentReader);

int merge(const std::string& basePath, const std::string& dependentPath, const std::string& outputPath) {
    NalReader baseReader = NalReader::openFile(basePath);
    NalReader dependentReader = NalReader::openFile(dependentPath);
    baseReader.setLargestHeldUnit(largestHeldUnit);
    dependentReader.setLargestHeldUnit(largestHeldUnit);
    if (isSameFile(outputPath, basePath) || isSameFile(outputPath, dependentPath))
        throw StreamError(outputPath + ": output is one of the inputs");
    DelimitedUnitReader base(baseReader, nal::accessUnitDelimiter);
    DelimitedUnitReader dependent(dependentReader, nal::mvcDelimiter);
    OutputFile output(outputPath);
    try {
        return mergeInto(output, base, dependent, baseReader, dependentReader);
    } catch (...) {
        if (output.isRegularFile()) ::unlink(outputPath.c_str());
        throw;
    }
}

void copyUnit(DelimitedUnitReader& units, OutputFile& output) {
    while (auto piece = units.nextPiece())
        output.write(piece->bytes);
}

int mergeInto(OutputFile& output, DelimitedUnitReader& base, DelimitedUnitReader& dependent,
              const NalReader& baseReader, const NalReader& dependentReader) {
    std::uint64_t pairs = 0;
    for (;;) {
        // Both units must exist before either is written: one without partner is dropped.
        const bool hasBase = base.startNext();
        if (!hasBase) checkHasStartCode(baseReader);
        const bool hasDependent = dependent.startNext();
        if (!hasDependent) checkHasStartCode(dependentReader);
        if (!hasBase && !hasDependent) break;
        if (!hasBase || !hasDependent) {
            // The unit without partner is not written and not counted.
            DelimitedUnitReader& longer = hasBase ? base : dependent;
            std::uint64_t extra = 0;
            while (longer.startNext())
                ++extra;
            output.close();
            const char* longerName = hasBase ? "base" : "MVC";
            if (extra > maxExtraUnits) {
                throw StreamError(
                    "Access unit count mismatch: base=" + std::to_string(pairs + (hasBase ? extra : 0)) +
                    ", MVC=" + std::to_string(pairs + (hasBase ? 0 : extra)));
            }
            if (pairs == 0)
                throw StreamError(std::string("no access unit to pair: the ") + (hasBase ? "MVC" : "base") +
                                  " stream has none (are the inputs given in the order base, dependent?)");
            std::fprintf(stderr, "unitmerge: %s stream has %llu extra AUs (ignored)\n", longerName,
                         static_cast<unsigned long long>(extra));
            std::fprintf(stderr, "unitmerge: done, %llu pairs written\n",
                         static_cast<unsigned long long>(pairs));
            return 0;
        }
        copyUnit(base, output);
        copyUnit(dependent, output);
        if (++pairs % progressEvery == 0)
            std::fprintf(stderr, "unitmerge: %llu pairs interleaved\n",
                         static_cast<unsigned long long>(pairs));
    }
    output.close();
    // Two streams without a single delimiter are not what the caller meant:
    // swapped inputs, empty files or plain H.264 without delimiters.
    if (pairs == 0)
        throw StreamError(
            "no access unit to pair: neither stream has a delimiter (NAL 9 in the base view, NAL 24 "
            "in the dependent view); are the inputs given in the order base, dependent?");
    std::fprintf(stderr, "unitmerge: done, %llu pairs written\n", static_cast<unsigned long long>(pairs));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (auto status = toolsupport::answerHelpOrMisuse(argc, argv, usage, help, argc == 4)) return *status;
    return runTool([&] { return merge(argv[1], argv[2], argv[3]); });
}
