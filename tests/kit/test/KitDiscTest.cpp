// The kit's disc backups against independent readers: libbluray for the
// navigation files (titles, clips, chapters, eye flag, 3D flag, EP maps),
// ffprobe/ffmpeg for the clips' contents and eyes. The kit's truth.json must
// agree with both, so the kit and a disc reader cannot merely agree with each other.
#include "KitTestSupport.h"
#include "StereoCheck.h"

#include <gtest/gtest.h>
#include <libbluray/bluray.h>
#include <libbluray/clpi_data.h>
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

// Every title of the truth as libbluray reads it from the disc at `path`
// (`folder` holds the same files).
void expectTitlesAsAuthored(const fs::path& path, const fs::path& folder, const Json& disc) {
    SCOPED_TRACE(path.string());
    Bluray bd = openDisc(path);
    const BLURAY_DISC_INFO* info = bd_get_disc_info(bd.get());
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->bluray_detected);
    EXPECT_TRUE(info->content_exist_3D);
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
            // libbluray counts from the entry point at IN, where the first picture's PES starts.
            const uint64_t packets =
                fs::file_size(folder / "BDMV/STREAM" / clips[c]["base"].get<std::string>()) / 192;
            EXPECT_LE(clip.pkt_count, packets);
            EXPECT_GE(clip.pkt_count, packets - 8);
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
        // The 3D title is the longest; the 2D one holds the first clip alone.
        const Json& titles = disc["titles"];
        EXPECT_TRUE(titles[0]["is3D"].get<bool>());
        EXPECT_FALSE(titles[1]["is3D"].get<bool>());
        EXPECT_GT(titles[0]["duration45k"].get<uint64_t>(), titles[1]["duration45k"].get<uint64_t>());
        EXPECT_EQ(titles[0]["clips"].size(), 3u);
        EXPECT_GE(titles[0]["chapters"].size(), 3u);
    }
}

// libbluray opens the image through libudfread and finds the same titles and
// the same bytes in every file as in the folder it was made from; udftools'
// udfinfo reads its volume structure.
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
        for (const Json& clip : disc["titles"][0]["clips"]) {
            const fs::path stream = discs.dir() / name / "BDMV/STREAM";
            SCOPED_TRACE(name + "/" + clip["base"].get<std::string>());
            const std::vector<int> base = packetCounts(stream / clip["base"].get<std::string>());
            ASSERT_EQ(base.size(), 3u);
            EXPECT_EQ(base[0], clip["frames"].get<int>());
            EXPECT_EQ(base[1], clip["audioFrames"].get<int>());
            EXPECT_EQ(base[2], clip["audioFrames"].get<int>());
            EXPECT_EQ(packetCounts(stream / clip["dependent"].get<std::string>()).size(), 1u);
            const std::vector<uint64_t> baseTimes =
                pesTimes(stream / clip["base"].get<std::string>(), 0x1011);
            EXPECT_EQ(baseTimes.size(), clip["frames"].get<size_t>());
            EXPECT_EQ(pesTimes(stream / clip["dependent"].get<std::string>(), 0x1012), baseTimes);
            EXPECT_EQ(*std::min_element(baseTimes.begin(), baseTimes.end()),
                      clip["firstPts90k"].get<uint64_t>());
        }
    }
}

// The base clips, decoded by ffmpeg one after another, show the truth's base
// eye: frames in the kit's order, close to that eye's source, far from the other's.
TEST_P(KitDiscs, BaseClipsShowTheBaseEye) {
    const Discs discs{GetParam()};
    const Json truth = discs.truth();
    const auto info = setInfo(GetParam());
    const size_t frameSize = std::stoul(info.at("width")) * std::stoul(info.at("height")) * 3 / 2;
    const Bytes leftSource = readBytes(setDir(GetParam()) / "left_src.yuv");
    const Bytes rightSource = readBytes(setDir(GetParam()) / "right_src.yuv");
    for (const auto& [name, disc] : truth["discs"].items()) {
        const Json& title = disc["titles"][0];
        EyeScore score;
        size_t frames = 0;
        for (const Json& clip : title["clips"]) {
            const std::string yuv =
                capture({"ffmpeg", "-nostdin", "-v", "error", "-i",
                         (discs.dir() / name / "BDMV/STREAM" / clip["base"].get<std::string>()).string(),
                         "-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"});
            ASSERT_EQ(yuv.size(), clip["frames"].get<size_t>() * frameSize);
            const size_t first = clip["kitFirstFrame"].get<size_t>();
            ASSERT_EQ(first, frames);
            const auto bytes = std::span(reinterpret_cast<const uint8_t*>(yuv.data()), yuv.size());
            score.add(bytes, std::span(leftSource).subspan(first * frameSize, yuv.size()),
                      std::span(rightSource).subspan(first * frameSize, yuv.size()));
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

INSTANTIATE_TEST_SUITE_P(Set, KitDiscs, ::testing::Values(KIT_DISC_SET));

} // namespace
} // namespace kit::test
