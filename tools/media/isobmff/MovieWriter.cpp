#include "MovieWriter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace media {

bool isSameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

namespace {

constexpr size_t kBufferSize = 4 << 20;

const uint32_t kUnityMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

void writeMatrix(BoxWriter& w) {
    for (uint32_t v : kUnityMatrix)
        w.u32(v);
}

bool fits32(uint64_t v) {
    return v <= UINT32_MAX;
}

} // namespace

struct MovieWriter::Track {
    TrackConfig config;
    // Run-length tables built as samples arrive; only one number per sample (its size) is kept as is.
    std::vector<std::pair<uint32_t, uint32_t>> stts; // count, delta
    std::vector<std::pair<uint32_t, int64_t>> ctts;  // count, offset
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> syncSamples; // 1-based
    struct Chunk {
        uint64_t offset;
        uint32_t samples;
    };
    std::vector<Chunk> chunks;
    int64_t firstDecodeTime = 0;
    int64_t lastDecodeTime = 0;
    uint32_t lastDuration = 0;
    int64_t minPresentation = std::numeric_limits<int64_t>::max();
    int64_t maxPresentationEnd = std::numeric_limits<int64_t>::min();
    uint64_t chunkEnd = 0; // file offset right after the last sample of the open chunk
};

MovieWriter::MovieWriter(const std::string& path, MovieWriterOptions options)
    : path_(path), options_(options) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw IoError("cannot create " + path + ": " + std::strerror(errno));
    buffer_.reserve(kBufferSize);
    BoxWriter w(buffer_);
    w.beginBox("ftyp");
    if (options_.quickTime) {
        w.type("qt  ");
        w.u32(0);
        w.type("qt  ");
    } else {
        w.type("isom");
        w.u32(512);
        w.type("isom");
        w.type("iso2");
        w.type("mp41");
    }
    w.endBox();
    // A `wide` placeholder lets the mdat header grow to 64 bits in place when the media passes 4 GiB.
    w.u32(8);
    w.type("wide");
    mdatStart_ = buffer_.size();
    w.u32(0);
    w.type("mdat");
    position_ = buffer_.size();
}

MovieWriter::~MovieWriter() {
    if (fd_ >= 0) ::close(fd_);
}

int MovieWriter::addTrack(const TrackConfig& config) {
    for (const auto& t : tracks_)
        if (!t->sizes.empty()) throw std::invalid_argument("tracks must be added before the first sample");
    if (config.timescale == 0) throw std::invalid_argument("track timescale must not be 0");
    const auto& e = config.sampleEntry;
    if (e.size() < 8 || readBE32(e.data()) != e.size())
        throw std::invalid_argument("sample entry must be one complete box");
    auto t = std::make_unique<Track>();
    t->config = config;
    tracks_.push_back(std::move(t));
    return int(tracks_.size()) - 1;
}

size_t MovieWriter::sampleCount(int track) const {
    return tracks_.at(size_t(track))->sizes.size();
}

void MovieWriter::checkSample(int track, size_t size, int64_t decodeTime) {
    if (finished_) throw std::logic_error("MovieWriter: sample after finish");
    if (track < 0 || size_t(track) >= tracks_.size()) throw std::invalid_argument("no such track");
    if (size > UINT32_MAX) throw std::invalid_argument("sample larger than 4 GiB");
    const Track& t = *tracks_[size_t(track)];
    if (!t.sizes.empty()) {
        if (decodeTime <= t.lastDecodeTime)
            throw std::invalid_argument("decode time " + std::to_string(decodeTime) + " does not follow " +
                                        std::to_string(t.lastDecodeTime));
        if (uint64_t(decodeTime - t.lastDecodeTime) > UINT32_MAX)
            throw std::invalid_argument("decode time step too large");
    }
}

void MovieWriter::recordSample(int track, uint64_t offset, size_t size, int64_t decodeTime,
                               int64_t presentationTime, uint32_t duration, bool isSync) {
    Track& t = *tracks_[size_t(track)];
    if (t.sizes.empty()) {
        t.firstDecodeTime = decodeTime;
    } else {
        uint32_t delta = uint32_t(decodeTime - t.lastDecodeTime);
        if (!t.stts.empty() && t.stts.back().second == delta)
            ++t.stts.back().first;
        else
            t.stts.push_back({1, delta});
    }
    int64_t cto = presentationTime - decodeTime;
    if (!t.ctts.empty() && t.ctts.back().second == cto)
        ++t.ctts.back().first;
    else
        t.ctts.push_back({1, cto});
    t.sizes.push_back(uint32_t(size));
    if (isSync) t.syncSamples.push_back(uint32_t(t.sizes.size()));
    if (lastTrack_ == track && !t.chunks.empty() && t.chunkEnd == offset)
        ++t.chunks.back().samples;
    else
        t.chunks.push_back({offset, 1});
    t.chunkEnd = offset + size;
    lastTrack_ = track;
    t.lastDecodeTime = decodeTime;
    t.lastDuration = duration;
    t.minPresentation = std::min(t.minPresentation, presentationTime);
    t.maxPresentationEnd = std::max(t.maxPresentationEnd, presentationTime + int64_t(duration));
}

void MovieWriter::pwriteAll(const uint8_t* data, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd_, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError("cannot write " + path_ + ": " + std::strerror(errno));
        }
        done += size_t(n);
    }
}

void MovieWriter::flushBuffer() {
    if (buffer_.empty()) return;
    pwriteAll(buffer_.data(), buffer_.size(), position_ - buffer_.size());
    buffer_.clear();
}

void MovieWriter::writeRaw(const uint8_t* data, size_t size) {
    if (buffer_.size() + size > kBufferSize) flushBuffer();
    if (size >= kBufferSize) {
        pwriteAll(data, size, position_);
    } else {
        buffer_.insert(buffer_.end(), data, data + size);
    }
    position_ += size;
}

void MovieWriter::addSample(int track, const uint8_t* data, size_t size, int64_t decodeTime,
                            int64_t presentationTime, uint32_t duration, bool isSync) {
    checkSample(track, size, decodeTime);
    uint64_t offset = position_;
    writeRaw(data, size);
    recordSample(track, offset, size, decodeTime, presentationTime, duration, isSync);
}

void MovieWriter::addSampleFromFile(int track, int sourceFd, uint64_t sourceOffset, size_t size,
                                    int64_t decodeTime, int64_t presentationTime, uint32_t duration,
                                    bool isSync) {
    checkSample(track, size, decodeTime);
    uint64_t offset = position_;
    if (size < (64 << 10)) {
        // Small samples are cheaper through the buffer than through a system call each.
        uint8_t* dst;
        if (buffer_.size() + size > kBufferSize) flushBuffer();
        size_t old = buffer_.size();
        buffer_.resize(old + size);
        dst = buffer_.data() + old;
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::pread(sourceFd, dst + done, size - done, off_t(sourceOffset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                buffer_.resize(old);
                throw IoError(std::string("cannot read sample data: ") +
                              (n == 0 ? "unexpected end of file" : std::strerror(errno)));
            }
            done += size_t(n);
        }
        position_ += size;
    } else {
        flushBuffer();
        loff_t in = loff_t(sourceOffset), out = loff_t(position_);
        size_t left = size;
        bool kernelCopy = true;
        while (left > 0 && kernelCopy) {
            ssize_t n = ::copy_file_range(sourceFd, &in, fd_, &out, left, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                break;
            }
            if (n < 0) throw IoError("cannot copy sample data into " + path_ + ": " + std::strerror(errno));
            if (n == 0) throw IoError("cannot read sample data: unexpected end of file");
            left -= size_t(n);
        }
        if (left > 0) {
            std::vector<uint8_t> tmp(left);
            size_t done = 0;
            while (done < left) {
                ssize_t n = ::pread(sourceFd, tmp.data() + done, left - done, off_t(in) + off_t(done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0)
                    throw IoError(std::string("cannot read sample data: ") +
                                  (n == 0 ? "unexpected end of file" : std::strerror(errno)));
                done += size_t(n);
            }
            pwriteAll(tmp.data(), left, uint64_t(out));
        }
        position_ += size;
    }
    recordSample(track, offset, size, decodeTime, presentationTime, duration, isSync);
}

std::vector<uint8_t> MovieWriter::buildMoov() const {
    uint32_t movieTimescale = options_.movieTimescale;
    if (movieTimescale == 0) movieTimescale = tracks_.empty() ? 600 : tracks_[0]->config.timescale;

    struct Derived {
        uint64_t mediaDuration = 0;
        std::vector<EditEntry> edits;
        uint64_t trackDuration = 0; // movie timescale
    };
    std::vector<Derived> derived(tracks_.size());
    uint64_t movieDuration = 0;
    for (size_t i = 0; i < tracks_.size(); ++i) {
        const Track& t = *tracks_[i];
        Derived& d = derived[i];
        uint32_t ts = t.config.timescale;
        if (!t.sizes.empty())
            d.mediaDuration = uint64_t(t.lastDecodeTime - t.firstDecodeTime) + t.lastDuration;
        if (t.config.edits) {
            d.edits = *t.config.edits;
        } else if (!t.sizes.empty() && (t.firstDecodeTime != 0 || t.minPresentation != 0)) {
            int64_t start = std::max<int64_t>(t.minPresentation, 0);
            if (start > 0)
                d.edits.push_back({uint64_t(rescaleRounded(start, ts, movieTimescale)), -1, 0x10000});
            int64_t end = std::max(t.maxPresentationEnd, start);
            d.edits.push_back({uint64_t(rescaleRounded(end - start, ts, movieTimescale)),
                               start - t.firstDecodeTime, 0x10000});
        }
        if (!d.edits.empty()) {
            for (const auto& e : d.edits)
                d.trackDuration += e.segmentDuration;
        } else {
            d.trackDuration = uint64_t(rescaleRounded(int64_t(d.mediaDuration), ts, movieTimescale));
        }
        movieDuration = std::max(movieDuration, d.trackDuration);
    }

    BoxWriter w;
    w.beginBox("moov");
    {
        bool v1 = !fits32(movieDuration);
        w.beginFullBox("mvhd", v1 ? 1 : 0, 0);
        if (v1) {
            w.u64(0), w.u64(0), w.u32(movieTimescale), w.u64(movieDuration);
        } else {
            w.u32(0), w.u32(0), w.u32(movieTimescale), w.u32(uint32_t(movieDuration));
        }
        w.u32(0x00010000); // rate 1.0
        w.u16(0x0100);     // volume 1.0
        w.zeros(10);
        writeMatrix(w);
        w.zeros(24);
        w.u32(uint32_t(tracks_.size() + 1));
        w.endBox();
    }
    for (size_t i = 0; i < tracks_.size(); ++i) {
        const Track& t = *tracks_[i];
        const Derived& d = derived[i];
        const TrackConfig& c = t.config;
        bool isVideo = c.handler == "vide", isSound = c.handler == "soun",
             isChapters = int(i) == chapterTrack_;
        w.beginBox("trak");

        bool tv1 = !fits32(d.trackDuration);
        w.beginFullBox("tkhd", tv1 ? 1 : 0, isChapters ? 2 : 3); // (enabled,) in movie
        if (tv1) {
            w.u64(0), w.u64(0), w.u32(uint32_t(i + 1)), w.u32(0), w.u64(d.trackDuration);
        } else {
            w.u32(0), w.u32(0), w.u32(uint32_t(i + 1)), w.u32(0), w.u32(uint32_t(d.trackDuration));
        }
        w.zeros(8);
        w.u16(0);                    // layer
        w.u16(isSound ? 1 : 0);      // alternate group
        w.u16(isSound ? 0x0100 : 0); // volume
        w.u16(0);
        writeMatrix(w);
        w.u32(isVideo ? c.width << 16 : 0);
        w.u32(isVideo ? c.height << 16 : 0);
        w.endBox();

        if (isVideo && chapterTrack_ >= 0) {
            w.beginBox("tref");
            w.beginBox("chap");
            w.u32(uint32_t(chapterTrack_ + 1));
            w.endBox();
            w.endBox();
        }

        if (!d.edits.empty()) {
            bool ev1 = false;
            for (const auto& e : d.edits)
                if (!fits32(e.segmentDuration) || e.mediaTime > INT32_MAX || e.mediaTime < INT32_MIN)
                    ev1 = true;
            w.beginBox("edts");
            w.beginFullBox("elst", ev1 ? 1 : 0, 0);
            w.u32(uint32_t(d.edits.size()));
            for (const auto& e : d.edits) {
                if (ev1)
                    w.u64(e.segmentDuration), w.i64(e.mediaTime);
                else
                    w.u32(uint32_t(e.segmentDuration)), w.i32(int32_t(e.mediaTime));
                w.i32(e.mediaRate);
            }
            w.endBox();
            w.endBox();
        }

        w.beginBox("mdia");
        bool mv1 = !fits32(d.mediaDuration);
        w.beginFullBox("mdhd", mv1 ? 1 : 0, 0);
        if (mv1)
            w.u64(0), w.u64(0), w.u32(c.timescale), w.u64(d.mediaDuration);
        else
            w.u32(0), w.u32(0), w.u32(c.timescale), w.u32(uint32_t(d.mediaDuration));
        w.u16(c.language);
        w.u16(0);
        w.endBox();

        w.beginFullBox("hdlr", 0, 0);
        w.u32(options_.quickTime ? fourcc("mhlr") : 0);
        w.type(fourcc(c.handler));
        w.zeros(12);
        std::string name = isVideo      ? "VideoHandler"
                           : isSound    ? "SoundHandler"
                           : isChapters ? "Chapters"
                                        : "DataHandler";
        if (options_.quickTime) {
            w.u8(uint8_t(name.size()));
            w.bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size());
        } else {
            w.bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size());
            w.u8(0);
        }
        w.endBox();

        w.beginBox("minf");
        if (isVideo) {
            w.beginFullBox("vmhd", 0, 1);
            w.zeros(8);
            w.endBox();
        } else if (isSound) {
            w.beginFullBox("smhd", 0, 0);
            w.zeros(4);
            w.endBox();
        } else if (isChapters) {
            // QuickTime's base media header: copy graphics mode, grey colour, centred
            // balance, with the text media's unity matrix.
            w.beginBox("gmhd");
            w.beginFullBox("gmin", 0, 0);
            w.u16(0x40), w.u16(0x8000), w.u16(0x8000), w.u16(0x8000), w.u16(0), w.u16(0);
            w.endBox();
            w.beginBox("text");
            writeMatrix(w);
            w.endBox();
            w.endBox();
        } else {
            w.beginFullBox("nmhd", 0, 0);
            w.endBox();
        }
        w.beginBox("dinf");
        w.beginFullBox("dref", 0, 0);
        w.u32(1);
        w.beginFullBox("url ", 0, 1); // media in this file
        w.endBox();
        w.endBox();
        w.endBox();

        w.beginBox("stbl");
        w.beginFullBox("stsd", 0, 0);
        w.u32(1);
        w.bytes(c.sampleEntry);
        w.endBox();

        std::vector<std::pair<uint32_t, uint32_t>> stts = t.stts;
        if (!t.sizes.empty()) {
            if (!stts.empty() && stts.back().second == t.lastDuration)
                ++stts.back().first;
            else
                stts.push_back({1, t.lastDuration});
        }
        w.beginFullBox("stts", 0, 0);
        w.u32(uint32_t(stts.size()));
        for (auto [n, delta] : stts)
            w.u32(n), w.u32(delta);
        w.endBox();

        bool anyOffset = false, negative = false;
        for (auto [n, off] : t.ctts) {
            if (off != 0) anyOffset = true;
            if (off < 0) negative = true;
        }
        if (anyOffset) {
            w.beginFullBox("ctts", negative ? 1 : 0, 0);
            w.u32(uint32_t(t.ctts.size()));
            for (auto [n, off] : t.ctts)
                w.u32(n), w.i32(int32_t(off));
            w.endBox();
        }
        if (t.syncSamples.size() != t.sizes.size()) {
            w.beginFullBox("stss", 0, 0);
            w.u32(uint32_t(t.syncSamples.size()));
            for (uint32_t s : t.syncSamples)
                w.u32(s);
            w.endBox();
        }

        w.beginFullBox("stsc", 0, 0);
        size_t runsAt = w.size();
        w.u32(0);
        uint32_t runs = 0, lastPerChunk = 0;
        for (size_t k = 0; k < t.chunks.size(); ++k) {
            if (k == 0 || t.chunks[k].samples != lastPerChunk) {
                w.u32(uint32_t(k + 1)), w.u32(t.chunks[k].samples), w.u32(1);
                lastPerChunk = t.chunks[k].samples;
                ++runs;
            }
        }
        writeBE32(w.data().data() + runsAt, runs);
        w.endBox();

        bool constant = !t.sizes.empty() && std::all_of(t.sizes.begin(), t.sizes.end(),
                                                        [&](uint32_t s) { return s == t.sizes[0]; });
        w.beginFullBox("stsz", 0, 0);
        if (constant) {
            w.u32(t.sizes[0]);
            w.u32(uint32_t(t.sizes.size()));
        } else {
            w.u32(0);
            w.u32(uint32_t(t.sizes.size()));
            for (uint32_t s : t.sizes)
                w.u32(s);
        }
        w.endBox();

        bool large = !t.chunks.empty() && !fits32(t.chunks.back().offset);
        w.beginFullBox(large ? "co64" : "stco", 0, 0);
        w.u32(uint32_t(t.chunks.size()));
        for (const auto& ch : t.chunks) {
            if (large)
                w.u64(ch.offset);
            else
                w.u32(uint32_t(ch.offset));
        }
        w.endBox();

        w.endBox(); // stbl
        w.endBox(); // minf
        w.endBox(); // mdia
        w.endBox(); // trak
    }
    w.endBox(); // moov
    return w.take();
}

ChapterList readChapters(const MovieReader& movie) {
    ChapterList list;
    int track = movie.firstTrack("text");
    if (track < 0) return list;
    const TrackInfo& t = movie.tracks()[size_t(track)];
    list.timescale = t.timescale;
    std::vector<uint8_t> sample;
    for (size_t i = 0; i < t.samples.size(); ++i) {
        movie.readSample(size_t(track), i, sample);
        if (sample.size() < 2) continue;
        size_t length = std::min<size_t>(size_t(sample[0]) << 8 | sample[1], sample.size() - 2);
        list.chapters.push_back({t.samples[i].decodeTime, t.samples[i].duration,
                                 std::string(sample.begin() + 2, sample.begin() + 2 + ptrdiff_t(length))});
    }
    return list;
}

// The QuickTime text sample entry: no display flags, left justified, default box, font and
// colours; players show chapter titles in their own style.
std::vector<uint8_t> textSampleEntry() {
    std::vector<uint8_t> entry;
    BoxWriter w(entry);
    w.beginBox("text");
    w.zeros(6);
    w.u16(1); // data reference index
    w.u32(0); // display flags
    w.u32(1); // justification
    w.zeros(6 + 8 + 8);
    w.u16(0), w.u16(0), w.u8(0), w.u16(0); // font number, face, reserved
    w.zeros(6);                            // foreground colour
    w.u8(0);                               // empty font name
    w.endBox();
    return entry;
}

void MovieWriter::writeChapterTrack() {
    auto track = std::make_unique<Track>();
    track->config.handler = "text";
    track->config.timescale = chapters_.timescale;
    track->config.sampleEntry = textSampleEntry();
    tracks_.push_back(std::move(track));
    chapterTrack_ = int(tracks_.size()) - 1;
    for (const Chapter& chapter : chapters_.chapters) {
        if (chapter.duration == 0) continue;
        std::vector<uint8_t> sample;
        BoxWriter w(sample);
        size_t length = std::min<size_t>(chapter.title.size(), UINT16_MAX);
        w.u16(uint16_t(length));
        w.bytes(reinterpret_cast<const uint8_t*>(chapter.title.data()), length);
        w.beginBox("encd"); // the title is UTF-8
        w.u32(0x100);
        w.endBox();
        addSample(chapterTrack_, sample.data(), sample.size(), chapter.start, chapter.start, chapter.duration,
                  true);
    }
}

void MovieWriter::finish() {
    if (finished_) return;
    if (!chapters_.chapters.empty() && chapterTrack_ < 0) writeChapterTrack();
    flushBuffer();
    uint64_t mdatSize = position_ - mdatStart_;
    uint8_t head[16];
    if (fits32(mdatSize)) {
        writeBE32(head, uint32_t(mdatSize));
        pwriteAll(head, 4, mdatStart_);
    } else {
        // Take over the `wide` placeholder: a 16-byte header starting 8 bytes earlier.
        writeBE32(head, 1);
        writeBE32(head + 4, fourcc("mdat"));
        writeBE64(head + 8, mdatSize + 8);
        pwriteAll(head, 16, mdatStart_ - 8);
    }
    std::vector<uint8_t> moov = buildMoov();
    pwriteAll(moov.data(), moov.size(), position_);
    position_ += moov.size();
    finished_ = true;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw IoError("cannot close " + path_ + ": " + std::strerror(errno));
}

} // namespace media
