// Splits an H.264 Annex B byte stream read from a file descriptor (regular
// file, named pipe or standard input) into NAL units, in bounded memory.
// One reader per stream; not thread-safe. The caller owns the descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace duoscope::h264 {

class AnnexBReader {
  public:
    explicit AnnexBReader(int fd, size_t maxNalSize = size_t{64} << 20) : fd_(fd), maxNalSize_(maxNalSize) {}

    // Returns the next NAL unit (without start code and trailing zero bytes)
    // and its byte offset in the stream; false at the end. Throws
    // std::runtime_error on a read error. A NAL unit larger than the limit is
    // skipped and reported through oversized().
    bool next(const uint8_t*& data, size_t& size, uint64_t& offset);
    uint64_t oversizedCount() const { return oversized_; }

  private:
    bool fill();
    int fd_;
    size_t maxNalSize_;
    std::vector<uint8_t> buf_;
    size_t start_ = 0;       // first unconsumed byte in buf_
    uint64_t bufOffset_ = 0; // stream offset of buf_[0]
    bool eof_ = false;
    bool synced_ = false;
    uint64_t oversized_ = 0;
    size_t scanFrom_ = 0;
};

} // namespace duoscope::h264
