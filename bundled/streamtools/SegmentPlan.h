// The segment plan of the segment-parallel route: where a stream is cut into
// independently decodable segments, and from which access unit each worker
// must decode so that its first picture is whole. Arithmetic over the
// access-unit list unitprobe writes, and the IDR test that reads one unit's
// bytes; errors are thrown as StreamError.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace streamtools {

struct PlannedUnit {
    std::uint64_t offset = 0; // in the interleaved stream, or the base view's stream
    bool isRandomAccess = false;
};

struct Segment {
    std::size_t start = 0, end = 0; // access unit indexes, end exclusive
    std::size_t warmUpStart = 0;    // first access unit fed; pictures before `start` are dropped
};

struct PlanSettings {
    std::size_t slots = 1;       // segments that run at once, on all machines together
    std::size_t segmentSize = 0; // fixed length in access units; 0 plans about four per slot
    // The shortest segment worth a worker's start and flush. Measured on 1080p
    // pairs: a segment costs about two CPU seconds more than its pictures
    // (two encoders opened, their lookahead filled and drained, every buffer
    // touched afresh), ten pictures' worth at "Balanced"; at 24 pictures a
    // title took 1.6 times the CPU of one segment, at 120 about 1.1 times.
    std::size_t shortest = 120;
    // A title too short for a segment of `shortest` per slot is still spread
    // over the slots, in segments down to this length: an idle machine wins
    // nothing back, and a start costs less than half of 24 pictures' work.
    std::size_t shortestToFillTheSlots = 24;
};

// Lines "<index> <offset> <MVC offset> <random access 1|0>", indexes counting
// from 0. unitprobe's own lines read alike (their third field, the unit's
// size, is not kept).
std::vector<PlannedUnit> parseUnitList(std::istream& in);

// Whether access unit `index` of the stream at `path` (which `units` lists)
// holds an IDR slice, read from its bytes alone.
bool holdsIdr(const std::string& path, const std::vector<PlannedUnit>& units, std::size_t index);

// Cuts at the random access point nearest to each even share of the film, so
// the segments come out as equal as the stream allows, in whole rounds of the
// slots. A segment that starts at an anchor which is not an IDR may have
// leading pictures referring to the GOP before it, so it decodes from the
// previous random access point; `isIdr(index)` spares that warm-up.
std::vector<Segment> planSegments(const std::vector<PlannedUnit>& units, const PlanSettings& settings,
                                  const std::function<bool(std::size_t)>& isIdr);

} // namespace streamtools
