// The tsmuxer program as the engine runs it: listing, meta-file demux, error
// lines and exit statuses, on our own MVC media and on files made by ffmpeg
// and mkvmerge.
#include "AnnexB.h"
#include "TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace tsmuxer::test {
namespace {

std::vector<std::string> elementaryFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        auto extension = entry.path().extension();
        if (extension == ".264" || extension == ".mvc") names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(TsmuxerProgram, ListsAndDemuxesAsTheEngineAsks) {
    std::string folder = scratchFolder("program_ok");
    auto units = loadStereo("mvc_s2_cabac_ibp_352x288.264");
    std::string m2ts = folder + "/My \"3D\", movie.m2ts";
    TsOptions lossy;
    lossy.dropPacket = 40;
    writeFile(m2ts, muxTransportStream(units, {}));
    writeFile(folder + "/lossy.ts", muxTransportStream(units, lossy));

    auto listing = runTsmuxer({m2ts});
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_NE(listing.out.find("Track ID:    4114\nStream type: MVC\n"), std::string::npos) << listing.out;

    // Separate tracks (by PID), with the engine's first line and a quote in the path.
    writeFile(folder + "/demux.meta",
              metaText(kSeparateTracksOptions, m2ts,
                       {{"V_MPEG4/ISO/AVC", "track=4113"}, {"V_MPEG4/ISO/MVC", "track=4114"}}));
    auto run = runTsmuxer({folder + "/demux.meta", folder + "/work"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_TRUE(readFile(folder + "/work/My \"3D\", movie.264") == viewStream(units, false, true));
    EXPECT_TRUE(readFile(folder + "/work/My \"3D\", movie.mvc") == viewStream(units, true, true));

    // Matroska sub-tracks and cuts through the program: KitTest.

    // A lost packet: one warning line, the demux still succeeds.
    writeFile(folder + "/lossy.meta",
              metaText(kSeparateTracksOptions, folder + "/lossy.ts", {{"V_MPEG4/ISO/AVC", "track=4113"}}));
    run = runTsmuxer({folder + "/lossy.meta", folder + "/work"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.rfind("WARNING: continuity error on track 4113 (PID 0x1011) at byte offset ", 0), 0u)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

TEST(TsmuxerProgram, FailuresAreOneErrorLineNonZeroExitAndNoOutput) {
    std::string folder = scratchFolder("program_errors");
    auto units = loadStereo("MVCDS-4.264");
    Bytes ts = muxTransportStream(units, {});
    writeFile(folder + "/good.m2ts", ts);
    writeFile(folder + "/cut.m2ts", Bytes(ts.begin(), ts.end() - 77));
    std::mt19937 random(3);
    Bytes noise(300000);
    for (auto& byte : noise)
        byte = static_cast<uint8_t>(random());
    writeFile(folder + "/noise.m2ts", noise);
    MkvOptions flat;
    flat.withDependent = false;
    writeFile(folder + "/flat.mkv", makeMatroska(units, flat));

    struct Case {
        std::string source;
        std::string avcTrack, mvcTrack;
        std::string message;
    };
    const Case cases[] = {
        {folder + "/missing.m2ts", "4113", "4114",
         "ERROR: source file not found: " + folder + "/missing.m2ts\n"},
        {folder + "/noise.m2ts", "4113", "4114",
         "ERROR: unknown file format: neither an MPEG transport stream nor a Matroska file\n"},
        {folder + "/good.m2ts", "4113", "4115",
         "ERROR: track 4115 not found in the transport stream; its tracks are 4113 (H.264), 4114 (MVC), 4352 "
         "(AC3)\n"},
        {folder + "/flat.mkv", "1", "1",
         "ERROR: track 1 carries no MVC dependent view (no NAL units of type 20 in its frames)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::string work = folder + "/work";
        fs::remove_all(work);
        writeFile(folder + "/demux.meta", metaText(kSeparateTracksOptions, c.source,
                                                   {{"V_MPEG4/ISO/AVC", "track=" + c.avcTrack},
                                                    {"V_MPEG4/ISO/MVC", "track=" + c.mvcTrack}}));
        auto run = runTsmuxer({folder + "/demux.meta", work});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.message);
        EXPECT_TRUE(elementaryFiles(work).empty());
    }
    // Cut inside its last packet or at the packet boundary before it, a file
    // gives the same streams; the partial packet is named in a warning.
    writeFile(folder + "/boundary.m2ts", Bytes(ts.begin(), ts.end() - 192));
    std::vector<std::string> streams;
    for (const char* name : {"cut.m2ts", "boundary.m2ts"}) {
        std::string work = folder + "/work_" + name;
        writeFile(folder + "/demux.meta",
                  metaText(kSeparateTracksOptions, folder + "/" + name,
                           {{"V_MPEG4/ISO/AVC", "track=4113"}, {"V_MPEG4/ISO/MVC", "track=4114"}}));
        auto cut = runTsmuxer({folder + "/demux.meta", work});
        EXPECT_EQ(cut.exitCode, 0) << name << ": " << cut.err;
        std::string joined;
        auto files = elementaryFiles(work);
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
            for (auto byte : readFile(work + "/" + file))
                joined.push_back(static_cast<char>(byte));
        streams.push_back(joined);
        if (std::string(name) == "cut.m2ts")
            EXPECT_EQ(cut.err, "WARNING: truncated transport stream: the last packet at byte offset " +
                                   std::to_string(ts.size() - 192) +
                                   " has only 115 of 192 bytes; it was left out\n");
    }
    EXPECT_FALSE(streams[0].empty());
    EXPECT_EQ(streams[0], streams[1]);

    auto run = runTsmuxer({folder + "/noise.m2ts"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ERROR: unknown file format: neither an MPEG transport stream nor a Matroska file\n");
    run = runTsmuxer({folder + "/absent.meta", folder + "/work"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ERROR: cannot read meta file " + folder + "/absent.meta\n");
}

// NAL units without delimiters, whatever their start codes.
std::vector<Bytes> payloadNals(const Bytes& stream) {
    std::vector<Bytes> nals;
    for (auto& nal : splitAnnexB(stream))
        if (nalType(nal) != h264nal::accessUnitDelimiter) nals.push_back(std::move(nal));
    return nals;
}

TEST(TsmuxerProgram, ReadsFilesMadeByFfmpegAndMkvmerge) {
    std::string folder = scratchFolder("program_real");
    std::string clip = folder + "/clip.ts", h264 = folder + "/clip.264";
    auto encode = runProgram("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
                                        "-t", "3", "-c:v", "libx264", "-bf", "3", "-g", "25", clip});
    ASSERT_EQ(encode.exitCode, 0) << encode.err;
    auto extract = runProgram("ffmpeg", {"-v", "error", "-i", clip, "-c", "copy", "-f", "h264", h264});
    ASSERT_EQ(extract.exitCode, 0) << extract.err;
    struct Made {
        std::string file;
        std::vector<std::string> arguments;
        std::string track;
    };
    const Made made[] = {
        {"clip.ts", {"true"}, "256"},
        {"bd.m2ts",
         {"ffmpeg", "-v", "error", "-i", clip, "-f", "lavfi", "-i", "sine=d=3", "-c:v", "copy", "-c:a", "ac3",
          "-mpegts_m2ts_mode", "1", folder + "/bd.m2ts"},
         "4113"},
        {"ffmpeg.mkv", {"ffmpeg", "-v", "error", "-i", clip, "-c", "copy", folder + "/ffmpeg.mkv"}, "1"},
        {"mkvmerge.mkv", {"mkvmerge", "-q", "-o", folder + "/mkvmerge.mkv", h264}, "1"},
    };
    const auto reference = payloadNals(readFile(h264));
    for (const auto& m : made) {
        SCOPED_TRACE(m.file);
        auto make = runProgram(m.arguments[0], {m.arguments.begin() + 1, m.arguments.end()});
        ASSERT_EQ(make.exitCode, 0) << make.err;
        auto listing = runTsmuxer({folder + "/" + m.file});
        EXPECT_EQ(listing.exitCode, 0);
        EXPECT_NE(listing.out.find("Track ID:    " + m.track + "\nStream type: H.264\n"), std::string::npos)
            << listing.out;
        EXPECT_EQ(listing.out.find("subTrack"), std::string::npos);
        writeFile(folder + "/demux.meta", metaText("MUXOPT --demux", folder + "/" + m.file,
                                                   {{"V_MPEG4/ISO/AVC", "track=" + m.track}}));
        auto run = runTsmuxer({folder + "/demux.meta", folder + "/out"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        Bytes out = readFile(folder + "/out/" + fs::path(m.file).stem().string() + ".264");
        EXPECT_EQ(out.size() > 6 ? std::vector<uint8_t>(out.begin(), out.begin() + 6) : Bytes{},
                  (Bytes{0, 0, 0, 1, 0x09, 0xF0}));
        auto nals = payloadNals(out);
        EXPECT_EQ(nals.size(), reference.size());
        EXPECT_TRUE(nals == reference);
    }
}

} // namespace
} // namespace tsmuxer::test
