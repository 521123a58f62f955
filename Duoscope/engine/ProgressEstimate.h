// Rates and remaining time of a running conversion, from the engine's
// (stage, fraction) reports and its reports of frames done per stage. Used by
// the command line's progress line and the window's remaining time alike.
// Not thread-safe: feed and read it from one thread (or under one lock).
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "ConversionTypes.h"
#include "PipelineEngine.h"

namespace duoscope {

class ProgressEstimate {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ProgressEstimate(Clock::time_point start = Clock::now()) : start_(start) {}

    void report(ConversionStage stage, double fraction, Clock::time_point now = Clock::now());
    void report(const WorkProgress& work, Clock::time_point now = Clock::now());

    ConversionStage stage() const { return stage_; }
    double fraction() const { return fraction_; }
    // What the engine says it is doing now, else the stage's label.
    std::string activity() const;
    const std::optional<WorkProgress>& work() const { return work_; }
    double elapsedSeconds(Clock::time_point now = Clock::now()) const;
    // Frames per second of the current stage over the last few seconds.
    std::optional<double> framesPerSecond() const;
    // Seconds left. While a stage counts frames, its own rate gives its
    // remainder and the job's pace so far the rest; otherwise the pace of the
    // fraction alone. Counted down between reports, so it keeps moving.
    std::optional<double> remainingSeconds(Clock::time_point now = Clock::now()) const;

  private:
    struct Sample {
        Clock::time_point when;
        long long frames;
    };
    Clock::time_point start_;
    ConversionStage stage_ = ConversionStage::idle;
    double fraction_ = 0;
    Clock::time_point fractionTime_{};
    std::optional<WorkProgress> work_;
    std::deque<Sample> samples_;
    double stageStartFraction_ = 0;
};

// "1:02:03" or "2:03".
std::string clockText(double seconds);

} // namespace duoscope
