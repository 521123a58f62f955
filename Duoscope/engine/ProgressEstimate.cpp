#include "ProgressEstimate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace duoscope {

namespace {
// Long enough to smooth a encoder's bursts (a GOP's worth of lookahead), short
// enough to follow a change of pace within a stage.
constexpr double rateWindowSeconds = 10;
double seconds(ProgressEstimate::Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}
} // namespace

void ProgressEstimate::report(ConversionStage stage, double fraction, Clock::time_point now) {
    if (!std::isfinite(fraction)) return;
    if (stage != stage_) {
        stageStartFraction_ = fraction_;
        stage_ = stage;
        // The frames counted belonged to the stage that has ended.
        work_.reset();
        samples_.clear();
    }
    fraction_ = std::clamp(fraction, 0.0, 1.0);
    fractionTime_ = now;
}

void ProgressEstimate::report(const WorkProgress& work, Clock::time_point now) {
    if (!work_ || work_->activity != work.activity || work.framesDone < work_->framesDone) samples_.clear();
    work_ = work;
    samples_.push_back({now, work.framesDone});
    while (samples_.size() > 2 && seconds(now - samples_[1].when) >= rateWindowSeconds)
        samples_.pop_front();
}

std::string ProgressEstimate::activity() const {
    if (work_ && !work_->activity.empty()) return work_->activity;
    return std::string(rawValue(stage_));
}

double ProgressEstimate::elapsedSeconds(Clock::time_point now) const {
    return seconds(now - start_);
}

std::optional<double> ProgressEstimate::framesPerSecond() const {
    if (samples_.size() < 2) return std::nullopt;
    double span = seconds(samples_.back().when - samples_.front().when);
    long long frames = samples_.back().frames - samples_.front().frames;
    if (span < 0.5 || frames <= 0) return std::nullopt;
    return frames / span;
}

std::optional<double> ProgressEstimate::remainingSeconds(Clock::time_point now) const {
    double elapsed = elapsedSeconds(now);
    if (fraction_ >= 1) return 0.0;
    auto rate = framesPerSecond();
    if (rate && work_ && work_->framesTotal > work_->framesDone) {
        double sinceSample = seconds(now - samples_.back().when);
        double stageLeft = std::max((work_->framesTotal - work_->framesDone) / *rate - sinceSample, 0.0);
        // The stages after this one, at the pace the job has kept so far.
        double stageDone = static_cast<double>(work_->framesDone) / static_cast<double>(work_->framesTotal);
        double pace = fraction_ > 0.01 ? elapsed / fraction_ : 0;
        double stageEnd =
            fraction_ + (fraction_ - stageStartFraction_) / std::max(stageDone, 1e-3) * (1 - stageDone);
        double after = pace * std::max(1 - std::min(stageEnd, 1.0), 0.0);
        return stageLeft + after;
    }
    if (fraction_ < 0.01 || elapsed < 1) return std::nullopt;
    double atReport = seconds(fractionTime_ - start_) * (1 - fraction_) / fraction_;
    return std::max(atReport - seconds(now - fractionTime_), 0.0);
}

std::string clockText(double totalSeconds) {
    long long whole = std::llround(std::max(totalSeconds, 0.0));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    return text;
}

} // namespace duoscope
