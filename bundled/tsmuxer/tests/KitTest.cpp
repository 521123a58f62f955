// tsmuxer on the stereo test media kit: every profile's Blu-ray style
// transport streams and 3D Matroska files give back the kit's base and
// dependent streams byte for byte, whole and cut.
#include "KitTestSupport.h"
#include "TestMedia.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace tsmuxer::test {
namespace {

const std::string kSet = kit::test::setDir("small").string();

struct Source {
    const char* file;
    bool isMatroska;
    const char* base;
    const char* dependent;
};
const Source kSources[] = {
    {"movie.m2ts", false, "base.264", "dependent.mvc"},
    {"movie.ts", false, "base.264", "dependent.mvc"},
    {"movie_lr.mkv", true, "base.264", "dependent.mvc"},
    {"movie_rl.mkv", true, "base_rl.264", "dependent_rl.mvc"},
};

// Runs tsmuxer with the meta file the engine writes for this layout.
void demuxKit(const std::string& sourcePath, bool isMatroska, const std::string& cut,
              const std::string& work) {
    std::string meta = isMatroska
                           ? metaText("MUXOPT --demux" + cut, sourcePath,
                                      {{"V_MPEG4/ISO/AVC", "track=1, subTrack=2"},
                                       {"V_MPEG4/ISO/MVC", "track=1, subTrack=1"}})
                           : metaText(kSeparateTracksOptions + cut, sourcePath,
                                      {{"V_MPEG4/ISO/AVC", "track=4113"}, {"V_MPEG4/ISO/MVC", "track=4114"}});
    fs::remove_all(work);
    fs::create_directories(work);
    writeFile(work + "/demux.meta", meta);
    auto run = runTsmuxer({work + "/demux.meta", work});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
}

TEST(TsmuxerKit, EveryContainerGivesBackTheKitStreamsByteForByte) {
    if (!fs::exists(kSet + "/kit.stamp")) GTEST_SKIP() << "stereo test media kit not built at " << kSet;
    std::string work = scratchFolder("kit_whole");
    for (const auto& profile : kit::test::profiles("small")) {
        for (const auto& source : kSources) {
            SCOPED_TRACE(profile + "/" + source.file);
            std::string folder = kSet + "/" + profile + "/";
            demuxKit(folder + source.file, source.isMatroska, "", work);
            std::string stem = fs::path(source.file).stem().string();
            EXPECT_TRUE(readFile(work + "/" + stem + ".264") == readFile(folder + source.base));
            EXPECT_TRUE(readFile(work + "/" + stem + ".mvc") == readFile(folder + source.dependent));
        }
    }
}

TEST(TsmuxerKit, CutKeepsExactlyTheAccessUnitsBeforeIt) {
    if (!fs::exists(kSet + "/kit.stamp")) GTEST_SKIP() << "stereo test media kit not built at " << kSet;
    std::string work = scratchFolder("kit_cut");
    for (const char* profile : {"cabac_b", "pyramid_8x8"}) {
        auto units = kit::test::accessUnitLines(kSet + "/" + profile);
        ASSERT_FALSE(units.empty());
        // The prefix in decode order that ends with the last unit presented before 1 s.
        size_t kept = 0;
        for (size_t i = 0; i < units.size(); ++i)
            if (units[i].pts - units.front().pts < 90000) kept = i + 1;
        ASSERT_GT(kept, 0u);
        ASSERT_LT(kept, units.size());
        std::string folder = kSet + "/" + profile + "/";
        Bytes base = readFile(folder + "base.264"), dependent = readFile(folder + "dependent.mvc");
        base.resize(units[kept - 1].baseOffset + units[kept - 1].baseSize);
        dependent.resize(units[kept - 1].dependentOffset + units[kept - 1].dependentSize);
        for (const auto& source : {kSources[0], kSources[2]}) {
            SCOPED_TRACE(std::string(profile) + "/" + source.file);
            demuxKit(folder + source.file, source.isMatroska, " --cut-end=1s", work);
            std::string stem = fs::path(source.file).stem().string();
            EXPECT_TRUE(readFile(work + "/" + stem + ".264") == base);
            EXPECT_TRUE(readFile(work + "/" + stem + ".mvc") == dependent);
        }
    }
}

} // namespace
} // namespace tsmuxer::test
