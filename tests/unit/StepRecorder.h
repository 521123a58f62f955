// Collects what an engine step reports (log lines and progress) from any
// thread, and the fixture the encode steps' tests share.
#pragma once

#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "EncoderProfile.h"
#include "PipelineEngine.h"
#include "TestSupport.h"
#include "ToolLocator.h"

namespace duoscope::test {

struct StepRecorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<ConversionStage, double>> progress;

    LogCallback log() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    ProgressCallback handler() {
        return [this](ConversionStage stage, double fraction) {
            std::lock_guard lock(mutex);
            progress.emplace_back(stage, fraction);
        };
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<double> fractions(ConversionStage stage) {
        std::lock_guard lock(mutex);
        std::vector<double> result;
        for (auto& [s, f] : progress)
            if (s == stage) result.push_back(f);
        return result;
    }
    // Every report within [low, high] and none below the one before.
    void expectRisingWithin(double low, double high) {
        std::lock_guard lock(mutex);
        ASSERT_FALSE(progress.empty());
        for (size_t i = 0; i < progress.size(); ++i) {
            EXPECT_GE(progress[i].second, low);
            EXPECT_LE(progress[i].second, high);
            if (i) {
                EXPECT_GE(progress[i].second, progress[i - 1].second) << "at report " << i;
            }
        }
    }
};

// A scratch folder with a work folder, and an engine in the software profile
// whose log is recorded; the tool folder is reset whatever the test did.
class EncodeStepTest : public ::testing::Test {
  protected:
    explicit EncodeStepTest(const std::string& name) : scratch(name) {}
    void SetUp() override {
        overrideEncoderProfile(EncoderProfile::software);
        engine.verboseLogging = true;
        engine.onLog = recorder.log();
        std::filesystem::create_directories(work);
    }
    void TearDown() override {
        overrideEncoderProfile(std::nullopt);
        setPriorityToolFolder({});
    }
    ScratchFolder scratch;
    std::filesystem::path work = scratch / "work";
    PipelineEngine engine;
    StepRecorder recorder;
};

} // namespace duoscope::test
