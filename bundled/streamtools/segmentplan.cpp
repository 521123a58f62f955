// segmentplan: the segment plan of the segment-parallel route, one line per
// segment "<k> <start> <end> <warm-up start>" (access unit indexes, end
// exclusive), from the unit list the route makes with unitprobe.
#include "SegmentPlan.h"
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

using namespace streamtools;

namespace {

constexpr const char* usage =
    "usage: segmentplan --slots N [--segment-size AUS] [--stream STREAM.264] <unit list>\n";

std::size_t positiveNumber(const std::string& option, const char* text) {
    std::size_t value = 0;
    const char* end = text + std::strlen(text);
    auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || value == 0)
        throw StreamError(option + " must be a positive number (got '" + text + "')");
    return value;
}

int plan(const std::string& listPath, const std::string& streamPath, const PlanSettings& settings) {
    std::ifstream list(listPath);
    if (!list) throw StreamError("cannot read " + listPath + ": " + std::strerror(errno));
    const std::vector<PlannedUnit> units = parseUnitList(list);
    if (list.bad()) throw StreamError("cannot read " + listPath + ": " + std::strerror(errno));
    if (units.empty()) throw StreamError(listPath + ": no access unit");
    const auto segments = planSegments(units, settings, [&](std::size_t index) {
        return !streamPath.empty() && holdsIdr(streamPath, units, index);
    });
    for (std::size_t k = 0; k < segments.size(); ++k)
        std::printf("%zu %zu %zu %zu\n", k, segments[k].start, segments[k].end, segments[k].warmUpStart);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw StreamError("write error on standard output: " + std::string(std::strerror(errno)));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (toolsupport::answersVersion(argc, argv, "segmentplan")) return 0;
    PlanSettings settings;
    std::string listPath, streamPath;
    bool hasSlots = false;
    return runTool([&] {
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            if (argument == "--help" || argument == "-h") {
                std::printf(
                    "%s\nThe unit list has one line per access unit: <index> <offset> <MVC offset>"
                    " <random access 1|0>.\nWith --stream (the stream the offsets point into) a segment"
                    " that starts at an IDR needs no warm-up.\n",
                    usage);
                return 0;
            }
            if ((argument == "--slots" || argument == "--segment-size" || argument == "--stream") &&
                i + 1 < argc) {
                const char* value = argv[++i];
                if (argument == "--slots") {
                    settings.slots = positiveNumber(argument, value);
                    hasSlots = true;
                } else if (argument == "--segment-size") {
                    settings.segmentSize = positiveNumber(argument, value);
                } else {
                    streamPath = value;
                }
            } else if (listPath.empty() && !argument.empty() && argument[0] != '-') {
                listPath = argument;
            } else {
                return toolsupport::usageError(usage);
            }
        }
        if (listPath.empty() || !hasSlots) return toolsupport::usageError(usage);
        return plan(listPath, streamPath, settings);
    });
}
