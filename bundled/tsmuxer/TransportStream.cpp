#include "AnnexB.h"
#include "Containers.h"

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace tsmuxer {
namespace {

constexpr size_t kTsPacket = 188;
constexpr uint8_t kSyncByte = 0x47;
constexpr uint64_t kListingScanLimit = 64ull << 20;
constexpr unsigned kMaxWarningsPerKind = 50;

std::string hexPid(unsigned pid) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", pid);
    return text;
}

uint32_t mpegCrc32(const uint8_t* data, size_t size) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

struct StreamTypeName {
    uint8_t type;
    const char* name;
    const char* codecId;
};
constexpr StreamTypeName kStreamTypes[] = {
    {0x01, "MPEG-1 video", "V_MPEG-1"}, {0x02, "MPEG-2", "V_MPEG-2"},     {0x03, "MPEG audio", "A_MP3"},
    {0x04, "MPEG audio", "A_MP3"},      {0x0F, "AAC", "A_AAC"},           {0x11, "AAC", "A_AAC"},
    {0x1B, "H.264", "V_MPEG4/ISO/AVC"}, {0x20, "MVC", "V_MPEG4/ISO/MVC"}, {0x24, "HEVC", "V_MPEGH/ISO/HEVC"},
    {0x80, "LPCM", "A_LPCM"},           {0x81, "AC3", "A_AC3"},           {0x82, "DTS", "A_DTS"},
    {0x83, "TRUE-HD", "A_MLP"},         {0x84, "E-AC3", "A_AC3"},         {0x85, "DTS-HD", "A_DTS"},
    {0x86, "DTS-HD", "A_DTS"},          {0x90, "PGS", "S_HDMV/PGS"},      {0x92, "TEXTST", "S_HDMV/TEXTST"},
    {0xEA, "VC-1", "V_MS/VFW/WVC1"},
};

TrackInfo describeStream(unsigned pid, uint8_t streamType) {
    TrackInfo track;
    track.id = pid;
    track.streamType = "unknown";
    for (const auto& known : kStreamTypes) {
        if (known.type == streamType) {
            track.streamType = known.name;
            track.codecId = known.codecId;
        }
    }
    char info[64];
    std::snprintf(info, sizeof info, "PID %s, stream_type 0x%02X", hexPid(pid).c_str(), streamType);
    track.info = info;
    return track;
}

bool isVideoStreamType(uint8_t type) {
    return type == 0x1B || type == 0x20;
}

// Collects PSI sections of one PID across packets (13818-1 2.4.4).
class SectionAssembler {
  public:
    template <typename OnSection>
    void feed(const uint8_t* payload, size_t size, bool unitStart, OnSection&& onSection) {
        size_t at = 0;
        if (unitStart) {
            if (size < 1) return;
            size_t pointer = payload[0];
            at = 1 + pointer;
            if (at > size) return;
            if (isActive_) {
                bytes_.insert(bytes_.end(), payload + 1, payload + at);
                drain(onSection);
            }
            bytes_.clear();
            isActive_ = true;
        } else if (!isActive_) {
            return;
        }
        bytes_.insert(bytes_.end(), payload + at, payload + size);
        drain(onSection);
    }

  private:
    template <typename OnSection> void drain(OnSection&& onSection) {
        while (isActive_ && bytes_.size() >= 3) {
            if (bytes_[0] == 0xFF) { // stuffing: the rest of the packet is padding
                isActive_ = false;
                bytes_.clear();
                return;
            }
            size_t total = 3 + (((bytes_[1] & 0x0F) << 8) | bytes_[2]);
            if (bytes_.size() < total) return;
            if (total >= 16 && mpegCrc32(bytes_.data(), total) == 0) onSection(bytes_.data(), total);
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(total));
        }
    }
    std::vector<uint8_t> bytes_;
    bool isActive_ = false;
};

struct VideoPid {
    VideoPid(ElementarySink& sink, View view, std::optional<int64_t> cut, size_t index)
        : writer(sink, view, cut), splitter(writer, view), requestIndex(index) {}
    AccessUnitWriter writer;
    AnnexBSplitter splitter;
    size_t requestIndex;
    int lastCounter = -1;
    bool inPes = false;
    bool isHeaderDone = false;
    std::vector<uint8_t> header;
    bool isBounded = false;
    uint64_t remaining = 0;
    bool hasData = false;
};

class TransportStreamReader {
  public:
    TransportStreamReader(ByteSource& source, unsigned packetSize, const DemuxOptions* options)
        : source_(source), packetSize_(packetSize), options_(options) {}

    Listing list() {
        while (!isProgramTableComplete() && source_.offset() < kListingScanLimit) {
            if (!readPackets()) break;
        }
        if (streams_.empty())
            throw DemuxError("no program map table found in the transport stream (searched the first " +
                             std::to_string(std::min<uint64_t>(source_.offset(), kListingScanLimit)) +
                             " bytes)");
        Listing listing;
        listing.kind = ContainerKind::transportStream;
        listing.packetSize = packetSize_;
        for (const auto& [pid, type] : streams_)
            listing.tracks.push_back(describeStream(pid, type));
        return listing;
    }

    std::vector<ViewStats> demux(const std::vector<TrackRequest>& requests) {
        for (size_t i = 0; i < requests.size(); ++i) {
            const auto& request = requests[i];
            if (video_.count(request.track))
                throw DemuxError("track " + std::to_string(request.track) + " is requested twice");
            if (request.track == 0 || request.track > 0x1FFE)
                throw DemuxError("track " + std::to_string(request.track) +
                                 " cannot be in a transport stream (PIDs run from 1 to 8190)");
            video_.emplace(request.track, std::make_unique<VideoPid>(*request.sink, request.view,
                                                                     options_->cutEndNanoseconds, i));
        }
        requests_ = &requests;
        uint64_t nextProgress = 0;
        while (!isStopped_) {
            if (!readPackets()) break;
            if (options_->onProgress && source_.offset() >= nextProgress) {
                options_->onProgress(source_.offset());
                nextProgress = source_.offset() + (256ull << 20);
            }
        }
        if (!isProgramTableComplete()) {
            if (streams_.empty()) throw DemuxError("no program map table found in the transport stream");
            checkRequests(true);
        }
        std::vector<ViewStats> stats(requests.size());
        for (auto& [pid, state] : video_) {
            state->splitter.finish();
            state->writer.finish();
            if (!state->hasData)
                throw DemuxError("track " + std::to_string(pid) + " (PID " + hexPid(pid) +
                                 ") holds no video data");
            stats[state->requestIndex] = state->writer.stats();
        }
        // A file cut short ends in a partial packet or at a packet boundary
        // by chance alone; both give what their whole packets hold, and an
        // unfinished last picture is then the decoder's to report as damage.
        if (truncatedAt_)
            warn("truncated transport stream: the last packet at byte offset " +
                 std::to_string(*truncatedAt_) + " has only " + std::to_string(truncatedSize_) + " of " +
                 std::to_string(packetSize_) + " bytes; it was left out");
        return stats;
    }

  private:
    // Handles the buffered whole packets; false at the end of the source.
    bool readPackets() {
        size_t available = source_.ensure(packetSize_ * 4);
        if (available == 0) return false;
        if (available < packetSize_) {
            truncatedAt_ = source_.offset();
            truncatedSize_ = available;
            source_.consume(available);
            return false;
        }
        const uint8_t* data = source_.data();
        const size_t syncAt = packetSize_ - kTsPacket;
        size_t at = 0;
        while (at + packetSize_ <= available && !isStopped_) {
            // The next packet's sync byte is checked too, so that stray bytes
            // which happen to hold 0x47 in the right place are not taken for a packet.
            bool isNextSynced =
                at + 2 * packetSize_ > available || data[at + packetSize_ + syncAt] == kSyncByte;
            if (data[at + syncAt] != kSyncByte || !isNextSynced) {
                source_.consume(at);
                resynchronise();
                return true;
            }
            handlePacket(data + at + syncAt, source_.offset() + at);
            at += packetSize_;
        }
        source_.consume(at);
        return true;
    }

    void resynchronise() {
        uint64_t lostAt = source_.offset();
        const size_t syncAt = packetSize_ - kTsPacket;
        while (true) {
            size_t available = source_.ensure(packetSize_ * 3);
            if (available < packetSize_ * 3) {
                // Too little left to confirm a sync position: what remains is not a packet.
                warn("lost packet sync at byte offset " + std::to_string(lostAt) +
                     "; skipped the rest of the file (" + std::to_string(available) + " bytes)");
                source_.consume(available);
                return;
            }
            const uint8_t* d = source_.data();
            if (d[syncAt] == kSyncByte && d[syncAt + packetSize_] == kSyncByte &&
                d[syncAt + 2 * packetSize_] == kSyncByte)
                break;
            source_.consume(1);
        }
        warn("lost packet sync at byte offset " + std::to_string(lostAt) + "; resumed at byte offset " +
             std::to_string(source_.offset()));
        // Fewer stray bytes than a packet cannot hide a lost packet of ours: the
        // continuity counters still tell. More may hide one, so start afresh.
        if (source_.offset() - lostAt < packetSize_) return;
        for (auto& [pid, state] : video_) {
            state->splitter.resync();
            state->inPes = false;
            state->lastCounter = -1;
        }
    }

    void handlePacket(const uint8_t* p, uint64_t offset) {
        const unsigned pid = ((p[1] & 0x1F) << 8) | p[2];
        const bool unitStart = p[1] & 0x40;
        const unsigned adaptation = (p[3] >> 4) & 3;
        const unsigned counter = p[3] & 0x0F;
        size_t payloadAt = 4;
        bool discontinuity = false;
        if (adaptation & 2) {
            size_t length = p[4];
            if (length > 183) return; // malformed adaptation field: no usable payload
            if (length > 0) discontinuity = p[5] & 0x80;
            payloadAt = 5 + length;
        }
        const bool hasPayload = (adaptation & 1) && payloadAt < kTsPacket;
        if (pid == 0) {
            if (hasPayload)
                pat_.feed(p + payloadAt, kTsPacket - payloadAt, unitStart,
                          [this](const uint8_t* s, size_t n) { parsePat(s, n); });
            return;
        }
        if (auto pmt = pmtAssemblers_.find(pid); pmt != pmtAssemblers_.end()) {
            if (hasPayload)
                pmt->second.feed(p + payloadAt, kTsPacket - payloadAt, unitStart,
                                 [this, pid](const uint8_t* s, size_t n) { parsePmt(pid, s, n); });
            return;
        }
        auto found = video_.find(pid);
        if (found == video_.end()) return;
        VideoPid& state = *found->second;
        if (p[1] & 0x80) {
            warn("transport error indicator set on track " + std::to_string(pid) + " at byte offset " +
                 std::to_string(offset) + "; packet dropped");
            loseData(state);
            return;
        }
        if (!(adaptation & 1)) return; // the counter only advances with a payload
        if (state.lastCounter >= 0 && !discontinuity) {
            if (static_cast<int>(counter) == state.lastCounter && !unitStart) return; // duplicate packet
            unsigned expected = (state.lastCounter + 1) & 0x0F;
            if (counter != expected) {
                ++continuityErrors_;
                if (continuityErrors_ <= kMaxWarningsPerKind)
                    warn("continuity error on track " + std::to_string(pid) + " (PID " + hexPid(pid) +
                         ") at byte offset " + std::to_string(offset) + ": expected counter " +
                         std::to_string(expected) + ", found " + std::to_string(counter) +
                         "; the damaged access unit is cut short");
                else if (continuityErrors_ == kMaxWarningsPerKind + 1)
                    warn("more continuity errors follow; not reporting each");
                loseData(state);
            }
        }
        state.lastCounter = static_cast<int>(counter);
        if (payloadAt >= kTsPacket) return;
        handlePayload(state, p + payloadAt, kTsPacket - payloadAt, unitStart, offset);
        if (options_->cutEndNanoseconds && allDone()) isStopped_ = true;
    }

    void loseData(VideoPid& state) {
        state.splitter.resync();
        state.inPes = false;
    }

    bool allDone() const {
        for (const auto& [pid, state] : video_)
            if (!state->writer.isDone()) return false;
        return true;
    }

    void handlePayload(VideoPid& s, const uint8_t* data, size_t size, bool unitStart, uint64_t offset) {
        if (unitStart) {
            s.inPes = true;
            s.isHeaderDone = false;
            s.header.clear();
        }
        if (!s.inPes) return;
        if (s.isHeaderDone) {
            pushPayload(s, data, size, std::nullopt);
            return;
        }
        s.header.insert(s.header.end(), data, data + size);
        if (s.header.size() < 9) return;
        const uint8_t* h = s.header.data();
        if (h[0] != 0 || h[1] != 0 || h[2] != 1) {
            warn("PES packet without start code on track " + std::to_string(pidOf(s)) + " near byte offset " +
                 std::to_string(offset) + "; skipped");
            s.inPes = false;
            return;
        }
        const size_t pesLength = (h[4] << 8) | h[5];
        size_t payloadAt = 6;
        std::optional<int64_t> time;
        if ((h[6] & 0xC0) == 0x80) {
            payloadAt = 9 + size_t{h[8]};
            if (s.header.size() < payloadAt) return; // header continues in the next packet
            if ((h[7] & 0x80) && h[8] >= 5) {
                uint64_t pts = (uint64_t{h[9] & 0x0Eu} << 29) | (uint64_t{h[10]} << 22) |
                               (uint64_t{h[11] & 0xFEu} << 14) | (uint64_t{h[12]} << 7) | (h[13] >> 1);
                time = relativeTime(pts);
            }
        }
        s.isHeaderDone = true;
        s.isBounded = pesLength != 0;
        if (s.isBounded) {
            if (pesLength + 6 < payloadAt) {
                s.inPes = false;
                return;
            }
            s.remaining = pesLength + 6 - payloadAt;
        }
        std::vector<uint8_t> body(s.header.begin() + static_cast<std::ptrdiff_t>(payloadAt), s.header.end());
        s.header.clear();
        pushPayload(s, body.data(), body.size(), time);
    }

    unsigned pidOf(const VideoPid& s) const {
        for (const auto& [pid, state] : video_)
            if (state.get() == &s) return pid;
        return 0;
    }

    void pushPayload(VideoPid& s, const uint8_t* data, size_t size, std::optional<int64_t> time) {
        if (s.isBounded) {
            size = static_cast<size_t>(std::min<uint64_t>(size, s.remaining));
            s.remaining -= size;
        }
        if (size == 0 && !time) return;
        s.hasData = s.hasData || size > 0;
        s.splitter.push(data, size, time);
    }

    std::optional<int64_t> relativeTime(uint64_t pts) {
        constexpr uint64_t kWrap = uint64_t{1} << 33;
        if (!originPts_) originPts_ = pts;
        int64_t ticks = static_cast<int64_t>((pts - *originPts_) & (kWrap - 1));
        if (ticks >= static_cast<int64_t>(kWrap / 2)) ticks -= static_cast<int64_t>(kWrap);
        return ticks * 100000 / 9;
    }

    void parsePat(const uint8_t* s, size_t n) {
        if (s[0] != 0x00) return;
        for (size_t at = 8; at + 4 <= n - 4; at += 4) {
            unsigned program = (s[at] << 8) | s[at + 1];
            unsigned pid = ((s[at + 2] & 0x1F) << 8) | s[at + 3];
            if (program == 0) continue; // network information PID
            if (pmtAssemblers_.emplace(pid, SectionAssembler{}).second) pendingPmts_.insert(pid);
        }
        hasPat_ = true;
    }

    void parsePmt(unsigned pmtPid, const uint8_t* s, size_t n) {
        if (s[0] != 0x02 || n < 16) return;
        size_t at = 12 + (((s[10] & 0x0F) << 8) | s[11]);
        while (at + 5 <= n - 4) {
            uint8_t type = s[at];
            unsigned pid = ((s[at + 1] & 0x1F) << 8) | s[at + 2];
            size_t infoLength = ((s[at + 3] & 0x0F) << 8) | s[at + 4];
            streams_.emplace(pid, type);
            at += 5 + infoLength;
        }
        pendingPmts_.erase(pmtPid);
        if (isProgramTableComplete()) checkRequests(false);
    }

    bool isProgramTableComplete() const { return hasPat_ && pendingPmts_.empty() && !streams_.empty(); }

    void checkRequests(bool atEnd) {
        if (!requests_ || haveCheckedRequests_) return;
        haveCheckedRequests_ = !atEnd;
        Listing listing;
        for (const auto& [pid, type] : streams_)
            listing.tracks.push_back(describeStream(pid, type));
        for (const auto& request : *requests_) {
            auto stream = streams_.find(request.track);
            if (stream == streams_.end())
                throw DemuxError("track " + std::to_string(request.track) +
                                 " not found in the transport stream; its tracks are " +
                                 describeTracks(listing));
            if (!isVideoStreamType(stream->second))
                throw DemuxError("track " + std::to_string(request.track) + " is " +
                                 describeStream(stream->first, stream->second).streamType +
                                 ", not H.264/MVC video");
        }
    }

    void warn(const std::string& text) {
        if (options_ && options_->onWarning) options_->onWarning(text);
    }

    ByteSource& source_;
    unsigned packetSize_;
    const DemuxOptions* options_;
    SectionAssembler pat_;
    std::map<unsigned, SectionAssembler> pmtAssemblers_;
    std::set<unsigned> pendingPmts_;
    std::map<unsigned, uint8_t> streams_; // PID -> stream_type
    bool hasPat_ = false;
    std::map<unsigned, std::unique_ptr<VideoPid>> video_;
    const std::vector<TrackRequest>* requests_ = nullptr;
    bool haveCheckedRequests_ = false;
    std::optional<uint64_t> originPts_;
    bool isStopped_ = false;
    uint64_t continuityErrors_ = 0;
    std::optional<uint64_t> truncatedAt_;
    size_t truncatedSize_ = 0;
};

} // namespace

PacketLayout detectPacketSize(ByteSource& source) {
    size_t available = source.ensure(192 * 6);
    const uint8_t* d = source.data();
    // A capture cut at an arbitrary byte starts inside a packet: look for five
    // packets in a row (a lone 0x47 proves little) within the first packet's length.
    for (size_t start = 0; start < 192; ++start) {
        for (unsigned size : {192u, 188u}) {
            const size_t syncAt = size - kTsPacket;
            if (start >= size || available < start + size) continue;
            size_t packets = std::min<size_t>(5, (available - start) / size);
            bool isSynced = start == 0 ? packets >= 3 || available < 3 * size : packets >= 5;
            for (size_t i = 0; i < packets && isSynced; ++i)
                isSynced = d[start + i * size + syncAt] == kSyncByte;
            if (isSynced) return {size, start};
        }
    }
    return {};
}

Listing listTransportStream(ByteSource& source, PacketLayout layout) {
    DemuxOptions quiet;
    source.consume(layout.leadingBytes);
    return TransportStreamReader(source, layout.packetSize, &quiet).list();
}

std::vector<ViewStats> demuxTransportStream(ByteSource& source, PacketLayout layout,
                                            const std::vector<TrackRequest>& requests,
                                            const DemuxOptions& options) {
    if (layout.leadingBytes > 0 && options.onWarning)
        options.onWarning("skipped " + std::to_string(layout.leadingBytes) +
                          " bytes before the first packet");
    source.consume(layout.leadingBytes);
    return TransportStreamReader(source, layout.packetSize, &options).demux(requests);
}

} // namespace tsmuxer
