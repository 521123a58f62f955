// The stream tools as programs: round trips on generated and reference MVC
// streams, exact probe lines, twinrow against ffmpeg's hstack, and errors.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace duoscope::test;

namespace {

const fs::path tools = DUOSCOPE_TOOLS_DIR;
const fs::path mvcData = fs::path(DUOSCOPE_TESTDATA_DIR) / "mvc";

struct TempDir : ScratchFolder {
    TempDir() : ScratchFolder("streamtools") {}
    std::string file(const std::string& name) const { return (path() / name).string(); }
};

CommandResult runTool(const std::string& name, const std::vector<std::string>& arguments,
                      const fs::path& input = {}) {
    return runCommand((tools / name).string(), arguments, CommandOptions::withInput(input));
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The MD5 of a stream's base view as Debian's ffmpeg decodes it.
std::string decodedMd5(const std::string& stream) {
    const auto run = runCommand(
        "ffmpeg", {"-v", "error", "-i", stream, "-c:v", "rawvideo", "-pix_fmt", "yuv420p", "-f", "md5", "-"});
    return run.standardOutput.substr(run.standardOutput.find('=') + 1, 32);
}

// Per reference stream: its picture count and the decoded MD5 of each view, in view order.
struct Reference {
    int frames = 0;
    std::vector<std::string> viewMd5s;
};
std::map<std::string, Reference> references() {
    std::map<std::string, Reference> reference;
    std::istringstream table(readFile(mvcData / "md5.txt"));
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string file, order, viewId, size, md5;
        int frames = 0;
        fields >> file >> order >> viewId >> frames >> size >> md5;
        if (order == "0") reference[file].frames = frames;
        reference[file].viewMd5s.push_back(md5);
    }
    return reference;
}

// A base stream and a dependent stream as a Blu-ray demultiplexer writes them:
// every access unit opened by its delimiter, parameter sets at each IDR.
struct ViewStreams {
    Bytes base, dependent;
};
ViewStreams generatedViews(int units) {
    const Bytes aud = nalUnit(0x09, {0xF0}), mvcDelimiter = nalUnit(0x18, {0xF0});
    ViewStreams views;
    for (int k = 0; k < units; ++k) {
        const auto tag = static_cast<std::uint8_t>(k + 1);
        const bool isIdr = k % 10 == 0;
        append(views.base, aud);
        if (isIdr) {
            append(views.base, nalUnit(0x67, {0x64, 0x00, 0x28}));
            append(views.base, nalUnit(0x68, {0xEE, 0x3C, 0x80}, false));
        }
        append(views.base, nalUnit(0x06, {0x05, tag}));
        append(views.base, nalUnit(isIdr ? 0x65 : 0x01, {0x88, tag, 0x00, 0x00, 0x03, 0x01}));
        append(views.base, nalUnit(isIdr ? 0x65 : 0x01, {0x40, tag}, k % 3 == 0)); // second slice
        append(views.dependent, mvcDelimiter);
        if (isIdr) {
            append(views.dependent, nalUnit(0x6F, {0x80, 0x00, 0x28}));
            append(views.dependent, nalUnit(0x68, {0xFE, 0x3C}));
        }
        if (k % 4 == 1)
            append(views.dependent, nalUnit(0x06, {0x25, tag})); // SEI of the dependent view alone
        const std::uint8_t anchor = isIdr ? 0x47 : 0x43;
        append(views.dependent, nalUnit(0x74, {0x40, 0x00, anchor, 0x88, tag}));
        append(views.dependent, nalUnit(0x74, {0x40, 0x00, anchor, 0x40, tag}, false));
    }
    return views;
}

} // namespace

// unitmerge then twinsever gives back both view streams byte for byte, and
// unitmerge of those gives back the interleaved stream.
TEST(StreamTools, SeverAndMergeRoundTripOnGeneratedStreams) {
    TempDir dir;
    ViewStreams views = generatedViews(25);
    writeBytes(dir / "base.264", views.base);
    writeBytes(dir / "dep.mvc", views.dependent);
    auto merged = runTool("unitmerge", {dir.file("base.264"), dir.file("dep.mvc"), dir.file("merged.264")});
    ASSERT_EQ(merged.status, 0) << merged.output;
    EXPECT_EQ(merged.standardError, "unitmerge: done, 25 pairs written\n");

    auto severed =
        runTool("twinsever", {dir.file("merged.264"), dir.file("base2.264"), dir.file("dep2.mvc")});
    ASSERT_EQ(severed.status, 0) << severed.output;
    EXPECT_TRUE(readBytes(dir / "base2.264") == views.base);
    EXPECT_TRUE(readBytes(dir / "dep2.mvc") == views.dependent);

    auto again = runTool("unitmerge", {dir.file("base2.264"), dir.file("dep2.mvc"), "-"});
    ASSERT_EQ(again.status, 0);
    EXPECT_TRUE(bytesOf(again.standardOutput) == readBytes(dir / "merged.264"));

    // Every tenth unit is an IDR with an anchor dependent view.
    auto probe = runTool("unitprobe", {"--summary", dir.file("merged.264")});
    EXPECT_EQ(probe.status, 0);
    EXPECT_EQ(probe.standardOutput, "access_units 25\nrandom_access_points 3\nbytes " +
                                        std::to_string(fs::file_size(dir / "merged.264")) + "\n");
}

// The reference MVC streams: split, merge, split and merge again is stable, the
// access units are the pictures, and the base view alone decodes (ffmpeg) to the
// reference checksum of view 0.
TEST(StreamTools, ReferenceStreamsSplitIntoDecodableViews) {
    const auto reference = references();
    ASSERT_GE(reference.size(), 10u);
    for (const auto& [file, expected] : reference) {
        TempDir dir;
        const std::string input = (mvcData / file).string();
        const std::string base = dir.file("b.264"), dependent = dir.file("d.mvc"), merged = dir.file("m.264");
        auto probe = runTool("unitprobe", {input});
        ASSERT_EQ(probe.status, 0) << file << probe.output;
        EXPECT_EQ(std::count(probe.standardOutput.begin(), probe.standardOutput.end(), '\n'), expected.frames)
            << file;
        EXPECT_EQ(probe.standardOutput.rfind("0 0 ", 0), 0u) << file;

        ASSERT_EQ(runTool("twinsever", {input, base, dependent}).status, 0) << file;
        ASSERT_EQ(runTool("unitmerge", {base, dependent, merged}).status, 0) << file;
        ASSERT_EQ(runTool("twinsever", {merged, base, dependent}).status, 0) << file;
        auto again = runTool("unitmerge", {base, dependent, "-"});
        EXPECT_TRUE(bytesOf(again.standardOutput) == readBytes(merged)) << file;
        EXPECT_EQ(decodedMd5(base), expected.viewMd5s.front()) << file;
    }
}

TEST(StreamTools, ProbeListsAccessUnitsAndNalUnits) {
    TempDir dir;
    writeBytes(dir / "base.264", generatedViews(2).base);
    auto units = runTool("unitprobe", {dir.file("base.264")});
    EXPECT_EQ(units.status, 0);
    // Unit 0: AUD 6 + SPS 8 + PPS 7 + SEI 7 + IDR slices 11 and 7 (3-byte code) = 46 bytes.
    EXPECT_EQ(units.standardOutput, "0 0 46 1\n1 46 30 0\n");
    auto nals = runTool("unitprobe", {"--nal", dir.file("base.264")});
    EXPECT_EQ(nals.standardOutput.rfind("0 6 9\n6 8 7\n14 7 8\n21 7 6\n28 11 5\n39 7 5\n46 6 9\n", 0), 0u)
        << nals.standardOutput;
}

// segmentjoin and segmentplan as the segment-parallel route runs them: its own
// end-to-end tests check the movies they make.
TEST(StreamTools, SegmentJoinKeepsOrderRemovesWhatItWroteAndNamesWhatIsMissing) {
    TempDir dir;
    writeFile(dir / "seg0.md5", "a\nb\n");
    writeFile(dir / "seg1.md5", "c\n");
    auto joined = runTool("segmentjoin", {"--lines", "3", dir.file("seg0.md5"), dir.file("seg1.md5")});
    EXPECT_EQ(joined.status, 0);
    EXPECT_EQ(joined.standardOutput, "a\nb\nc\n");
    auto shortList = runTool("segmentjoin", {"--lines", "4", dir.file("seg0.md5"), dir.file("seg1.md5")});
    EXPECT_EQ(shortList.status, 1);
    EXPECT_NE(shortList.standardError.find("the segments gave 3 frames, expected 4"), std::string::npos);
    auto missing = runTool("segmentjoin", {"--remove", dir.file("seg0.md5"), dir.file("seg9.md5")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.standardOutput, "a\nb\n");
    EXPECT_NE(missing.standardError.find("seg9.md5"), std::string::npos) << missing.standardError;
    EXPECT_FALSE(fs::exists(dir / "seg0.md5"));
    EXPECT_TRUE(fs::exists(dir / "seg1.md5"));

    writeFile(dir / "units", "0 0 0 1\nbroken\n");
    auto plan = runTool("segmentplan", {"--slots", "2", dir.file("units")});
    EXPECT_EQ(plan.status, 1);
    EXPECT_NE(plan.standardError.find("unit list line 2"), std::string::npos) << plan.standardError;
}

TEST(StreamTools, MergeReportsUnequalStreamsLikeTheInterleaver) {
    TempDir dir;
    const std::vector<std::string> files{dir.file("base.264"), dir.file("dep.mvc"), dir.file("out.264")};
    writeBytes(files[0], generatedViews(103).base);
    writeBytes(files[1], generatedViews(100).dependent);
    auto few = runTool("unitmerge", files);
    EXPECT_EQ(few.status, 0);
    EXPECT_EQ(few.standardError,
              "unitmerge: base stream has 2 extra AUs (ignored)\nunitmerge: done, 100 pairs written\n");

    writeBytes(files[0], generatedViews(100).base);
    writeBytes(files[1], generatedViews(110).dependent);
    auto many = runTool("unitmerge", files);
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(many.standardError, "ERROR: Access unit count mismatch: base=100, MVC=109\n");
}

TEST(StreamTools, BadUseAndBadInput) {
    TempDir dir;
    writeBytes(dir / "empty.264", {});
    writeBytes(dir / "noise.264", Bytes(3000, 0x47));
    writeBytes(dir / "zeros", Bytes(10, 0));
    ViewStreams views = generatedViews(3);
    writeBytes(dir / "base.264", views.base);
    writeBytes(dir / "dependent.mvc", views.dependent);
    const std::string dependent = dir.file("dependent.mvc"), missing = dir.file("missing.264"),
                      empty = dir.file("empty.264"), noise = dir.file("noise.264"),
                      base = dir.file("base.264"), out = dir.file("out.264");
    struct Case {
        std::string tool;
        std::vector<std::string> arguments;
        int status;
        std::string errorStart; // of standard error
    };
    const std::vector<Case> cases{
        {"unitmerge", {}, 1, "usage: unitmerge "},
        {"unitmerge", {"--help"}, 0, ""},
        {"unitmerge", {missing, base, out}, 1, "ERROR: cannot open "},
        {"unitmerge", {noise, base, out}, 1, "ERROR: "},
        {"unitmerge", {base, base, base}, 1, "ERROR: "},
        // Nothing to pair is no success: swapped inputs, two empty files.
        {"unitmerge", {dependent, base, out}, 1, "ERROR: no access unit to pair"},
        {"unitmerge", {empty, empty, out}, 1, "ERROR: no access unit to pair"},
        // A size no film has is refused before any memory is taken.
        {"twinrow", {"65536", "65536"}, 1, "ERROR: twinrow: 65536x65536 is larger"},
        {"twinsever", {base}, 1, "usage: twinsever "},
        {"twinsever", {empty, out, out + "2"}, 1, "ERROR: "},
        {"twinsever", {noise, out, out + "2"}, 1, "ERROR: "},
        // A base view alone has no dependent view to split off.
        {"twinsever", {base, out, out + "2"}, 1, "ERROR: "},
        {"unitprobe", {}, 1, "usage: unitprobe "},
        {"unitprobe", {"--bogus", base}, 1, "usage: unitprobe "},
        {"unitprobe", {missing}, 1, "ERROR: cannot open "},
        {"unitprobe", {empty}, 1, "ERROR: "},
        {"unitprobe", {noise}, 1, "ERROR: "},
        {"unitprobe", {"--help"}, 0, ""},
    };
    for (const auto& c : cases) {
        auto result = runTool(c.tool, c.arguments, dir / "zeros");
        EXPECT_EQ(result.status, c.status) << c.tool << " " << c.arguments.size();
        EXPECT_EQ(result.standardError.rfind(c.errorStart, 0), 0u) << c.tool << ": " << result.standardError;
    }
    EXPECT_TRUE(readBytes(dir / "base.264") == views.base); // an output naming an input is refused
    EXPECT_FALSE(fs::exists(dir / "out.264"));              // failed splits leave no half-written views
}

// One NAL unit far larger than the tools' buffers passes through in pieces.
TEST(StreamTools, AHugeNalUnitTakesLittleMemory) {
    TempDir dir;
    constexpr std::size_t huge = 64u << 20;
    Bytes base = nalUnit(0x09, {0x10});
    append(base, nalUnit(0x65, Bytes(huge, 0xFF)));
    writeBytes(dir / "base.264", base);
    writeBytes(dir / "dependent.mvc", nalUnit(0x18, {0x10}));
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"unitmerge", dir.file("base.264"), dir.file("dependent.mvc"),
                                   dir.file("out.264")},
          std::vector<std::string>{"unitprobe", dir.file("base.264")}}) {
        std::vector<std::string> arguments{"-f", "rss %M", (tools / command[0]).string()};
        arguments.insert(arguments.end(), command.begin() + 1, command.end());
        auto result = runCommand("/usr/bin/time", arguments);
        ASSERT_EQ(result.status, 0) << command[0] << ": " << result.output;
        auto at = result.standardError.rfind("rss ");
        ASSERT_NE(at, std::string::npos) << result.standardError;
        EXPECT_LT(std::stol(result.standardError.substr(at + 4)), 40 * 1024) << command[0] << " (kilobytes)";
    }
    EXPECT_EQ(fs::file_size(dir / "out.264"), base.size() - 6); // all but the delimiter
}

// twinrow against ffmpeg's hstack of the same two pictures, both eye orders,
// and its refusal of a cut-off frame.
TEST(StreamTools, TwinrowJoinsViewsLikeHstack) {
    TempDir dir;
    const std::string left = dir.file("left.yuv"), right = dir.file("right.yuv");
    for (const auto& [filter, file] : {std::pair{"null", left}, std::pair{"negate,hflip", right}})
        ASSERT_EQ(runCommand("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=64x48:r=25:d=0.2",
                                        "-vf", filter, "-pix_fmt", "yuv420p", "-f", "rawvideo", file})
                      .status,
                  0);
    const Bytes leftBytes = readBytes(left), rightBytes = readBytes(right);
    const std::size_t picture = 64 * 48 * 3 / 2;
    ASSERT_EQ(leftBytes.size(), 5 * picture);
    Bytes alternating;
    for (std::size_t frame = 0; frame < 5; ++frame) {
        alternating.insert(alternating.end(), leftBytes.begin() + frame * picture,
                           leftBytes.begin() + (frame + 1) * picture);
        alternating.insert(alternating.end(), rightBytes.begin() + frame * picture,
                           rightBytes.begin() + (frame + 1) * picture);
    }
    writeBytes(dir / "views.yuv", alternating);
    writeBytes(dir / "three.yuv", Bytes(alternating.begin(), alternating.begin() + 3 * picture));
    writeBytes(dir / "short.yuv", Bytes(alternating.begin(), alternating.begin() + 100));
    for (bool swap : {false, true}) {
        const std::vector<std::string> raw{"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "64x48", "-i"};
        std::vector<std::string> hstack{"-v", "error"};
        for (const std::string& eye : {swap ? right : left, swap ? left : right}) {
            hstack.insert(hstack.end(), raw.begin(), raw.end());
            hstack.push_back(eye);
        }
        hstack.insert(hstack.end(), {"-filter_complex", "hstack", "-f", "rawvideo", "-"});
        auto expected = runCommand("ffmpeg", hstack);
        ASSERT_EQ(expected.status, 0) << expected.standardError;
        auto joined = runTool("twinrow",
                              swap ? std::vector<std::string>{"64", "48", "swap"}
                                   : std::vector<std::string>{"64", "48"},
                              dir / "views.yuv");
        EXPECT_TRUE(joined.standardOutput == expected.standardOutput) << swap;
        EXPECT_EQ(joined.standardError, "twinrow: done, 5 frames\n");
        // A segment's warm-up pairs are read and left out; the count still has them.
        auto skipped = runTool("twinrow",
                               swap ? std::vector<std::string>{"64", "48", "--skip", "2", "swap"}
                                    : std::vector<std::string>{"64", "48", "--skip", "2"},
                               dir / "views.yuv");
        EXPECT_TRUE(skipped.standardOutput == expected.standardOutput.substr(2 * 2 * picture)) << swap;
        EXPECT_EQ(skipped.standardError, "twinrow: done, 5 frames\n");
    }

    // Three pictures: the second frame lacks its right view.
    auto odd = runTool("twinrow", {"64", "48"}, dir / "three.yuv");
    EXPECT_EQ(odd.status, 1);
    EXPECT_EQ(odd.standardError.rfind("ERROR: twinrow: input ended inside frame 2", 0), 0u)
        << odd.standardError;
    EXPECT_EQ(runTool("twinrow", {"64", "48"}, dir / "short.yuv").status, 1);
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"64"},
                                               {"64", "47"},
                                               {"0", "48"},
                                               {"64", "48", "left"},
                                               {"64", "48", "--skip"},
                                               {"64", "48", "--skip", "-1"},
                                               {"-64", "48"},
                                               {"64", "48", "swap", "x"}}) {
        auto wrong = runTool("twinrow", arguments);
        EXPECT_EQ(wrong.status, 1) << arguments.size();
        EXPECT_EQ(wrong.standardError, "usage: twinrow <width> <height> [swap] [--skip N]\n")
            << arguments.size();
    }
    // The reader of the output goes away: a shell is the point here, for the pipe.
    runCommand("/bin/sh", {"-c",
                           "(head -c 20000000 /dev/zero | \"$0\" 64 48 2> \"$1/log.txt\"; echo $? > "
                           "\"$1/status.txt\") | head -c 10 > /dev/null",
                           (tools / "twinrow").string(), dir.path().string()});
    EXPECT_EQ(readFile(dir / "status.txt"), "1\n");
    EXPECT_EQ(readFile(dir / "log.txt").rfind("ERROR: twinrow: write error after ", 0), 0u)
        << readFile(dir / "log.txt");
}

// With the MVC decoder of this tree built, both views of a split-and-merged
// reference stream must decode to the reference checksums. A stream the
// decoder does not yet get right in its original form proves nothing here and
// is skipped.
TEST(StreamTools, MergedStreamsDecodeToReferenceViews) {
    const fs::path ldecod = tools / "ldecod";
    if (!fs::exists(ldecod)) GTEST_SKIP() << "ldecod is not built";
    auto reference = references();
    auto decode = [&](const TempDir& dir, const std::string& stream) {
        auto isView = [](const fs::path& file) {
            return file.filename().string().rfind("output_ViewId", 0) == 0;
        };
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (isView(entry.path())) fs::remove(entry.path());
        runCommand(ldecod.string(),
                   {"-p", "InputFile=" + stream, "-p", "OutputFile=output.yuv", "-p", "DecodeAllLayers=1"},
                   CommandOptions::inFolder(dir.path()));
        std::vector<fs::path> files; // non-empty view files in view id order
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (isView(entry.path()) && fs::file_size(entry.path()) > 0) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::vector<std::string> sums;
        for (const auto& file : files)
            sums.push_back(runCommand("md5sum", {file.string()}).standardOutput.substr(0, 32));
        return sums;
    };
    int checked = 0;
    for (const std::string file : {"MVCDS-5.264", "MVCSPS-1.264", "mvc_s4_cabac_idr8_slices_ivf0_320x240.264",
                                   "mvc_s9_s2_with_aud_eos_352x288.264"}) {
        TempDir dir;
        if (decode(dir, (mvcData / file).string()) != reference[file].viewMd5s) continue;
        ASSERT_EQ(
            runTool("twinsever", {(mvcData / file).string(), dir.file("b.264"), dir.file("d.mvc")}).status,
            0);
        ASSERT_EQ(runTool("unitmerge", {dir.file("b.264"), dir.file("d.mvc"), dir.file("merged.264")}).status,
                  0);
        EXPECT_EQ(decode(dir, dir.file("merged.264")), reference[file].viewMd5s) << file;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "ldecod does not yet decode these reference streams";
}
