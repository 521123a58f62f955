// tsmuxer: lists the tracks of a transport stream or Matroska file, or
// extracts the H.264 base and MVC dependent views named in a meta file.
#include "Demuxer.h"
#include "TitleReader.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return 1;
}

int listSource(const std::string& path) {
    auto source = tsmuxer::ByteSource::openFile(path);
    auto listing = tsmuxer::listTracks(*source);
    std::fputs(tsmuxer::formatListing(listing).c_str(), stdout);
    return 0;
}

struct Output {
    std::string path;
    std::unique_ptr<tsmuxer::FileSink> sink;
};

int demuxMeta(const std::string& metaPath, const std::string& outputFolder) {
    std::ifstream in(metaPath, std::ios::binary);
    if (!in) return fail("cannot read meta file " + metaPath);
    std::stringstream text;
    text << in.rdbuf();
    auto meta = tsmuxer::parseMetaFile(text.str());
    for (const auto& line : meta.ignoredLines)
        std::fprintf(stderr, "WARNING: %s\n", line.c_str());

    std::error_code error;
    fs::create_directories(outputFolder, error);
    if (!fs::is_directory(outputFolder)) return fail("cannot create output folder " + outputFolder);

    // One pass per source file; usually there is one. A disc's two views lie
    // in separate clips, so each is a source of its own.
    std::map<std::string, std::vector<const tsmuxer::MetaTrackLine*>> bySource;
    for (const auto& line : meta.tracks)
        bySource[line.playlist ? line.path + "\n" + line.codec : line.path].push_back(&line);

    std::vector<Output> outputs;
    auto removeOutputs = [&] {
        for (auto& output : outputs) {
            output.sink.reset();
            fs::remove(output.path, error);
        }
    };
    try {
        for (const auto& [key, lines] : bySource) {
            const std::string& sourcePath = lines.front()->path;
            if (!fs::exists(sourcePath)) throw tsmuxer::DemuxError("source file not found: " + sourcePath);
            const auto& first = *lines.front();
            auto source = first.playlist ? tsmuxer::openTitleView({sourcePath, *first.playlist, first.clip,
                                                                   first.codec == "V_MPEG4/ISO/MVC",
                                                                   first.otherStreams.value_or("")})
                                         : tsmuxer::ByteSource::openFile(sourcePath);
            std::vector<tsmuxer::TrackRequest> requests;
            std::vector<size_t> outputOfRequest;
            for (const auto* line : lines) {
                tsmuxer::View view =
                    line->codec == "V_MPEG4/ISO/MVC" ? tsmuxer::View::dependent : tsmuxer::View::base;
                for (const auto& request : requests)
                    if (request.track == line->track && request.view == view)
                        throw tsmuxer::DemuxError("meta file line " + std::to_string(line->lineNumber) +
                                                  ": track " + std::to_string(line->track) +
                                                  " is named twice");
                std::string stem = fs::path(sourcePath).stem().string();
                std::string extension = view == tsmuxer::View::base ? ".264" : ".mvc";
                fs::path target = fs::path(outputFolder) / (stem + extension);
                for (const auto& output : outputs)
                    if (output.path == target.string())
                        target = fs::path(outputFolder) /
                                 (stem + ".track" + std::to_string(line->track) + extension);
                outputs.push_back({target.string(), std::make_unique<tsmuxer::FileSink>(target.string())});
                requests.push_back({view, line->track, outputs.back().sink.get()});
                outputOfRequest.push_back(outputs.size() - 1);
            }
            tsmuxer::DemuxOptions options;
            options.cutEndNanoseconds = meta.cutEndNanoseconds;
            options.onWarning = [](const std::string& text) {
                std::fprintf(stderr, "WARNING: %s\n", text.c_str());
            };
            auto total = source->totalSize();
            options.onProgress = [total](uint64_t done) {
                if (total && *total > 0)
                    std::printf("Processed %.0f%%\n",
                                100.0 * static_cast<double>(done) / static_cast<double>(*total));
                std::fflush(stdout);
            };
            std::printf("Demuxing %s\n", sourcePath.c_str());
            auto stats = tsmuxer::demux(*source, requests, options);
            for (size_t i = 0; i < stats.size(); ++i)
                std::printf("Track %u -> %s: %llu access units\n", requests[i].track,
                            outputs[outputOfRequest[i]].path.c_str(),
                            static_cast<unsigned long long>(stats[i].accessUnits));
        }
    } catch (const std::exception& e) {
        removeOutputs();
        return fail(e.what());
    }
    std::printf("Demux complete.\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2) return listSource(argv[1]);
        if (argc == 3) return demuxMeta(argv[1], argv[2]);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    std::fprintf(stderr, "usage: tsmuxer <source file>              (list tracks)\n"
                         "       tsmuxer <file.meta> <output folder>  (demultiplex)\n");
    return 1;
}
