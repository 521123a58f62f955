// twinsever: splits an MVC stream (base and dependent view components in one
// Annex B stream, with or without delimiters) into a base-view stream whose
// access units open with NAL 9 and a dependent-view stream whose access units
// open with NAL 24, the input form of unitmerge.
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace streamtools;

namespace {

constexpr const char* usage = "usage: twinsever <input.264> <base.264> <dependent.mvc>\n";
const std::string help =
    "Splits an H.264 MVC stream into a base-view stream (access units opened by NAL type 9)\n"
    "and a dependent-view stream (opened by NAL type 24). Prefix NAL units stay with the\n"
    "base slices they precede; subset SPS, slice extensions and whatever follows them in an\n"
    "access unit go to the dependent view. unitmerge reverses it byte for byte for streams\n"
    "without delimiters.\n";
constexpr std::uint64_t progressEvery = 1000;

// Access unit delimiter, primary_pic_type 7 (any slice type); Blu-ray's
// dependent-view delimiter uses the same one-byte payload under NAL type 24.
const std::uint8_t baseDelimiter[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
const std::uint8_t dependentDelimiter[] = {0x00, 0x00, 0x00, 0x01, 0x18, 0xF0};

std::uint64_t writeView(OutputFile& output, const AccessUnit& unit, const std::vector<NalRecord>& nals,
                        int delimiterType, std::span<const std::uint8_t> delimiter) {
    std::uint64_t written = 0;
    if (nals.empty() || nals.front().type != delimiterType) {
        output.write(delimiter);
        written += delimiter.size();
    }
    for (const auto& record : nals) {
        output.write(unit.nalBytes(record));
        written += record.size;
    }
    return written;
}

int sever(const std::string& inputPath, const std::string& basePath, const std::string& dependentPath) {
    NalReader reader = NalReader::openFile(inputPath);
    for (const auto& output : {basePath, dependentPath})
        if (isSameFile(output, inputPath)) throw StreamError(output + ": output is the input");
    if (basePath == dependentPath) throw StreamError("the two outputs must differ");

    AccessUnitReader units(reader);
    OutputFile base(basePath);
    OutputFile dependent(dependentPath);
    std::uint64_t count = 0, baseBytes = 0, dependentBytes = 0, dependentUnits = 0;
    try {
        while (auto unit = units.next()) {
            ViewSplit split = splitViews(*unit);
            if (unit->hasDependentView) ++dependentUnits;
            baseBytes += writeView(base, *unit, split.base, nal::accessUnitDelimiter, baseDelimiter);
            dependentBytes +=
                writeView(dependent, *unit, split.dependent, nal::mvcDelimiter, dependentDelimiter);
            if (++count % progressEvery == 0)
                std::fprintf(stderr, "twinsever: %llu access units\n",
                             static_cast<unsigned long long>(count));
        }
        if (reader.bytesRead() > 0 && !reader.sawStartCode())
            throw StreamError(inputPath + ": no start code in stream");
        if (count == 0) throw StreamError(inputPath + ": no access units");
        if (dependentUnits == 0)
            throw StreamError(inputPath + ": no MVC dependent view (NAL unit type 20) in stream");
        base.close();
        dependent.close();
    } catch (...) {
        // Half-written view streams are of no use to anybody.
        if (base.isRegularFile()) ::unlink(basePath.c_str());
        if (dependent.isRegularFile()) ::unlink(dependentPath.c_str());
        throw;
    }
    std::fprintf(stderr, "twinsever: done, %llu access units, base %llu bytes, dependent %llu bytes\n",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(baseBytes),
                 static_cast<unsigned long long>(dependentBytes));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (auto status = toolsupport::answerHelpOrMisuse(argc, argv, usage, help, argc == 4)) return *status;
    return runTool([&] { return sever(argv[1], argv[2], argv[3]); });
}
