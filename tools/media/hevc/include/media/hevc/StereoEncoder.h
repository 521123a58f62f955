// Two libx265 encoders (left and right eye), each driven on its own thread, yielding
// access units that pair the two eyes' pictures. One PicturePlan decides every
// picture's type and both encoders are given it, so the eyes share one coding
// structure whatever their content. Every pair is still checked for equal POC, slice
// type and NAL types (an assertion: a mismatch throws). One StereoEncoder per thread of
// control (the caller's).
#pragma once

#include "media/hevc/Bitstream.h"
#include "media/hevc/SampleEntry.h"

#include <array>
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
    std::string preset; // x265 speed preset; empty: presetForQuality(quality)
    int keyint = 0;     // 0: about two seconds
    // Worker threads of both eyes' encoders together (each eye gets half, at least one);
    // 0: x265's own choice, a pool as large as the machine for each eye.
    int threads = 0;
    std::optional<Colour> colour = Colour{}; // VUI colour description; none = unspecified
};

// The one quality -> CRF table: 0 -> 36, 0.5 -> 28, 0.7 -> 23, 0.85 -> 18, 0.88 -> 17, 1 -> 12,
// linear in between (quality outside 0..1 is clamped).
double crfForQuality(double quality);

// The x265 speed preset for a quality: "medium" from 0.8, "fast" from 0.6, "veryfast" below.
std::string presetForQuality(double quality);

// One eye's planar 8-bit I420 picture.
struct PlanarPicture {
    const uint8_t* planes[3] = {};
    int strides[3] = {};
};

// The picture types of one stereo stream, decided once for both eyes: an IDR every `keyint`
// pictures and at scene cuts (at least `minKeyint` after the last IDR), between them runs
// of `bframes` B pictures closed by a P picture. The encoder turns the B before an IDR and
// the last pictures of the stream into P pictures itself, the same way for both eyes.
class PicturePlan {
  public:
    PicturePlan(int keyint, int minKeyint, int bframes);
    // The X265_TYPE_* to force on the next picture.
    int next(bool sceneCut);

  private:
    int keyint_, minKeyint_, bframes_;
    int64_t sinceIdr_ = -1; // -1: before the first picture
};

// Cheap scene-cut test on a sparse grid of luma samples (a 1/16 grid): a cut is a picture whose
// mean absolute difference to the previous one exceeds twice the shot's running average (and a
// floor) while the brightness histogram moves by more than a fifth, in both eyes at once.
class SceneCutDetector {
  public:
    bool isCut(const PlanarPicture& left, const PlanarPicture& right, int width, int height);

  private:
    struct Difference {
        double samples = 0;   // mean absolute difference, 0..255
        double histogram = 0; // share of samples that changed histogram bin, 0..1
    };
    Difference difference(int eye, const PlanarPicture& picture, int width, int height);
    std::vector<uint8_t> previous_[2];
    std::array<int, 32> histograms_[2] = {};
    double average_[2] = {0, 0};
    int64_t seen_ = 0;
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
    // One step of draining, for callers that report progress while the encoders empty their
    // look-ahead: appends what came out; false once both encoders are empty.
    bool drainStep(std::vector<StereoAccessUnit>& out);

    // Seconds spent inside libx265 calls, summed over both eyes' threads (wall time of each call).
    double encoderSeconds() const;

  private:
    struct Eye;
    void run(const PlanarPicture* left, const PlanarPicture* right, int64_t frame, int sliceType,
             bool& gotAny);
    void pair(std::vector<StereoAccessUnit>& out);

    EncoderSettings settings_;
    std::unique_ptr<Eye> eyes_[2];
    int64_t paired_ = 0;
    std::unique_ptr<PicturePlan> plan_;
    SceneCutDetector cuts_;
};

} // namespace media::hevc
