#include "BluRayDisc.h"

#include <libbluray/bluray.h>
#include <libbluray/filesystem.h>
#include <libbluray/log_control.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "PlaylistExtension.h"

namespace disc {

namespace fs = std::filesystem;

namespace {

std::string lowerExtension(const fs::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

bool isFiveDigits(const std::string& text) {
    return text.size() == 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool holdsIndex(const fs::path& bdmv) {
    std::error_code error;
    return fs::is_regular_file(bdmv / "index.bdmv", error) || fs::is_regular_file(bdmv / "INDEX.BDM", error);
}

std::string codecName(uint8_t codingType) {
    switch (codingType) {
    case BLURAY_STREAM_TYPE_AUDIO_MPEG1:
    case BLURAY_STREAM_TYPE_AUDIO_MPEG2:
        return "MPEG audio";
    case BLURAY_STREAM_TYPE_AUDIO_LPCM:
        return "LPCM";
    case BLURAY_STREAM_TYPE_AUDIO_AC3:
        return "AC-3";
    case BLURAY_STREAM_TYPE_AUDIO_DTS:
        return "DTS";
    case BLURAY_STREAM_TYPE_AUDIO_TRUHD:
        return "TrueHD";
    case BLURAY_STREAM_TYPE_AUDIO_AC3PLUS:
        return "E-AC-3";
    case BLURAY_STREAM_TYPE_AUDIO_DTSHD:
        return "DTS-HD";
    case BLURAY_STREAM_TYPE_AUDIO_DTSHD_MASTER:
        return "DTS-HD MA";
    default:
        return "audio type " + std::to_string(codingType);
    }
}

void setVideoFacts(Title& title, const BLURAY_STREAM_INFO& video) {
    switch (video.format) {
    case BLURAY_VIDEO_FORMAT_480I:
    case BLURAY_VIDEO_FORMAT_480P:
        title.width = 720, title.height = 480;
        break;
    case BLURAY_VIDEO_FORMAT_576I:
    case BLURAY_VIDEO_FORMAT_576P:
        title.width = 720, title.height = 576;
        break;
    case BLURAY_VIDEO_FORMAT_720P:
        title.width = 1280, title.height = 720;
        break;
    case BLURAY_VIDEO_FORMAT_2160P:
        title.width = 3840, title.height = 2160;
        break;
    default:
        title.width = 1920, title.height = 1080;
        break;
    }
    switch (video.rate) {
    case BLURAY_VIDEO_RATE_24:
        title.frameRateNum = 24, title.frameRateDen = 1;
        break;
    case BLURAY_VIDEO_RATE_25:
        title.frameRateNum = 25, title.frameRateDen = 1;
        break;
    case BLURAY_VIDEO_RATE_30000_1001:
        title.frameRateNum = 30000, title.frameRateDen = 1001;
        break;
    case BLURAY_VIDEO_RATE_50:
        title.frameRateNum = 50, title.frameRateDen = 1;
        break;
    case BLURAY_VIDEO_RATE_60000_1001:
        title.frameRateNum = 60000, title.frameRateDen = 1001;
        break;
    default:
        title.frameRateNum = 24000, title.frameRateDen = 1001;
        break;
    }
}

std::string clipPath(const std::string& clip) {
    return "BDMV/STREAM/" + clip + ".m2ts";
}

class LibblurayClip : public ClipStream {
  public:
    LibblurayClip(BD_FILE_H* file, std::string name, uint64_t size)
        : file_(file), name_(std::move(name)), size_(size) {}
    ~LibblurayClip() override { file_->close(file_); }
    size_t read(uint8_t* destination, size_t size) override {
        int64_t got = file_->read(file_, destination, static_cast<int64_t>(size));
        if (got < 0) throw DiscError("cannot read clip " + name_ + ".m2ts");
        return static_cast<size_t>(got);
    }
    uint64_t size() const override { return size_; }

  private:
    BD_FILE_H* file_;
    std::string name_;
    uint64_t size_;
};

} // namespace

std::string Title::playlistName() const {
    char name[16];
    std::snprintf(name, sizeof name, "%05u.mpls", playlist);
    return name;
}

std::optional<DiscLocation> locateDisc(const fs::path& given) {
    std::error_code error;
    fs::path path = fs::absolute(given, error).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    if (fs::is_directory(path, error)) {
        if (holdsIndex(path / "BDMV")) return DiscLocation{path, {}, {}};
        if (path.filename() == "BDMV" && holdsIndex(path)) return DiscLocation{path.parent_path(), {}, {}};
        return std::nullopt;
    }
    std::string extension = lowerExtension(path);
    if (extension == ".iso") return DiscLocation{path, {}, {}};
    fs::path folder = path.parent_path();
    fs::path bdmv = folder.parent_path();
    std::string stem = path.stem().string();
    if (!isFiveDigits(stem) || bdmv.filename() != "BDMV" || !holdsIndex(bdmv)) return std::nullopt;
    if (extension == ".mpls" && folder.filename() == "PLAYLIST")
        return DiscLocation{bdmv.parent_path(), static_cast<unsigned>(std::stoul(stem)), {}};
    if (extension == ".m2ts" && folder.filename() == "STREAM")
        return DiscLocation{bdmv.parent_path(), {}, stem};
    return std::nullopt;
}

BluRayDisc::BluRayDisc(const fs::path& root) : root_(root) {
    // libbluray's own diagnostics would go to standard error beside ours; what
    // went wrong is said by the error thrown here.
    bd_set_debug_mask(0);
    handle_ = bd_open(root.c_str(), nullptr);
    if (!handle_)
        throw DiscError(
            "cannot open " + root.string() +
            " as a Blu-ray disc: no BDMV found (an image must be a readable UDF image of a disc)");
    const BLURAY_DISC_INFO* info = bd_get_disc_info(handle_);
    if (!info || !info->bluray_detected) {
        bd_close(handle_);
        throw DiscError("no Blu-ray disc found in " + root.string() +
                        " (an image must be a readable UDF image holding BDMV/)");
    }
    if (info->aacs_detected || info->bdplus_detected) {
        std::string scheme = info->aacs_detected && info->bdplus_detected ? "AACS and BD+"
                             : info->aacs_detected                        ? "AACS"
                                                                          : "BD+";
        bd_close(handle_);
        throw DiscError("the disc " + root.string() + " is encrypted (" + scheme +
                        "); Duoscope never decrypts: convert a decrypted backup");
    }
    uint32_t count = bd_get_titles(handle_, TITLES_RELEVANT, 0);
    for (uint32_t index = 0; index < count; ++index) {
        BLURAY_TITLE_INFO* info = bd_get_title_info(handle_, index, 0);
        if (!info) continue;
        Title title;
        title.number = index + 1;
        title.playlist = info->playlist;
        title.duration = static_cast<double>(info->duration) / 90000.0;
        title.baseViewIsRight = info->mvc_base_view_r_flag != 0;
        for (uint32_t i = 0; i < info->chapter_count; ++i)
            title.chapters.push_back(static_cast<double>(info->chapters[i].start) / 90000.0);
        for (uint32_t i = 0; i < info->clip_count; ++i) {
            const BLURAY_CLIP_INFO& clip = info->clips[i];
            title.clips.push_back(
                {clip.clip_id, "", clip.in_time, clip.out_time, clip.start_time, 0, clip.pkt_count});
        }
        if (info->clip_count > 0) {
            const BLURAY_CLIP_INFO& first = info->clips[0];
            if (first.video_stream_count > 0) setVideoFacts(title, first.video_streams[0]);
            for (unsigned i = 0; i < first.audio_stream_count; ++i) {
                const BLURAY_STREAM_INFO& audio = first.audio_streams[i];
                title.audio.push_back({audio.pid,
                                       std::string(reinterpret_cast<const char*>(audio.lang),
                                                   strnlen(reinterpret_cast<const char*>(audio.lang), 3)),
                                       codecName(audio.coding_type)});
            }
        }
        bd_free_title_info(info);

        void* bytes = nullptr;
        int64_t size = 0;
        std::string path = "BDMV/PLAYLIST/" + title.playlistName();
        if (bd_read_file(handle_, path.c_str(), &bytes, &size) && bytes) {
            try {
                PlaylistFacts facts =
                    parsePlaylist({static_cast<const uint8_t*>(bytes), static_cast<size_t>(size)});
                if (facts.playItems.size() == title.clips.size()) {
                    for (size_t i = 0; i < title.clips.size(); ++i) {
                        title.clips[i].connectionCondition = facts.playItems[i].connectionCondition;
                        if (facts.hasDependentView())
                            title.clips[i].dependentClip = facts.dependentClips[i].clipName;
                    }
                    title.is3D = facts.hasDependentView();
                } else {
                    title.playlistProblem = "its play-items and libbluray's clips differ in number";
                }
            } catch (const PlaylistError& problem) {
                title.playlistProblem = problem.what();
            }
        } else {
            title.playlistProblem = "cannot read " + path;
        }
        std::free(bytes);
        titles_.push_back(std::move(title));
    }
}

BluRayDisc::~BluRayDisc() {
    if (handle_) bd_close(handle_);
}

const Title* BluRayDisc::defaultTitle() const {
    const Title* best = nullptr;
    for (const Title& title : titles_)
        if (title.is3D && (!best || title.duration > best->duration)) best = &title;
    return best;
}

const Title* BluRayDisc::titleWithPlaylist(unsigned playlist) const {
    for (const Title& title : titles_)
        if (title.playlist == playlist) return &title;
    return nullptr;
}

const Title* BluRayDisc::titleWithClip(const std::string& baseClip) const {
    const Title* best = nullptr;
    for (const Title& title : titles_)
        for (const TitleClip& clip : title.clips)
            if (title.is3D && clip.baseClip == baseClip && (!best || title.duration > best->duration))
                best = &title;
    return best;
}

std::optional<uint64_t> BluRayDisc::clipSize(const std::string& clip) const {
    BD_FILE_H* file = bd_open_file_dec(handle_, clipPath(clip).c_str());
    if (!file) return std::nullopt;
    int64_t size = file->seek(file, 0, SEEK_END);
    file->close(file);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

void BluRayDisc::checkClips(const Title& title, const std::optional<std::string>& onlyBaseClip) const {
    for (const TitleClip& clip : title.clips) {
        if (onlyBaseClip && clip.baseClip != *onlyBaseClip) continue;
        for (const std::string& name : {clip.baseClip, clip.dependentClip}) {
            if (name.empty()) continue;
            std::string role = name == clip.baseClip ? "clip " : "3D clip ";
            std::string where = role + name + ".m2ts named by playlist " + title.playlistName();
            auto size = clipSize(name);
            if (!size) throw DiscError("the " + where + " is missing");
            if (*size == 0) throw DiscError("the " + where + " is empty (0 bytes)");
            // Clips hold whole 192-byte source packets; the base clip's count is in its clip information.
            bool cutShort =
                *size % 192 != 0 || (name == clip.baseClip && clip.packets > 0 && *size < clip.packets * 192);
            if (cutShort)
                throw DiscError("the " + where + " is cut short (" + std::to_string(*size) + " bytes)");
        }
    }
}

std::unique_ptr<ClipStream> BluRayDisc::openClip(const std::string& clip) const {
    auto size = clipSize(clip);
    BD_FILE_H* file = bd_open_file_dec(handle_, clipPath(clip).c_str());
    if (!file || !size) {
        if (file) file->close(file);
        throw DiscError("the clip " + clip + ".m2ts is missing from " + root_.string());
    }
    return std::make_unique<LibblurayClip>(file, clip, *size);
}

std::string formatDuration(double seconds) {
    long total = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

const Title& chooseTitle(const BluRayDisc& disc, std::optional<unsigned> titleNumber,
                         std::optional<unsigned> playlist, std::string* why) {
    const auto& titles = disc.titles();
    const Title* chosen = nullptr;
    std::string reason;
    if (titleNumber) {
        if (*titleNumber < 1 || *titleNumber > titles.size())
            throw DiscError("there is no title " + std::to_string(*titleNumber) + " on this disc (it has " +
                            std::to_string(titles.size()) + ")");
        chosen = &titles[*titleNumber - 1];
        reason = "asked for by number";
    } else if (playlist) {
        chosen = disc.titleWithPlaylist(*playlist);
        char name[16];
        std::snprintf(name, sizeof name, "%05u.mpls", *playlist);
        if (!chosen)
            throw DiscError(std::string("there is no title with playlist ") + name + " on this disc");
        reason = "asked for by playlist";
    } else {
        chosen = disc.defaultTitle();
        if (!chosen) throw DiscError("no stereoscopic 3D title on this disc");
        size_t count3D = std::count_if(titles.begin(), titles.end(), [](const Title& t) { return t.is3D; });
        reason = "the longest of " + std::to_string(count3D) + " 3D title" + (count3D == 1 ? "" : "s");
    }
    if (!chosen->is3D)
        throw DiscError("title " + std::to_string(chosen->number) + " (" + chosen->playlistName() +
                        ") is not stereoscopic 3D" +
                        (chosen->playlistProblem.empty() ? "" : ": " + chosen->playlistProblem));
    if (why) *why = reason;
    return *chosen;
}

std::optional<AudioTrack> chooseAudio(const Title& title, const std::string& language) {
    if (language.empty()) {
        if (title.audio.empty()) return std::nullopt;
        return title.audio.front();
    }
    for (const AudioTrack& track : title.audio)
        if (track.language == language) return track;
    std::string present;
    for (const AudioTrack& track : title.audio)
        present +=
            (present.empty() ? "" : ", ") + (track.language.empty() ? std::string("(none)") : track.language);
    throw DiscError("title " + std::to_string(title.number) + " has no audio in language \"" + language +
                    "\" (it has: " + (present.empty() ? "no audio" : present) + ")");
}

} // namespace disc
