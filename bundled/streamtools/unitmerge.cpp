// unitmerge: interleaves a base-view stream (access units opened by NAL 9) and
// a dependent-view stream (opened by NAL 24) into one MVC stream, base then
// dependent for every picture, delimiters removed.
#include "AnnexB.h"
#include "ToolSupport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace streamtools;

namespace {

constexpr const char* usage = "usage: unitmerge <base.264> <dependent.mvc> <output>\n";
constexpr std::uint64_t maxExtraUnits = 5;
constexpr std::uint64_t progressEvery = 500;

void checkHasStartCode(const NalReader& reader) {
    if (reader.bytesRead() > 0 && !reader.sawStartCode())
        throw StreamError(reader.name() + ": no start code in stream");
}

int mergeInto(OutputFile& output, DelimitedUnitReader& base, DelimitedUnitReader& dependent,
              const NalReader& baseReader, const NalReader& dependentReader);

int merge(const std::string& basePath, const std::string& dependentPath, const std::string& outputPath) {
    NalReader baseReader = NalReader::openFile(basePath);
    NalReader dependentReader = NalReader::openFile(dependentPath);
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

int mergeInto(OutputFile& output, DelimitedUnitReader& base, DelimitedUnitReader& dependent,
              const NalReader& baseReader, const NalReader& dependentReader) {
    std::uint64_t pairs = 0;
    for (;;) {
        auto baseUnit = base.next();
        if (!baseUnit) checkHasStartCode(baseReader);
        auto dependentUnit = dependent.next();
        if (!dependentUnit) checkHasStartCode(dependentReader);
        if (!baseUnit && !dependentUnit) break;
        if (!baseUnit || !dependentUnit) {
            // The unit without partner is not written and not counted.
            DelimitedUnitReader& longer = baseUnit ? base : dependent;
            std::uint64_t extra = 0;
            while (longer.next())
                ++extra;
            output.close();
            const char* longerName = baseUnit ? "base" : "MVC";
            if (extra > maxExtraUnits) {
                throw StreamError(
                    "Access unit count mismatch: base=" + std::to_string(pairs + (baseUnit ? extra : 0)) +
                    ", MVC=" + std::to_string(pairs + (baseUnit ? 0 : extra)));
            }
            std::fprintf(stderr, "unitmerge: %s stream has %llu extra AUs (ignored)\n", longerName,
                         static_cast<unsigned long long>(extra));
            std::fprintf(stderr, "unitmerge: done, %llu pairs written\n",
                         static_cast<unsigned long long>(pairs));
            return 0;
        }
        output.write(*baseUnit);
        output.write(*dependentUnit);
        if (++pairs % progressEvery == 0)
            std::fprintf(stderr, "unitmerge: %llu pairs interleaved\n",
                         static_cast<unsigned long long>(pairs));
    }
    output.close();
    std::fprintf(stderr, "unitmerge: done, %llu pairs written\n", static_cast<unsigned long long>(pairs));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf(
            "%s\nInterleaves a base-view H.264 stream (access units opened by NAL type 9) and an MVC\n"
            "dependent-view stream (opened by NAL type 24) into one stream: base access unit k, then\n"
            "dependent access unit k, delimiters removed. Up to %llu unpaired access units at the\n"
            "end of the longer stream are dropped; more is an error. <output> may be a named pipe\n"
            "or '-' for standard output.\n",
            usage, static_cast<unsigned long long>(maxExtraUnits));
        return 0;
    }
    if (argc != 4) {
        std::fputs(usage, stderr);
        return 1;
    }
    return runTool([&] { return merge(argv[1], argv[2], argv[3]); });
}
