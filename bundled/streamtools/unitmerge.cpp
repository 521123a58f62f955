// unitmerge: interleaves a base-view stream (access units opened by NAL 9) and
// a dependent-view stream (opened by NAL 24) into one MVC stream, base then
// dependent for every picture, delimiters removed.
#include "UnitMerge.h"
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace streamtools;

namespace {

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

int merge(const std::string& basePath, const std::string& dependentPath, const std::string& outputPath) {
    NalReader baseReader = NalReader::openFile(basePath);
    NalReader dependentReader = NalReader::openFile(dependentPath);
    baseReader.setLargestHeldUnit(largestHeldUnit);
    dependentReader.setLargestHeldUnit(largestHeldUnit);
    if (isSameFile(outputPath, basePath) || isSameFile(outputPath, dependentPath))
        throw StreamError(outputPath + ": output is one of the inputs");
    OutputFile output(outputPath);
    try {
        const MergeResult result = mergeViews(
            baseReader, dependentReader, [&](std::span<const std::uint8_t> bytes) { output.write(bytes); },
            [](std::uint64_t pairs) {
                if (pairs % progressEvery == 0)
                    std::fprintf(stderr, "unitmerge: %llu pairs interleaved\n",
                                 static_cast<unsigned long long>(pairs));
            });
        output.close();
        if (result.isUneven)
            std::fprintf(stderr, "unitmerge: %s stream has %llu extra AUs (ignored)\n",
                         result.isBaseLonger ? "base" : "MVC",
                         static_cast<unsigned long long>(result.extraUnits));
        std::fprintf(stderr, "unitmerge: done, %llu pairs written\n",
                     static_cast<unsigned long long>(result.pairs));
        return 0;
    } catch (...) {
        if (output.isRegularFile()) ::unlink(outputPath.c_str());
        throw;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (auto status = toolsupport::answerHelpOrMisuse(argc, argv, usage, help, argc == 4)) return *status;
    return runTool([&] { return merge(argv[1], argv[2], argv[3]); });
}
