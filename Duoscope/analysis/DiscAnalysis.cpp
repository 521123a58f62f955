#include "DiscAnalysis.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "ToolLocator.h"
#include "disc/BluRayDisc.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

// The clip information gives only the broadcast format (1080p, 720p, ...);
// the picture size and rate come from the first base clip's stream itself,
// its first few megabytes read through libbluray (an image has no file of it)
// and handed to ffprobe through a temporary file that goes at once.
void probeVideo(SourceFileInfo& info, const disc::BluRayDisc& bluRay, const std::string& clip) {
    auto ffprobe = findTool("ffprobe");
    if (!ffprobe) return;
    auto stream = bluRay.openClip(clip);
    std::string head(std::min<uint64_t>(stream->size(), 8u << 20), '\0');
    size_t got = 0;
    while (got < head.size()) {
        size_t more = stream->read(reinterpret_cast<uint8_t*>(head.data()) + got, head.size() - got);
        if (more == 0) break;
        got += more;
    }
    head.resize(got);
    std::string name = (fs::temp_directory_path() / "duoscope-disc-XXXXXX").string();
    int fd = ::mkstemp(name.data());
    if (fd < 0) return;
    bool written = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
    ::close(fd);
    struct Remove {
        std::string path;
        ~Remove() { ::unlink(path.c_str()); }
    } removeLater{name};
    if (!written) return;
    auto process = ChildProcess::create({*ffprobe,
                                         {"-v", "quiet", "-print_format", "json", "-show_streams",
                                          "-select_streams", "v:0", "-f", "mpegts", name},
                                         std::nullopt,
                                         ChildProcess::Output::pipe,
                                         ChildProcess::Output::nullDevice});
    process->launch();
    process->waitUntilExit();
    auto report = nlohmann::json::parse(process->collectedStandardOutput(), nullptr, false);
    if (!report.is_object() || !report.contains("streams") || !report["streams"].is_array() ||
        report["streams"].empty())
        return;
    const auto& video = report["streams"][0];
    if (video.value("width", 0) > 0 && video.value("height", 0) > 0) {
        info.videoWidth = video.value("width", 0);
        info.videoHeight = video.value("height", 0);
        info.resolution = std::to_string(info.videoWidth) + "x" + std::to_string(info.videoHeight);
    }
    std::string rate = video.value("r_frame_rate", "");
    int numerator = 0, denominator = 0;
    if (std::sscanf(rate.c_str(), "%d/%d", &numerator, &denominator) == 2 && numerator > 0 && denominator > 0)
        info.frameRateNum = numerator, info.frameRateDen = denominator;
}

} // namespace

bool isDiscSource(const fs::path& path) {
    return disc::locateDisc(path).has_value();
}

std::optional<std::string> discOutputProblem(const fs::path& source, const fs::path& outputFolder) {
    auto location = disc::locateDisc(source);
    if (!location || !fs::is_directory(location->root)) return std::nullopt;
    std::error_code error;
    fs::path disc = fs::weakly_canonical(location->root, error);
    for (fs::path at = fs::weakly_canonical(fs::absolute(outputFolder, error), error); !at.empty();
         at = at.parent_path()) {
        if (at == disc)
            return "The output folder " + outputFolder.string() + " lies inside the disc folder " +
                   location->root.string() +
                   "; Duoscope never writes into a disc backup: choose another folder";
        if (at == at.parent_path()) break;
    }
    return std::nullopt;
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
        bool isLoneClip = location->baseClip && !choice.titleNumber && !choice.playlist;
        bluRay.checkClips(*title, isLoneClip ? location->baseClip : std::nullopt);
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
        for (const disc::Title& each : bluRay.titles())
            if (each.is3D)
                source.titles3D.emplace_back(each.playlist, std::to_string(each.number) + ": " +
                                                                each.playlistName() + " (" +
                                                                disc::formatDuration(each.duration) + ")");
        for (const auto& track : title->audio)
            if (!track.language.empty() &&
                std::find(source.audioLanguages.begin(), source.audioLanguages.end(), track.language) ==
                    source.audioLanguages.end())
                source.audioLanguages.push_back(track.language);
        if (audio) {
            source.audioPid = audio->pid;
            source.audioLanguage = audio->language;
            source.audioDescription =
                (audio->language.empty() ? "und" : audio->language) + " " + audio->codec;
        }
        say("Disc title " + std::to_string(title->number) + " (" + title->playlistName() + ", " +
            disc::formatDuration(title->duration) + ", " + std::to_string(title->clips.size()) +
            " clips): " + reason + "; sound: " + (audio ? source.audioDescription : std::string("none")) +
            "; base view: " + (title->baseViewIsRight ? "right" : "left") + " eye");
        probeVideo(info, bluRay, source.baseClip ? *source.baseClip : title->clips.front().baseClip);
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
