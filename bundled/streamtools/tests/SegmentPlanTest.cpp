// The segment plan: cuts at anchors near even shares in whole rounds of the
// slots, warm-up from the anchor before a cut unless the cut is an IDR, and the
// unit list it is read from.
#include "SegmentPlan.h"
#include "AnnexB.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace streamtools;

namespace {

std::vector<PlannedUnit> unitsWithAnchors(std::size_t count, bool firstIsAnchor,
                                          const std::set<std::size_t>& anchors) {
    std::vector<PlannedUnit> units(count);
    for (std::size_t i = 0; i < count; ++i)
        units[i] = {i * 100, i == 0 ? firstIsAnchor : anchors.contains(i)};
    return units;
}
std::set<std::size_t> every(std::size_t step, std::size_t count) {
    std::set<std::size_t> anchors;
    for (std::size_t i = step; i < count; i += step)
        anchors.insert(i);
    return anchors;
}
// "start-end/warm-up start" per segment.
std::string describe(const std::vector<Segment>& segments) {
    std::string text;
    for (const auto& segment : segments)
        text += std::to_string(segment.start) + "-" + std::to_string(segment.end) + "/" +
                std::to_string(segment.warmUpStart) + " ";
    return text;
}
const auto noIdr = [](std::size_t) { return false; };

TEST(SegmentPlan, CutsAtAnchorsInWholeRoundsOfTheSlots) {
    struct Case {
        const char* name;
        std::vector<PlannedUnit> units;
        PlanSettings settings;
        const char* expected;
    };
    const Case cases[] = {
        {"GOP of 24, two slots: eight segments",
         unitsWithAnchors(240, true, every(24, 240)),
         {2, 0, 24},
         "0-24/0 24-48/0 48-96/24 96-120/72 120-144/96 144-168/120 168-216/144 216-240/192 "},
        {"three slots: nine segments, not ten",
         unitsWithAnchors(250, true, every(12, 250)),
         {3, 0, 24},
         "0-24/0 24-60/12 60-84/48 84-108/72 108-144/96 144-168/132 168-192/156 192-228/180 228-250/216 "},
        {"long film: four per slot at the nearest anchors",
         unitsWithAnchors(1000, true, every(7, 1000)),
         {3, 0, 24},
         "0-84/0 84-168/77 168-252/161 252-336/245 336-420/329 420-497/413 497-581/490 581-665/574 "
         "665-749/658 749-833/742 833-917/826 917-1000/910 "},
        {"fewer anchors than slots", unitsWithAnchors(240, true, {120}), {4, 0}, "0-120/0 120-240/0 "},
        {"too short for two segments", unitsWithAnchors(30, true, {12}), {2, 0, 24}, "0-30/0 "},
        {"short title: no segment shorter than the default shortest",
         unitsWithAnchors(240, true, every(24, 240)),
         {2, 0},
         "0-120/0 120-240/96 "},
        {"very short title: still one segment per slot",
         unitsWithAnchors(48, true, every(12, 48)),
         {2, 0},
         "0-24/0 24-48/12 "},
        {"no anchor after the first unit", unitsWithAnchors(240, true, {}), {2, 0}, "0-240/0 "},
        {"first unit no anchor: the first cut cannot warm up",
         unitsWithAnchors(240, false, every(24, 240)),
         {2, 0, 24},
         "0-24/0 24-48/24 48-96/24 96-120/72 120-144/96 144-168/120 168-216/144 216-240/192 "},
        {"fixed length",
         unitsWithAnchors(240, true, every(24, 240)),
         {2, 48},
         "0-48/0 48-96/24 96-144/72 144-192/120 192-240/168 "},
        {"fixed length: no last segment shorter than half of it",
         unitsWithAnchors(100, true, every(10, 100)),
         {1, 30},
         "0-20/0 20-50/10 50-70/40 70-100/60 "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(planSegments(c.units, c.settings, noIdr)), c.expected) << c.name;
    EXPECT_TRUE(planSegments({}, {2, 0}, noIdr).empty());
}

TEST(SegmentPlan, SegmentsStartingAtAnIdrNeedNoWarmUp) {
    std::set<std::size_t> asked;
    const auto segments =
        planSegments(unitsWithAnchors(240, true, every(24, 240)), {2, 48}, [&](std::size_t index) {
            asked.insert(index);
            return index == 96;
        });
    EXPECT_EQ(describe(segments), "0-48/0 48-96/24 96-144/96 144-192/120 192-240/168 ");
    // The first segment has nothing to warm up from.
    EXPECT_EQ(asked, (std::set<std::size_t>{48, 96, 144, 192}));
}

TEST(SegmentPlan, ReadsTheUnitListAndRejectsBrokenLines) {
    std::istringstream good("0 0 0 1\n1 5000 120 0\n2 9000 300 1\n");
    const auto units = parseUnitList(good);
    ASSERT_EQ(units.size(), 3U);
    EXPECT_EQ(units[1].offset, 5000U);
    EXPECT_FALSE(units[1].isRandomAccess);
    EXPECT_TRUE(units[2].isRandomAccess);
    for (const char* bad : {"0 0 0 1\n1 5000 0\n", "0 0 0 2\n", "0 0 0 1\n2 10 0 0\n", "0 50 0 1\n1 10 0 0\n",
                            "0 0 0 1 extra\n", "0 -5 0 1\n"}) {
        std::istringstream in(bad);
        EXPECT_THROW(parseUnitList(in), StreamError) << bad;
    }
}

} // namespace
