// libav* readers for StereoPacker: side-by-side video frames as 8-bit I420, and the first
// audio track as compressed samples ready for a QuickTime track (copied, re-wrapped or,
// for codecs QuickTime cannot hold here, transcoded to AAC). One thread.
#pragma once

#include "isobmff/MovieWriter.h"
#include "media/hevc/SampleEntry.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace stereopacker {

struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct I420View {
    const uint8_t* planes[3] = {};
    int strides[3] = {};
};

// How the two eyes lie in each frame. Half layouts hold each eye at half its display width
// (side by side) or height (top-bottom); it is stretched back with a Lanczos filter.
struct Packing {
    bool topBottom = false;
    bool half = false;
    bool rightFirst = false; // the left (or top) picture is the right eye
};

class VideoInput {
  public:
    explicit VideoInput(const std::string& path, const Packing& packing = {});
    ~VideoInput();
    // One eye's picture as it is written (after stretching a half layout back).
    int width() const { return width_; }
    int height() const { return height_; }
    uint32_t fpsNum() const { return fpsNum_; }
    uint32_t fpsDen() const { return fpsDen_; }
    // Frames the container announces (0 when unknown), and the estimate from its duration.
    int64_t announcedFrames() const { return announced_; }
    int64_t estimatedFrames() const { return estimated_; }
    std::optional<media::hevc::Colour> colour() const { return colour_; }
    // The next frame's two eyes as I420 (valid until the next call); false at the end.
    bool next(I420View& left, I420View& right);
    // Seconds spent stretching half layouts back so far.
    double scalingSeconds() const;

  private:
    void splitEyes(const I420View& frame, I420View& left, I420View& right);
    struct Impl;
    std::unique_ptr<Impl> d_;
    int width_ = 0, height_ = 0;
    // One eye's picture in the frame as stored.
    int eyeWidth_ = 0, eyeHeight_ = 0;
    Packing packing_;
    uint32_t fpsNum_ = 0, fpsDen_ = 1;
    int64_t announced_ = 0, estimated_ = 0;
    std::optional<media::hevc::Colour> colour_;
};

struct AudioSample {
    std::vector<uint8_t> data;
    int64_t time = 0; // decode = presentation time, track timescale
    uint32_t duration = 0;
};

// Matroska (or any libav-readable) audio: AAC and AC-3 packets are re-wrapped unchanged,
// anything else is transcoded to AAC.
class AudioInput {
  public:
    // Nothing when the file has no audio stream.
    static std::unique_ptr<AudioInput> open(const std::string& path);
    ~AudioInput();
    const media::TrackConfig& track() const { return track_; }
    const std::string& description() const { return description_; }
    double secondsPerTick() const { return 1.0 / track_.timescale; }
    // Next sample; false at the end.
    bool next(AudioSample& out);

  private:
    AudioInput();
    struct Impl;
    std::unique_ptr<Impl> d_;
    media::TrackConfig track_;
    std::string description_;
};

} // namespace stereopacker
