// Compares a stereo output with the kit's per-eye sources: per-eye PSNR and
// whether the eyes are exchanged. The arithmetic is separate from the decoding
// (ffmpeg child processes) so it can be tested alone. Any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace kit {

// Sum of squared differences of two equally long sample arrays.
uint64_t squaredError(std::span<const uint8_t> a, std::span<const uint8_t> b);
// 8-bit PSNR in dB for a mean squared error; 99 for a perfect match.
double psnrFromMse(double mse);

// Accumulates one output eye against both source eyes.
struct EyeScore {
    uint64_t errorVsLeft = 0, errorVsRight = 0, samples = 0;
    void add(std::span<const uint8_t> output, std::span<const uint8_t> left, std::span<const uint8_t> right);
    double psnrVsLeft() const;
    double psnrVsRight() const;
};

struct StereoReport {
    int frames = 0, sourceFrames = 0;
    double leftPsnr = 0, rightPsnr = 0;           // output eye vs its own source
    double leftCrossPsnr = 0, rightCrossPsnr = 0; // output eye vs the other source
    bool swapped = false;
    std::string verdict; // "ok", "swapped", "frame-count", "low-psnr", "no-frames"
    std::string line() const;
};

// expectedFrames < 0: the output must have as many frames as the sources.
StereoReport judge(const EyeScore& leftEye, const EyeScore& rightEye, int frames, int sourceFrames,
                   double minPsnr, int expectedFrames = -1);

enum class StereoLayout { sideBySide, frameAlternate, separateFiles };

struct CheckRequest {
    std::filesystem::path leftSource, rightSource;
    int width = 0, height = 0, sourceFrames = 0;
    StereoLayout layout = StereoLayout::sideBySide;
    std::filesystem::path movie, secondMovie; // secondMovie: right eye for separateFiles
    double minPsnr = 30.0;
    int expectedFrames = -1; // e.g. a duration-limited output; -1: all source frames
};

// Reads width, height, frames from DIR/set.info and the two sources beside it.
void applyKitSet(CheckRequest& request, const std::filesystem::path& setDir);

// Decodes with ffmpeg (or reads .yuv raw) and scores. Throws on I/O or tool failure.
StereoReport checkStereo(const CheckRequest& request);

} // namespace kit
