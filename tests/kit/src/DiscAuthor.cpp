#include "DiscAuthor.h"

#include "BlurayFiles.h"
#include "Containers.h"
#include "TestSupport.h"
#include "UdfImage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kit {
namespace fs = std::filesystem;
namespace {

using Json = nlohmann::ordered_json;

constexpr uint16_t kSecondAudioPid = 0x1101;
constexpr uint32_t kRecordingRate =
    48'000'000 / 8; // bytes per second: 48 Mb/s, the TS_recording_rate of Blu-ray movie clips

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
// display frames are the same run) that its play item shows, in clip files
// that may begin earlier.
struct ClipCut {
    size_t fileFirstUnit = 0;                           // the clip files' first access unit
    size_t firstUnit = 0, endUnit = 0;                  // what the play item shows
    int64_t fileStartPts = 0, startPts = 0, endPts = 0; // 90 kHz, before the shift
    int64_t shift = 0;                                  // its own time base when not continuous
    uint8_t connectionCondition = 1;
    std::vector<size_t> gopStarts;     // of the shown run
    std::vector<uint32_t> basePackets; // per access unit of the files: where its base view PES starts
};

struct AuthoredTitle {
    std::string playlist;
    PlaylistFile file;
    std::vector<size_t> clipIndices;
    std::vector<std::pair<size_t, size_t>> shownFrames; // per play item: first kit frame, end
};

class DiscWriter {
  public:
    // A 2D disc (isStereo false) has the same clips without their dependent
    // halves and one title, the 3D title's 2D counterpart.
    DiscWriter(const MvcComposition& video, std::span<const uint8_t> ac3, FrameRate rate, bool baseIsRight,
               bool isStereo)
        : video_(video), ac3_(ac3), rate_(rate), baseIsRight_(baseIsRight), isStereo_(isStereo) {}

    Json write(const fs::path& root) {
        cutClips();
        const fs::path bdmv = root / "BDMV";
        for (const char* sub : {"PLAYLIST", "CLIPINF", "STREAM", "AUXDATA", "BDJO", "JAR", "META",
                                "BACKUP/PLAYLIST", "BACKUP/CLIPINF", "BACKUP/BDJO"})
            fs::create_directories(bdmv / sub);

        std::vector<Json> clipTruth;
        for (size_t k = 0; k < cuts_.size(); ++k)
            clipTruth.push_back(writeClipPair(bdmv, k));

        const std::vector<AuthoredTitle> titles = isStereo_ ? std::vector<AuthoredTitle>{title3d(), title2d()}
                                                            : std::vector<AuthoredTitle>{title3d()};
        Json titleTruth = Json::array();
        std::vector<int> playlistNumbers;
        for (const AuthoredTitle& title : titles) {
            put(bdmv, "PLAYLIST/" + title.playlist, writePlaylist(title.file));
            playlistNumbers.push_back(std::stoi(title.playlist));
            titleTruth.push_back(describe(title, clipTruth));
        }
        put(bdmv, "index.bdmv",
            writeIndex(titles.size(), isStereo_, videoFormatCode(video_.height), frameRateCode(rate_)));
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
            // The second clip continues the first on one time base (a seamless
            // connection, condition 6). The third starts a time base of its
            // own, as clips joined without seamlessness may (condition 1), and
            // its files begin with the second clip's pictures again, which
            // its play item's IN time leaves out.
            cut.fileFirstUnit = k == 2 ? cuts_[1].firstUnit : cut.firstUnit;
            cut.fileStartPts = displayPts(static_cast<int64_t>(cut.fileFirstUnit));
            cut.startPts = displayPts(static_cast<int64_t>(cut.firstUnit));
            cut.endPts = displayPts(static_cast<int64_t>(cut.endUnit));
            cut.connectionCondition = k == 1 ? 6 : 1;
            cut.shift = k == 2 ? 90000 - video_.units[cut.fileFirstUnit].dts : 0;
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
        ClipCut& cut = cuts_[k];
        std::vector<AudioFrame> audio;
        if (!ac3_.empty())
            for (AudioFrame frame : splitAc3(ac3_, displayPts(0)))
                if (frame.pts >= cut.fileStartPts && frame.pts < cut.endPts) {
                    frame.pts += cut.shift;
                    audio.push_back(frame);
                }
        for (const bool dependent : {false, true}) {
            if (dependent && !isStereo_) continue;
            TransportStreamContent content;
            content.firstUnit = cut.fileFirstUnit;
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
            if (!dependent) cut.basePackets = ts.unitPackets;

            ClipInformation info;
            info.isDependentView = dependent;
            info.sourcePackets = static_cast<uint32_t>(ts.bytes.size() / 192);
            info.recordingRate = kRecordingRate;
            info.presentationStart = static_cast<uint32_t>((cut.fileStartPts + cut.shift) / 2);
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
            for (size_t i = cut.fileFirstUnit; i < cut.endUnit; ++i)
                if (video_.units[i].isAnchor)
                    info.entryPoints.push_back(
                        {video_.units[i].pts + cut.shift, ts.unitPackets[i - cut.fileFirstUnit]});
            const std::string name = clipName(static_cast<int>(k + 1 + (dependent ? 10 : 0)));
            put(bdmv, "STREAM/" + name + ".m2ts", ts.bytes);
            put(bdmv, "CLIPINF/" + name + ".clpi", writeClipInformation(info));
        }
        return {{"base", clipName(static_cast<int>(k + 1)) + ".m2ts"},
                {"dependent", clipName(static_cast<int>(k + 11)) + ".m2ts"},
                {"clipFrames", cut.endUnit - cut.fileFirstUnit},
                {"clipKitFirstFrame", cut.fileFirstUnit},
                {"clipFirstPts90k", cut.fileStartPts + cut.shift},
                {"timeShift90k", cut.shift},
                {"audioFrames", audio.size()}};
    }

    // The play item of clip k showing kit frames [cut's first, end).
    PlayItem playItem(size_t k, size_t endFrame) const {
        const ClipCut& cut = cuts_[k];
        PlayItem item;
        item.clip = clipName(static_cast<int>(k + 1));
        item.connectionCondition = k == 0 ? 1 : cut.connectionCondition;
        item.inTime = static_cast<uint32_t>((cut.startPts + cut.shift) / 2);
        item.outTime = static_cast<uint32_t>((displayPts(static_cast<int64_t>(endFrame)) + cut.shift) / 2);
        item.video = videoStreams();
        item.audio = audioStreams();
        return item;
    }

    AuthoredTitle title3d() const {
        AuthoredTitle title{"00001.mpls", {}, {0, 1, 2}, {}};
        title.file.baseViewIsRight = baseIsRight_;
        for (size_t k = 0; k < cuts_.size(); ++k) {
            const PlayItem item = playItem(k, cuts_[k].endUnit);
            title.shownFrames.push_back({cuts_[k].firstUnit, cuts_[k].endUnit});
            title.file.items.push_back(item);
            if (isStereo_)
                title.file.dependentView.push_back({clipName(static_cast<int>(k + 11)),
                                                    item.connectionCondition, item.inTime, item.outTime,
                                                    static_cast<uint16_t>(k), item.inTime});
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

    // A 2D extract: the first clip's base view alone, up to its OUT time at
    // the end of its first IDR period when it has more than one.
    AuthoredTitle title2d() const {
        AuthoredTitle title{"00002.mpls", {}, {0}, {}};
        title.file.baseViewIsRight = baseIsRight_;
        const auto& gops = cuts_[0].gopStarts;
        const size_t end = gops.size() > 1 ? gops[1] : cuts_[0].endUnit;
        title.file.items.push_back(playItem(0, end));
        title.shownFrames.push_back({cuts_[0].firstUnit, end});
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
            const auto [first, end] = title.shownFrames[i];
            const ClipCut& cut = cuts_[title.clipIndices[i]];
            clip["frames"] = end - first;
            clip["kitFirstFrame"] = first;
            clip["firstPts90k"] = displayPts(static_cast<int64_t>(first)) + cut.shift;
            clip["inEntryPacket"] = cut.basePackets[first - cut.fileFirstUnit];
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
    bool baseIsRight_, isStereo_;
    int64_t delay_ = 0;
    std::vector<ClipCut> cuts_;
};

// A copy of a disc as it is before decryption: AACS files present and every
// clip's aligned units (32 packets) scrambled after their first 16 bytes with
// the copy permission bits set, as AACS encrypts them. Nothing can read its
// clips; its navigation files stay as they were, as on a real disc.
void writeEncryptedCopy(const fs::path& disc, const fs::path& copy) {
    fs::copy(disc, copy, fs::copy_options::recursive);
    fs::create_directories(copy / "AACS" / "DUPLICATE");
    for (const char* name :
         {"Unit_Key_RO.inf", "MKB_RO.inf", "Content000.cer", "ContentHash000.tbl", "DUPLICATE/MKB_RO.inf"})
        duoscope::test::writeBytes(copy / "AACS" / name, Bytes(2048, 0x5A));
    uint32_t state = 0x2545F491;
    for (const auto& entry : fs::directory_iterator(copy / "BDMV/STREAM")) {
        Bytes clip = duoscope::test::readBytes(entry.path());
        for (size_t unit = 0; unit + 6144 <= clip.size(); unit += 6144) {
            clip[unit] |= 0xC0; // copy_permission_indicator of the unit's first packet
            for (size_t i = unit + 16; i < unit + 6144; ++i) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                clip[i] ^= static_cast<uint8_t>(state);
            }
        }
        duoscope::test::writeBytes(entry.path(), clip);
    }
}

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
    const MvcComposition leftBase = composeMvc(left, right, spec.rate);
    const MvcComposition rightBase = composeMvc(right, left, spec.rate);
    const struct {
        const char* name;
        const MvcComposition& video;
        bool baseIsRight, isStereo;
    } kinds[] = {{"film3d", leftBase, false, true},
                 {"film3d_right", rightBase, true, true},
                 {"film2d", leftBase, false, false}};
    for (const auto& kind : kinds) {
        discs[kind.name] =
            DiscWriter(kind.video, ac3, spec.rate, kind.baseIsRight, kind.isStereo).write(work / kind.name);
        log(std::string("stereokit: disc ") + kind.name + " done");
    }
    fs::remove_all(work / "encode");
    writeUdfImage(work / "film3d", work / "film3d.iso", "FILM3D");
    log("stereokit: image film3d.iso done");
    writeEncryptedCopy(work / "film3d", work / "film3d_aacs");

    const Json truth = {{"set", spec.name},
                        {"width", spec.width},
                        {"height", spec.height},
                        {"fps", std::to_string(spec.rate.num) + "/" + std::to_string(spec.rate.den)},
                        {"keyint", discSpec.keyint},
                        {"discs", discs},
                        {"images", {{"film3d.iso", "film3d"}}},
                        {"encrypted", {{"film3d_aacs", "film3d"}}}};
    duoscope::test::writeFile(work / "truth.json", truth.dump(2) + "\n");
    duoscope::test::writeFile(work / "kit.stamp", stamp);
    fs::remove_all(finalDir);
    fs::rename(work, finalDir);
    log("stereokit: discs of set " + spec.name + " ready in " + finalDir.string());
    return true;
}

} // namespace kit
