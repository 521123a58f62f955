// The one process layer of the main program: spawn a tool with an argument
// vector in its own process group, drain its pipes on a background thread and
// deliver output as chunks (or collect it), wait or get called back on exit.
// A ChildProcess is shared (std::shared_ptr): its monitor thread keeps it alive
// until the child is reaped. Any thread may call its members.
// Every tool's group is also handed to a small guard process that kills the
// groups still alive when this program dies, even by SIGKILL, so no tool
// outlives it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace duoscope {

class ChildProcess : public std::enable_shared_from_this<ChildProcess> {
  public:
    enum class Output {
        pipe,       // own pipe, delivered to the handler or collected
        nullDevice, // /dev/null
        toStdout,   // standard error only: into the standard output pipe
    };
    struct Options {
        std::string executable;
        std::vector<std::string> arguments;
        std::optional<std::filesystem::path> workingDirectory;
        Output standardOutput = Output::pipe;
        Output standardError = Output::pipe;
    };
    using ChunkHandler = std::function<void(std::string_view chunk)>;
    using TerminationHandler = std::function<void(ChildProcess&)>;

    static std::shared_ptr<ChildProcess> create(Options options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Handlers run on the monitor thread. Without a handler, output is collected.
    void setStandardOutputHandler(ChunkHandler handler);
    void setStandardErrorHandler(ChunkHandler handler);
    // Called on the monitor thread after the child is reaped and its pipes
    // drained, before waitUntilExit() returns; it must not wait for this process.
    void setTerminationHandler(TerminationHandler handler);

    // Throws std::system_error carrying the OS reason and the executable's path.
    void launch();
    // Blocks until the child is reaped and its output delivered.
    void waitUntilExit();
    // Like waitUntilExit but gives up after the timeout; true when finished.
    bool waitUntilExit(std::chrono::milliseconds timeout);

    bool isRunning() const;
    pid_t processIdentifier() const { return pid_; }
    // The exit code, or the signal number when the child was killed by a signal.
    int terminationStatus() const;
    bool wasKilledBySignal() const;
    void terminate(); // SIGTERM to the child itself

    std::string collectedStandardOutput() const;
    std::string collectedStandardError() const;

    const Options& options() const { return options_; }

  private:
    explicit ChildProcess(Options options);
    void monitor(int outFd, int errFd);
    void deliver(bool isError, const char* data, size_t size);

    Options options_;
    pid_t pid_ = -1;
    std::atomic<bool> launched_{false};
    std::atomic<bool> reaped_{false};

    mutable std::mutex mutex_;
    std::condition_variable finishedCondition_;
    bool finished_ = false;
    int waitStatus_ = 0;
    ChunkHandler outHandler_, errHandler_;
    TerminationHandler terminationHandler_;
    std::string collectedOut_, collectedErr_;
};

// Splits a byte stream into lines at "\n" (and "\r" when asked, for tools that
// redraw a status line). The trailing partial line is held until more arrives
// or finish() is called.
class LineSplitter {
  public:
    explicit LineSplitter(bool splitAtCarriageReturn = false)
        : splitAtCarriageReturn_(splitAtCarriageReturn) {}
    void feed(std::string_view chunk, const std::function<void(const std::string&)>& onLine);
    void finish(const std::function<void(const std::string&)>& onLine);

  private:
    bool splitAtCarriageReturn_;
    std::string pending_;
};

// Sends SIGKILL to the process group of every tool still running. For a
// program that must end at once (a second interrupt); async-signal-unsafe
// callers only.
void killAllProcessGroups();

// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);

} // namespace duoscope
