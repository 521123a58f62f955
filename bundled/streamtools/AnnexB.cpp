#include "AnnexB.h"

#include "bitstream/StartCode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace streamtools {

namespace {

constexpr std::size_t notFound = bitstream::npos;

std::string errnoText(int error) {
    return std::strerror(error);
}

} // namespace

bool NalUnit::startsPicture() const {
    const std::size_t at = startCodeLength + (type() == nal::sliceExtension ? 4u : 1u);
    return hasHeader() && bytes.size() > at && (bytes[at] & 0x80) != 0;
}

bool NalUnit::isAnchor() const {
    const int kind = type();
    if (kind != nal::prefix && kind != nal::sliceExtension) return false;
    const std::size_t extension = startCodeLength + 1u;
    if (bytes.size() < extension + 3) return false;
    // svc_extension_flag 0 means the MVC form of the header extension
    // (H.7.3.1.1): anchor_pic_flag is bit 2 of its third byte.
    return (bytes[extension] & 0x80) == 0 && (bytes[extension + 2] & 0x04) != 0;
}

// ---- NalReader ----

NalReader::NalReader(ReadFunction read, std::string name, std::size_t chunkSize)
    : read_(std::move(read)), name_(std::move(name)), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {}

NalReader NalReader::openFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw StreamError("cannot open " + path + ": " + errnoText(errno));
    NalReader reader(
        [fd](std::uint8_t* into, std::size_t size) { return static_cast<long>(::read(fd, into, size)); },
        path);
    reader.ownedFd_ = fd;
    return reader;
}

NalReader::NalReader(NalReader&& other) noexcept
    : read_(std::move(other.read_)), name_(std::move(other.name_)), ownedFd_(other.ownedFd_),
      chunkSize_(other.chunkSize_), buffer_(std::move(other.buffer_)), capacity_(other.capacity_),
      begin_(other.begin_), end_(other.end_), consumedOffset_(other.consumedOffset_), atEnd_(other.atEnd_),
      started_(other.started_), sawStartCode_(other.sawStartCode_), largestHeld_(other.largestHeld_),
      inLongUnit_(other.inLongUnit_) {
    other.ownedFd_ = -1;
}

NalReader::~NalReader() {
    if (ownedFd_ >= 0) ::close(ownedFd_);
}

bool NalReader::readMore() {
    if (atEnd_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (capacity_ < end_ + chunkSize_) {
        // Doubling keeps a NAL unit far larger than a chunk linear to read.
        const std::size_t grown = std::max(end_ + chunkSize_, 2 * capacity_);
        auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
        if (end_ > 0) std::memcpy(larger.get(), buffer_.get(), end_);
        buffer_ = std::move(larger);
        capacity_ = grown;
    }
    for (;;) {
        long got = read_(buffer_.get() + end_, chunkSize_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0)
            throw StreamError("read error in " + name_ + " at byte " + std::to_string(bytesRead()) + ": " +
                              errnoText(errno));
        if (got == 0) {
            atEnd_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(got);
        return true;
    }
}

std::optional<NalUnit> NalReader::next() {
    std::size_t resumeAt = 0;
    for (;;) {
        const std::size_t available = end_ - begin_;
        if (available == 0 && !readMore()) return std::nullopt;
        if (available == 0) continue;
        const std::uint8_t* data = buffer_.get() + begin_;
        std::size_t length = 0;
        std::size_t cut;
        NalUnit unit;
        unit.offset = consumedOffset_;
        if (!started_) {
            // Bytes in front of the first start code go out as they are scanned, so
            // a long run of them never has to be held.
            cut = bitstream::findStartCode(data, resumeAt, 0, available, length);
            if (cut == 0) {
                started_ = sawStartCode_ = true;
                resumeAt = 0;
                continue;
            }
            if (cut == notFound) {
                if (!atEnd_ && available < 4) {
                    readMore();
                    continue;
                }
                cut = atEnd_ ? available : available - 3;
            } else {
                started_ = sawStartCode_ = true;
            }
        } else if (inLongUnit_) {
            // The middle of a long unit: the bytes up to the next start code
            // (or as many as we may hold) continue it.
            unit.isContinuation = true;
            cut = bitstream::findStartCode(data, resumeAt, 0, available, length);
            if (cut == 0) {
                inLongUnit_ = false;
                resumeAt = 0;
                continue;
            }
            if (cut == notFound) {
                if (!atEnd_ && available < largestHeld_) {
                    resumeAt = available >= 3 ? available - 3 : 0;
                    if (!readMore()) resumeAt = 0;
                    continue;
                }
                // Three bytes stay behind: a start code may straddle the cut.
                cut = atEnd_ ? available : available - 3;
                if (atEnd_) inLongUnit_ = false;
            } else {
                inLongUnit_ = false;
            }
        } else {
            unit.startCodeLength = data[2] == 1 ? 3 : 4;
            // The next NAL unit may begin right at this one's header byte only in
            // a malformed stream; searching from there keeps every start code.
            const std::size_t floor = unit.startCodeLength;
            cut = bitstream::findStartCode(data, std::max(resumeAt, floor), floor, available, length);
            if (cut == notFound && !atEnd_ && largestHeld_ != 0 && available >= largestHeld_) {
                cut = available - 3;
                inLongUnit_ = true;
            }
            if (cut == notFound) {
                if (!atEnd_) {
                    resumeAt = available >= 3 ? available - 3 : 0;
                    if (!readMore()) resumeAt = 0;
                    continue;
                }
                cut = available;
            }
        }
        unit.bytes = std::span<const std::uint8_t>(data, cut);
        begin_ += cut;
        consumedOffset_ += cut;
        return unit;
    }
}

// ---- AccessUnitReader ----

void AccessUnitReader::addRecord(AccessUnit& unit, NalRecord record, std::span<const std::uint8_t> bytes) {
    record.offset = static_cast<std::size_t>(unit.size);
    unit.nals.push_back(record);
    unit.size += record.size;
    if (keepsBytes_) unit.bytes.insert(unit.bytes.end(), bytes.begin(), bytes.end());
    if (record.type == nal::slice || record.type == nal::idrSlice) unit.hasBaseView = true;
    if (record.type == nal::sliceExtension) unit.hasDependentView = true;
    if (record.type == nal::idrSlice || record.isAnchor) unit.isRandomAccess = true;
}

void AccessUnitReader::add(AccessUnit& unit, const NalUnit& nal) {
    if (unit.nals.empty()) unit.offset = nal.offset;
    addRecord(unit, {0, nal.bytes.size(), nal.type(), nal.isAnchor()}, nal.bytes);
    lastWasPending_ = false;
}

void AccessUnitReader::storePending(const NalUnit& nal) {
    if (pendingNals_.empty()) pendingOffset_ = nal.offset;
    pendingNals_.push_back({pendingSize_, nal.bytes.size(), nal.type(), nal.isAnchor()});
    pendingSize_ += nal.bytes.size();
    if (keepsBytes_) pendingBytes_.insert(pendingBytes_.end(), nal.bytes.begin(), nal.bytes.end());
    lastWasPending_ = true;
}

void AccessUnitReader::extendLast(const NalUnit& piece) {
    if (lastWasPending_ && !pendingNals_.empty()) {
        pendingNals_.back().size += piece.bytes.size();
        pendingSize_ += piece.bytes.size();
        if (keepsBytes_) pendingBytes_.insert(pendingBytes_.end(), piece.bytes.begin(), piece.bytes.end());
    } else if (!current_.nals.empty()) {
        current_.nals.back().size += piece.bytes.size();
        current_.size += piece.bytes.size();
        if (keepsBytes_) current_.bytes.insert(current_.bytes.end(), piece.bytes.begin(), piece.bytes.end());
    }
}

void AccessUnitReader::takePending(AccessUnit& unit) {
    if (pendingNals_.empty()) return;
    if (unit.nals.empty()) unit.offset = pendingOffset_;
    for (const auto& record : pendingNals_)
        addRecord(unit, record,
                  keepsBytes_
                      ? std::span<const std::uint8_t>(pendingBytes_).subspan(record.offset, record.size)
                      : std::span<const std::uint8_t>());
    pendingNals_.clear();
    pendingBytes_.clear();
    pendingSize_ = 0;
    lastWasPending_ = false;
}

std::optional<AccessUnit> AccessUnitReader::next() {
    if (isDone_) return std::nullopt;
    for (;;) {
        auto nal = reader_.next();
        if (!nal) {
            isDone_ = true;
            takePending(current_);
            if (current_.nals.empty()) return std::nullopt;
            return std::move(current_);
        }
        if (nal->isContinuation) {
            extendLast(*nal);
            continue;
        }
        if (nal->startCodeLength == 0) {
            leadingBytes_ += nal->bytes.size();
            continue;
        }
        const bool hasPicture = current_.hasBaseView || current_.hasDependentView;
        // Where this NAL unit goes: the current unit, a new one (the current one
        // is finished), or the pending list until the next slice decides.
        enum class Place { current, startNew, startNewWithPending, pending } place = Place::current;
        switch (nal->type()) {
        case nal::accessUnitDelimiter:
            place = Place::startNew;
            break;
        case nal::mvcDelimiter:
            place = current_.hasDependentView ? Place::startNew : Place::current;
            break;
        case nal::slice:
        case nal::idrSlice:
            place = nal->startsPicture() && hasPicture ? Place::startNewWithPending : Place::current;
            break;
        case nal::sliceExtension:
            place = nal->startsPicture() && current_.hasDependentView ? Place::startNewWithPending
                                                                      : Place::current;
            break;
        case nal::subsetSequenceParameterSet:
            place = current_.hasDependentView ? Place::startNew : Place::current;
            break;
        case nal::sei:
        case 7:
        case 8:
        case 13:
        case nal::prefix:
        case 16:
        case 17:
        case 18:
            place = current_.hasDependentView ? Place::startNew
                    : current_.hasBaseView    ? Place::pending
                                              : Place::current;
            break;
        case nal::endOfSequence:
        case nal::endOfStream:
            place = Place::current;
            break;
        default:
            place = current_.hasBaseView && !current_.hasDependentView ? Place::pending : Place::current;
            break;
        }
        if (place == Place::pending) {
            storePending(*nal);
            continue;
        }
        std::optional<AccessUnit> finished;
        if (place == Place::startNewWithPending) {
            finished = std::move(current_);
            current_ = AccessUnit{};
        } else {
            takePending(current_);
            if (place == Place::startNew && !current_.nals.empty()) {
                finished = std::move(current_);
                current_ = AccessUnit{};
            }
        }
        takePending(current_);
        add(current_, *nal);
        if (finished) return finished;
    }
}

// ---- DelimitedUnitReader ----

std::optional<std::span<const std::uint8_t>> DelimitedUnitReader::next() {
    if (!startNext()) return std::nullopt;
    unit_.clear();
    while (auto piece = nextPiece())
        unit_.insert(unit_.end(), piece->bytes.begin(), piece->bytes.end());
    return std::span<const std::uint8_t>(unit_);
}

bool DelimitedUnitReader::startNext() {
    while (inUnit_ && nextPiece()) {
    }
    if (isDone_) return false;
    while (!delimiterRead_) {
        auto nal = reader_.next();
        if (!nal) {
            isDone_ = true;
            return false;
        }
        if (!nal->isContinuation && nal->type() == delimiterType_)
            delimiterRead_ = true; // the delimiter itself is dropped
    }
    delimiterRead_ = false;
    inUnit_ = true;
    return true;
}

std::optional<NalUnit> DelimitedUnitReader::nextPiece() {
    if (!inUnit_) return std::nullopt;
    auto nal = reader_.next();
    if (!nal) {
        isDone_ = true;
        inUnit_ = false;
        return std::nullopt;
    }
    if (!nal->isContinuation && nal->type() == delimiterType_) {
        delimiterRead_ = true;
        inUnit_ = false;
        return std::nullopt;
    }
    return nal;
}

// ---- splitViews ----

ViewSplit splitViews(const AccessUnit& unit) {
    // The dependent part starts at the first type-24 delimiter; without one, right
    // after the last base slice, since what follows it in the same access unit
    // leads the dependent view component (H.7.4.1.2.3). A subset SPS sent ahead
    // with the base parameter sets belongs to the dependent view as well.
    std::size_t firstDependent = unit.nals.size();
    std::size_t afterLastBaseSlice = 0;
    bool hasDependentUnits = false;
    for (std::size_t i = 0; i < unit.nals.size(); ++i) {
        const int kind = unit.nals[i].type;
        if (kind == nal::mvcDelimiter && firstDependent == unit.nals.size()) firstDependent = i;
        if (kind == nal::slice || kind == nal::idrSlice) afterLastBaseSlice = i + 1;
        if (kind == nal::sliceExtension || kind == nal::subsetSequenceParameterSet) hasDependentUnits = true;
    }
    if (firstDependent == unit.nals.size() && hasDependentUnits) firstDependent = afterLastBaseSlice;
    ViewSplit split;
    for (std::size_t i = 0; i < unit.nals.size(); ++i) {
        const NalRecord& record = unit.nals[i];
        const bool isBaseSlice = record.type == nal::slice || record.type == nal::idrSlice;
        const bool toBase = i < firstDependent ? record.type != nal::subsetSequenceParameterSet : isBaseSlice;
        (toBase ? split.base : split.dependent).push_back(record);
    }
    return split;
}

} // namespace streamtools
