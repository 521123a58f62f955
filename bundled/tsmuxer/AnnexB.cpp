#include "AnnexB.h"

#include "bitstream/BitReader.h"
#include "bitstream/Rbsp.h"
#include "bitstream/StartCode.h"

#include <algorithm>
#include <cstring>

namespace tsmuxer {
namespace {

// Later access units are trusted not to be presented before the cut once this
// many follow the last one that is; H.264 allows at most 16 reordered frames.
constexpr unsigned kReorderWindow = 32;
// Bytes after a start code needed to classify a NAL unit: header, the MVC
// header extension and the first slice-header byte.
constexpr size_t kHeaderPeek = 5;
constexpr size_t kMaxHeldBytes = 64 * 1024;

// The first Exp-Golomb codes of a parameter set's RBSP: two codes of at most
// 63 bits each fit in 16 RBSP bytes, which 24 payload bytes always hold.
std::vector<uint32_t> leadingCodes(const uint8_t* payload, size_t size, int count) {
    const std::vector<uint8_t> rbsp = bitstream::unescapeRbsp({payload, std::min<size_t>(size, 24)});
    bitstream::BitReader reader(rbsp.data(), rbsp.size());
    std::vector<uint32_t> codes;
    for (int i = 0; i < count; ++i)
        codes.push_back(reader.ue());
    if (reader.hasError()) codes.clear();
    return codes;
}

} // namespace

std::optional<bool> startsPicture(const uint8_t* h, size_t n) {
    uint8_t type = h[0] & 0x1F;
    size_t at = (type == 20 || type == 21) ? 4 : 1;
    if (n <= at) return std::nullopt;
    return (h[at] & 0x80) != 0;
}

std::optional<uint32_t> spsId(const uint8_t* nal, size_t n) {
    if (n < 5) return std::nullopt;
    const auto codes =
        leadingCodes(nal + 4, n - 4, 1); // after header, profile_idc, constraint flags, level_idc
    if (codes.empty()) return std::nullopt;
    return codes[0];
}

std::optional<std::pair<uint32_t, uint32_t>> ppsIds(const uint8_t* nal, size_t n) {
    if (n < 2) return std::nullopt;
    const auto codes = leadingCodes(nal + 1, n - 1, 2);
    if (codes.empty()) return std::nullopt;
    return std::pair{codes[0], codes[1]};
}

// ---- AccessUnitWriter ----------------------------------------------------------

AccessUnitWriter::AccessUnitWriter(ElementarySink& sink, View view, std::optional<int64_t> cutEnd)
    : sink_(sink), view_(view), cutEnd_(cutEnd) {}

void AccessUnitWriter::beginAccessUnit(std::optional<int64_t> time, bool bringsDelimiter) {
    closeAccessUnit();
    if (isDone_) return;
    isOpen_ = true;
    openTime_ = time;
    ++unitsWritten_;
    if (!bringsDelimiter) {
        // primary_pic_type 7 (any slice type) followed by the RBSP stop bit.
        const uint8_t delimiter[] = {0, 0, 0, 1, delimiterType(view_), 0xF0};
        sink_.write(delimiter, sizeof delimiter);
        ++stats_.insertedDelimiters;
    }
}

void AccessUnitWriter::write(const uint8_t* data, size_t size) {
    if (isOpen_ && size > 0) sink_.write(data, size);
}

void AccessUnitWriter::writeNal(const uint8_t* nal, size_t size) {
    if (!isOpen_) return;
    static const uint8_t startCode[] = {0, 0, 0, 1};
    sink_.write(startCode, sizeof startCode);
    sink_.write(nal, size);
}

void AccessUnitWriter::closeAccessUnit() {
    if (!isOpen_) return;
    isOpen_ = false;
    if (!cutEnd_) {
        unitsKept_ = unitsWritten_;
        return;
    }
    // A unit without a timestamp goes with the one before it.
    bool isBelow = openTime_ ? *openTime_ < *cutEnd_ : lastWasBelow_;
    lastWasBelow_ = isBelow;
    if (isBelow) {
        keptSize_ = sink_.size();
        unitsKept_ = unitsWritten_;
        unitsPastCut_ = 0;
    } else if (++unitsPastCut_ >= kReorderWindow) {
        isDone_ = true;
    }
}

void AccessUnitWriter::finish() {
    closeAccessUnit();
    if (cutEnd_ && sink_.size() > keptSize_) sink_.truncate(keptSize_);
    stats_.accessUnits = unitsKept_;
    sink_.finish();
}

// ---- AnnexBSplitter ------------------------------------------------------------

void AnnexBSplitter::push(const uint8_t* data, size_t size, std::optional<int64_t> time) {
    if (time) {
        pendingTime_ = time;
        pendingTimePosition_ = pendingBase_ + pending_.size();
    }
    pending_.insert(pending_.end(), data, data + size);
    process(false);
}

void AnnexBSplitter::finish() {
    process(true);
    if (isHolding_) releaseHeld(false, 0);
}

void AnnexBSplitter::resync() {
    pendingBase_ += pending_.size();
    pending_.clear();
    scanFrom_ = 0;
    inNal_ = false;
    if (isHolding_) releaseHeld(false, 0);
}

void AnnexBSplitter::process(bool atEnd) {
    const uint8_t* b = pending_.data();
    const size_t n = pending_.size();
    size_t pos = 0; // first byte not yet handed on
    size_t scan = scanFrom_;
    while (true) {
        // A zero in front of the code that is already handed on stays where it is.
        size_t length = 0;
        const size_t nalStart = bitstream::findStartCode(b, scan, pos, n, length);
        if (nalStart == bitstream::npos) {
            // Keep the last bytes: they may begin a start code that the next piece completes.
            size_t keep = atEnd ? 0 : 3;
            size_t end = std::max(pos, n > keep ? n - keep : 0);
            emit(b + pos, end - pos);
            pos = end;
            scan = end;
            break;
        }
        const size_t found = nalStart + length - 3; // the 00 00 01
        size_t header = found + 3;
        size_t available = n - header;
        emit(b + pos, nalStart - pos);
        pos = nalStart;
        if (available < kHeaderPeek && !atEnd) {
            scan = found;
            break;
        }
        startNal(b + header, std::min(available, kHeaderPeek), pendingBase_ + header);
        scan = header;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
    pendingBase_ += pos;
    scanFrom_ = scan - pos;
}

void AnnexBSplitter::emit(const uint8_t* data, size_t size) {
    if (size == 0 || !inNal_) return; // bytes before the first start code are not a NAL unit
    if (isHolding_) {
        held_.insert(held_.end(), data, data + size);
        if (held_.size() > kMaxHeldBytes) releaseHeld(false, 0);
        return;
    }
    writer_.write(data, size);
}

void AnnexBSplitter::beginUnit(bool bringsDelimiter, uint64_t headerPosition) {
    std::optional<int64_t> time;
    if (pendingTime_ && headerPosition >= pendingTimePosition_) {
        time = pendingTime_;
        pendingTime_.reset();
    }
    writer_.beginAccessUnit(time, bringsDelimiter);
    seenVcl_ = false;
}

void AnnexBSplitter::releaseHeld(bool asNewUnit, uint64_t headerPosition) {
    isHolding_ = false;
    if (asNewUnit) beginUnit(false, headerPosition);
    writer_.write(held_.data(), held_.size());
    held_.clear();
}

void AnnexBSplitter::startNal(const uint8_t* header, size_t available, uint64_t headerPosition) {
    if (available == 0) return;
    inNal_ = true;
    const uint8_t type = header[0] & 0x1F;
    bool isNewUnit = false;
    bool bringsDelimiter = false;
    if (isHolding_) {
        if (type == h264nal::prefix) return; // several prefixes in a row wait together
        if (h264nal::isVcl(type)) {
            // The prefix opens the next access unit exactly when this slice opens a picture.
            releaseHeld(seenVcl_ && startsPicture(header, available).value_or(true), heldPosition_);
            seenVcl_ = true;
            return;
        }
        releaseHeld(false, 0);
    }
    if (type == delimiterType(view_)) {
        isNewUnit = true;
        bringsDelimiter = true;
    } else if (h264nal::isVcl(type)) {
        isNewUnit = seenVcl_ && startsPicture(header, available).value_or(false);
    } else if (type == h264nal::prefix) {
        if (seenVcl_) {
            isHolding_ = true;
            heldPosition_ = headerPosition;
            return;
        }
    } else if (type == h264nal::sei || type == h264nal::sequenceParameterSet ||
               type == h264nal::pictureParameterSet || type == h264nal::accessUnitDelimiter || type == 13 ||
               type == h264nal::subsetSequenceParameterSet || (type >= 16 && type <= 18) ||
               type == h264nal::mvcDelimiter) {
        isNewUnit = seenVcl_;
    }
    if (!writer_.hasOpenUnit()) isNewUnit = true;
    if (isNewUnit) beginUnit(bringsDelimiter, headerPosition);
    if (h264nal::isVcl(type)) seenVcl_ = true;
}

} // namespace tsmuxer
