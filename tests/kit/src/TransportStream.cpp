#include "Containers.h"

#include <algorithm>

namespace kit {
namespace {

constexpr int64_t kPcrLead90k = 45000; // PCR runs half a second ahead of DTS
// Arrival time step of one 192-byte packet at 100 Mb/s, in 27 MHz ticks.
constexpr uint32_t kAtsStep = 415;

class TsMuxer {
  public:
    explicit TsMuxer(bool m2ts) : m2ts_(m2ts) {}

    void psi(uint16_t pid, const Bytes& section) {
        Bytes payload{0x00}; // pointer_field
        payload.insert(payload.end(), section.begin(), section.end());
        payload.resize(184, 0xFF);
        packet(pid, true, payload, {});
    }

    void pcr(int64_t pcr27) {
        lastPcr27_ = pcr27;
        havePcr_ = true;
        Bytes af(7);
        af[0] = 0x10; // PCR_flag
        const uint64_t base = static_cast<uint64_t>(pcr27 / 300) & ((uint64_t{1} << 33) - 1);
        const uint32_t extension = static_cast<uint32_t>(pcr27 % 300);
        af[1] = static_cast<uint8_t>(base >> 25);
        af[2] = static_cast<uint8_t>(base >> 17);
        af[3] = static_cast<uint8_t>(base >> 9);
        af[4] = static_cast<uint8_t>(base >> 1);
        af[5] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
        af[6] = static_cast<uint8_t>(extension);
        packet(kPcrPid, false, {}, af);
    }

    void pes(uint16_t pid, uint8_t streamId, std::span<const uint8_t> data, int64_t pts, int64_t dts,
             bool randomAccess, bool boundedLength) {
        Bytes pes{0x00, 0x00, 0x01, streamId, 0, 0, 0x84 /* data_alignment_indicator */};
        const bool withDts = dts != pts;
        pes.push_back(withDts ? 0xC0 : 0x80);
        pes.push_back(withDts ? 10 : 5);
        putTimestamp(pes, withDts ? 3 : 2, pts);
        if (withDts) putTimestamp(pes, 1, dts);
        const size_t length = pes.size() - 6 + data.size();
        if (boundedLength && length <= 0xFFFF) {
            pes[4] = static_cast<uint8_t>(length >> 8);
            pes[5] = static_cast<uint8_t>(length);
        }
        pes.insert(pes.end(), data.begin(), data.end());

        size_t offset = 0;
        bool first = true;
        while (offset < pes.size()) {
            Bytes af;
            if (first && randomAccess) af.push_back(0x40); // random_access_indicator
            const size_t room = 184 - (af.empty() ? 0 : af.size() + 1);
            const size_t take = std::min(room, pes.size() - offset);
            packet(pid, first, std::span<const uint8_t>(pes).subspan(offset, take), af);
            offset += take;
            first = false;
        }
    }

    uint32_t packetCount() const { return static_cast<uint32_t>(out_.size() / (m2ts_ ? 192 : 188)); }

    Bytes finish() {
        if (m2ts_) {
            // Blu-ray files come in aligned units of 32 packets.
            while ((out_.size() / 192) % 32 != 0) {
                Bytes payload(184, 0xFF);
                packet(0x1FFF, false, payload, {});
            }
        }
        return std::move(out_);
    }

  private:
    static void putTimestamp(Bytes& out, int prefix, int64_t t) {
        const uint64_t v = static_cast<uint64_t>(t) & ((uint64_t{1} << 33) - 1);
        out.push_back(static_cast<uint8_t>((prefix << 4) | ((v >> 29) & 0x0E) | 1));
        out.push_back(static_cast<uint8_t>(v >> 22));
        out.push_back(static_cast<uint8_t>(((v >> 14) & 0xFE) | 1));
        out.push_back(static_cast<uint8_t>(v >> 7));
        out.push_back(static_cast<uint8_t>(((v << 1) & 0xFE) | 1));
    }

    // One packet: header, adaptation field (flags + fields given in `af`,
    // grown with stuffing so that the payload fills the packet), payload.
    void packet(uint16_t pid, bool unitStart, std::span<const uint8_t> payload, const Bytes& af) {
        if (m2ts_) {
            const uint32_t ats = nextArrivalTime(pid == kPcrPid && !payload.size());
            out_.push_back(static_cast<uint8_t>((ats >> 24) & 0x3F));
            out_.push_back(static_cast<uint8_t>(ats >> 16));
            out_.push_back(static_cast<uint8_t>(ats >> 8));
            out_.push_back(static_cast<uint8_t>(ats));
        }
        const size_t start = out_.size();
        const bool hasPayload = !payload.empty();
        size_t afLength = af.empty() ? 0 : af.size() + 1; // + length byte
        if (hasPayload && afLength + payload.size() < 184) afLength = 184 - payload.size();
        if (!hasPayload) afLength = 184;
        uint8_t& counter = continuity_[pid];
        out_.push_back(0x47);
        out_.push_back(static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8)));
        out_.push_back(static_cast<uint8_t>(pid));
        out_.push_back(
            static_cast<uint8_t>((afLength ? (hasPayload ? 0x30 : 0x20) : 0x10) | (counter & 0x0F)));
        if (hasPayload) ++counter; // 2.4.3.3: only packets with payload advance the counter
        if (afLength) {
            out_.push_back(static_cast<uint8_t>(afLength - 1));
            if (afLength > 1) {
                out_.push_back(af.empty() ? 0x00 : af[0]);
                if (af.size() > 1) out_.insert(out_.end(), af.begin() + 1, af.end());
                while (out_.size() - start < 4 + afLength)
                    out_.push_back(0xFF);
            }
        }
        out_.insert(out_.end(), payload.begin(), payload.end());
    }

    uint32_t nextArrivalTime(bool isPcrPacket) {
        int64_t ats = lastAts_ + kAtsStep;
        if (isPcrPacket && havePcr_) ats = std::max(ats, lastPcr27_);
        lastAts_ = ats;
        return static_cast<uint32_t>(ats & 0x3FFFFFFF);
    }

    bool m2ts_;
    Bytes out_;
    uint8_t continuity_[0x2000] = {};
    int64_t lastPcr27_ = 0, lastAts_ = 0;
    bool havePcr_ = false;
};

Bytes section(uint8_t tableId, uint16_t idExtension, const Bytes& body) {
    Bytes s{tableId,
            0,
            0,
            static_cast<uint8_t>(idExtension >> 8),
            static_cast<uint8_t>(idExtension),
            0xC1 /* version 0, current_next 1 */,
            0x00,
            0x00};
    append(s, body);
    const size_t length = s.size() - 3 + 4;
    s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
    s[2] = static_cast<uint8_t>(length);
    const uint32_t crc = mpegCrc32(s);
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<uint8_t>(crc >> shift));
    return s;
}

Bytes patSection() {
    return section(0x00, 1,
                   {0x00, 0x01, static_cast<uint8_t>(0xE0 | (kPmtPid >> 8)), static_cast<uint8_t>(kPmtPid)});
}

Bytes pmtSection(const TransportStreamContent& content, bool hasAudio) {
    Bytes body{static_cast<uint8_t>(0xE0 | (kPcrPid >> 8)),
               static_cast<uint8_t>(kPcrPid),
               0xF0,
               6,
               0x05,
               4,
               'H',
               'D',
               'M',
               'V'};
    auto stream = [&](uint8_t type, uint16_t pid) {
        append(body, {type, static_cast<uint8_t>(0xE0 | (pid >> 8)), static_cast<uint8_t>(pid), 0xF0, 0});
    };
    if (content.withBase) stream(0x1B, kBaseVideoPid);
    if (content.withDependent) stream(0x20, kDependentVideoPid);
    if (hasAudio)
        for (uint16_t pid : content.audioPids)
            stream(static_cast<uint8_t>(content.audioType), pid);
    return section(0x02, 1, body);
}

} // namespace

uint32_t mpegCrc32(std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : data) {
        crc ^= uint32_t{byte} << 24;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

std::vector<AudioFrame> splitAc3(std::span<const uint8_t> stream, int64_t firstPts90k) {
    static constexpr int kBitrates[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                        192, 224, 256, 320, 384, 448, 512, 576, 640};
    std::vector<AudioFrame> frames;
    size_t offset = 0;
    while (offset + 5 <= stream.size()) {
        if (stream[offset] != 0x0B || stream[offset + 1] != 0x77)
            throw BitstreamError("AC-3: no sync word at byte " + std::to_string(offset));
        const int fscod = stream[offset + 4] >> 6;
        const int frmsizecod = stream[offset + 4] & 0x3F;
        if (fscod != 0 || frmsizecod / 2 >= static_cast<int>(std::size(kBitrates)))
            throw BitstreamError("AC-3: unsupported sample rate or frame size code at byte " +
                                 std::to_string(offset));
        const size_t size =
            static_cast<size_t>(kBitrates[frmsizecod / 2]) * 4; // 2 bytes per word, 2 words per kb/s
        if (offset + size > stream.size())
            throw BitstreamError("AC-3: truncated frame at byte " + std::to_string(offset));
        // 1536 samples at 48 kHz = 2880 ticks of 90 kHz.
        frames.push_back(
            {stream.subspan(offset, size), firstPts90k + static_cast<int64_t>(frames.size()) * 2880});
        offset += size;
    }
    return frames;
}

LpcmAudio blurayLpcm(std::span<const uint8_t> samples, int64_t firstPts90k) {
    constexpr size_t kFrameBytes = 240 * 2 * 2; // 5 ms of 16-bit stereo at 48 kHz
    LpcmAudio audio;
    for (size_t offset = 0; offset + kFrameBytes <= samples.size(); offset += kFrameBytes) {
        // Size, then stereo at 48 kHz, then 16 bits per sample; the samples big-endian.
        Bytes payload{static_cast<uint8_t>(kFrameBytes >> 8), static_cast<uint8_t>(kFrameBytes), 0x31, 0x40};
        for (size_t i = offset; i < offset + kFrameBytes; i += 2)
            append(payload, {samples[i + 1], samples[i]});
        audio.payloads.push_back(std::move(payload));
    }
    for (size_t i = 0; i < audio.payloads.size(); ++i)
        audio.frames.push_back({audio.payloads[i], firstPts90k + static_cast<int64_t>(i) * 450});
    return audio;
}

std::span<const uint8_t> wavSamples(std::span<const uint8_t> wav) {
    auto tagAt = [&](size_t offset, const char* tag) {
        return std::equal(tag, tag + 4, wav.begin() + offset);
    };
    if (wav.size() < 12 || !tagAt(0, "RIFF") || !tagAt(8, "WAVE"))
        throw BitstreamError("WAV: not a RIFF WAVE file");
    // ffmpeg puts a LIST chunk before the samples.
    for (size_t offset = 12; offset + 8 <= wav.size();) {
        const size_t size = wav[offset + 4] | wav[offset + 5] << 8 | wav[offset + 6] << 16 |
                            static_cast<size_t>(wav[offset + 7]) << 24;
        if (tagAt(offset, "data")) return wav.subspan(offset + 8, std::min(size, wav.size() - offset - 8));
        offset += 8 + size + (size & 1);
    }
    throw BitstreamError("WAV: no data chunk");
}

Bytes writeTransportStream(const MvcComposition& video, const std::vector<AudioFrame>& audio, bool m2ts,
                           AudioStreamType audioType) {
    TransportStreamContent content;
    content.audioType = audioType;
    return writeTransportStream(video, audio, m2ts, content).bytes;
}

WrittenTransportStream writeTransportStream(const MvcComposition& video, const std::vector<AudioFrame>& audio,
                                            bool m2ts, const TransportStreamContent& content) {
    TsMuxer mux(m2ts);
    WrittenTransportStream written;
    const Bytes pat = patSection();
    const Bytes pmt = pmtSection(content, !audio.empty());
    size_t nextAudio = 0;
    auto audioUpTo = [&](int64_t limit) {
        for (; nextAudio < audio.size() && audio[nextAudio].pts <= limit; ++nextAudio)
            for (uint16_t pid : content.audioPids)
                mux.pes(pid, 0xBD, audio[nextAudio].data, audio[nextAudio].pts, audio[nextAudio].pts, false,
                        true);
    };
    const size_t end = std::min(content.endUnit, video.units.size());
    const int64_t shift = content.timeShift90k;
    for (size_t i = content.firstUnit; i < end; ++i) {
        const AccessUnitInfo& unit = video.units[i];
        if (unit.isAnchor || (i - content.firstUnit) % 4 == 0) {
            mux.psi(0, pat);
            mux.psi(kPmtPid, pmt);
        }
        mux.pcr((unit.dts + shift - kPcrLead90k) * 300);
        written.unitPackets.push_back(mux.packetCount());
        if (content.withBase)
            mux.pes(kBaseVideoPid, 0xE0,
                    std::span<const uint8_t>(video.base).subspan(unit.baseOffset, unit.baseSize),
                    unit.pts + shift, unit.dts + shift, unit.isAnchor, false);
        if (content.withDependent)
            mux.pes(
                kDependentVideoPid, 0xE1,
                std::span<const uint8_t>(video.dependent).subspan(unit.dependentOffset, unit.dependentSize),
                unit.pts + shift, unit.dts + shift, unit.isAnchor, false);
        // Audio travels about as far ahead of its presentation as the video does.
        const int64_t nextDts = i + 1 < end ? video.units[i + 1].dts : unit.dts + 90000;
        audioUpTo(nextDts + shift);
    }
    audioUpTo(INT64_MAX);
    written.bytes = mux.finish();
    return written;
}

} // namespace kit
