#include "SegmentPlan.h"

#include "AnnexB.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace streamtools {

std::vector<PlannedUnit> parseUnitList(std::istream& in) {
    std::vector<PlannedUnit> units;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned long long index = 0, offset = 0, mvcOffset = 0;
        int randomAccess = -1;
        std::string rest;
        // Unsigned reads would take "-5" for a huge number.
        if (line.find('-') != std::string::npos ||
            !(fields >> index >> offset >> mvcOffset >> randomAccess) ||
            (randomAccess != 0 && randomAccess != 1) || (fields >> rest))
            throw StreamError("unit list line " + std::to_string(units.size() + 1) + ": expected " +
                              "<index> <offset> <MVC offset> <0|1>, got '" + line + "'");
        if (index != units.size())
            throw StreamError("unit list line " + std::to_string(units.size() + 1) + ": index " +
                              std::to_string(index) + " out of order");
        if (!units.empty() && offset < units.back().offset)
            throw StreamError("unit list line " + std::to_string(units.size() + 1) +
                              ": offset goes backwards");
        units.push_back({offset, randomAccess == 1});
    }
    return units;
}

bool holdsIdr(const std::string& path, const std::vector<PlannedUnit>& units, std::size_t index) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw StreamError("cannot open " + path + ": " + std::strerror(errno));
    std::uint64_t position = units[index].offset;
    const std::uint64_t end = index + 1 < units.size() ? units[index + 1].offset : UINT64_MAX;
    NalReader reader(
        [&](std::uint8_t* into, std::size_t size) -> long {
            const std::uint64_t left = end - position;
            const ssize_t count = ::pread(fd, into, left < size ? left : size, off_t(position));
            if (count > 0) position += std::uint64_t(count);
            return long(count);
        },
        path);
    reader.setLargestHeldUnit(std::size_t{1} << 20);
    bool found = false;
    try {
        while (auto unit = reader.next())
            if (!unit->isContinuation && unit->type() == nal::idrSlice) found = true;
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return found;
}

namespace {

std::size_t segmentCount(std::size_t units, const PlanSettings& settings) {
    std::size_t pieces;
    if (settings.segmentSize != 0) {
        pieces = (units + settings.segmentSize - 1) / settings.segmentSize;
    } else {
        // About four per slot, so that a slow stretch of film does not leave
        // the other slots idle at the end, but none shorter than the shortest.
        pieces = settings.slots * 4;
        if (double(units) / double(pieces) < double(settings.shortest)) pieces = units / settings.shortest;
        if (pieces < settings.slots)
            pieces =
                std::min(settings.slots, units / std::max<std::size_t>(settings.shortestToFillTheSlots, 1));
        // One segment more than the slots take at once leaves all but one of
        // them idle while it runs.
        if (pieces > settings.slots) pieces = pieces / settings.slots * settings.slots;
    }
    return pieces < 1 ? 1 : pieces;
}

} // namespace

std::vector<Segment> planSegments(const std::vector<PlannedUnit>& units, const PlanSettings& settings,
                                  const std::function<bool(std::size_t)>& isIdr) {
    const std::size_t count = units.size();
    if (count == 0) return {};
    PlanSettings used = settings;
    if (used.slots < 1) used.slots = 1;
    if (used.segmentSize != 0) used.shortest = used.segmentSize;
    std::vector<std::size_t> anchors; // random access points after the first unit
    for (std::size_t i = 1; i < count; ++i)
        if (units[i].isRandomAccess) anchors.push_back(i);

    const std::size_t pieces = segmentCount(count, used);
    if (used.segmentSize == 0) used.shortest = std::min(used.shortest, count / pieces);
    const double halfShortest = double(used.shortest) / 2;
    std::vector<std::size_t> starts{0};
    std::size_t j = 0;
    for (std::size_t k = 1; k < pieces; ++k) {
        const double target = double(k) * double(count) / double(pieces);
        // The nearest anchor to the target that leaves both neighbours at
        // least half the shortest length.
        std::optional<std::size_t> best;
        for (; j < anchors.size(); ++j) {
            const std::size_t anchor = anchors[j];
            if (double(anchor - starts.back()) < halfShortest) continue;
            if (double(count - anchor) < halfShortest) break;
            const double distance = double(anchor) - target;
            if (best && distance * distance >= (double(*best) - target) * (double(*best) - target)) break;
            best = anchor;
        }
        if (best) starts.push_back(*best);
    }

    std::vector<Segment> segments;
    std::optional<std::size_t> lastAnchor;
    if (units[0].isRandomAccess) lastAnchor = 0;
    j = 0;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        Segment segment{starts[k], k + 1 < starts.size() ? starts[k + 1] : count, starts[k]};
        while (j < anchors.size() && anchors[j] < segment.start)
            lastAnchor = anchors[j++];
        // Without an earlier anchor the pictures before the start cannot be
        // decoded either; the decoder conceals what refers to them.
        if (k != 0 && lastAnchor && !isIdr(segment.start)) segment.warmUpStart = *lastAnchor;
        segments.push_back(segment);
    }
    return segments;
}

} // namespace streamtools
