#include "DiscAuthor.h"

#include "BlurayFiles.h"
#include "Containers.h"
#include "TestSupport.h"
#include "UdfImage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace kit {
namespace fs = std::filesystem;
namespace {

using Json = nlohmann::ordered_json;

constexpr uint16_t kSecondAudioPid = 0x1101;
constexpr uint32_t kRecordingRate = 48'000'000 / 8; // bytes per second, the Blu-ray 3D maximum

struct AudioTrack {
    uint16_t pid;
    const char* language;
};
// The second track repeats the first: what matters is that a reader can tell them apart.
constexpr AudioTrack kAudioTracks[] = {{kAudioPid, "eng"}, {kSecondAudioPid, "fra"}};

std::string clipName(int number) {
    char name[8];
    std::snprintf(name, sizeof name, "%05d", number);
    return name;
}

uint8_t videoFormatCode(int height) {
    switch (height) {
    case 720:
        return 5;
    case 576:
        return 7;
    case 480:
        return 3;
    default:
        return 6; // 1080p; the small set's size has no code of its own
    }
}

uint8_t frameRateCode(FrameRate rate) {
    const double fps = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    const std::pair<double, uint8_t> codes[] = {{23.976, 1}, {24, 2}, {25, 3},
                                                {29.97, 4},  {50, 6}, {59.94, 7}};
    for (const auto& [value, code] : codes)
        if (std::abs(fps - value) < 0.01) return code;
    return 1;
}

// One clip pair of the 3D title: a run of whole GOPs (closed, so its
// display frames are the same run).
struct ClipCut {
    size_t firstUnit = 0, endUnit = 0;
    int64_t startPts = 0, endPts = 0; // 90 kHz, before the shift
    int64_t shift = 0;                // its own time base when not continuous
    uint8_t connectionCondition = 1;
    std::vector<size_t> gopStarts;
};

struct AuthoredTitle {
    std::string playlist;
    PlaylistFile file;
    std::vector<size_t> clipIndices;
};

class DiscWriter {
  public:
    DiscWriter(const MvcComposition& video, std::span<const uint8_t> ac3, FrameRate rate, bool baseIsRight)
        : video_(video), ac3_(ac3), rate_(rate), baseIsRight_(baseIsRight) {}

    Json write(const fs::path& root) {
        cutClips();
        const fs::path bdmv = root / "BDMV";
        for (const char* sub : {"PLAYLIST", "CLIPINF", "STREAM", "AUXDATA", "BDJO", "JAR", "META",
                                "BACKUP/PLAYLIST", "BACKUP/CLIPINF", "BACKUP/BDJO"})
            fs::create_directories(bdmv / sub);

        std::vector<Json> clipTruth;
        for (size_t k = 0; k < cuts_.size(); ++k)
            clipTruth.push_back(writeClipPair(bdmv, k));

        const std::vector<AuthoredTitle> titles = {title3d(), title2d()};
        Json titleTruth = Json::array();
        std::vector<int> playlistNumbers;
        for (const AuthoredTitle& title : titles) {
            put(bdmv, "PLAYLIST/" + title.playlist, writePlaylist(title.file));
            playlistNumbers.push_back(std::stoi(title.playlist));
            titleTruth.push_back(describe(title, clipTruth));
        }
        put(bdmv, "index.bdmv",
            writeIndex(titles.size(), true, videoFormatCode(video_.height), frameRateCode(rate_)));
        put(bdmv, "MovieObject.bdmv", writeMovieObjects(playlistNumbers));
        return {{"baseIsRight", baseIsRight_}, {"titles", titleTruth}};
    }

  private:
    int64_t displayPts(int64_t frame) const { return 90000 + frameTime90k(frame + delay_, rate_); }

    void cutClips() {
        for (const auto& unit : video_.units)
            delay_ = std::max<int64_t>(delay_, static_cast<int64_t>(unit.decodeIndex) -
                                                   static_cast<int64_t>(unit.displayIndex));
        std::vector<size_t> gops;
        for (size_t i = 0; i < video_.units.size(); ++i)
            if (video_.units[i].isIdr) gops.push_back(i);
        if (gops.size() < 3)
            throw std::runtime_error("a disc title of three clips needs at least three IDR periods, not " +
                                     std::to_string(gops.size()));
        const size_t first = gops.size() / 2, second = (gops.size() - first) / 2;
        const size_t bounds[] = {0, first, first + second, gops.size()};
        for (size_t k = 0; k < 3; ++k) {
            ClipCut cut;
            cut.firstUnit = gops[bounds[k]];
            cut.endUnit = bounds[k + 1] < gops.size() ? gops[bounds[k + 1]] : video_.units.size();
            for (size_t g = bounds[k]; g < bounds[k + 1]; ++g)
                cut.gopStarts.push_back(gops[g]);
            for (size_t i = cut.firstUnit; i < cut.endUnit; ++i) {
                const size_t display = video_.units[i].displayIndex;
                if (display < cut.firstUnit || display >= cut.endUnit)
                    throw std::runtime_error("access unit " + std::to_string(i) +
                                             " is shown outside its IDR period; clips need closed GOPs");
            }
            cut.startPts = displayPts(static_cast<int64_t>(cut.firstUnit));
            cut.endPts = displayPts(static_cast<int64_t>(cut.endUnit));
            // The second clip continues the first on one time base (a seamless
            // connection, condition 6); the third starts a time base of its
            // own, as clips joined without seamlessness may (condition 1).
            cut.connectionCondition = k == 1 ? 6 : 1;
            cut.shift = k == 2 ? 90000 - video_.units[cut.firstUnit].dts : 0;
            cuts_.push_back(cut);
        }
    }

    static void put(const fs::path& bdmv, const std::string& name, const Bytes& bytes) {
        duoscope::test::writeBytes(bdmv / name, bytes);
        if (name.rfind("STREAM/", 0) != 0) duoscope::test::writeBytes(bdmv / "BACKUP" / name, bytes);
    }

    std::vector<BlurayStream> videoStreams() const {
        return {{kBaseVideoPid, kCodingAvc, videoFormatCode(video_.height), frameRateCode(rate_), ""}};
    }

    std::vector<BlurayStream> audioStreams() const {
        std::vector<BlurayStream> streams;
        for (const AudioTrack& track : kAudioTracks)
            streams.push_back({track.pid, kCodingAc3, 3 /* stereo */, 1 /* 48 kHz */, track.language});
        return streams;
    }

    Json writeClipPair(const fs::path& bdmv, size_t k) {
        const ClipCut& cut = cuts_[k];
        std::vector<AudioFrame> audio;
        if (!ac3_.empty())
            for (AudioFrame frame : splitAc3(ac3_, displayPts(0)))
                if (frame.pts >= cut.startPts && frame.pts < cut.endPts) {
                    frame.pts += cut.shift;
                    audio.push_back(frame);
                }
        for (const bool dependent : {false, true}) {
            TransportStreamContent content;
            content.firstUnit = cut.firstUnit;
            content.endUnit = cut.endUnit;
            content.withBase = !dependent;
            content.withDependent = dependent;
            content.timeShift90k = cut.shift;
            content.audioPids.clear();
            if (!dependent)
                for (const AudioTrack& track : kAudioTracks)
                    content.audioPids.push_back(track.pid);
            const WrittenTransportStream ts =
                writeTransportStream(video_, dependent ? std::vector<AudioFrame>{} : audio, true, content);

            ClipInformation info;
            info.isDependentView = dependent;
            info.sourcePackets = static_cast<uint32_t>(ts.bytes.size() / 192);
            info.recordingRate = kRecordingRate;
            info.presentationStart = static_cast<uint32_t>((cut.startPts + cut.shift) / 2);
            info.presentationEnd = static_cast<uint32_t>((cut.endPts + cut.shift) / 2);
            if (dependent) {
                info.streams = {{kDependentVideoPid, kCodingMvc, videoFormatCode(video_.height),
                                 frameRateCode(rate_), ""}};
            } else {
                info.streams = videoStreams();
                for (const BlurayStream& s : audioStreams())
                    info.streams.push_back(s);
            }
            info.entryPid = dependent ? kDependentVideoPid : kBaseVideoPid;
            for (size_t i = cut.firstUnit; i < cut.endUnit; ++i)
                if (video_.units[i].isAnchor)
                    info.entryPoints.push_back(
                        {video_.units[i].pts + cut.shift, ts.unitPackets[i - cut.firstUnit]});
            const std::string name = clipName(static_cast<int>(k + 1 + (dependent ? 10 : 0)));
            put(bdmv, "STREAM/" + name + ".m2ts", ts.bytes);
            put(bdmv, "CLIPINF/" + name + ".clpi", writeClipInformation(info));
        }
        return {{"base", clipName(static_cast<int>(k + 1)) + ".m2ts"},
                {"dependent", clipName(static_cast<int>(k + 11)) + ".m2ts"},
                {"frames", cut.endUnit - cut.firstUnit},
                {"kitFirstFrame", cut.firstUnit},
                {"firstPts90k", cut.startPts + cut.shift},
                {"timeShift90k", cut.shift},
                {"audioFrames", audio.size()}};
    }

    PlayItem playItem(size_t k) const {
        const ClipCut& cut = cuts_[k];
        PlayItem item;
        item.clip = clipName(static_cast<int>(k + 1));
        item.connectionCondition = k == 0 ? 1 : cut.connectionCondition;
        item.inTime = static_cast<uint32_t>((cut.startPts + cut.shift) / 2);
        item.outTime = static_cast<uint32_t>((cut.endPts + cut.shift) / 2);
        item.video = videoStreams();
        item.audio = audioStreams();
        return item;
    }

    AuthoredTitle title3d() const {
        AuthoredTitle title{"00001.mpls", {}, {0, 1, 2}};
        title.file.baseViewIsRight = baseIsRight_;
        for (size_t k = 0; k < cuts_.size(); ++k) {
            const PlayItem item = playItem(k);
            title.file.items.push_back(item);
            title.file.dependentView.push_back({clipName(static_cast<int>(k + 11)), item.connectionCondition,
                                                item.inTime, item.outTime, static_cast<uint16_t>(k),
                                                item.inTime});
            // A chapter at every clip, and at every IDR period of the first.
            const auto& gops = cuts_[k].gopStarts;
            for (size_t g = 0; g < (k == 0 ? gops.size() : 1); ++g)
                title.file.marks.push_back(
                    {static_cast<uint16_t>(k),
                     static_cast<uint32_t>((displayPts(static_cast<int64_t>(gops[g])) + cuts_[k].shift) /
                                           2)});
        }
        return title;
    }

    // The 2D version: the first clip's base view alone.
    AuthoredTitle title2d() const {
        AuthoredTitle title{"00002.mpls", {}, {0}};
        title.file.baseViewIsRight = baseIsRight_;
        title.file.items.push_back(playItem(0));
        title.file.marks.push_back({0, title.file.items[0].inTime});
        return title;
    }

    Json describe(const AuthoredTitle& title, const std::vector<Json>& clipTruth) const {
        const bool is3d = !title.file.dependentView.empty();
        Json clips = Json::array();
        uint64_t duration = 0;
        size_t frames = 0;
        std::vector<uint64_t> itemStarts;
        for (size_t i = 0; i < title.file.items.size(); ++i) {
            const PlayItem& item = title.file.items[i];
            Json clip = clipTruth[title.clipIndices[i]];
            if (!is3d) clip.erase("dependent");
            clip["in45k"] = item.inTime;
            clip["out45k"] = item.outTime;
            clip["connectionCondition"] = item.connectionCondition;
            clips.push_back(clip);
            itemStarts.push_back(duration);
            duration += item.outTime - item.inTime;
            frames += clip["frames"].get<size_t>();
        }
        Json chapters = Json::array();
        for (const PlaylistMark& mark : title.file.marks) {
            const uint64_t at =
                itemStarts[mark.playItem] + mark.time - title.file.items[mark.playItem].inTime;
            chapters.push_back({{"time45k", at}, {"seconds", static_cast<double>(at) / 45000.0}});
        }
        Json audio = Json::array();
        for (const AudioTrack& track : kAudioTracks)
            audio.push_back({{"language", track.language}, {"codec", "ac3"}, {"pid", track.pid}});
        const char* baseEye = baseIsRight_ ? "right" : "left";
        return {{"playlist", title.playlist},
                {"is3D", is3d},
                {"baseIsRight", baseIsRight_},
                {"baseEye", baseEye},
                {"duration45k", duration},
                {"durationSeconds", static_cast<double>(duration) / 45000.0},
                {"frames", frames},
                {"kitFrames", {{"first", 0}, {"count", frames}}},
                {"clips", clips},
                {"chapters", chapters},
                {"audio", audio}};
    }

    const MvcComposition& video_;
    std::span<const uint8_t> ac3_;
    FrameRate rate_;
    bool baseIsRight_;
    int64_t delay_ = 0;
    std::vector<ClipCut> cuts_;
};

} // namespace

bool makeDiscs(const SetSpec& spec, const fs::path& outputRoot, const std::string& stamp, bool force,
               const Log& log) {
    const fs::path setDir = outputRoot / spec.name;
    FileLock lock(outputRoot / ("." + spec.name + ".discs.lock"));
    const fs::path finalDir = setDir / "discs";
    if (!force && fs::exists(finalDir / "kit.stamp") &&
        duoscope::test::readFile(finalDir / "kit.stamp") == stamp) {
        log("stereokit: " + finalDir.string() + " is up to date");
        return false;
    }
    const fs::path work = setDir / "discs.partial";
    fs::remove_all(work);
    fs::create_directories(work);
    log("stereokit: making the discs of set " + spec.name + " in " + work.string());

    // Three clips cut at IDR pictures need three IDR periods; the set's own
    // encode serves when it has them, else the sources are encoded again.
    SetSpec discSpec = spec;
    discSpec.keyint = std::max(1, std::min(spec.keyint, spec.frames / 4));
    fs::path encodes = setDir / defaultProfile().name;
    if (discSpec.keyint != spec.keyint || !fs::exists(encodes / "left.264")) {
        encodes = work / "encode";
        encodeEyes(discSpec, defaultProfile(), setDir, encodes);
    }
    const Bytes left = duoscope::test::readBytes(encodes / "left.264");
    const Bytes right = duoscope::test::readBytes(encodes / "right.264");
    const Bytes ac3 = duoscope::test::readBytes(setDir / "audio.ac3");

    Json discs;
    for (const bool baseIsRight : {false, true}) {
        const MvcComposition video =
            baseIsRight ? composeMvc(right, left, spec.rate) : composeMvc(left, right, spec.rate);
        const std::string name = baseIsRight ? "film3d_right" : "film3d";
        discs[name] = DiscWriter(video, ac3, spec.rate, baseIsRight).write(work / name);
        log("stereokit: disc " + name + " done");
    }
    fs::remove_all(work / "encode");
    writeUdfImage(work / "film3d", work / "film3d.iso", "FILM3D");
    log("stereokit: image film3d.iso done");

    const Json truth = {{"set", spec.name},
                        {"width", spec.width},
                        {"height", spec.height},
                        {"fps", std::to_string(spec.rate.num) + "/" + std::to_string(spec.rate.den)},
                        {"keyint", discSpec.keyint},
                        {"discs", discs},
                        {"images", {{"film3d.iso", "film3d"}}}};
    duoscope::test::writeFile(work / "truth.json", truth.dump(2) + "\n");
    duoscope::test::writeFile(work / "kit.stamp", stamp);
    fs::remove_all(finalDir);
    fs::rename(work, finalDir);
    log("stereokit: discs of set " + spec.name + " ready in " + finalDir.string());
    return true;
}

} // namespace kit
