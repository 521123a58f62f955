// segmentrun's process layer: starting a program from an argument list (never
// a shell line), waiting for it while a stop request can still interrupt, and
// stopping whatever is left. Every child is noted until it has been waited
// for, so a stopped run can end them all. Main thread only.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace segmentrun {

// Set by TERM, INT and HUP; every wait checks it and throws Stopped.
extern volatile std::sig_atomic_t stopSignal;
struct Stopped {};
void installStopHandlers();
void throwIfStopped();
// Sleeps, ended early by a stop request.
void pause(double seconds);

struct Launch {
    // Descriptors for the child's standard output, error and input; -1 is /dev/null.
    explicit Launch(std::vector<std::string> arguments, int output = -1, int error = -1, int input = -1)
        : arguments(std::move(arguments)), output(output), error(error), input(input) {}

    std::vector<std::string> arguments; // [0] is the program's path
    int output, error, input;
    std::string folder;                   // working folder; "" keeps ours
    std::vector<std::string> environment; // "NAME=value" set on top of ours
};

class Process {
  public:
    Process() = default;
    explicit Process(const Launch& launch); // throws toolsupport::Failure when it cannot start
    Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }
    Process& operator=(Process&& other) noexcept;
    ~Process(); // a child still running is ended: TERM, then KILL

    // The exit status once it has ended (128 + signal when killed), or -1.
    int poll();
    // Waits; after `limit` seconds (when > 0) the child is ended and 124 given, as timeout(1) does.
    int wait(double limit = 0);
    void signal(int number) const;
    // TERM, up to `grace` seconds to go, then KILL; gives the exit status.
    int stop(double grace);
    bool isRunning() { return pid_ > 0 && poll() < 0; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Opens a file for a child's output (created or truncated), close-on-exec.
int openForWriting(const std::string& path);

// Ends every child still running (TERM, then KILL after `grace` seconds).
void stopAllChildren(double grace);

} // namespace segmentrun
