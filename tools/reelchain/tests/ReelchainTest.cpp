// reelchain on real segments (our x265 stereo-style segments) with a real AAC audio file; plus the
// argument and error behaviour users see. The segment-parallel MV-HEVC conversions of the end-to-end
// tests join layerforge's own segments with it.
#include "MovieWriter.h"
#include "TestMedia.h"

#include <gtest/gtest.h>

using namespace media;
using namespace media::testing;

TEST(ReelchainTest, JoinsSegmentsAndCarriesTheAudioTrack) {
    ScratchDir dir("reelchain-join");
    auto segments = standardSegments();
    std::string audio = audioMovie(2.5);
    std::string out = dir.file("joined.mov");
    auto r = runTool("reelchain", {segments[0], "-a", audio, segments[1], "--output", out, segments[2]});
    ASSERT_EQ(r.status, 0) << r.output;
    for (const std::string& line :
         {"reelchain: 3 segments → " + out, "  Audio: " + audio, std::string("  Format: 160x120"),
          std::string("  Extension atoms: [\"hvcC\", \"lhvC\", \"vexu\"]"),
          std::string("  ✅ lhvC (layered HEVC config) present"),
          std::string("  Audio track found: (0.0, 0.0)"),
          std::string("  Segment 0: 24 samples, offset now 1.001s ("),
          std::string("  Segment 1: 24 samples, offset now 2.002s ("),
          std::string("  Segment 2: 24 samples, offset now 3.003s ("), std::string("  Writing audio..."),
          std::string("✅ Done: 72 video samples, "), "Output: " + out + " (0 MB)"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
    expectJoined(out, segments);

    // The audio track is the audio file's, unchanged: same entry, same samples at the same times.
    MovieReader joined(out), source(audio);
    int a = joined.firstTrack("soun"), s = source.firstTrack("soun");
    ASSERT_GE(a, 0);
    const TrackInfo& ja = joined.tracks()[size_t(a)];
    const TrackInfo& sa = source.tracks()[size_t(s)];
    EXPECT_EQ(ja.sampleEntry, sa.sampleEntry);
    EXPECT_EQ(ja.timescale, sa.timescale);
    ASSERT_EQ(ja.samples.size(), sa.samples.size());
    EXPECT_NE(r.output.find("  Audio: " + std::to_string(sa.samples.size()) + " samples written"),
              std::string::npos);
    std::vector<uint8_t> x, y;
    for (size_t i = 0; i < sa.samples.size(); ++i) {
        EXPECT_EQ(ja.samples[i].presentationTime + ja.presentationShift,
                  sa.samples[i].presentationTime + sa.presentationShift);
        joined.readSample(size_t(a), i, x);
        source.readSample(size_t(s), i, y);
        ASSERT_EQ(x, y) << "audio sample " << i;
    }
    // Debian's ffmpeg decodes the sound to the same samples.
    auto pcm = [](const std::string& path) {
        return run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "md5", "-"}).output;
    };
    EXPECT_EQ(pcm(out), pcm(audio));
}

TEST(ReelchainTest, MissingAudioAndSegmentWithoutLhvC) {
    ScratchDir dir("reelchain-noaudio");
    auto segments = standardSegments();
    // A first segment without lhvC: a warning, and the run completes.
    std::string plain = dir.file("plain.mov");
    SegmentOptions o;
    o.withLhvC = false;
    std::string hevc =
        cachedMedia("plain-hevc.mov", [](const std::string& p) { makeHevcMovie(p, HevcOptions{}); });
    makeStereoSegment(hevc, plain, o);
    std::string out = dir.file("joined.mov");
    auto r = runTool("reelchain", {"-o", out, "--audio", dir.file("no-such-audio.m4a"), plain, plain});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("  ⚠️ lhvC NOT present — stereo layer may be missing"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Audio track found"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("ERROR"), std::string::npos) << r.output;
    MovieReader joined(out);
    EXPECT_EQ(joined.tracks().size(), 1u);
    expectJoined(out, {plain, plain});
}

TEST(ReelchainTest, ArgumentsAndBadInputs) {
    ScratchDir dir("reelchain-bad");
    auto segments = standardSegments();
    auto bytes = readFile(segments[1]);
    std::string truncated = dir.file("truncated.mov");
    writeFile(truncated, {bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() / 2)});
    std::string text = dir.file("text.m4a");
    writeFile(text, {'n', 'o', 't', ' ', 's', 'o', 'u', 'n', 'd', '\n'});
    std::string fragmented = cachedMedia("fragmented.mp4", [&](const std::string& path) {
        auto r = run({"ffmpeg", "-v", "error", "-y", "-i", segments[0], "-c", "copy", "-movflags",
                      "frag_keyframe+empty_moov", "-f", "mp4", path});
        if (r.status != 0) throw std::runtime_error(r.output);
    });
    std::string plain = dir.file("plain.mov");
    SegmentOptions noLhvC;
    noLhvC.withLhvC = false;
    makeStereoSegment(
        cachedMedia("plain-hevc.mov", [](const std::string& p) { makeHevcMovie(p, HevcOptions{}); }), plain,
        noLhvC);
    std::string wide = cachedMedia("wide-segment.mov", [](const std::string& p) {
        HevcOptions o;
        o.width = 320;
        o.height = 176;
        makeStereoSegment(cachedMedia("wide-hevc.mov", [&](const std::string& h) { makeHevcMovie(h, o); }), p,
                          SegmentOptions{});
    });
    std::string out = dir.file("out.mov");
    const std::string usage =
        "Usage: reelchain segment1.mov segment2.mov ... --audio audio.m4a --output output.mov";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{segments[0], "--verbose", "-o", out}, "Unknown option: --verbose"},
        {{segments[0], "-o"}, usage},
        {{"-o", out}, usage},
        {{segments[0]}, usage},
        {{audioMovie(0.5), "-o", out}, "ERROR: No video track in first segment"},
        {{segments[0], audioMovie(0.5), "-o", out}, "ERROR: No video track in segment 1: " + audioMovie(0.5)},
        {{segments[0], truncated, "-o", out}, "ERROR: AVAssetReader for segment 1: "},
        {{segments[0], text, "-o", out}, "ERROR: AVAssetReader for segment 1: "},
        {{segments[0], fragmented, "-o", out}, "fragmented movie"},
        {{segments[0], "-a", text, "-o", out}, "ERROR: Cannot read audio file: "},
        {{segments[0], "-o", dir.file("missing/dir/out.mov")}, "ERROR: AVAssetWriter: "},
        {{segments[0], segments[1], "-o", segments[1]}, "ERROR: Output must not be one of the inputs"},
        // Pictures of another size, or a segment without the stereo configuration, cannot follow.
        {{segments[0], wide, "-o", out},
         "ERROR: Segment 1 cannot be joined: its sample description (320x176) "
         "differs from the first segment's (160x120): " +
             wide},
        {{segments[0], plain, "-o", out}, "ERROR: Segment 1 cannot be joined: "},
    };
    for (const auto& c : cases) {
        auto r = runTool("reelchain", c.args);
        EXPECT_EQ(r.status, 1) << c.message << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
    }
    EXPECT_EQ(readFile(segments[1]), bytes);
}

TEST(ReelchainTest, SegmentWithoutSamplesAdvancesByOneTick) {
    ScratchDir dir("reelchain-empty");
    auto segments = standardSegments();
    std::string empty = dir.file("empty.mov");
    {
        MovieReader first(segments[0]);
        const TrackInfo& t = first.tracks()[0];
        MovieWriter w(empty);
        w.addTrack({"vide", t.timescale, t.width, t.height, t.sampleEntry, t.language, std::nullopt});
        w.finish();
    }
    std::string out = dir.file("joined.mov");
    auto r = runTool("reelchain", {segments[0], empty, segments[1], "-o", out});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("  Segment 1: 0 samples, offset now 1.00104166"), std::string::npos) << r.output;
    MovieReader joined(out);
    const TrackInfo& t = joined.tracks()[0];
    ASSERT_EQ(t.samples.size(), 48u);
    int64_t firstShown = INT64_MAX;
    for (size_t i = 24; i < 48; ++i)
        firstShown = std::min(firstShown, t.samples[i].presentationTime + t.presentationShift);
    // 1.001 s + 1/24000 s, exactly.
    EXPECT_EQ(firstShown * 24000, int64_t(t.timescale) * 24025);
}
