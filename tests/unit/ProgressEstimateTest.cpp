#include <gtest/gtest.h>

#include "EncodeSupport.h"
#include "ProgressEstimate.h"

using namespace duoscope;
using namespace std::chrono_literals;

TEST(ProgressEstimate, ParallelScriptWorkLines) {
    auto work = parallelWorkLine("PROGRESS: 1200/4800 frames, 3/8 segments");
    ASSERT_TRUE(work);
    EXPECT_EQ(work->framesDone, 1200);
    EXPECT_EQ(work->framesTotal, 4800);
    EXPECT_EQ(work->segmentsDone, 3);
    EXPECT_EQ(work->segments, 8);
    for (const char* bad : {"PROGRESS: 12/48 frames", "PROGRESS: 1/2 frames, 3/2 segments",
                            "PROGRESS: -1/2 frames, 0/2 segments", "Phase 2: 12/48 frames, 1/2 segments",
                            "PROGRESS: 1/2 frames, 1/2 segments and more"})
        EXPECT_FALSE(parallelWorkLine(bad)) << bad;
}

TEST(ProgressEstimate, RatesAndRemainingTimeFollowTheWork) {
    auto start = ProgressEstimate::Clock::time_point{} + 1000s;
    ProgressEstimate estimate(start);
    EXPECT_FALSE(estimate.remainingSeconds(start));

    // A stage of 1000 frames at 10 frames/s from 0.5 to 0.8 of the job, after
    // 50 s of earlier stages: 300 frames in, 70 s of it left and the rest of
    // the job (0.2 of the fraction) at the pace so far.
    estimate.report(ConversionStage::decoding, 0.5, start + 50s);
    for (int second = 0; second <= 30; ++second) {
        auto now = start + 50s + std::chrono::seconds(second);
        estimate.report(WorkProgress{"Encoding", second * 10LL, 1000, {}}, now);
        estimate.report(ConversionStage::encoding, 0.5 + 0.3 * second * 10 / 1000.0, now);
    }
    auto now = start + 80s;
    ASSERT_TRUE(estimate.framesPerSecond());
    EXPECT_NEAR(*estimate.framesPerSecond(), 10, 1e-9);
    EXPECT_EQ(estimate.activity(), "Encoding");
    double pace = 80 / 0.59;
    ASSERT_TRUE(estimate.remainingSeconds(now));
    EXPECT_NEAR(*estimate.remainingSeconds(now), 70 + pace * 0.2, 0.5);
    // Without a new report the estimate still counts down.
    EXPECT_LT(*estimate.remainingSeconds(now + 5s), *estimate.remainingSeconds(now) - 3);

    // A new activity starts its own rate.
    estimate.report(WorkProgress{"Encoding MV-HEVC", 0, 500, {}}, now + 6s);
    EXPECT_FALSE(estimate.framesPerSecond());
    EXPECT_EQ(clockText(59.6), "1:00");
    EXPECT_EQ(clockText(3725), "1:02:05");
}
