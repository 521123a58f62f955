#include "MovieReader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace media {

namespace {

// A moov this large would mean hundreds of millions of samples; refuse rather than allocate.
constexpr uint64_t kMaxMoovSize = 1ull << 30;
// Upper bound on samples per track when the file size gives no better one.
constexpr uint64_t kMaxSamples = 1ull << 26;

std::string at(uint64_t offset) {
    return " at offset " + std::to_string(offset);
}

struct TableBoxes {
    // Each points into the moov buffer: payload start and size, plus its absolute offset for messages.
    struct Span {
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t offset = 0;
        bool present() const { return data != nullptr; }
    };
    Span stsd, stts, ctts, stss, stsz, stz2, stsc, stco, co64;
};

// Iterates the children of a container payload; calls fn(header, payloadPtr).
template <class Fn> void forEachChild(const uint8_t* data, size_t size, uint64_t base, Fn&& fn) {
    size_t pos = 0;
    while (pos + 8 <= size) {
        auto h = parseBoxHeader(data + pos, size - pos, base + pos);
        if (!h) break;
        fn(*h, data + pos + h->headerSize);
        pos += size_t(h->size);
    }
}

void parseElst(ByteReader r, TrackInfo& track) {
    uint8_t version = r.u8();
    r.u24();
    uint32_t count = r.u32();
    if (uint64_t(count) * (version == 1 ? 20 : 12) > r.remaining())
        r.fail("elst entry count " + std::to_string(count) + " exceeds the box");
    for (uint32_t i = 0; i < count; ++i) {
        EditEntry e;
        if (version == 1) {
            e.segmentDuration = r.u64();
            e.mediaTime = r.i64();
        } else {
            e.segmentDuration = r.u32();
            e.mediaTime = r.i32();
        }
        e.mediaRate = r.i32();
        track.edits.push_back(e);
    }
}

void parseTkhd(ByteReader r, TrackInfo& track) {
    uint8_t version = r.u8();
    r.u24();
    if (version == 1) {
        r.skip(16);
        track.trackId = r.u32();
        r.skip(4);
        track.trackDuration = r.u64();
    } else {
        r.skip(8);
        track.trackId = r.u32();
        r.skip(4);
        track.trackDuration = r.u32();
    }
    r.skip(8 + 2 + 2);
    track.volume = r.u16();
    r.skip(2 + 36);
    track.width = r.u32() >> 16;
    track.height = r.u32() >> 16;
}

void parseMdhd(ByteReader r, TrackInfo& track) {
    uint8_t version = r.u8();
    r.u24();
    if (version == 1) {
        r.skip(16);
        track.timescale = r.u32();
        track.mediaDuration = r.u64();
    } else {
        r.skip(8);
        track.timescale = r.u32();
        track.mediaDuration = r.u32();
    }
    track.language = r.u16();
}

// For each data reference entry: whether the media is in this file (flag 1).
std::vector<bool> parseDref(const uint8_t* data, size_t size, uint64_t base) {
    ByteReader r(data, size, base, "dref");
    r.u32();
    uint32_t count = r.u32();
    std::vector<bool> out;
    for (uint32_t i = 0; i < count && r.remaining() >= 12; ++i) {
        size_t start = r.position();
        uint32_t entrySize = r.u32();
        r.u32();
        uint32_t flags = r.u32() & 0xFFFFFF;
        out.push_back(flags & 1);
        if (entrySize < 12 || entrySize > r.size() - start) break;
        r.seek(start + entrySize);
    }
    return out;
}

void collectStbl(const uint8_t* data, size_t size, uint64_t base, TableBoxes& t) {
    forEachChild(data, size, base, [&](const BoxHeader& h, const uint8_t* payload) {
        TableBoxes::Span span{payload, size_t(h.payloadSize()), h.payloadOffset()};
        switch (h.type) {
        case fourcc("stsd"):
            t.stsd = span;
            break;
        case fourcc("stts"):
            t.stts = span;
            break;
        case fourcc("ctts"):
            t.ctts = span;
            break;
        case fourcc("stss"):
            t.stss = span;
            break;
        case fourcc("stsz"):
            t.stsz = span;
            break;
        case fourcc("stz2"):
            t.stz2 = span;
            break;
        case fourcc("stsc"):
            t.stsc = span;
            break;
        case fourcc("stco"):
            t.stco = span;
            break;
        case fourcc("co64"):
            t.co64 = span;
            break;
        default:
            break;
        }
    });
}

void parseStsd(const TableBoxes::Span& s, TrackInfo& track) {
    ByteReader r(s.data, s.size, s.offset, "stsd");
    r.u32();
    track.sampleDescriptionCount = r.u32();
    if (track.sampleDescriptionCount == 0) r.fail("no sample description");
    auto h = parseBoxHeader(s.data + r.position(), r.remaining(), r.absoluteOffset());
    if (!h) r.fail("sample entry header missing");
    const uint8_t* entry = s.data + r.position();
    track.sampleEntry.assign(entry, entry + h->size);
    track.sampleEntryType = h->type;
}

void buildSamples(const TableBoxes& t, TrackInfo& track, uint64_t fileSize) {
    std::string id = "track " + std::to_string(track.trackId) + " ";
    // Sizes.
    uint32_t constantSize = 0;
    uint64_t count = 0;
    std::optional<ByteReader> sizes;
    int fieldBits = 32;
    if (t.stsz.present()) {
        ByteReader r(t.stsz.data, t.stsz.size, t.stsz.offset, id + "stsz");
        r.u32();
        constantSize = r.u32();
        count = r.u32();
        if (constantSize == 0) {
            if (count * 4 > r.remaining())
                r.fail("sample count " + std::to_string(count) + " exceeds the box");
            sizes = r;
        }
    } else if (t.stz2.present()) {
        ByteReader r(t.stz2.data, t.stz2.size, t.stz2.offset, id + "stz2");
        r.u32();
        r.u24();
        fieldBits = r.u8();
        if (fieldBits != 4 && fieldBits != 8 && fieldBits != 16)
            r.fail("field size " + std::to_string(fieldBits));
        count = r.u32();
        if ((count * uint64_t(fieldBits) + 7) / 8 > r.remaining())
            r.fail("sample count " + std::to_string(count) + " exceeds the box");
        sizes = r;
    } else if (!t.stts.present() && !t.stco.present() && !t.co64.present()) {
        return; // a track without samples
    } else {
        throw FormatError(id + "has no stsz/stz2 box");
    }
    if (count == 0) return;
    uint64_t limit = kMaxSamples;
    if (constantSize > 0 && fileSize > 0) limit = std::min(limit, fileSize / constantSize);
    if (count > limit)
        throw FormatError(id + "claims " + std::to_string(count) + " samples, more than the file can hold");
    if (!t.stts.present()) throw FormatError(id + "has no stts box");
    if (!t.stsc.present()) throw FormatError(id + "has no stsc box");
    if (!t.stco.present() && !t.co64.present()) throw FormatError(id + "has no stco/co64 box");

    track.samples.resize(size_t(count));
    auto& samples = track.samples;
    for (uint64_t i = 0; i < count; ++i) {
        uint32_t s = constantSize;
        if (sizes) {
            if (fieldBits == 32)
                s = sizes->u32();
            else if (fieldBits == 16)
                s = sizes->u16();
            else if (fieldBits == 8)
                s = sizes->u8();
            else {
                uint8_t byte = sizes->data()[sizes->position()];
                if (i % 2 == 0)
                    s = byte >> 4;
                else {
                    s = byte & 15;
                    sizes->skip(1);
                }
            }
        }
        samples[i].size = s;
    }

    // Decode times.
    {
        ByteReader r(t.stts.data, t.stts.size, t.stts.offset, id + "stts");
        r.u32();
        uint32_t entries = r.u32();
        if (uint64_t(entries) * 8 > r.remaining())
            r.fail("entry count " + std::to_string(entries) + " exceeds the box");
        uint64_t i = 0;
        int64_t dts = 0;
        for (uint32_t e = 0; e < entries && i < count; ++e) {
            uint32_t n = r.u32();
            uint32_t delta = r.u32();
            for (uint32_t k = 0; k < n && i < count; ++k, ++i) {
                samples[i].decodeTime = dts;
                samples[i].duration = delta;
                dts += delta;
            }
        }
        if (i < count)
            throw FormatError(id + "stts describes " + std::to_string(i) + " of " + std::to_string(count) +
                              " samples" + at(t.stts.offset));
    }
    // Composition offsets (signed in both versions: version 0 files with negative offsets exist).
    for (auto& s : samples)
        s.presentationTime = s.decodeTime;
    if (t.ctts.present()) {
        ByteReader r(t.ctts.data, t.ctts.size, t.ctts.offset, id + "ctts");
        r.u32();
        uint32_t entries = r.u32();
        if (uint64_t(entries) * 8 > r.remaining())
            r.fail("entry count " + std::to_string(entries) + " exceeds the box");
        uint64_t i = 0;
        for (uint32_t e = 0; e < entries && i < count; ++e) {
            uint32_t n = r.u32();
            int32_t offset = r.i32();
            for (uint32_t k = 0; k < n && i < count; ++k, ++i)
                samples[i].presentationTime += offset;
        }
        if (i < count)
            throw FormatError(id + "ctts describes " + std::to_string(i) + " of " + std::to_string(count) +
                              " samples" + at(t.ctts.offset));
    }
    // Sync samples.
    if (t.stss.present()) {
        ByteReader r(t.stss.data, t.stss.size, t.stss.offset, id + "stss");
        r.u32();
        uint32_t entries = r.u32();
        if (uint64_t(entries) * 4 > r.remaining())
            r.fail("entry count " + std::to_string(entries) + " exceeds the box");
        for (uint32_t e = 0; e < entries; ++e) {
            uint32_t n = r.u32();
            if (n >= 1 && n <= count) samples[n - 1].isSync = true;
        }
    } else {
        for (auto& s : samples)
            s.isSync = true;
    }
    // Chunk offsets.
    std::vector<uint64_t> chunks;
    {
        bool is64 = !t.stco.present();
        const auto& span = is64 ? t.co64 : t.stco;
        ByteReader r(span.data, span.size, span.offset, id + (is64 ? "co64" : "stco"));
        r.u32();
        uint32_t entries = r.u32();
        if (uint64_t(entries) * (is64 ? 8 : 4) > r.remaining())
            r.fail("entry count " + std::to_string(entries) + " exceeds the box");
        chunks.resize(entries);
        for (auto& c : chunks)
            c = is64 ? r.u64() : r.u32();
    }
    // Sample-to-chunk: runs of chunks sharing a samples-per-chunk count.
    {
        ByteReader r(t.stsc.data, t.stsc.size, t.stsc.offset, id + "stsc");
        r.u32();
        uint32_t entries = r.u32();
        if (uint64_t(entries) * 12 > r.remaining())
            r.fail("entry count " + std::to_string(entries) + " exceeds the box");
        struct Run {
            uint32_t firstChunk, perChunk;
        };
        std::vector<Run> runs(entries);
        for (auto& run : runs) {
            run.firstChunk = r.u32();
            run.perChunk = r.u32();
            r.u32();
        }
        uint64_t i = 0;
        for (size_t e = 0; e < runs.size() && i < count; ++e) {
            uint64_t first = runs[e].firstChunk;
            uint64_t last = e + 1 < runs.size() ? uint64_t(runs[e + 1].firstChunk) - 1 : chunks.size();
            if (first == 0 || (e + 1 < runs.size() && runs[e + 1].firstChunk <= runs[e].firstChunk))
                throw FormatError(id + "stsc chunk numbers do not increase" + at(t.stsc.offset));
            last = std::min<uint64_t>(last, chunks.size());
            for (uint64_t c = first; c <= last && i < count; ++c) {
                uint64_t offset = chunks[c - 1];
                for (uint32_t k = 0; k < runs[e].perChunk && i < count; ++k, ++i) {
                    samples[i].offset = offset;
                    offset += samples[i].size;
                }
            }
        }
        if (i < count)
            throw FormatError(id + "stsc/stco place " + std::to_string(i) + " of " + std::to_string(count) +
                              " samples" + at(t.stsc.offset));
    }
    if (fileSize > 0) {
        for (size_t i = 0; i < samples.size(); ++i) {
            if (samples[i].offset > fileSize || samples[i].size > fileSize - samples[i].offset)
                throw FormatError(id + "sample " + std::to_string(i + 1) + " (offset " +
                                  std::to_string(samples[i].offset) + ", " + std::to_string(samples[i].size) +
                                  " bytes) lies beyond the end of the file (" + std::to_string(fileSize) +
                                  " bytes; truncated?)");
        }
    }
}

void finishTiming(TrackInfo& track, uint32_t movieTimescale) {
    int64_t empty = 0;
    uint64_t total = 0;
    bool shiftSet = false;
    for (const auto& e : track.edits) {
        total += e.segmentDuration;
        if (shiftSet) continue;
        if (e.mediaTime == -1) {
            empty += rescaleRounded(int64_t(e.segmentDuration), movieTimescale, track.timescale);
        } else {
            track.presentationShift = empty - e.mediaTime;
            shiftSet = true;
        }
    }
    if (!track.edits.empty() && movieTimescale > 0)
        track.timeRangeDuration = MediaTime{int64_t(total), movieTimescale};
    else
        track.timeRangeDuration = MediaTime{int64_t(track.mediaDuration), track.timescale};
}

TrackInfo parseTrak(const uint8_t* data, size_t size, uint64_t base, uint64_t fileSize,
                    uint32_t movieTimescale) {
    TrackInfo track;
    TableBoxes tables;
    bool hasMdhd = false;
    std::vector<bool> selfContained;
    forEachChild(data, size, base, [&](const BoxHeader& h, const uint8_t* p) {
        size_t ps = size_t(h.payloadSize());
        if (h.type == fourcc("tkhd"))
            parseTkhd(ByteReader(p, ps, h.payloadOffset(), "tkhd"), track);
        else if (h.type == fourcc("edts")) {
            forEachChild(p, ps, h.payloadOffset(), [&](const BoxHeader& eh, const uint8_t* ep) {
                if (eh.type == fourcc("elst"))
                    parseElst(ByteReader(ep, size_t(eh.payloadSize()), eh.payloadOffset(), "elst"), track);
            });
        } else if (h.type == fourcc("mdia")) {
            forEachChild(p, ps, h.payloadOffset(), [&](const BoxHeader& mh, const uint8_t* mp) {
                size_t mps = size_t(mh.payloadSize());
                if (mh.type == fourcc("mdhd")) {
                    parseMdhd(ByteReader(mp, mps, mh.payloadOffset(), "mdhd"), track);
                    hasMdhd = true;
                } else if (mh.type == fourcc("hdlr")) {
                    ByteReader r(mp, mps, mh.payloadOffset(), "hdlr");
                    r.skip(8);
                    track.handlerType = fourccToString(r.u32());
                } else if (mh.type == fourcc("minf")) {
                    forEachChild(mp, mps, mh.payloadOffset(), [&](const BoxHeader& nh, const uint8_t* np) {
                        if (nh.type == fourcc("stbl"))
                            collectStbl(np, size_t(nh.payloadSize()), nh.payloadOffset(), tables);
                        else if (nh.type == fourcc("dinf"))
                            forEachChild(np, size_t(nh.payloadSize()), nh.payloadOffset(),
                                         [&](const BoxHeader& dh, const uint8_t* dp) {
                                             if (dh.type == fourcc("dref"))
                                                 selfContained = parseDref(dp, size_t(dh.payloadSize()),
                                                                           dh.payloadOffset());
                                         });
                    });
                }
            });
        }
    });
    if (!hasMdhd) throw FormatError("track " + std::to_string(track.trackId) + " has no mdhd" + at(base));
    if (track.timescale == 0)
        throw FormatError("track " + std::to_string(track.trackId) + " has timescale 0");
    if (tables.stsd.present()) parseStsd(tables.stsd, track);
    // Samples whose data lives in another file (a QuickTime reference movie) cannot be read from this one.
    if (track.sampleEntry.size() >= 16) {
        uint16_t index = uint16_t(track.sampleEntry[14] << 8 | track.sampleEntry[15]);
        if (index >= 1 && index <= selfContained.size() && !selfContained[index - 1])
            throw FormatError("track " + std::to_string(track.trackId) +
                              " keeps its media in another file (external data reference), not supported");
    }
    buildSamples(tables, track, fileSize);
    finishTiming(track, movieTimescale);
    return track;
}

} // namespace

ParsedMovie parseMoov(const uint8_t* data, size_t size, uint64_t moovOffset, uint64_t fileSize) {
    auto moov = parseBoxHeader(data, size, moovOffset);
    if (!moov || moov->type != fourcc("moov")) throw FormatError("no moov box" + at(moovOffset));
    ParsedMovie movie;
    const uint8_t* body = data + moov->headerSize;
    size_t bodySize = size_t(moov->payloadSize());
    // mvhd first: track timing needs the movie timescale whatever the child order.
    forEachChild(body, bodySize, moov->payloadOffset(), [&](const BoxHeader& h, const uint8_t* p) {
        if (h.type == fourcc("mvex"))
            throw FormatError("fragmented movie (mvex box" + at(h.offset) + ") is not supported");
        if (h.type == fourcc("mvhd")) {
            ByteReader r(p, size_t(h.payloadSize()), h.payloadOffset(), "mvhd");
            uint8_t version = r.u8();
            r.u24();
            r.skip(version == 1 ? 16 : 8);
            movie.movieTimescale = r.u32();
            movie.movieDuration = version == 1 ? r.u64() : r.u32();
        }
    });
    forEachChild(body, bodySize, moov->payloadOffset(), [&](const BoxHeader& h, const uint8_t* p) {
        if (h.type == fourcc("trak"))
            movie.tracks.push_back(
                parseTrak(p, size_t(h.payloadSize()), h.payloadOffset(), fileSize, movie.movieTimescale));
    });
    return movie;
}

MovieReader::MovieReader(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw IoError("cannot open " + path + ": " + std::strerror(errno));
    try {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) throw IoError("cannot stat " + path + ": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode)) throw IoError(path + " is not a regular file");
        fileSize_ = uint64_t(st.st_size);
        parse();
    } catch (const FormatError& e) {
        ::close(fd_);
        fd_ = -1;
        throw FormatError(path + ": " + e.what());
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

MovieReader::~MovieReader() {
    if (fd_ >= 0) ::close(fd_);
}

void MovieReader::readAt(uint64_t offset, uint8_t* dst, size_t size) const {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd_, dst + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError("cannot read " + path_ + at(offset + done) + ": " + std::strerror(errno));
        }
        if (n == 0) throw IoError("unexpected end of " + path_ + at(offset + done));
        done += size_t(n);
    }
}

void MovieReader::parse() {
    uint64_t pos = 0;
    const BoxHeader* moov = nullptr;
    while (pos < fileSize_) {
        uint8_t head[16];
        size_t want = size_t(std::min<uint64_t>(16, fileSize_ - pos));
        readAt(pos, head, want);
        std::optional<BoxHeader> h;
        try {
            h = parseBoxHeader(head, fileSize_ - pos, pos);
        } catch (const FormatError&) {
            if (topLevel_.empty()) throw FormatError("not a QuickTime/MP4 movie");
            throw;
        }
        if (!h) break;
        if (topLevel_.empty() && h->typeName() == "????") throw FormatError("not a QuickTime/MP4 movie");
        if (h->type == fourcc("moof"))
            throw FormatError("fragmented movie (moof box" + at(pos) + ") is not supported");
        topLevel_.push_back(*h);
        pos += h->size;
    }
    for (const auto& h : topLevel_)
        if (h.type == fourcc("moov")) {
            moov = &h;
            break;
        }
    if (!moov)
        throw FormatError(topLevel_.empty() ? "empty file, not a movie"
                                            : "no moov box (not a complete movie?)");
    if (moov->size > kMaxMoovSize) throw FormatError("moov box" + at(moov->offset) + " is implausibly large");
    std::vector<uint8_t> bytes(size_t(moov->size));
    readAt(moov->offset, bytes.data(), bytes.size());
    ParsedMovie movie = parseMoov(bytes.data(), bytes.size(), moov->offset, fileSize_);
    movieTimescale_ = movie.movieTimescale;
    movieDuration_ = movie.movieDuration;
    tracks_ = std::move(movie.tracks);
}

int MovieReader::firstTrack(const std::string& handlerType) const {
    for (size_t i = 0; i < tracks_.size(); ++i)
        if (tracks_[i].handlerType == handlerType) return int(i);
    return -1;
}

void MovieReader::readSample(size_t track, size_t index, std::vector<uint8_t>& buffer) const {
    const SampleInfo& s = tracks_.at(track).samples.at(index);
    buffer.resize(s.size);
    readAt(s.offset, buffer.data(), s.size);
}

} // namespace media
