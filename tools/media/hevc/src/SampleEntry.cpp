#include "media/hevc/SampleEntry.h"

#include "isobmff/Box.h"
#include "media/hevc/Syntax.h"

#include <charconv>
#include <cmath>

namespace media::hevc {

namespace {

void writeArrays(BoxWriter& w, const std::vector<std::pair<int, const Bytes*>>& arrays) {
    uint8_t count = 0;
    for (auto& [t, n] : arrays)
        count += !n->empty();
    w.u8(count);
    for (auto& [type, nal] : arrays) {
        if (nal->empty()) continue;
        w.u8(static_cast<uint8_t>(0x80 | type)); // array_completeness: no parameter sets in samples
        w.u16(1);
        w.u16(static_cast<uint16_t>(nal->size()));
        w.bytes(*nal);
    }
}

void readArrays(ByteReader& r, HevcConfig& c) {
    const uint8_t n = r.u8();
    for (int i = 0; i < n; ++i) {
        NalArray a;
        const uint8_t b = r.u8();
        a.complete = (b & 0x80) != 0;
        a.type = b & 0x3f;
        const uint16_t count = r.u16();
        for (int k = 0; k < count; ++k) {
            const uint16_t len = r.u16();
            const uint8_t* p = r.bytes(len);
            a.nals.emplace_back(p, p + len);
        }
        c.arrays.push_back(std::move(a));
    }
}

// The byte both records end with before their arrays: numTemporalLayers,
// temporalIdNested, lengthSizeMinusOne.
void readLayersAndArrays(ByteReader& r, HevcConfig& c) {
    const uint8_t t = r.u8();
    c.numTemporalLayers = (t >> 3) & 7;
    c.temporalIdNested = (t >> 2) & 1;
    c.lengthSizeMinusOne = t & 3;
    readArrays(r, c);
}

} // namespace

const NalArray* HevcConfig::array(int type) const {
    for (auto& a : arrays)
        if (a.type == type) return &a;
    return nullptr;
}

Bytes buildStereoSampleEntry(const StereoParameterSets& ps, uint32_t width, uint32_t height,
                             const std::optional<Colour>& colour, const SpatialInfo& spatial) {
    if (ps.vps.empty() || ps.sps0.empty() || ps.pps0.empty() || ps.sps1.empty() || ps.pps1.empty())
        throw Error("stereo sample entry: a parameter set is missing");
    const Sps sps = parseSps(unescapeRbsp(std::span(ps.sps0).subspan(2)), 0);
    if (width > 0xffff || height > 0xffff) throw Error("stereo sample entry: size too large");

    BoxWriter w;
    w.beginBox("hvc1");
    w.zeros(6);
    w.u16(1); // data_reference_index
    w.zeros(16);
    w.u16(static_cast<uint16_t>(width));
    w.u16(static_cast<uint16_t>(height));
    w.u32(0x00480000);
    w.u32(0x00480000);
    w.u32(0);
    w.u16(1); // frame_count
    w.zeros(32);
    w.u16(0x0018);
    w.i16(-1);

    w.beginBox("hvcC");
    w.u8(1);
    w.u8(static_cast<uint8_t>((sps.ptl.profileSpace << 6) | (sps.ptl.tierFlag ? 0x20 : 0) |
                              sps.ptl.profileIdc));
    w.u32(sps.ptl.compatibilityFlags);
    w.u16(static_cast<uint16_t>(sps.ptl.constraintFlags >> 32));
    w.u32(static_cast<uint32_t>(sps.ptl.constraintFlags));
    w.u8(sps.ptl.levelIdc);
    w.u16(0xF000);
    w.u8(0xFC);
    w.u8(static_cast<uint8_t>(0xFC | sps.chromaFormatIdc));
    w.u8(static_cast<uint8_t>(0xF8 | (sps.bitDepthLuma - 8)));
    w.u8(static_cast<uint8_t>(0xF8 | (sps.bitDepthChroma - 8)));
    w.u16(0);
    w.u8(0x0B); // one temporal layer, 4-byte NAL lengths
    writeArrays(w, {{hevcnal::videoParameterSet, &ps.vps},
                    {hevcnal::sequenceParameterSet, &ps.sps0},
                    {hevcnal::pictureParameterSet, &ps.pps0},
                    {hevcnal::prefixSei, &ps.sei}});
    w.endBox();

    w.beginBox("lhvC");
    w.u8(1);
    w.u16(0xF000);
    w.u8(0xFC);
    w.u8(0xCB);
    writeArrays(w, {{hevcnal::sequenceParameterSet, &ps.sps1}, {hevcnal::pictureParameterSet, &ps.pps1}});
    w.endBox();

    if (colour) {
        w.beginBox("colr");
        w.type("nclc");
        w.u16(colour->primaries);
        w.u16(colour->transfer);
        w.u16(colour->matrix);
        w.endBox();
    }

    w.bytes(buildStereoViewBoxes(spatial));
    w.endBox();
    return w.take();
}

SpatialInfo spatialInfoFrom(std::optional<double> baselineMillimetres,
                            std::optional<double> disparityAdjustment,
                            std::optional<double> fieldOfViewDegrees) {
    SpatialInfo info;
    if (baselineMillimetres)
        info.baselineMicrometres = static_cast<uint32_t>(std::llround(*baselineMillimetres * 1000));
    if (disparityAdjustment)
        info.disparityAdjustment = static_cast<int32_t>(std::lround(*disparityAdjustment * 10000));
    if (fieldOfViewDegrees)
        info.fieldOfViewThousandths = static_cast<uint32_t>(std::llround(*fieldOfViewDegrees * 1000));
    return info;
}

bool isSpatialOption(const std::string& name) {
    return name == "--hfov" || name == "--baseline" || name == "--disparity-adjustment";
}

std::optional<std::string> applySpatialOption(SpatialInfo& info, const std::string& name,
                                              const std::string& value) {
    double number = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || !std::isfinite(number))
        return name + " needs a number, got '" + value + "'";
    if (name == "--hfov") {
        if (!(number > 0 && number < 360))
            return "--hfov must lie above 0 and below 360 degrees, got " + value;
        info.fieldOfViewThousandths = spatialInfoFrom({}, {}, number).fieldOfViewThousandths;
    } else if (name == "--baseline") {
        if (!(number > 0 && number <= 1000000))
            return "--baseline must lie above 0 and at most 1000000 mm, got " + value;
        info.baselineMicrometres = spatialInfoFrom(number, {}, {}).baselineMicrometres;
    } else if (name == "--disparity-adjustment") {
        if (!(number >= -1 && number <= 1))
            return "--disparity-adjustment must lie between -1 and 1 (a fraction of the width), got " + value;
        info.disparityAdjustment = spatialInfoFrom({}, number, {}).disparityAdjustment;
    } else {
        return "unknown option " + name;
    }
    return std::nullopt;
}

Bytes buildStereoViewBoxes(const SpatialInfo& spatial) {
    // Apple's order inside eyes: stri, hero, cams/blin, cmfy/dadj. Converted
    // content without a known rig gets stri and hero only.
    BoxWriter w;
    w.beginBox("vexu");
    w.beginBox("eyes");
    w.beginFullBox("stri", 0, 0);
    w.u8(0x03); // left and right eye views
    w.endBox();
    w.beginFullBox("hero", 0, 0);
    w.u8(1); // left
    w.endBox();
    if (spatial.baselineMicrometres) {
        w.beginBox("cams");
        w.beginFullBox("blin", 0, 0);
        w.u32(*spatial.baselineMicrometres);
        w.endBox();
        w.endBox();
    }
    if (spatial.disparityAdjustment) {
        w.beginBox("cmfy");
        w.beginFullBox("dadj", 0, 0);
        w.u32(static_cast<uint32_t>(*spatial.disparityAdjustment));
        w.endBox();
        w.endBox();
    }
    w.endBox();
    w.endBox();
    // A sibling of vexu, not inside it.
    if (spatial.fieldOfViewThousandths) {
        w.beginBox("hfov");
        w.u32(*spatial.fieldOfViewThousandths);
        w.endBox();
    }
    return w.take();
}

SpatialInfo readSpatialInfo(const VisualSampleEntry& entry) {
    SpatialInfo info;
    if (const Bytes* vexu = entry.child("vexu")) {
        const StereoView view = parseVexu(*vexu);
        info.baselineMicrometres = view.baselineMicrometres;
        info.disparityAdjustment = view.disparityAdjustment;
    }
    if (const Bytes* hfov = entry.child("hfov")) {
        if (hfov->size() < 4) throw FormatError("hfov box too short");
        info.fieldOfViewThousandths = readBE32(hfov->data());
    }
    return info;
}

HevcConfig parseHvcC(std::span<const uint8_t> payload) {
    ByteReader r(payload.data(), payload.size(), 0, "hvcC");
    HevcConfig c;
    c.version = r.u8();
    const uint8_t b = r.u8();
    c.profileSpace = b >> 6;
    c.tier = (b >> 5) & 1;
    c.profileIdc = b & 0x1f;
    c.compatibility = r.u32();
    c.constraints = (uint64_t{r.u16()} << 32) | r.u32();
    c.levelIdc = r.u8();
    c.minSpatialSegmentation = r.u16() & 0x0fff;
    c.parallelismType = r.u8() & 3;
    c.chromaFormat = r.u8() & 3;
    c.bitDepthLumaMinus8 = r.u8() & 7;
    c.bitDepthChromaMinus8 = r.u8() & 7;
    r.u16();
    readLayersAndArrays(r, c);
    return c;
}

HevcConfig parseLhvC(std::span<const uint8_t> payload) {
    ByteReader r(payload.data(), payload.size(), 0, "lhvC");
    HevcConfig c;
    c.version = r.u8();
    c.minSpatialSegmentation = r.u16() & 0x0fff;
    c.parallelismType = r.u8() & 3;
    readLayersAndArrays(r, c);
    return c;
}

StereoView parseVexu(std::span<const uint8_t> payload) {
    StereoView v;
    auto fullBoxValue = [](const Box& b) -> const uint8_t* {
        if (b.payload.size() < 5) throw FormatError(b.typeName() + " box too short");
        return b.payload.data() + 4;
    };
    const std::vector<Box> boxes = parseBoxes(payload.data(), payload.size());
    for (const Box& top : boxes) {
        std::vector<Box> kids =
            top.isContainer ? top.children : parseBoxes(top.payload.data(), top.payload.size());
        if (top.type == fourcc("eyes")) {
            for (const Box& e : kids) {
                std::vector<Box> inner = e.isContainer ? e.children : std::vector<Box>{};
                if (e.type == fourcc("stri")) v.stri = fullBoxValue(e)[0];
                if (e.type == fourcc("hero")) v.hero = fullBoxValue(e)[0];
                if (e.type == fourcc("cams") || e.type == fourcc("cmfy")) {
                    if (!e.isContainer) inner = parseBoxes(e.payload.data(), e.payload.size());
                    for (const Box& c : inner) {
                        if (c.payload.size() < 8) continue;
                        if (c.type == fourcc("blin")) v.baselineMicrometres = readBE32(fullBoxValue(c));
                        if (c.type == fourcc("dadj"))
                            v.disparityAdjustment = static_cast<int32_t>(readBE32(fullBoxValue(c)));
                    }
                }
            }
        } else if (top.type == fourcc("proj")) {
            for (const Box& p : kids)
                if (p.type == fourcc("prji") && p.payload.size() >= 8)
                    v.projection = readBE32(fullBoxValue(p));
        }
    }
    return v;
}

const Bytes* VisualSampleEntry::child(const std::string& type) const {
    for (auto& [t, p] : children)
        if (t == type) return &p;
    return nullptr;
}

VisualSampleEntry parseVisualSampleEntry(std::span<const uint8_t> box) {
    ByteReader r(box.data(), box.size(), 0, "sample entry");
    const uint32_t size = r.u32();
    VisualSampleEntry e;
    e.type = r.u32();
    if (size != box.size())
        throw FormatError("sample entry: size field " + std::to_string(size) +
                          " != " + std::to_string(box.size()));
    r.skip(24);
    e.width = r.u16();
    e.height = r.u16();
    r.skip(50);
    for (const Box& b : parseBoxes(box.data() + 86, box.size() - 86, 86)) {
        Bytes payload;
        if (b.isContainer) {
            writeBoxes(b.children, payload);
            payload.insert(payload.begin(), b.payload.begin(), b.payload.end());
        } else {
            payload = b.payload;
        }
        e.children.emplace_back(fourccToString(b.type), std::move(payload));
    }
    return e;
}

std::vector<std::span<const uint8_t>> splitLengthPrefixed(std::span<const uint8_t> s, int lengthSize) {
    std::vector<std::span<const uint8_t>> out;
    size_t pos = 0;
    while (pos < s.size()) {
        if (pos + static_cast<size_t>(lengthSize) > s.size())
            throw Error("NAL length field cut off at byte " + std::to_string(pos));
        uint32_t len = 0;
        for (int i = 0; i < lengthSize; ++i)
            len = (len << 8) | s[pos + static_cast<size_t>(i)];
        pos += static_cast<size_t>(lengthSize);
        if (len > s.size() - pos)
            throw Error("NAL unit of " + std::to_string(len) + " bytes runs past the sample end at byte " +
                        std::to_string(pos));
        out.push_back(s.subspan(pos, len));
        pos += len;
    }
    return out;
}

} // namespace media::hevc
