// Two-view MVC: both views of the real conformance and JM-made streams against
// their reference checksums, through ldecod's view files and through
// viewpump's stream (two threads, and one); the kit's composed Blu-ray style
// streams against their left and right ground truth (ldecod after the
// interleaver program, viewpump reading a named pipe); damaged two-view input
// keeps both views paired.
#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "DecoderTestSupport.h"
#include "Md5.h"

namespace {

using h264test::run;
using Md5List = std::vector<std::string>;

std::string tool(const std::string& name) {
    return std::string(DUOSCOPE_TOOLS_DIR) + "/" + name;
}

std::string md5Of(const char* data, size_t size) {
    duoscope::h264::Md5 md5;
    md5.update(reinterpret_cast<const uint8_t*>(data), size);
    return md5.hex();
}

Md5List frameMd5s(const std::string& bytes, size_t frameSize) {
    Md5List out;
    for (size_t at = 0; at + frameSize <= bytes.size(); at += frameSize)
        out.push_back(md5Of(bytes.data() + at, frameSize));
    return out;
}

// Runs viewpump and returns the MD5 of each picture it writes (base, second,
// base, ...), its exit status and its standard error.
struct PumpResult {
    Md5List pictures;
    int status;
    std::string log;
};

PumpResult pump(const std::string& args, size_t frameSize) {
    std::string errPath = h264test::workDir() + "/pump." + std::to_string(getpid()) + ".err";
    PumpResult r{{}, -1, {}};
    auto run = h264test::run(tool("viewpump") + " " + args + " 2>" + errPath);
    for (size_t at = 0; at + frameSize <= run.output.size(); at += frameSize)
        r.pictures.push_back(md5Of(run.output.data() + at, frameSize));
    r.status = run.status;
    r.log = h264test::readFile(errPath);
    return r;
}

Md5List interleave(const Md5List& base, const Md5List& second) {
    Md5List out;
    for (size_t i = 0; i < base.size(); ++i) {
        out.push_back(base[i]);
        if (i < second.size()) out.push_back(second[i]);
    }
    return out;
}

struct Reference {
    int viewId[2] = {0, 0};
    Md5List frames[2];
    std::string whole[2];
    size_t frameSize = 0;
};

Reference reference(const std::string& name) {
    std::string data = std::string(DUOSCOPE_TESTDATA_DIR) + "/mvc/";
    Reference ref;
    std::ifstream frames(data + "frame_md5.txt"), whole(data + "md5.txt");
    std::string line;
    while (std::getline(frames, line)) {
        std::istringstream f(line);
        std::string file, md5;
        int voIdx, viewId, index;
        if (f >> file >> voIdx >> viewId >> index >> md5 && file == name) ref.frames[voIdx].push_back(md5);
    }
    while (std::getline(whole, line)) {
        std::istringstream f(line);
        std::string file, size, md5;
        int voIdx, viewId, count, w, h;
        char x;
        if (f >> file >> voIdx >> viewId >> count >> w >> x >> h >> md5 && file == name) {
            ref.viewId[voIdx] = viewId;
            ref.whole[voIdx] = md5;
            ref.frameSize = static_cast<size_t>(w) * h * 3 / 2;
        }
    }
    return ref;
}

class H264MvcStream : public ::testing::TestWithParam<const char*> {};

TEST_P(H264MvcStream, BothViewsMatchReferenceInLdecodAndViewpump) {
    std::string name = GetParam();
    std::string input = std::string(DUOSCOPE_TESTDATA_DIR) + "/mvc/" + name;
    Reference ref = reference(name);
    ASSERT_GT(ref.frames[1].size(), 0u) << "test data missing";
    std::string dir = h264test::workDir() + "/mvc_" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto r = run("cd " + dir + " && " + tool("ldecod") + " -p InputFile=" + input +
                 " -p OutputFile=output.yuv -p DecodeAllLayers=1");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
    for (int v = 0; v < 2; ++v) {
        char file[64];
        std::snprintf(file, sizeof file, "/output_ViewId%04d.yuv", ref.viewId[v]);
        std::string bytes = h264test::readFile(dir + file);
        EXPECT_EQ(frameMd5s(bytes, ref.frameSize), ref.frames[v]) << "view order index " << v;
        EXPECT_EQ(md5Of(bytes.data(), bytes.size()), ref.whole[v]);
    }
    PumpResult two =
        pump("-p InputFile=" + input + " -p OutputFile=output.yuv -p DecodeAllLayers=1", ref.frameSize);
    EXPECT_EQ(two.status, 0) << two.log;
    EXPECT_EQ(two.pictures, interleave(ref.frames[0], ref.frames[1]));
    EXPECT_NE(two.log.find("viewpump: done, " + std::to_string(ref.frames[0].size()) + " frame pairs"),
              std::string::npos)
        << two.log;
    PumpResult one = pump("-p InputFile=" + input + " -p Threads=1", ref.frameSize);
    EXPECT_EQ(one.pictures, two.pictures);
}

INSTANTIATE_TEST_SUITE_P(
    Conformance, H264MvcStream,
    ::testing::Values("MVCDS-4.264", "MVCDS-5.264", "MVCDS-6.264", "MVCRP_2.264", "MVCRP_3.264",
                      "MVCSPS-1.264", "mvc_s1_cavlc_ip_320x240.264", "mvc_s2_cabac_ibp_352x288.264",
                      "mvc_s3_cavlc_hierb_mvhigh_352x288.264", "mvc_s4_cabac_idr8_slices_ivf0_320x240.264",
                      "mvc_s5_cabac_ibbp_1920x1080.264", "mvc_s7_cabac_hierb_mmco_352x288.264",
                      "mvc_s8_cabac_idr8_slices_320x240.264", "mvc_s9_s2_with_aud_eos_352x288.264"),
    [](const auto& info) {
        std::string n = info.param;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

Md5List framemd5File(const std::string& path) {
    return duoscope::test::frameMd5s(h264test::readFile(path));
}

std::string kitSet() {
    return std::string(DUOSCOPE_KIT_DIR) + "/small";
}

size_t kitFrameSize() {
    std::ifstream info(kitSet() + "/set.info");
    std::string line;
    int w = 0, h = 0;
    while (std::getline(info, line)) {
        if (line.rfind("width=", 0) == 0) w = std::stoi(line.substr(6));
        if (line.rfind("height=", 0) == 0) h = std::stoi(line.substr(7));
    }
    return static_cast<size_t>(w) * h * 3 / 2;
}

class H264MvcKit : public ::testing::TestWithParam<const char*> {};

TEST_P(H264MvcKit, ComposedStreamGivesBothEyes) {
    std::string profile = kitSet() + "/" + GetParam();
    Md5List left = framemd5File(profile + "/left.framemd5"),
            right = framemd5File(profile + "/right.framemd5");
    ASSERT_FALSE(left.empty());
    size_t frameSize = kitFrameSize();
    std::string dir = h264test::workDir() + "/kit_" + GetParam();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The two views as the demultiplexer leaves them, interleaved by the engine's interleaver program.
    auto merged = run(tool("unitmerge") + " " + profile + "/base.264 " + profile + "/dependent.mvc " + dir +
                      "/merged.264");
    ASSERT_EQ(merged.status, 0) << merged.output;
    auto r = run("cd " + dir + " && " + tool("ldecod") +
                 " -p InputFile=merged.264 -p OutputFile=output.yuv -p DecodeAllLayers=1");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(frameMd5s(h264test::readFile(dir + "/output_ViewId0000.yuv"), frameSize), left);
    EXPECT_EQ(frameMd5s(h264test::readFile(dir + "/output_ViewId0001.yuv"), frameSize), right);

    std::string fifo = dir + "/input_stream.264";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::thread writer([&] {
        std::string bytes = h264test::readFile(profile + "/interleaved.264");
        if (FILE* f = fopen(fifo.c_str(), "wb")) {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
    });
    PumpResult piped =
        pump("-p InputFile=" + fifo + " -p OutputFile=output.yuv -p DecodeAllLayers=1", frameSize);
    writer.join();
    EXPECT_EQ(piped.status, 0) << piped.log;
    EXPECT_EQ(piped.pictures, interleave(left, right));
}

INSTANTIATE_TEST_SUITE_P(Profiles, H264MvcKit,
                         ::testing::Values("cabac_b", "cavlc_p", "cavlc_b", "pyramid_8x8", "weighted",
                                           "slices4", "open_gop"));

// Damage in either view never unpairs the views: every access unit still gives
// one picture of each, with warnings, in both programs.
TEST(H264MvcDamage, DamagedUnitsAreConcealedAndViewsStayPaired) {
    std::string bytes = h264test::readFile(kitSet() + "/cabac_b/interleaved.264");
    ASSERT_FALSE(bytes.empty());
    size_t frameSize = kitFrameSize();
    // Flip bits through the middle third, and cut one second-view slice out.
    for (size_t at = bytes.size() / 3; at < bytes.size() * 2 / 3; at += 997)
        bytes[at] = static_cast<char>(bytes[at] ^ 0x24);
    size_t ext = bytes.find(std::string("\x00\x00\x00\x01\x14", 5), bytes.size() * 3 / 4);
    size_t next = bytes.find(std::string("\x00\x00\x00\x01", 4), ext + 4);
    ASSERT_NE(next, std::string::npos);
    bytes.erase(ext, next - ext);
    std::string dir = h264test::workDir() + "/mvc_damage";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/damaged.264", std::ios::binary) << bytes;
    auto r = run("cd " + dir + " && " + tool("ldecod") +
                 " -p InputFile=damaged.264 -p OutputFile=output.yuv -p DecodeAllLayers=1");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Warning"), std::string::npos);
    size_t frames = framemd5File(kitSet() + "/cabac_b/left.framemd5").size();
    EXPECT_EQ(std::filesystem::file_size(dir + "/output_ViewId0000.yuv"), frames * frameSize);
    EXPECT_EQ(std::filesystem::file_size(dir + "/output_ViewId0001.yuv"), frames * frameSize);
    PumpResult two = pump("-p InputFile=" + dir + "/damaged.264", frameSize);
    EXPECT_EQ(two.status, 0) << two.log;
    EXPECT_EQ(two.pictures.size(), 2 * frames);
    EXPECT_EQ(pump("-p InputFile=" + dir + "/damaged.264 -p Threads=1", frameSize).pictures, two.pictures);
}

// The second view's PPS sent before the subset SPS it names still decodes exactly.
TEST(H264MvcDamage, PictureParameterSetBeforeItsSubsetSps) {
    std::string bytes = h264test::readFile(kitSet() + "/cabac_b/interleaved.264");
    const std::string start("\x00\x00\x00\x01", 4);
    std::string reordered;
    for (size_t at = 0; at < bytes.size();) {
        size_t next = std::min(bytes.find(start, at + 4), bytes.size());
        size_t after = std::min(bytes.find(start, next + 4), bytes.size());
        if ((bytes[at + 4] & 31) == 15 && next < bytes.size() && (bytes[next + 4] & 31) == 8) {
            reordered += bytes.substr(next, after - next) + bytes.substr(at, next - at);
            at = after;
        } else {
            reordered += bytes.substr(at, next - at);
            at = next;
        }
    }
    ASSERT_EQ(reordered.size(), bytes.size());
    ASSERT_NE(reordered, bytes);
    std::string path = h264test::workDir() + "/mvc_reordered.264";
    std::ofstream(path, std::ios::binary) << reordered;
    PumpResult r = pump("-p InputFile=" + path, kitFrameSize());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.log.find("Warning"), std::string::npos) << r.log;
    EXPECT_EQ(r.pictures, interleave(framemd5File(kitSet() + "/cabac_b/left.framemd5"),
                                     framemd5File(kitSet() + "/cabac_b/right.framemd5")));
}

TEST(H264MvcDamage, ErrorsAreReportedWithExitStatus1) {
    PumpResult missing = pump("-p InputFile=/nonexistent/stream.264", 16);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.log.find("ERROR: cannot open input file"), std::string::npos);
    std::string junk = h264test::workDir() + "/mvc_junk.264";
    std::ofstream(junk) << std::string(5000, 'x');
    PumpResult none = pump("-p InputFile=" + junk, 16);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.log.find("ERROR: "), std::string::npos);
}

} // namespace
