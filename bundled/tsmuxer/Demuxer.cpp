#include "Demuxer.h"

#include "Containers.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsmuxer {
namespace {

std::string errnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

class FileSource : public ByteSource {
  public:
    explicit FileSource(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw DemuxError(errnoText("cannot open", path));
        struct stat info {};
        if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode)) size_ = static_cast<uint64_t>(info.st_size);
        if (S_ISDIR(info.st_mode)) {
            ::close(fd_);
            throw DemuxError("cannot read " + path + ": it is a folder");
        }
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    ~FileSource() override { ::close(fd_); }
    std::optional<uint64_t> totalSize() const override { return size_; }

  protected:
    size_t readSome(uint8_t* dst, size_t n) override {
        while (true) {
            ssize_t got = ::read(fd_, dst, n);
            if (got >= 0) return static_cast<size_t>(got);
            if (errno != EINTR) throw DemuxError(errnoText("cannot read", path_));
        }
    }
    bool seekTo(uint64_t absolute) override {
        return ::lseek(fd_, static_cast<off_t>(absolute), SEEK_SET) == static_cast<off_t>(absolute);
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::optional<uint64_t> size_;
};

class MemorySource : public ByteSource {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    std::optional<uint64_t> totalSize() const override { return size_; }

  protected:
    size_t readSome(uint8_t* dst, size_t n) override {
        size_t take = std::min(n, size_ - at_);
        if (take) std::memcpy(dst, data_ + at_, take);
        at_ += take;
        return take;
    }
    bool seekTo(uint64_t absolute) override {
        at_ = static_cast<size_t>(std::min<uint64_t>(absolute, size_));
        return true;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

std::string trim(std::string_view text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<uint32_t> parseNumber(std::string_view text) {
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "--cut-end=60s", "--cut-end=1.5s", "--cut-end=1500ms" (tsMuxeR's forms).
std::optional<int64_t> parseCutEnd(std::string_view value) {
    int64_t scale = 1000000000;
    if (value.size() > 2 && value.substr(value.size() - 2) == "ms") {
        scale = 1000000;
        value.remove_suffix(2);
    } else if (!value.empty() && value.back() == 's') {
        value.remove_suffix(1);
    } else {
        return std::nullopt;
    }
    size_t dot = value.find('.');
    auto whole = parseNumber(value.substr(0, dot));
    if (!whole) return std::nullopt;
    int64_t result = static_cast<int64_t>(*whole) * scale;
    if (dot != std::string_view::npos) {
        std::string_view fraction = value.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 9 || !parseNumber(fraction)) return std::nullopt;
        int64_t part = *parseNumber(fraction);
        int64_t divisor = 1;
        for (size_t i = 0; i < fraction.size(); ++i)
            divisor *= 10;
        result += part * scale / divisor;
    }
    return result;
}

} // namespace

// ---- ByteSource --------------------------------------------------------------

std::unique_ptr<ByteSource> ByteSource::openFile(const std::string& path) {
    return std::make_unique<FileSource>(path);
}

std::unique_ptr<ByteSource> ByteSource::fromMemory(const uint8_t* data, size_t size) {
    return std::make_unique<MemorySource>(data, size);
}

size_t ByteSource::ensure(size_t n) {
    if (end_ - start_ >= n || atEnd_) return end_ - start_;
    if (buffer_.empty()) {
        // Small sources (and the fuzzer's thousands of them) need no 8 MiB buffer.
        uint64_t size = kChunk * 2;
        if (auto total = totalSize())
            size = std::min<uint64_t>(size, *total - std::min(*total, offset()) + 64);
        buffer_.resize(static_cast<size_t>(size));
    }
    if (n > buffer_.size() / 2) buffer_.resize(std::max(buffer_.size() * 2, n * 2));
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        bufferOffset_ += start_;
        end_ -= start_;
        start_ = 0;
    }
    while (end_ < n && !atEnd_) {
        size_t want = std::min(buffer_.size() - end_, std::max(kChunk, n - end_));
        size_t got = readSome(buffer_.data() + end_, want);
        if (got == 0) atEnd_ = true;
        end_ += got;
    }
    return end_ - start_;
}

bool ByteSource::skip(uint64_t n) {
    if (n <= end_ - start_) {
        start_ += static_cast<size_t>(n);
        return true;
    }
    uint64_t target = offset() + n;
    if (auto total = totalSize(); total && target > *total) {
        start_ = end_;
        return false;
    }
    if (seekTo(target)) {
        bufferOffset_ = target;
        start_ = end_ = 0;
        atEnd_ = false;
        return true;
    }
    while (n > 0) {
        size_t available = ensure(1);
        if (available == 0) return false;
        size_t take = static_cast<size_t>(std::min<uint64_t>(available, n));
        start_ += take;
        n -= take;
    }
    return true;
}

// ---- FileSink ----------------------------------------------------------------

FileSink::FileSink(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw DemuxError(errnoText("cannot create", path));
    buffer_.reserve(4u << 20);
}

FileSink::~FileSink() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSink::write(const uint8_t* data, size_t size) {
    if (buffer_.size() + size > buffer_.capacity()) flush();
    if (size >= buffer_.capacity()) {
        buffer_.assign(data, data + size);
        flush();
        return;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

void FileSink::flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        ssize_t put = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) throw DemuxError(errnoText("cannot write", path_));
        done += static_cast<size_t>(put);
    }
    written_ += buffer_.size();
    buffer_.clear();
}

void FileSink::truncate(uint64_t size) {
    if (size >= written_) {
        buffer_.resize(static_cast<size_t>(size - written_));
        return;
    }
    buffer_.clear();
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 ||
        ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) != static_cast<off_t>(size))
        throw DemuxError(errnoText("cannot truncate", path_));
    written_ = size;
}

void FileSink::finish() {
    flush();
    if (::close(fd_) != 0) {
        fd_ = -1;
        throw DemuxError(errnoText("cannot write", path_));
    }
    fd_ = -1;
}

// ---- listing and demux -------------------------------------------------------

std::string describeTracks(const Listing& listing) {
    std::string text;
    for (const auto& track : listing.tracks) {
        if (!text.empty()) text += ", ";
        text += std::to_string(track.id) + " (" + track.streamType + ")";
    }
    return text.empty() ? "none" : text;
}

Listing listTracks(ByteSource& source) {
    if (looksLikeMatroska(source)) return listMatroska(source);
    if (auto layout = detectPacketSize(source); layout.packetSize) return listTransportStream(source, layout);
    throw DemuxError("unknown file format: neither an MPEG transport stream nor a Matroska file");
}

std::string formatListing(const Listing& listing) {
    std::string text;
    for (const auto& track : listing.tracks) {
        text += "Track ID:    " + std::to_string(track.id) + "\n";
        text += "Stream type: " + track.streamType + "\n";
        if (!track.codecId.empty()) text += "Stream ID:   " + track.codecId + "\n";
        if (!track.info.empty()) text += "Stream info: " + track.info + "\n";
        if (track.subTrack) text += "subTrack: " + std::to_string(*track.subTrack) + "\n";
        text += "\n";
    }
    return text;
}

std::vector<ViewStats> demux(ByteSource& source, const std::vector<TrackRequest>& requests,
                             const DemuxOptions& options) {
    if (looksLikeMatroska(source)) return demuxMatroska(source, requests, options);
    if (auto layout = detectPacketSize(source); layout.packetSize)
        return demuxTransportStream(source, layout, requests, options);
    throw DemuxError("unknown file format: neither an MPEG transport stream nor a Matroska file");
}

// ---- meta file ---------------------------------------------------------------

MetaFile parseMetaFile(std::string_view text) {
    MetaFile meta;
    bool sawOptions = false;
    unsigned lineNumber = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        auto where = [&] { return "meta file line " + std::to_string(lineNumber) + ": "; };
        if (line.rfind("MUXOPT", 0) == 0) {
            bool isDemux = false;
            size_t at = 6;
            while (at < line.size()) {
                size_t next = line.find(' ', at);
                std::string option =
                    line.substr(at, next == std::string::npos ? std::string::npos : next - at);
                at = next == std::string::npos ? line.size() : next + 1;
                if (option.empty()) continue;
                if (option == "--demux") isDemux = true;
                if (option.rfind("--cut-end=", 0) == 0) {
                    meta.cutEndNanoseconds = parseCutEnd(option.substr(10));
                    if (!meta.cutEndNanoseconds)
                        throw DemuxError(where() + "cannot read \"" + option +
                                         "\" (expected --cut-end=<seconds>s or <milliseconds>ms)");
                }
            }
            if (!isDemux)
                throw DemuxError(where() + "only demultiplexing is supported (MUXOPT needs --demux)");
            sawOptions = true;
            continue;
        }
        size_t comma = line.find(',');
        std::string codec = trim(std::string_view(line).substr(0, comma));
        size_t open = line.find('"');
        size_t close = line.rfind('"');
        if (comma == std::string::npos || open == std::string::npos || close == open)
            throw DemuxError(where() + "expected <codec>, \"<file>\", track=<n>; got: " + line);
        if (codec != "V_MPEG4/ISO/AVC" && codec != "V_MPEG4/ISO/MVC") {
            meta.ignoredLines.push_back(where() + "ignoring " + codec +
                                        " (only H.264/MVC video is demultiplexed)");
            continue;
        }
        MetaTrackLine track;
        track.codec = codec;
        track.lineNumber = lineNumber;
        // Paths are written unescaped, so the path runs to the last quote.
        track.path = line.substr(open + 1, close - open - 1);
        bool hasTrack = false;
        std::string_view rest = std::string_view(line).substr(close + 1);
        while (!rest.empty()) {
            size_t next = rest.find(',');
            std::string item = trim(rest.substr(0, next));
            rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
            if (item.empty()) continue;
            size_t equals = item.find('=');
            std::string key = item.substr(0, equals);
            std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
            if (key == "track" || key == "subTrack") {
                auto number = parseNumber(value);
                if (!number) throw DemuxError(where() + "cannot read " + key + " number \"" + value + "\"");
                if (key == "track") {
                    track.track = *number;
                    hasTrack = true;
                } else {
                    if (*number != kMvcSubTrack && *number != kAvcSubTrack)
                        throw DemuxError(where() + "unknown subTrack " + value + " (1 and 2 exist)");
                    track.subTrack = *number;
                }
            } else if (key == "playlist") {
                auto number = parseNumber(value);
                if (!number) throw DemuxError(where() + "cannot read playlist number \"" + value + "\"");
                track.playlist = *number;
            } else if (key == "clip") {
                if (value.size() != 5 || value.find_first_not_of("0123456789") != std::string::npos)
                    throw DemuxError(where() + "clip=" + value + " is not a five-digit clip name");
                track.clip = value;
            } else if (key == "otherStreams") {
                if (value.empty() || value.find('/') != std::string::npos)
                    throw DemuxError(where() + "otherStreams needs a plain file name");
                track.otherStreams = value;
            }
        }
        if (!hasTrack) throw DemuxError(where() + "no track=<n> given");
        meta.tracks.push_back(std::move(track));
    }
    if (!sawOptions) throw DemuxError("meta file has no MUXOPT line");
    if (meta.tracks.empty()) throw DemuxError("meta file names no H.264/MVC video track");
    return meta;
}

} // namespace tsmuxer
