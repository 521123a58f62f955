// Runs one conversion job end to end by driving external tools. Owns the
// engine state shared by every step: the log callback, the narration switch,
// the tool process running now and the cancellation flag. A conversion runs on
// one worker thread; cancel() may be called from any other thread.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ChildProcess.h"
#include "ConversionTypes.h"

namespace duoscope {

using LogCallback = std::function<void(const std::string& line)>;
using ProgressCallback = std::function<void(ConversionStage stage, double fraction)>;

class PipelineEngine {
public:
    PipelineEngine() = default;
    PipelineEngine(const PipelineEngine&) = delete;
    PipelineEngine& operator=(const PipelineEngine&) = delete;

    LogCallback onLog;
    bool verboseLogging = false;
    std::atomic<bool> isCancelled{false};

    std::shared_ptr<ChildProcess> currentProcess() const;
    void setCurrentProcess(std::shared_ptr<ChildProcess> process);

    // Stops the running tool: SIGTERM to it and its group now, SIGKILL to the
    // group about 3 s later, then a sweep of this conversion's leftover tools.
    // Returns at once.
    void cancel();

    // The folder whose path marks this conversion's tool processes on their
    // command lines (the run's work folder); the cancel sweep stops only those.
    void setConversionScope(const std::filesystem::path& folder);
    std::filesystem::path conversionScope() const;

    // The gated narration: reaches onLog only when verboseLogging is on.
    void engineLog(const std::string& line) const;
    // Relayed tool output and the few direct lines: always reach onLog.
    void directLog(const std::string& line) const;

private:
    mutable std::mutex stateMutex_;
    std::shared_ptr<ChildProcess> currentProcess_;
    std::filesystem::path conversionScope_;
};

// The pkill pattern that matches processes of `toolName` whose command line
// mentions `scope`; exposed for tests.
std::string sweepPattern(const std::string& toolName, const std::filesystem::path& scope);

} // namespace duoscope
