#include "DiscAnalysis.h"

#include <cstdio>
#include <stdexcept>

#include "disc/BluRayDisc.h"

namespace duoscope {

namespace fs = std::filesystem;

bool isDiscSource(const fs::path& path) {
    return disc::locateDisc(path).has_value();
}

std::optional<fs::path> discRoot(const fs::path& path) {
    auto location = disc::locateDisc(path);
    if (!location) return std::nullopt;
    return location->root;
}

std::optional<SourceFileInfo> analyseDisc(const fs::path& path, const DiscChoice& choice,
                                          const std::function<void(const std::string&)>& log) {
    auto location = disc::locateDisc(path);
    if (!location) return std::nullopt;
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    try {
        disc::BluRayDisc bluRay(location->root);
        std::optional<unsigned> playlist = choice.playlist ? choice.playlist : location->playlist;
        std::string reason;
        const disc::Title* title = nullptr;
        if (location->baseClip && !choice.titleNumber && !choice.playlist) {
            title = bluRay.titleWithClip(*location->baseClip);
            if (!title)
                throw disc::DiscError("no 3D playlist of this disc plays clip " + *location->baseClip +
                                      ".m2ts");
            reason = "the longest 3D playlist that plays clip " + *location->baseClip + ".m2ts";
        } else {
            title = &disc::chooseTitle(bluRay, choice.titleNumber, playlist, &reason);
            if (location->playlist && !choice.titleNumber && !choice.playlist) reason = "the playlist given";
        }
        bluRay.checkClips(*title);
        auto audio = disc::chooseAudio(*title, choice.audioLanguage);

        SourceFileInfo info;
        info.url = path;
        info.fileName = path.filename().string();
        info.title = location->root.stem().string() + " title " + std::to_string(title->number);
        info.duration = title->duration;
        info.videoWidth = title->width;
        info.videoHeight = title->height;
        info.resolution = std::to_string(title->width) + "x" + std::to_string(title->height);
        info.frameRateNum = title->frameRateNum;
        info.frameRateDen = title->frameRateDen;
        info.hasMVCStream = true;
        info.stereoMode = Stereo3DMode::mvcSeparateTracks(title->baseViewIsRight);
        info.layoutSignal = std::string("disc playlist (MVC dependent-view sub-path, base view is the ") +
                            (title->baseViewIsRight ? "right" : "left") + " eye)";
        DiscTitleSource source;
        source.root = location->root;
        source.titleNumber = title->number;
        source.playlist = title->playlist;
        source.playlistName = title->playlistName();
        source.chapters = title->chapters;
        source.reason = reason;
        if (location->baseClip && !choice.titleNumber && !choice.playlist) {
            source.baseClip = location->baseClip;
            for (const auto& clip : title->clips)
                if (clip.baseClip == *location->baseClip) {
                    info.duration = static_cast<double>(clip.outTime - clip.inTime) / 90000.0;
                    say("Clip " + clip.baseClip + ".m2ts: its dependent view is " + clip.dependentClip +
                        ".m2ts (playlist " + title->playlistName() + ")");
                }
            // A clip alone has no chapters of its own.
            source.chapters.clear();
        }
        if (audio) {
            source.audioPid = audio->pid;
            source.audioDescription =
                (audio->language.empty() ? "und" : audio->language) + " " + audio->codec;
        }
        say("Disc title " + std::to_string(title->number) + " (" + title->playlistName() + ", " +
            disc::formatDuration(title->duration) + ", " + std::to_string(title->clips.size()) +
            " clips): " + reason);
        info.disc = std::move(source);
        return info;
    } catch (const disc::DiscError& error) {
        throw std::runtime_error(error.what());
    }
}

std::string listDiscTitles(const fs::path& path) {
    auto location = disc::locateDisc(path);
    if (!location) throw std::runtime_error("not a Blu-ray disc backup: " + path.string());
    try {
        disc::BluRayDisc bluRay(location->root);
        const disc::Title* main = bluRay.defaultTitle();
        std::string text;
        for (const disc::Title& title : bluRay.titles()) {
            std::string audio;
            for (const auto& track : title.audio)
                audio += (audio.empty() ? "" : ", ") + (track.language.empty() ? "und" : track.language) +
                         " " + track.codec;
            char line[256];
            std::snprintf(line, sizeof line, "%2u  %s  %s  %zu clip%s  %zu chapter%s  3D: %s", title.number,
                          title.playlistName().c_str(), disc::formatDuration(title.duration).c_str(),
                          title.clips.size(), title.clips.size() == 1 ? "" : "s", title.chapters.size(),
                          title.chapters.size() == 1 ? "" : "s", title.is3D ? "yes" : "no");
            text += std::string(line) + "  audio: " + (audio.empty() ? "none" : audio) +
                    (&title == main ? "  (default)" : "") + "\n";
        }
        if (text.empty()) text = "no titles on this disc\n";
        return text;
    } catch (const disc::DiscError& error) {
        throw std::runtime_error(error.what());
    }
}

} // namespace duoscope
