// Minimal child-process runner for the kit: argument vector, no shell,
// standard output to a file or /dev/null, standard error kept for the error
// message. One Child per process; the owner thread starts and waits it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kit {

struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Child {
  public:
    // stdoutPath empty: /dev/null. stderr goes to a temporary file.
    Child(std::vector<std::string> argv, const std::filesystem::path& stdoutPath = {});
    // Standard output to a pipe, read with readSome().
    static Child withOutputPipe(std::vector<std::string> argv);
    // Reads up to `size` bytes of standard output; 0 at its end.
    size_t readSome(uint8_t* buffer, size_t size);
    // Fills `size` bytes unless standard output ends first; returns the count.
    size_t readFully(uint8_t* buffer, size_t size);
    Child(Child&&) noexcept;
    Child(const Child&) = delete;
    ~Child();
    // Waits; throws ToolError with the command, status and the end of its
    // standard error unless it exited 0.
    void wait();
    // Waits and returns the exit status (128 + signal number when killed).
    int exitStatus();
    // The end of the child's standard error.
    std::string errorText() const;

  private:
    std::vector<std::string> argv_;
    std::filesystem::path stderrPath_;
    int pid_ = -1;
    int outputFd_ = -1;
    int status_ = -1;
    Child() = default;
    void start(const std::string& stdoutPath, bool pipeOutput);
};

// Runs to completion (throws like Child::wait).
void run(std::vector<std::string> argv, const std::filesystem::path& stdoutPath = {});

// Runs and returns standard output.
std::string capture(std::vector<std::string> argv);

struct RunResult {
    int status = -1;
    std::string output, error;
};
// Runs to completion without throwing on a non-zero status.
RunResult runCapture(std::vector<std::string> argv);

} // namespace kit
