#include "PackerSupport.h"

#include "isobmff/Box.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace stereopacker {

std::variant<Arguments, std::string> parseArguments(const std::vector<std::string>& given) {
    Arguments a;
    std::vector<std::string> args;
    for (size_t i = 0; i < given.size(); ++i) {
        const std::string& option = given[i];
        if (option == "--right-first") {
            a.rightFirst = true;
        } else if (option == "--layout" || media::hevc::isSpatialOption(option)) {
            if (i + 1 >= given.size()) return option + " needs a value";
            const std::string& value = given[++i];
            if (option == "--layout") {
                if (value != "sbs" && value != "hsbs" && value != "tb" && value != "htb")
                    return "--layout must be sbs, hsbs, tb or htb, got '" + value + "'";
                a.topBottom = value == "tb" || value == "htb";
                a.half = value == "hsbs" || value == "htb";
            } else if (auto problem = media::hevc::applySpatialOption(a.spatial, option, value)) {
                return *problem;
            }
        } else {
            args.push_back(option);
        }
    }
    if (args.size() < 3 || args.size() > 4) return std::string("expected 3 or 4 arguments. ") + kUsage;
    a.input = args[0];
    a.output = args[1];
    if (a.input.empty() || a.output.empty()) return std::string("empty input or output path. ") + kUsage;
    const std::string& q = args[2];
    auto [p, ec] = std::from_chars(q.data(), q.data() + q.size(), a.quality);
    if (ec != std::errc() || p != q.data() + q.size() || !(a.quality >= 0 && a.quality <= 1))
        return "quality must be a number from 0 to 1, got '" + q + "'";
    if (args.size() == 4) {
        const std::string& r = args[3];
        uint32_t rate = 0;
        auto [rp, rec] = std::from_chars(r.data(), r.data() + r.size(), rate);
        if (rec != std::errc() || rp != r.data() + r.size() || rate == 0 || rate > 2000)
            return "rate must be a whole number of Mbps from 1 to 2000, got '" + r + "'";
        a.rateMbps = rate;
    }
    return a;
}

std::string progressLine(int64_t frame, int64_t total) {
    if (total <= 0) return "Frame " + std::to_string(frame);
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.1f", std::min(100.0, 100.0 * double(frame) / double(total)));
    return "Frame " + std::to_string(frame) + "/" + std::to_string(total) + " (" + pct + "%)";
}

FrameRate exactFrameRate(FrameRate average, FrameRate real) {
    auto valid = [](FrameRate r) { return r.num > 0 && r.den > 0; };
    auto value = [](FrameRate r) { return double(r.num) / double(r.den); };
    auto near = [&](FrameRate a, FrameRate b, double tolerance) {
        return std::abs(value(a) / value(b) - 1.0) <= tolerance;
    };
    static constexpr FrameRate standard[] = {
        {24000, 1001}, {24, 1}, {25, 1},  {30000, 1001},  {30, 1},  {48000, 1001}, {48, 1}, {50, 1},
        {60000, 1001}, {60, 1}, {100, 1}, {120000, 1001}, {120, 1}, {15, 1},       {12, 1},
    };
    auto snapped = [&](FrameRate r) -> std::optional<FrameRate> {
        for (FrameRate s : standard)
            if (near(r, s, 0.0003)) return s;
        return std::nullopt;
    };
    if (valid(real) && (!valid(average) || near(average, real, 0.01))) return snapped(real).value_or(real);
    if (valid(average)) return snapped(average).value_or(average);
    return {};
}

namespace {

void audioEntryHeader(media::BoxWriter& w, int channels, int sampleRate) {
    w.zeros(6);
    w.u16(1); // data_reference_index
    w.u16(0); // version
    w.u16(0);
    w.u32(0);
    w.u16(static_cast<uint16_t>(channels));
    w.u16(16);
    w.u16(0);
    w.u16(0);
    w.u32(static_cast<uint32_t>(sampleRate > 0xffff ? 0 : sampleRate) << 16);
}

void descriptor(media::BoxWriter& w, uint8_t tag, const std::vector<uint8_t>& body) {
    w.u8(tag);
    const size_t n = body.size();
    // Four-byte size form keeps every size representable.
    w.u8(static_cast<uint8_t>(0x80 | ((n >> 21) & 0x7f)));
    w.u8(static_cast<uint8_t>(0x80 | ((n >> 14) & 0x7f)));
    w.u8(static_cast<uint8_t>(0x80 | ((n >> 7) & 0x7f)));
    w.u8(static_cast<uint8_t>(n & 0x7f));
    w.bytes(body);
}

} // namespace

std::vector<uint8_t> aacSampleEntry(std::span<const uint8_t> asc, int channels, int sampleRate,
                                    uint32_t averageBitRate) {
    media::BoxWriter dsi;
    dsi.bytes(asc.data(), asc.size());
    media::BoxWriter dcd;
    dcd.u8(0x40); // MPEG-4 audio
    dcd.u8(0x15); // audio stream
    dcd.u24(0);
    dcd.u32(averageBitRate);
    dcd.u32(averageBitRate);
    descriptor(dcd, 0x05, dsi.take());
    media::BoxWriter es;
    es.u16(0); // ES_ID
    es.u8(0);
    descriptor(es, 0x04, dcd.take());
    descriptor(es, 0x06, {0x02});

    media::BoxWriter w;
    w.beginBox("mp4a");
    audioEntryHeader(w, channels, sampleRate);
    w.beginFullBox("esds", 0, 0);
    descriptor(w, 0x03, es.take());
    w.endBox();
    w.endBox();
    return w.take();
}

int Ac3Info::sampleRate() const {
    static constexpr int rates[] = {48000, 44100, 32000, 0};
    return rates[fscod & 3];
}

int Ac3Info::channels() const {
    static constexpr int ch[] = {2, 1, 2, 3, 3, 4, 4, 5};
    return ch[acmod & 7] + lfeon;
}

std::optional<Ac3Info> parseAc3Header(std::span<const uint8_t> f) {
    if (f.size() < 8 || f[0] != 0x0B || f[1] != 0x77) return std::nullopt;
    // Bits after syncword (16) and crc1 (16).
    size_t pos = 32;
    auto bits = [&](int n) {
        int v = 0;
        for (int i = 0; i < n; ++i, ++pos)
            v = (v << 1) | ((f[pos >> 3] >> (7 - (pos & 7))) & 1);
        return v;
    };
    Ac3Info a;
    a.fscod = bits(2);
    const int frmsizecod = bits(6);
    a.bsid = bits(5);
    a.bsmod = bits(3);
    a.acmod = bits(3);
    if (a.fscod == 3 || a.bsid > 8 || frmsizecod > 37) return std::nullopt; // not plain AC-3
    if ((a.acmod & 1) && a.acmod != 1) bits(2);
    if (a.acmod & 4) bits(2);
    if (a.acmod == 2) bits(2);
    a.lfeon = bits(1);
    a.bitRateCode = frmsizecod >> 1;
    return a;
}

std::vector<uint8_t> ac3SampleEntry(const Ac3Info& a) {
    media::BoxWriter w;
    w.beginBox("ac-3");
    audioEntryHeader(w, a.channels(), a.sampleRate());
    w.beginBox("dac3");
    const uint32_t v = (uint32_t(a.fscod) << 22) | (uint32_t(a.bsid) << 17) | (uint32_t(a.bsmod) << 14) |
                       (uint32_t(a.acmod) << 11) | (uint32_t(a.lfeon) << 10) | (uint32_t(a.bitRateCode) << 5);
    w.u24(v);
    w.endBox();
    w.endBox();
    return w.take();
}

} // namespace stereopacker
