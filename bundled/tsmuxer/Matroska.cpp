#include "AnnexB.h"
#include "Containers.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace tsmuxer {
namespace {

// Matroska element IDs (the EBML and Matroska specifications), marker bits kept.
constexpr uint32_t kEbml = 0x1A45DFA3, kDocType = 0x4282, kSegment = 0x18538067;
constexpr uint32_t kInfo = 0x1549A966, kTimestampScale = 0x2AD7B1;
constexpr uint32_t kTracks = 0x1654AE6B, kTrackEntry = 0xAE, kTrackNumber = 0xD7, kTrackType = 0x83;
constexpr uint32_t kCodecId = 0x86, kCodecPrivate = 0x63A2, kDefaultDuration = 0x23E383;
constexpr uint32_t kVideo = 0xE0, kPixelWidth = 0xB0, kPixelHeight = 0xBA;
constexpr uint32_t kContentEncodings = 0x6D80, kContentEncoding = 0x6240, kContentCompression = 0x5034;
constexpr uint32_t kContentCompAlgo = 0x4254, kContentCompSettings = 0x4255, kContentEncryption = 0x5035;
constexpr uint32_t kCluster = 0x1F43B675, kClusterTimestamp = 0xE7, kSimpleBlock = 0xA3;
constexpr uint32_t kBlockGroup = 0xA0, kBlock = 0xA1, kReferenceBlock = 0xFB;
constexpr uint32_t kSegmentLevelIds[] = {0x114D9B74, kInfo,      kTracks,    kCluster,
                                         0x1C53BB6B, 0x1254C367, 0x1043A770, 0x1941A469};
constexpr uint64_t kUnknownSize = UINT64_MAX;
constexpr uint64_t kMaxHeaderElement = 64ull << 20; // Info, Tracks: read whole
constexpr uint64_t kMaxBlock = 256ull << 20;
constexpr unsigned kMvcProbeFrames = 64;
constexpr uint64_t kListingClusterBytes = 32ull << 20;

const char* kAvcCodec = "V_MPEG4/ISO/AVC";
const char* kMvcCodec = "V_MPEG4/ISO/MVC";

struct ElementHeader {
    uint32_t id = 0;
    uint64_t size = 0;
    size_t length = 0; // bytes of ID and size
};

enum class HeaderStatus { ok, needMore, invalid };

HeaderStatus decodeHeader(const uint8_t* d, size_t n, ElementHeader& out) {
    if (n < 1) return HeaderStatus::needMore;
    size_t idLength = 1;
    while (idLength <= 4 && !(d[0] & (0x80 >> (idLength - 1))))
        ++idLength;
    if (idLength > 4) return HeaderStatus::invalid;
    if (n < idLength + 1) return HeaderStatus::needMore;
    uint32_t id = 0;
    for (size_t i = 0; i < idLength; ++i)
        id = (id << 8) | d[i];
    const uint8_t first = d[idLength];
    if (first == 0) return HeaderStatus::invalid;
    size_t sizeLength = 1;
    while (!(first & (0x80 >> (sizeLength - 1))))
        ++sizeLength;
    if (n < idLength + sizeLength) return HeaderStatus::needMore;
    uint64_t value = first & (0xFF >> sizeLength);
    bool allOnes = value == (0xFFu >> sizeLength);
    for (size_t i = 1; i < sizeLength; ++i) {
        value = (value << 8) | d[idLength + i];
        allOnes = allOnes && d[idLength + i] == 0xFF;
    }
    out.id = id;
    out.size = allOnes ? kUnknownSize : value;
    out.length = idLength + sizeLength;
    return HeaderStatus::ok;
}

uint64_t readUnsigned(const uint8_t* d, uint64_t size) {
    uint64_t value = 0;
    for (uint64_t i = 0; i < size && i < 8; ++i)
        value = (value << 8) | d[i];
    return value;
}

// Walks the children of an element held in memory.
template <typename OnChild>
void forEachChild(const uint8_t* d, size_t n, uint64_t baseOffset, OnChild&& onChild) {
    size_t at = 0;
    while (at < n) {
        ElementHeader h;
        if (decodeHeader(d + at, n - at, h) != HeaderStatus::ok || h.size == kUnknownSize ||
            h.size > n - at - h.length)
            throw DemuxError("malformed Matroska element at byte offset " + std::to_string(baseOffset + at));
        onChild(h.id, d + at + h.length, static_cast<size_t>(h.size), baseOffset + at);
        at += h.length + h.size;
    }
}

struct MatroskaTrack {
    uint64_t number = 0;
    uint64_t type = 0;
    std::string codecId;
    std::vector<uint8_t> codecPrivate;
    uint64_t defaultDuration = 0;
    uint64_t width = 0, height = 0;
    std::vector<uint8_t> strippedHeader; // header-removal compression prepends this to each frame
    bool isUnreadable = false;           // encrypted or compressed other than by header removal
};

struct NalSpan {
    const uint8_t* data;
    size_t size;
};

struct AvcConfig {
    unsigned lengthSize = 4;
    std::vector<std::vector<uint8_t>> baseParameterSets;
    std::vector<std::vector<uint8_t>> mvcParameterSets;
};

// Reads an AVCDecoderConfigurationRecord (ISO/IEC 14496-15 §5.3.3.1); true when complete.
bool readConfigRecord(const uint8_t* d, size_t n, unsigned& lengthSize,
                      std::vector<std::vector<uint8_t>>& out) {
    if (n < 6) return false;
    lengthSize = (d[4] & 3) + 1;
    size_t at = 5;
    for (int list = 0; list < 2; ++list) {
        if (at >= n) return false;
        unsigned count = list == 0 ? (d[at] & 0x1F) : d[at];
        ++at;
        for (unsigned i = 0; i < count; ++i) {
            if (at + 2 > n) return false;
            size_t length = (d[at] << 8) | d[at + 1];
            at += 2;
            if (length == 0 || at + length > n) return false;
            out.emplace_back(d + at, d + at + length);
            at += length;
        }
    }
    return true;
}

AvcConfig parseAvcConfig(const MatroskaTrack& track) {
    AvcConfig config;
    const auto& cp = track.codecPrivate;
    if (cp.empty()) return config;
    if (!readConfigRecord(cp.data(), cp.size(), config.lengthSize, config.baseParameterSets))
        throw DemuxError("track " + std::to_string(track.number) +
                         ": CodecPrivate is not a valid AVC configuration record");
    // A 3D Matroska may append the MVC configuration as an 'mvcC' box
    // (14496-15 §8.3.3: size, type, MVCDecoderConfigurationRecord).
    static const uint8_t kMvcBox[] = {'m', 'v', 'c', 'C'};
    for (size_t at = 4; at + 4 <= cp.size(); ++at) {
        if (std::memcmp(cp.data() + at, kMvcBox, 4) != 0) continue;
        size_t boxSize = (size_t{cp[at - 4]} << 24) | (cp[at - 3] << 16) | (cp[at - 2] << 8) | cp[at - 1];
        size_t end = (boxSize >= 8 && at - 4 + boxSize <= cp.size()) ? at - 4 + boxSize : cp.size();
        unsigned ignored = 0;
        readConfigRecord(cp.data() + at + 4, end - at - 4, ignored, config.mvcParameterSets);
        break;
    }
    return config;
}

std::string streamTypeOf(const std::string& codecId) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"V_MPEG4/ISO/AVC", "H.264"},
        {"V_MPEG4/ISO/MVC", "MVC"},
        {"V_MPEGH/ISO/HEVC", "HEVC"},
        {"V_MPEG2", "MPEG-2"},
        {"V_MS/VFW/WVC1", "VC-1"},
        {"A_AC3", "AC3"},
        {"A_EAC3", "E-AC3"},
        {"A_DTS", "DTS"},
        {"A_TRUEHD", "TRUE-HD"},
        {"A_AAC", "AAC"},
        {"A_PCM", "LPCM"},
        {"A_MPEG", "MPEG audio"},
        {"A_FLAC", "FLAC"},
        {"A_OPUS", "Opus"},
        {"S_HDMV/PGS", "PGS"},
        {"S_TEXT/UTF8", "SRT"},
    };
    for (const auto& [prefix, name] : kNames)
        if (codecId.rfind(prefix, 0) == 0) return name;
    return codecId.empty() ? "unknown" : codecId;
}

// One requested Matroska track: splits each frame into the views' NAL units.
class TrackDemux {
  public:
    explicit TrackDemux(const MatroskaTrack& track)
        : track_(track), config_(parseAvcConfig(track)), isWholeMvc_(track.codecId == kMvcCodec) {
        for (const auto& nal : config_.baseParameterSets)
            noteParameterSet(nal.data(), nal.size());
        for (const auto& nal : config_.mvcParameterSets)
            noteParameterSet(nal.data(), nal.size());
    }

    void attach(View view, AccessUnitWriter* writer) {
        (view == View::base ? base_ : dependent_).writer = writer;
    }
    bool wantsDependent() const { return dependent_.writer != nullptr; }
    bool hasMvcConfig() const { return !config_.mvcParameterSets.empty(); }
    bool hasSeenDependent() const { return sawDependentNal_; }
    unsigned framesSeen() const { return frames_; }

    // Splits the frame and writes both views; throws for a frame it cannot split.
    void frame(const uint8_t* data, size_t size, std::optional<int64_t> time, bool isKeyframe,
               uint64_t offset) {
        ++frames_;
        baseNals_.clear();
        dependentNals_.clear();
        const unsigned lengthSize = config_.lengthSize;
        bool inDependentPart = isWholeMvc_;
        size_t at = 0;
        while (at < size) {
            if (size - at < lengthSize)
                throw DemuxError("track " + std::to_string(track_.number) + ": frame at byte offset " +
                                 std::to_string(offset) + " ends inside a NAL unit length field");
            size_t length = static_cast<size_t>(readUnsigned(data + at, lengthSize));
            at += lengthSize;
            if (length > size - at)
                throw DemuxError("track " + std::to_string(track_.number) + ": NAL unit of " +
                                 std::to_string(length) + " bytes overruns its frame at byte offset " +
                                 std::to_string(offset));
            if (length == 0) continue;
            const uint8_t* nal = data + at;
            at += length;
            const uint8_t type = nal[0] & 0x1F;
            noteParameterSet(nal, length);
            bool isDependent = inDependentPart;
            if (isWholeMvc_ || isDependentViewType(type)) {
                isDependent = true;
            } else if (type == h264nal::pictureParameterSet) {
                isDependent = ppsBelongsToDependent(nal, length).value_or(inDependentPart);
            } else if (type == h264nal::accessUnitDelimiter || type == h264nal::sequenceParameterSet ||
                       type == 1 || type == 5) {
                isDependent = false;
            }
            if (type == h264nal::mvcDelimiter || type == h264nal::subsetSequenceParameterSet ||
                type == h264nal::sliceExtension || type == 21)
                inDependentPart = true;
            else if (type == h264nal::accessUnitDelimiter || type == h264nal::sequenceParameterSet ||
                     type == 1 || type == 5)
                inDependentPart = false;
            if (isDependent && type != h264nal::prefix) sawDependentNal_ = true;
            (isDependent ? dependentNals_ : baseNals_).push_back({nal, length});
        }
        writeView(base_, baseNals_, config_.baseParameterSets, h264nal::sequenceParameterSet, View::base,
                  time, isKeyframe);
        writeView(dependent_, dependentNals_, config_.mvcParameterSets, h264nal::subsetSequenceParameterSet,
                  View::dependent, time, isKeyframe);
    }

  private:
    struct Output {
        AccessUnitWriter* writer = nullptr;
        bool hasStarted = false;
        bool carriesParametersInBand = false;
    };

    void noteParameterSet(const uint8_t* nal, size_t size) {
        const uint8_t type = nal[0] & 0x1F;
        if (type != h264nal::sequenceParameterSet && type != h264nal::subsetSequenceParameterSet) return;
        if (auto id = spsId(nal, size))
            (type == h264nal::sequenceParameterSet ? baseSpsIds_ : subsetSpsIds_).insert(*id);
    }

    // A PPS belongs to the view whose kind of SPS it names, when that is unambiguous.
    std::optional<bool> ppsBelongsToDependent(const uint8_t* nal, size_t size) const {
        auto ids = ppsIds(nal, size);
        if (!ids) return std::nullopt;
        bool inBase = baseSpsIds_.count(ids->second) != 0;
        bool inSubset = subsetSpsIds_.count(ids->second) != 0;
        if (inBase == inSubset) return std::nullopt;
        return inSubset;
    }

    // Parameter sets from CodecPrivate open the first access unit, and every
    // keyframe when the stream does not repeat them itself, so that each
    // keyframe can start a decode.
    static void writeView(Output& out, const std::vector<NalSpan>& nals,
                          const std::vector<std::vector<uint8_t>>& parameterSets, uint8_t spsType, View view,
                          std::optional<int64_t> time, bool isKeyframe) {
        if (!out.writer) return;
        bool bringsDelimiter = !nals.empty() && (nals[0].data[0] & 0x1F) == delimiterType(view);
        bool hasSps = false;
        for (const auto& nal : nals)
            hasSps = hasSps || (nal.data[0] & 0x1F) == spsType;
        if (!out.hasStarted) out.carriesParametersInBand = hasSps;
        bool insert = !hasSps && (!out.hasStarted || (isKeyframe && !out.carriesParametersInBand));
        out.hasStarted = true;
        out.writer->beginAccessUnit(time, bringsDelimiter);
        size_t first = 0;
        if (bringsDelimiter) out.writer->writeNal(nals[0].data, nals[0].size), first = 1;
        if (insert)
            for (const auto& set : parameterSets)
                out.writer->writeNal(set.data(), set.size());
        for (size_t i = first; i < nals.size(); ++i)
            out.writer->writeNal(nals[i].data, nals[i].size);
    }

    const MatroskaTrack& track_;
    AvcConfig config_;
    bool isWholeMvc_;
    Output base_, dependent_;
    std::set<uint32_t> baseSpsIds_, subsetSpsIds_;
    std::vector<NalSpan> baseNals_, dependentNals_;
    unsigned frames_ = 0;
    bool sawDependentNal_ = false;
};

class MatroskaReader {
  public:
    MatroskaReader(ByteSource& source, const DemuxOptions& options) : source_(source), options_(options) {}

    Listing list() {
        readHeaders();
        Listing listing;
        listing.kind = ContainerKind::matroska;
        std::vector<uint64_t> avcTracks;
        for (const auto& [number, track] : tracks_)
            if (track.codecId == kAvcCodec) {
                auto demux = std::make_unique<TrackDemux>(track);
                isMvcProbe_ = true;
                probes_.emplace(number, std::move(demux));
            }
        if (!probes_.empty()) {
            probeEnd_ = source_.offset() + kListingClusterBytes;
            readClusters();
        }
        for (const auto& [number, track] : tracks_) {
            TrackInfo info;
            info.id = static_cast<uint32_t>(number);
            info.codecId = track.codecId;
            info.streamType = streamTypeOf(track.codecId);
            if (track.width) info.info = std::to_string(track.width) + "x" + std::to_string(track.height);
            auto probe = probes_.find(number);
            bool carriesMvc = probe != probes_.end() &&
                              (probe->second->hasMvcConfig() || probe->second->hasSeenDependent());
            if (!carriesMvc) {
                listing.tracks.push_back(info);
                continue;
            }
            info.subTrack = kAvcSubTrack;
            info.info += (info.info.empty() ? "" : ", ") + std::string("base view");
            listing.tracks.push_back(info);
            TrackInfo mvc = info;
            mvc.streamType = "MVC";
            mvc.codecId = kMvcCodec;
            mvc.subTrack = kMvcSubTrack;
            mvc.info = "MVC dependent view";
            listing.tracks.push_back(mvc);
        }
        return listing;
    }

    std::vector<ViewStats> demux(const std::vector<TrackRequest>& requests) {
        readHeaders();
        std::map<uint64_t, std::unique_ptr<AccessUnitWriter>> writers;
        std::vector<AccessUnitWriter*> writerOfRequest;
        for (const auto& request : requests) {
            auto track = tracks_.find(request.track);
            if (track == tracks_.end()) {
                Listing listing;
                for (const auto& [number, t] : tracks_)
                    listing.tracks.push_back({static_cast<uint32_t>(number), streamTypeOf(t.codecId),
                                              t.codecId, "", std::nullopt});
                throw DemuxError("track " + std::to_string(request.track) +
                                 " not found in the Matroska file; its tracks are " +
                                 describeTracks(listing));
            }
            if (track->second.codecId != kAvcCodec && track->second.codecId != kMvcCodec)
                throw DemuxError("track " + std::to_string(request.track) + " is " +
                                 streamTypeOf(track->second.codecId) + " (" + track->second.codecId +
                                 "), not H.264/MVC video");
            if (track->second.isUnreadable)
                throw DemuxError("track " + std::to_string(request.track) +
                                 " is encrypted or compressed; it cannot be demultiplexed");
            auto& demux = probes_[request.track];
            if (!demux) demux = std::make_unique<TrackDemux>(track->second);
            auto writer =
                std::make_unique<AccessUnitWriter>(*request.sink, request.view, options_.cutEndNanoseconds);
            demux->attach(request.view, writer.get());
            writerOfRequest.push_back(writer.get());
            ownedWriters_.push_back(std::move(writer));
        }
        readClusters();
        std::vector<ViewStats> stats;
        for (auto* writer : writerOfRequest)
            writer->finish();
        for (const auto& request : requests) {
            const auto& demux = probes_[request.track];
            if (request.view == View::dependent && !demux->hasSeenDependent() && !isStopped_)
                throw DemuxError(noDependentViewText(request.track));
        }
        for (auto* writer : writerOfRequest)
            stats.push_back(writer->stats());
        return stats;
    }

  private:
    static std::string noDependentViewText(uint64_t track) {
        return "track " + std::to_string(track) +
               " carries no MVC dependent view (no NAL units of type 20 in its frames)";
    }

    std::optional<ElementHeader> peekHeader() {
        size_t available = source_.ensure(12);
        if (available == 0) return std::nullopt;
        ElementHeader h;
        auto status = decodeHeader(source_.data(), available, h);
        if (status == HeaderStatus::needMore) throw truncated(source_.offset(), 12);
        if (status == HeaderStatus::invalid)
            throw DemuxError("invalid Matroska element header at byte offset " +
                             std::to_string(source_.offset()));
        return h;
    }

    DemuxError truncated(uint64_t offset, uint64_t needed) const {
        return DemuxError("truncated Matroska file: the element at byte offset " + std::to_string(offset) +
                          " needs " + std::to_string(needed) + " bytes beyond the end of the file");
    }

    std::vector<uint8_t> readBody(uint64_t offset, uint64_t size) {
        auto total = source_.totalSize();
        if (total && size > *total - std::min(*total, source_.offset())) throw truncated(offset, size);
        std::vector<uint8_t> body;
        body.reserve(static_cast<size_t>(std::min<uint64_t>(size, 16u << 20)));
        while (body.size() < size) {
            size_t available = source_.ensure(1);
            if (available == 0) throw truncated(offset, size - body.size());
            size_t take = static_cast<size_t>(std::min<uint64_t>(available, size - body.size()));
            body.insert(body.end(), source_.data(), source_.data() + take);
            source_.consume(take);
        }
        return body;
    }

    void readHeaders() {
        auto ebml = peekHeader();
        if (!ebml || ebml->id != kEbml || ebml->size == kUnknownSize || ebml->size > 4096)
            throw DemuxError("not a Matroska file (no EBML header at byte offset 0)");
        uint64_t ebmlOffset = source_.offset();
        source_.consume(ebml->length);
        auto body = readBody(ebmlOffset, ebml->size);
        std::string docType = "matroska";
        forEachChild(body.data(), body.size(), ebmlOffset + ebml->length,
                     [&](uint32_t id, const uint8_t* d, size_t n, uint64_t) {
                         if (id == kDocType) docType.assign(reinterpret_cast<const char*>(d), n);
                     });
        docType = docType.c_str(); // drop trailing NULs
        if (docType != "matroska" && docType != "webm")
            throw DemuxError("not a Matroska file (EBML DocType \"" + docType + "\")");
        while (true) {
            auto h = peekHeader();
            if (!h) throw DemuxError("Matroska file without a Segment");
            uint64_t offset = source_.offset();
            source_.consume(h->length);
            if (h->id == kSegment) {
                segmentEnd_ = h->size == kUnknownSize ? kUnknownSize : source_.offset() + h->size;
                break;
            }
            if (h->size == kUnknownSize || !source_.skip(h->size)) throw truncated(offset, h->size);
        }
        // Segment children up to the first Cluster: Info and Tracks.
        while (!atSegmentEnd()) {
            auto h = peekHeader();
            if (!h) break;
            if (h->id == kCluster) break;
            uint64_t offset = source_.offset();
            source_.consume(h->length);
            if (h->size == kUnknownSize)
                throw DemuxError("Matroska element of unknown size at byte offset " + std::to_string(offset));
            if (h->id == kInfo || h->id == kTracks) {
                if (h->size > kMaxHeaderElement)
                    throw DemuxError("Matroska element at byte offset " + std::to_string(offset) +
                                     " is implausibly large");
                auto body = readBody(offset, h->size);
                if (h->id == kInfo)
                    parseInfo(body, offset + h->length);
                else
                    parseTracks(body, offset + h->length);
            } else if (!source_.skip(h->size)) {
                throw truncated(offset, h->size);
            }
        }
        if (tracks_.empty())
            throw DemuxError("Matroska file without tracks (no Tracks element before the first Cluster)");
    }

    bool isUnreadable() {
        size_t available = source_.ensure(12);
        ElementHeader probe;
        return available > 0 && decodeHeader(source_.data(), available, probe) == HeaderStatus::invalid;
    }

    bool atSegmentEnd() const { return segmentEnd_ != kUnknownSize && source_.offset() >= segmentEnd_; }

    void parseInfo(const std::vector<uint8_t>& body, uint64_t offset) {
        forEachChild(body.data(), body.size(), offset,
                     [&](uint32_t id, const uint8_t* d, size_t n, uint64_t) {
                         if (id == kTimestampScale && n > 0) timestampScale_ = readUnsigned(d, n);
                     });
        if (timestampScale_ == 0) timestampScale_ = 1000000;
    }

    void parseTracks(const std::vector<uint8_t>& body, uint64_t offset) {
        forEachChild(
            body.data(), body.size(), offset, [&](uint32_t id, const uint8_t* d, size_t n, uint64_t at) {
                if (id != kTrackEntry) return;
                MatroskaTrack track;
                forEachChild(d, n, at, [&](uint32_t cid, const uint8_t* c, size_t cn, uint64_t cat) {
                    switch (cid) {
                    case kTrackNumber:
                        track.number = readUnsigned(c, cn);
                        break;
                    case kTrackType:
                        track.type = readUnsigned(c, cn);
                        break;
                    case kCodecId:
                        track.codecId.assign(reinterpret_cast<const char*>(c), cn);
                        break;
                    case kCodecPrivate:
                        track.codecPrivate.assign(c, c + cn);
                        break;
                    case kDefaultDuration:
                        track.defaultDuration = readUnsigned(c, cn);
                        break;
                    case kVideo:
                        forEachChild(c, cn, cat, [&](uint32_t vid, const uint8_t* v, size_t vn, uint64_t) {
                            if (vid == kPixelWidth) track.width = readUnsigned(v, vn);
                            if (vid == kPixelHeight) track.height = readUnsigned(v, vn);
                        });
                        break;
                    case kContentEncodings:
                        parseEncodings(track, c, cn, cat);
                        break;
                    default:
                        break;
                    }
                });
                track.codecId = track.codecId.c_str();
                if (track.number != 0) tracks_[track.number] = std::move(track);
            });
    }

    static void parseEncodings(MatroskaTrack& track, const uint8_t* d, size_t n, uint64_t offset) {
        forEachChild(d, n, offset, [&](uint32_t id, const uint8_t* e, size_t en, uint64_t eat) {
            if (id != kContentEncoding) return;
            forEachChild(e, en, eat, [&](uint32_t cid, const uint8_t* c, size_t cn, uint64_t cat) {
                if (cid == kContentEncryption) track.isUnreadable = true;
                if (cid != kContentCompression) return;
                uint64_t algorithm = 0; // zlib unless stated
                std::vector<uint8_t> settings;
                forEachChild(c, cn, cat, [&](uint32_t kid, const uint8_t* k, size_t kn, uint64_t) {
                    if (kid == kContentCompAlgo) algorithm = readUnsigned(k, kn);
                    if (kid == kContentCompSettings) settings.assign(k, k + kn);
                });
                if (algorithm == 3)
                    track.strippedHeader = settings;
                else
                    track.isUnreadable = true;
            });
        });
    }

    bool allDone() const {
        if (!options_.cutEndNanoseconds || ownedWriters_.empty()) return false;
        for (const auto& writer : ownedWriters_)
            if (!writer->isDone()) return false;
        return true;
    }

    void readClusters() {
        uint64_t nextProgress = 0;
        while (!atSegmentEnd() && !isStopped_) {
            if (sawCluster_ && isUnreadable()) {
                // Padding or junk after the last Cluster of an unknown-size Segment.
                if (options_.onWarning)
                    options_.onWarning("unreadable data at byte offset " + std::to_string(source_.offset()) +
                                       " after the last Cluster; stopped there");
                break;
            }
            auto h = peekHeader();
            if (!h) break;
            uint64_t offset = source_.offset();
            source_.consume(h->length);
            if (h->id == kCluster) {
                sawCluster_ = true;
                readCluster(h->size == kUnknownSize ? kUnknownSize : source_.offset() + h->size);
            } else if (h->size == kUnknownSize) {
                throw DemuxError("Matroska element of unknown size at byte offset " + std::to_string(offset));
            } else if (!source_.skip(h->size)) {
                if (isMvcProbe_) break;
                throw truncated(offset, h->size);
            }
            if (isMvcProbe_ && (source_.offset() >= probeEnd_ || probesSatisfied())) break;
            if (options_.onProgress && source_.offset() >= nextProgress) {
                options_.onProgress(source_.offset());
                nextProgress = source_.offset() + (256ull << 20);
            }
        }
    }

    bool probesSatisfied() const {
        for (const auto& [number, probe] : probes_)
            if (!probe->hasSeenDependent() && probe->framesSeen() < kMvcProbeFrames) return false;
        return true;
    }

    void readCluster(uint64_t end) {
        int64_t clusterTime = 0;
        while (!isStopped_) {
            if (end != kUnknownSize && source_.offset() >= end) return;
            if (end == kUnknownSize && isUnreadable()) return; // the caller decides what that means
            auto h = peekHeader();
            if (!h) {
                if (end != kUnknownSize && !isMvcProbe_)
                    throw truncated(source_.offset(), end - source_.offset());
                return;
            }
            if (end == kUnknownSize) {
                bool isSegmentLevel = false;
                for (uint32_t id : kSegmentLevelIds)
                    isSegmentLevel = isSegmentLevel || id == h->id;
                if (isSegmentLevel) return; // an unknown-size Cluster ends where the next one starts
            }
            uint64_t offset = source_.offset();
            source_.consume(h->length);
            if (h->size == kUnknownSize)
                throw DemuxError("Matroska element of unknown size at byte offset " + std::to_string(offset));
            if (h->id == kClusterTimestamp) {
                if (h->size > 8)
                    throw DemuxError("malformed Cluster Timestamp at byte offset " + std::to_string(offset));
                clusterTime = static_cast<int64_t>(readUnsigned(readBody(offset, h->size).data(), h->size));
            } else if (h->id == kSimpleBlock || h->id == kBlockGroup) {
                if (h->size > kMaxBlock)
                    throw DemuxError("Matroska block at byte offset " + std::to_string(offset) +
                                     " is implausibly large (" + std::to_string(h->size) + " bytes)");
                readBlockElement(h->id, h->size, offset, clusterTime);
                if (allDone()) isStopped_ = true;
                if (isMvcProbe_ && probesSatisfied()) return;
            } else if (!source_.skip(h->size)) {
                if (isMvcProbe_) return;
                throw truncated(offset, h->size);
            }
        }
    }

    void readBlockElement(uint32_t id, uint64_t size, uint64_t offset, int64_t clusterTime) {
        if (id == kSimpleBlock) {
            // Peek at the track number so that other tracks' blocks are skipped unread.
            size_t available = source_.ensure(8);
            uint64_t track = 0;
            if (available > 0 && size > 0) {
                ElementHeader fake;
                uint8_t probe[9] = {0x81};
                std::memcpy(probe + 1, source_.data(), std::min<size_t>(available, 8));
                if (decodeHeader(probe, 1 + std::min<size_t>(available, 8), fake) == HeaderStatus::ok)
                    track = fake.size;
            }
            if (!probes_.count(track)) {
                if (!source_.skip(size) && !isMvcProbe_) throw truncated(offset, size);
                return;
            }
            block_ = readBody(offset, size);
            handleBlock(block_.data(), block_.size(), offset, clusterTime, std::nullopt);
            return;
        }
        block_ = readBody(offset, size);
        const uint8_t* blockData = nullptr;
        size_t blockSize = 0;
        uint64_t blockOffset = offset;
        bool hasReference = false;
        forEachChild(block_.data(), block_.size(), offset,
                     [&](uint32_t cid, const uint8_t* c, size_t cn, uint64_t at) {
                         if (cid == kBlock) blockData = c, blockSize = cn, blockOffset = at;
                         if (cid == kReferenceBlock) hasReference = true;
                     });
        if (blockData) handleBlock(blockData, blockSize, blockOffset, clusterTime, !hasReference);
    }

    void handleBlock(const uint8_t* d, size_t n, uint64_t offset, int64_t clusterTime,
                     std::optional<bool> groupKeyframe) {
        ElementHeader trackField;
        std::vector<uint8_t> probe(1 + std::min<size_t>(n, 8));
        probe[0] = 0x81;
        std::memcpy(probe.data() + 1, d, probe.size() - 1);
        if (n < 4 || decodeHeader(probe.data(), probe.size(), trackField) != HeaderStatus::ok)
            throw DemuxError("malformed Matroska block at byte offset " + std::to_string(offset));
        size_t at = trackField.length - 1;
        auto demux = probes_.find(trackField.size);
        if (demux == probes_.end()) return;
        const MatroskaTrack& track = tracks_.at(trackField.size);
        if (n < at + 3) throw DemuxError("malformed Matroska block at byte offset " + std::to_string(offset));
        int16_t relative = static_cast<int16_t>((d[at] << 8) | d[at + 1]);
        uint8_t flags = d[at + 2];
        at += 3;
        bool isKeyframe = groupKeyframe.value_or((flags & 0x80) != 0);
        std::vector<std::pair<size_t, size_t>> frames; // offset, size within d
        unsigned lacing = (flags >> 1) & 3;
        if (lacing == 0) {
            frames.push_back({at, n - at});
        } else {
            if (at >= n)
                throw DemuxError("malformed lacing in Matroska block at byte offset " +
                                 std::to_string(offset));
            size_t count = size_t{d[at++]} + 1;
            std::vector<size_t> sizes;
            auto bad = [&] {
                return DemuxError("malformed lacing in Matroska block at byte offset " +
                                  std::to_string(offset));
            };
            if (lacing == 1) { // Xiph
                for (size_t i = 0; i + 1 < count; ++i) {
                    size_t value = 0;
                    while (true) {
                        if (at >= n) throw bad();
                        uint8_t b = d[at++];
                        value += b;
                        if (b != 255) break;
                    }
                    sizes.push_back(value);
                }
            } else if (lacing == 3) { // EBML: first size, then signed differences
                int64_t previous = 0;
                for (size_t i = 0; i + 1 < count; ++i) {
                    std::vector<uint8_t> field(1 + std::min<size_t>(n - at, 8));
                    field[0] = 0x81;
                    std::memcpy(field.data() + 1, d + at, field.size() - 1);
                    ElementHeader v;
                    if (at >= n || decodeHeader(field.data(), field.size(), v) != HeaderStatus::ok ||
                        v.size == kUnknownSize)
                        throw bad();
                    size_t length = v.length - 1;
                    int64_t value = static_cast<int64_t>(v.size);
                    if (i > 0) value = previous + value - ((int64_t{1} << (7 * length - 1)) - 1);
                    if (value < 0) throw bad();
                    sizes.push_back(static_cast<size_t>(value));
                    previous = value;
                    at += length;
                }
            } else { // fixed
                if ((n - at) % count != 0) throw bad();
                sizes.assign(count - 1, (n - at) / count);
            }
            size_t total = 0;
            for (size_t s : sizes)
                total += s;
            if (at > n || total > n - at) throw bad();
            sizes.push_back(n - at - total);
            for (size_t s : sizes) {
                frames.push_back({at, s});
                at += s;
            }
        }
        int64_t blockTime = (clusterTime + relative) * static_cast<int64_t>(timestampScale_);
        if (!originTime_) originTime_ = blockTime;
        for (size_t i = 0; i < frames.size(); ++i) {
            std::optional<int64_t> time;
            if (i == 0)
                time = blockTime - *originTime_;
            else if (track.defaultDuration)
                time = blockTime - *originTime_ + static_cast<int64_t>(i * track.defaultDuration);
            const uint8_t* frame = d + frames[i].first;
            size_t frameSize = frames[i].second;
            if (!track.strippedHeader.empty()) {
                frame_.assign(track.strippedHeader.begin(), track.strippedHeader.end());
                frame_.insert(frame_.end(), frame, frame + frameSize);
                frame = frame_.data();
                frameSize = frame_.size();
            }
            demux->second->frame(frame, frameSize, time, isKeyframe, offset);
        }
        const auto& probe2 = demux->second;
        if (!isMvcProbe_ && probe2->wantsDependent() && !probe2->hasSeenDependent() &&
            probe2->framesSeen() >= kMvcProbeFrames)
            throw DemuxError(noDependentViewText(trackField.size) + "; checked the first " +
                             std::to_string(kMvcProbeFrames) + " frames");
    }

    ByteSource& source_;
    const DemuxOptions& options_;
    std::map<uint64_t, MatroskaTrack> tracks_;
    uint64_t timestampScale_ = 1000000;
    uint64_t segmentEnd_ = kUnknownSize;
    std::map<uint64_t, std::unique_ptr<TrackDemux>> probes_;
    std::vector<std::unique_ptr<AccessUnitWriter>> ownedWriters_;
    bool isMvcProbe_ = false;
    uint64_t probeEnd_ = 0;
    bool isStopped_ = false;
    bool sawCluster_ = false;
    std::optional<int64_t> originTime_;
    std::vector<uint8_t> block_, frame_;
};

} // namespace

bool looksLikeMatroska(ByteSource& source) {
    size_t available = source.ensure(4);
    const uint8_t* d = source.data();
    return available >= 4 && d[0] == 0x1A && d[1] == 0x45 && d[2] == 0xDF && d[3] == 0xA3;
}

Listing listMatroska(ByteSource& source) {
    DemuxOptions quiet;
    return MatroskaReader(source, quiet).list();
}

std::vector<ViewStats> demuxMatroska(ByteSource& source, const std::vector<TrackRequest>& requests,
                                     const DemuxOptions& options) {
    return MatroskaReader(source, options).demux(requests);
}

} // namespace tsmuxer
