#include "MvcComposer.h"

#include "H264Syntax.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace kit {
namespace {

bool isSlice(int type) {
    return type == 1 || type == 5;
}

uint32_t firstMbInSlice(const NalUnit& nal) {
    const Bytes rbsp = unescapeRbsp(
        std::span<const uint8_t>(nal.bytes).subspan(1, std::min<size_t>(nal.bytes.size() - 1, 8)));
    BitReader r(rbsp);
    return r.ue();
}

// primary_pic_type (7.4.2.4): 0 = I only, 1 = I and P, 2 = I, P and B.
uint8_t primaryPicType(const std::vector<char>& letters) {
    uint8_t type = 0;
    for (char letter : letters)
        type = std::max<uint8_t>(type, letter == 'B' ? 2 : letter == 'P' ? 1 : 0);
    return type;
}

struct EyeAccessUnit {
    std::vector<NalUnit> nals;
    std::vector<SliceHeaderStart> slices;
    std::vector<size_t> sliceNalIndex;
};

struct EyeStream {
    std::vector<EyeAccessUnit> units;
    std::map<uint32_t, SpsData> sps;
    std::set<uint32_t> ppsIds;
};

std::string where(const char* eye, size_t au, size_t nal) {
    return std::string(eye) + " access unit " + std::to_string(au) + ", NAL " + std::to_string(nal) + ": ";
}

EyeStream readEye(std::span<const uint8_t> stream, const char* eye) {
    EyeStream result;
    std::map<uint32_t, uint32_t> ppsToSps;
    const auto units = splitAccessUnits(stream);
    for (size_t au = 0; au < units.size(); ++au) {
        EyeAccessUnit unit;
        unit.nals = units[au];
        for (size_t i = 0; i < unit.nals.size(); ++i) {
            const NalUnit& nal = unit.nals[i];
            try {
                if (nal.type() == 7) {
                    SpsData sps = parseSpsNal(nal.bytes);
                    result.sps[sps.spsId] = sps;
                } else if (nal.type() == 8) {
                    const PpsIds ids = parsePpsIds(nal.bytes);
                    ppsToSps[ids.ppsId] = ids.spsId;
                    result.ppsIds.insert(ids.ppsId);
                } else if (isSlice(nal.type())) {
                    const Bytes head = unescapeRbsp(std::span<const uint8_t>(nal.bytes).subspan(
                        1, std::min<size_t>(nal.bytes.size() - 1, 16)));
                    BitReader r(head);
                    r.ue();
                    r.ue();
                    const uint32_t ppsId = r.ue();
                    if (!ppsToSps.count(ppsId) || !result.sps.count(ppsToSps[ppsId]))
                        throw BitstreamError("slice names PPS " + std::to_string(ppsId) +
                                             " before its parameter sets");
                    unit.slices.push_back(parseSliceHeaderStart(nal.bytes, result.sps[ppsToSps[ppsId]]));
                    unit.sliceNalIndex.push_back(i);
                }
            } catch (const BitstreamError& e) {
                throw BitstreamError(where(eye, au, i) + e.what() + " (byte offset " +
                                     std::to_string(nal.offset) + ")");
            }
        }
        if (unit.slices.empty()) throw BitstreamError(where(eye, au, 0) + "access unit without slices");
        result.units.push_back(std::move(unit));
    }
    return result;
}

// 8.2.1.1 (type 0) and 8.2.1.3 (type 2), frames only, no MMCO 5: enough for
// x264's progressive output.
std::vector<int32_t> picOrderCounts(const EyeStream& eye) {
    std::vector<int32_t> pocs;
    int32_t prevMsb = 0, prevLsb = 0, frameNumOffset = 0, prevFrameNum = 0;
    for (const auto& unit : eye.units) {
        const SliceHeaderStart& h = unit.slices.front();
        const NalUnit& nal = unit.nals[unit.sliceNalIndex.front()];
        const SpsData& sps = eye.sps.begin()->second;
        if (sps.picOrderCntType == 0) {
            const int32_t maxLsb = 1 << (sps.log2MaxPicOrderCntLsbMinus4 + 4);
            const int32_t lsb = static_cast<int32_t>(h.picOrderCntLsb);
            if (h.isIdr) prevMsb = prevLsb = 0;
            int32_t msb = prevMsb;
            if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2)
                msb += maxLsb;
            else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2)
                msb -= maxLsb;
            pocs.push_back(msb + lsb);
            if (nal.refIdc() != 0) {
                prevMsb = msb;
                prevLsb = lsb;
            }
        } else {
            const int32_t maxFrameNum = 1 << (sps.log2MaxFrameNumMinus4 + 4);
            const int32_t frameNum = static_cast<int32_t>(h.frameNum);
            if (h.isIdr)
                frameNumOffset = 0;
            else if (prevFrameNum > frameNum)
                frameNumOffset += maxFrameNum;
            int32_t poc = 2 * (frameNumOffset + frameNum);
            if (nal.refIdc() == 0) poc -= 1;
            if (h.isIdr) poc = 0;
            pocs.push_back(poc);
            prevFrameNum = frameNum;
        }
    }
    return pocs;
}

std::vector<char> sliceLetters(const EyeAccessUnit& unit) {
    std::vector<char> letters;
    for (const auto& s : unit.slices)
        letters.push_back(s.sliceLetter());
    return letters;
}

} // namespace

int64_t frameTime90k(int64_t index, FrameRate rate) {
    return (index * 90000 * rate.den * 2 + rate.num) / (2 * rate.num);
}

std::vector<std::vector<NalUnit>> splitAccessUnits(std::span<const uint8_t> stream) {
    std::vector<std::vector<NalUnit>> units;
    bool currentHasSlice = false;
    for (NalUnit& nal : splitAnnexB(stream)) {
        const int type = nal.type();
        bool startsNew = units.empty();
        if (!startsNew && currentHasSlice) {
            if (type == 9 || type == 24 || type == 7 || type == 8 || type == 6 || type == 15 || type == 14)
                startsNew = true;
            else if ((isSlice(type) || type == 20) && nal.bytes.size() > 1 && firstMbInSlice(nal) == 0)
                startsNew = true;
        }
        if (startsNew) {
            units.emplace_back();
            currentHasSlice = false;
        }
        if (isSlice(type) || type == 20) currentHasSlice = true;
        units.back().push_back(std::move(nal));
    }
    return units;
}

MvcComposition composeMvc(std::span<const uint8_t> baseEye, std::span<const uint8_t> dependentEye,
                          FrameRate rate, int64_t firstDts90k) {
    const EyeStream base = readEye(baseEye, "base eye");
    const EyeStream dep = readEye(dependentEye, "dependent eye");
    if (base.units.size() != dep.units.size())
        throw BitstreamError("the eyes have " + std::to_string(base.units.size()) + " and " +
                             std::to_string(dep.units.size()) + " access units");
    if (base.sps.size() != 1 || dep.sps.size() != 1)
        throw BitstreamError("each eye must use exactly one SPS");
    if (base.sps.begin()->first == dep.sps.begin()->first)
        throw BitstreamError("both eyes use SPS id " + std::to_string(base.sps.begin()->first) +
                             "; encode the dependent eye with another id (x264 --sps-id)");
    // Both views' PPSs share one id space in the interleaved stream, and the
    // slices' pic_parameter_set_id must stay untouched.
    for (uint32_t id : dep.ppsIds)
        if (base.ppsIds.count(id))
            throw BitstreamError("both eyes use PPS id " + std::to_string(id) +
                                 "; encode the dependent eye with another id (x264 --sps-id)");

    MvcComposition out;
    const SpsData& baseSps = base.sps.begin()->second;
    out.width =
        static_cast<int>((baseSps.picWidthInMbsMinus1 + 1) * 16 - 2 * (baseSps.cropLeft + baseSps.cropRight));
    out.height = static_cast<int>((baseSps.picHeightInMapUnitsMinus1 + 1) * 16 -
                                  2 * (baseSps.cropTop + baseSps.cropBottom));
    const Bytes subsetSpsNal = makeSubsetSpsNal(stereoSubsetSps(dep.sps.begin()->second));

    const std::vector<int32_t> basePocs = picOrderCounts(base);
    const std::vector<int32_t> depPocs = picOrderCounts(dep);

    for (size_t au = 0; au < base.units.size(); ++au) {
        const EyeAccessUnit& b = base.units[au];
        const EyeAccessUnit& d = dep.units[au];
        const std::vector<char> baseLetters = sliceLetters(b);
        const std::vector<char> depLetters = sliceLetters(d);
        if (b.slices.front().isIdr != d.slices.front().isIdr || baseLetters != depLetters ||
            basePocs[au] != depPocs[au] || b.slices.front().frameNum != d.slices.front().frameNum)
            throw BitstreamError("access unit " + std::to_string(au) +
                                 ": the eyes differ in picture type, frame_num or POC");

        AccessUnitInfo info;
        info.decodeIndex = au;
        info.isIdr = b.slices.front().isIdr;
        info.sliceLetter = baseLetters.front();
        info.picOrderCnt = basePocs[au];

        // Base view: our own AUD, then everything x264 wrote except its AUDs.
        info.baseOffset = out.base.size();
        const uint8_t aud[] = {0x09, static_cast<uint8_t>((primaryPicType(baseLetters) << 5) | 0x10)};
        appendWithStartCode(out.base, aud);
        for (const NalUnit& nal : b.nals) {
            if (nal.type() == 9) continue;
            if (nal.type() == 7 && out.baseSps.empty()) out.baseSps = nal.bytes;
            if (nal.type() == 8 && out.basePps.empty()) out.basePps = nal.bytes;
            appendWithStartCode(out.base, nal.bytes);
        }
        info.baseSize = out.base.size() - info.baseOffset;

        // Dependent view: delimiter, subset SPS in place of the SPS, the PPS
        // unchanged, slices as coded slice extensions. Its SEI describes a
        // standalone AVC stream and would be taken for the base view's, so it goes.
        info.dependentOffset = out.dependent.size();
        const uint8_t delimiter[] = {0x18, static_cast<uint8_t>((primaryPicType(depLetters) << 5) | 0x10)};
        appendWithStartCode(out.dependent, delimiter);
        const bool allIntra =
            std::all_of(depLetters.begin(), depLetters.end(), [](char c) { return c == 'I'; });
        for (size_t i = 0; i < d.nals.size(); ++i) {
            const NalUnit& nal = d.nals[i];
            switch (nal.type()) {
            case 7:
                appendWithStartCode(out.dependent, subsetSpsNal);
                break;
            case 8:
                appendWithStartCode(out.dependent, nal.bytes);
                break;
            case 1:
            case 5: {
                MvcNalHeader header;
                header.nalRefIdc = nal.refIdc();
                header.nonIdr = nal.type() == 1;
                header.viewId = 1;
                // An IDR, or an I picture others may start from (open GOP),
                // is an anchor: it predicts from nothing earlier in decoding order.
                header.anchorPic = nal.type() == 5 || (nal.refIdc() != 0 && allIntra);
                info.isAnchor = header.anchorPic;
                header.interView = false;
                const auto head = encodeSliceExtensionHeader(header);
                Bytes slice(head.begin(), head.end());
                slice.insert(slice.end(), nal.bytes.begin() + 1, nal.bytes.end());
                appendWithStartCode(out.dependent, slice);
                break;
            }
            case 6:
            case 9:
                break;
            default:
                throw BitstreamError(where("dependent eye", au, i) + "unexpected NAL unit type " +
                                     std::to_string(nal.type()));
            }
        }
        info.dependentSize = out.dependent.size() - info.dependentOffset;

        // Interleaved: both AUs without their leading delimiters (6 bytes each).
        out.interleaved.insert(out.interleaved.end(),
                               out.base.begin() + static_cast<std::ptrdiff_t>(info.baseOffset + 6),
                               out.base.end());
        out.interleaved.insert(out.interleaved.end(),
                               out.dependent.begin() + static_cast<std::ptrdiff_t>(info.dependentOffset + 6),
                               out.dependent.end());
        out.units.push_back(info);
    }

    // Display order: rank by POC inside each IDR period.
    size_t periodStart = 0;
    while (periodStart < out.units.size()) {
        size_t periodEnd = periodStart + 1;
        while (periodEnd < out.units.size() && !out.units[periodEnd].isIdr)
            ++periodEnd;
        std::vector<size_t> order;
        for (size_t i = periodStart; i < periodEnd; ++i)
            order.push_back(i);
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            return out.units[a].picOrderCnt < out.units[b].picOrderCnt;
        });
        for (size_t rank = 0; rank < order.size(); ++rank)
            out.units[order[rank]].displayIndex = periodStart + rank;
        periodStart = periodEnd;
    }
    int64_t delay = 0;
    for (const auto& unit : out.units)
        delay = std::max<int64_t>(delay, static_cast<int64_t>(unit.decodeIndex) -
                                             static_cast<int64_t>(unit.displayIndex));
    for (auto& unit : out.units) {
        unit.dts = firstDts90k + frameTime90k(static_cast<int64_t>(unit.decodeIndex), rate);
        unit.pts = firstDts90k + frameTime90k(static_cast<int64_t>(unit.displayIndex) + delay, rate);
    }
    return out;
}

std::string describeAccessUnits(const MvcComposition& composition) {
    std::ostringstream text;
    text << "# decode display idr slice pts dts base_offset base_size dependent_offset dependent_size "
            "anchor\n";
    for (const auto& u : composition.units)
        text << u.decodeIndex << ' ' << u.displayIndex << ' ' << (u.isIdr ? 1 : 0) << ' ' << u.sliceLetter
             << ' ' << u.pts << ' ' << u.dts << ' ' << u.baseOffset << ' ' << u.baseSize << ' '
             << u.dependentOffset << ' ' << u.dependentSize << ' ' << (u.isAnchor ? 1 : 0) << '\n';
    return text.str();
}

} // namespace kit
