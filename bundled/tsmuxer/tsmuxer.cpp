// tsmuxer: lists the tracks of a transport stream or Matroska file, or
// extracts the H.264 base and MVC dependent views named in a meta file.
#include "Demuxer.h"
#include "disc/BluRayDisc.h"

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

// The clips of one view of a disc title, read back to back as one stream:
// clips hold whole 192-byte packets, so the packet grid runs on across joins.
class ClipChainSource : public tsmuxer::ByteSource {
  public:
    ClipChainSource(std::unique_ptr<disc::BluRayDisc> disc, std::vector<std::string> clips)
        : disc_(std::move(disc)), clips_(std::move(clips)) {}
    std::optional<uint64_t> totalSize() const override { return std::nullopt; }

  protected:
    size_t readSome(uint8_t* dst, size_t n) override {
        while (next_ <= clips_.size()) {
            if (!current_) {
                if (next_ == clips_.size()) return 0;
                std::printf("Reading clip %s.m2ts\n", clips_[next_].c_str());
                current_ = disc_->openClip(clips_[next_++]);
            }
            try {
                size_t got = current_->read(dst, n);
                if (got > 0) return got;
            } catch (const disc::DiscError& error) {
                throw tsmuxer::DemuxError(error.what());
            }
            current_.reset();
        }
        return 0;
    }
    bool seekTo(uint64_t) override { return false; }

  private:
    std::unique_ptr<disc::BluRayDisc> disc_;
    std::vector<std::string> clips_;
    std::unique_ptr<disc::ClipStream> current_;
    size_t next_ = 0;
};

// A disc line names the disc and a playlist; its view lives in clips of its own.
std::unique_ptr<tsmuxer::ByteSource> openDiscView(const tsmuxer::MetaTrackLine& line) {
    try {
        auto bluRay = std::make_unique<disc::BluRayDisc>(line.path);
        const disc::Title* title = bluRay->titleWithPlaylist(*line.playlist);
        if (!title)
            throw tsmuxer::DemuxError("no playlist " + std::to_string(*line.playlist) + " on " + line.path);
        bool dependent = line.codec == "V_MPEG4/ISO/MVC";
        if (dependent && !title->is3D)
            throw tsmuxer::DemuxError("playlist " + title->playlistName() + " has no MVC dependent view");
        bluRay->checkClips(*title);
        std::vector<std::string> clips;
        for (const auto& clip : title->clips)
            if (!line.clip || clip.baseClip == *line.clip)
                clips.push_back(dependent ? clip.dependentClip : clip.baseClip);
        if (clips.empty())
            throw tsmuxer::DemuxError("playlist " + title->playlistName() + " does not play clip " +
                                      *line.clip);
        return std::make_unique<ClipChainSource>(std::move(bluRay), std::move(clips));
    } catch (const disc::DiscError& error) {
        throw tsmuxer::DemuxError(error.what());
    }
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
            auto source = lines.front()->playlist ? openDiscView(*lines.front())
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
