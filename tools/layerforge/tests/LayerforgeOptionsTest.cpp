#include "LayerforgeOptions.h"

#include <gtest/gtest.h>

using namespace layerforge;

namespace {
ParseResult parse(std::vector<std::string> a) {
    return parseCommandLine(a);
}
} // namespace

TEST(LayerforgeOptions, ValuesFpsFormsAndBarePaths) {
    auto r = parse({"--width", "1280", "--height", "720", "--fps", "30000/1001", "--quality", "0.7", "--swap",
                    "out.mov", "second.mov"});
    ASSERT_TRUE(std::holds_alternative<Options>(r));
    auto o = std::get<Options>(r);
    EXPECT_EQ(o.width, 1280);
    EXPECT_EQ(o.height, 720);
    EXPECT_EQ(o.fpsNum, 30000);
    EXPECT_EQ(o.fpsDen, 1001);
    EXPECT_DOUBLE_EQ(o.quality, 0.7);
    EXPECT_TRUE(o.swap);
    EXPECT_EQ(o.outputPath, "out.mov"); // a second bare path is ignored
    EXPECT_FALSE(o.maxBitrateMbps);

    o = std::get<Options>(parse({"-o", "x.mov", "--fps", "30"}));
    EXPECT_EQ(o.fpsNum, 30);
    EXPECT_EQ(o.fpsDen, 1);
    EXPECT_EQ(o.width, 1920); // defaults
    EXPECT_EQ(o.height, 1080);
    o = std::get<Options>(parse({"--fps", "//25//", "--output", "y.mov", "--unknown"}));
    EXPECT_EQ(o.fpsNum, 25);
    EXPECT_EQ(o.fpsDen, 1);
    EXPECT_EQ(o.outputPath, "y.mov");
}

TEST(LayerforgeOptions, MaxrateIntegerOrQualityMode) {
    EXPECT_EQ(std::get<Options>(parse({"--maxrate", "40", "o.mov"})).maxBitrateMbps, 40);
    EXPECT_EQ(std::get<Options>(parse({"--maxrate", "+25", "o.mov"})).maxBitrateMbps, 25);
    EXPECT_FALSE(std::get<Options>(parse({"--maxrate", "12.5", "o.mov"})).maxBitrateMbps);
    EXPECT_FALSE(std::get<Options>(parse({"--maxrate", "", "o.mov"})).maxBitrateMbps);
    EXPECT_TRUE(std::holds_alternative<BadOption>(parse({"--maxrate", "-5", "o.mov"})));
    EXPECT_EQ(std::get<Options>(parse({"--threads", "2", "o.mov"})).threads, 2);
    EXPECT_TRUE(std::holds_alternative<BadOption>(parse({"--threads", "0", "o.mov"})));
}

TEST(LayerforgeOptions, MissingOrBadValuesAreErrorsNotCrashes) {
    EXPECT_TRUE(std::holds_alternative<ShowUsage>(parse({})));
    EXPECT_TRUE(std::holds_alternative<ShowUsage>(parse({"--width", "640"})));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"o.mov", "--width"},
             {"o.mov", "--width", "abc"},
             {"o.mov", "--height", "12x"},
             {"o.mov", "--width", "0"},
             {"o.mov", "--height", "-720"},
             {"o.mov", "--width", "641"},
             {"o.mov", "--height", "181"},
             {"o.mov", "--fps", "abc"},
             {"o.mov", "--fps", "/"},
             {"o.mov", "--fps", "30/0"},
             {"o.mov", "--fps", "99999999999/1"},
             {"o.mov", "--quality", "high"},
             {"o.mov", "--quality", "1.5"},
             {"o.mov", "--quality", "nan"},
             {"o.mov", "--width", "100000"},
         }) {
        EXPECT_TRUE(std::holds_alternative<BadOption>(parse(args))) << args[1] << " " << args.back();
    }
}

TEST(LayerforgeOptions, TimeAndQualityText) {
    EXPECT_EQ(formatTime(0.4), "0s");
    EXPECT_EQ(formatTime(59.99), "59s");
    EXPECT_EQ(formatTime(75.9), "1m 15s");
    EXPECT_EQ(formatTime(3600), "60m 0s");
    EXPECT_EQ(shortestDecimal(0.85), "0.85");
    EXPECT_EQ(shortestDecimal(0.7), "0.7");
    EXPECT_EQ(shortestDecimal(1), "1");
}
