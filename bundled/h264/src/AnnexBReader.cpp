#include "AnnexBReader.h"

#include "bitstream/StartCode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace duoscope::h264 {

bool AnnexBReader::fill() {
    if (eof_) return false;
    // Drop consumed bytes before growing.
    if (start_ > 0 && (start_ > (1u << 20) || start_ * 2 > buf_.size())) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        bufOffset_ += start_;
        scanFrom_ = scanFrom_ > start_ ? scanFrom_ - start_ : 0;
        start_ = 0;
    }
    size_t old = buf_.size();
    buf_.resize(old + (1u << 20));
    ssize_t n;
    do {
        n = ::read(fd_, buf_.data() + old, 1u << 20);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        buf_.resize(old);
        throw std::runtime_error(std::string("read error: ") + std::strerror(errno));
    }
    buf_.resize(old + static_cast<size_t>(n));
    if (n == 0) eof_ = true;
    return n > 0;
}

bool AnnexBReader::next(const uint8_t*& data, size_t& size, uint64_t& offset) {
    for (;;) {
        if (!synced_) {
            // Skip to just after the first start code.
            for (;;) {
                size_t length = 0;
                const size_t at = bitstream::findStartCode(buf_.data(), start_, buf_.size(), length);
                if (at != bitstream::npos) {
                    start_ = at + length;
                    scanFrom_ = start_;
                    synced_ = true;
                    break;
                }
                start_ = buf_.size() > 2 ? buf_.size() - 2 : start_;
                if (!fill()) return false;
            }
        }
        // Find the next start code after start_.
        const size_t from = std::max(scanFrom_, start_);
        size_t length = 0;
        const size_t at = bitstream::findStartCode(buf_.data(), from, buf_.size(), length);
        size_t end;
        size_t nextStart;
        if (at != bitstream::npos) {
            end = at + length - 3; // the 00 00 01; a zero in front is trimmed below
            nextStart = end + 3;
        } else if (eof_) {
            end = buf_.size();
            nextStart = buf_.size();
            if (end <= start_) return false;
        } else {
            // A start code may begin in the last two bytes and end in the next read.
            scanFrom_ = std::max(from, buf_.size() >= 2 ? buf_.size() - 2 : 0);
            if (buf_.size() - start_ > maxNalSize_) {
                // Too large to be real: drop it and resynchronise.
                ++oversized_;
                start_ = buf_.size() - 2;
                synced_ = false;
                continue;
            }
            fill();
            continue;
        }
        size_t s = start_;
        while (end > s && buf_[end - 1] == 0)
            --end; // trailing_zero_8bits and the zero of a 4-byte start code
        start_ = nextStart;
        scanFrom_ = nextStart;
        if (end == s) continue;
        data = buf_.data() + s;
        size = end - s;
        offset = bufOffset_ + s;
        return true;
    }
}

} // namespace duoscope::h264
