#include "TestMedia.h"

#include "AnnexB.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tsmuxer::test {

std::string scratchFolder(const std::string& name) {
    fs::path folder = fs::path(DUOSCOPE_BINARY_DIR) / "tests" / "tsmuxer_scratch" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder.string();
}

std::vector<Bytes> splitAnnexB(const Bytes& s) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
    std::vector<Bytes> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
        while (end > starts[k] && s[end - 1] == 0)
            --end; // the next start code's zero byte
        nals.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                          s.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return nals;
}

std::vector<StereoAccessUnit> splitStereo(const Bytes& stream) {
    std::vector<StereoAccessUnit> units(1);
    std::set<uint32_t> subsetIds;
    bool sawSliceExtension = false;
    for (auto& nal : splitAnnexB(stream)) {
        uint8_t type = nalType(nal);
        bool isDependent = type == h264nal::prefix || type == h264nal::subsetSequenceParameterSet ||
                           type == h264nal::sliceExtension;
        if (type == h264nal::subsetSequenceParameterSet) subsetIds.insert(*spsId(nal.data(), nal.size()));
        if (type == h264nal::pictureParameterSet)
            isDependent = subsetIds.count(ppsIds(nal.data(), nal.size())->second) != 0;
        bool isBaseStart = type == h264nal::sequenceParameterSet || type == h264nal::accessUnitDelimiter ||
                           type == h264nal::prefix || type == 1 || type == 5;
        if (sawSliceExtension && isBaseStart) {
            units.emplace_back();
            sawSliceExtension = false;
        }
        if (type == h264nal::sliceExtension) sawSliceExtension = true;
        if (type == h264nal::accessUnitDelimiter) continue; // delimiters are the muxer's business
        (isDependent ? units.back().dependent : units.back().base).push_back(std::move(nal));
    }
    for (size_t i = 0; i < units.size(); ++i) {
        // I P B B P B B ...: display 0, 3, 1, 2, 6, 4, 5, ...
        int64_t display = 0;
        if (i > 0) {
            int64_t group = static_cast<int64_t>(i - 1) / 3, position = static_cast<int64_t>(i - 1) % 3;
            display = position == 0 ? 3 * group + 3 : 3 * group + position;
        }
        units[i].dts = 90000 + static_cast<int64_t>(i) * 3754;
        units[i].pts = 90000 + (display + 1) * 3754;
    }
    return units;
}

std::vector<StereoAccessUnit> loadStereo(const std::string& name) {
    return splitStereo(readFile(std::string(DUOSCOPE_TESTDATA_DIR) + "/mvc/" + name));
}

std::string metaText(const std::string& firstLine, const std::string& source,
                     const std::vector<std::pair<std::string, std::string>>& lines) {
    std::string text = firstLine + "\n";
    for (const auto& [codec, rest] : lines)
        text += codec + ", \"" + source + "\", " + rest + "\n";
    return text;
}

namespace {

void appendNal(Bytes& out, const Bytes& nal) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

const Bytes kAud = {0x09, 0xF0};
const Bytes kMvcDelimiter = {0x18, 0xF0};

Bytes accessUnitBytes(const StereoAccessUnit& unit, bool dependent, bool withDelimiter) {
    Bytes out;
    if (withDelimiter) appendNal(out, dependent ? kMvcDelimiter : kAud);
    for (const auto& nal : dependent ? unit.dependent : unit.base)
        appendNal(out, nal);
    return out;
}

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= uint32_t{data[i]} << 24;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

class TsWriter {
  public:
    explicit TsWriter(const TsOptions& options) : options_(options) {}

    void section(unsigned pid, Bytes body) {
        uint32_t crc = crc32(body.data(), body.size());
        for (int shift = 24; shift >= 0; shift -= 8)
            body.push_back(static_cast<uint8_t>(crc >> shift));
        Bytes payload = {0}; // pointer_field
        payload.insert(payload.end(), body.begin(), body.end());
        payload.resize(184, 0xFF);
        packet(pid, true, payload.data(), 184, false);
    }

    void pes(unsigned pid, uint8_t streamId, const Bytes& data, int64_t pts, int64_t dts, bool isBaseView) {
        Bytes header = {0, 0, 1, streamId, 0, 0, 0x80, 0xC0, 10};
        auto stamp = [&](uint8_t marker, int64_t t) {
            header.push_back(static_cast<uint8_t>(marker | ((t >> 29) & 0x0E) | 1));
            header.push_back(static_cast<uint8_t>(t >> 22));
            header.push_back(static_cast<uint8_t>(((t >> 14) & 0xFE) | 1));
            header.push_back(static_cast<uint8_t>(t >> 7));
            header.push_back(static_cast<uint8_t>(((t << 1) & 0xFE) | 1));
        };
        stamp(0x30, pts);
        stamp(0x10, dts);
        header.insert(header.end(), data.begin(), data.end());
        for (size_t at = 0; at < header.size(); at += 184) {
            size_t take = std::min<size_t>(184, header.size() - at);
            bool lose = isBaseView && options_.dropPacket && basePackets_ == *options_.dropPacket;
            if (isBaseView) ++basePackets_;
            packet(pid, at == 0, header.data() + at, take, lose);
        }
    }

    Bytes bytes;

  private:
    void packet(unsigned pid, bool unitStart, const uint8_t* payload, size_t size, bool lose) {
        std::array<uint8_t, 188> p{};
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
        p[2] = static_cast<uint8_t>(pid);
        uint8_t& counter = counters_[pid & 0x1FFF];
        size_t at = 4;
        if (size < 184) { // adaptation field stuffing fills the packet
            p[3] = static_cast<uint8_t>(0x30 | counter);
            p[4] = static_cast<uint8_t>(183 - size);
            if (p[4] > 0) p[5] = 0;
            for (size_t i = 6; i < size_t{5} + p[4]; ++i)
                p[i] = 0xFF;
            at = 5 + p[4];
        } else {
            p[3] = static_cast<uint8_t>(0x10 | counter);
        }
        counter = (counter + 1) & 0x0F;
        if (size > 0) std::memcpy(p.data() + at, payload, size);
        if (lose) return;
        if (options_.packetSize == 192) {
            uint32_t arrival = static_cast<uint32_t>(packets_ * 1000) & 0x3FFFFFFF;
            for (int shift = 24; shift >= 0; shift -= 8)
                bytes.push_back(static_cast<uint8_t>(arrival >> shift));
        }
        bytes.insert(bytes.end(), p.begin(), p.end());
        if (options_.junkAfterPacket && packets_ == *options_.junkAfterPacket)
            bytes.insert(bytes.end(), 77, 0x47);
        ++packets_;
    }

    TsOptions options_;
    std::array<uint8_t, 0x2000> counters_{};
    size_t basePackets_ = 0;
    uint64_t packets_ = 0;
};

// EBML element with an 8-byte size field (valid for any size).
Bytes element(uint32_t id, const Bytes& body, bool unknownSize = false) {
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((id >> shift) || shift == 0) out.push_back(static_cast<uint8_t>(id >> shift));
    out.push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8)
        out.push_back(unknownSize ? 0xFF : static_cast<uint8_t>(uint64_t{body.size()} >> shift));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes uintElement(uint32_t id, uint64_t value) {
    Bytes body;
    for (int shift = 56; shift >= 0; shift -= 8)
        if ((value >> shift) || shift == 0 || !body.empty())
            body.push_back(static_cast<uint8_t>(value >> shift));
    return element(id, body);
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// AVCDecoderConfigurationRecord (or the MVC one) with one SPS and every PPS.
Bytes configRecord(const Bytes& sps, const std::vector<Bytes>& ppsList) {
    Bytes out = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    auto withSize = [&](const Bytes& nal) {
        out.push_back(static_cast<uint8_t>(nal.size() >> 8));
        out.push_back(static_cast<uint8_t>(nal.size()));
        for (uint8_t byte : nal)
            out.push_back(byte); // (insert() here trips a GCC 12 false -Warray-bounds)
    };
    withSize(sps);
    out.push_back(static_cast<uint8_t>(ppsList.size()));
    for (const auto& pps : ppsList)
        withSize(pps);
    return out;
}

} // namespace

Bytes viewStream(const std::vector<StereoAccessUnit>& units, bool dependent, bool withDelimiters) {
    Bytes out;
    for (const auto& unit : units) {
        Bytes au = accessUnitBytes(unit, dependent, withDelimiters);
        out.insert(out.end(), au.begin(), au.end());
    }
    return out;
}

Bytes muxTransportStream(const std::vector<StereoAccessUnit>& units, const TsOptions& options) {
    TsWriter ts(options);
    Bytes pat = {0x00, 0xB0, 13, 0x00, 0x01, 0xC1, 0, 0, 0x00, 0x01, 0xE1, 0x00};
    Bytes pmt = {0x02, 0xB0, 0,    0x00, 0x01, 0xC1, 0,    0,    0xF0, 0x11, 0xF0, 0x00, 0x1B, 0xF0,
                 0x11, 0xF0, 0x00, 0x20, 0xF0, 0x12, 0xF0, 0x00, 0x81, 0xF1, 0x00, 0xF0, 0x00};
    pmt[2] = static_cast<uint8_t>(pmt.size() - 3 + 4);
    for (size_t i = 0; i < units.size(); i += options.unitsPerPes) {
        if (i % 20 < options.unitsPerPes) {
            ts.section(0x0000, pat);
            ts.section(0x0100, pmt);
        }
        Bytes base, dependent;
        for (size_t k = i; k < units.size() && k < i + options.unitsPerPes; ++k) {
            Bytes b = accessUnitBytes(units[k], false, options.withDelimiters);
            Bytes d = accessUnitBytes(units[k], true, options.withDelimiters);
            base.insert(base.end(), b.begin(), b.end());
            dependent.insert(dependent.end(), d.begin(), d.end());
        }
        ts.pes(0x1011, 0xE0, base, units[i].pts, units[i].dts, true);
        ts.pes(0x1012, 0xE1, dependent, units[i].pts, units[i].dts, false);
    }
    return ts.bytes;
}

Bytes makeMatroska(const std::vector<StereoAccessUnit>& units, const MkvOptions& options) {
    Bytes sps, subsetSps;
    std::vector<Bytes> basePps, dependentPps;
    for (const auto& nal : units.front().base) {
        if (nalType(nal) == h264nal::sequenceParameterSet) sps = nal;
        if (nalType(nal) == h264nal::pictureParameterSet) basePps.push_back(nal);
    }
    for (const auto& nal : units.front().dependent) {
        if (nalType(nal) == h264nal::subsetSequenceParameterSet) subsetSps = nal;
        if (nalType(nal) == h264nal::pictureParameterSet) dependentPps.push_back(nal);
    }
    Bytes codecPrivate = configRecord(sps, basePps);
    if (options.mvcConfigBox) {
        Bytes record = configRecord(subsetSps, dependentPps);
        uint32_t size = static_cast<uint32_t>(record.size() + 8);
        codecPrivate.insert(codecPrivate.end(),
                            {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                             static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), 'm', 'v', 'c',
                             'C'});
        codecPrivate.insert(codecPrivate.end(), record.begin(), record.end());
    }
    Bytes ebml =
        element(0x1A45DFA3, concat({uintElement(0x4286, 1), uintElement(0x42F7, 1), uintElement(0x42F2, 4),
                                    uintElement(0x42F3, 8), element(0x4282, text("matroska")),
                                    uintElement(0x4287, 4), uintElement(0x4285, 2)}));
    Bytes info = element(0x1549A966, uintElement(0x2AD7B1, 1000000));
    Bytes video =
        element(0xAE, concat({uintElement(0xD7, 1), uintElement(0x83, 1),
                              element(0x86, text("V_MPEG4/ISO/AVC")), element(0x63A2, codecPrivate),
                              element(0xE0, concat({uintElement(0xB0, 320), uintElement(0xBA, 240)}))}));
    Bytes audio =
        element(0xAE, concat({uintElement(0xD7, 2), uintElement(0x83, 2), element(0x86, text("A_AC3"))}));
    Bytes segment = concat({info, element(0x1654AE6B, concat({video, audio}))});
    const int64_t firstPts = units.front().pts;
    for (size_t first = 0; first < units.size(); first += 10) {
        int64_t clusterTime = (units[first].dts - units.front().dts) / 90;
        Bytes body = uintElement(0xE7, static_cast<uint64_t>(clusterTime));
        std::vector<Bytes> laced;
        int64_t lacedRelative = 0;
        for (size_t i = first; i < units.size() && i < first + 10; ++i) {
            const auto& unit = units[i];
            bool isKeyframe = false;
            Bytes frame;
            if (laced.empty()) lacedRelative = (unit.pts - firstPts) / 90 - clusterTime;
            auto add = [&](const Bytes& nal, bool isParameterSet) {
                if (isParameterSet && !options.parametersInBand) return;
                uint32_t n = static_cast<uint32_t>(nal.size());
                frame.insert(frame.end(), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
                frame.insert(frame.end(), nal.begin(), nal.end());
            };
            for (const auto& nal : unit.base) {
                isKeyframe = isKeyframe || nalType(nal) == 5;
                add(nal, nalType(nal) == h264nal::sequenceParameterSet ||
                             nalType(nal) == h264nal::pictureParameterSet);
            }
            if (options.withDependent) {
                add(kMvcDelimiter, false);
                for (const auto& nal : unit.dependent)
                    add(nal, nalType(nal) == h264nal::subsetSequenceParameterSet ||
                                 nalType(nal) == h264nal::pictureParameterSet);
            }
            int64_t relative = (unit.pts - firstPts) / 90 - clusterTime;
            Bytes block = {0x81, static_cast<uint8_t>(relative >> 8), static_cast<uint8_t>(relative)};
            if (options.lacing) {
                laced.push_back(frame);
                if (laced.size() < 3 && i + 1 < units.size() && i + 1 < first + 10) continue;
                block = {0x81, static_cast<uint8_t>(lacedRelative >> 8), static_cast<uint8_t>(lacedRelative),
                         static_cast<uint8_t>(options.lacing << 1), static_cast<uint8_t>(laced.size() - 1)};
                for (size_t k = 0; k + 1 < laced.size(); ++k) {
                    size_t n = laced[k].size();
                    if (options.lacing == 1) {
                        for (; n >= 255; n -= 255)
                            block.push_back(255);
                        block.push_back(static_cast<uint8_t>(n));
                    } else { // EBML: the first size, then signed differences, as 4-byte vints
                        int64_t value = k == 0 ? static_cast<int64_t>(n)
                                               : static_cast<int64_t>(n) -
                                                     static_cast<int64_t>(laced[k - 1].size()) +
                                                     ((int64_t{1} << 27) - 1);
                        for (int shift = 24; shift >= 0; shift -= 8)
                            block.push_back(
                                static_cast<uint8_t>((shift == 24 ? 0x10 : 0) | (value >> shift)));
                    }
                }
                for (const auto& f : laced)
                    block.insert(block.end(), f.begin(), f.end());
                laced.clear();
                body = concat({body, element(0xA3, block)});
                continue;
            }
            if (options.blockGroups) {
                block.push_back(0);
                block.insert(block.end(), frame.begin(), frame.end());
                Bytes group = element(0xA1, block);
                if (!isKeyframe) group = concat({group, uintElement(0xFB, 42)});
                body = concat({body, element(0xA0, group)});
            } else {
                block.push_back(isKeyframe ? 0x80 : 0x00);
                block.insert(block.end(), frame.begin(), frame.end());
                body = concat({body, element(0xA3, block)});
            }
        }
        segment = concat({segment, element(0x1F43B675, body, options.unknownSizeClusters)});
    }
    return concat({ebml, element(0x18538067, segment, true)});
}

ProgramResult runTsmuxer(const std::vector<std::string>& arguments) {
    return runProgram(std::string(DUOSCOPE_TOOLS_DIR) + "/tsmuxer", arguments);
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments) {
    auto run = duoscope::test::runCommand(program, arguments);
    return {run.status, run.standardOutput, run.standardError};
}

} // namespace tsmuxer::test
