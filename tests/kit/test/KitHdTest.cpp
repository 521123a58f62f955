// The 1920x1080 set: what the end-to-end conversions and benchmarks start
// from is a Blu-ray-sized title ffprobe and ffmpeg read as expected.
#include "KitTestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kit {
namespace {

using namespace kit::test;

TEST(KitHd, BluRaySizedTitleDecodesToTheLeftEye) {
    const auto folder = setDir("hd") / "cabac_b";
    const auto json = nlohmann::json::parse(capture({"ffprobe", "-v", "quiet", "-print_format", "json",
                                                     "-show_streams", (folder / "movie.m2ts").string()}));
    const auto streams = json["streams"];
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0]["width"], 1920);
    EXPECT_EQ(streams[0]["height"], 1080);
    EXPECT_EQ(streams[1]["codec_name"], "h264");
    EXPECT_EQ(streams[1]["width"], 0);
    const auto left = frameMd5s(readText(folder / "left.framemd5"));
    EXPECT_GE(left.size(), 48u);
    EXPECT_EQ(decodeMd5s(folder / "movie.m2ts"), left);
    EXPECT_EQ(decodeMd5s(folder / "movie_lr.mkv"), left);
}

TEST(KitHd, FullSideBySideIs3840By1080AndInOrder) {
    const auto dir = setDir("hd");
    const auto json = nlohmann::json::parse(capture(
        {"ffprobe", "-v", "quiet", "-print_format", "json", "-show_streams", (dir / "sbs.mp4").string()}));
    EXPECT_EQ(json["streams"][0]["width"], 3840);
    EXPECT_EQ(json["streams"][0]["height"], 1080);
    const RunResult r = runCapture(
        {DUOSCOPE_BINARY_DIR "/bin/stereocheck", "--set", dir.string(), (dir / "sbs.mp4").string()});
    EXPECT_EQ(r.status, 0) << r.output << r.error;
    EXPECT_NE(r.output.find("swapped=no verdict=ok"), std::string::npos) << r.output;
}

} // namespace
} // namespace kit
