// The kit's disc backups against independent readers: libbluray for the
// navigation files (titles, clips, chapters, eye flag, 3D flag, EP maps),
// ffprobe/ffmpeg for the clips' contents and eyes. The kit's truth.json must
// agree with both, so the kit and a disc reader cannot merely agree with each other.
#include "KitTestSupport.h"
#include "StereoCheck.h"

#include <gtest/gtest.h>
#include <libbluray/bluray.h>
#include <libbluray/clpi_data.h>
#include <libbluray/log_control.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>

namespace kit::test {
namespace {
namespace fs = std::filesystem;
using Json = nlohmann::json;

struct Discs {
    std::string set;
    fs::path dir() const { return setDir(set) / "discs"; }
    Json truth() const { return Json::parse(readText(dir() / "truth.json")); }
};

struct BlurayCloser {
    void operator()(BLURAY* bd) const { bd_close(bd); }
};
using Bluray = std::unique_ptr<BLURAY, BlurayCloser>;

Bluray openDisc(const fs::path& path) {
    Bluray bd(bd_open(path.c_str(), nullptr));
    if (!bd) throw std::runtime_error("libbluray cannot open " + path.string());
    return bd;
}

// What libbluray says about the files it parses: it reports a playlist's
// unknown or malformed extension data, STN entries, connection conditions
// and the like as navigation or critical messages, and nothing else there.
std::string& libblurayComplaints() {
    static std::string text;
    return text;
}

void listenToLibbluray() {
    bd_set_debug_handler([](const char* line) { libblurayComplaints() += line; });
    bd_set_debug_mask(DBG_CRIT | DBG_NAV);
    libblurayComplaints().clear();
}

// Every title of the truth as libbluray reads it from the disc at `path`
// (`folder` holds the same files).
void expectTitlesAsAuthored(const fs::path& path, const fs::path& folder, const Json& disc) {
    SCOPED_TRACE(path.string());
    listenToLibbluray();
    Bluray bd = openDisc(path);
    const BLURAY_DISC_INFO* info = bd_get_disc_info(bd.get());
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->bluray_detected);
    const bool has3D = std::any_of(disc["titles"].begin(), disc["titles"].end(),
                                   [](const Json& title) { return title["is3D"].get<bool>(); });
    EXPECT_EQ(info->content_exist_3D != 0, has3D);
    EXPECT_FALSE(info->aacs_detected);
    EXPECT_FALSE(info->bdplus_detected);
    EXPECT_EQ(info->num_hdmv_titles, disc["titles"].size());

    const Json& titles = disc["titles"];
    ASSERT_EQ(bd_get_titles(bd.get(), TITLES_RELEVANT, 0), titles.size());
    for (uint32_t t = 0; t < titles.size(); ++t) {
        const Json& truth = titles[t];
        std::unique_ptr<BLURAY_TITLE_INFO, decltype(&bd_free_title_info)> title(
            bd_get_title_info(bd.get(), t, 0), bd_free_title_info);
        ASSERT_TRUE(title);
        SCOPED_TRACE(truth["playlist"].get<std::string>());
        EXPECT_EQ(title->playlist, std::stoul(truth["playlist"].get<std::string>()));
        EXPECT_EQ(title->duration, truth["duration45k"].get<uint64_t>() * 2);
        EXPECT_EQ(title->mvc_base_view_r_flag, truth["baseIsRight"].get<bool>() ? 1 : 0);
        const Json& clips = truth["clips"];
        ASSERT_EQ(title->clip_count, clips.size());
        for (uint32_t c = 0; c < title->clip_count; ++c) {
            const BLURAY_CLIP_INFO& clip = title->clips[c];
            EXPECT_EQ(std::string(clip.clip_id) + ".m2ts", clips[c]["base"].get<std::string>());
            EXPECT_EQ(clip.in_time, clips[c]["in45k"].get<uint64_t>() * 2);
            EXPECT_EQ(clip.out_time, clips[c]["out45k"].get<uint64_t>() * 2);
            // libbluray counts from the entry point at IN (or from the clip's
            // start when IN is its first picture's time) to the end.
            const uint64_t packets =
                fs::file_size(folder / "BDMV/STREAM" / clips[c]["base"].get<std::string>()) / 192;
            const uint64_t fromIn = packets - clips[c]["inEntryPacket"].get<uint64_t>();
            EXPECT_GE(clip.pkt_count, fromIn);
            EXPECT_LE(clip.pkt_count, std::min(packets, fromIn + 8));
            ASSERT_EQ(clip.video_stream_count, 1);
            EXPECT_EQ(clip.video_streams[0].pid, 0x1011);
            EXPECT_EQ(clip.video_streams[0].coding_type, BLURAY_STREAM_TYPE_VIDEO_H264);
            ASSERT_EQ(clip.audio_stream_count, truth["audio"].size());
            for (size_t a = 0; a < truth["audio"].size(); ++a) {
                EXPECT_EQ(reinterpret_cast<const char*>(clip.audio_streams[a].lang),
                          truth["audio"][a]["language"].get<std::string>());
                EXPECT_EQ(clip.audio_streams[a].coding_type, BLURAY_STREAM_TYPE_AUDIO_AC3);
                EXPECT_EQ(clip.audio_streams[a].pid, truth["audio"][a]["pid"].get<int>());
            }
        }
        const Json& chapters = truth["chapters"];
        ASSERT_EQ(title->chapter_count, chapters.size());
        for (uint32_t c = 0; c < title->chapter_count; ++c)
            EXPECT_EQ(title->chapters[c].start, chapters[c]["time45k"].get<uint64_t>() * 2)
                << "chapter " << c;
    }
}

class KitDiscs : public ::testing::TestWithParam<std::string> {};

TEST_P(KitDiscs, LibblurayReadsEveryTitleAsAuthored) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    for (const auto& [name, disc] : truth["discs"].items()) {
        expectTitlesAsAuthored(discs.dir() / name, discs.dir() / name, disc);
        // On the 3D discs the 3D title is the longest and the 2D one an
        // extract of its first clip; the 2D disc has the 3D title's 2D twin only.
        const Json& titles = disc["titles"];
        EXPECT_EQ(titles[0]["clips"].size(), 3u);
        EXPECT_GE(titles[0]["chapters"].size(), 3u);
        if (name == "film2d") {
            EXPECT_EQ(titles.size(), 1u);
            EXPECT_FALSE(titles[0]["is3D"].get<bool>());
            EXPECT_FALSE(fs::exists(discs.dir() / name / "BDMV/STREAM/00011.m2ts"));
            // Its clips are the 3D disc's base clips, checked below.
            for (const Json& clip : titles[0]["clips"]) {
                const fs::path stream = fs::path("BDMV/STREAM") / clip["base"].get<std::string>();
                EXPECT_EQ(readBytes(discs.dir() / name / stream), readBytes(discs.dir() / "film3d" / stream));
            }
            continue;
        }
        ASSERT_EQ(titles.size(), 2u);
        EXPECT_TRUE(titles[0]["is3D"].get<bool>());
        EXPECT_FALSE(titles[1]["is3D"].get<bool>());
        EXPECT_GT(titles[0]["duration45k"].get<uint64_t>(), titles[1]["duration45k"].get<uint64_t>());
    }
}

// libbluray opens the image through libudfread and finds the same titles and
// the same bytes in every file as in the folder it was made from; udftools'
// udfinfo reads its volume structure, 7-Zip its files.
TEST_P(KitDiscs, ImageHoldsItsFolder) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    for (const auto& [image, folder] : truth["images"].items()) {
        const fs::path path = discs.dir() / image;
        const fs::path root = discs.dir() / folder.get<std::string>();
        expectTitlesAsAuthored(path, root, truth["discs"][folder.get<std::string>()]);

        Bluray bd = openDisc(path);
        size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            const std::string name = fs::relative(entry.path(), root).string();
            void* data = nullptr;
            int64_t size = 0;
            ASSERT_EQ(bd_read_file(bd.get(), name.c_str(), &data, &size), 1) << name;
            std::unique_ptr<void, decltype(&free)> owned(data, free);
            const Bytes expected = readBytes(entry.path());
            ASSERT_EQ(static_cast<size_t>(size), expected.size()) << name;
            EXPECT_EQ(std::memcmp(data, expected.data(), expected.size()), 0) << name;
            ++files;
        }
        EXPECT_GT(files, 20u);

        const std::string info = capture({"udfinfo", path.string()});
        EXPECT_NE(info.find("udfrev=2.50"), std::string::npos) << info;
        EXPECT_NE(info.find("label=FILM3D"), std::string::npos) << info;
        EXPECT_NE(info.find("numfiles=" + std::to_string(files)), std::string::npos) << info;
        EXPECT_NE(info.find("integrity=closed"), std::string::npos) << info;

        // 7-Zip, a UDF reader of its own, takes it for UDF 2.50 and extracts the same bytes.
        const std::string listing = capture({"7z", "l", "-slt", path.string()});
        EXPECT_NE(listing.find("Type = Udf"), std::string::npos) << listing;
        EXPECT_NE(listing.find("Version = 2.50"), std::string::npos) << listing;
        for (const char* name : {"BDMV/index.bdmv", "BDMV/PLAYLIST/00001.mpls", "BDMV/STREAM/00003.m2ts"})
            EXPECT_EQ(capture({"7z", "x", "-so", path.string(), name}), readText(root / name)) << name;
    }
}

// mkvmerge, a second reader of playlists, joins the same clips to the same
// duration and finds both audio tracks' languages and every picture.
TEST_P(KitDiscs, MkvmergeReadsThePlaylists) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    for (const Json& title : truth["discs"]["film3d"]["titles"]) {
        SCOPED_TRACE(title["playlist"].get<std::string>());
        const fs::path playlist = discs.dir() / "film3d/BDMV/PLAYLIST" / title["playlist"].get<std::string>();
        const Json info = Json::parse(capture({"mkvmerge", "-J", playlist.string()}));
        const Json& properties = info["container"]["properties"];
        EXPECT_TRUE(properties["playlist"].get<bool>());
        EXPECT_NEAR(properties["playlist_duration"].get<double>(),
                    title["durationSeconds"].get<double>() * 1e9, 1e3);
        std::vector<std::string> files, expected;
        for (const Json& file : properties["playlist_file"])
            files.push_back(fs::path(file.get<std::string>()).filename().string());
        for (const Json& clip : title["clips"])
            expected.push_back(clip["base"].get<std::string>());
        EXPECT_EQ(files, expected);
        std::vector<std::string> languages;
        for (const Json& track : info["tracks"])
            if (track["type"] == "audio")
                languages.push_back(track["properties"]["language"].get<std::string>());
        // mkvmerge names French by its bibliographic code.
        EXPECT_EQ(languages, (std::vector<std::string>{"eng", "fre"}));
    }
}

// The packet numbers and times of the entry point maps lead to the anchor
// pictures' PES headers in the clips.
TEST_P(KitDiscs, EntryPointsLeadToAnchorPictures) {
    const Discs discs{GetParam()};
    const fs::path bdmv = discs.dir() / "film3d/BDMV";
    for (const auto& entry : fs::directory_iterator(bdmv / "CLIPINF")) {
        SCOPED_TRACE(entry.path().filename().string());
        std::unique_ptr<CLPI_CL, decltype(&bd_free_clpi)> clip(bd_read_clpi(entry.path().c_str()),
                                                               bd_free_clpi);
        ASSERT_TRUE(clip);
        const Bytes stream = readBytes(bdmv / "STREAM" / (entry.path().stem().string() + ".m2ts"));
        EXPECT_EQ(clip->clip.num_source_packets, stream.size() / 192);
        ASSERT_EQ(clip->cpi.num_stream_pid, 1);
        const CLPI_EP_MAP_ENTRY& map = clip->cpi.entry[0];
        ASSERT_GE(map.num_ep_fine, 1);
        EXPECT_EQ(map.pid, clip->program.progs[0].streams[0].pid);
        int coarse = 0;
        for (int f = 0; f < map.num_ep_fine; ++f) {
            while (coarse + 1 < map.num_ep_coarse && map.coarse[coarse + 1].ref_ep_fine_id <= f)
                ++coarse;
            const uint32_t packet =
                (map.coarse[coarse].spn_ep & ~0x1FFFFu) + static_cast<uint32_t>(map.fine[f].spn_ep);
            const uint64_t pts45k = (static_cast<uint64_t>(map.coarse[coarse].pts_ep & ~1) << 18) +
                                    (static_cast<uint64_t>(map.fine[f].pts_ep) << 8);
            ASSERT_LT(packet, stream.size() / 192);
            const uint8_t* ts = stream.data() + packet * 192 + 4;
            ASSERT_EQ(ts[0], 0x47);
            EXPECT_EQ(((ts[1] & 0x1F) << 8) | ts[2], map.pid);
            ASSERT_TRUE(ts[1] & 0x40) << "no PES starts at packet " << packet;
            ASSERT_TRUE(ts[3] & 0x20);
            EXPECT_TRUE(ts[5] & 0x40) << "random_access_indicator";
            const uint8_t* pes = ts + 5 + ts[4];
            const uint64_t pts = (uint64_t{pes[9] & 0x0Eu} << 29) | (uint64_t{pes[10]} << 22) |
                                 (uint64_t{pes[11] & 0xFEu} << 14) | (uint64_t{pes[12]} << 7) |
                                 (pes[13] >> 1);
            // The map keeps the time to 512 ticks of 90 kHz.
            EXPECT_EQ(pts45k, (pts >> 9) << 8);
        }
    }
}

// The PTS of every PES that starts on `pid` in a 192-byte-packet stream.
std::vector<uint64_t> pesTimes(const fs::path& clip, int pid) {
    const Bytes stream = readBytes(clip);
    std::vector<uint64_t> times;
    for (size_t at = 4; at + 188 <= stream.size(); at += 192) {
        const uint8_t* ts = stream.data() + at;
        if ((((ts[1] & 0x1F) << 8) | ts[2]) != pid || !(ts[1] & 0x40)) continue;
        const uint8_t* pes = ts + 4 + ((ts[3] & 0x20) ? 1 + ts[4] : 0);
        times.push_back((uint64_t{pes[9] & 0x0Eu} << 29) | (uint64_t{pes[10]} << 22) |
                        (uint64_t{pes[11] & 0xFEu} << 14) | (uint64_t{pes[12]} << 7) | (pes[13] >> 1));
    }
    return times;
}

std::vector<int> packetCounts(const fs::path& clip) {
    const Json probe =
        Json::parse(capture({"ffprobe", "-v", "quiet", "-print_format", "json", "-count_packets",
                             "-show_entries", "stream=id,codec_name,nb_read_packets", clip.string()}));
    std::vector<int> counts;
    for (const Json& s : probe["streams"])
        counts.push_back(std::stoi(s["nb_read_packets"].get<std::string>()));
    return counts;
}

// ffprobe finds each clip's frames: the base clip its video and both audio
// tracks, the dependent clip the second view alone (which ffprobe cannot
// split into pictures without the base view's SPS, so its PES are counted:
// one per picture, at the base view's times).
TEST_P(KitDiscs, ClipsHoldTheirFramesAndStreams) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    for (const auto& [name, disc] : truth["discs"].items()) {
        if (name == "film2d") continue; // the base clips of film3d
        for (const Json& title : disc["titles"])
            for (const Json& clip : title["clips"]) {
                const fs::path stream = discs.dir() / name / "BDMV/STREAM";
                SCOPED_TRACE(name + "/" + clip["base"].get<std::string>());
                const std::vector<int> base = packetCounts(stream / clip["base"].get<std::string>());
                ASSERT_EQ(base.size(), 3u);
                EXPECT_EQ(base[0], clip["clipFrames"].get<int>());
                EXPECT_EQ(base[1], clip["audioFrames"].get<int>());
                EXPECT_EQ(base[2], clip["audioFrames"].get<int>());
                const std::vector<uint64_t> baseTimes =
                    pesTimes(stream / clip["base"].get<std::string>(), 0x1011);
                EXPECT_EQ(baseTimes.size(), clip["clipFrames"].get<size_t>());
                EXPECT_EQ(clip.contains("dependent"), title["is3D"].get<bool>());
                if (clip.contains("dependent")) {
                    EXPECT_EQ(packetCounts(stream / clip["dependent"].get<std::string>()).size(), 1u);
                    EXPECT_EQ(pesTimes(stream / clip["dependent"].get<std::string>(), 0x1012), baseTimes);
                }
                EXPECT_EQ(*std::min_element(baseTimes.begin(), baseTimes.end()),
                          clip["clipFirstPts90k"].get<uint64_t>());
                // The play item shows the pictures from IN to OUT.
                const auto shown = std::count_if(baseTimes.begin(), baseTimes.end(), [&](uint64_t pts) {
                    return pts >= clip["in45k"].get<uint64_t>() * 2 &&
                           pts < clip["out45k"].get<uint64_t>() * 2;
                });
                EXPECT_EQ(shown, clip["frames"].get<int>());
                EXPECT_EQ(clip["firstPts90k"].get<uint64_t>() / 2, clip["in45k"].get<uint64_t>());
            }
    }
}

// `count` raw pictures of `frameSize` bytes from picture `first` on, read in
// one piece (1080p sources are large).
Bytes readPictures(const fs::path& path, size_t first, size_t count, size_t frameSize) {
    std::ifstream in(path, std::ios::binary);
    Bytes pictures(count * frameSize);
    in.seekg(static_cast<std::streamoff>(first * frameSize));
    if (!in.read(reinterpret_cast<char*>(pictures.data()), static_cast<std::streamsize>(pictures.size())))
        throw std::runtime_error("cannot read " + std::to_string(count) + " pictures from " + path.string());
    return pictures;
}

// The base clips, decoded by ffmpeg one after another and cut to what their
// play items show, give the truth's base eye: as many pictures as the clips
// hold, and at each play item's ends the kit's pictures of that eye, close to
// its source and far from the other's.
TEST_P(KitDiscs, BaseClipsShowTheBaseEye) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    const auto info = setInfo(GetParam());
    const size_t frameSize = std::stoul(info.at("width")) * std::stoul(info.at("height")) * 3 / 2;
    for (const auto& [name, disc] : truth["discs"].items()) {
        if (name == "film2d") continue; // the base clips of film3d
        const Json& title = disc["titles"][0];
        EyeScore score;
        size_t frames = 0;
        for (const Json& clip : title["clips"]) {
            // Through a file: a 1080p clip's pictures are too many bytes for a pipe into a string.
            const duoscope::test::ScratchFolder scratch("kit_disc_eyes");
            run({"ffmpeg", "-nostdin", "-v", "error", "-i",
                 (discs.dir() / name / "BDMV/STREAM" / clip["base"].get<std::string>()).string(), "-map",
                 "0:v:0", "-f", "rawvideo", "-pix_fmt", "yuv420p", (scratch / "base.yuv").string()});
            ASSERT_EQ(fs::file_size(scratch / "base.yuv"), clip["clipFrames"].get<size_t>() * frameSize);
            const size_t first = clip["kitFirstFrame"].get<size_t>();
            ASSERT_EQ(first, frames);
            // The first and the last picture each play item shows: where a
            // wrong cut or a wrong eye shows first, at a fraction of the cost.
            const size_t skipped = first - clip["clipKitFirstFrame"].get<size_t>();
            const size_t count = clip["frames"].get<size_t>();
            for (const size_t at : {size_t{0}, count - 1})
                score.add(readPictures(scratch / "base.yuv", skipped + at, 1, frameSize),
                          readPictures(setDir(GetParam()) / "left_src.yuv", first + at, 1, frameSize),
                          readPictures(setDir(GetParam()) / "right_src.yuv", first + at, 1, frameSize));
            frames += clip["frames"].get<size_t>();
        }
        EXPECT_EQ(frames, title["frames"].get<size_t>());
        EXPECT_EQ(frames, std::stoul(info.at("frames")));
        const bool right = title["baseEye"] == "right";
        SCOPED_TRACE(name);
        EXPECT_GT(right ? score.psnrVsRight() : score.psnrVsLeft(), 30.0);
        EXPECT_LT(right ? score.psnrVsLeft() : score.psnrVsRight(), 25.0);
    }
}

// The still-encrypted copy: libbluray sees AACS it cannot handle (no libaacs,
// no keys) yet reads the titles; ffprobe finds no picture in its clips.
TEST_P(KitDiscs, EncryptedCopyLooksEncrypted) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    for (const auto& [copy, original] : truth["encrypted"].items()) {
        SCOPED_TRACE(copy);
        Bluray bd = openDisc(discs.dir() / copy);
        const BLURAY_DISC_INFO* info = bd_get_disc_info(bd.get());
        ASSERT_NE(info, nullptr);
        EXPECT_TRUE(info->aacs_detected);
        EXPECT_FALSE(info->aacs_handled);
        EXPECT_EQ(bd_get_titles(bd.get(), TITLES_RELEVANT, 0),
                  truth["discs"][original.get<std::string>()]["titles"].size());
        const RunResult probe =
            runCapture({"ffprobe", "-v", "quiet", "-print_format", "json", "-show_streams",
                        (discs.dir() / copy / "BDMV/STREAM/00001.m2ts").string()});
        const bool noStreams =
            probe.status != 0 || Json::parse(probe.output).value("streams", Json::array()).empty();
        EXPECT_TRUE(noStreams) << probe.output;
    }
}

// The discs are cached like the set: a second run finds them up to date and
// touches nothing.
TEST_P(KitDiscs, SecondRunIsACacheHit) {
    const Discs discs{GetParam()};
    const auto before = fs::last_write_time(discs.dir() / "truth.json");
    const RunResult result = runCapture(
        {DUOSCOPE_BINARY_DIR "/bin/stereokit", "--set", GetParam(), "--output", DUOSCOPE_KIT_DIR, "--discs"});
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_NE(result.output.find(discs.dir().string() + " is up to date"), std::string::npos)
        << result.output;
    EXPECT_EQ(fs::last_write_time(discs.dir() / "truth.json"), before);
    EXPECT_FALSE(fs::exists(setDir(GetParam()) / "discs.partial"));
}

INSTANTIATE_TEST_SUITE_P(Set, KitDiscs, ::testing::Values(KIT_DISC_SET));

} // namespace
} // namespace kit::test
