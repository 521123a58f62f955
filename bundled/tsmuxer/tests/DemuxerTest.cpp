// The demuxer library on two-view MVC reference streams wrapped in our own
// transport streams and Matroska files, plus the meta-file parser.
#include "Demuxer.h"
#include "AnnexB.h"
#include "TestMedia.h"

#include <gtest/gtest.h>

#include <random>

namespace tsmuxer::test {
namespace {

const char* const kStreams[] = {
    "mvc_s2_cabac_ibp_352x288.264",              // B-frames, three PPS
    "mvc_s4_cabac_idr8_slices_ivf0_320x240.264", // 8 slices per picture, a prefix NAL before each
    "mvc_s9_s2_with_aud_eos_352x288.264",        // AUDs and end of sequence in the source
    "MVCDS-4.264",                               // conformance stream, view_id 2
};

struct Demuxed {
    Bytes base, dependent;
    std::vector<ViewStats> stats;
    std::vector<std::string> warnings;
};

Demuxed demuxBytes(const Bytes& input, uint32_t baseTrack, uint32_t dependentTrack,
                   std::optional<int64_t> cutEnd = std::nullopt) {
    auto source = ByteSource::fromMemory(input.data(), input.size());
    MemorySink base, dependent;
    Demuxed result;
    DemuxOptions options;
    options.cutEndNanoseconds = cutEnd;
    options.onWarning = [&](const std::string& text) { result.warnings.push_back(text); };
    result.stats = demux(
        *source, {{View::base, baseTrack, &base}, {View::dependent, dependentTrack, &dependent}}, options);
    result.base = std::move(base.bytes);
    result.dependent = std::move(dependent.bytes);
    return result;
}

std::string demuxError(const Bytes& input, const std::vector<uint32_t>& tracks) {
    auto source = ByteSource::fromMemory(input.data(), input.size());
    std::vector<MemorySink> sinks(tracks.size());
    std::vector<TrackRequest> requests;
    for (size_t i = 0; i < tracks.size(); ++i)
        requests.push_back({i == 0 ? View::base : View::dependent, tracks[i], &sinks[i]});
    try {
        demux(*source, requests, {});
    } catch (const DemuxError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(TsmuxerTransportStream, BothViewsComeOutAsMuxedWithEveryUnitOpenedByItsDelimiter) {
    for (const char* name : kStreams) {
        auto units = loadStereo(name);
        Bytes expectedBase = viewStream(units, false, true),
              expectedDependent = viewStream(units, true, true);
        for (unsigned packetSize : {188u, 192u}) {
            for (bool withDelimiters : {true, false}) {
                SCOPED_TRACE(std::string(name) + " packets " + std::to_string(packetSize) +
                             (withDelimiters ? " with" : " without") + " delimiters");
                TsOptions options;
                options.packetSize = packetSize;
                options.withDelimiters = withDelimiters;
                auto out = demuxBytes(muxTransportStream(units, options), 4113, 4114);
                EXPECT_TRUE(out.base == expectedBase);
                EXPECT_TRUE(out.dependent == expectedDependent);
                EXPECT_EQ(out.stats[0].accessUnits, units.size());
                EXPECT_EQ(out.stats[1].accessUnits, units.size());
                EXPECT_EQ(out.stats[0].insertedDelimiters, withDelimiters ? 0u : units.size());
                EXPECT_TRUE(out.warnings.empty());
            }
        }
    }
}

TEST(TsmuxerTransportStream, SeveralAccessUnitsInOnePesAreSplitAtTheirFirstSlice) {
    for (const char* name : kStreams) {
        SCOPED_TRACE(name);
        auto units = loadStereo(name);
        TsOptions options;
        options.unitsPerPes = 3;
        options.withDelimiters = false;
        auto out = demuxBytes(muxTransportStream(units, options), 4113, 4114);
        EXPECT_TRUE(out.base == viewStream(units, false, true));
        EXPECT_TRUE(out.dependent == viewStream(units, true, true));
    }
}

TEST(TsmuxerTransportStream, LostSyncIsReportedAndFoundAgain) {
    // A file cut inside a packet, and a run of stray bytes in the middle.
    auto units = loadStereo("MVCRP_3.264");
    TsOptions options;
    options.junkAfterPacket = 300;
    auto out = demuxBytes(muxTransportStream(units, options), 4113, 4114);
    Bytes ts = muxTransportStream(units, {});
    auto clipped = demuxBytes(Bytes(ts.begin() + 1000, ts.end()), 4113, 4114);
    EXPECT_EQ(clipped.warnings, std::vector<std::string>{"skipped 152 bytes before the first packet"});
    EXPECT_GT(clipped.stats[0].accessUnits, units.size() - 2);
    // The stray bytes are all 0x47, so the first of them look like a packet.
    ASSERT_EQ(out.warnings.size(), 1u);
    EXPECT_EQ(out.warnings[0], "lost packet sync at byte offset " + std::to_string(301 * 192) +
                                   "; resumed at byte offset " + std::to_string(301 * 192 + 77));
    EXPECT_TRUE(out.base == viewStream(units, false, true));
    EXPECT_TRUE(out.dependent == viewStream(units, true, true));
}

TEST(TsmuxerTransportStream, LostPacketIsReportedAndTheRestSurvives) {
    auto units = loadStereo("mvc_s2_cabac_ibp_352x288.264");
    TsOptions options;
    options.dropPacket = 5; // inside the first (intra) access unit
    auto out = demuxBytes(muxTransportStream(units, options), 4113, 4114);
    ASSERT_EQ(out.warnings.size(), 1u);
    EXPECT_NE(out.warnings[0].find("continuity error on track 4113"), std::string::npos) << out.warnings[0];
    EXPECT_NE(out.warnings[0].find("byte offset"), std::string::npos);
    EXPECT_TRUE(out.dependent == viewStream(units, true, true));
    EXPECT_EQ(out.stats[0].accessUnits, units.size());
    Bytes tail = viewStream({units.begin() + 1, units.end()}, false, true);
    ASSERT_LT(out.base.size(), viewStream(units, false, true).size());
    EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), out.base.rbegin()));
}

// Index one past the last access unit (decode order) presented before the cut.
size_t unitsBeforeCut(const std::vector<StereoAccessUnit>& units, int64_t cutTicks) {
    size_t count = 0;
    for (size_t i = 0; i < units.size(); ++i)
        if (units[i].pts - units.front().pts < cutTicks) count = i + 1;
    return count;
}

TEST(TsmuxerDemuxer, CutKeepsTheDecodeOrderPrefixUpToTheLastUnitPresentedBeforeTheLimit) {
    auto units = loadStereo("MVCRP_3.264");
    ASSERT_EQ(units.size(), 250u);
    const Bytes ts = muxTransportStream(units, {});
    const Bytes mkv = makeMatroska(units, {});
    // 3754 ticks per frame: 2 s is 47.9 frames, 1.5 s lands between the B pictures of a group.
    for (int64_t cutTicks : {180000, 135000, 3754 * 12 + 2000, 1, 90000 * 60}) {
        size_t kept = unitsBeforeCut(units, cutTicks);
        std::vector<StereoAccessUnit> prefix(units.begin(),
                                             units.begin() + static_cast<std::ptrdiff_t>(kept));
        for (const Bytes* input : {&ts, &mkv}) {
            SCOPED_TRACE("cut at " + std::to_string(cutTicks) + " ticks, " + (input == &ts ? "TS" : "MKV"));
            auto out = input == &ts ? demuxBytes(*input, 4113, 4114, cutTicks * 100000 / 9)
                                    : demuxBytes(*input, 1, 1, cutTicks * 100000 / 9);
            EXPECT_EQ(out.stats[0].accessUnits, kept);
            EXPECT_EQ(out.stats[1].accessUnits, kept);
            EXPECT_TRUE(out.base == viewStream(prefix, false, true));
            EXPECT_TRUE(out.dependent == viewStream(prefix, true, true));
        }
    }
}

// Truncated files, noise and missing tracks are checked with their exact lines
// through the program (TsmuxerProgram); what only the library sees is here.
TEST(TsmuxerTransportStream, AnAudioTrackIsNoVideo) {
    EXPECT_EQ(demuxError(muxTransportStream(loadStereo("MVCDS-4.264"), {}), {4352}),
              "track 4352 is AC3, not H.264/MVC video");
}

TEST(TsmuxerMatroska, BothViewsComeOutOfOneTrack) {
    struct Variant {
        const char* label;
        MkvOptions options;
    };
    MkvOptions inBand, configOnly, groups, unknownSize, xiph, ebml;
    xiph.lacing = 1;
    ebml.lacing = 3;
    configOnly.parametersInBand = false;
    configOnly.mvcConfigBox = true;
    groups.blockGroups = true;
    unknownSize.unknownSizeClusters = true;
    const Variant variants[] = {{"in-band parameter sets", inBand},
                                {"parameter sets only in avcC/mvcC", configOnly},
                                {"BlockGroups", groups},
                                {"unknown-size Clusters", unknownSize},
                                {"Xiph lacing", xiph},
                                {"EBML lacing", ebml}};
    for (const char* name : kStreams) {
        auto units = loadStereo(name);
        for (const auto& variant : variants) {
            SCOPED_TRACE(std::string(name) + ", " + variant.label);
            Bytes mkv = makeMatroska(units, variant.options);
            mkv.insert(mkv.end(), 100, 0); // padding after the last Cluster
            auto out = demuxBytes(mkv, 1, 1);
            EXPECT_TRUE(out.base == viewStream(units, false, true));
            EXPECT_TRUE(out.dependent == viewStream(units, true, true));
            EXPECT_EQ(out.stats[0].accessUnits, units.size());
            EXPECT_EQ(out.warnings, std::vector<std::string>{"unreadable data at byte offset " +
                                                             std::to_string(mkv.size() - 100) +
                                                             " after the last Cluster; stopped there"});
        }
    }
}

TEST(TsmuxerMatroska, MissingDependentViewIsAnError) {
    MkvOptions options;
    options.withDependent = false;
    auto units = loadStereo("MVCRP_2.264");
    EXPECT_EQ(
        demuxError(makeMatroska(units, options), {1, 1}),
        "track 1 carries no MVC dependent view (no NAL units of type 20 in its frames); checked the first "
        "64 frames");
    EXPECT_EQ(demuxError(makeMatroska(units, {}), {1, 2}), "track 2 is AC3 (A_AC3), not H.264/MVC video");
    EXPECT_EQ(demuxError(makeMatroska(units, {}), {3}),
              "track 3 not found in the Matroska file; its tracks are 1 (H.264), 2 (AC3)");
}

TEST(TsmuxerListing, NamesTracksTheWayTheEngineReadsThem) {
    auto units = loadStereo("MVCDS-4.264");
    auto listingOf = [](const Bytes& input) {
        auto source = ByteSource::fromMemory(input.data(), input.size());
        return formatListing(listTracks(*source));
    };
    EXPECT_EQ(listingOf(makeMatroska(units, {})), "Track ID:    1\n"
                                                  "Stream type: H.264\n"
                                                  "Stream ID:   V_MPEG4/ISO/AVC\n"
                                                  "Stream info: 320x240, base view\n"
                                                  "subTrack: 2\n\n"
                                                  "Track ID:    1\n"
                                                  "Stream type: MVC\n"
                                                  "Stream ID:   V_MPEG4/ISO/MVC\n"
                                                  "Stream info: MVC dependent view\n"
                                                  "subTrack: 1\n\n"
                                                  "Track ID:    2\n"
                                                  "Stream type: AC3\n"
                                                  "Stream ID:   A_AC3\n\n");
    MkvOptions flat;
    flat.withDependent = false;
    EXPECT_EQ(listingOf(makeMatroska(units, flat)).find("subTrack"), std::string::npos);
    MkvOptions configOnly;
    configOnly.mvcConfigBox = true;
    EXPECT_NE(listingOf(makeMatroska(units, configOnly)).find("Stream type: MVC\n"), std::string::npos);
    std::string ts = listingOf(muxTransportStream(units, {}));
    EXPECT_NE(ts.find("Track ID:    4113\nStream type: H.264\n"), std::string::npos) << ts;
    EXPECT_NE(ts.find("Track ID:    4114\nStream type: MVC\n"), std::string::npos) << ts;
    EXPECT_EQ(ts.find("subTrack"), std::string::npos);
}

TEST(TsmuxerAnnexBSplitter, FindsAccessUnitsWhateverThePieceSizes) {
    // s4 has eight slices per picture, each dependent one preceded by a prefix
    // NAL unit: prefixes after a slice open the next access unit only when the
    // slice after them opens a picture.
    for (const char* name : {"mvc_s4_cabac_idr8_slices_ivf0_320x240.264", "mvc_s2_cabac_ibp_352x288.264"}) {
        auto units = loadStereo(name);
        for (View view : {View::base, View::dependent}) {
            bool isDependent = view == View::dependent;
            Bytes input = viewStream(units, isDependent, false),
                  expected = viewStream(units, isDependent, true);
            std::mt19937 random(1);
            for (size_t maxPiece : {size_t{0}, size_t{3}, size_t{700}}) {
                SCOPED_TRACE(std::string(name) + (isDependent ? " dependent" : " base") + " pieces up to " +
                             std::to_string(maxPiece));
                MemorySink sink;
                AccessUnitWriter writer(sink, view, std::nullopt);
                AnnexBSplitter splitter(writer, view);
                for (size_t at = 0; at < input.size();) {
                    size_t piece = maxPiece == 0 ? input.size() : 1 + random() % maxPiece;
                    piece = std::min(piece, input.size() - at);
                    splitter.push(input.data() + at, piece, std::nullopt);
                    at += piece;
                }
                splitter.finish();
                writer.finish();
                EXPECT_EQ(writer.stats().accessUnits, units.size());
                EXPECT_TRUE(sink.bytes == expected);
            }
        }
    }
}

TEST(TsmuxerMetaFile, ReadsTheLinesTheEngineWrites) {
    auto meta = parseMetaFile(
        "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500 --cut-end=60s\n"
        "V_MPEG4/ISO/AVC, \"/w/My \"3D\", movie.m2ts\", track=4113\n"
        "V_MPEG4/ISO/MVC, \"/w/My \"3D\", movie.m2ts\", track=4114\n");
    EXPECT_EQ(meta.cutEndNanoseconds, 60'000'000'000);
    ASSERT_EQ(meta.tracks.size(), 2u);
    EXPECT_EQ(meta.tracks[0].codec, "V_MPEG4/ISO/AVC");
    EXPECT_EQ(meta.tracks[0].path, "/w/My \"3D\", movie.m2ts");
    EXPECT_EQ(meta.tracks[1].track, 4114u);
    EXPECT_FALSE(meta.tracks[1].subTrack);

    meta = parseMetaFile("MUXOPT --demux\r\nV_MPEG4/ISO/AVC, \"a.mkv\", track=1, subTrack=2\r\n"
                         "A_AC3, \"a.mkv\", track=2\r\nV_MPEG4/ISO/MVC, \"a.mkv\", track=1, subTrack=1");
    EXPECT_FALSE(meta.cutEndNanoseconds);
    ASSERT_EQ(meta.tracks.size(), 2u);
    EXPECT_EQ(meta.tracks[0].subTrack, 2u);
    EXPECT_EQ(meta.tracks[1].subTrack, 1u);
    EXPECT_EQ(meta.ignoredLines.size(), 1u);
    EXPECT_EQ(
        parseMetaFile("MUXOPT --demux --cut-end=1500ms\nV_MPEG4/ISO/AVC, \"a\", track=1").cutEndNanoseconds,
        1'500'000'000);

    const std::pair<const char*, const char*> bad[] = {
        {"V_MPEG4/ISO/AVC, \"a\", track=1", "meta file has no MUXOPT line"},
        {"MUXOPT --blu-ray\nV_MPEG4/ISO/AVC, \"a\", track=1",
         "meta file line 1: only demultiplexing is supported (MUXOPT needs --demux)"},
        {"MUXOPT --demux --cut-end=60\nV_MPEG4/ISO/AVC, \"a\", track=1",
         "meta file line 1: cannot read \"--cut-end=60\" (expected --cut-end=<seconds>s or "
         "<milliseconds>ms)"},
        {"MUXOPT --demux\n\nV_MPEG4/ISO/MVC, \"a\", track=1, subTrack=3",
         "meta file line 3: unknown subTrack 3 (1 and 2 exist)"},
        {"MUXOPT --demux\nV_MPEG4/ISO/MVC, \"a\"", "meta file line 2: no track=<n> given"},
        {"MUXOPT --demux\nV_MPEG4/ISO/MVC, a.ts, track=x", "meta file line 2: expected <codec>, \"<file>\", "
                                                           "track=<n>; got: V_MPEG4/ISO/MVC, a.ts, track=x"},
        {"MUXOPT --demux\nA_AC3, \"a\", track=2", "meta file names no H.264/MVC video track"},
    };
    for (const auto& [text, message] : bad) {
        try {
            parseMetaFile(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const DemuxError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
}

} // namespace
} // namespace tsmuxer::test
