// segmentrun's process layer: starting a program from an argument list (never
// a shell line) and waiting for it while a stop request can still interrupt.
// A Process owns its child: one still running when it goes out of scope is
// ended (TERM, then KILL), so a failed or stopped run leaves none behind.
// Main thread only.
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
    explicit Launch(std::vector<std::string> arguments, std::string output = "", std::string error = "")
        : arguments(std::move(arguments)), output(std::move(output)), error(std::move(error)) {}

    std::vector<std::string> arguments; // [0] is the program's path
    // Files for the child's standard output and error, created or truncated;
    // "" is /dev/null, and one name for both takes both.
    std::string output, error;
    int input = -1, outputPipe = -1;      // pipe ends instead of /dev/null and `output`
    std::string folder;                   // working folder; "" keeps ours
    std::vector<std::string> environment; // "NAME=value" set on top of ours
};

// A descriptor closed when it goes out of scope.
struct OwnedDescriptor {
    int fd = -1;
    OwnedDescriptor(int fd) : fd(fd) {}
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() { close(); }
    void close();
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

} // namespace segmentrun
