// The shared Annex B reader: NAL cutting at every chunk size, access-unit
// grouping of interleaved, base and dependent streams, and the view split.
#include "AnnexB.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace streamtools;
using duoscope::test::Bytes;

namespace {

Bytes nalBytes(std::uint8_t header, const Bytes& payload, bool fourByteStartCode = true) {
    return duoscope::test::nalUnit(header, payload, fourByteStartCode);
}

// A reader over memory that hands out at most `chunk` bytes per read.
NalReader memoryReader(const Bytes& bytes, std::size_t chunk) {
    auto position = std::make_shared<std::size_t>(0);
    return NalReader(
        [&bytes, position](std::uint8_t* into, std::size_t size) {
            const std::size_t count = std::min(size, bytes.size() - *position);
            std::memcpy(into, bytes.data() + *position, count);
            *position += count;
            return static_cast<long>(count);
        },
        "memory", chunk);
}

// Slices as the MVC streams use them: first_mb_in_slice 0 (payload starts with
// bit 1) or a later slice of the same picture (bit 0).
Bytes slice(std::uint8_t header, bool first) {
    return nalBytes(header, {std::uint8_t(first ? 0x88 : 0x40), 0x11});
}
Bytes prefixNal(bool anchor) {
    return nalBytes(0x6E, {0x40, 0x00, std::uint8_t(anchor ? 0x07 : 0x03)});
}
Bytes extension(bool first, bool anchor) {
    return nalBytes(0x74,
                    {0x40, 0x00, std::uint8_t(anchor ? 0x47 : 0x43), std::uint8_t(first ? 0x88 : 0x40)});
}
Bytes other(std::uint8_t header) {
    return nalBytes(header, {0x42, 0x42});
}

struct Shape {
    std::vector<int> types; // NAL types of one access unit, in order
    bool isRandomAccess;
};

std::vector<Shape> shapesOf(const Bytes& stream) {
    NalReader reader = memoryReader(stream, 7);
    AccessUnitReader units(reader);
    std::vector<Shape> shapes;
    while (auto unit = units.next()) {
        Shape shape{{}, unit->isRandomAccess};
        for (const auto& record : unit->nals)
            shape.types.push_back(record.type);
        shapes.push_back(shape);
    }
    return shapes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(NalReader, CutsTheSameUnitsAtEveryChunkSize) {
    const Bytes stream = concat({{0x12, 0x00, 0x00},            // leading bytes, ending in zeros
                                 nalBytes(0x09, {0xF0}, false), // 3-byte start code
                                 nalBytes(0x67, {0x64, 0x00, 0x00, 0x03, 0x01}), // emulation prevention
                                 {0x00, 0x00}, // trailing zeros before a 4-byte code
                                 nalBytes(0x65, {0x88, 0x00, 0x00, 0x02}),
                                 {0x00, 0x00, 0x01}}); // a start code with nothing after it
    // Earliest start code first: the run of zeros before 00 00 01 makes a 4-byte
    // code at offset 2, the two trailing zeros stay with the SPS, and the last
    // start code has no header byte. Leading bytes may come in pieces.
    using Record = std::tuple<std::uint64_t, std::size_t, int>;
    const std::vector<Record> expected{{0, 2, -1}, {2, 6, 9}, {8, 12, 7}, {20, 9, 5}, {29, 3, -1}};
    for (std::size_t chunk : {1u, 2u, 3u, 5u, 8u, 1u << 20}) {
        NalReader reader = memoryReader(stream, chunk);
        std::vector<Record> seen;
        Bytes joined;
        while (auto unit = reader.next()) {
            if (unit->startCodeLength == 0 && !seen.empty() && std::get<2>(seen.back()) == -1 &&
                seen.size() == 1)
                std::get<1>(seen.back()) += unit->bytes.size();
            else
                seen.emplace_back(unit->offset, unit->bytes.size(), unit->type());
            joined.insert(joined.end(), unit->bytes.begin(), unit->bytes.end());
        }
        EXPECT_EQ(joined, stream) << chunk;
        EXPECT_EQ(seen, expected) << chunk;
        EXPECT_TRUE(reader.sawStartCode());
    }
}

TEST(AccessUnitReader, GroupsViewsOfEveryStreamKind) {
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<Shape> expected;
    };
    const Bytes sps = other(0x67), pps = other(0x68), sei = other(0x06), subsetSps = other(0x6F);
    const Bytes aud = nalBytes(0x09, {0xF0}), mvcDelimiter = nalBytes(0x18, {0xF0});
    const std::vector<Case> cases{
        {"interleaved without delimiters",
         concat({sps, pps, slice(0x65, true), subsetSps, pps, extension(true, true), slice(0x01, true),
                 extension(true, false), sei, slice(0x01, true), sei, extension(true, false)}),
         {{{7, 8, 5, 15, 8, 20}, true}, {{1, 20}, false}, {{6, 1, 6, 20}, false}}},
        {"parameter sets of both views ahead, prefix NAL units, three slices per picture",
         concat({sps, subsetSps, pps, pps, prefixNal(true), slice(0x65, true), prefixNal(true),
                 slice(0x65, false), extension(true, true), extension(false, true), prefixNal(false),
                 slice(0x01, true), extension(true, false)}),
         {{{7, 15, 8, 8, 14, 5, 14, 5, 20, 20}, true}, {{14, 1, 20}, false}}},
        {"an anchor that is not IDR",
         concat({prefixNal(true), slice(0x01, true), extension(true, true)}),
         {{{14, 1, 20}, true}}},
        {"base view with delimiters",
         concat({aud, sps, pps, slice(0x65, true), aud, slice(0x01, true), slice(0x01, false)}),
         {{{9, 7, 8, 5}, true}, {{9, 1, 1}, false}}},
        {"base view without delimiters",
         concat({sps, pps, sei, slice(0x65, true), sei, slice(0x01, true)}),
         {{{7, 8, 6, 5}, true}, {{6, 1}, false}}},
        {"dependent view with delimiters",
         concat({mvcDelimiter, subsetSps, pps, extension(true, true), mvcDelimiter, extension(true, false)}),
         {{{24, 15, 8, 20}, true}, {{24, 20}, false}}},
        {"dependent view without delimiters",
         concat({subsetSps, extension(true, true), extension(false, true), extension(true, false)}),
         {{{15, 20, 20}, true}, {{20}, false}}},
        {"both delimiters in one stream, end of stream last",
         concat({aud, slice(0x65, true), mvcDelimiter, extension(true, true), aud, slice(0x01, true),
                 mvcDelimiter, extension(true, false), other(0x0B)}),
         {{{9, 5, 24, 20}, true}, {{9, 1, 24, 20, 11}, false}}},
    };
    for (const auto& c : cases) {
        auto shapes = shapesOf(c.stream);
        ASSERT_EQ(shapes.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < shapes.size(); ++i) {
            EXPECT_EQ(shapes[i].types, c.expected[i].types) << c.name << ", unit " << i;
            EXPECT_EQ(shapes[i].isRandomAccess, c.expected[i].isRandomAccess) << c.name << ", unit " << i;
        }
    }
}

TEST(SplitViews, KeepsEachViewsUnitsInOrder) {
    struct Case {
        std::vector<int> types;
        std::vector<int> base;
        std::vector<int> dependent;
    };
    const std::vector<Case> cases{
        // The interleaver's output: the dependent part starts at the subset SPS after the base slice.
        {{7, 8, 5, 15, 8, 20}, {7, 8, 5}, {15, 8, 20}},
        // What follows the last base slice leads the dependent view component.
        {{1, 6, 20}, {1}, {6, 20}},
        {{7, 8, 5, 5, 8, 20}, {7, 8, 5, 5}, {8, 20}},
        // Subset SPS sent ahead of the base slices goes to the dependent view.
        {{7, 15, 8, 8, 14, 5, 20}, {7, 8, 8, 14, 5}, {15, 20}},
        {{9, 1, 6, 24, 14, 20, 11}, {9, 1, 6}, {24, 14, 20, 11}},
        {{24, 20}, {}, {24, 20}},
        {{9, 1}, {9, 1}, {}},
    };
    for (const auto& c : cases) {
        AccessUnit unit;
        for (int type : c.types)
            unit.nals.push_back({0, 0, type});
        ViewSplit split = splitViews(unit);
        std::vector<int> base, dependent;
        for (const auto& record : split.base)
            base.push_back(record.type);
        for (const auto& record : split.dependent)
            dependent.push_back(record.type);
        EXPECT_EQ(base, c.base);
        EXPECT_EQ(dependent, c.dependent);
    }
}
