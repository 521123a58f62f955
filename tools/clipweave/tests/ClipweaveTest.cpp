// clipweave on real segments: x265 with B-frames in stereo-style hvc1 entries (lhvC, vexu), joined
// without re-encoding; plus the argument and error behaviour users see.
#include "TestMedia.h"

#include <gtest/gtest.h>

using namespace media;
using namespace media::testing;
using duoscope::test::operator+;

TEST(ClipweaveTest, JoinsSegmentsWithBFramesContinuously) {
    ScratchDir dir("clipweave-join");
    auto segments = standardSegments();
    std::string out = dir.file("joined.mov");
    // Options may come first; the output is replaced if it exists.
    writeFile(out, {1, 2, 3});
    auto r = runTool("clipweave", {"-o", out, segments[0], segments[1], segments[2]});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("clipweave: 3 segments → " + out), std::string::npos) << r.output;
    for (int k = 0; k < 3; ++k)
        EXPECT_NE(r.output.find("  Segment " + std::to_string(k) + ": 24 frames, duration 1.00s"),
                  std::string::npos)
            << r.output;
    EXPECT_NE(r.output.find("clipweave: 72 frames, 3 segments, 0."), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("WARNING"), std::string::npos) << r.output;
    expectJoined(out, segments);
    MovieReader joined(out);
    EXPECT_EQ(joined.tracks().size(), 1u);
    // 24 frames of 1001/24000 s: the second segment starts at exactly 1.001 s, the third at 2.002 s.
    const TrackInfo& t = joined.tracks()[0];
    int64_t firstOfSecond = INT64_MAX;
    for (size_t i = 24; i < 48; ++i)
        firstOfSecond = std::min(firstOfSecond, t.samples[i].presentationTime + t.presentationShift);
    EXPECT_EQ(firstOfSecond * 1000, int64_t(t.timescale) * 1001);
}

TEST(ClipweaveTest, SkipsSegmentWithoutVideoAndMixesTimescales) {
    ScratchDir dir("clipweave-skip");
    auto segments = standardSegments();
    // A segment straight from ffmpeg at timescale 90000 (no lhvC): times must stay exact beside 24000.
    std::string ninety = cachedMedia("ts90000.mov", [](const std::string& path) {
        auto r =
            run(duoscope::test::words("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=24000/1001 "
                                      "-frames:v 12 -c:v libx265 -x265-params log-level=error:bframes=2 "
                                      "-tag:v hvc1 -video_track_timescale 90000 -f mov") +
                std::vector<std::string>{path});
        if (r.status != 0) throw std::runtime_error(r.output);
    });
    std::string out = dir.file("joined.mov");
    auto r = runTool("clipweave", {segments[0], audioMovie(0.5), ninety, "--output", out});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("WARNING: No video track in " + audioMovie(0.5) + ", skipping"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("  Segment 1: 12 frames"), std::string::npos) << r.output;
    // Its sample entry is not the first segment's: its pictures need parameter sets the output lacks.
    EXPECT_NE(r.output.find("WARNING: " + ninety + " has a different sample description"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("clipweave: 36 frames, 2 segments, "), std::string::npos) << r.output;
    expectJoined(out, {segments[0], ninety});
}

TEST(ClipweaveTest, ArgumentsAndBadInputs) {
    ScratchDir dir("clipweave-bad");
    auto segments = standardSegments();
    auto bytes = readFile(segments[1]);
    std::string truncated = dir.file("truncated.mov");
    writeFile(truncated, {bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() * 2 / 3)});
    std::string text = dir.file("text.mov");
    writeFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
    std::string fragmented = cachedMedia("fragmented.mp4", [&](const std::string& path) {
        auto r = run({"ffmpeg", "-v", "error", "-y", "-i", segments[0], "-c", "copy", "-movflags",
                      "frag_keyframe+empty_moov", "-f", "mp4", path});
        if (r.status != 0) throw std::runtime_error(r.output);
    });
    std::string out = dir.file("out.mov");

    auto help = runTool("clipweave", {segments[0], "--help", "-o", out});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output, "Usage: clipweave segment0.mov segment1.mov ... -o output.mov\n"
                           "Concatenates MV-HEVC segments preserving stereo metadata.\n");
    EXPECT_FALSE(std::filesystem::exists(out));

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{segments[0], "-o"}, "ERROR: -o requires an argument"},
        {{"-o", out}, "ERROR: No input files specified"},
        {{segments[0]}, "ERROR: No output file specified (-o)"},
        {{audioMovie(0.5), segments[0], "-o", out}, "ERROR: No video track in first segment"},
        {{segments[0], truncated, "-o", out}, "ERROR: Cannot create reader for " + truncated + ": "},
        {{segments[0], text, "-o", out}, "ERROR: Cannot create reader for " + text + ": "},
        {{segments[0], fragmented, "-o", out}, "fragmented"},
        {{"-missing.mov", "-o", out}, "ERROR: Cannot create reader for -missing.mov"},
        {{segments[0], "-o", dir.file("no/such/dir/out.mov")}, "ERROR: Cannot create writer: "},
        {{segments[0], "-o", segments[0]}, "ERROR: Output must not be one of the inputs"},
    };
    for (const auto& c : cases) {
        auto r = runTool("clipweave", c.args);
        EXPECT_EQ(r.status, 1) << c.message << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        // One failure, one ERROR line.
        size_t errors = 0;
        for (size_t p = r.output.find("ERROR"); p != std::string::npos; p = r.output.find("ERROR", p + 1))
            ++errors;
        EXPECT_EQ(errors, 1u) << r.output;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
    }
    EXPECT_TRUE(std::filesystem::exists(segments[0]));
}
