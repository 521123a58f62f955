#include "Containers.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace kit {
namespace {

void putId(Bytes& out, uint32_t id) {
    int bytes = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
    while (bytes--)
        out.push_back(static_cast<uint8_t>(id >> (8 * bytes)));
}

Bytes element(uint32_t id, std::span<const uint8_t> payload) {
    Bytes out;
    putId(out, id);
    const Bytes size = ebmlSize(payload.size());
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes uintElement(uint32_t id, uint64_t value) {
    Bytes payload;
    int bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0)
        ++bytes;
    while (bytes--)
        payload.push_back(static_cast<uint8_t>(value >> (8 * bytes)));
    return element(id, payload);
}

Bytes floatElement(uint32_t id, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes payload;
    for (int shift = 56; shift >= 0; shift -= 8)
        payload.push_back(static_cast<uint8_t>(bits >> shift));
    return element(id, payload);
}

Bytes stringElement(uint32_t id, std::string_view text) {
    return element(id, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

Bytes master(uint32_t id, std::initializer_list<Bytes> children) {
    Bytes payload;
    for (const Bytes& child : children)
        payload.insert(payload.end(), child.begin(), child.end());
    return element(id, payload);
}

// ISO/IEC 14496-15 AVCDecoderConfigurationRecord with 4-byte NAL lengths.
Bytes avcDecoderConfiguration(const Bytes& sps, const Bytes& pps) {
    if (sps.size() < 4 || pps.empty()) throw BitstreamError("Matroska: base view has no SPS/PPS");
    Bytes c{1,
            sps[1],
            sps[2],
            sps[3],
            0xFF,
            0xE1,
            static_cast<uint8_t>(sps.size() >> 8),
            static_cast<uint8_t>(sps.size())};
    c.insert(c.end(), sps.begin(), sps.end());
    append(c, {1, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())});
    c.insert(c.end(), pps.begin(), pps.end());
    if (sps[1] == 100 || sps[1] == 110 || sps[1] == 122 || sps[1] == 144)
        append(c, {0xFD /* 4:2:0 */, 0xF8 /* 8 bit */, 0xF8, 0});
    return c;
}

// Annex B with 4-byte start codes to 4-byte big-endian lengths.
void appendLengthPrefixed(Bytes& out, std::span<const uint8_t> annexB) {
    for (const NalUnit& nal : splitAnnexB(annexB)) {
        const uint32_t size = static_cast<uint32_t>(nal.bytes.size());
        append(out, {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                     static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
        out.insert(out.end(), nal.bytes.begin(), nal.bytes.end());
    }
}

Bytes simpleBlock(int track, int16_t relative, bool keyframe, std::span<const uint8_t> data) {
    Bytes payload{static_cast<uint8_t>(0x80 | track),
                  static_cast<uint8_t>(static_cast<uint16_t>(relative) >> 8), static_cast<uint8_t>(relative),
                  static_cast<uint8_t>(keyframe ? 0x80 : 0x00)};
    payload.insert(payload.end(), data.begin(), data.end());
    return element(0xA3, payload);
}

int64_t toMs(int64_t t90k) {
    return (t90k + 45) / 90;
}

} // namespace

Bytes ebmlSize(uint64_t size) {
    int length = 1;
    while (length < 8 && size >= (uint64_t{1} << (7 * length)) - 1)
        ++length;
    Bytes out;
    const uint64_t coded = size | (uint64_t{1} << (7 * length));
    for (int i = length - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(coded >> (8 * i)));
    return out;
}

Bytes writeMatroska(const MvcComposition& video, const std::vector<AudioFrame>& audio,
                    MatroskaStereoMode mode, FrameRate rate) {
    if (video.units.empty()) throw BitstreamError("Matroska: no access units");
    int64_t origin = INT64_MAX;
    for (const auto& unit : video.units)
        origin = std::min(origin, unit.pts);
    const int64_t frameNs = rate.den * 1000000000 / rate.num;
    const double durationMs = static_cast<double>(video.units.size()) * static_cast<double>(frameNs) / 1e6;

    Bytes out = master(0x1A45DFA3, {uintElement(0x4286, 1), uintElement(0x42F7, 1), uintElement(0x42F2, 4),
                                    uintElement(0x42F3, 8), stringElement(0x4282, "matroska"),
                                    uintElement(0x4287, 4), uintElement(0x4285, 2)});

    Bytes segment =
        master(0x1549A966, {uintElement(0x2AD7B1, 1000000), stringElement(0x4D80, "duoscope stereokit"),
                            stringElement(0x5741, "duoscope stereokit"), floatElement(0x4489, durationMs)});
    Bytes videoTrack = master(0xAE, {uintElement(0xD7, 1), uintElement(0x73C5, 1), uintElement(0x83, 1),
                                     uintElement(0x9C, 0), stringElement(0x86, "V_MPEG4/ISO/AVC"),
                                     element(0x63A2, avcDecoderConfiguration(video.baseSps, video.basePps)),
                                     uintElement(0x23E383, static_cast<uint64_t>(frameNs)),
                                     master(0xE0, {uintElement(0xB0, static_cast<uint64_t>(video.width)),
                                                   uintElement(0xBA, static_cast<uint64_t>(video.height)),
                                                   uintElement(0x53B8, static_cast<uint64_t>(mode))})});
    Bytes tracks = videoTrack;
    if (!audio.empty()) {
        const Bytes audioTrack =
            master(0xAE, {uintElement(0xD7, 2), uintElement(0x73C5, 2), uintElement(0x83, 2),
                          uintElement(0x9C, 0), stringElement(0x86, "A_AC3"), uintElement(0x23E383, 32000000),
                          master(0xE1, {floatElement(0xB5, 48000.0), uintElement(0x9F, 2)})});
        tracks.insert(tracks.end(), audioTrack.begin(), audioTrack.end());
    }
    const Bytes tracksElement = element(0x1654AE6B, tracks);
    segment.insert(segment.end(), tracksElement.begin(), tracksElement.end());

    // A cluster per IDR period, audio interleaved by time. A long open-GOP
    // period is cut at an anchor after 5 s: block times are 16-bit offsets
    // from the cluster's time.
    size_t nextAudio = 0;
    size_t i = 0;
    while (i < video.units.size()) {
        size_t end = i + 1;
        while (end < video.units.size() && !video.units[end].isIdr &&
               !(video.units[end].isAnchor && video.units[end].pts - video.units[i].pts > 5 * 90000))
            ++end;
        const int64_t clusterMs = toMs(video.units[i].pts - origin);
        Bytes cluster = uintElement(0xE7, static_cast<uint64_t>(clusterMs));
        auto addAudioUpTo = [&](int64_t limitMs) {
            for (; nextAudio < audio.size() && toMs(audio[nextAudio].pts - origin) <= limitMs; ++nextAudio) {
                const int64_t ms = toMs(audio[nextAudio].pts - origin);
                const Bytes block =
                    simpleBlock(2, static_cast<int16_t>(ms - clusterMs), true, audio[nextAudio].data);
                cluster.insert(cluster.end(), block.begin(), block.end());
            }
        };
        for (size_t k = i; k < end; ++k) {
            const AccessUnitInfo& unit = video.units[k];
            Bytes frame;
            appendLengthPrefixed(
                frame, std::span<const uint8_t>(video.base).subspan(unit.baseOffset, unit.baseSize));
            appendLengthPrefixed(
                frame,
                std::span<const uint8_t>(video.dependent).subspan(unit.dependentOffset, unit.dependentSize));
            const int64_t ms = toMs(unit.pts - origin);
            const Bytes block = simpleBlock(1, static_cast<int16_t>(ms - clusterMs), unit.isAnchor, frame);
            cluster.insert(cluster.end(), block.begin(), block.end());
            addAudioUpTo(toMs(unit.dts - origin));
        }
        if (end == video.units.size()) addAudioUpTo(INT64_MAX);
        const Bytes clusterElement = element(0x1F43B675, cluster);
        segment.insert(segment.end(), clusterElement.begin(), clusterElement.end());
        i = end;
    }
    const Bytes segmentElement = element(0x18538067, segment);
    out.insert(out.end(), segmentElement.begin(), segmentElement.end());
    return out;
}

} // namespace kit
