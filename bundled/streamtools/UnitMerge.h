// The interleaving of a base-view stream and a dependent-view stream into one
// MVC stream, as unitmerge and the segment-parallel runner do it. Pure stream
// work over two NalReaders; failures are thrown as StreamError.
#pragma once

#include "AnnexB.h"

#include <cstdint>
#include <functional>
#include <span>

namespace streamtools {

struct MergeResult {
    std::uint64_t pairs = 0;
    bool isUneven = false; // one stream ends before the other; its partner's rest is dropped
    bool isBaseLonger = false;
    std::uint64_t extraUnits = 0; // the longer stream's units after the first unpaired one
};

// Up to this many unpaired access units at the end of the longer stream are
// dropped; more means the two streams do not belong together.
constexpr std::uint64_t maxExtraUnits = 5;

// Writes base access unit k, then dependent access unit k, delimiters removed,
// through `write`; `onPair` hears the count after every pair written.
MergeResult mergeViews(NalReader& base, NalReader& dependent,
                       const std::function<void(std::span<const std::uint8_t>)>& write,
                       const std::function<void(std::uint64_t)>& onPair = {});

} // namespace streamtools
