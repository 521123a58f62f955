#include "TestMedia.h"

#include "MovieWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace media::testing {

namespace fs = std::filesystem;

CommandResult run(const std::vector<std::string>& args) {
    return duoscope::test::runCommand(args.front(), {args.begin() + 1, args.end()});
}

ScratchDir::ScratchDir(const std::string& name) {
    path = fs::temp_directory_path() / ("joiners-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
}
ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void makeHevcMovie(const std::string& path, const HevcOptions& o) {
    std::string params = "log-level=error:bframes=" + std::to_string(o.bframes) +
                         ":keyint=" + std::to_string(o.keyint) + ":min-keyint=" + std::to_string(o.keyint) +
                         ":scenecut=0:open-gop=0";
    auto r = run(
        {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
         o.pattern + "=size=" + std::to_string(o.width) + "x" + std::to_string(o.height) + ":rate=" + o.rate,
         "-frames:v", std::to_string(o.frames), "-pix_fmt", "yuv420p", "-c:v", "libx265", "-x265-params",
         params, "-tag:v", "hvc1", path});
    if (r.status != 0) throw std::runtime_error("ffmpeg failed: " + r.output);
}

std::vector<uint8_t> fakeLhvC(uint8_t marker) {
    BoxWriter w;
    w.beginBox("lhvC");
    w.u8(1);       // configurationVersion
    w.u16(0xF000); // min_spatial_segmentation_idc
    w.u8(0xFC);    // parallelismType
    w.u8(0xCB);    // 1 temporal layer, 4-byte lengths
    w.u8(1);       // one array: a vendor-neutral marker NAL the decoders never see
    w.u8(0xA1);
    w.u16(1);
    w.u16(2);
    w.u8(0x42);
    w.u8(marker);
    w.endBox();
    return w.take();
}

std::vector<uint8_t> fakeVexu() {
    BoxWriter w;
    w.beginBox("vexu");
    w.beginBox("eyes");
    w.beginFullBox("stri", 0, 0);
    w.u8(3);
    w.endBox();
    w.beginFullBox("hero", 0, 0);
    w.u8(1);
    w.endBox();
    w.endBox();
    w.endBox();
    return w.take();
}

void makeStereoSegment(const std::string& hevcMovie, const std::string& out, const SegmentOptions& o) {
    MovieReader in(hevcMovie);
    int v = in.firstTrack("vide");
    if (v < 0) throw std::runtime_error("no video in " + hevcMovie);
    const TrackInfo& t = in.tracks()[size_t(v)];
    auto boxes = parseBoxes(t.sampleEntry.data(), t.sampleEntry.size());
    if (boxes.size() != 1 || !boxes[0].isContainer) throw std::runtime_error("unexpected sample entry");
    Box& entry = boxes[0];
    entry.type = fourcc(o.entryType);
    std::vector<Box> kids;
    for (auto& c : entry.children) {
        if (c.type == fourcc("hvcC")) {
            kids.push_back(c);
            if (o.withLhvC) {
                auto l = fakeLhvC(o.lhvCMarker);
                kids.push_back(parseBoxes(l.data(), l.size())[0]);
            }
        } else if (o.withVexu) {
            kids.push_back(c);
        }
    }
    if (o.withVexu) {
        auto x = fakeVexu();
        kids.push_back(parseBoxes(x.data(), x.size())[0]);
    }
    entry.children = std::move(kids);
    std::vector<uint8_t> entryBytes;
    writeBox(entry, entryBytes);

    MovieWriter w(out);
    int tv = w.addTrack({"vide", t.timescale, t.width, t.height, entryBytes, t.language, std::nullopt});
    std::vector<uint8_t> buf;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const SampleInfo& s = t.samples[i];
        in.readSample(size_t(v), i, buf);
        w.addSample(tv, buf.data(), buf.size(), s.decodeTime + t.presentationShift,
                    s.presentationTime + t.presentationShift, s.duration, s.isSync);
    }
    w.finish();
}

std::vector<uint8_t> readFile(const std::string& path) {
    return duoscope::test::readBytes(path);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    duoscope::test::writeBytes(path, bytes);
}

std::vector<std::string> decodedFrameMd5(const std::string& path) {
    auto r = run({"ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-"});
    if (r.status != 0) throw std::runtime_error("ffmpeg decode failed: " + r.output);
    return duoscope::test::frameMd5s(r.standardOutput);
}

std::vector<std::vector<uint8_t>> videoSamples(const std::string& path) {
    MovieReader m(path);
    int v = m.firstTrack("vide");
    std::vector<std::vector<uint8_t>> out;
    if (v < 0) return out;
    for (size_t i = 0; i < m.tracks()[size_t(v)].samples.size(); ++i) {
        out.emplace_back();
        m.readSample(size_t(v), i, out.back());
    }
    return out;
}

std::string toolPath(const std::string& name) {
    return (fs::path(DUOSCOPE_TOOLS_DIR) / name).string();
}

CommandResult runTool(const std::string& name, const std::vector<std::string>& args) {
    return duoscope::test::runCommand(toolPath(name), args);
}

} // namespace media::testing

namespace media::testing {

namespace fs = std::filesystem;

std::string cachedMedia(const std::string& name, const std::function<void(const std::string&)>& make) {
    fs::path dir = fs::path(DUOSCOPE_BINARY_DIR) / "joiners-media";
    fs::create_directories(dir);
    fs::path target = dir / name;
    if (fs::exists(target)) return target.string();
    fs::path temp = dir / (std::to_string(::getpid()) + "-" + name);
    make(temp.string());
    fs::rename(temp, target);
    return target.string();
}

std::vector<std::string> standardSegments() {
    const char* patterns[3] = {"testsrc2", "testsrc", "smptebars"};
    std::vector<std::string> out;
    for (int k = 0; k < 3; ++k) {
        out.push_back(
            cachedMedia("stereo-segment" + std::to_string(k) + ".mov", [&](const std::string& path) {
                HevcOptions o;
                o.pattern = patterns[k];
                std::string hevc = path + ".hevc.mov";
                makeHevcMovie(hevc, o);
                SegmentOptions s;
                makeStereoSegment(hevc, path, s);
                fs::remove(hevc);
            }));
    }
    return out;
}

std::string audioMovie(double seconds) {
    return cachedMedia("audio-" + std::to_string(int(seconds * 1000)) + ".m4a", [&](const std::string& path) {
        auto r = run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=48000:duration=" + std::to_string(seconds), "-c:a",
                      "aac", "-f", "mp4", path});
        if (r.status != 0) throw std::runtime_error("ffmpeg audio failed: " + r.output);
    });
}

void expectJoined(const std::string& output, const std::vector<std::string>& segments) {
    MovieReader out(output);
    int v = out.firstTrack("vide");
    ASSERT_GE(v, 0);
    int videoTracks = 0;
    for (const auto& t : out.tracks())
        videoTracks += t.handlerType == "vide";
    EXPECT_EQ(videoTracks, 1);
    const TrackInfo& ot = out.tracks()[size_t(v)];
    std::vector<uint8_t> got, want;
    size_t index = 0;
    double offset = 0;
    std::vector<std::string> md5;
    for (size_t k = 0; k < segments.size(); ++k) {
        MovieReader seg(segments[k]);
        int sv = seg.firstTrack("vide");
        ASSERT_GE(sv, 0);
        const TrackInfo& st = seg.tracks()[size_t(sv)];
        if (k == 0) {
            EXPECT_EQ(ot.sampleEntry, st.sampleEntry) << "sample entry changed";
        }
        double end = 0;
        for (size_t i = 0; i < st.samples.size(); ++i, ++index) {
            ASSERT_LT(index, ot.samples.size()) << "output has too few samples";
            const SampleInfo& s = st.samples[i];
            const SampleInfo& o = ot.samples[index];
            seg.readSample(size_t(sv), i, want);
            out.readSample(size_t(v), index, got);
            ASSERT_EQ(got, want) << "segment " << k << " sample " << i;
            EXPECT_EQ(o.isSync, s.isSync) << "segment " << k << " sample " << i;
            double segPts = double(s.presentationTime + st.presentationShift) / st.timescale;
            double outPts = double(o.presentationTime + ot.presentationShift) / ot.timescale;
            EXPECT_NEAR(outPts, segPts + offset, 1e-9) << "segment " << k << " sample " << i;
            end = std::max(end, segPts + double(s.duration) / st.timescale);
        }
        offset += end;
        for (auto& m : decodedFrameMd5(segments[k]))
            md5.push_back(m);
    }
    EXPECT_EQ(index, ot.samples.size()) << "output has extra samples";
    for (size_t i = 1; i < ot.samples.size(); ++i)
        EXPECT_LT(ot.samples[i - 1].decodeTime, ot.samples[i].decodeTime) << "decode time at sample " << i;
    EXPECT_EQ(decodedFrameMd5(output), md5);
}

} // namespace media::testing
