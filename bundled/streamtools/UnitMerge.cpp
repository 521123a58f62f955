#include "UnitMerge.h"

#include <string>

namespace streamtools {

namespace {

void checkHasStartCode(const NalReader& reader) {
    if (reader.bytesRead() > 0 && !reader.sawStartCode())
        throw StreamError(reader.name() + ": no start code in stream");
}

} // namespace

MergeResult mergeViews(NalReader& baseReader, NalReader& dependentReader,
                       const std::function<void(std::span<const std::uint8_t>)>& write,
                       const std::function<void(std::uint64_t)>& onPair) {
    DelimitedUnitReader base(baseReader, nal::accessUnitDelimiter);
    DelimitedUnitReader dependent(dependentReader, nal::mvcDelimiter);
    MergeResult result;
    for (;;) {
        // Both units must exist before either is written: one without partner is dropped.
        const bool hasBase = base.startNext();
        if (!hasBase) checkHasStartCode(baseReader);
        const bool hasDependent = dependent.startNext();
        if (!hasDependent) checkHasStartCode(dependentReader);
        if (!hasBase && !hasDependent) break;
        if (!hasBase || !hasDependent) {
            DelimitedUnitReader& longer = hasBase ? base : dependent;
            result.isUneven = true;
            result.isBaseLonger = hasBase;
            while (longer.startNext())
                ++result.extraUnits;
            if (result.extraUnits > maxExtraUnits)
                throw StreamError(
                    "Access unit count mismatch: base=" +
                    std::to_string(result.pairs + (hasBase ? result.extraUnits : 0)) +
                    ", MVC=" + std::to_string(result.pairs + (hasBase ? 0 : result.extraUnits)));
            if (result.pairs == 0)
                throw StreamError(std::string("no access unit to pair: the ") + (hasBase ? "MVC" : "base") +
                                  " stream has none (are the inputs given in the order base, dependent?)");
            return result;
        }
        for (DelimitedUnitReader* units : {&base, &dependent})
            while (auto piece = units->nextPiece())
                write(piece->bytes);
        ++result.pairs;
        if (onPair) onPair(result.pairs);
    }
    // Two streams without a single delimiter are not what the caller meant:
    // swapped inputs, empty files or plain H.264 without delimiters.
    if (result.pairs == 0)
        throw StreamError(
            "no access unit to pair: neither stream has a delimiter (NAL 9 in the base view, NAL 24 "
            "in the dependent view); are the inputs given in the order base, dependent?");
    return result;
}

} // namespace streamtools
