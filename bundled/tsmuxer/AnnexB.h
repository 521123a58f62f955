// Access-unit level output of one view: delimiter insertion, the cut, and the
// byte-stream splitter that finds access units in transport-stream payloads.
// Internal to the demuxer; each object belongs to one demux run on one thread.
#pragma once

#include "Demuxer.h"
#include "bitstream/NalTypes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tsmuxer {

namespace h264nal = bitstream::h264::nal;

inline uint8_t delimiterType(View view) {
    return static_cast<uint8_t>(view == View::base ? h264nal::accessUnitDelimiter : h264nal::mvcDelimiter);
}

// NAL unit types that belong to the MVC dependent view when both views share
// one stream (H.264 Annex H; 24 is the Blu-ray dependent-view delimiter).
inline bool isDependentViewType(uint8_t type) {
    return type == h264nal::prefix || type == h264nal::subsetSequenceParameterSet ||
           type == h264nal::sliceExtension || type == h264nal::depthSliceExtension ||
           type == h264nal::mvcDelimiter;
}

// True when the VCL NAL unit (header at h, n bytes available) opens a picture:
// first_mb_in_slice is ue(v) and equals 0 exactly when its first bit is 1.
// std::nullopt when too few bytes are available to tell.
std::optional<bool> startsPicture(const uint8_t* h, size_t n);

// seq_parameter_set_id of an SPS/subset SPS, or pic_parameter_set_id and its
// seq_parameter_set_id of a PPS (H.264 7.3.2.1, 7.3.2.2); nullopt when malformed.
std::optional<uint32_t> spsId(const uint8_t* nal, size_t n);
std::optional<std::pair<uint32_t, uint32_t>> ppsIds(const uint8_t* nal, size_t n);

// Writes one view's access units to a sink, each opened by the view's
// delimiter, and applies the cut by truncating back to the end of the last
// access unit presented before the limit.
class AccessUnitWriter {
  public:
    AccessUnitWriter(ElementarySink& sink, View view, std::optional<int64_t> cutEnd);

    // Opens an access unit presented at time (nanoseconds from the origin), or
    // at an unknown time. Inserts a delimiter unless the unit brings its own.
    void beginAccessUnit(std::optional<int64_t> time, bool bringsDelimiter);
    void write(const uint8_t* data, size_t size);
    void writeNal(const uint8_t* nal, size_t size); // with a 4-byte start code
    void finish();

    // After a cut, enough later access units were seen that no earlier-presented one can follow.
    bool isDone() const { return isDone_; }
    bool hasOpenUnit() const { return isOpen_; }
    ViewStats stats() const { return stats_; }

  private:
    void closeAccessUnit();

    ElementarySink& sink_;
    View view_;
    std::optional<int64_t> cutEnd_;
    bool isOpen_ = false;
    bool isDone_ = false;
    std::optional<int64_t> openTime_;
    bool lastWasBelow_ = true;
    uint64_t keptSize_ = 0;
    uint64_t unitsWritten_ = 0;
    uint64_t unitsKept_ = 0;
    unsigned unitsPastCut_ = 0;
    ViewStats stats_;
};

// Splits one view's Annex B byte stream, arriving in arbitrary pieces, into
// NAL units and access units (H.264 7.4.1.2.3) and feeds an AccessUnitWriter.
// Bytes are passed through unchanged; memory stays at one small carry.
class AnnexBSplitter {
  public:
    AnnexBSplitter(AccessUnitWriter& writer, View view) : writer_(writer), view_(view) {}

    // time applies to the first access unit that starts within these bytes.
    void push(const uint8_t* data, size_t size, std::optional<int64_t> time);
    void finish();
    // Drops whatever of the current NAL unit is still buffered (after a packet loss).
    void resync();

  private:
    void process(bool atEnd);
    void emit(const uint8_t* data, size_t size);
    void startNal(const uint8_t* header, size_t available, uint64_t headerPosition);
    void beginUnit(bool bringsDelimiter, uint64_t headerPosition);
    void releaseHeld(bool asNewUnit, uint64_t headerPosition);

    AccessUnitWriter& writer_;
    View view_;
    std::vector<uint8_t> pending_;
    uint64_t pendingBase_ = 0; // stream position of pending_[0]
    size_t scanFrom_ = 0;
    bool inNal_ = false;
    bool seenVcl_ = false;
    std::optional<int64_t> pendingTime_;
    uint64_t pendingTimePosition_ = 0;
    // A prefix NAL unit after a slice belongs to the next picture only when the
    // slice after it opens one, so it waits for that slice.
    bool isHolding_ = false;
    uint64_t heldPosition_ = 0;
    std::vector<uint8_t> held_;
};

} // namespace tsmuxer
