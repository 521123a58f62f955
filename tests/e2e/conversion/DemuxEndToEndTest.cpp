// The engine's demultiplexing step with our real tsmuxer on the kit's
// Blu-ray-style transport streams and 3D Matroska files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "PipelineEngine.h"
#include "TestSupport.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small" / "cabac_b";

// Bytes of base.264 and dependent.mvc that hold every access unit up to the
// last one presented less than `seconds` after the first.
std::pair<size_t, size_t> cutPrefix(int seconds) {
    std::ifstream in(kit / "access_units.txt");
    std::string line;
    long long firstPts = -1;
    size_t baseEnd = 0, dependentEnd = 0;
    while (std::getline(in, line)) {
        if (line.starts_with("#")) continue;
        std::istringstream fields(line);
        long long decode, display, idr, pts, dts, baseOffset, baseSize, dependentOffset, dependentSize;
        std::string slice;
        fields >> decode >> display >> idr >> slice >> pts >> dts >> baseOffset >> baseSize >> dependentOffset >> dependentSize;
        if (firstPts < 0) firstPts = pts;
        if (pts - firstPts < 90000LL * seconds) {
            baseEnd = static_cast<size_t>(baseOffset + baseSize);
            dependentEnd = static_cast<size_t>(dependentOffset + dependentSize);
        }
    }
    return {baseEnd, dependentEnd};
}

} // namespace

TEST(DemuxEndToEnd, KitContainersGiveBackTheViewsByteForByte) {
    struct Case {
        std::string movie;
        bool singleTrack;
        std::string base, dependent;
    };
    for (const auto& c : {Case{"movie.m2ts", false, "base.264", "dependent.mvc"},
                          Case{"movie.ts", false, "base.264", "dependent.mvc"},
                          Case{"movie_lr.mkv", true, "base.264", "dependent.mvc"},
                          Case{"movie_rl.mkv", true, "base_rl.264", "dependent_rl.mvc"}}) {
        ScratchFolder work("demux e2e");
        PipelineEngine engine;
        engine.demux(kit / c.movie, work.path(), c.singleTrack, std::nullopt);
        std::string stem = fs::path(c.movie).stem().string();
        EXPECT_EQ(readFile(work / (stem + ".264")), readFile(kit / c.base)) << c.movie;
        EXPECT_EQ(readFile(work / (stem + ".mvc")), readFile(kit / c.dependent)) << c.movie;
    }
}

TEST(DemuxEndToEnd, DurationLimitKeepsTheAccessUnitsBeforeTheCut) {
    auto [baseEnd, dependentEnd] = cutPrefix(1);
    std::string base = readFile(kit / "base.264"), dependent = readFile(kit / "dependent.mvc");
    ASSERT_LT(baseEnd, base.size());
    for (auto [movie, singleTrack] : {std::pair{"movie.m2ts", false}, std::pair{"movie_lr.mkv", true}}) {
        ScratchFolder work("demux cut");
        PipelineEngine engine;
        engine.demux(kit / movie, work.path(), singleTrack, 1);
        EXPECT_NE(readFile(work / "demux.meta").find("--cut-end=1s\n"), std::string::npos);
        std::string stem = fs::path(movie).stem().string();
        EXPECT_EQ(readFile(work / (stem + ".264")), base.substr(0, baseEnd)) << movie;
        EXPECT_EQ(readFile(work / (stem + ".mvc")), dependent.substr(0, dependentEnd)) << movie;
    }
}

TEST(DemuxEndToEnd, BrokenSourcesFailWithTheDemuxersStatus) {
    ScratchFolder work("demux broken");
    std::string transport = readFile(kit / "movie.m2ts");
    writeFile(work / "random.m2ts", std::string(100000, '\x47'));
    writeFile(work / "notes.txt", "not a movie at all\n");
    for (const char* name : {"random.m2ts", "notes.txt"}) {
        PipelineEngine engine;
        try {
            engine.demux(work / name, work.path(), false, std::nullopt);
            FAIL() << name;
        } catch (const ConversionError& error) {
            EXPECT_EQ(error.kind(), ConversionError::Kind::demuxFailed) << name;
            EXPECT_TRUE(std::string(error.what()).starts_with("Demux failed: tsMuxeR exited with code ")) << error.what();
        }
    }
}
