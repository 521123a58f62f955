// The stream tools as programs: round trips on generated and reference MVC
// streams, exact probe lines, twinrow against ffmpeg's hstack, and errors.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const fs::path tools = DUOSCOPE_TOOLS_DIR;
const fs::path mvcData = fs::path(DUOSCOPE_TESTDATA_DIR) / "mvc";

// Scratch folders and files come from the shared test support; the tools'
// streams are bytes.
struct TempDir : duoscope::test::ScratchFolder {
    TempDir() : ScratchFolder("streamtools") {}
};

void writeFile(const fs::path& path, const Bytes& bytes) {
    duoscope::test::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

Bytes readFile(const fs::path& path) {
    const std::string text = duoscope::test::readFile(path);
    return Bytes(text.begin(), text.end());
}

std::string readText(const fs::path& path) {
    return duoscope::test::readFile(path);
}

std::string quote(const std::string& text) {
    return "'" + text + "'";
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

// Runs a shell command line with standard output and error captured.
Result run(const TempDir& dir, const std::string& command) {
    const std::string line = command + " > " + quote((dir / "stdout.txt").string()) + " 2> " +
                             quote((dir / "stderr.txt").string());
    const int raw = std::system(line.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readText(dir / "stdout.txt"),
            readText(dir / "stderr.txt")};
}

std::string tool(const std::string& name) {
    return quote((tools / name).string());
}

Bytes nal(std::uint8_t header, Bytes payload, bool fourByteStartCode = true) {
    Bytes out = fourByteStartCode ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1};
    out.push_back(header);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void append(Bytes& to, const Bytes& part) {
    to.insert(to.end(), part.begin(), part.end());
}

// A base stream and a dependent stream as a Blu-ray demultiplexer writes them:
// every access unit opened by its delimiter, parameter sets at each IDR.
struct ViewStreams {
    Bytes base, dependent;
};
ViewStreams generatedViews(int units) {
    const Bytes aud = nal(0x09, {0xF0}), mvcDelimiter = nal(0x18, {0xF0});
    ViewStreams views;
    for (int k = 0; k < units; ++k) {
        const auto tag = static_cast<std::uint8_t>(k + 1);
        const bool isIdr = k % 10 == 0;
        append(views.base, aud);
        if (isIdr) {
            append(views.base, nal(0x67, {0x64, 0x00, 0x28}));
            append(views.base, nal(0x68, {0xEE, 0x3C, 0x80}, false));
        }
        append(views.base, nal(0x06, {0x05, tag}));
        append(views.base, nal(isIdr ? 0x65 : 0x01, {0x88, tag, 0x00, 0x00, 0x03, 0x01}));
        append(views.base, nal(isIdr ? 0x65 : 0x01, {0x40, tag}, k % 3 == 0)); // second slice
        append(views.dependent, mvcDelimiter);
        if (isIdr) {
            append(views.dependent, nal(0x6F, {0x80, 0x00, 0x28}));
            append(views.dependent, nal(0x68, {0xFE, 0x3C}));
        }
        if (k % 4 == 1) append(views.dependent, nal(0x06, {0x25, tag})); // SEI of the dependent view alone
        const std::uint8_t anchor = isIdr ? 0x47 : 0x43;
        append(views.dependent, nal(0x74, {0x40, 0x00, anchor, 0x88, tag}));
        append(views.dependent, nal(0x74, {0x40, 0x00, anchor, 0x40, tag}, false));
    }
    return views;
}

} // namespace

// unitmerge then twinsever gives back both view streams byte for byte, and
// unitmerge of those gives back the interleaved stream.
TEST(StreamTools, SeverAndMergeRoundTripOnGeneratedStreams) {
    TempDir dir;
    ViewStreams views = generatedViews(25);
    writeFile(dir / "base.264", views.base);
    writeFile(dir / "dep.mvc", views.dependent);
    Result merged =
        run(dir, tool("unitmerge") + " " + quote((dir / "base.264").string()) + " " +
                     quote((dir / "dep.mvc").string()) + " " + quote((dir / "merged.264").string()));
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_EQ(merged.err, "unitmerge: done, 25 pairs written\n");

    Result severed =
        run(dir, tool("twinsever") + " " + quote((dir / "merged.264").string()) + " " +
                     quote((dir / "base2.264").string()) + " " + quote((dir / "dep2.mvc").string()));
    ASSERT_EQ(severed.status, 0) << severed.err;
    EXPECT_TRUE(readFile(dir / "base2.264") == views.base);
    EXPECT_TRUE(readFile(dir / "dep2.mvc") == views.dependent);

    Result again = run(dir, tool("unitmerge") + " " + quote((dir / "base2.264").string()) + " " +
                                quote((dir / "dep2.mvc").string()) + " -");
    ASSERT_EQ(again.status, 0);
    EXPECT_TRUE(Bytes(again.out.begin(), again.out.end()) == readFile(dir / "merged.264"));

    // Every tenth unit is an IDR with an anchor dependent view.
    Result probe = run(dir, tool("unitprobe") + " --summary " + quote((dir / "merged.264").string()));
    EXPECT_EQ(probe.status, 0);
    EXPECT_EQ(probe.out, "access_units 25\nrandom_access_points 3\nbytes " +
                             std::to_string(fs::file_size(dir / "merged.264")) + "\n");
}

// The reference MVC streams: split, merge, split and merge again is stable, the
// access units are the pictures, and the base view alone decodes (ffmpeg) to the
// reference checksum of view 0.
TEST(StreamTools, ReferenceStreamsSplitIntoDecodableViews) {
    std::map<std::string, std::pair<int, std::string>> reference; // frames, view-0 md5
    std::istringstream table(readText(mvcData / "md5.txt"));
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string file, order, viewId, size, md5;
        int frames = 0;
        fields >> file >> order >> viewId >> frames >> size >> md5;
        if (order == "0") reference[file] = {frames, md5};
    }
    ASSERT_GE(reference.size(), 10u);
    for (const auto& [file, expected] : reference) {
        TempDir dir;
        const std::string input = quote((mvcData / file).string());
        const std::string base = quote((dir / "b.264").string()), dependent = quote((dir / "d.mvc").string());
        const std::string merged = quote((dir / "m.264").string());
        Result probe = run(dir, tool("unitprobe") + " " + input);
        ASSERT_EQ(probe.status, 0) << file << probe.err;
        EXPECT_EQ(std::count(probe.out.begin(), probe.out.end(), '\n'), expected.first) << file;
        EXPECT_EQ(probe.out.rfind("0 0 ", 0), 0u) << file;

        ASSERT_EQ(run(dir, tool("twinsever") + " " + input + " " + base + " " + dependent).status, 0) << file;
        ASSERT_EQ(run(dir, tool("unitmerge") + " " + base + " " + dependent + " " + merged).status, 0)
            << file;
        ASSERT_EQ(run(dir, tool("twinsever") + " " + merged + " " + base + " " + dependent).status, 0)
            << file;
        Result again = run(dir, tool("unitmerge") + " " + base + " " + dependent + " -");
        EXPECT_TRUE(Bytes(again.out.begin(), again.out.end()) == readFile(dir / "m.264")) << file;

        Result decoded = run(dir, "ffmpeg -v error -i " + base + " -f rawvideo -pix_fmt yuv420p - | md5sum");
        EXPECT_EQ(decoded.out.substr(0, 32), expected.second) << file;
    }
}

TEST(StreamTools, ProbeListsAccessUnitsAndNalUnits) {
    TempDir dir;
    ViewStreams views = generatedViews(2);
    writeFile(dir / "base.264", views.base);
    Result units = run(dir, tool("unitprobe") + " " + quote((dir / "base.264").string()));
    EXPECT_EQ(units.status, 0);
    // Unit 0: AUD 6 + SPS 8 + PPS 7 + SEI 7 + IDR slices 11 and 7 (3-byte code) = 46 bytes.
    EXPECT_EQ(units.out, "0 0 46 1\n1 46 30 0\n");
    Result nals = run(dir, tool("unitprobe") + " --nal " + quote((dir / "base.264").string()));
    EXPECT_EQ(nals.out.rfind("0 6 9\n6 8 7\n14 7 8\n21 7 6\n28 11 5\n39 7 5\n46 6 9\n", 0), 0u) << nals.out;
}

TEST(StreamTools, MergeReportsUnequalStreamsLikeTheInterleaver) {
    TempDir dir;
    writeFile(dir / "base.264", generatedViews(103).base);
    writeFile(dir / "dep.mvc", generatedViews(100).dependent);
    Result few = run(dir, tool("unitmerge") + " " + quote((dir / "base.264").string()) + " " +
                              quote((dir / "dep.mvc").string()) + " " + quote((dir / "out.264").string()));
    EXPECT_EQ(few.status, 0);
    EXPECT_EQ(few.err,
              "unitmerge: base stream has 2 extra AUs (ignored)\nunitmerge: done, 100 pairs written\n");

    writeFile(dir / "base.264", generatedViews(100).base);
    writeFile(dir / "dep.mvc", generatedViews(110).dependent);
    Result many = run(dir, tool("unitmerge") + " " + quote((dir / "base.264").string()) + " " +
                               quote((dir / "dep.mvc").string()) + " " + quote((dir / "out.264").string()));
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(many.err, "ERROR: Access unit count mismatch: base=100, MVC=109\n");
}

TEST(StreamTools, BadUseAndBadInput) {
    TempDir dir;
    writeFile(dir / "empty.264", {});
    writeFile(dir / "noise.264", Bytes(3000, 0x47));
    ViewStreams views = generatedViews(3);
    writeFile(dir / "base.264", views.base);
    writeFile(dir / "dependent.mvc", views.dependent);
    const std::string dependent = quote((dir / "dependent.mvc").string());
    const std::string missing = quote((dir / "missing.264").string());
    const std::string empty = quote((dir / "empty.264").string()),
                      noise = quote((dir / "noise.264").string());
    const std::string base = quote((dir / "base.264").string()), out = quote((dir / "out.264").string());
    struct Case {
        std::string command;
        int status;
        std::string errorStart; // of standard error
    };
    const std::vector<Case> cases{
        {tool("unitmerge"), 1, "usage: unitmerge "},
        {tool("unitmerge") + " --help", 0, ""},
        {tool("unitmerge") + " " + missing + " " + base + " " + out, 1, "ERROR: cannot open "},
        {tool("unitmerge") + " " + noise + " " + base + " " + out, 1, "ERROR: "},
        {tool("unitmerge") + " " + base + " " + base + " " + base, 1, "ERROR: "},
        // Nothing to pair is no success: swapped inputs, two empty files.
        {tool("unitmerge") + " " + dependent + " " + base + " " + out, 1, "ERROR: no access unit to pair"},
        {tool("unitmerge") + " " + empty + " " + empty + " " + out, 1, "ERROR: no access unit to pair"},
        // A size no film has is refused before any memory is taken.
        {"head -c 10 /dev/zero | " + tool("twinrow") + " 65536 65536", 1,
         "ERROR: twinrow: 65536x65536 is larger"},
        {tool("twinsever") + " " + base, 1, "usage: twinsever "},
        {tool("twinsever") + " " + empty + " " + out + " " + out + "2", 1, "ERROR: "},
        {tool("twinsever") + " " + noise + " " + out + " " + out + "2", 1, "ERROR: "},
        // A base view alone has no dependent view to split off.
        {tool("twinsever") + " " + base + " " + out + " " + out + "2", 1, "ERROR: "},
        {tool("unitprobe"), 1, "usage: unitprobe "},
        {tool("unitprobe") + " --bogus " + base, 1, "usage: unitprobe "},
        {tool("unitprobe") + " " + missing, 1, "ERROR: cannot open "},
        {tool("unitprobe") + " " + empty, 1, "ERROR: "},
        {tool("unitprobe") + " " + noise, 1, "ERROR: "},
        {tool("unitprobe") + " --help", 0, ""},
    };
    for (const auto& c : cases) {
        Result result = run(dir, c.command);
        EXPECT_EQ(result.status, c.status) << c.command;
        EXPECT_EQ(result.err.rfind(c.errorStart, 0), 0u) << c.command << ": " << result.err;
    }
    EXPECT_TRUE(readFile(dir / "base.264") == views.base); // an output naming an input is refused
    EXPECT_FALSE(fs::exists(dir / "out.264"));             // failed splits leave no half-written views
}

// One NAL unit far larger than the tools' buffers passes through in pieces.
TEST(StreamTools, AHugeNalUnitTakesLittleMemory) {
    TempDir dir;
    constexpr std::size_t huge = 64u << 20;
    Bytes base = nal(0x09, {0x10});
    append(base, nal(0x65, Bytes(huge, 0xFF)));
    writeFile(dir / "base.264", base);
    writeFile(dir / "dependent.mvc", nal(0x18, {0x10}));
    for (const std::string& command :
         {tool("unitmerge") + " " + quote((dir / "base.264").string()) + " " +
              quote((dir / "dependent.mvc").string()) + " " + quote((dir / "out.264").string()),
          tool("unitprobe") + " " + quote((dir / "base.264").string())}) {
        Result result = run(dir, "/usr/bin/time -f 'rss %M' " + command);
        ASSERT_EQ(result.status, 0) << command << ": " << result.err;
        auto at = result.err.rfind("rss ");
        ASSERT_NE(at, std::string::npos) << result.err;
        EXPECT_LT(std::stol(result.err.substr(at + 4)), 40 * 1024) << command << " (kilobytes)";
    }
    EXPECT_EQ(fs::file_size(dir / "out.264"), base.size() - 6); // all but the delimiter
}

// twinrow against ffmpeg's hstack of the same two pictures, both eye orders,
// and its refusal of a cut-off frame.
TEST(StreamTools, TwinrowJoinsViewsLikeHstack) {
    TempDir dir;
    const std::string left = quote((dir / "left.yuv").string()), right = quote((dir / "right.yuv").string());
    ASSERT_EQ(
        run(dir, "ffmpeg -v error -f lavfi -i testsrc2=s=64x48:r=25:d=0.2 -pix_fmt yuv420p -f rawvideo " +
                     left +
                     " && ffmpeg -v error -f lavfi -i testsrc2=s=64x48:r=25:d=0.2 -vf negate,hflip "
                     "-pix_fmt yuv420p -f rawvideo " +
                     right)
            .status,
        0);
    const Bytes leftBytes = readFile(dir / "left.yuv"), rightBytes = readFile(dir / "right.yuv");
    const std::size_t picture = 64 * 48 * 3 / 2;
    ASSERT_EQ(leftBytes.size(), 5 * picture);
    Bytes alternating;
    for (std::size_t frame = 0; frame < 5; ++frame) {
        alternating.insert(alternating.end(), leftBytes.begin() + frame * picture,
                           leftBytes.begin() + (frame + 1) * picture);
        alternating.insert(alternating.end(), rightBytes.begin() + frame * picture,
                           rightBytes.begin() + (frame + 1) * picture);
    }
    writeFile(dir / "views.yuv", alternating);
    const std::string views = quote((dir / "views.yuv").string());
    for (bool swap : {false, true}) {
        const std::string first = swap ? right : left, second = swap ? left : right;
        Result expected = run(dir, "ffmpeg -v error -f rawvideo -pix_fmt yuv420p -s 64x48 -i " + first +
                                       " -f rawvideo -pix_fmt yuv420p -s 64x48 -i " + second +
                                       " -filter_complex hstack -f rawvideo - | md5sum");
        Result joined = run(dir, "cat " + views + " | " + tool("twinrow") + " 64 48" + (swap ? " swap" : "") +
                                     " 2> " + quote((dir / "log.txt").string()) + " | md5sum");
        EXPECT_EQ(joined.out, expected.out) << swap;
        EXPECT_EQ(readText(dir / "log.txt"), "twinrow: done, 5 frames\n");
    }

    // Three pictures: the second frame lacks its right view.
    Result odd = run(dir, "head -c " + std::to_string(3 * picture) + " " + views + " | " + tool("twinrow") +
                              " 64 48 > /dev/null");
    EXPECT_EQ(odd.status, 1);
    EXPECT_EQ(odd.err.rfind("ERROR: twinrow: input ended inside frame 2", 0), 0u) << odd.err;
    Result partial = run(dir, "head -c 100 " + views + " | " + tool("twinrow") + " 64 48 > /dev/null");
    EXPECT_EQ(partial.status, 1);
    for (const char* arguments : {"", "64", "64 47", "0 48", "64 48 left", "-64 48", "64 48 swap x"}) {
        Result wrong = run(dir, tool("twinrow") + " " + std::string(arguments) + " < /dev/null");
        EXPECT_EQ(wrong.status, 1) << arguments;
        EXPECT_EQ(wrong.err, "usage: twinrow <width> <height> [swap]\n") << arguments;
    }
    // The reader of the output goes away.
    run(dir, "(head -c 20000000 /dev/zero | " + tool("twinrow") + " 64 48 2> " +
                 quote((dir / "log.txt").string()) + "; echo $? > " + quote((dir / "status.txt").string()) +
                 ") | head -c 10 > /dev/null");
    EXPECT_EQ(readText(dir / "status.txt"), "1\n");
    EXPECT_EQ(readText(dir / "log.txt").rfind("ERROR: twinrow: write error after ", 0), 0u)
        << readText(dir / "log.txt");
}

// With the MVC decoder of this tree built, both views of a split-and-merged
// reference stream must decode to the reference checksums. A stream the
// decoder does not yet get right in its original form proves nothing here and
// is skipped.
TEST(StreamTools, MergedStreamsDecodeToReferenceViews) {
    const fs::path ldecod = tools / "ldecod";
    if (!fs::exists(ldecod)) GTEST_SKIP() << "ldecod is not built";
    std::map<std::string, std::vector<std::string>> reference; // file -> md5 per view order
    std::istringstream table(readText(mvcData / "md5.txt"));
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string file, order, viewId, frames, size, md5;
        fields >> file >> order >> viewId >> frames >> size >> md5;
        reference[file].push_back(md5);
    }
    auto decode = [&](const TempDir& dir, const std::string& stream) {
        for (const auto& entry : fs::directory_iterator(dir / ""))
            if (entry.path().filename().string().rfind("output_ViewId", 0) == 0) fs::remove(entry.path());
        run(dir, "cd " + quote((dir / "").string()) + " && " + quote(ldecod.string()) +
                     " -p InputFile=" + quote(stream) + " -p OutputFile=output.yuv -p DecodeAllLayers=1");
        std::vector<std::string> sums; // non-empty view files in view id order
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir / ""))
            if (entry.path().filename().string().rfind("output_ViewId", 0) == 0 &&
                fs::file_size(entry.path()) > 0)
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
            sums.push_back(run(dir, "md5sum < " + quote(file.string())).out.substr(0, 32));
        return sums;
    };
    int checked = 0;
    for (const std::string file : {"MVCDS-5.264", "MVCSPS-1.264", "mvc_s4_cabac_idr8_slices_ivf0_320x240.264",
                                   "mvc_s9_s2_with_aud_eos_352x288.264"}) {
        TempDir dir;
        if (decode(dir, (mvcData / file).string()) != reference[file]) continue;
        const std::string base = quote((dir / "b.264").string()), dependent = quote((dir / "d.mvc").string());
        ASSERT_EQ(run(dir, tool("twinsever") + " " + quote((mvcData / file).string()) + " " + base + " " +
                               dependent)
                      .status,
                  0);
        ASSERT_EQ(run(dir, tool("unitmerge") + " " + base + " " + dependent + " " +
                               quote((dir / "merged.264").string()))
                      .status,
                  0);
        EXPECT_EQ(decode(dir, (dir / "merged.264").string()), reference[file]) << file;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "ldecod does not yet decode these reference streams";
}
