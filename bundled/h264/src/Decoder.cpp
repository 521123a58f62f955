#include "Decoder.h"

#include <algorithm>
#include <cstring>

#include "CabacTables.h"
#include "SliceDecoder.h"

namespace duoscope::h264 {

Decoder::Decoder(DecoderCallbacks callbacks)
    : callbacks_(std::move(callbacks)), slices_(std::make_unique<SliceDecoder>()) {}

Decoder::~Decoder() = default;

void Decoder::warn(const std::string& text) {
    if (warningsLeft_ <= 0) return;
    if (--warningsLeft_ == 0) {
        if (callbacks_.onWarning) callbacks_.onWarning("Warning: further warnings suppressed");
        return;
    }
    if (callbacks_.onWarning) callbacks_.onWarning("Warning: " + text);
}

void Decoder::decodeNal(const uint8_t* data, size_t size, uint64_t byteOffset) {
    NalHeader nal;
    if (!parseNalUnit(data, size, nal, rbsp_)) {
        warn("malformed NAL unit header at byte " + std::to_string(byteOffset));
        return;
    }
    BitReader br(rbsp_.data(), rbsp_.size());
    try {
        switch (nal.type) {
        case kNalSps: {
            Sps sps = parseSps(br);
            if (sps.widthMbs * sps.heightMbs > callbacks_.maxPictureMacroblocks)
                throw UnsupportedFeature("picture size " + std::to_string(sps.width()) + "x" +
                                         std::to_string(sps.height()) + " above the decoder's limit");
            sps_[static_cast<size_t>(sps.id)] = sps;
            break;
        }
        case kNalSubsetSps: {
            // Only seq_parameter_set_data is read: MVC picture parameter sets refer to it.
            try {
                Sps sps = parseSps(br);
                subsetSps_[static_cast<size_t>(sps.id)] = sps;
            } catch (const UnsupportedFeature&) {
                // The base view never depends on a non-base view's parameters.
            }
            break;
        }
        case kNalPps: {
            Pps pps;
            try {
                pps = parsePps(br, sps_);
            } catch (const BitstreamError&) {
                br.reset(rbsp_.data(), rbsp_.size());
                pps = parsePps(br, subsetSps_);
            }
            pps_[static_cast<size_t>(pps.id)] = pps;
            break;
        }
        case kNalSlice:
        case kNalIdr:
            decodeSlice(nal, rbsp_, byteOffset);
            break;
        case kNalPartitionA:
        case 3:
        case 4:
            throw UnsupportedFeature("data partitioning (Extended profile)");
        case kNalAud:
        case kNalEndSeq:
        case kNalEndStream:
            finishPicture();
            break;
        default:
            // SEI, filler, prefix NAL units and the MVC extension are not needed for the base view.
            break;
        }
    } catch (const BitstreamError& e) {
        warn(std::string(e.what()) + " (NAL type " + std::to_string(nal.type) + " at byte " +
             std::to_string(byteOffset) + ")");
    }
}

namespace {

bool isNewPicture(const SliceHeader& a, const NalHeader& na, const SliceHeader& b, const NalHeader& nb,
                  const Sps& sps) {
    if (a.frameNum != b.frameNum || a.ppsId != b.ppsId) return true;
    if ((na.refIdc == 0) != (nb.refIdc == 0)) return true;
    if (sps.pocType == 0 && (a.pocLsb != b.pocLsb || a.deltaPocBottom != b.deltaPocBottom)) return true;
    if (sps.pocType == 1 && (a.deltaPoc[0] != b.deltaPoc[0] || a.deltaPoc[1] != b.deltaPoc[1])) return true;
    if (a.isIdr != b.isIdr) return true;
    if (a.isIdr && b.isIdr && a.idrPicId != b.idrPicId) return true;
    if (na.viewId != nb.viewId) return true;
    return false;
}

} // namespace

void Decoder::decodeSlice(const NalHeader& nal, std::vector<uint8_t>& rbsp, uint64_t byteOffset) {
    BitReader br(rbsp.data(), rbsp.size());
    SliceHeader sh = parseSliceHeader(br, nal, sps_, pps_, false);
    if (sh.redundantPicCnt > 0) return; // primary pictures are always present here
    const Pps& pps = pps_[static_cast<size_t>(sh.ppsId)];
    const Sps& sps = sps_[static_cast<size_t>(pps.spsId)];
    if (pps.cabac && !kCabacTablesComplete) throw UnsupportedFeature("CABAC entropy coding");
    if (current_) {
        const Sps& curSps = sps_[static_cast<size_t>(currentSpsId_)];
        if (isNewPicture(firstSlice_, currentNal_, sh, nal, curSps) || sh.firstMb == 0) {
            finishPicture();
        } else if (sh.firstMb <= lastMbDecoded_) {
            throw UnsupportedFeature("arbitrary slice order (ASO)");
        }
    }
    if (!current_) startPicture(sh, nal, sps, pps);
    std::vector<Picture*> lists[2];
    if (sh.sliceType != kSliceI) buildRefLists(sh, sps, lists);
    int sliceIndex = static_cast<int>(slices_->sliceParams_.size());
    slices_->sliceParams_.push_back({sh.disableDeblocking,
                                     sh.alphaOffset,
                                     sh.betaOffset,
                                     {pps.chromaQpIndexOffset, pps.secondChromaQpIndexOffset}});
    br.reset(rbsp.data(), rbsp.size());
    br.skip(static_cast<int>(std::min<size_t>(sh.headerBits, 1u << 30)));
    slices_->missingDirectRef_ = false;
    try {
        slices_->decodeSlice(sh, sps, pps, br, lists, sliceIndex);
    } catch (const BitstreamError& e) {
        warn(std::string(e.what()) + " (slice at byte " + std::to_string(byteOffset) +
             "); rest of the slice concealed");
    }
    lastMbDecoded_ = std::max(lastMbDecoded_, slices_->lastMb());
    ++sliceCount_;
}

Picture* Decoder::acquirePicture(int width, int height) {
    for (auto& p : pool_) {
        Picture* pic = p.get();
        if (pic == current_) continue;
        bool held = false;
        for (const ViewState& v : views_)
            held |= std::find(v.dpb.begin(), v.dpb.end(), pic) != v.dpb.end();
        if (!held) {
            pic->allocate(width, height);
            return pic;
        }
    }
    pool_.push_back(std::make_unique<Picture>());
    pool_.back()->allocate(width, height);
    return pool_.back().get();
}

void Decoder::startPicture(const SliceHeader& sh, const NalHeader& nal, const Sps& sps, const Pps& pps) {
    (void)pps;
    ViewState& vs = views_[0];
    // A new picture size starts afresh: nothing of another size can be referenced
    // (the SPS under the same id may have been replaced, so look at the pictures).
    bool sizeChanged = false;
    for (Picture* p : vs.dpb)
        sizeChanged |= p->width != sps.width() || p->height != sps.height();
    if (sizeChanged) {
        bump(true);
        for (Picture* p : vs.dpb)
            p->isShortRef = p->isLongRef = false;
        releaseUnused();
        vs.dpb.clear();
    }
    activeSpsId_ = pps.spsId;
    currentSpsId_ = pps.spsId;
    if (!sh.isIdr) handleFrameNumGap(sh, sps);
    Picture* pic = acquirePicture(sps.width(), sps.height());
    pic->id = nextPictureId_++;
    pic->viewId = nal.viewId;
    pic->frameNum = sh.frameNum;
    pic->isIdr = sh.isIdr;
    pic->isShortRef = pic->isLongRef = false;
    pic->isNeededForOutput = false;
    pic->hasMmco5 = false;
    for (const Mmco& m : sh.mmcos)
        pic->hasMmco5 |= m.op == 5;
    pic->isConcealed = false;
    pic->decodeIndex = decodeIndex_++;
    computePoc(sh, sps, *pic);
    current_ = pic;
    firstSlice_ = sh;
    currentNal_ = nal;
    lastMbDecoded_ = -1;
    sliceCount_ = 0;
    slices_->beginPicture(pic, sps);
    if (!sh.isIdr && !vs.hasSeenIdr && vs.dpb.empty() && sh.sliceType != kSliceI)
        warn("stream does not start with an IDR picture; references are concealed");
}

void Decoder::computePoc(const SliceHeader& sh, const Sps& sps, Picture& pic) {
    ViewState& vs = views_[0];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    if (sps.pocType == 0) {
        int prevMsb = sh.isIdr ? 0 : vs.prevPocMsb;
        int prevLsb = sh.isIdr ? 0 : vs.prevPocLsb;
        int maxLsb = 1 << sps.log2MaxPocLsb;
        int msb;
        if (sh.pocLsb < prevLsb && prevLsb - sh.pocLsb >= maxLsb / 2)
            msb = prevMsb + maxLsb;
        else if (sh.pocLsb > prevLsb && sh.pocLsb - prevLsb > maxLsb / 2)
            msb = prevMsb - maxLsb;
        else
            msb = prevMsb;
        int top = msb + sh.pocLsb;
        int bottom = top + sh.deltaPocBottom;
        pic.poc = std::min(top, bottom);
        pocMsb_ = msb;
        pocTop_ = top;
        pocBottom_ = bottom;
        return;
    }
    int prevOffset = vs.prevHadMmco5 ? 0 : vs.prevFrameNumOffset;
    int offset = sh.isIdr ? 0 : (vs.prevFrameNum > sh.frameNum ? prevOffset + maxFrameNum : prevOffset);
    frameNumOffset_ = offset;
    if (sps.pocType == 1) {
        int n = static_cast<int>(sps.offsetForRefFrame.size());
        int abs = n != 0 ? offset + sh.frameNum : 0;
        if (sh.nalRefIdc == 0 && abs > 0) --abs;
        int expected = 0;
        if (abs > 0) {
            int cycle = (abs - 1) / n, inCycle = (abs - 1) % n;
            int delta = 0;
            for (int v : sps.offsetForRefFrame)
                delta += v;
            expected = cycle * delta;
            for (int i = 0; i <= inCycle; ++i)
                expected += sps.offsetForRefFrame[static_cast<size_t>(i)];
        }
        if (sh.nalRefIdc == 0) expected += sps.offsetForNonRefPic;
        int top = expected + sh.deltaPoc[0];
        int bottom = top + sps.offsetForTopToBottomField + sh.deltaPoc[1];
        pic.poc = std::min(top, bottom);
        pocTop_ = top;
        pocBottom_ = bottom;
    } else {
        int temp = sh.isIdr            ? 0
                   : sh.nalRefIdc == 0 ? 2 * (offset + sh.frameNum) - 1
                                       : 2 * (offset + sh.frameNum);
        pic.poc = temp;
        pocTop_ = pocBottom_ = temp;
    }
}

void Decoder::handleFrameNumGap(const SliceHeader& sh, const Sps& sps) {
    ViewState& vs = views_[0];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    if (!vs.hasSeenIdr && vs.dpb.empty()) return;
    if (sh.frameNum == vs.prevRefFrameNum || sh.frameNum == (vs.prevRefFrameNum + 1) % maxFrameNum) return;
    int missing = (sh.frameNum - vs.prevRefFrameNum - 1 + maxFrameNum) % maxFrameNum;
    if (!sps.gapsInFrameNumAllowed)
        warn(std::to_string(missing) + " reference picture(s) missing before frame_num " +
             std::to_string(sh.frameNum) + "; concealed with the previous picture");
    Picture* source = nullptr;
    for (Picture* p : vs.dpb)
        if (p->isRef() && (!source || p->decodeIndex > source->decodeIndex)) source = p;
    int start = (vs.prevRefFrameNum + 1) % maxFrameNum;
    int createFrom = std::max(0, missing - std::max(1, sps.maxNumRefFrames));
    for (int i = 0; i < missing; ++i) {
        int fn = (start + i) % maxFrameNum;
        if (sps.pocType != 0) {
            if (vs.prevFrameNum > fn) vs.prevFrameNumOffset += maxFrameNum;
            vs.prevFrameNum = fn;
            vs.prevHadMmco5 = false;
        }
        vs.prevRefFrameNum = fn;
        if (i < createFrom) continue;
        Picture* pic = acquirePicture(sps.width(), sps.height());
        pic->id = nextPictureId_++;
        pic->viewId = 0;
        pic->frameNum = fn;
        pic->poc = source ? source->poc : 0;
        pic->isIdr = false;
        pic->isLongRef = false;
        pic->isNeededForOutput = false;
        pic->isConcealed = true;
        pic->decodeIndex = decodeIndex_++;
        if (source)
            std::memcpy(pic->storage.data(), source->storage.data(),
                        std::min(pic->storage.size(), source->storage.size()));
        else
            std::memset(pic->storage.data(), 128, pic->storage.size());
        for (MbMotion& m : pic->motion) {
            m = MbMotion{};
            m.isIntra = true;
            std::memset(&m.ref[0][0], -1, sizeof(m.ref));
        }
        // Sliding window against the frame being inserted (8.2.5.2).
        for (Picture* p : vs.dpb)
            p->frameNumWrap = p->frameNum > fn ? p->frameNum - maxFrameNum : p->frameNum;
        slidingWindow(sps);
        pic->isShortRef = true;
        vs.dpb.push_back(pic);
        source = pic;
        releaseUnused();
        while (static_cast<int>(vs.dpb.size()) > sps.dpbFrames() + 1) {
            size_t before = vs.dpb.size();
            bump(false);
            if (vs.dpb.size() == before) break;
        }
    }
}

void Decoder::slidingWindow(const Sps& sps) {
    ViewState& vs = views_[0];
    for (;;) {
        int shortCount = 0, longCount = 0;
        Picture* oldest = nullptr;
        for (Picture* p : vs.dpb) {
            if (p->isShortRef) {
                ++shortCount;
                if (!oldest || p->frameNumWrap < oldest->frameNumWrap) oldest = p;
            }
            if (p->isLongRef) ++longCount;
        }
        if (shortCount + longCount < std::max(sps.maxNumRefFrames, 1) || !oldest) return;
        oldest->isShortRef = false;
    }
}

void Decoder::markReferences(const SliceHeader& sh, const Sps& sps, Picture& pic) {
    ViewState& vs = views_[0];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    for (Picture* p : vs.dpb)
        p->frameNumWrap = p->frameNum > sh.frameNum ? p->frameNum - maxFrameNum : p->frameNum;
    if (sh.isIdr) {
        for (Picture* p : vs.dpb)
            p->isShortRef = p->isLongRef = false;
        if (sh.longTermReference) {
            pic.isLongRef = true;
            pic.longTermFrameIdx = 0;
            vs.maxLongTermFrameIdx = 0;
        } else {
            pic.isShortRef = true;
            vs.maxLongTermFrameIdx = -1;
        }
        return;
    }
    if (!sh.adaptiveRefPicMarking) {
        slidingWindow(sps);
    } else {
        for (const Mmco& m : sh.mmcos) {
            switch (m.op) {
            case 1: {
                int picNum = sh.frameNum - static_cast<int>(m.diffPicNumsMinus1) - 1;
                for (Picture* p : vs.dpb)
                    if (p->isShortRef && p->frameNumWrap == picNum) p->isShortRef = false;
                break;
            }
            case 2:
                for (Picture* p : vs.dpb)
                    if (p->isLongRef && p->longTermFrameIdx == static_cast<int>(m.longTermPicNum))
                        p->isLongRef = false;
                break;
            case 3: {
                int picNum = sh.frameNum - static_cast<int>(m.diffPicNumsMinus1) - 1;
                for (Picture* p : vs.dpb)
                    if (p->isLongRef && p->longTermFrameIdx == static_cast<int>(m.longTermFrameIdx))
                        p->isLongRef = false;
                for (Picture* p : vs.dpb)
                    if (p->isShortRef && p->frameNumWrap == picNum) {
                        p->isShortRef = false;
                        p->isLongRef = true;
                        p->longTermFrameIdx = static_cast<int>(m.longTermFrameIdx);
                    }
                break;
            }
            case 4:
                vs.maxLongTermFrameIdx = static_cast<int>(m.maxLongTermFrameIdxPlus1) - 1;
                for (Picture* p : vs.dpb)
                    if (p->isLongRef && p->longTermFrameIdx > vs.maxLongTermFrameIdx) p->isLongRef = false;
                break;
            case 5:
                for (Picture* p : vs.dpb)
                    p->isShortRef = p->isLongRef = false;
                vs.maxLongTermFrameIdx = -1;
                break;
            case 6:
                for (Picture* p : vs.dpb)
                    if (p->isLongRef && p->longTermFrameIdx == static_cast<int>(m.longTermFrameIdx))
                        p->isLongRef = false;
                pic.isLongRef = true;
                pic.longTermFrameIdx = static_cast<int>(m.longTermFrameIdx);
                break;
            default:
                break;
            }
        }
    }
    if (!pic.isLongRef) pic.isShortRef = true;
    // A stream that marks more frames than it declared would grow the DPB without bound.
    int refs = 0;
    for (Picture* p : vs.dpb)
        refs += p->isRef();
    if (refs >= std::max(sps.maxNumRefFrames, 1) && sh.adaptiveRefPicMarking) slidingWindow(sps);
}

void Decoder::buildRefLists(const SliceHeader& sh, const Sps& sps, std::vector<Picture*> lists[2]) {
    ViewState& vs = views_[0];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    std::vector<Picture*> shortRefs, longRefs;
    for (Picture* p : vs.dpb) {
        if (p->width != current_->width || p->height != current_->height) continue;
        if (p->isShortRef) {
            p->frameNumWrap = p->frameNum > sh.frameNum ? p->frameNum - maxFrameNum : p->frameNum;
            shortRefs.push_back(p);
        } else if (p->isLongRef) {
            longRefs.push_back(p);
        }
    }
    std::sort(longRefs.begin(), longRefs.end(),
              [](Picture* a, Picture* b) { return a->longTermFrameIdx < b->longTermFrameIdx; });
    int cur = current_->poc;
    if (sh.sliceType == kSliceP) {
        std::sort(shortRefs.begin(), shortRefs.end(),
                  [](Picture* a, Picture* b) { return a->frameNumWrap > b->frameNumWrap; });
        lists[0] = shortRefs;
        lists[0].insert(lists[0].end(), longRefs.begin(), longRefs.end());
    } else {
        std::vector<Picture*> before, after;
        for (Picture* p : shortRefs)
            (p->poc < cur ? before : after).push_back(p);
        std::sort(before.begin(), before.end(), [](Picture* a, Picture* b) { return a->poc > b->poc; });
        std::sort(after.begin(), after.end(), [](Picture* a, Picture* b) { return a->poc < b->poc; });
        lists[0] = before;
        lists[0].insert(lists[0].end(), after.begin(), after.end());
        lists[0].insert(lists[0].end(), longRefs.begin(), longRefs.end());
        lists[1] = after;
        lists[1].insert(lists[1].end(), before.begin(), before.end());
        lists[1].insert(lists[1].end(), longRefs.begin(), longRefs.end());
        if (lists[1].size() > 1 && lists[1] == lists[0]) std::swap(lists[1][0], lists[1][1]);
    }
    bool missing = false;
    for (int l = 0; l < (sh.sliceType == kSliceB ? 2 : 1); ++l) {
        std::vector<Picture*>& list = lists[l];
        size_t active = static_cast<size_t>(sh.numRefIdxActive[l]);
        if (list.size() > active) list.resize(active);
        list.resize(active + 1, nullptr);
        int picNumPred = sh.frameNum;
        size_t refIdx = 0;
        for (const RefPicModification& mod : sh.refPicModification[l]) {
            if (refIdx >= active) break;
            Picture* target = nullptr;
            if (mod.idc == 0 || mod.idc == 1) {
                int diff = static_cast<int>(std::min<uint32_t>(mod.value, 1u << 20)) + 1;
                int noWrap = mod.idc == 0 ? picNumPred - diff : picNumPred + diff;
                noWrap = ((noWrap % maxFrameNum) + maxFrameNum) % maxFrameNum;
                picNumPred = noWrap;
                int picNum = noWrap > sh.frameNum ? noWrap - maxFrameNum : noWrap;
                for (Picture* p : shortRefs)
                    if (p->frameNumWrap == picNum) target = p;
                if (!target) missing = true;
                for (size_t c = active; c > refIdx; --c)
                    list[c] = list[c - 1];
                list[refIdx++] = target;
                size_t n = refIdx;
                for (size_t c = refIdx; c <= active; ++c)
                    if (!(list[c] && list[c]->isShortRef && list[c]->frameNumWrap == picNum))
                        list[n++] = list[c];
            } else if (mod.idc == 2) {
                for (Picture* p : longRefs)
                    if (p->longTermFrameIdx == static_cast<int>(mod.value)) target = p;
                if (!target) missing = true;
                for (size_t c = active; c > refIdx; --c)
                    list[c] = list[c - 1];
                list[refIdx++] = target;
                size_t n = refIdx;
                for (size_t c = refIdx; c <= active; ++c)
                    if (!(list[c] && list[c]->isLongRef &&
                          list[c]->longTermFrameIdx == static_cast<int>(mod.value)))
                        list[n++] = list[c];
            }
        }
        list.resize(active);
        Picture* fallback = nullptr;
        for (Picture* p : list)
            if (p && !fallback) fallback = p;
        if (!fallback) {
            for (Picture* p : vs.dpb)
                if (p->width == current_->width && p->height == current_->height &&
                    (!fallback || p->decodeIndex > fallback->decodeIndex))
                    fallback = p;
        }
        for (Picture*& p : list) {
            if (p) continue;
            missing = true;
            p = fallback ? fallback : current_;
        }
    }
    if (missing && vs.hasSeenIdr)
        warn("missing reference picture for frame_num " + std::to_string(sh.frameNum) + "; concealed");
}

void Decoder::finishPicture() {
    if (!current_) return;
    ViewState& vs = views_[0];
    const Sps& sps = sps_[static_cast<size_t>(currentSpsId_)];
    Picture* pic = current_;
    Picture* concealRef = nullptr;
    for (Picture* p : vs.dpb)
        if (p->isRef() && (!concealRef || p->decodeIndex > concealRef->decodeIndex)) concealRef = p;
    int concealed = slices_->concealMissing(concealRef);
    if (concealed > 0)
        warn(std::to_string(concealed) + " macroblock(s) of picture " + std::to_string(picturesDecoded_) +
             " concealed");
    slices_->deblockPicture();
    const SliceHeader& sh = firstSlice_;
    if (sh.nalRefIdc != 0) markReferences(sh, sps, *pic);
    if (pic->hasMmco5) {
        int temp = std::min(pocTop_, pocBottom_);
        pocTop_ -= temp;
        pocBottom_ -= temp;
        pic->poc = 0;
    }
    if (sps.pocType == 0) {
        if (sh.nalRefIdc != 0) {
            vs.prevPocMsb = pic->hasMmco5 ? 0 : pocMsb_;
            vs.prevPocLsb = pic->hasMmco5 ? pocTop_ : sh.pocLsb;
        }
    } else {
        vs.prevFrameNumOffset = frameNumOffset_;
        vs.prevHadMmco5 = pic->hasMmco5;
        vs.prevFrameNum = pic->hasMmco5 ? 0 : sh.frameNum;
    }
    if (sh.nalRefIdc != 0) vs.prevRefFrameNum = pic->hasMmco5 ? 0 : sh.frameNum;
    if (sh.isIdr) vs.hasSeenIdr = true;
    if (sh.isIdr || pic->hasMmco5) {
        if (sh.isIdr && sh.noOutputOfPriorPics) {
            for (Picture* p : vs.dpb)
                p->isNeededForOutput = false;
        } else {
            bump(true);
        }
        releaseUnused();
    }
    pic->isNeededForOutput = true;
    vs.dpb.push_back(pic);
    current_ = nullptr;
    ++picturesDecoded_;
    releaseUnused();
    int dpbSize = sps.dpbFrames();
    int reorder = sps.maxNumReorderFrames >= 0 ? sps.maxNumReorderFrames : dpbSize;
    for (;;) {
        int waiting = 0;
        for (Picture* p : vs.dpb)
            waiting += p->isNeededForOutput;
        if (waiting == 0) break;
        if (static_cast<int>(vs.dpb.size()) <= dpbSize && waiting <= reorder) break;
        bump(false);
    }
    // Reference frames beyond the DPB size only come from broken marking; drop the oldest.
    while (static_cast<int>(vs.dpb.size()) > dpbSize + 1) {
        Picture* oldest = nullptr;
        for (Picture* p : vs.dpb)
            if (!oldest || p->decodeIndex < oldest->decodeIndex) oldest = p;
        oldest->isShortRef = oldest->isLongRef = false;
        if (oldest->isNeededForOutput) outputPicture(oldest);
        releaseUnused();
    }
}

void Decoder::bump(bool flushAll) {
    ViewState& vs = views_[0];
    do {
        Picture* best = nullptr;
        for (Picture* p : vs.dpb)
            if (p->isNeededForOutput && (!best || p->poc < best->poc)) best = p;
        if (!best) break;
        outputPicture(best);
        releaseUnused();
    } while (flushAll);
}

void Decoder::outputPicture(Picture* pic) {
    pic->isNeededForOutput = false;
    if (!callbacks_.onPicture) return;
    const Sps& sps = sps_[static_cast<size_t>(activeSpsId_ >= 0 ? activeSpsId_ : 0)];
    OutputPicture out{pic, pic->viewId, sps.cropLeft, sps.cropTop, sps.croppedWidth(), sps.croppedHeight()};
    if (sps.width() != pic->width || sps.height() != pic->height)
        out = {pic, pic->viewId, 0, 0, pic->width, pic->height};
    callbacks_.onPicture(out);
}

void Decoder::releaseUnused() {
    for (ViewState& vs : views_)
        vs.dpb.erase(std::remove_if(vs.dpb.begin(), vs.dpb.end(),
                                    [](Picture* p) { return !p->isRef() && !p->isNeededForOutput; }),
                     vs.dpb.end());
}

void Decoder::flush() {
    finishPicture();
    bump(true);
    releaseUnused();
}

} // namespace duoscope::h264
