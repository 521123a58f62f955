#include <gtest/gtest.h>

#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;

TEST(DemuxMeta, SingleTrackLinesAndListing) {
    SubTrackLayout defaults =
        parseTrackListing("Network Optix tsMuxeR\nTrack ID:    1\nStream type: H.264\n");
    EXPECT_EQ(defaults, (SubTrackLayout{1, 2, 1, 1}));
    // The meta file's exact lines: DemuxStep below, as the engine writes them.

    auto layout = parseTrackListing(
        "Track ID:    3\n  Stream type: H.264  \nsubTrack: 2\nStream type: MVC\nsubTrack:  1\n"
        "Track ID: 4\nStream type: AC3\nsubTrack: 9\nStream type: MVC\nsubTrack: x\n");
    EXPECT_EQ(layout, (SubTrackLayout{3, 2, 4, 0}));
}

TEST(DemuxMeta, SeparateTracksLines) {
    std::string path = "/films/Say \"3D\".m2ts";
    EXPECT_EQ(separateTracksMeta(path, {}, std::nullopt),
              "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500\n"
              "V_MPEG4/ISO/AVC, \"/films/Say \"3D\".m2ts\", track=4113\n"
              "V_MPEG4/ISO/MVC, \"/films/Say \"3D\".m2ts\", track=4114\n");
    std::vector<DetectedTrack> tracks = {
        {4113, "h264", false, 0}, {4115, "hevc", false, 2}, {4114, "AVC", true, 1}};
    EXPECT_EQ(separateTracksMeta("/a.m2ts", tracks, 30),
              "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500 --cut-end=30s\n"
              "V_MPEG4/ISO/AVC, \"/a.m2ts\", track=4113\n"
              "V_MPEG4/ISO/MVC, \"/a.m2ts\", track=4114\n");
}

TEST(DemuxMeta, DetectedTracksFromFFProbe) {
    // The dependent view comes first in the file and has no size; PIDs become track numbers.
    auto tracks = detectedTracksFromReport(R"({"streams":[
        {"index":0,"codec_type":"video","codec_name":"h264","id":"0x1012"},
        {"index":1,"codec_type":"audio","codec_name":"ac3","id":"0x1100"},
        {"index":2,"codec_type":"video","codec_name":"h264","width":1920,"id":"0x1011"},
        {"index":3,"codec_type":"video","codec_name":"h264","width":1920,"profile":"Stereo High MVC"},
        {"index":4,"codec_type":"video","codec_name":"hevc","width":1920,"id":"7"}]})");
    ASSERT_EQ(tracks.size(), 4u);
    EXPECT_EQ(tracks[0], (DetectedTrack{4113, "h264", false, 2}));
    EXPECT_EQ(tracks[1], (DetectedTrack{7, "hevc", false, 4}));
    EXPECT_EQ(tracks[2], (DetectedTrack{4114, "h264", true, 0}));
    EXPECT_EQ(tracks[3], (DetectedTrack{4, "h264", true, 3}));
    EXPECT_TRUE(detectedTracksFromReport("{}").empty());
    EXPECT_ANY_THROW(detectedTracksFromReport(""));
}

class DemuxStep : public ::testing::Test {
  protected:
    void SetUp() override { setPriorityToolFolder(tools.path()); }
    void TearDown() override { setPriorityToolFolder({}); }

    // A tsmuxer stand-in: lists two sub-tracks, or records the meta file and its
    // arguments and writes the two views, then exits with `status`.
    void fakeTsmuxer(int status) {
        writeScript(tools / "tsmuxer",
                    "#!/bin/bash\n"
                    "if [ $# -eq 1 ]; then printf 'Track ID:    2\\nStream type: H.264\\nsubTrack: 2\\n"
                    "Stream type: MVC\\nsubTrack: 1\\n'; exit 0; fi\n"
                    "cp \"$1\" \"" +
                        (tools / "seen.meta").string() +
                        "\"\n"
                        "printf '%s\\n' \"$@\" > \"" +
                        (tools / "seen.args").string() +
                        "\"\n"
                        "echo x > \"$2/Movie.264\"; echo y > \"$2/Movie.mvc\"\n"
                        "echo 'ERROR: bad track' >&2\n"
                        "exit " +
                        std::to_string(status) + "\n");
    }

    ScratchFolder tools{"demux tools"};
    ScratchFolder work{"demux work"};
};

TEST_F(DemuxStep, SingleTrackWritesTheMetaAndRunsTheDemuxer) {
    fakeTsmuxer(0);
    PipelineEngine engine;
    engine.verboseLogging = true;
    std::vector<std::string> lines;
    engine.onLog = [&](const std::string& line) { lines.push_back(line); };
    engine.demux("/films/Movie.mkv", work.path(), true, 60);
    // The demultiplexer runs in the work folder and sees the source only as a plain-named link.
    EXPECT_EQ(readFile(tools / "seen.meta"), "MUXOPT --demux --cut-end=60s\n"
                                             "V_MPEG4/ISO/AVC, \"source.mkv\", track=2, subTrack=2\n"
                                             "V_MPEG4/ISO/MVC, \"source.mkv\", track=2, subTrack=1\n");
    EXPECT_EQ(readFile(tools / "seen.args"), "demux.meta\n.\n");
    EXPECT_EQ(std::filesystem::read_symlink(work / "source.mkv"), "/films/Movie.mkv");
    EXPECT_TRUE(std::filesystem::exists(work / "Movie.264"));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "MakeMKV MKV detected — using subTrack demux"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AVC: track=2, subTrack=2"), lines.end());
}

TEST_F(DemuxStep, FailuresAndMissingTools) {
    fakeTsmuxer(3);
    PipelineEngine engine;
    try {
        engine.demux("/films/Movie.mkv", work.path(), true, std::nullopt);
        FAIL();
    } catch (const ConversionError& error) {
        EXPECT_STREQ(error.what(), "Demux failed: tsMuxeR exited with code 3: ERROR: bad track");
    }
    std::filesystem::remove(tools / "tsmuxer");
    writeScript(tools / "tsmuxer", "#!/bin/sh\nexit 0\n");
    writeScript(tools / "ffprobe", "#!/bin/sh\necho '{\"streams\":[]}'\n");
    engine.demux("/films/Movie.m2ts", work.path(), false, std::nullopt);
    EXPECT_NE(readFile(work / "demux.meta").find("track=4114"), std::string::npos);
}

TEST(DemuxStepTools, MissingDemuxerIsReported) {
    ScratchFolder empty("no tools");
    setPriorityToolFolder(empty.path(), true);
    PipelineEngine engine;
    try {
        engine.demux("/x.m2ts", empty.path(), false, std::nullopt);
        FAIL();
    } catch (const ConversionError& error) {
        EXPECT_STREQ(
            error.what(),
            "tsmuxer not found: it comes with Duoscope in its tools folder; reinstall the duoscope package");
    }
    setPriorityToolFolder({});
}
