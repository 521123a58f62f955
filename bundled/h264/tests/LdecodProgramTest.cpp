// ldecod as the engine runs it: the JM-style call, its output lines and files,
// named-pipe input, clear errors for unsupported streams and concealment of
// damaged ones.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <vector>

#include "DecoderTestSupport.h"

namespace {

using h264test::run;

std::string base(const std::string& name) {
    return h264test::workDir() + "/" + name;
}

using h264test::readFile;

TEST(H264Ldecod, JmCallWritesViewFileAndTheLinesTheEngineReads) {
    std::string log;
    ASSERT_TRUE(h264test::makeStream("prog_basic", "176x144", 10, "--profile baseline", log)) << log;
    std::string dir = h264test::workDir() + "/prog_run";
    std::filesystem::create_directories(dir);
    std::filesystem::remove(dir + "/output_ViewId0000.yuv");
    auto r = run("cd " + dir + " && " + h264test::ldecod() + " -p InputFile=" + base("prog_basic") +
                 ".264 -p OutputFile=output.yuv -p DecodeAllLayers=1 -p Silent=1 -p UnknownKey=7");
    ASSERT_EQ(r.status, 0) << r.output;
    // DecodeAllLayers names each view's file after the output name, as JM does.
    EXPECT_EQ(std::filesystem::file_size(dir + "/output_ViewId0000.yuv"), 10u * 176 * 144 * 3 / 2);
    EXPECT_FALSE(std::filesystem::exists(dir + "/output.yuv"));
    EXPECT_NE(r.output.find("00009"), std::string::npos);
    EXPECT_NE(r.output.find("10 frames are decoded"), std::string::npos);
    EXPECT_NE(r.output.find("Total decoding time"), std::string::npos);
}

TEST(H264Ldecod, ReadsANamedPipe) {
    std::string log;
    ASSERT_TRUE(h264test::makeStream("prog_pipe", "176x144", 12, "--profile baseline --bframes 0", log))
        << log;
    std::string fifo = base("prog_pipe.fifo");
    std::filesystem::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::string bytes = readFile(base("prog_pipe") + ".264");
        FILE* f = fopen(fifo.c_str(), "wb");
        // Small writes make the reader see partial NAL units at chunk ends.
        for (size_t i = 0; f && i < bytes.size(); i += 1000)
            fwrite(bytes.data() + i, 1, std::min<size_t>(1000, bytes.size() - i), f), fflush(f);
        if (f) fclose(f);
    });
    auto r = run(h264test::ldecod() + " -p InputFile=" + fifo + " -p OutputFile=" + base("prog_pipe") +
                 ".yuv -p VerifyMd5=" + base("prog_pipe") + ".md5");
    writer.join();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("MD5 verification passed: 12 frames"), std::string::npos) << r.output;
}

TEST(H264Ldecod, UnsupportedFeaturesFailWithANamedError) {
    struct Case {
        const char* name;
        const char* options;
        const char* feature;
    } cases[] = {
        {"prog_mbaff", "--tff", "MBAFF"},
        {"prog_10bit", "--output-depth 10", "bit depth"},
        {"prog_422", "--output-csp i422 --profile high422", "4:2:2"},
    };
    for (const Case& c : cases) {
        std::string log;
        ASSERT_TRUE(h264test::makeStream(c.name, "176x144", 3, c.options, log)) << c.name << log;
        auto r = run(h264test::ldecod() + " -p InputFile=" + base(c.name) +
                     ".264 -p OutputFile=" + base(c.name) + ".yuv");
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.output.find("ERROR: unsupported stream feature: "), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.feature), std::string::npos) << r.output;
    }
}

TEST(H264Ldecod, MissingInputIsAnError) {
    auto r =
        run(h264test::ldecod() + " -p InputFile=/nonexistent/x.264 -p OutputFile=" + base("none") + ".yuv");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output.rfind("ERROR: ", 0), 0u) << r.output;
    r = run(h264test::ldecod());
    EXPECT_EQ(r.status, 1);
    // A file without pictures (here: text) is an error, not an empty success.
    std::ofstream(base("not_video") + ".264") << "this is not a video stream\n";
    r = run(h264test::ldecod() + " -p InputFile=" + base("not_video") +
            ".264 -p OutputFile=" + base("not_video") + ".yuv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("ERROR: no decodable H.264 pictures"), std::string::npos) << r.output;
}

TEST(H264Ldecod, DamagedStreamsAreConcealedWithWarnings) {
    std::string log;
    ASSERT_TRUE(
        h264test::makeStream("prog_damage", "176x144", 20, "--profile high --no-cabac --bframes 2", log))
        << log;
    std::string bytes = readFile(base("prog_damage") + ".264");
    // Truncated in the middle of a picture.
    {
        std::ofstream(base("prog_trunc") + ".264", std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size() * 6 / 10));
        auto r = run(h264test::ldecod() + " -p InputFile=" + base("prog_trunc") +
                     ".264 -p OutputFile=" + base("prog_trunc") + ".yuv");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("frames are decoded"), std::string::npos);
    }
    // Bit errors spread over the slice data, several seeds.
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::string damaged = bytes;
        unsigned state = seed * 2654435761u;
        for (int i = 0; i < 12; ++i) {
            state = state * 1664525u + 1013904223u;
            size_t pos = 200 + state % (damaged.size() - 200);
            damaged[pos] = static_cast<char>(damaged[pos] ^ (1 << (state >> 29)));
        }
        std::string name = base("prog_flip" + std::to_string(seed));
        std::ofstream(name + ".264", std::ios::binary)
            .write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
        auto r = run("timeout 60 " + h264test::ldecod() + " -p InputFile=" + name +
                     ".264 -p OutputFile=" + name + ".yuv");
        EXPECT_EQ(r.status, 0) << "seed " << seed << r.output;
        EXPECT_NE(r.output.find("Warning"), std::string::npos) << "seed " << seed;
        EXPECT_NE(r.output.find("frames are decoded"), std::string::npos);
    }
}

} // namespace

// A slice that starts behind the ones already decoded in its picture (here a
// repeated slice; a flipped first_mb_in_slice looks the same) is dropped with a
// warning: the picture is still whole, so every frame matches the clean stream.
TEST(H264Ldecod, SliceBehindTheDecodedOnesIsSkipped) {
    std::string log;
    ASSERT_TRUE(
        h264test::makeStream("prog_dupslice", "176x144", 8, "--profile high --slices 3 --bframes 1", log))
        << log;
    std::string bytes = readFile(base("prog_dupslice") + ".264");
    std::vector<size_t> slices; // offsets of the start codes of slice NAL units
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            int type = bytes[i + 3] & 0x1f;
            if (type == 1 || type == 5) slices.push_back(i);
        }
    ASSERT_GT(slices.size(), 12u);
    // The third slice of the third picture, sent twice.
    std::string copy = bytes.substr(slices[8], slices[9] - slices[8]);
    std::string damaged = bytes.substr(0, slices[9]) + copy + bytes.substr(slices[9]);
    std::ofstream(base("prog_dupslice_damaged") + ".264", std::ios::binary)
        .write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
    auto r = run(h264test::ldecod() + " -p InputFile=" + base("prog_dupslice_damaged") +
                 ".264 -p OutputFile=" + base("prog_dupslice_damaged") +
                 ".yuv -p VerifyMd5=" + base("prog_dupslice") + ".md5");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Warning: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("MD5 verification passed: 8 frames"), std::string::npos) << r.output;
}
