// The small media set, checked end to end: the MVC composition keeps every
// slice of both eyes, the transport streams and Matroska files carry exactly
// the elementary streams, Debian's ffprobe/ffmpeg see and decode what the
// demultiplexer and analysis expect, and a second kit run is a cache hit.
#include "Containers.h"
#include "H264Syntax.h"
#include "KitTestSupport.h"
#include "MvcComposer.h"

#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kit {
namespace {

using namespace kit::test;
namespace fs = std::filesystem;

const std::string kSet = "small";

struct AccessUnitLine {
    size_t decode, display;
    bool idr;
    int64_t pts, dts;
    size_t baseOffset, baseSize, dependentOffset, dependentSize;
    bool anchor;
    char slice;
};

std::vector<AccessUnitLine> accessUnitLines(const fs::path& folder) {
    std::vector<AccessUnitLine> lines;
    std::istringstream in(readText(folder / "access_units.txt"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        AccessUnitLine l{};
        char slice;
        int idr;
        int anchor;
        fields >> l.decode >> l.display >> idr >> slice >> l.pts >> l.dts >> l.baseOffset >> l.baseSize >>
            l.dependentOffset >> l.dependentSize >> anchor;
        if (!fields) throw std::runtime_error("short line in access_units.txt: " + line);
        l.idr = idr != 0;
        l.anchor = anchor != 0;
        l.slice = slice;
        lines.push_back(l);
    }
    return lines;
}

Bytes concat(const std::vector<NalUnit>& nals, size_t from) {
    Bytes out;
    for (size_t i = from; i < nals.size(); ++i)
        appendWithStartCode(out, nals[i].bytes);
    return out;
}

void expectFourByteStartCodes(const Bytes& stream, const std::string& what) {
    for (const NalUnit& nal : splitAnnexB(stream)) {
        ASSERT_GE(nal.offset, 4u);
        EXPECT_EQ(stream[nal.offset - 4], 0) << what << " NAL at " << nal.offset;
    }
}

// Checks one composition: `baseFile`/`dependentFile` made from `baseEye`/`dependentEye`.
void checkComposition(const fs::path& folder, const std::string& baseEye, const std::string& dependentEye,
                      const std::string& baseFile, const std::string& dependentFile, size_t frames) {
    SCOPED_TRACE(folder.string() + " " + baseFile);
    const auto eyeBase = splitAccessUnits(readBytes(folder / baseEye));
    const auto eyeDep = splitAccessUnits(readBytes(folder / dependentEye));
    const Bytes base = readBytes(folder / baseFile);
    const Bytes dependent = readBytes(folder / dependentFile);
    const auto baseUnits = splitAccessUnits(base);
    const auto depUnits = splitAccessUnits(dependent);
    const auto lines = accessUnitLines(folder);
    ASSERT_EQ(lines.size(), frames);
    ASSERT_EQ(eyeBase.size(), frames);
    ASSERT_EQ(baseUnits.size(), frames);
    ASSERT_EQ(depUnits.size(), frames);
    expectFourByteStartCodes(base, baseFile);
    expectFourByteStartCodes(dependent, dependentFile);

    std::optional<SpsData> dependentSps;
    for (size_t au = 0; au < frames; ++au) {
        SCOPED_TRACE("access unit " + std::to_string(au));
        // Base: an AUD, then the eye's NAL units unchanged. AUD and delimiter
        // name the slice types present (primary_pic_type 0 I, 1 I/P, 2 I/P/B).
        ASSERT_EQ(baseUnits[au].front().type(), 9);
        const char letter = lines[au].slice;
        const uint8_t primaryPicType = letter == 'B' ? 2 : letter == 'P' ? 1 : 0;
        EXPECT_EQ(baseUnits[au].front().bytes,
                  (Bytes{0x09, static_cast<uint8_t>(primaryPicType << 5 | 0x10)}));
        EXPECT_EQ(depUnits[au].front().bytes,
                  (Bytes{0x18, static_cast<uint8_t>(primaryPicType << 5 | 0x10)}));
        std::vector<NalUnit> eyeNals;
        for (const NalUnit& nal : eyeBase[au])
            if (nal.type() != 9) eyeNals.push_back(nal);
        ASSERT_EQ(baseUnits[au].size(), eyeNals.size() + 1);
        for (size_t i = 0; i < eyeNals.size(); ++i)
            EXPECT_EQ(baseUnits[au][i + 1].bytes, eyeNals[i].bytes);

        // Dependent: a type-24 delimiter, subset SPS for SPS, PPS as is, SEI
        // dropped, slices as type 20 with untouched payload bytes.
        const auto& dep = depUnits[au];
        ASSERT_EQ(dep.front().type(), 24);
        size_t d = 1;
        for (const NalUnit& nal : eyeDep[au]) {
            switch (nal.type()) {
            case 6:
            case 9:
                continue;
            case 7: {
                ASSERT_LT(d, dep.size());
                ASSERT_EQ(dep[d].type(), 15);
                dependentSps = parseSpsNal(nal.bytes);
                const SubsetSps subset = parseSubsetSpsNal(dep[d].bytes);
                EXPECT_EQ(subset, stereoSubsetSps(*dependentSps));
                SpsData data = subset.sps;
                data.profileIdc = dependentSps->profileIdc;
                data.constraintFlags = dependentSps->constraintFlags;
                EXPECT_EQ(data, *dependentSps);
                break;
            }
            case 8:
                ASSERT_LT(d, dep.size());
                EXPECT_EQ(dep[d].bytes, nal.bytes);
                break;
            case 1:
            case 5: {
                ASSERT_LT(d, dep.size());
                ASSERT_EQ(dep[d].type(), 20);
                const MvcNalHeader h = decodeSliceExtensionHeader(dep[d].bytes);
                EXPECT_EQ(h.nalRefIdc, nal.refIdc());
                EXPECT_EQ(h.nonIdr, nal.type() == 1);
                const bool intra = std::all_of(eyeDep[au].begin(), eyeDep[au].end(), [&](const NalUnit& n) {
                    return (n.type() != 1 && n.type() != 5) ||
                           parseSliceHeaderStart(n.bytes, *dependentSps).sliceLetter() == 'I';
                });
                EXPECT_EQ(h.anchorPic, nal.type() == 5 || (intra && nal.refIdc() != 0));
                EXPECT_EQ(h.anchorPic, lines[au].anchor);
                EXPECT_EQ(h.viewId, 1u);
                EXPECT_FALSE(h.interView);
                EXPECT_TRUE(std::equal(dep[d].bytes.begin() + 4, dep[d].bytes.end(), nal.bytes.begin() + 1,
                                       nal.bytes.end()))
                    << "slice payload changed";
                break;
            }
            default:
                FAIL() << "unexpected NAL type " << nal.type();
            }
            ++d;
        }
        EXPECT_EQ(d, dep.size());
    }
    ASSERT_TRUE(dependentSps.has_value());
}

TEST(KitMedia, MvcCompositionKeepsEveryEyeBitExact) {
    const size_t frames = std::stoul(setInfo(kSet).at("frames"));
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        checkComposition(folder, "left.264", "right.264", "base.264", "dependent.mvc", frames);
        checkComposition(folder, "right.264", "left.264", "base_rl.264", "dependent_rl.mvc", frames);

        // Interleaved = base AU and dependent AU without their delimiters, in turn.
        const auto base = splitAccessUnits(readBytes(folder / "base.264"));
        const auto dep = splitAccessUnits(readBytes(folder / "dependent.mvc"));
        Bytes expected;
        for (size_t au = 0; au < base.size(); ++au) {
            const Bytes b = concat(base[au], 1), d = concat(dep[au], 1);
            expected.insert(expected.end(), b.begin(), b.end());
            expected.insert(expected.end(), d.begin(), d.end());
        }
        EXPECT_EQ(readBytes(folder / "interleaved.264"), expected) << profile;

        // access_units.txt points at the units, and display order is a permutation.
        const auto lines = accessUnitLines(folder);
        ASSERT_EQ(lines.size(), frames);
        const Bytes baseBytes = readBytes(folder / "base.264");
        std::vector<bool> shown(frames);
        for (size_t au = 0; au < frames; ++au) {
            EXPECT_EQ(lines[au].baseSize, concat(base[au], 0).size());
            EXPECT_EQ(baseBytes[lines[au].baseOffset + 4] & 0x1F, 9);
            EXPECT_GE(lines[au].pts, lines[au].dts);
            ASSERT_LT(lines[au].display, frames);
            shown[lines[au].display] = true;
        }
        EXPECT_EQ(std::count(shown.begin(), shown.end(), true), static_cast<long>(frames)) << profile;
    }
}

TEST(KitMedia, CompositionRefusesEyesThatCannotPair) {
    const fs::path dir = setDir(kSet);
    const Bytes left = readBytes(dir / "cabac_b" / "left.264"),
                right = readBytes(dir / "cabac_b" / "right.264");
    auto message = [](const std::function<void()>& compose) {
        try {
            compose();
        } catch (const BitstreamError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message([&] { composeMvc(left, left, {}); }).find("--sps-id"), std::string::npos);
    const Bytes otherStructure = readBytes(dir / "cavlc_p" / "right.264");
    EXPECT_NE(message([&] { composeMvc(left, otherStructure, {}); }).find("access unit 1"),
              std::string::npos);
    const auto units = splitAccessUnits(right);
    const Bytes shorter(right.begin(), right.begin() + static_cast<long>(units.back().front().offset - 4));
    EXPECT_NE(message([&] { composeMvc(left, shorter, {}); }).find("access units"), std::string::npos);
}

struct PesStream {
    Bytes payload;
    std::vector<std::pair<int64_t, int64_t>> timestamps; // pts, dts
};

int64_t readTimestamp(const uint8_t* p) {
    return (int64_t{p[0] & 0x0E} << 29) | (int64_t{p[1]} << 22) | (int64_t{p[2] & 0xFE} << 14) |
           (int64_t{p[3]} << 7) | (p[4] >> 1);
}

// A deliberately plain demultiplexer: every packet checked, PES reassembled per PID.
std::map<uint16_t, PesStream> demultiplex(const Bytes& file, bool m2ts,
                                          std::map<uint16_t, uint8_t>& streamTypes) {
    const size_t stride = m2ts ? 192 : 188, head = m2ts ? 4 : 0;
    EXPECT_EQ(file.size() % stride, 0u);
    if (m2ts) {
        EXPECT_EQ(file.size() % 6144, 0u) << "aligned units of 32 packets";
    }
    std::map<uint16_t, Bytes> pending;
    std::map<uint16_t, PesStream> streams;
    std::map<uint16_t, int> counters;
    uint32_t lastAts = 0;
    auto flush = [&](uint16_t pid) {
        Bytes& pes = pending[pid];
        if (pes.empty()) return;
        EXPECT_EQ(pes[0], 0);
        EXPECT_EQ(pes[2], 1);
        const size_t headerLength = pes[8];
        const uint8_t flags = pes[7] >> 6;
        const int64_t pts = readTimestamp(&pes[9]);
        const int64_t dts = flags == 3 ? readTimestamp(&pes[14]) : pts;
        streams[pid].timestamps.emplace_back(pts, dts);
        streams[pid].payload.insert(streams[pid].payload.end(),
                                    pes.begin() + 9 + static_cast<long>(headerLength), pes.end());
        pes.clear();
    };
    for (size_t at = 0; at + stride <= file.size(); at += stride) {
        if (m2ts) {
            const uint32_t ats = (uint32_t{file[at]} << 24 | uint32_t{file[at + 1]} << 16 |
                                  uint32_t{file[at + 2]} << 8 | file[at + 3]) &
                                 0x3FFFFFFF;
            EXPECT_GE(ats, lastAts) << "arrival time goes back at " << at;
            lastAts = ats;
        }
        const uint8_t* p = &file[at + head];
        if (p[0] != 0x47) {
            ADD_FAILURE() << "lost sync at " << at;
            break;
        }
        const bool unitStart = p[1] & 0x40;
        const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
        const int control = (p[3] >> 4) & 3;
        size_t offset = 4;
        if (control & 2) offset += 1 + p[4];
        if (!(control & 1) || pid == 0x1FFF) continue;
        const int counter = p[3] & 0x0F;
        if (counters.count(pid)) {
            EXPECT_EQ(counter, (counters[pid] + 1) & 0x0F) << "continuity of PID " << pid << " at " << at;
        }
        counters[pid] = counter;
        const Bytes payload(p + offset, p + 188);
        if (pid == 0 || pid == kPmtPid) {
            EXPECT_TRUE(unitStart);
            const size_t sectionLength = ((payload[2] & 0x0F) << 8) | payload[3];
            const std::span<const uint8_t> section(payload.data() + 1, 3 + sectionLength);
            EXPECT_EQ(mpegCrc32(section), 0u) << "section CRC";
            if (pid == kPmtPid) {
                const size_t programInfo = ((section[10] & 0x0F) << 8) | section[11];
                for (size_t e = 12 + programInfo; e + 4 < section.size() - 4;) {
                    const uint16_t esPid =
                        static_cast<uint16_t>((section[e + 1] & 0x1F) << 8 | section[e + 2]);
                    streamTypes[esPid] = section[e];
                    e += 5 + (((section[e + 3] & 0x0F) << 8) | section[e + 4]);
                }
            }
            continue;
        }
        if (unitStart) flush(pid);
        pending[pid].insert(pending[pid].end(), payload.begin(), payload.end());
    }
    for (auto& [pid, bytes] : pending)
        flush(pid);
    return streams;
}

TEST(KitMedia, TransportStreamsCarryExactlyTheElementaryStreams) {
    const Bytes ac3 = readBytes(setDir(kSet) / "audio.ac3");
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        const Bytes base = readBytes(folder / "base.264"), dependent = readBytes(folder / "dependent.mvc");
        const auto lines = accessUnitLines(folder);
        for (const bool m2ts : {true, false}) {
            SCOPED_TRACE(profile + (m2ts ? " movie.m2ts" : " movie.ts"));
            std::map<uint16_t, uint8_t> types;
            auto streams = demultiplex(readBytes(folder / (m2ts ? "movie.m2ts" : "movie.ts")), m2ts, types);
            EXPECT_EQ(types, (std::map<uint16_t, uint8_t>{
                                 {kBaseVideoPid, 0x1B}, {kDependentVideoPid, 0x20}, {kAudioPid, 0x81}}));
            EXPECT_EQ(streams[kBaseVideoPid].payload, base);
            EXPECT_EQ(streams[kDependentVideoPid].payload, dependent);
            EXPECT_EQ(streams[kAudioPid].payload, ac3);
            ASSERT_EQ(streams[kBaseVideoPid].timestamps.size(), lines.size());
            for (size_t au = 0; au < lines.size(); ++au) {
                EXPECT_EQ(streams[kBaseVideoPid].timestamps[au],
                          std::make_pair(lines[au].pts, lines[au].dts));
                EXPECT_EQ(streams[kDependentVideoPid].timestamps[au],
                          std::make_pair(lines[au].pts, lines[au].dts));
            }
        }
    }
}

TEST(KitMedia, MatroskaBlocksHoldTheBaseThenTheDependentAccessUnit) {
    struct Variant {
        std::string file, base, dependent;
        uint64_t stereoMode;
    };
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        for (const Variant& v : {Variant{"movie_lr.mkv", "base.264", "dependent.mvc", 13},
                                 Variant{"movie_rl.mkv", "base_rl.264", "dependent_rl.mvc", 14}}) {
            SCOPED_TRACE(profile + " " + v.file);
            const Bytes mkv = readBytes(folder / v.file);
            const auto baseUnits = splitAccessUnits(readBytes(folder / v.base));
            const auto depUnits = splitAccessUnits(readBytes(folder / v.dependent));
            const auto lines = accessUnitLines(folder);
            const EbmlElement header = readElement(mkv, 0);
            ASSERT_EQ(header.id, 0x1A45DFA3u);
            const EbmlElement segment = readElement(mkv, header.dataOffset + header.size);
            ASSERT_EQ(segment.id, 0x18538067u);
            EXPECT_EQ(segment.dataOffset + segment.size, mkv.size());
            size_t au = 0;
            bool sawStereoMode = false;
            for (const EbmlElement& top : children(mkv, segment)) {
                if (top.id == 0x1654AE6B) {
                    for (const EbmlElement& entry : children(mkv, top))
                        for (const EbmlElement& field : children(mkv, entry))
                            if (field.id == 0xE0)
                                for (const EbmlElement& video : children(mkv, field))
                                    if (video.id == 0x53B8) {
                                        EXPECT_EQ(uintValue(mkv, video), v.stereoMode);
                                        sawStereoMode = true;
                                    }
                }
                if (top.id != 0x1F43B675) continue;
                for (const EbmlElement& block : children(mkv, top)) {
                    if (block.id != 0xA3 || mkv[block.dataOffset] != 0x81) continue;
                    Bytes annexB;
                    for (size_t at = block.dataOffset + 4; at < block.dataOffset + block.size;) {
                        const size_t length = size_t{mkv[at]} << 24 | size_t{mkv[at + 1]} << 16 |
                                              size_t{mkv[at + 2]} << 8 | mkv[at + 3];
                        appendWithStartCode(annexB, std::span<const uint8_t>(&mkv[at + 4], length));
                        at += 4 + length;
                    }
                    ASSERT_LT(au, baseUnits.size());
                    Bytes expected = concat(baseUnits[au], 0);
                    const Bytes dep = concat(depUnits[au], 0);
                    expected.insert(expected.end(), dep.begin(), dep.end());
                    EXPECT_EQ(annexB, expected) << "block " << au;
                    EXPECT_EQ((mkv[block.dataOffset + 3] & 0x80) != 0, lines[au].anchor) << "keyframe flag";
                    ++au;
                }
            }
            EXPECT_TRUE(sawStereoMode);
            EXPECT_EQ(au, baseUnits.size());
        }
    }
}

nlohmann::json probe(const fs::path& file) {
    return nlohmann::json::parse(capture(
        {"ffprobe", "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams", file.string()}));
}

TEST(KitMedia, FfprobeSeesTheLayoutsTheAnalysisExpects) {
    const auto info = setInfo(kSet);
    const int width = std::stoi(info.at("width")), height = std::stoi(info.at("height"));
    const fs::path dir = setDir(kSet);
    for (const char* file : {"movie.m2ts", "movie.ts"}) {
        SCOPED_TRACE(file);
        const auto streams = probe(dir / "cabac_b" / file)["streams"];
        ASSERT_EQ(streams.size(), 3u);
        EXPECT_EQ(streams[0]["codec_name"], "h264");
        EXPECT_EQ(streams[0]["width"], width);
        EXPECT_EQ(streams[0]["height"], height);
        EXPECT_EQ(streams[0]["id"], "0x1011");
        EXPECT_EQ(streams[0]["r_frame_rate"], "24000/1001");
        EXPECT_EQ(streams[1]["codec_name"], "h264");
        EXPECT_EQ(streams[1]["width"], 0) << "a dependent view has no size for ffprobe";
        EXPECT_EQ(streams[1]["id"], "0x1012");
        EXPECT_EQ(streams[2]["codec_type"], "audio");
        EXPECT_EQ(streams[2]["codec_name"], "ac3");
    }
    for (const auto& [file, mode] :
         {std::pair{"movie_lr.mkv", "block_lr"}, std::pair{"movie_rl.mkv", "block_rl"}}) {
        SCOPED_TRACE(file);
        const auto streams = probe(dir / "cabac_b" / file)["streams"];
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0]["codec_name"], "h264");
        EXPECT_EQ(streams[0]["width"], width);
        EXPECT_EQ(streams[0]["tags"]["stereo_mode"], mode);
        EXPECT_EQ(streams[1]["codec_name"], "ac3");
    }
    for (const char* file : {"sbs_lr.mkv", "sbs.mp4", "sbs.mov"}) {
        SCOPED_TRACE(file);
        const auto json = probe(dir / file);
        const auto streams = json["streams"];
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0]["width"], 2 * width);
        EXPECT_EQ(streams[0]["height"], height);
        EXPECT_EQ(streams[0]["r_frame_rate"], "24000/1001");
        EXPECT_EQ(streams[1]["codec_type"], "audio");
        const bool tagged = streams[0].contains("tags") && streams[0]["tags"].contains("stereo_mode");
        EXPECT_EQ(tagged, std::string(file) == "sbs_lr.mkv");
        if (tagged) {
            EXPECT_EQ(streams[0]["tags"]["stereo_mode"], "left_right");
        }
        EXPECT_NEAR(std::stod(json["format"]["duration"].get<std::string>()), 48 * 1001 / 24000.0, 0.1);
    }
    const auto alternate = probe(dir / "frame_alternate.mkv")["streams"];
    ASSERT_EQ(alternate.size(), 2u);
    EXPECT_EQ(alternate[0]["width"], width);
    EXPECT_EQ(decodeMd5s(dir / "frame_alternate.mkv").size(), 2 * std::stoul(info.at("frames")));
}

TEST(KitMedia, FfmpegDecodesEveryBaseViewToItsEyesGroundTruth) {
    const size_t frames = std::stoul(setInfo(kSet).at("frames"));
    for (const std::string& profile : profiles(kSet)) {
        const fs::path folder = setDir(kSet) / profile;
        const auto left = frameMd5s(readText(folder / "left.framemd5"));
        const auto right = frameMd5s(readText(folder / "right.framemd5"));
        ASSERT_EQ(left.size(), frames) << profile;
        ASSERT_EQ(right.size(), frames) << profile;
        EXPECT_NE(left, right);
        // The elementary streams are byte-checked above, so each container is
        // decoded once per profile and the plain files for the default only.
        std::vector<std::string> leftFiles{"interleaved.264", "movie.m2ts", "movie_lr.mkv"};
        std::vector<std::string> rightFiles{"movie_rl.mkv"};
        if (profile == "cabac_b") {
            leftFiles.insert(leftFiles.end(), {"base.264", "movie.ts"});
            rightFiles.push_back("base_rl.264");
        }
        for (const auto& file : leftFiles)
            EXPECT_EQ(decodeMd5s(folder / file), left) << profile << " " << file;
        for (const auto& file : rightFiles)
            EXPECT_EQ(decodeMd5s(folder / file), right) << profile << " " << file;
    }
}

TEST(KitMedia, SecondRunOfTheKitIsACacheHit) {
    const fs::path stamp = setDir(kSet) / "kit.stamp";
    const auto before = fs::last_write_time(stamp);
    const RunResult result =
        runCapture({DUOSCOPE_BINARY_DIR "/bin/stereokit", "--set", kSet, "--output", DUOSCOPE_KIT_DIR});
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_NE(result.output.find("up to date"), std::string::npos) << result.output;
    EXPECT_EQ(fs::last_write_time(stamp), before);
    EXPECT_FALSE(fs::exists(fs::path(DUOSCOPE_KIT_DIR) / (kSet + ".partial")));

    const RunResult bad =
        runCapture({DUOSCOPE_BINARY_DIR "/bin/stereokit", "--set", "huge", "--output", DUOSCOPE_KIT_DIR});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.error.rfind("ERROR: ", 0), 0u) << bad.error;
}

} // namespace
} // namespace kit
