// Fuzz target of the stream tools' Annex B reader and view splitter. The first
// byte picks the read chunk size, so unit boundaries land on every seam. Checks
// that nothing is lost or invented: NAL units and access units tile the input.
#include "AnnexB.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace streamtools;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

NalReader readerOver(const std::vector<std::uint8_t>& bytes, std::size_t chunk) {
    auto position = std::make_shared<std::size_t>(0);
    return NalReader(
        [&bytes, position](std::uint8_t* into, std::size_t size) {
            const std::size_t count = std::min(size, bytes.size() - *position);
            if (count > 0) std::memcpy(into, bytes.data() + *position, count);
            *position += count;
            return static_cast<long>(count);
        },
        "fuzz input", chunk);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    const std::vector<std::uint8_t> bytes(size > 0 ? data + 1 : data, data + size);

    {
        NalReader reader = readerOver(bytes, chunk);
        std::uint64_t expectedOffset = 0;
        while (auto unit = reader.next()) {
            check(unit->offset == expectedOffset);
            check(!unit->bytes.empty());
            check(std::memcmp(unit->bytes.data(), bytes.data() + unit->offset, unit->bytes.size()) == 0);
            expectedOffset += unit->bytes.size();
        }
        check(expectedOffset == bytes.size());
    }
    {
        NalReader reader = readerOver(bytes, chunk);
        AccessUnitReader units(reader);
        std::uint64_t covered = 0;
        while (auto unit = units.next()) {
            check(unit->offset == covered + units.leadingBytes());
            check(std::memcmp(unit->bytes.data(), bytes.data() + unit->offset, unit->bytes.size()) == 0);
            covered += unit->bytes.size();
            ViewSplit split = splitViews(*unit);
            check(split.base.size() + split.dependent.size() == unit->nals.size());
        }
        check(covered + units.leadingBytes() == bytes.size());
    }
    for (int delimiterType : {9, 24}) {
        NalReader reader = readerOver(bytes, chunk);
        DelimitedUnitReader units(reader, delimiterType);
        std::size_t total = 0;
        while (auto unit = units.next())
            total += unit->size();
        check(total <= bytes.size());
    }
    return 0;
}
