// Every frame-packed layout through the command line to both targets: real-like
// eyes (the kit's grain, one-eye flashes and cut) packed by ffmpeg into each
// layout, judged by per-eye PSNR against the source eyes squeezed and
// stretched the same way, eye order, the output's shape, rate and every frame.
#include "LayoutConversion.h"

using namespace duoscope::test;
using namespace media::hevc;
namespace fs = std::filesystem;

TEST_F(LayoutConversion, EveryFramePackedLayoutToBothTargets) {
    Set set{kitSmallSet, 320, 176, 48};
    const Layout layouts[] = {
        {"half sbs", "[l]scale=160:176[a];[r]scale=160:176[b];[a][b]hstack", "left_right", "", true, true},
        {"half tb", "[l]scale=320:88[a];[r]scale=320:88[b];[a][b]vstack", "top_bottom", "", true, false},
        {"full sbs right first", "[r][l]hstack", "right_left", "", false, true},
        {"full tb right first", "[r][l]vstack", "bottom_top", "", false, false},
        // Untagged: the anamorphic sample shape alone says half side by side.
        {"anamorphic", "[l]scale=160:176[a];[r]scale=160:176[b];[a][b]hstack", "", "2/1", true, true},
    };
    for (const Layout& layout : layouts) {
        fs::path left, right;
        fs::path source = pack(set, layout, left, right);
        convertToBothTargets(set, source, left, right, layout.name);
    }
}

// The user's word beats the analysis, and a word the frame contradicts stops
// the run at once, naming the size, before anything is written.
TEST_F(LayoutConversion, LayoutChosenOnTheCommandLine) {
    Set set{kitSmallSet, 320, 176, 48};
    Layout untagged{
        "untagged half tb", "[l]scale=320:88[a];[r]scale=320:88[b];[a][b]vstack", "", "", true, false};
    fs::path left, right;
    fs::path source = pack(set, untagged, left, right);
    convertToBothTargets(set, source, left, right, "--layout htb", {"--layout", "htb"});

    storeTarget("SBS 3D (MKV)");
    fs::path output = work / "contradiction";
    auto result = convert(source, output, {"--layout", "tb"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("320x176"), std::string::npos) << result.output;
    EXPECT_TRUE(!fs::exists(output) || entries(output).empty()) << result.output;
}

// The spatial options reach the movie through both MV-HEVC writers the engine
// runs: StereoPacker (a half side-by-side source) and the segment-parallel
// direct route (MVC). The Apple sample's values give its boxes byte for byte.
TEST_F(LayoutConversion, SpatialMetadataThroughEveryMVHEVCRoute) {
    auto entryOf = [](const fs::path& movie) {
        media::MovieReader reader(movie.string());
        return parseVisualSampleEntry(reader.tracks()[size_t(reader.firstTrack("vide"))].sampleEntry);
    };
    const VisualSampleEntry apple =
        entryOf(std::string(DUOSCOPE_TESTDATA_DIR) + "/mvhevc/apple-stereo-spatial-160x120.mp4");
    Set set{kitSmallSet, 320, 176, 48};
    Layout half{"spatial half sbs",
                "[l]scale=160:176[a];[r]scale=160:176[b];[a][b]hstack",
                "left_right",
                "",
                true,
                true};
    fs::path left, right;
    fs::path packed = pack(set, half, left, right);
    storeTarget("Apple Vision Pro (MV-HEVC)");
    struct Case {
        fs::path source, movie;
    };
    for (const Case& c : {Case{packed, "spatial half sbs_MV-HEVC.mov"},
                          Case{set.folder / "cabac_b/movie.m2ts", "movie.mov"}}) {
        fs::path output = work / ("spatial " + c.source.stem().string());
        auto result = convert(c.source, output,
                              {"--hfov", "63.4", "--baseline", "19.24", "--disparity-adjustment", "0.02"});
        ASSERT_EQ(result.status, 0) << result.output;
        const VisualSampleEntry ours = entryOf(output / c.movie);
        for (const char* box : {"vexu", "hfov"}) {
            ASSERT_NE(ours.child(box), nullptr) << c.source << " " << box;
            EXPECT_EQ(*ours.child(box), *apple.child(box)) << c.source << " " << box;
        }
    }
}
