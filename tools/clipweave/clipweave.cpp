// clipweave: joins MV-HEVC segment movies into one video-only movie without re-encoding. Samples are
// copied as they are; presentation and decode times move by the running segment offset, and the first
// segment's sample entry (hvcC, lhvC, vexu...) is the output's, byte for byte.
#include "MediaTime.h"
#include "MovieReader.h"
#include "MovieWriter.h"
#include "toolsupport/ToolSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace media;

namespace {

using namespace toolsupport;

constexpr int64_t kDefaultDurationValue = 1001; // 1001/24000 s when no sample has a duration
constexpr uint32_t kDefaultDurationScale = 24000;
constexpr int kWriterStatusFailed = 3;

struct Arguments {
    std::vector<std::string> inputPaths;
    std::string outputPath;
    bool help = false;
};

Arguments parseArguments(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) throw Failure{"ERROR: -o requires an argument"};
            a.outputPath = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            a.help = true;
            return a;
        } else {
            a.inputPaths.push_back(arg);
        }
    }
    return a;
}

std::unique_ptr<MovieReader> openSegment(const std::string& path) {
    return orFail("ERROR: Cannot create reader for " + path + ": ",
                  [&] { return std::make_unique<MovieReader>(path); });
}

int run(int argc, char** argv) {
    Arguments args = parseArguments(argc, argv);
    if (args.help) {
        std::printf("Usage: clipweave segment0.mov segment1.mov ... -o output.mov\n");
        std::printf("Concatenates MV-HEVC segments preserving stereo metadata.\n");
        return 0;
    }
    if (args.inputPaths.empty()) throw Failure{"ERROR: No input files specified"};
    if (args.outputPath.empty()) throw Failure{"ERROR: No output file specified (-o)"};
    const std::string& outputPath = args.outputPath;
    log("clipweave: " + std::to_string(args.inputPaths.size()) + " segments → " + outputPath);

    // Every segment is checked before anything is written, and the output timescale is one in which every
    // segment's times are exact.
    JoinedTimescale joined;
    for (size_t k = 0; k < args.inputPaths.size(); ++k) {
        const std::string& path = args.inputPaths[k];
        if (isSameFile(path, outputPath))
            throw Failure{"ERROR: Output must not be one of the inputs: " + path};
        auto reader = openSegment(path);
        int v = reader->firstTrack("vide");
        if (v < 0) {
            if (k == 0) throw Failure{"ERROR: No video track in first segment"};
            continue;
        }
        const TrackInfo& t = reader->tracks()[size_t(v)];
        if (k == 0 && t.sampleEntry.empty())
            throw Failure{"ERROR: Cannot get format description from first segment"};
        joined.add(t.timescale, !t.samples.empty());
    }
    const uint32_t timescale = joined.result(kDefaultDurationScale);

    std::error_code ignored;
    std::filesystem::remove(outputPath, ignored);

    auto first = openSegment(args.inputPaths[0]);
    const TrackInfo firstTrack = first->tracks()[size_t(first->firstTrack("vide"))]; // outlives the reader
    std::unique_ptr<MovieWriter> writer =
        orFail("ERROR: Cannot create writer: ", [&] { return std::make_unique<MovieWriter>(outputPath); });
    int track;
    try {
        track = writer->addTrack({"vide", timescale, firstTrack.width, firstTrack.height,
                                  firstTrack.sampleEntry, firstTrack.language, std::nullopt});
    } catch (const std::exception&) {
        throw Failure{"ERROR: Cannot add writer input"};
    }
    first.reset();

    int64_t timeOffset = 0; // output timescale
    int64_t totalFrames = 0;
    int segmentIndex = 0;
    for (const std::string& path : args.inputPaths) {
        auto reader = openSegment(path);
        int v = reader->firstTrack("vide");
        if (v < 0) {
            log("WARNING: No video track in " + path + ", skipping");
            continue;
        }
        const TrackInfo& t = reader->tracks()[size_t(v)];
        if (t.sampleEntry != firstTrack.sampleEntry)
            log("WARNING: " + path + " has a different sample description than the first segment");
        int64_t lastDuration = rescale(kDefaultDurationValue, kDefaultDurationScale, timescale);
        int64_t segmentEnd = 0; // latest presentation end seen, relative to the segment
        int64_t frames = 0;
        for (const SampleInfo& s : t.samples) {
            int64_t p = rescale(s.presentationTime + t.presentationShift, t.timescale, timescale);
            int64_t d = rescale(s.decodeTime + t.presentationShift, t.timescale, timescale);
            int64_t duration = rescale(s.duration, t.timescale, timescale);
            int64_t pts = p + timeOffset, dts = d + timeOffset;
            try {
                writer->addSampleFromFile(track, reader->fd(), s.offset, s.size, dts, pts,
                                          uint32_t(std::clamp<int64_t>(duration, 0, UINT32_MAX)), s.isSync);
            } catch (const std::exception& e) {
                log("ERROR: Failed to append sample at frame " + std::to_string(totalFrames) +
                    " (pts=" + format("%.4f", double(pts) / timescale) +
                    ", dts=" + format("%.4f", double(dts) / timescale) + "): " + e.what());
                log("  Writer status: " + std::to_string(kWriterStatusFailed));
                return 1;
            }
            if (duration > 0) lastDuration = duration;
            // With reordered frames the last sample in decode order is not the last one shown: the segment
            // ends where its latest picture ends.
            segmentEnd = std::max(segmentEnd, p + lastDuration);
            ++frames;
            ++totalFrames;
        }
        int64_t length;
        MediaTime range = t.timeRangeDuration;
        if (range.timescale > 0 && range.value > 0)
            length = rescale(range.value, range.timescale, timescale);
        else
            length = t.samples.empty() ? lastDuration : segmentEnd;
        timeOffset += length;
        log("  Segment " + std::to_string(segmentIndex) + ": " + std::to_string(frames) +
            " frames, duration " + format("%.2f", double(length) / timescale) + "s");
        ++segmentIndex;
    }

    orFail("ERROR: Writer failed: ", [&] { writer->finish(); });
    double sizeMB = double(fileSize(outputPath)) / 1048576.0;
    log("clipweave: " + std::to_string(totalFrames) + " frames, " + std::to_string(segmentIndex) +
        " segments, " + format("%.1f", sizeMB) + " MB → " + outputPath);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolsupport::runMain([&] { return run(argc, argv); });
}
