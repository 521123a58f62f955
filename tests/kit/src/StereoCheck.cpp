#include "StereoCheck.h"

#include "ToolRuns.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <vector>

namespace kit {
namespace fs = std::filesystem;
namespace {

using Frame = std::vector<uint8_t>;

// Pictures of a raw I420 file, or of a movie decoded by ffmpeg and scaled to
// width x height (into a raw file of its own that goes with the source).
class FrameSource {
  public:
    FrameSource(const fs::path& path, int width, int height, size_t frameSize) : frameSize_(frameSize) {
        fs::path raw = path;
        if (path.extension() != ".yuv") {
            if (!fs::exists(path)) throw std::runtime_error("no such file: " + path.string());
            static std::atomic<int> count{0};
            decoded_ = raw = fs::temp_directory_path() / ("stereocheck-" + std::to_string(::getpid()) + "-" +
                                                          std::to_string(++count) + ".yuv");
            // Every decoded picture once: a raw output would otherwise be
            // filled to a constant rate from the earliest stream's start, and
            // sound that starts before the picture (AAC priming in Matroska)
            // would count as a repeated first picture.
            run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path.string(), "-map", "0:v:0", "-vsync",
                 "passthrough", "-vf", "scale=" + std::to_string(width) + ":" + std::to_string(height),
                 "-pix_fmt", "yuv420p", "-f", "rawvideo", raw.string()});
        }
        file_.open(raw, std::ios::binary);
        if (!file_) throw std::runtime_error("cannot read " + raw.string());
    }
    ~FrameSource() {
        std::error_code ignored;
        if (!decoded_.empty()) fs::remove(decoded_, ignored);
    }

    bool next(Frame& frame) {
        frame.resize(frameSize_);
        file_.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frameSize_));
        return static_cast<size_t>(file_.gcount()) == frameSize_;
    }

  private:
    size_t frameSize_;
    fs::path decoded_;
    std::ifstream file_;
};

// Copies the left or right half of a 2W x H I420 frame into a W x H frame.
void takeHalf(const Frame& wide, int width, int height, bool rightHalf, Frame& out) {
    out.resize(static_cast<size_t>(width) * height * 3 / 2);
    size_t in = 0, o = 0;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? width / 2 : width, h = plane ? height / 2 : height;
        for (int y = 0; y < h; ++y) {
            const size_t row = in + static_cast<size_t>(y) * 2 * w + (rightHalf ? w : 0);
            std::copy_n(wide.begin() + static_cast<std::ptrdiff_t>(row), w,
                        out.begin() + static_cast<std::ptrdiff_t>(o));
            o += static_cast<size_t>(w);
        }
        in += static_cast<size_t>(2 * w) * h;
    }
}

std::string fixed2(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

uint64_t squaredError(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size()) throw std::invalid_argument("squaredError: sizes differ");
    uint64_t sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int d = int{a[i]} - int{b[i]};
        sum += static_cast<uint64_t>(d * d);
    }
    return sum;
}

double psnrFromMse(double mse) {
    if (mse <= 0) return 99.0;
    return std::min(99.0, 10.0 * std::log10(255.0 * 255.0 / mse));
}

void EyeScore::add(std::span<const uint8_t> output, std::span<const uint8_t> left,
                   std::span<const uint8_t> right) {
    errorVsLeft += squaredError(output, left);
    errorVsRight += squaredError(output, right);
    samples += output.size();
}

double EyeScore::psnrVsLeft() const {
    return samples ? psnrFromMse(static_cast<double>(errorVsLeft) / static_cast<double>(samples)) : 0.0;
}

double EyeScore::psnrVsRight() const {
    return samples ? psnrFromMse(static_cast<double>(errorVsRight) / static_cast<double>(samples)) : 0.0;
}

StereoReport judge(const EyeScore& leftEye, const EyeScore& rightEye, int frames, int sourceFrames,
                   double minPsnr, int expectedFrames) {
    StereoReport r;
    r.frames = frames;
    r.sourceFrames = sourceFrames;
    r.leftPsnr = leftEye.psnrVsLeft();
    r.leftCrossPsnr = leftEye.psnrVsRight();
    r.rightPsnr = rightEye.psnrVsRight();
    r.rightCrossPsnr = rightEye.psnrVsLeft();
    // Compare total error, not PSNR: a perfect eye (99 dB cap) must not hide
    // a badly placed other eye.
    r.swapped = leftEye.errorVsRight + rightEye.errorVsLeft < leftEye.errorVsLeft + rightEye.errorVsRight;
    if (frames == 0)
        r.verdict = "no-frames";
    else if (r.swapped)
        r.verdict = "swapped";
    else if (frames != (expectedFrames < 0 ? sourceFrames : expectedFrames))
        r.verdict = "frame-count"; // lost or invented pictures must not pass on PSNR alone
    else if (r.leftPsnr < minPsnr || r.rightPsnr < minPsnr)
        r.verdict = "low-psnr";
    else
        r.verdict = "ok";
    return r;
}

std::string StereoReport::line() const {
    return "stereocheck: frames=" + std::to_string(frames) +
           " source_frames=" + std::to_string(sourceFrames) + " left_psnr=" + fixed2(leftPsnr) +
           " right_psnr=" + fixed2(rightPsnr) + " left_cross_psnr=" + fixed2(leftCrossPsnr) +
           " right_cross_psnr=" + fixed2(rightCrossPsnr) + " swapped=" + (swapped ? "yes" : "no") +
           " verdict=" + verdict;
}

void applyKitSet(CheckRequest& request, const fs::path& setDir) {
    std::ifstream in(setDir / "set.info");
    if (!in) throw std::runtime_error("no set.info in " + setDir.string());
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    request.width = std::stoi(values.at("width"));
    request.height = std::stoi(values.at("height"));
    request.sourceFrames = std::stoi(values.at("frames"));
    request.leftSource = setDir / "left_src.yuv";
    request.rightSource = setDir / "right_src.yuv";
}

StereoReport checkStereo(const CheckRequest& request) {
    const int w = request.width, h = request.height;
    if (w <= 0 || h <= 0 || w % 2 || h % 2)
        throw std::invalid_argument("the source size must be positive and even");
    const size_t eyeSize = static_cast<size_t>(w) * h * 3 / 2;
    FrameSource left(request.leftSource, w, h, eyeSize), right(request.rightSource, w, h, eyeSize);
    std::vector<Frame> leftFrames, rightFrames;
    Frame frame;
    while (left.next(frame))
        leftFrames.push_back(frame);
    while (right.next(frame))
        rightFrames.push_back(frame);
    const size_t sourceFrames = std::min(leftFrames.size(), rightFrames.size());

    EyeScore leftEye, rightEye;
    int frames = 0;
    Frame outLeft, outRight;
    switch (request.layout) {
    case StereoLayout::sideBySide: {
        FrameSource movie(request.movie, 2 * w, h, 2 * eyeSize);
        Frame wide;
        for (; movie.next(wide); ++frames) {
            if (static_cast<size_t>(frames) >= sourceFrames)
                continue; // count extra frames, score what has a source
            takeHalf(wide, w, h, false, outLeft);
            takeHalf(wide, w, h, true, outRight);
            leftEye.add(outLeft, leftFrames[frames], rightFrames[frames]);
            rightEye.add(outRight, leftFrames[frames], rightFrames[frames]);
        }
        break;
    }
    case StereoLayout::frameAlternate: {
        FrameSource movie(request.movie, w, h, eyeSize);
        for (; movie.next(outLeft) && movie.next(outRight); ++frames) {
            if (static_cast<size_t>(frames) >= sourceFrames) continue;
            leftEye.add(outLeft, leftFrames[frames], rightFrames[frames]);
            rightEye.add(outRight, leftFrames[frames], rightFrames[frames]);
        }
        break;
    }
    case StereoLayout::separateFiles: {
        FrameSource first(request.movie, w, h, eyeSize), second(request.secondMovie, w, h, eyeSize);
        int firstCount = 0, secondCount = 0;
        for (; first.next(outLeft); ++firstCount)
            if (static_cast<size_t>(firstCount) < sourceFrames)
                leftEye.add(outLeft, leftFrames[firstCount], rightFrames[firstCount]);
        for (; second.next(outRight); ++secondCount)
            if (static_cast<size_t>(secondCount) < sourceFrames)
                rightEye.add(outRight, leftFrames[secondCount], rightFrames[secondCount]);
        frames = std::min(firstCount, secondCount);
        break;
    }
    }
    return judge(leftEye, rightEye, frames, static_cast<int>(sourceFrames), request.minPsnr,
                 request.expectedFrames);
}

} // namespace kit
