#include "TitleReader.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace tsmuxer {

namespace {

constexpr size_t kPacket = 192; // 4-byte arrival time stamp + 188-byte TS packet
constexpr size_t kBatch = kPacket * 8192;
constexpr uint64_t kWrap = uint64_t{1} << 33;
constexpr unsigned kBaseVideoPid = 0x1011;
constexpr unsigned kDependentVideoPid = 0x1012;

struct ClipPlan {
    std::string name;
    int64_t shift = 0; // added to every timestamp of the clip, 90 kHz
    uint64_t inTime = 0, outTime = 0;
};

uint64_t readTimestamp(const uint8_t* p) {
    return (uint64_t{p[0] & 0x0Eu} << 29) | (uint64_t{p[1]} << 22) | (uint64_t{p[2] & 0xFEu} << 14) |
           (uint64_t{p[3]} << 7) | (p[4] >> 1);
}

void writeTimestamp(uint8_t* p, uint64_t value) {
    p[0] = static_cast<uint8_t>((p[0] & 0xF1) | ((value >> 29) & 0x0E));
    p[1] = static_cast<uint8_t>(value >> 22);
    p[2] = static_cast<uint8_t>((p[2] & 0x01) | ((value >> 14) & 0xFE));
    p[3] = static_cast<uint8_t>(value >> 7);
    p[4] = static_cast<uint8_t>((p[4] & 0x01) | ((value << 1) & 0xFE));
}

class TitleSource : public ByteSource {
  public:
    TitleSource(std::unique_ptr<disc::BluRayDisc> disc, std::vector<ClipPlan> clips, bool keepsOthers,
                const std::string& othersPath)
        : disc_(std::move(disc)), clips_(std::move(clips)) {
        if (keepsOthers) others_ = std::make_unique<FileSink>(othersPath);
        batch_.resize(kBatch);
    }
    ~TitleSource() override {
        if (others_) others_->finish();
    }
    std::optional<uint64_t> totalSize() const override { return std::nullopt; }

  protected:
    size_t readSome(uint8_t* dst, size_t n) override {
        while (served_ == filled_) {
            if (!fill()) return 0;
        }
        size_t take = std::min(n, filled_ - served_);
        std::memcpy(dst, batch_.data() + served_, take);
        served_ += take;
        return take;
    }
    bool seekTo(uint64_t) override { return false; }

  private:
    // Reads whole packets of the current clip, moves their timestamps and
    // copies the other streams aside; false at the end of the title.
    bool fill() {
        served_ = filled_ = 0;
        while (filled_ == 0) {
            if (!current_) {
                if (next_ == clips_.size()) return false;
                std::printf("Reading clip %s.m2ts\n", clips_[next_].name.c_str());
                std::fflush(stdout);
                current_ = disc_->openClip(clips_[next_].name);
                plan_ = &clips_[next_++];
                isOutside_.clear();
                counterShift_.clear();
            }
            size_t got = 0;
            while (got < kBatch) {
                size_t more = current_->read(batch_.data() + got, kBatch - got);
                if (more == 0) break;
                got += more;
            }
            if (got % kPacket != 0)
                throw DemuxError("clip " + plan_->name + ".m2ts ends inside a packet (cut short)");
            if (got == 0) {
                current_.reset();
                continue;
            }
            // Pictures outside the play-item are left out, the rest closed up.
            size_t kept = 0;
            for (size_t at = 0; at < got; at += kPacket) {
                if (!processPacket(batch_.data() + at)) continue;
                if (kept != at) std::memmove(batch_.data() + kept, batch_.data() + at, kPacket);
                kept += kPacket;
            }
            filled_ = kept;
        }
        return true;
    }

    // Moves the packet's timestamps and counter; false when it belongs to a
    // picture outside its play-item's IN/OUT. A clip cut at IN starts there
    // with an entry point (a closed GOP), so the pictures kept never refer to
    // one left out; the same goes for sound, which would otherwise overlap
    // the next clip's.
    bool processPacket(uint8_t* packet) {
        uint8_t* ts = packet + 4;
        if (ts[0] != 0x47) return true; // the demultiplexer reports lost sync itself
        unsigned pid = ((ts[1] & 0x1Fu) << 8) | ts[2];
        bool startsUnit = ts[1] & 0x40;
        bool hasPayload = ts[3] & 0x10;
        bool isVideo = pid == kBaseVideoPid || pid == kDependentVideoPid;
        if (startsUnit && hasPayload && pid >= 0x20) {
            size_t payload = 4;
            if (ts[3] & 0x20) payload += 1 + ts[4];
            if (payload + 14 <= 188 && ts[payload] == 0 && ts[payload + 1] == 0 && ts[payload + 2] == 1) {
                uint8_t* pes = ts + payload;
                unsigned flags = pes[7] >> 6;
                if (flags & 2) {
                    uint64_t pts = readTimestamp(pes + 9);
                    bool isSound = pes[3] == 0xBD || (pes[3] & 0xE0) == 0xC0;
                    if (isVideo || isSound) isOutside_[pid] = pts < plan_->inTime || pts >= plan_->outTime;
                    writeTimestamp(pes + 9, (pts + static_cast<uint64_t>(plan_->shift)) & (kWrap - 1));
                    if (flags == 3)
                        writeTimestamp(pes + 14,
                                       (readTimestamp(pes + 14) + static_cast<uint64_t>(plan_->shift)) &
                                           (kWrap - 1));
                }
            }
        }
        bool isOutside = isOutside_[pid];
        bool keep = !(isVideo && isOutside);
        // Each clip counts its packets from its own start: the counters are
        // carried on across the join and closed up over the packets left
        // out, so that only a real loss is one.
        if (hasPayload) {
            auto shift = counterShift_.find(pid);
            if (!keep) {
                if (shift != counterShift_.end()) shift->second = (shift->second + 15) & 0x0F;
                return false;
            }
            unsigned counter = ts[3] & 0x0F;
            if (shift == counterShift_.end()) {
                auto last = lastCounter_.find(pid);
                unsigned wanted = last == lastCounter_.end() ? counter : (last->second + 1) & 0x0F;
                shift = counterShift_.emplace(pid, (wanted - counter) & 0x0F).first;
            }
            counter = (counter + shift->second) & 0x0F;
            ts[3] = static_cast<uint8_t>((ts[3] & 0xF0) | counter);
            lastCounter_[pid] = counter;
        }
        if (!keep) return false;
        if (others_ && !isVideo && !isOutside) others_->write(packet, kPacket);
        return true;
    }

    std::unique_ptr<disc::BluRayDisc> disc_;
    std::vector<ClipPlan> clips_;
    std::unique_ptr<FileSink> others_;
    std::unique_ptr<disc::ClipStream> current_;
    const ClipPlan* plan_ = nullptr;
    size_t next_ = 0;
    std::vector<uint8_t> batch_;
    size_t served_ = 0, filled_ = 0;
    std::map<unsigned, bool> isOutside_;        // per PID: the PES under way lies outside IN/OUT
    std::map<unsigned, unsigned> counterShift_; // per PID, for the current clip
    std::map<unsigned, unsigned> lastCounter_;
};

} // namespace

std::unique_ptr<ByteSource> openTitleView(const TitleView& view) {
    try {
        auto bluRay = std::make_unique<disc::BluRayDisc>(view.discPath);
        const disc::Title* title = bluRay->titleWithPlaylist(view.playlist);
        if (!title) throw DemuxError("no playlist " + std::to_string(view.playlist) + " on " + view.discPath);
        if (view.isDependent && !title->is3D)
            throw DemuxError("playlist " + title->playlistName() + " has no MVC dependent view");
        bluRay->checkClips(*title, view.clip);
        std::vector<ClipPlan> clips;
        for (const auto& clip : title->clips) {
            if (view.clip && clip.baseClip != *view.clip) continue;
            ClipPlan plan;
            plan.name = view.isDependent ? clip.dependentClip : clip.baseClip;
            plan.inTime = clip.inTime;
            plan.outTime = clip.outTime;
            // The title's time line starts at its first clip's IN time.
            if (!view.clip)
                plan.shift = static_cast<int64_t>(clip.startTime + title->clips.front().inTime) -
                             static_cast<int64_t>(clip.inTime);
            clips.push_back(std::move(plan));
        }
        if (clips.empty())
            throw DemuxError("playlist " + title->playlistName() + " does not play clip " + *view.clip);
        return std::make_unique<TitleSource>(std::move(bluRay), std::move(clips),
                                             !view.otherStreamsFile.empty(), view.otherStreamsFile);
    } catch (const disc::DiscError& error) {
        throw DemuxError(error.what());
    }
}

} // namespace tsmuxer
