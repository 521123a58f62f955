// StereoPacker as the engine runs it, on generated side-by-side movies with audio.
#include "../../../tools/media/hevc/tests/StereoChecks.h"

#include <gtest/gtest.h>

#include <regex>

using namespace stereochecks;

namespace {

constexpr int W = 256, H = 144; // per eye
const std::string kTool = std::string(DUOSCOPE_TOOLS_DIR) + "/StereoPacker";

const fs::path& dir() {
    static fs::path d = [] {
        fs::path p = scratch("stereopacker");
        // 2 s of side-by-side H.264 with a tone, as the engine's intermediate would be.
        run("ffmpeg -nostdin -y -f lavfi -i '" + sbsFilter(W, H, "24") +
            "' -f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -crf 12 -c:a aac "
            "-shortest " +
            q(p / "sbs.mov"));
        run("ffmpeg -nostdin -y -i " + q(p / "sbs.mov") + " -c copy " + q(p / "sbs.mkv"));
        run("ffmpeg -nostdin -y -i " + q(p / "sbs.mov") + " -c:v copy -c:a ac3 " + q(p / "sbs-ac3.mkv"));
        run("ffmpeg -nostdin -y -i " + q(p / "sbs.mov") + " -c:v copy -c:a flac " + q(p / "sbs-flac.mkv"));
        // The decoded source's eyes, to measure the two layers against.
        for (int eye = 0; eye < 2; ++eye)
            run("ffmpeg -nostdin -y -i " + q(p / "sbs.mov") + " -vf crop=" + std::to_string(W) + ":" +
                std::to_string(H) + ":" + std::to_string(eye * W) + ":0 -f rawvideo -pix_fmt yuv420p " +
                q(p / (eye ? "right.yuv" : "left.yuv")));
        return p;
    }();
    return d;
}

duoscope::test::CommandResult packer(const std::string& args) {
    return runShell(kTool + " " + args);
}

void expectStereoMovie(const fs::path& out) {
    media::MovieReader movie(out.string());
    const int v = movie.firstTrack("vide");
    ASSERT_GE(v, 0);
    const auto& track = movie.tracks()[size_t(v)];
    EXPECT_EQ(track.samples.size(), 48u);
    const VisualSampleEntry entry = parseVisualSampleEntry(track.sampleEntry);
    EXPECT_EQ(entry.width, W);
    EXPECT_EQ(entry.height, H);
    ASSERT_NE(entry.child("lhvC"), nullptr);
    ASSERT_NE(entry.child("vexu"), nullptr);
    EXPECT_EQ(parseVexu(*entry.child("vexu")).stri, 0x03);
    std::vector<uint8_t> buf;
    movie.readSample(size_t(v), 0, buf);
    int layers[2] = {0, 0};
    for (auto nal : splitLengthPrefixed(buf))
        if (isVcl(nalType(nal))) ++layers[nalLayerId(nal)];
    EXPECT_EQ(layers[0], 1);
    EXPECT_EQ(layers[1], 1);
    EXPECT_GE(psnr("-i " + q(out), dir() / "left.yuv", W, H), 38.0);
    const fs::path right = out.string() + ".right.hevc";
    ASSERT_TRUE(extractRightEye(out, right));
    EXPECT_GE(psnr("-i " + q(right), dir() / "right.yuv", W, H), 38.0);
}

} // namespace

TEST(StereoPacker, QuickTimeSourceKeepsItsAudioByteForByte) {
    const fs::path out = dir() / "from-mov.mov";
    const auto r = packer(q(dir() / "sbs.mov") + " " + q(out) + " 0.85 25");
    ASSERT_EQ(r.status, 0) << r.standardError;
    // Progress lines the engine parses: "Frame n/total (p%)", ending at 100%.
    const std::regex line(R"(Frame (\d+)/48 \((\d+\.\d)%\))");
    std::istringstream in(r.standardOutput);
    int lines = 0;
    std::string last;
    for (std::string l; std::getline(in, l); ++lines) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        last = l;
    }
    EXPECT_GE(lines, 48);
    EXPECT_EQ(last, "Frame 48/48 (100.0%)");
    expectStereoMovie(out);

    media::MovieReader src((dir() / "sbs.mov").string()), dst(out.string());
    const auto& a = src.tracks()[size_t(src.firstTrack("soun"))];
    const auto& b = dst.tracks()[size_t(dst.firstTrack("soun"))];
    EXPECT_EQ(a.sampleEntry, b.sampleEntry);
    ASSERT_EQ(a.samples.size(), b.samples.size());
    std::vector<uint8_t> x, y;
    for (size_t i = 0; i < a.samples.size(); ++i) {
        src.readSample(size_t(src.firstTrack("soun")), i, x);
        dst.readSample(size_t(dst.firstTrack("soun")), i, y);
        ASSERT_EQ(x, y) << "audio sample " << i;
    }
    EXPECT_NEAR(
        std::stod(
            run("ffprobe -v error -select_streams a -show_entries stream=duration -of csv=p=0 " + q(out))),
        2.0, 0.05);
}

TEST(StereoPacker, MatroskaSourcesAacAndAc3PacketsUnchangedOthersTranscoded) {
    for (const char* name : {"sbs.mkv", "sbs-ac3.mkv"}) {
        const fs::path out = dir() / (std::string(name) + ".mov");
        const auto r = packer(q(dir() / name) + " " + q(out) + " 0.85");
        ASSERT_EQ(r.status, 0) << r.standardError;
        expectStereoMovie(out);
        const auto src = audioHashes(dir() / name);
        EXPECT_FALSE(src.empty());
        EXPECT_EQ(audioHashes(out), src) << name;
    }
    const fs::path out = dir() / "flac.mov";
    const auto r = packer(q(dir() / "sbs-flac.mkv") + " " + q(out) + " 0.7");
    ASSERT_EQ(r.status, 0) << r.standardError;
    EXPECT_EQ(run("ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 " + q(out)),
              "aac\n");
}

TEST(StereoPacker, BadInputsFailWithOneErrorLineAndNoOutput) {
    const fs::path out = dir() / "bad.mov";
    // Not a movie.
    run("echo 'not a movie' > " + q(dir() / "text.mov"));
    // Cut in half: moov at the end is gone.
    run("head -c 40000 " + q(dir() / "sbs.mov") + " > " + q(dir() / "cut.mov"));
    // Cut in half with the index in front: fewer frames than announced.
    run("ffmpeg -nostdin -y -i " + q(dir() / "sbs.mov") + " -c copy -movflags +faststart " +
        q(dir() / "fast.mov"));
    const auto fastSize = fs::file_size(dir() / "fast.mov");
    // Matroska cut in half: clusters missing, the duration still announced.
    run("head -c " + std::to_string(fs::file_size(dir() / "sbs.mkv") / 2) + " " + q(dir() / "sbs.mkv") +
        " > " + q(dir() / "cut.mkv"));
    run("head -c " + std::to_string(fastSize / 2) + " " + q(dir() / "fast.mov") + " > " +
        q(dir() / "fastcut.mov"));
    for (const std::string& args :
         {q(dir() / "text.mov") + " " + q(out) + " 0.85", q(dir() / "cut.mov") + " " + q(out) + " 0.85",
          q(dir() / "fastcut.mov") + " " + q(out) + " 0.85", q(dir() / "cut.mkv") + " " + q(out) + " 0.85",
          q(dir() / "missing.mov") + " " + q(out) + " 0.85",
          q(dir() / "sbs.mov") + " /nonexistent-dir/x.mov 0.85", q(dir() / "sbs.mov") + " " + q(out) + " 1.5",
          q(dir() / "sbs.mov") + " " + q(out)}) {
        const auto r = packer(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.standardError.find("ERROR: "), r.standardError.rfind("ERROR: "))
            << r.standardError; // exactly one
        EXPECT_NE(r.standardError.find("ERROR: "), std::string::npos) << args << "\n" << r.standardError;
        EXPECT_EQ(r.standardError.find("Done"), std::string::npos) << r.standardError;
        EXPECT_EQ(r.standardOutput.find("(100.0%)"), std::string::npos) << r.standardOutput;
        EXPECT_FALSE(fs::exists(out)) << args;
        EXPECT_FALSE(fs::exists(out.string() + ".partial")) << args;
    }
}
