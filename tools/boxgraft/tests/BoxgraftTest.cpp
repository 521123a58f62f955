// boxgraft on real files: two x265 segments with lhvC, concatenated by Debian's ffmpeg (which drops
// lhvC), repaired with one segment as reference. The repaired movie must equal the concatenation plus
// the box (sizes recomputed), its samples must be the segments' samples and ffmpeg must decode it.
#include "TestMedia.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace media;
using namespace media::testing;

namespace {

struct Media {
    ScratchDir dir{"boxgraft"};
    std::string segA, segB, concatEnd, concatStart;
    std::vector<std::vector<uint8_t>> samples; // segA then segB
    std::vector<std::string> md5;
};

Media* media_ = nullptr;

std::string concat(const std::vector<std::string>& segments, const std::string& out, bool faststart) {
    std::string list = out + ".txt";
    std::string text;
    for (const auto& s : segments)
        text += "file '" + s + "'\n";
    writeFile(list, {text.begin(), text.end()});
    std::vector<std::string> args = {"ffmpeg", "-v", "error", "-y", "-f", "concat",
                                     "-safe",  "0",  "-i",    list, "-c", "copy"};
    if (faststart) args.insert(args.end(), {"-movflags", "+faststart"});
    args.push_back(out);
    auto r = run(args);
    std::filesystem::remove(list);
    if (r.status != 0) throw std::runtime_error(r.output);
    return out;
}

class BoxgraftTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media_ = new Media;
        Media& m = *media_;
        // Made once per build tree and shared by the test processes.
        auto segment = [](const std::string& name, const char* pattern, uint8_t marker) {
            return cachedMedia(name, [&](const std::string& path) {
                HevcOptions o;
                o.pattern = pattern;
                makeHevcMovie(path + ".hevc.mov", o);
                makeStereoSegment(path + ".hevc.mov", path, {"hvc1", true, true, marker});
                std::filesystem::remove(path + ".hevc.mov");
            });
        };
        m.segA = segment("boxgraft-a.mov", "testsrc2", 0x11);
        m.segB = segment("boxgraft-b.mov", "testsrc", 0x22);
        m.concatEnd = cachedMedia("boxgraft-concat-end.mov", [&](const std::string& path) {
            concat({m.segA, m.segB}, path, false);
        });
        m.concatStart = cachedMedia("boxgraft-concat-start.mov", [&](const std::string& path) {
            concat({m.segA, m.segB}, path, true);
        });
        m.samples = videoSamples(m.segA);
        for (auto& s : videoSamples(m.segB))
            m.samples.push_back(std::move(s));
        m.md5 = decodedFrameMd5(m.segA);
        for (auto& s : decodedFrameMd5(m.segB))
            m.md5.push_back(s);
    }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }
    const Media& m() { return *media_; }
    std::string out(const std::string& name) { return media_->dir.file(name); }
};

CommandResult graft(const std::string& ref, const std::string& in, const std::string& out) {
    return runTool("boxgraft", {ref, in, out});
}

Box* findPath(std::vector<Box>& top, std::initializer_list<const char*> path) {
    std::vector<Box>* level = &top;
    Box* found = nullptr;
    for (const char* t : path) {
        found = nullptr;
        for (auto& b : *level)
            if (b.typeName() == t) found = &b;
        if (!found) return nullptr;
        level = &found->children;
    }
    return found;
}

Box* sampleEntry(std::vector<Box>& top) {
    Box* stsd = findPath(top, {"moov", "trak", "mdia", "minf", "stbl", "stsd"});
    return stsd && !stsd->children.empty() ? &stsd->children[0] : nullptr;
}

// The repaired file, with its lhvC taken out again and (when chunk offsets moved) the offsets moved
// back, must serialise to exactly the input: nothing else changed.
void expectOnlyGrafted(const std::string& input, const std::string& output, const std::vector<uint8_t>& lhvC,
                       bool offsetsMoved) {
    auto in = readFile(input);
    auto outBytes = readFile(output);
    ASSERT_EQ(outBytes.size(), in.size() + lhvC.size());
    auto tree = parseBoxes(outBytes.data(), outBytes.size());
    Box* entry = sampleEntry(tree);
    ASSERT_TRUE(entry);
    auto& kids = entry->children;
    size_t hvcC = 0;
    while (hvcC < kids.size() && kids[hvcC].typeName() != "hvcC")
        ++hvcC;
    ASSERT_LT(hvcC + 1, kids.size());
    ASSERT_EQ(kids[hvcC + 1].typeName(), "lhvC");
    std::vector<uint8_t> got;
    writeBox(kids[hvcC + 1], got);
    EXPECT_EQ(got, lhvC);
    kids.erase(kids.begin() + std::ptrdiff_t(hvcC + 1));
    if (offsetsMoved) {
        Box* stbl = findPath(tree, {"moov", "trak", "mdia", "minf", "stbl"});
        Box* stco = stbl->find(fourcc("stco"));
        ASSERT_TRUE(stco);
        uint32_t n = readBE32(stco->payload.data() + 4);
        for (uint32_t k = 0; k < n; ++k) {
            uint8_t* p = stco->payload.data() + 8 + 4 * k;
            writeBE32(p, readBE32(p) - uint32_t(lhvC.size()));
        }
    }
    std::vector<uint8_t> back;
    writeBoxes(tree, back);
    EXPECT_TRUE(back == in) << "output differs from input beyond the graft";
}

} // namespace

TEST_F(BoxgraftTest, ConcatenationLosesLhvCAndGraftRestoresIt) {
    for (bool moovFirst : {false, true}) {
        SCOPED_TRACE(moovFirst ? "moov before mdat" : "mdat before moov");
        const std::string& input = moovFirst ? m().concatStart : m().concatEnd;
        std::string inBytes;
        {
            auto b = readFile(input);
            inBytes.assign(b.begin(), b.end());
        }
        ASSERT_EQ(inBytes.find("lhvC"), std::string::npos) << "ffmpeg kept lhvC; the premise changed";
        std::string output = out(moovFirst ? "fixed-start.mov" : "fixed-end.mov");
        auto r = graft(m().segB, input, output);
        ASSERT_EQ(r.status, 0) << r.output;
        // Every size and offset is judged by expectOnlyGrafted; the closing line stands for the log.
        EXPECT_NE(r.output.find("✅ Done! Output: " + output + " (0 MB)"), std::string::npos) << r.output;
        expectOnlyGrafted(input, output, fakeLhvC(0x22), moovFirst);
        EXPECT_EQ(videoSamples(output), m().samples);
        EXPECT_EQ(decodedFrameMd5(output), m().md5);
    }
}

TEST_F(BoxgraftTest, LhvCAlreadyPresentGivesByteIdenticalCopy) {
    std::string output = out("same.mov");
    auto r = graft(m().segB, m().segA, output);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("lhvC already present — nothing to do"), std::string::npos) << r.output;
    EXPECT_EQ(readFile(output), readFile(m().segA));
}

TEST_F(BoxgraftTest, TopLevelSizeZeroAnd64BitBoxes) {
    // mdat last with size 0 (moov first) and mdat with a 64-bit size that swallows ffmpeg's `wide`.
    auto start = readFile(m().concatStart);
    auto tops = parseBoxes(start.data(), start.size());
    ASSERT_EQ(tops.back().typeName(), "mdat");
    uint64_t mdatAt = start.size() - tops.back().serializedSize();
    writeBE32(start.data() + mdatAt, 0);
    std::string sizeZero = out("size0.mov");
    writeFile(sizeZero, start);

    auto end = readFile(m().concatEnd);
    std::string text(end.begin(), end.end());
    size_t wide = text.find("wide");
    ASSERT_NE(wide, std::string::npos);
    size_t wideAt = wide - 4;
    ASSERT_EQ(text.substr(wideAt + 12, 4), "mdat");
    uint64_t mdatSize = readBE32(end.data() + wideAt + 8) + 8;
    writeBE32(end.data() + wideAt, 1);
    std::memcpy(end.data() + wideAt + 4, "mdat", 4);
    writeBE64(end.data() + wideAt + 8, mdatSize);
    std::string large = out("large.mov");
    writeFile(large, end);

    for (const std::string& input : {sizeZero, large}) {
        SCOPED_TRACE(input);
        std::string output = input + ".fixed.mov";
        auto r = graft(m().segA, input, output);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(readFile(output).size(), readFile(input).size() + fakeLhvC(0x11).size());
        EXPECT_EQ(videoSamples(output), m().samples);
        EXPECT_EQ(decodedFrameMd5(output), m().md5);
    }
}

TEST_F(BoxgraftTest, Hev1EntryWithHvcCAsLastChild) {
    // hvcC last in its entry and the entry last in stsd: the insertion point is the end of hev1 and stsd,
    // which must grow too, or the file breaks.
    auto bytes = readFile(m().concatEnd);
    auto tree = parseBoxes(bytes.data(), bytes.size());
    Box* entry = sampleEntry(tree);
    ASSERT_TRUE(entry);
    entry->type = fourcc("hev1");
    while (entry->children.back().typeName() != "hvcC")
        entry->children.pop_back();
    std::vector<uint8_t> edited;
    writeBoxes(tree, edited);
    // Keep the media where it was: the moov is last, so only its own bytes changed.
    ASSERT_EQ(std::string(edited.begin(), edited.begin() + 64),
              std::string(bytes.begin(), bytes.begin() + 64));
    std::string input = out("hev1.mov");
    writeFile(input, edited);

    std::string output = out("hev1-fixed.mov");
    auto r = graft(m().segA, input, output);
    ASSERT_EQ(r.status, 0) << r.output;
    expectOnlyGrafted(input, output, fakeLhvC(0x11), false);
    EXPECT_EQ(videoSamples(output), m().samples);
    EXPECT_EQ(decodedFrameMd5(output), m().md5);
}

TEST_F(BoxgraftTest, ErrorsLeaveNoOutput) {
    std::string output = out("never.mov");
    auto textFile = out("text.mov");
    std::string text = "plain text, not a movie\n";
    writeFile(textFile, {text.begin(), text.end()});
    auto whole = readFile(m().concatEnd);
    std::string truncated = out("truncated.mov");
    writeFile(truncated, {whole.begin(), whole.begin() + std::ptrdiff_t(whole.size() / 2)});
    // An stco entry just below 4 GiB cannot move by the box's size.
    auto start = readFile(m().concatStart);
    std::string s(start.begin(), start.end());
    size_t stco = s.find("stco");
    ASSERT_NE(stco, std::string::npos);
    writeBE32(start.data() + stco + 12, 0xFFFFFFF0u);
    std::string overflow = out("overflow.mov");
    writeFile(overflow, start);

    // A moov nesting 200000 trak boxes: the walks must give up, not overflow the stack.
    const uint32_t depth = 200000;
    std::vector<uint8_t> deep(8 + 8 * size_t(depth));
    for (uint32_t k = 0; k <= depth; ++k) {
        writeBE32(deep.data() + 8 * k, uint32_t(deep.size() - 8 * k));
        std::memcpy(deep.data() + 8 * k + 4, k == 0 ? "moov" : "trak", 4);
    }
    std::string nested = out("nested.mov");
    writeFile(nested, deep);

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{m().segA, m().concatEnd},
         "Usage: boxgraft <reference-segment.mov> <ffmpeg-concat.mov> <output.mov>"},
        {{out("missing.mov"), m().concatEnd, output}, "ERROR: Cannot read reference: " + out("missing.mov")},
        {{m().concatEnd, m().concatEnd, output}, "ERROR: No lhvC in reference"},
        {{m().segA, out("missing.mov"), output}, "ERROR: Cannot open input: " + out("missing.mov")},
        {{m().segA, textFile, output}, "ERROR: Box "},
        {{m().segA, truncated, output}, "(truncated or not a movie)"},
        {{m().segA, overflow, output}, "ERROR: Chunk offset in stco"},
        {{m().segA, nested, output}, "ERROR: Cannot find hvcC in moov"},
        {{m().segA, m().concatEnd, out("no/such/folder/x.mov")}, "ERROR: Cannot create output"},
        {{m().segA, m().concatEnd, m().concatEnd}, "ERROR: Output must be a new file"},
    };
    auto before = readFile(m().concatEnd);
    for (const auto& c : cases) {
        auto r = runTool("boxgraft", c.args);
        EXPECT_EQ(r.status, 1) << c.message << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(output)) << c.message;
    }
    EXPECT_EQ(readFile(m().concatEnd), before);
    // No moov at all: only an mdat.
    std::string onlyMdat = out("only-mdat.mov");
    writeFile(onlyMdat, {0, 0, 0, 12, 'm', 'd', 'a', 't', 1, 2, 3, 4});
    auto r = graft(m().segA, onlyMdat, output);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("ERROR: No moov box"), std::string::npos) << r.output;
}

TEST_F(BoxgraftTest, ReferenceLhvCComesFromItsSampleEntry) {
    // "lhvC" bytes with a plausible size inside the reference's media must not be taken for the box.
    auto ref = readFile(m().segA);
    std::string text(ref.begin(), ref.end());
    size_t mdat = text.find("mdat");
    ASSERT_NE(mdat, std::string::npos);
    const uint8_t decoy[16] = {0, 0, 0, 16, 'l', 'h', 'v', 'C', 9, 9, 9, 9, 9, 9, 9, 9};
    std::copy(decoy, decoy + 16, ref.begin() + std::ptrdiff_t(mdat + 40));
    std::string decoyRef = out("decoy-ref.mov");
    writeFile(decoyRef, ref);
    std::string output = out("decoy-fixed.mov");
    auto r = graft(decoyRef, m().concatEnd, output);
    ASSERT_EQ(r.status, 0) << r.output;
    expectOnlyGrafted(m().concatEnd, output, fakeLhvC(0x11), false);

    // A reference that is not a movie at all still yields its lhvC through the byte search.
    std::vector<uint8_t> raw(100, 0xEE);
    auto box = fakeLhvC(0x33);
    raw.insert(raw.end(), box.begin(), box.end());
    raw.insert(raw.end(), 50, 0xEE);
    std::string rawRef = out("raw-ref.bin");
    writeFile(rawRef, raw);
    r = graft(rawRef, m().concatEnd, output);
    ASSERT_EQ(r.status, 0) << r.output;
    expectOnlyGrafted(m().concatEnd, output, box, false);
}
