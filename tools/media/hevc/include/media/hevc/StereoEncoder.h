// Two libx265 encoders (left and right eye) with identical, forced GOP structure,
// each driven on its own thread, yielding access units that pair the two eyes'
// pictures. Every pair is checked for equal POC, slice type and NAL types; a
// mismatch throws. One StereoEncoder per thread of control (the caller's).
#pragma once

#include "media/hevc/Bitstream.h"
#include "media/hevc/SampleEntry.h"

#include <memory>
#include <optional>
#include <string>

namespace media::hevc {

struct EncoderSettings {
    int width = 0, height = 0; // one eye
    uint32_t fpsNum = 24000, fpsDen = 1001;
    double quality = 0.85; // 0..1, mapped by crfForQuality
    // Average bit rate of the whole movie (both layers) instead of quality; each eye gets half.
    std::optional<uint32_t> averageKbps;
    std::string preset = "medium";
    int keyint = 0;                          // 0: about two seconds
    std::optional<Colour> colour = Colour{}; // VUI colour description; none = unspecified
};

// The one quality -> CRF table: 0 -> 36, 0.5 -> 28, 0.7 -> 23, 0.85 -> 18, 0.88 -> 17, 1 -> 12,
// linear in between (quality outside 0..1 is clamped).
double crfForQuality(double quality);

// One eye's planar 8-bit I420 picture.
struct PlanarPicture {
    const uint8_t* planes[3] = {};
    int strides[3] = {};
};

struct EncodedPicture {
    std::vector<Bytes> nals;  // NAL units without start codes, in decode order (no parameter sets)
    int64_t pts = 0, dts = 0; // frame numbers
    int poc = 0;
    int sliceType = 0; // X265_TYPE_*
    bool keyframe = false;
};

struct StereoAccessUnit {
    EncodedPicture left, right;
};

// Throws when the two pictures of access unit `index` differ in POC, pts, picture type or
// VCL NAL unit types: such a pair cannot become one MV-HEVC access unit.
void checkEyesInStep(const StereoAccessUnit& au, int64_t index);

class StereoEncoder {
  public:
    explicit StereoEncoder(const EncoderSettings& settings);
    ~StereoEncoder();
    StereoEncoder(const StereoEncoder&) = delete;
    StereoEncoder& operator=(const StereoEncoder&) = delete;

    // VPS, SPS, PPS of each eye's single-layer stream.
    const std::vector<Bytes>& headers(int eye) const;
    const EncoderSettings& settings() const { return settings_; }

    // Encodes picture number `frame` of both eyes; finished access units are appended to out.
    void encode(const PlanarPicture& left, const PlanarPicture& right, int64_t frame,
                std::vector<StereoAccessUnit>& out);
    // Drains both encoders.
    void flush(std::vector<StereoAccessUnit>& out);

    // Seconds spent inside libx265 calls, summed over both eyes' threads (wall time of each call).
    double encoderSeconds() const;

  private:
    struct Eye;
    void run(const PlanarPicture* left, const PlanarPicture* right, int64_t frame, bool& gotAny);
    void pair(std::vector<StereoAccessUnit>& out);

    EncoderSettings settings_;
    std::unique_ptr<Eye> eyes_[2];
    int64_t paired_ = 0;
};

} // namespace media::hevc
