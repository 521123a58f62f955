#include "Decoder.h"

#include <algorithm>
#include <cstring>

#include "CabacTables.h"
#include "SliceDecoder.h"

namespace duoscope::h264 {

Decoder::Decoder(DecoderCallbacks callbacks)
    : callbacks_(std::move(callbacks)), slices_(std::make_unique<SliceDecoder>()) {
    // Pictures are told apart by id; the other decoder's base pictures must never
    // share one with this decoder's own.
    if (callbacks_.views == ViewSelection::DependentOnly) nextPictureId_ = 1 << 30;
}

Decoder::~Decoder() = default;

void Decoder::noteConcealed(int view) {
    if (view < 0 || view > 1 || lastConcealed_[view] == accessUnit_) return;
    lastConcealed_[view] = accessUnit_;
    if (callbacks_.onConcealed) callbacks_.onConcealed(view, accessUnit_);
}

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
        case h264nal::sequenceParameterSet: {
            Sps sps = parseSps(br);
            if (sps.widthMbs * sps.heightMbs > callbacks_.maxPictureMacroblocks)
                throw UnsupportedFeature("picture size " + std::to_string(sps.width()) + "x" +
                                         std::to_string(sps.height()) + " above the decoder's limit");
            sps_[static_cast<size_t>(sps.id)] = sps;
            break;
        }
        case h264nal::subsetSequenceParameterSet: {
            Sps sps;
            try {
                sps = parseSubsetSps(br);
            } catch (const UnsupportedFeature&) {
                // The base view alone never depends on the other views' parameters.
                if (callbacks_.views == ViewSelection::BaseOnly) break;
                throw;
            }
            if (sps.widthMbs * sps.heightMbs > callbacks_.maxPictureMacroblocks)
                throw UnsupportedFeature("picture size " + std::to_string(sps.width()) + "x" +
                                         std::to_string(sps.height()) + " above the decoder's limit");
            if (sps.numViews == 2) baseViewId_ = sps.viewIds[0];
            subsetSps_[static_cast<size_t>(sps.id)] = sps;
            break;
        }
        case h264nal::pictureParameterSet: {
            // One PPS id may serve both views (each through its own SPS table),
            // so the PPS is read against both; a side whose SPS is missing stays invalid.
            std::string error;
            uint32_t id = br.ue();
            if (id >= 256 || br.hasError()) throw BitstreamError("invalid pic_parameter_set_id");
            ppsRbsp_[id] = rbsp_;
            for (int table = 0; table < 2; ++table) {
                br.reset(rbsp_.data(), rbsp_.size());
                Pps& slot = (table == 0 ? pps_ : ppsMvc_)[id];
                try {
                    slot = parsePps(br, table == 0 ? sps_ : subsetSps_);
                } catch (const BitstreamError& e) {
                    error = e.what();
                    slot.isValid = false;
                }
            }
            // Without its SPS yet, the PPS waits in ppsRbsp_ for the first slice that uses it.
            if (!pps_[id].isValid && !ppsMvc_[id].isValid && error.find("missing SPS") == std::string::npos)
                throw BitstreamError(error);
            break;
        }
        case h264nal::slice:
        case h264nal::idrSlice:
        case h264nal::sliceExtension:
            decodeSlice(nal, rbsp_, byteOffset);
            break;
        case h264nal::prefix:
            prefix_ = nal;
            hasPrefix_ = nal.hasMvcExtension;
            break;
        case h264nal::partitionA:
        case 3:
        case 4:
            throw UnsupportedFeature("data partitioning (Extended profile)");
        case h264nal::accessUnitDelimiter:
        case h264nal::endOfSequence:
        case h264nal::endOfStream:
            endAccessUnit();
            break;
        default:
            // SEI, filler, the dependent-view delimiter (24) and the rest carry nothing to decode.
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

// A concealed picture: a copy of `source` (as much of it as fits) or mid-grey,
// every macroblock intra without references, so that nothing predicts motion
// from it.
void fillConcealed(Picture& pic, const Picture* source) {
    if (source)
        std::memcpy(pic.storage.data(), source->storage.data(),
                    std::min(pic.storage.size(), source->storage.size()));
    else
        std::memset(pic.storage.data(), 128, pic.storage.size());
    for (MbMotion& m : pic.motion) {
        m = MbMotion{};
        m.isIntra = true;
        std::memset(&m.ref[0][0], -1, sizeof(m.ref));
    }
}

} // namespace

void Decoder::decodeSlice(NalHeader nal, std::vector<uint8_t>& rbsp, uint64_t byteOffset) {
    BitReader br(rbsp.data(), rbsp.size());
    bool extension = nal.type == h264nal::sliceExtension;
    if (extension && !nal.hasMvcExtension) return; // scalable (SVC) layers are not decoded
    {
        // A PPS that came before the (subset) SPS it names is read again now.
        br.ue();
        br.ue();
        uint32_t id = br.ue();
        std::array<Pps, 256>& table = extension ? ppsMvc_ : pps_;
        if (id < 256 && !table[id].isValid && !ppsRbsp_[id].empty()) {
            BitReader ppsReader(ppsRbsp_[id].data(), ppsRbsp_[id].size());
            try {
                table[id] = parsePps(ppsReader, extension ? subsetSps_ : sps_);
            } catch (const BitstreamError&) {
            }
        }
        br.reset(rbsp.data(), rbsp.size());
    }
    SliceHeader sh = extension ? parseSliceHeader(br, nal, subsetSps_, ppsMvc_, true)
                               : parseSliceHeader(br, nal, sps_, pps_, false);
    if (sh.redundantPicCnt > 0) return; // primary pictures are always present here
    const Pps& pps = (extension ? ppsMvc_ : pps_)[static_cast<size_t>(sh.ppsId)];
    const Sps& sps = (extension ? subsetSps_ : sps_)[static_cast<size_t>(pps.spsId)];
    int view = 0;
    if (extension) {
        if (sps.numViews != 2 || nal.viewId != sps.viewIds[1]) {
            if (sps.numViews == 2 && !warnedUnknownView_)
                warn("slices of view_id " + std::to_string(nal.viewId) + " not in the subset SPS skipped");
            warnedUnknownView_ = true;
            return;
        }
        view = 1;
        multiview_ = true;
    } else {
        // The base view's MVC header comes from its prefix NAL unit; without one,
        // the base picture may serve as an inter-view reference.
        nal.viewId = baseViewId_;
        nal.interViewFlag = hasPrefix_ ? prefix_.interViewFlag : true;
        nal.anchorPic = hasPrefix_ ? prefix_.anchorPic : sh.isIdr;
        hasPrefix_ = false;
    }
    if (pps.cabac && !kCabacTablesComplete) throw UnsupportedFeature("CABAC entropy coding");
    ViewState& vs = views_[static_cast<size_t>(view)];
    bool newPicture =
        !vs.inPicture || sh.firstMb == 0 || isNewPicture(vs.firstSlice, vs.firstNal, sh, nal, sps);
    if (newPicture) {
        // A base picture opens an access unit; so does a second picture of one view.
        if (view == 0 || auHas_[view] || !auOpen_) {
            endAccessUnit();
            ++accessUnit_;
            auOpen_ = true;
        }
        auHas_[view] = true;
        vs.firstSlice = sh;
        vs.firstNal = nal;
        vs.inPicture = true;
    } else if (current_ && currentView_ == view && sh.firstMb <= lastMbDecoded_) {
        // Only Baseline (without constraint_set1) and Extended streams may send a
        // picture's slices out of order; anywhere else a slice that starts behind
        // the ones decoded is damaged (a flipped first_mb_in_slice, a repeated
        // slice) and is dropped, its area concealed with the picture.
        bool asoAllowed = (sps.profileIdc == 66 && (sps.constraintFlags & 0x40) == 0) || sps.profileIdc == 88;
        if (asoAllowed) throw UnsupportedFeature("arbitrary slice order (ASO)");
        warn("slice at byte " + std::to_string(byteOffset) + " starts at macroblock " +
             std::to_string(sh.firstMb) + ", behind those decoded; slice skipped");
        return;
    }
    // A slice of the other view ends the current picture; a base-only decoder
    // thereby hands its base picture over as early as it can.
    if (current_ && (newPicture || currentView_ != view)) finishPicture();
    bool skip = (callbacks_.views == ViewSelection::BaseOnly && view == 1) ||
                (callbacks_.views == ViewSelection::DependentOnly && view == 0);
    if (skip) return;
    if (!current_) {
        if (!newPicture) return; // the rest of a picture that was already finished
        startPicture(sh, nal, sps, view);
    }
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
        if (pic == current_ || pic->pins.load(std::memory_order_acquire) > 0) continue;
        bool held = false;
        for (const ViewState& v : views_) {
            held |= std::find(v.dpb.begin(), v.dpb.end(), pic) != v.dpb.end();
            held |= std::find(v.ready.begin(), v.ready.end(), pic) != v.ready.end();
        }
        if (!held) {
            pic->allocate(width, height);
            return pic;
        }
    }
    pool_.push_back(std::make_unique<Picture>());
    pool_.back()->allocate(width, height);
    return pool_.back().get();
}

void Decoder::startPicture(const SliceHeader& sh, const NalHeader& nal, const Sps& sps, int view) {
    ViewState& vs = views_[static_cast<size_t>(view)];
    // A new picture size starts afresh: nothing of another size can be referenced
    // (the SPS under the same id may have been replaced, so look at the pictures).
    bool sizeChanged = false;
    for (Picture* p : vs.dpb)
        sizeChanged |= p->width != sps.width() || p->height != sps.height();
    if (sizeChanged) {
        bump(vs, true);
        for (Picture* p : vs.dpb)
            p->isShortRef = p->isLongRef = false;
        releaseUnused();
        vs.dpb.clear();
    }
    currentView_ = view;
    currentSps_ = sps;
    vs.sps = sps;
    vs.hasSps = true;
    if (view == 1 && callbacks_.views == ViewSelection::DependentOnly && !interViewFetched_) {
        interView_ = callbacks_.interViewPicture ? callbacks_.interViewPicture(accessUnit_) : nullptr;
        interViewFetched_ = true;
    }
    if (!sh.isIdr) handleFrameNumGap(sh, sps);
    Picture* pic = acquirePicture(sps.width(), sps.height());
    pic->id = nextPictureId_++;
    pic->viewId = nal.viewId;
    pic->viewIndex = view;
    pic->cropLeft = sps.cropLeft;
    pic->cropTop = sps.cropTop;
    pic->visibleWidth = sps.croppedWidth();
    pic->visibleHeight = sps.croppedHeight();
    pic->interViewFlag = nal.interViewFlag;
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
    if (!sh.isIdr && !vs.hasSeenIdr && vs.dpb.empty() && sh.sliceType != kSliceI &&
        !(view == 1 && interView_))
        warn("stream does not start with an IDR picture; references are concealed");
}

void Decoder::computePoc(const SliceHeader& sh, const Sps& sps, Picture& pic) {
    ViewState& vs = views_[static_cast<size_t>(currentView_)];
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
    ViewState& vs = views_[static_cast<size_t>(currentView_)];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    if (!vs.hasSeenIdr && vs.dpb.empty()) return;
    if (sh.frameNum == vs.prevRefFrameNum || sh.frameNum == (vs.prevRefFrameNum + 1) % maxFrameNum) return;
    int missing = (sh.frameNum - vs.prevRefFrameNum - 1 + maxFrameNum) % maxFrameNum;
    if (!sps.gapsInFrameNumAllowed) {
        warn(std::to_string(missing) + " reference picture(s) missing before frame_num " +
             std::to_string(sh.frameNum) + "; concealed with the previous picture");
        noteConcealed(currentView_);
    }
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
        pic->viewId = vs.firstNal.viewId;
        pic->viewIndex = currentView_;
        pic->cropLeft = sps.cropLeft;
        pic->cropTop = sps.cropTop;
        pic->visibleWidth = sps.croppedWidth();
        pic->visibleHeight = sps.croppedHeight();
        pic->interViewFlag = false;
        pic->frameNum = fn;
        pic->poc = source ? source->poc : 0;
        pic->isIdr = false;
        pic->isLongRef = false;
        pic->isNeededForOutput = false;
        pic->isConcealed = true;
        pic->decodeIndex = decodeIndex_++;
        fillConcealed(*pic, source);
        // Sliding window against the frame being inserted (8.2.5.2).
        for (Picture* p : vs.dpb)
            p->frameNumWrap = p->frameNum > fn ? p->frameNum - maxFrameNum : p->frameNum;
        slidingWindow(vs, sps);
        pic->isShortRef = true;
        vs.dpb.push_back(pic);
        source = pic;
        releaseUnused();
        while (static_cast<int>(vs.dpb.size()) > sps.dpbFrames(multiview_ ? 2 : 1) + 1) {
            size_t before = vs.dpb.size();
            bump(vs, false);
            if (vs.dpb.size() == before) break;
        }
    }
}

void Decoder::slidingWindow(ViewState& vs, const Sps& sps) {
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
    ViewState& vs = views_[static_cast<size_t>(currentView_)];
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
        slidingWindow(vs, sps);
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
    if (refs >= std::max(sps.maxNumRefFrames, 1) && sh.adaptiveRefPicMarking) slidingWindow(vs, sps);
}

void Decoder::buildRefLists(const SliceHeader& sh, const Sps& sps, std::vector<Picture*> lists[2]) {
    ViewState& vs = views_[static_cast<size_t>(currentView_)];
    int maxFrameNum = 1 << sps.log2MaxFrameNum;
    std::vector<Picture*> shortRefs, longRefs;
    // An IDR picture of the second view predicts from the other view only: the
    // pictures before it are no references any more, although still marked.
    for (Picture* p : vs.dpb) {
        if (sh.isIdr) break;
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
        // The exchange looks at the temporal entries only: inter-view entries come after it.
        if (lists[1].size() > 1 && lists[1] == lists[0]) std::swap(lists[1][0], lists[1][1]);
    }
    // Second view: the base picture of this access unit, when the SPS names it as
    // an inter-view reference of this list and it may serve as one (Annex H).
    const std::vector<int>* viewRefs = currentNal_.anchorPic ? sps.anchorRefs : sps.nonAnchorRefs;
    Picture* interView = nullptr;
    if (currentView_ == 1 && interView_ && interView_->interViewFlag &&
        interView_->width == current_->width && interView_->height == current_->height)
        interView = interView_;
    auto interViewFor = [&](int viewId) {
        return interView && interView->viewId == viewId ? interView : nullptr;
    };
    if (currentView_ == 1)
        for (int l = 0; l < (sh.sliceType == kSliceB ? 2 : 1); ++l)
            for (int viewId : viewRefs[l])
                if (Picture* p = interViewFor(viewId)) lists[l].push_back(p);
    auto sameView = [&](const Picture* p) { return p && p->viewIndex == currentView_; };
    bool missing = false;
    for (int l = 0; l < (sh.sliceType == kSliceB ? 2 : 1); ++l) {
        std::vector<Picture*>& list = lists[l];
        size_t active = static_cast<size_t>(sh.numRefIdxActive[l]);
        if (list.size() > active) list.resize(active);
        list.resize(active + 1, nullptr);
        int picNumPred = sh.frameNum;
        int viewIdxPred = -1;
        size_t refIdx = 0;
        auto insert = [&](Picture* target, auto isDuplicate) {
            if (!target) missing = true;
            for (size_t c = active; c > refIdx; --c)
                list[c] = list[c - 1];
            list[refIdx++] = target;
            size_t n = refIdx;
            for (size_t c = refIdx; c <= active; ++c)
                if (!(list[c] && isDuplicate(list[c]))) list[n++] = list[c];
        };
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
                insert(target,
                       [&](Picture* p) { return sameView(p) && p->isShortRef && p->frameNumWrap == picNum; });
            } else if (mod.idc == 2) {
                for (Picture* p : longRefs)
                    if (p->longTermFrameIdx == static_cast<int>(mod.value)) target = p;
                insert(target, [&](Picture* p) {
                    return sameView(p) && p->isLongRef && p->longTermFrameIdx == static_cast<int>(mod.value);
                });
            } else if (mod.idc == 4 || mod.idc == 5) {
                // modification_of_pic_nums_idc 4/5 (Annex H): an index into the SPS's inter-view references,
                // wrapped.
                int count = static_cast<int>(viewRefs[l].size());
                if (count == 0) {
                    insert(nullptr, [](Picture*) { return false; });
                    continue;
                }
                int diff = static_cast<int>(std::min<uint32_t>(mod.value, 1u << 20)) + 1;
                int idx = mod.idc == 4 ? viewIdxPred - diff : viewIdxPred + diff;
                idx = ((idx % count) + count) % count;
                viewIdxPred = idx;
                target = interViewFor(viewRefs[l][static_cast<size_t>(idx)]);
                insert(target, [&](Picture* p) { return target && p == target; });
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
        if (!fallback) fallback = interView;
        for (Picture*& p : list) {
            if (p) continue;
            missing = true;
            p = fallback ? fallback : current_;
        }
    }
    if (missing && (vs.hasSeenIdr || interView)) {
        warn("missing reference picture for frame_num " + std::to_string(sh.frameNum) +
             (currentView_ == 1 ? " of the second view" : "") + "; concealed");
        noteConcealed(currentView_);
    }
}

void Decoder::finishPicture() {
    if (!current_) return;
    ViewState& vs = views_[static_cast<size_t>(currentView_)];
    const Sps& sps = currentSps_;
    Picture* pic = current_;
    Picture* concealRef = nullptr;
    for (Picture* p : vs.dpb)
        if (p->isRef() && (!concealRef || p->decodeIndex > concealRef->decodeIndex)) concealRef = p;
    if (!concealRef && currentView_ == 1 && interView_ && interView_->width == pic->width &&
        interView_->height == pic->height)
        concealRef = interView_;
    int concealed = slices_->concealMissing(concealRef);
    if (concealed > 0) {
        warn(std::to_string(concealed) + " macroblock(s) of picture " + std::to_string(picturesDecoded_) +
             " concealed");
        noteConcealed(currentView_);
    }
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
            bump(vs, true);
        }
        releaseUnused();
    }
    pic->isNeededForOutput = true;
    vs.dpb.push_back(pic);
    vs.latest = pic;
    current_ = nullptr;
    ++picturesDecoded_;
    releaseUnused();
    if (currentView_ == 0) {
        interView_ = pic;
        if (callbacks_.views == ViewSelection::BaseOnly && callbacks_.onBasePicture && !basePublished_) {
            pic->pins.fetch_add(1, std::memory_order_release);
            basePublished_ = true;
            callbacks_.onBasePicture(accessUnit_, pic);
        }
    }
}

// Output and the DPB fullness are settled per access unit, after both views
// of it are decoded, so that the two views leave the decoder in lock-step.
void Decoder::endAccessUnit() {
    finishPicture();
    if (!auOpen_) return;
    auOpen_ = false;
    for (auto& v : views_)
        v.inPicture = false;
    if (callbacks_.views == ViewSelection::BaseOnly && callbacks_.onBasePicture && !basePublished_)
        callbacks_.onBasePicture(accessUnit_, nullptr);
    if (callbacks_.views == ViewSelection::DependentOnly && !interViewFetched_) {
        interView_ = callbacks_.interViewPicture ? callbacks_.interViewPicture(accessUnit_) : nullptr;
        interViewFetched_ = true;
    }
    if (multiview_) {
        if (callbacks_.views != ViewSelection::DependentOnly && !auHas_[0]) concealMissingView(0);
        if (callbacks_.views != ViewSelection::BaseOnly && !auHas_[1] && views_[1].hasSps)
            concealMissingView(1);
    }
    if (callbacks_.views == ViewSelection::DependentOnly && interView_)
        interView_->pins.fetch_sub(1, std::memory_order_release);
    interView_ = nullptr;
    interViewFetched_ = false;
    basePublished_ = false;
    auHas_[0] = auHas_[1] = false;
    for (auto& v : views_)
        bumpForSpace(v);
    emitReady(false);
}

// An access unit without a picture of one view still yields one for it, so the
// views stay paired: the base picture of the access unit for a lost second
// view, the latest base picture for a lost base view.
void Decoder::concealMissingView(int view) {
    ViewState& vs = views_[static_cast<size_t>(view)];
    const Picture* source = view == 1 ? interView_ : vs.latest;
    if (!vs.hasSps && !source) return;
    int width = vs.hasSps ? vs.sps.width() : source->width;
    int height = vs.hasSps ? vs.sps.height() : source->height;
    if (source && (source->width != width || source->height != height)) source = nullptr;
    warn("access unit " + std::to_string(accessUnit_) + " has no picture of the " +
         (view == 0 ? "base view" : "second view") + "; concealed");
    noteConcealed(view);
    Picture* pic = acquirePicture(width, height);
    pic->id = nextPictureId_++;
    pic->viewId = view == 0 ? baseViewId_ : vs.firstNal.viewId;
    pic->viewIndex = view;
    pic->cropLeft = vs.hasSps ? vs.sps.cropLeft : source->cropLeft;
    pic->cropTop = vs.hasSps ? vs.sps.cropTop : source->cropTop;
    pic->visibleWidth = vs.hasSps ? vs.sps.croppedWidth() : source->visibleWidth;
    pic->visibleHeight = vs.hasSps ? vs.sps.croppedHeight() : source->visibleHeight;
    pic->interViewFlag = false;
    pic->poc = view == 1 && interView_ ? interView_->poc : vs.latest ? vs.latest->poc + 1 : 0;
    pic->isShortRef = pic->isLongRef = false;
    pic->isIdr = pic->hasMmco5 = false;
    pic->isConcealed = true;
    pic->decodeIndex = decodeIndex_++;
    fillConcealed(*pic, source);
    pic->isNeededForOutput = true;
    vs.dpb.push_back(pic);
    vs.latest = pic;
}

void Decoder::bumpForSpace(ViewState& vs) {
    if (!vs.hasSps) return;
    int dpbSize = vs.sps.dpbFrames(multiview_ ? 2 : 1);
    int reorder = vs.sps.maxNumReorderFrames >= 0 ? vs.sps.maxNumReorderFrames : dpbSize;
    for (;;) {
        int waiting = 0;
        for (Picture* p : vs.dpb)
            waiting += p->isNeededForOutput;
        if (waiting == 0) break;
        if (static_cast<int>(vs.dpb.size()) <= dpbSize && waiting <= reorder) break;
        bump(vs, false);
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

void Decoder::bump(ViewState& vs, bool flushAll) {
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
    views_[static_cast<size_t>(pic->viewIndex)].ready.push_back(pic);
}

void Decoder::emitReady(bool flushing) {
    auto emit = [&](int view) {
        ViewState& vs = views_[static_cast<size_t>(view)];
        Picture* pic = vs.ready.front();
        vs.ready.pop_front();
        if (callbacks_.onPicture)
            callbacks_.onPicture(OutputPicture{pic, pic->viewId, pic->cropLeft, pic->cropTop,
                                               pic->visibleWidth, pic->visibleHeight});
    };
    std::deque<Picture*>& base = views_[0].ready;
    std::deque<Picture*>& second = views_[1].ready;
    if (!multiview_ || callbacks_.views != ViewSelection::All) {
        while (!base.empty())
            emit(0);
        while (!second.empty())
            emit(1);
        return;
    }
    while (!base.empty() && !second.empty()) {
        emit(0);
        emit(1);
    }
    // Only a damaged stream lets one view run ahead; never hold more than a few pictures for it.
    constexpr size_t kMaxAhead = 8;
    while (base.size() > (flushing ? 0 : kMaxAhead))
        emit(0);
    while (second.size() > (flushing ? 0 : kMaxAhead))
        emit(1);
}

void Decoder::releaseUnused() {
    for (ViewState& vs : views_)
        vs.dpb.erase(std::remove_if(vs.dpb.begin(), vs.dpb.end(),
                                    [](Picture* p) { return !p->isRef() && !p->isNeededForOutput; }),
                     vs.dpb.end());
}

void Decoder::flush() {
    endAccessUnit();
    for (auto& v : views_)
        bump(v, true);
    releaseUnused();
    emitReady(true);
}

} // namespace duoscope::h264
