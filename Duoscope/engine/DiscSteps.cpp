// The steps of a run whose source is a Blu-ray disc backup: the two views are
// demultiplexed from the title's clips (the base clips and the dependent clips
// its playlist names), and the chosen sound with the title's chapters goes to
// one small Matroska file that the encode takes as its sound source. The
// demultiplexer sets the base view's other streams aside as it reads, moved
// onto the title's time line, so the disc is read once.
#include <cmath>
#include <cstdio>
#include <system_error>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "RepeatingTimer.h"
#include "Text.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

// The disc is seen through a link of a plain name in the work folder, as a
// single source is: the meta file's quoted paths cannot hold every name.
const std::string otherStreamsName = "disc_other_streams.m2ts";

fs::path discLink(const DiscTitleSource& disc) {
    return fs::is_directory(disc.root) ? fs::path("source") : fs::path("source.iso");
}

std::string chapterMetadata(const std::vector<double>& chapters, double duration,
                            std::optional<int> durationLimit) {
    double end = durationLimit ? std::min<double>(duration, *durationLimit) : duration;
    std::string text = ";FFMETADATA1\n";
    for (size_t i = 0; i < chapters.size(); ++i) {
        if (chapters[i] >= end) break;
        double next = i + 1 < chapters.size() ? std::min(chapters[i + 1], end) : end;
        char block[160];
        std::snprintf(block, sizeof block,
                      "[CHAPTER]\nTIMEBASE=1/1000\nSTART=%lld\nEND=%lld\ntitle=Chapter %zu\n",
                      std::llround(chapters[i] * 1000), std::llround(next * 1000), i + 1);
        text += block;
    }
    return text;
}

} // namespace

void PipelineEngine::demuxDisc(const DiscTitleSource& disc, const fs::path& workFolder,
                               std::optional<int> durationLimit) {
    auto tsmuxer = findTool("tsmuxer");
    if (!tsmuxer) throw ConversionError::toolNotFound(missingToolMessage("tsmuxer"));
    fs::path link = discLink(disc);
    std::error_code ignored;
    fs::remove(workFolder / link, ignored);
    fs::create_symlink(disc.root, workFolder / link);
    std::string where = "\"" + link.string() + "\", playlist=" + std::to_string(disc.playlist);
    if (disc.baseClip) where += ", clip=" + *disc.baseClip;
    std::string meta = "MUXOPT --no-pcr-on-video-pid --new-audio-pes --demux --vbr --vbv-len=500" +
                       demuxCutOption(durationLimit) + "\n" + "V_MPEG4/ISO/AVC, " + where +
                       ", track=4113, otherStreams=" + otherStreamsName + "\n" + "V_MPEG4/ISO/MVC, " + where +
                       ", track=4114\n";
    fs::path metaFile = workFolder / "demux.meta";
    writeFileAtomically(metaFile, meta);
    engineLog("tsMuxeR meta:\n" + meta);
    // The title's size is not known here; what is written so far shows that work goes on.
    runDemuxer(*tsmuxer, metaFile, workFolder, 0);
}

std::optional<fs::path> PipelineEngine::extractDiscSound(const DiscTitleSource& disc,
                                                         const fs::path& workFolder, double duration,
                                                         std::optional<int> durationLimit) {
    fs::path others = workFolder / otherStreamsName;
    fs::path chapters = workFolder / "chapters.txt";
    if (!disc.audioPid) {
        removeIntermediateFile(others, "other streams");
        // A silent title: the encode's optional sound input is then the
        // chapters alone (ffmpeg reads the metadata file by its header), so
        // the movie has chapters and no sound.
        writeFileAtomically(chapters, chapterMetadata(disc.chapters, duration, durationLimit));
        return chapters;
    }
    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));
    std::vector<std::string> arguments = {"-y", "-nostdin", "-v", "error"};
    arguments.insert(arguments.end(), {"-i", others.string()});
    bool hasChapters = !disc.chapters.empty();
    if (hasChapters) {
        writeFileAtomically(chapters, chapterMetadata(disc.chapters, duration, durationLimit));
        arguments.insert(arguments.end(), {"-f", "ffmetadata", "-i", chapters.string()});
    }
    char pid[16];
    std::snprintf(pid, sizeof pid, "0:i:0x%x", *disc.audioPid);
    arguments.insert(arguments.end(), {"-map", pid, "-c", "copy", "-map_chapters", hasChapters ? "1" : "-1"});
    // The transport stream may not carry the language the playlist gives the stream.
    if (!disc.audioLanguage.empty())
        arguments.insert(arguments.end(), {"-metadata:s:a:0", "language=" + disc.audioLanguage});
    if (durationLimit) arguments.insert(arguments.end(), {"-t", std::to_string(*durationLimit)});
    fs::path sound = workFolder / "disc_sound.mka";
    arguments.push_back(sound.string());
    engineLog("Taking the sound (" + disc.audioDescription + ") and " + std::to_string(disc.chapters.size()) +
              " chapters from " + disc.playlistName);
    auto process = runCurrentProcess({*ffmpeg, arguments, workFolder});
    if (process->terminationStatus() != 0 || process->wasKilledBySignal() || !fs::exists(sound))
        throw ConversionError::demuxFailed(
            withReason("ffmpeg could not take the sound from " + disc.playlistName,
                       lastMeaningfulLine(splitLines(process->collectedStandardError()))));
    removeIntermediateFile(others, "other streams");
    return sound;
}

} // namespace duoscope
