// reelchain: joins MV-HEVC segment movies into one movie without re-encoding and adds the audio track of
// a separate file unchanged. Video samples are copied as they are, shifted by the running segment offset;
// the first segment's sample entry (hvcC, lhvC, vexu...) is the output's, byte for byte.
#include "MediaTime.h"
#include "MovieReader.h"
#include "MovieWriter.h"
#include "toolsupport/ToolSupport.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace media;

namespace {

using namespace toolsupport;

const char* const kUsage =
    "Usage: reelchain segment1.mov segment2.mov ... --audio audio.m4a --output output.mov";

// The shortest text that reads back as the same double, always with a fraction or an exponent
// ("10.01", "0.0", "4.1666666666666665e-05").
std::string plainDecimal(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    std::string s(buf, end);
    if (s.find_first_of(".e") == std::string::npos && s.find_first_of("ni") == std::string::npos) s += ".0";
    return s;
}

constexpr int64_t kDefaultDurationValue = 1; // 1/24000 s when no sample has a duration
constexpr uint32_t kDefaultDurationScale = 24000;

struct Arguments {
    std::vector<std::string> segmentPaths;
    std::optional<std::string> audioPath;
    std::string outputPath;
};

Arguments parseArguments(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool isAudio = arg == "--audio" || arg == "-a", isOutput = arg == "--output" || arg == "-o";
        if (isAudio || isOutput) {
            if (i + 1 >= argc) throw Failure{kUsage};
            (isAudio ? a.audioPath.emplace() : a.outputPath) = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            throw Failure{"Unknown option: " + arg};
        } else {
            a.segmentPaths.push_back(arg);
        }
    }
    if (a.segmentPaths.empty() || a.outputPath.empty()) throw Failure{kUsage};
    return a;
}

std::unique_ptr<MovieReader> openSegment(size_t k, const std::string& path) {
    return orFail("ERROR: AVAssetReader for segment " + std::to_string(k) + ": ",
                  [&] { return std::make_unique<MovieReader>(path); });
}

// The sample entry's child box types that a format description keeps as extension atoms (colour,
// aspect, field and aperture boxes become first-class properties instead).
std::vector<std::string> extensionAtoms(const std::vector<uint8_t>& entry) {
    std::set<std::string> types;
    size_t start = 8 + 78; // visual sample entry fields
    if (entry.size() < start) return {};
    try {
        for (const Box& b : parseBoxes(entry.data() + start, entry.size() - start)) {
            std::string t = b.typeName();
            if (t != "colr" && t != "pasp" && t != "fiel" && t != "clap" && t != "btrt") types.insert(t);
        }
    } catch (const FormatError&) {
    }
    return {types.begin(), types.end()};
}

void reportStereo(const TrackInfo& t) {
    auto atoms = extensionAtoms(t.sampleEntry);
    if (atoms.empty()) return;
    std::string list = "[";
    for (size_t i = 0; i < atoms.size(); ++i)
        list += (i ? ", \"" : "\"") + atoms[i] + "\"";
    log("  Extension atoms: " + list + "]");
    if (std::find(atoms.begin(), atoms.end(), "lhvC") != atoms.end())
        log("  ✅ lhvC (layered HEVC config) present");
    else
        log("  ⚠️ lhvC NOT present — stereo layer may be missing");
}

// "<width>x<height>" of a video sample entry (the track header's size when the entry is too short).
std::string entrySize(const TrackInfo& t) {
    uint32_t width = t.width, height = t.height;
    if (t.sampleEntry.size() >= 36) { // visual sample entry width/height
        width = uint32_t(t.sampleEntry[32]) << 8 | t.sampleEntry[33];
        height = uint32_t(t.sampleEntry[34]) << 8 | t.sampleEntry[35];
    }
    return std::to_string(width) + "x" + std::to_string(height);
}

int run(int argc, char** argv) {
    Arguments args = parseArguments(argc, argv);
    const std::string& outputPath = args.outputPath;
    log("reelchain: " + std::to_string(args.segmentPaths.size()) + " segments → " + outputPath);
    if (args.audioPath) log("  Audio: " + *args.audioPath);

    // Check every segment before anything is written, and pick an output timescale in which all of their
    // times are exact.
    JoinedTimescale joined;
    std::vector<uint8_t> firstEntry;
    for (size_t k = 0; k < args.segmentPaths.size(); ++k) {
        const std::string& path = args.segmentPaths[k];
        if (isSameFile(path, outputPath))
            throw Failure{"ERROR: Output must not be one of the inputs: " + path};
        auto reader = openSegment(k, path);
        int v = reader->firstTrack("vide");
        if (v < 0)
            throw Failure{k == 0 ? std::string("ERROR: No video track in first segment")
                                 : "ERROR: No video track in segment " + std::to_string(k) + ": " + path};
        const TrackInfo& t = reader->tracks()[size_t(v)];
        if (k == 0) {
            if (t.sampleEntry.empty()) throw Failure{"ERROR: No format description in first segment"};
            log("  Format: " + entrySize(t));
            reportStereo(t);
            firstEntry = t.sampleEntry;
        } else if (t.sampleEntry != firstEntry) {
            // The output carries the first segment's sample description only: pictures of another
            // size or coded with other parameter sets would not decode in it.
            auto first = openSegment(0, args.segmentPaths[0]);
            throw Failure{"ERROR: Segment " + std::to_string(k) +
                          " cannot be joined: its sample description (" + entrySize(t) +
                          ") differs from the first segment's (" +
                          entrySize(first->tracks()[size_t(first->firstTrack("vide"))]) + "): " + path};
        }
        joined.add(t.timescale, !t.samples.empty());
    }
    const uint32_t timescale = joined.result(kDefaultDurationScale);

    // Audio: a missing file, or one without an audio track, means a movie without audio. A file that is
    // there but cannot be read is an error: the user asked for its sound.
    std::unique_ptr<MovieReader> audio;
    int audioSource = -1;
    if (args.audioPath && std::filesystem::exists(*args.audioPath)) {
        audio = orFail("ERROR: Cannot read audio file: ",
                       [&] { return std::make_unique<MovieReader>(*args.audioPath); });
        audioSource = audio->firstTrack("soun");
        if (audioSource < 0 || audio->tracks()[size_t(audioSource)].sampleEntry.empty()) {
            audio.reset();
            audioSource = -1;
        }
    }

    if (std::filesystem::exists(outputPath)) {
        std::error_code ignored;
        std::filesystem::remove(outputPath, ignored);
    }
    auto first = openSegment(0, args.segmentPaths[0]);
    const TrackInfo firstTrack = first->tracks()[size_t(first->firstTrack("vide"))];
    first.reset();

    std::unique_ptr<MovieWriter> writer;
    int video = -1, audioTrack = -1;
    try {
        writer = std::make_unique<MovieWriter>(outputPath);
        video = writer->addTrack({"vide", timescale, firstTrack.width, firstTrack.height,
                                  firstTrack.sampleEntry, firstTrack.language, std::nullopt});
        if (audio) {
            const TrackInfo& a = audio->tracks()[size_t(audioSource)];
            TrackConfig config{"soun", a.timescale, 0, 0, a.sampleEntry, a.language, std::nullopt};
            // The audio keeps its own timeline, priming edits included; only the edit durations move to
            // the output's movie timescale.
            if (!a.edits.empty()) {
                std::vector<EditEntry> edits = a.edits;
                for (auto& e : edits)
                    e.segmentDuration =
                        uint64_t(rescale(int64_t(e.segmentDuration), audio->movieTimescale(), timescale));
                config.edits = edits;
            }
            audioTrack = writer->addTrack(config);
            // The sound's chapters (a disc title's) become the movie's.
            media::ChapterList chapters = readChapters(*audio);
            if (!chapters.chapters.empty()) writer->setChapters(chapters);
            log("  Audio track found: (" + format("%.1f", a.width) + ", " + format("%.1f", a.height) + ")");
        }
    } catch (const std::exception& e) {
        throw Failure{std::string("ERROR: AVAssetWriter: ") + e.what()};
    }

    auto startTime = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
    };
    // Audio samples go into the file beside the video of the same time, so that a player reading the
    // movie front to back finds both together; whatever outlasts the video follows it.
    size_t audioWritten = 0;
    auto writeAudioUntil = [&](double seconds) {
        if (!audio) return;
        const TrackInfo& a = audio->tracks()[size_t(audioSource)];
        for (; audioWritten < a.samples.size(); ++audioWritten) {
            const SampleInfo& s = a.samples[audioWritten];
            if (double(s.decodeTime + a.presentationShift) / a.timescale > seconds) break;
            writer->addSampleFromFile(audioTrack, audio->fd(), s.offset, s.size, s.decodeTime,
                                      s.presentationTime, s.duration, s.isSync);
        }
    };
    int64_t currentTimeOffset = 0; // output timescale
    int64_t totalFrames = 0;
    int64_t lastDecodeTime = INT64_MIN;
    for (size_t k = 0; k < args.segmentPaths.size(); ++k) {
        auto reader = openSegment(k, args.segmentPaths[k]);
        int v = reader->firstTrack("vide");
        if (v < 0)
            throw Failure{"ERROR: No video track in segment " + std::to_string(k) + ": " +
                          args.segmentPaths[k]};
        const TrackInfo& t = reader->tracks()[size_t(v)];
        int64_t lastDuration = rescale(kDefaultDurationValue, kDefaultDurationScale, timescale);
        int64_t segmentEnd = 0;
        int64_t count = 0;
        for (const SampleInfo& s : t.samples) {
            int64_t p = rescale(s.presentationTime + t.presentationShift, t.timescale, timescale);
            int64_t d = rescale(s.decodeTime + t.presentationShift, t.timescale, timescale);
            int64_t duration = rescale(s.duration, t.timescale, timescale);
            int64_t pts = p + currentTimeOffset;
            // Decode times follow the segment's own, moved with it; should segments overlap in decode
            // order, they are nudged forward so that they still strictly increase.
            int64_t dts = std::max(d + currentTimeOffset,
                                   lastDecodeTime == INT64_MIN ? d + currentTimeOffset : lastDecodeTime + 1);
            orFail("ERROR: Writer failed: ", [&] {
                writeAudioUntil(double(dts) / timescale);
                writer->addSampleFromFile(video, reader->fd(), s.offset, s.size, dts, pts,
                                          uint32_t(std::clamp<int64_t>(duration, 0, UINT32_MAX)), s.isSync);
            });
            lastDecodeTime = dts;
            if (duration > 0) lastDuration = duration;
            // With reordered frames the last sample in decode order is not the last one shown: the next
            // segment starts where the latest picture of this one ends.
            segmentEnd = std::max(segmentEnd, p + lastDuration);
            ++count;
        }
        currentTimeOffset += t.samples.empty() ? lastDuration : segmentEnd;
        totalFrames += count;
        log("  Segment " + std::to_string(k) + ": " + std::to_string(count) + " samples, offset now " +
            plainDecimal(double(currentTimeOffset) / timescale) + "s (" + format("%.0f", elapsed()) +
            "s elapsed)");
    }

    if (audio) {
        log("  Writing audio...");
        orFail("ERROR: Writer failed: ", [&] { writeAudioUntil(INFINITY); });
        log("  Audio: " + std::to_string(audioWritten) + " samples written");
    }

    orFail("ERROR: Writer failed: ", [&] { writer->finish(); });
    log("✅ Done: " + std::to_string(totalFrames) + " video samples, " + format("%.0f", elapsed()) + "s");
    log("Output: " + outputPath + " (" + std::to_string(fileSize(outputPath) / 1000000) + " MB)");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolsupport::runMain([&] { return run(argc, argv); });
}
