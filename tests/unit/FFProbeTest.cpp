// The analysis: which layout ffprobe's report means, on made-up reports and
// on media generated here; its narration is not judged, its decisions are.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FFProbe.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;
using nlohmann::json;

namespace {

struct Analysis {
    std::optional<SourceFileInfo> info;
};

Analysis analyse(const std::string& output, const std::string& path = "/films/Movie.m2ts") {
    Analysis result;
    FFProbe probe;
    result.info = probe.analyse(path, output);
    return result;
}

json video(int index, int width, int height, json extra = json::object()) {
    json stream = {{"index", index}, {"codec_type", "video"}, {"codec_name", "h264"},
                   {"width", width}, {"height", height},      {"r_frame_rate", "24000/1001"}};
    stream.update(extra);
    return stream;
}

std::string report(json streams, json format = json::object()) {
    return json{{"streams", streams}, {"format", format}}.dump();
}

} // namespace

TEST(FFProbeDecision, MVCInTwoStreams) {
    auto a = analyse(report({video(0, 1920, 1080), video(1, 0, 0), {{"index", 2}, {"codec_type", "audio"}}}));
    ASSERT_TRUE(a.info);
    EXPECT_EQ(a.info->stereoMode, Stereo3DMode::mvcSeparateTracks());
    EXPECT_EQ(a.info->mvcTrackIndex, 1);
    EXPECT_TRUE(a.info->hasMVCStream);
    EXPECT_EQ(a.info->resolution, "1920x1080");
}

TEST(FFProbeDecision, MVCSignsAndPrecedence) {
    // A profile naming MVC in any case picks that stream, and beats the tags.
    auto a = analyse(report({video(0, 1920, 1080, {{"tags", {{"stereo_mode", "block_rl"}}}}),
                             video(3, 1920, 1080, {{"profile", "Stereo HIGH MVC"}})}));
    EXPECT_EQ(a.info->stereoMode, Stereo3DMode::mvcSeparateTracks());
    EXPECT_EQ(a.info->mvcTrackIndex, 3);
    auto tag = analyse(report({video(0, 1920, 1080), video(4, 1920, 1080, {{"codec_tag_string", "MVC1"}})}));
    EXPECT_EQ(tag.info->mvcTrackIndex, 4);
    // One stream never triggers the MVC rule, and two full-size h264 streams are no sign.
    auto single = analyse(report({video(0, 1920, 1080, {{"profile", "mvc"}})}));
    EXPECT_EQ(single.info->stereoMode, Stereo3DMode::none());
    EXPECT_FALSE(single.info->hasMVCStream);
    auto twoFull = analyse(report({video(0, 1920, 1080), video(1, 1920, 1080)}));
    EXPECT_EQ(twoFull.info->stereoMode, Stereo3DMode::none());
    // Width 0 alone with a single h264 stream among the videos is not a dependent view.
    auto oneH264 = analyse(report({video(0, 1920, 1080, {{"codec_name", "hevc"}}), video(1, 0, 0)}));
    EXPECT_EQ(oneH264.info->stereoMode, Stereo3DMode::none());
}

TEST(FFProbeDecision, TagsAndSideData) {
    auto blockRL = analyse(
        report({video(0, 1920, 1080,
                      {{"tags", {{"stereo_mode", "block_rl"}}},
                       {"side_data_list", {{{"side_data_type", "Stereo 3D"}, {"type", "side by side"}}}}})}));
    EXPECT_EQ(blockRL.info->stereoMode, Stereo3DMode::mvcSingleTrack(true));
    EXPECT_FALSE(blockRL.info->mvcTrackIndex);
    EXPECT_TRUE(blockRL.info->hasMVCStream);

    auto alternate = analyse(report(
        {video(0, 1920, 1080,
               {{"tags", {{"stereo_mode", "left_right"}}},
                {"side_data_list", {{{"side_data_type", "Stereo 3D"}, {"type", "frame alternate"}}}}})}));
    EXPECT_EQ(alternate.info->stereoMode, Stereo3DMode::frameAlternate(false));

    // Tags count on non-video streams too, measured against the video frame.
    auto onAudio = analyse(
        report({video(0, 3840, 1080), {{"codec_type", "audio"}, {"tags", {{"stereo_mode", "right_left"}}}}}));
    EXPECT_EQ(onAudio.info->stereoMode, Stereo3DMode::sideBySide(true, false));
}

TEST(FFProbeDecision, FramePackingOfASinglePlainStream) {
    FFProbe probe;
    auto tag = [](std::optional<std::string> value) { return [value] { return value; }; };
    EXPECT_EQ(probe.analyse("/a.mkv", report({video(0, 640, 360)}), tag("block_rl"))->stereoMode,
              Stereo3DMode::frameAlternate(true));
    EXPECT_EQ(probe.analyse("/a.mkv", report({video(0, 640, 360)}), tag("block_lr"))->stereoMode,
              Stereo3DMode::frameAlternate(false));
    EXPECT_EQ(probe.analyse("/a.mkv", report({video(0, 640, 360)}), tag(std::nullopt))->stereoMode,
              Stereo3DMode::none());
    // Only asked when nothing else decided, for one H.264 stream.
    bool asked = false;
    auto spy = [&]() -> std::optional<std::string> {
        asked = true;
        return "block_lr";
    };
    probe.analyse("/a.mkv", report({video(0, 3840, 1080, {{"tags", {{"stereo_mode", "left_right"}}}})}), spy);
    probe.analyse("/a.mkv", report({video(0, 640, 360, {{"codec_name", "hevc"}})}), spy);
    probe.analyse("/a.mkv", report({video(0, 640, 360), video(1, 640, 360)}), spy);
    EXPECT_FALSE(asked);
}

TEST(FFProbeDecision, AspectRatioBounds) {
    struct Case {
        int width, height;
        bool sideBySide;
    };
    for (auto c : {Case{3840, 1080, true}, Case{2800, 1000, true}, Case{4000, 1000, true},
                   Case{2799, 1000, false}, Case{4001, 1000, false}, Case{1920, 1080, false}}) {
        auto a = analyse(report({video(0, c.width, c.height)}));
        EXPECT_EQ(a.info->stereoMode == Stereo3DMode::sideBySide(), c.sideBySide)
            << c.width << "x" << c.height;
    }
}

TEST(FFProbeDecision, FrameRatesAndSizes) {
    for (const char* bad : {"30/0", "30", "/30/", "a/b", "30/1/2", "1.5/1", ""}) {
        auto a = analyse(report({video(0, 1280, 720, {{"r_frame_rate", bad}})}));
        EXPECT_EQ(a.info->frameRateNum, 24000) << bad;
        EXPECT_EQ(a.info->frameRateDen, 1001) << bad;
    }
    auto slashes = analyse(report({video(0, 1280, 720, {{"r_frame_rate", "//25//1"}})}));
    EXPECT_EQ(slashes.info->frameRateNum, 25);
    // The last video stream with pictures decides size and rate; a stream of width 0 (an MVC
    // dependent view) keeps the earlier values, and gives its rate only when nothing else did.
    auto a = analyse(report({video(0, 1280, 720, {{"r_frame_rate", "25/1"}}),
                             video(1, 0, 0, {{"codec_name", "hevc"}, {"r_frame_rate", "90000/1"}})}));
    EXPECT_EQ(a.info->resolution, "1280x720");
    EXPECT_EQ(a.info->frameRateNum, 25);
    EXPECT_EQ(analyse(report({video(0, 0, 0, {{"r_frame_rate", "30/1"}})})).info->frameRateNum, 30);
    auto noSize = analyse(report({video(0, 0, 0)}));
    EXPECT_EQ(noSize.info->resolution, "Unknown");
    EXPECT_EQ(noSize.info->videoWidth, 1920);
}

TEST(FFProbeDecision, EmptyAndBrokenOutput) {
    auto empty = analyse("");
    EXPECT_FALSE(empty.info);
    EXPECT_FALSE(analyse("[1,2]").info);
    EXPECT_FALSE(analyse(std::string(600, 'x')).info);

    // The defaults of a report without streams are those of FrameRatesAndSizes; the title is the name.
    auto defaults = analyse("{}", "/films/Some Film.mkv");
    ASSERT_TRUE(defaults.info);
    EXPECT_EQ(defaults.info->title, "Some Film.mkv");
    EXPECT_EQ(defaults.info->stereoMode, Stereo3DMode::none());

    // Undecodable bytes count as an empty object; wrong types fall back to defaults.
    EXPECT_TRUE(analyse("\xff\xfe{").info);
    auto wrongTypes = analyse(
        R"({"format":{"duration":12.5,"tags":{"title":7}},"streams":[{"codec_type":"video","width":"1920"}]})");
    EXPECT_EQ(wrongTypes.info->duration, 0);
    EXPECT_EQ(wrongTypes.info->resolution, "Unknown");
    auto goodFormat = analyse(R"({"format":{"duration":"5400.250000","tags":{"title":"Film"}}})");
    EXPECT_DOUBLE_EQ(goodFormat.info->duration, 5400.25);
    EXPECT_EQ(goodFormat.info->title, "Film");
    EXPECT_EQ(analyse(R"({"format":{"duration":"nan"}})").info->duration, 0);
}

TEST(FFProbeProcess, FakeToolPathsAndMissingTool) {
    ScratchFolder tools("fake ffprobe");
    setPriorityToolFolder(tools.path());
    writeScript(tools / "ffprobe", "#!/bin/sh\necho 'warning text' >&2\nprintf '{}'\nexit 1\n");
    FFProbe probe;
    // A failing exit status with parseable output still gives an analysis.
    EXPECT_TRUE(probe.probe("/nowhere/x.mp4"));

    writeScript(tools / "ffprobe", "#!/bin/sh\nexit 0\n");
    EXPECT_FALSE(probe.probe("/nowhere/x.mp4"));
    setPriorityToolFolder({});
}

class RealFFProbe : public ::testing::Test {
  protected:
    static void make(const std::vector<std::string>& arguments) {
        auto result = runCommand("/usr/bin/ffmpeg", arguments);
        ASSERT_EQ(result.status, 0) << result.output;
    }
    static std::optional<SourceFileInfo> probe(const std::filesystem::path& path) {
        FFProbe probe;
        return probe.probe(path);
    }
    ScratchFolder folder{"real ffprobe"};
};

TEST_F(RealFFProbe, GeneratedMedia) {
    auto sbs = folder / "wide side by side.mp4";
    make({"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=3840x1080:r=24000/1001:d=2", "-metadata",
          "title=Wide Test", "-c:v", "libx264", "-preset", "ultrafast", sbs.string()});
    auto info = probe(sbs);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stereoMode, Stereo3DMode::sideBySide());
    EXPECT_EQ(info->title, "Wide Test");
    EXPECT_EQ(info->frameRateNum, 24000);
    EXPECT_EQ(info->frameRateDen, 1001);
    EXPECT_NEAR(info->duration, 2.0, 0.05);

    auto plain = folder / "plain.mkv";
    make({"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=1920x1080:r=24000/1001:d=1", "-c:v",
          "libx264", "-preset", "ultrafast", plain.string()});
    info = probe(plain);
    EXPECT_EQ(info->stereoMode, Stereo3DMode::none());
    EXPECT_FALSE(info->hasMVCStream);
    EXPECT_EQ(info->resolution, "1920x1080");

    auto tagged = folder / "tagged.mkv";
    make({"-v", "error", "-y", "-i", plain.string(), "-c", "copy", "-metadata:s:v:0",
          "stereo_mode=left_right", tagged.string()});
    EXPECT_EQ(probe(tagged)->stereoMode, Stereo3DMode::sideBySide(false, true));

    // mkvmerge writes "both eyes laced, left first"; ffprobe also reports stereo side data for it.
    auto laced = folder / "laced.mkv";
    auto merged = runCommand("/usr/bin/mkvmerge",
                             {"-q", "-o", laced.string(), "--stereo-mode", "0:13", plain.string()});
    ASSERT_LE(merged.status, 1) << merged.output;
    EXPECT_EQ(probe(laced)->stereoMode, Stereo3DMode::mvcSingleTrack(false));

    // x264 marks a frame-alternate stream with a frame-packing SEI (type 5).
    auto alternate = folder / "alternate.mkv";
    make({"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=320x180:r=48000/1001:d=1", "-c:v", "libx264",
          "-preset", "ultrafast", "-x264-params", "frame-packing=5", alternate.string()});
    EXPECT_EQ(probe(alternate)->stereoMode, Stereo3DMode::frameAlternate(false));
}

TEST_F(RealFFProbe, AwkwardPathsAndNonMovies) {
    auto source = folder / "small.mp4";
    make({"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=1", "-c:v", "libx264",
          "-preset", "ultrafast", source.string()});
    for (std::string name : {"with space.mp4", "quote\"and'apostrophe.mp4", "ünïcødé.mp4", "-leading.mp4"}) {
        std::filesystem::copy_file(source, folder / name);
        auto info = probe(folder / name);
        ASSERT_TRUE(info) << name;
        EXPECT_EQ(info->resolution, "320x180") << name;
        EXPECT_EQ(info->fileName, name);
    }
    // Relative, with a leading dash, from the folder itself.
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    auto relative = probe("-leading.mp4");
    std::filesystem::current_path(previous);
    ASSERT_TRUE(relative);
    EXPECT_EQ(relative->resolution, "320x180");

    writeFile(folder / "notes.txt", "this is not a movie\n");
    auto text = probe(folder / "notes.txt");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->resolution, "Unknown");
    EXPECT_EQ(text->stereoMode, Stereo3DMode::none());
}

TEST(FFProbeDecision, EveryStereoLayoutSignal) {
    using M = Stereo3DMode;
    auto tagged = [](int width, int height, const std::string& value, json extra = json::object()) {
        json stream = video(0, width, height, {{"tags", {{"stereo_mode", value}}}});
        stream.update(extra);
        return analyse(report({stream})).info;
    };
    auto sideData = [](int width, int height, const std::string& type, int inverted) {
        return analyse(report({video(
                           0, width, height,
                           {{"side_data_list",
                             {{{"side_data_type", "Stereo 3D"}, {"type", type}, {"inverted", inverted}}}}})}))
            .info;
    };
    struct Case {
        std::optional<SourceFileInfo> info;
        M mode;
        std::string signal;
    };
    Case cases[] = {
        // Matroska StereoMode as ffprobe names it; the frame's shape says half or full.
        {tagged(1920, 1080, "left_right"), M::sideBySide(false, true),
         "container stereo_mode tag left_right"},
        {tagged(3840, 1080, "right_left"), M::sideBySide(true, false),
         "container stereo_mode tag right_left"},
        {tagged(1920, 2160, "top_bottom"), M::topBottom(false, false),
         "container stereo_mode tag top_bottom"},
        {tagged(1920, 1080, "bottom_top"), M::topBottom(true, true), "container stereo_mode tag bottom_top"},
        // An anamorphic 2:1 sample shape is the squeeze itself, whatever the shape in pixels.
        {tagged(1920, 1080, "left_right", {{"sample_aspect_ratio", "2:1"}}), M::sideBySide(false, true),
         "container stereo_mode tag left_right"},
        {tagged(1920, 1080, "checkerboard_lr"), M::none(), "none"},
        // Side data, its eye order from "inverted".
        {sideData(1920, 1080, "top and bottom", 1), M::topBottom(true, true),
         "container stereo side data (top and bottom, inverted)"},
        {sideData(3840, 1080, "side by side", 1), M::sideBySide(true, false),
         "container stereo side data (side by side, inverted)"},
        {sideData(1920, 1080, "frame alternate", 1), M::frameAlternate(true),
         "container stereo side data (frame alternate, inverted)"},
        // A signalled layout the frame cannot hold is ignored; the shape rule then decides.
        {tagged(3840, 1080, "top_bottom"), M::sideBySide(), "frame shape"},
        {tagged(1922, 1080, "left_right"), M::none(), "none"},
        // Shape rules: wide frames, and 16:9 or 4:3 frames with anamorphic samples.
        {analyse(report({video(0, 1920, 1080, {{"sample_aspect_ratio", "2:1"}})})).info,
         M::sideBySide(false, true), "sample aspect ratio"},
        {analyse(report({video(0, 1440, 1080, {{"sample_aspect_ratio", "1:2"}})})).info,
         M::topBottom(false, true), "sample aspect ratio"},
        {analyse(report({video(0, 1920, 800, {{"sample_aspect_ratio", "2:1"}})})).info, M::none(), "none"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.info);
        EXPECT_EQ(c.info->stereoMode, c.mode) << c.signal << " gave " << c.info->stereoMode.text();
        EXPECT_EQ(c.info->layoutSignal, c.signal);
        EXPECT_EQ(c.info->hasMVCStream, c.mode != M::none());
    }

    // The frame-packing SEI of a plain H.264 stream names every layout too.
    FFProbe probe;
    auto sei = [](std::string value) { return [value]() -> std::optional<std::string> { return value; }; };
    EXPECT_EQ(probe.analyse("/a.mp4", report({video(0, 1920, 1080)}), sei("right_left"))->stereoMode,
              M::sideBySide(true, true));
    EXPECT_EQ(probe.analyse("/a.mp4", report({video(0, 1920, 1080)}), sei("top_bottom"))->layoutSignal,
              "frame-packing SEI top_bottom");
    EXPECT_EQ(probe.analyse("/a.mp4", report({video(0, 3840, 1080)}), sei("top_bottom"))->stereoMode,
              M::sideBySide());
}

TEST(FFProbeDecision, TheUsersLayoutChoice) {
    auto analysed = [](int width, int height, json extra = json::object()) {
        return *analyse(report({video(0, width, height, extra)}), "/films/Film.mkv").info;
    };
    SourceFileInfo info = analysed(1920, 1080);
    applyLayoutChoice(info, LayoutChoice::htb, true);
    EXPECT_EQ(info.stereoMode, Stereo3DMode::topBottom(true, true));
    EXPECT_TRUE(info.hasMVCStream);
    EXPECT_EQ(info.layoutSignal, "user's choice (--layout htb --right-first)");

    // --right-first alone turns the analysed layout's eye order.
    info = analysed(1920, 1080, {{"tags", {{"stereo_mode", "left_right"}}}});
    applyLayoutChoice(info, LayoutChoice::automatic, true);
    EXPECT_EQ(info.stereoMode, Stereo3DMode::sideBySide(true, true));
    info = analysed(1920, 1080);
    applyLayoutChoice(info, LayoutChoice::mvc, false);
    EXPECT_EQ(info.stereoMode, Stereo3DMode::mvcSingleTrack(false));

    // A choice the frame contradicts fails at once, naming the size.
    struct Bad {
        int width, height;
        LayoutChoice choice;
    };
    for (Bad bad : {Bad{1921, 1080, LayoutChoice::hsbs}, Bad{3840, 1080, LayoutChoice::tb},
                    Bad{3840, 1080, LayoutChoice::hsbs}, Bad{1920, 1082, LayoutChoice::htb}}) {
        info = analysed(bad.width, bad.height);
        std::string size = std::to_string(bad.width) + "x" + std::to_string(bad.height);
        try {
            applyLayoutChoice(info, bad.choice, false);
            ADD_FAILURE() << size << " accepted " << optionName(bad.choice);
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(size), std::string::npos) << error.what();
        }
    }
}
