// Demultiplexing: the two views of an MVC source into the work folder, with
// tsmuxer driven by a generated meta file.
#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "RepeatingTimer.h"
#include "Text.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The integer between the first and the second ":" of a listing line.
int listingNumber(const std::string& line) {
    auto colon = line.find(':');
    std::string rest = line.substr(colon + 1);
    rest = rest.substr(0, rest.find(':'));
    rest = trimmed(rest);
    if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos) return 0;
    try {
        return std::stoi(rest);
    } catch (const std::exception&) {
        return 0;
    }
}

// tsMuxeR numbers transport-stream tracks by PID, which ffprobe reports as the
// stream "id" ("0x1011"); other containers fall back to 1-based track order.
int demuxerTrackNumber(const json& stream, int index) {
    auto id = stream.find("id");
    if (id != stream.end() && id->is_string()) {
        const std::string& text = id->get_ref<const std::string&>();
        try {
            size_t used = 0;
            int value = text.starts_with("0x") || text.starts_with("0X")
                            ? std::stoi(text.substr(2), &used, 16)
                            : std::stoi(text, &used, 10);
            bool whole =
                used == (text.starts_with("0x") || text.starts_with("0X") ? text.size() - 2 : text.size());
            if (whole && value >= 0) return value;
        } catch (const std::exception&) {
        }
    }
    return index + 1;
}

} // namespace

std::string demuxCutOption(std::optional<int> durationLimit) {
    return durationLimit ? " --cut-end=" + std::to_string(*durationLimit) + "s" : std::string();
}

SubTrackLayout parseTrackListing(const std::string& listing) {
    SubTrackLayout layout;
    int currentTrack = 0;
    std::string currentType;
    size_t start = 0;
    while (start <= listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        std::string line = trimmed(listing.substr(start, end - start));
        start = end + 1;
        if (line.starts_with("Track ID:")) {
            currentTrack = listingNumber(line);
        } else if (line.starts_with("Stream type:")) {
            currentType = trimmed(line.substr(line.find(':') + 1));
        } else if (line.starts_with("subTrack:")) {
            int subTrack = listingNumber(line);
            if (currentType == "MVC") {
                layout.mvcTrack = currentTrack;
                layout.mvcSubTrack = subTrack;
            } else if (currentType == "H.264") {
                layout.avcTrack = currentTrack;
                layout.avcSubTrack = subTrack;
            }
        }
    }
    return layout;
}

std::string singleTrackMeta(const fs::path& source, const SubTrackLayout& layout,
                            std::optional<int> durationLimit) {
    std::string path = source.string();
    return "MUXOPT --demux" + demuxCutOption(durationLimit) + "\n" + "V_MPEG4/ISO/AVC, \"" + path +
           "\", track=" + std::to_string(layout.avcTrack) +
           ", subTrack=" + std::to_string(layout.avcSubTrack) + "\n" + "V_MPEG4/ISO/MVC, \"" + path +
           "\", track=" + std::to_string(layout.mvcTrack) +
           ", subTrack=" + std::to_string(layout.mvcSubTrack) + "\n";
}

std::string separateTracksMeta(const fs::path& source, const std::vector<DetectedTrack>& tracks,
                               std::optional<int> durationLimit) {
    std::string path = source.string();
    std::string meta = "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500" +
                       demuxCutOption(durationLimit) + "\n";
    if (tracks.empty()) {
        meta += "V_MPEG4/ISO/AVC, \"" + path + "\", track=4113\n";
        meta += "V_MPEG4/ISO/MVC, \"" + path + "\", track=4114\n";
        return meta;
    }
    for (const auto& track : tracks) {
        std::string codec = lowercased(track.codec);
        if (codec != "h264" && codec != "avc") continue;
        meta += std::string(track.isMVC ? "V_MPEG4/ISO/MVC" : "V_MPEG4/ISO/AVC") + ", \"" + path +
                "\", track=" + std::to_string(track.trackId) + "\n";
    }
    return meta;
}

fs::path neutralSourceName(const fs::path& source) {
    std::string extension = lowercased(source.extension().string());
    bool isPlain =
        extension.size() >= 2 && extension.size() <= 6 &&
        extension.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", 1) == std::string::npos;
    return "source" + (isPlain ? extension : std::string());
}

std::vector<DetectedTrack> detectedTracksFromReport(const std::string& report) {
    json root = json::parse(report); // a parse failure is the step's failure
    std::vector<DetectedTrack> tracks;
    auto streams = root.find("streams");
    if (streams == root.end() || !streams->is_array()) return tracks;
    for (const json& stream : *streams) {
        if (!stream.is_object()) continue;
        auto type = stream.find("codec_type");
        if (type == stream.end() || !type->is_string() || *type != "video") continue;
        DetectedTrack track;
        auto index = stream.find("index");
        track.index = index != stream.end() && index->is_number_integer() ? index->get<int>() : 0;
        auto codec = stream.find("codec_name");
        track.codec = codec != stream.end() && codec->is_string() ? codec->get<std::string>() : "";
        track.trackId = demuxerTrackNumber(stream, track.index);
        auto text = [&](const char* key) {
            auto it = stream.find(key);
            return it != stream.end() && it->is_string() ? lowercased(it->get<std::string>()) : std::string();
        };
        auto width = stream.find("width");
        bool noWidth = width == stream.end() || !width->is_number_integer() || width->get<long long>() == 0;
        track.isMVC = text("profile").find("mvc") != std::string::npos ||
                      text("codec_tag_string").find("mvc") != std::string::npos || noWidth;
        tracks.push_back(track);
    }
    std::stable_partition(tracks.begin(), tracks.end(), [](const DetectedTrack& t) { return !t.isMVC; });
    return tracks;
}

std::vector<DetectedTrack> PipelineEngine::detectVideoTracks(const fs::path& url) {
    auto ffprobe = findTool("ffprobe");
    if (!ffprobe) throw ConversionError::toolNotFound(missingToolMessage("ffprobe"));
    auto process = ChildProcess::create(
        {*ffprobe,
         {"-v", "quiet", "-print_format", "json", "-show_streams", fs::absolute(url).string()},
         std::nullopt,
         ChildProcess::Output::pipe,
         ChildProcess::Output::nullDevice});
    process->launch();
    process->waitUntilExit();
    return detectedTracksFromReport(process->collectedStandardOutput());
}

bool PipelineEngine::listsMVCTrack(const fs::path& source) {
    auto tsmuxer = findTool("tsmuxer");
    // Without the demultiplexer the MVC route fails anyway, with its own message.
    if (!tsmuxer) return true;
    auto listing = runCurrentProcess({*tsmuxer,
                                      {source.string()},
                                      std::nullopt,
                                      ChildProcess::Output::pipe,
                                      ChildProcess::Output::nullDevice});
    for (const auto& line : splitLines(listing->collectedStandardOutput()))
        if (line.starts_with("Stream type:") && trimmed(line.substr(line.find(':') + 1)) == "MVC")
            return true;
    return false;
}

void PipelineEngine::demux(const fs::path& source, const fs::path& workFolder, bool isSingleTrack,
                           std::optional<int> durationLimit) {
    auto tsmuxer = findTool("tsmuxer");
    if (!tsmuxer) throw ConversionError::toolNotFound(missingToolMessage("tsmuxer"));

    // tsmuxer reads the source's path from a text file of quoted lines, which
    // a name with a quote or a line break would break: it sees the source
    // only as a link with a plain name, and runs in the work folder.
    fs::path sourcePath = fs::absolute(source);
    fs::path link = neutralSourceName(source);
    std::error_code ignored;
    fs::remove(workFolder / link, ignored);
    fs::create_symlink(sourcePath, workFolder / link);
    std::string meta;
    if (isSingleTrack) {
        engineLog("MakeMKV MKV detected — using subTrack demux");
        auto listing = ChildProcess::create({*tsmuxer, {link.string()}, workFolder});
        listing->launch();
        listing->waitUntilExit();
        std::string text = listing->collectedStandardOutput();
        if (!isValidUTF8(text)) text.clear();
        engineLog("tsMuxeR info:\n" + text);
        SubTrackLayout layout = parseTrackListing(text);
        engineLog("AVC: track=" + std::to_string(layout.avcTrack) +
                  ", subTrack=" + std::to_string(layout.avcSubTrack));
        engineLog("MVC: track=" + std::to_string(layout.mvcTrack) +
                  ", subTrack=" + std::to_string(layout.mvcSubTrack));
        meta = singleTrackMeta(link, layout, durationLimit);
    } else {
        engineLog("Running tsMuxeR demux...");
        meta = separateTracksMeta(link, detectVideoTracks(sourcePath), durationLimit);
    }

    fs::path metaFile = workFolder / "demux.meta";
    writeFileAtomically(metaFile, meta);
    engineLog("tsMuxeR meta:\n" + meta);
    engineLog("Running tsMuxeR with meta: " + metaFile.string());

    // tsmuxer says nothing while it reads; what it has written so far, against
    // the source's size, is the work done (the streams are most of the source).
    std::error_code sizeError;
    // With a limit only part of it is read, and how much is not known here.
    long long sourceBytes = durationLimit ? 0 : static_cast<long long>(fs::file_size(sourcePath, sizeError));
    runDemuxer(*tsmuxer, metaFile, workFolder, sourceBytes);
}

void PipelineEngine::runDemuxer(const fs::path& tsmuxer, const fs::path& metaFile, const fs::path& workFolder,
                                long long expectedBytes) {
    RepeatingTimer timer([this, workFolder, expectedBytes] {
        long long written = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(workFolder, error))
            if (entry.path().extension() == ".264" || entry.path().extension() == ".mvc")
                written += static_cast<long long>(entry.file_size(error));
        reportWork({"Demultiplexing", written, expectedBytes, {}, true});
    });
    auto process = runCurrentProcess({tsmuxer, {metaFile.filename().string(), "."}, workFolder});
    timer.stop();
    std::string output = process->collectedStandardOutput();
    std::string errors = process->collectedStandardError();
    engineLog(isValidUTF8(output) ? output : std::string());
    engineLog(isValidUTF8(errors) ? errors : std::string());
    if (process->terminationStatus() != 0 || process->wasKilledBySignal())
        throw ConversionError::demuxFailed(
            withReason("tsMuxeR exited with code " + std::to_string(process->terminationStatus()),
                       lastMeaningfulLine(splitLines(errors + "\n" + output))));
}

} // namespace duoscope
