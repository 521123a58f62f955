// Box code and movie reader/writer: bytes → parse → dump → write gives the same bytes, and what the
// writer stores the reader gives back (times, flags, sample bytes, sample entry). How the reader
// takes Apple's own movie apart is judged in hevc/tests/GoldenFileTest.
#include "Box.h"
#include "MovieReader.h"
#include "MovieWriter.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace media;
namespace fs = std::filesystem;

namespace {

using duoscope::test::readBytes;

const fs::path kApple = fs::path(DUOSCOPE_TESTDATA_DIR) / "mvhevc/apple-stereo-spatial-160x120.mp4";

// A file in this test process's scratch folder, removed when the process ends.
fs::path tempPath(const std::string& name) {
    static const duoscope::test::ScratchFolder folder("isobmff-test");
    return folder / name;
}

std::vector<uint8_t> fakeEntry(const char* type, uint8_t fill) {
    BoxWriter w;
    w.beginBox(type);
    w.zeros(6);
    w.u16(1);
    w.zeros(70);
    w.beginBox("hvcC");
    w.zeros(23);
    w.u8(fill);
    w.endBox();
    w.endBox();
    return w.take();
}

} // namespace

TEST(BoxTest, HeaderFormsAndBounds) {
    // 32-bit, 64-bit and to-end sizes; a size beyond the space and one below the header are errors.
    uint8_t b32[8] = {0, 0, 0, 8, 'f', 'r', 'e', 'e'};
    auto h = parseBoxHeader(b32, 100, 5);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->size, 8u);
    EXPECT_EQ(h->typeName(), "free");
    EXPECT_EQ(h->offset, 5u);

    uint8_t b64[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0, 0, 0, 0};
    h = parseBoxHeader(b64, 1ull << 33, 0);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->isLargeSize);
    EXPECT_EQ(h->headerSize, 16u);
    EXPECT_EQ(h->size, 1ull << 32);
    EXPECT_THROW(parseBoxHeader(b64, 100, 0), FormatError);
    EXPECT_FALSE(parseBoxHeader(b64, 12, 0)); // 64-bit header cut short

    uint8_t b0[8] = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
    h = parseBoxHeader(b0, 1234, 0);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->runsToEnd);
    EXPECT_EQ(h->size, 1234u);

    uint8_t tiny[8] = {0, 0, 0, 4, 'a', 'b', 'c', 'd'};
    EXPECT_THROW(parseBoxHeader(tiny, 8, 0), FormatError);
    EXPECT_EQ(fourccToString(0x01020304), "????");

    uint8_t bytes[3] = {1, 2, 3};
    ByteReader r(bytes, 3, 100, "test");
    EXPECT_EQ(r.u16(), 0x0102);
    try {
        r.u32();
        FAIL();
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("offset 102"), std::string::npos) << e.what();
    }
}

TEST(BoxTest, WriterNestsAndWidens) {
    BoxWriter w;
    w.beginBox("moov");
    w.beginFullBox("mvhd", 1, 0x000203);
    w.u32(7);
    w.endBox();
    w.endBox();
    const auto& d = w.data();
    ASSERT_EQ(d.size(), 24u);
    EXPECT_EQ(readBE32(d.data()), 24u);
    EXPECT_EQ(readBE32(d.data() + 8), 16u);
    EXPECT_EQ(readBE32(d.data() + 16), 0x01000203u);

    // A leaf box larger than 4 GiB is written with a 64-bit header; built from a tree to avoid 4 GiB of RAM
    // in the writer itself: serializedSize decides the header form.
    Box big;
    big.type = fourcc("mdat");
    big.payload.resize(16);
    big.isLargeSize = true;
    std::vector<uint8_t> out;
    writeBox(big, out);
    EXPECT_EQ(out.size(), 32u);
    EXPECT_EQ(readBE32(out.data()), 1u);
    EXPECT_EQ(readBE64(out.data() + 8), 32u);
}

TEST(BoxTest, AppleMovieRoundTripsByteForByte) {
    auto bytes = readBytes(kApple);
    ASSERT_GT(bytes.size(), 1000u);
    auto boxes = parseBoxes(bytes.data(), bytes.size());
    std::string dump = dumpBoxes(boxes);
    for (const char* t : {"ftyp", "moov", "trak", "stsd", "hvc1", "hvcC", "lhvC", "vexu", "eyes", "stri",
                          "hero", "blin", "dadj", "hfov", "stco", "mdat"})
        EXPECT_NE(dump.find(t), std::string::npos) << t << "\n" << dump;
    std::vector<uint8_t> written;
    writeBoxes(boxes, written);
    EXPECT_EQ(written, bytes);

    // Any inner edit propagates to the ancestors' sizes on write.
    Box* stsd = boxes[1].type == fourcc("moov") ? &boxes[1] : nullptr;
    for (auto& b : boxes)
        if (b.type == fourcc("moov")) stsd = &b;
    ASSERT_TRUE(stsd);
    uint64_t before = stsd->serializedSize();
    Box* hvc1 = stsd->find(fourcc("trak"))
                    ->find(fourcc("mdia"))
                    ->find(fourcc("minf"))
                    ->find(fourcc("stbl"))
                    ->find(fourcc("stsd"))
                    ->find(fourcc("hvc1"));
    ASSERT_TRUE(hvc1);
    Box extra;
    extra.type = fourcc("free");
    extra.payload.resize(5);
    hvc1->children.push_back(extra);
    EXPECT_EQ(stsd->serializedSize(), before + 13);
}

TEST(MovieWriterTest, WhatIsWrittenReadsBackAndRoundTrips) {
    // Two tracks, B-frame style times (presentation before decode for some samples → negative offsets),
    // interleaved chunks, non-sync samples, and a video track that starts its decode times below zero.
    fs::path path = tempPath("roundtrip.mov");
    auto entry = fakeEntry("hvc1", 0x5a);
    struct S {
        int64_t dts, pts;
        bool sync;
    };
    // Decode order I0 P3 B1 B2 P6 B4 B5 at 1001/24000, decode times shifted two frames early.
    std::vector<S> video = {{-2002, 0, true},    {-1001, 3003, false}, {0, 1001, false},
                            {1001, 2002, false}, {2002, 6006, false},  {3003, 4004, false},
                            {4004, 5005, false}};
    {
        MovieWriter w(path.string());
        int tv = w.addTrack({"vide", 24000, 160, 120, entry, 0x55C4, std::nullopt});
        BoxWriter a;
        a.beginBox("mp4a");
        a.zeros(28);
        a.endBox();
        int ta = w.addTrack({"soun", 48000, 0, 0, a.take(), 0x55C4, std::nullopt});
        for (size_t i = 0; i < video.size(); ++i) {
            std::vector<uint8_t> data(100 + i * 7, uint8_t(i));
            w.addSample(tv, data.data(), data.size(), video[i].dts, video[i].pts, 1001, video[i].sync);
            std::vector<uint8_t> audio(10, uint8_t(0xa0 + i));
            w.addSample(ta, audio.data(), audio.size(), int64_t(i) * 1024, int64_t(i) * 1024, 1024, true);
        }
        EXPECT_THROW(w.addSample(tv, entry.data(), 1, 4004, 4004, 1001, true), std::invalid_argument);
        w.finish();
    }
    MovieReader r(path.string());
    ASSERT_EQ(r.tracks().size(), 2u);
    const TrackInfo& v = r.tracks()[0];
    EXPECT_EQ(v.handlerType, "vide");
    EXPECT_EQ(v.sampleEntry, entry);
    EXPECT_EQ(v.timescale, 24000u);
    ASSERT_EQ(v.samples.size(), video.size());
    std::vector<uint8_t> buf;
    for (size_t i = 0; i < video.size(); ++i) {
        const SampleInfo& s = v.samples[i];
        EXPECT_EQ(s.decodeTime + v.presentationShift, video[i].dts) << i;
        EXPECT_EQ(s.presentationTime + v.presentationShift, video[i].pts) << i;
        EXPECT_EQ(s.isSync, video[i].sync) << i;
        EXPECT_EQ(s.duration, 1001u);
        r.readSample(0, i, buf);
        EXPECT_EQ(buf, std::vector<uint8_t>(100 + i * 7, uint8_t(i)));
    }
    EXPECT_EQ(v.timeRangeDuration.seconds(), 7 * 1001 / 24000.0);
    const TrackInfo& a = r.tracks()[1];
    EXPECT_EQ(a.handlerType, "soun");
    ASSERT_EQ(a.samples.size(), video.size());
    EXPECT_EQ(a.presentationShift, 0);
    r.readSample(1, 3, buf);
    EXPECT_EQ(buf, std::vector<uint8_t>(10, 0xa3));

    // The written file itself survives parse → write unchanged.
    auto bytes = readBytes(path);
    auto boxes = parseBoxes(bytes.data(), bytes.size());
    std::vector<uint8_t> again;
    writeBoxes(boxes, again);
    EXPECT_EQ(again, bytes);
}

// Chapters come back with their times and UTF-8 titles; the video names their disabled track in
// a 'chap' reference, and an empty chapter is left out.
TEST(MovieWriterTest, ChaptersAreADisabledTextTrackTheVideoRefersTo) {
    fs::path path = tempPath("chapters.mov");
    {
        MovieWriter w(path.string());
        int tv = w.addTrack({"vide", 24000, 160, 120, fakeEntry("hvc1", 1), 0x55C4, std::nullopt});
        w.setChapters({1000, {{0, 500, "Chapter 1"}, {500, 0, "empty"}, {500, 1501, "Chapitre deux é"}}});
        std::vector<uint8_t> data(50, 7);
        for (int64_t i = 0; i < 48; ++i)
            w.addSample(tv, data.data(), data.size(), i * 1001, i * 1001, 1001, i == 0);
        w.finish();
    }
    MovieReader r(path.string());
    ASSERT_EQ(r.tracks().size(), 2u);
    EXPECT_EQ(r.tracks()[1].handlerType, "text");
    ChapterList read = readChapters(r);
    EXPECT_EQ(read.timescale, 1000u);
    ASSERT_EQ(read.chapters.size(), 2u);
    EXPECT_EQ(read.chapters[1].start, 500);
    EXPECT_EQ(read.chapters[1].duration, 1501u);
    EXPECT_EQ(read.chapters[1].title, "Chapitre deux é");
    auto bytes = readBytes(path);
    std::string file(bytes.begin(), bytes.end());
    EXPECT_NE(file.find(std::string("\0\0\0\x14tref\0\0\0\x0c"
                                    "chap\0\0\0\x02",
                                    20)),
              std::string::npos);
    size_t textHeader = file.find("tkhd", file.find("tkhd") + 4);
    ASSERT_NE(textHeader, std::string::npos);
    EXPECT_EQ(file.substr(textHeader + 5, 3), std::string("\0\0\x02", 3)); // in the movie, not enabled
    EXPECT_TRUE(readChapters(MovieReader(kApple.string())).chapters.empty());
}

TEST(MovieReaderTest, RejectsWhatIsNotAWholeMovie) {
    fs::path dir = tempPath("x").parent_path();
    auto bytes = readBytes(kApple);
    auto write = [&](const std::string& name, const std::vector<uint8_t>& b) {
        duoscope::test::writeBytes(dir / name, b);
        return (dir / name).string();
    };
    std::string text = "this is not a movie at all, only text\n";
    // Media said to live in another file (dref entry without the self-contained flag).
    auto external = bytes;
    std::string all(external.begin(), external.end());
    size_t url = all.find("url ");
    ASSERT_NE(url, std::string::npos);
    external[url + 7] = 0;
    std::vector<std::string> bad = {
        write("text.mov", {text.begin(), text.end()}),
        write("truncated.mov", {bytes.begin(), bytes.begin() + std::ptrdiff_t(bytes.size() - 100)}),
        write("empty.mov", {}),
        write("external.mov", external),
    };
    for (const auto& p : bad) {
        try {
            MovieReader r(p);
            ADD_FAILURE() << p << " was accepted";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(p), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(MovieReader((dir / "missing.mov").string()), IoError);
}
