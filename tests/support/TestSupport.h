// What every test folder shares: scratch folders, files, scripts standing in
// for tools, running a program with a timeout, and waiting on a condition.
// Depends on nothing of the programs under test, so tool and bundled-program
// tests use it as well as the main program's. Any thread may call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace duoscope::test {

// A fresh folder under the build tree's scratch area, removed on destruction.
class ScratchFolder {
  public:
    explicit ScratchFolder(const std::string& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Writing throws std::runtime_error when the bytes cannot be written.
void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path); // "" when there is nothing to read
using Bytes = std::vector<std::uint8_t>;
void writeBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes readBytes(const std::filesystem::path& path); // throws std::runtime_error when it cannot be read
void append(Bytes& to, const Bytes& part);
// One Annex B NAL unit: a four- or three-byte start code, the header byte, the payload.
Bytes nalUnit(std::uint8_t header, const Bytes& payload, bool fourByteStartCode = true);
// Writes an executable script (contents should start with a #! line).
void writeScript(const std::filesystem::path& path, const std::string& contents);

// The data lines of ffmpeg's framemd5 output (its comment lines dropped), and
// their last column: each frame's MD5 (timestamps differ between containers).
std::vector<std::string> framemd5Lines(const std::string& text);
std::vector<std::string> frameMd5s(const std::string& text);

// A fixed argument list written as one line: the words between blanks.
std::vector<std::string> words(const std::string& line);
// The arguments `first` with `more` after them.
std::vector<std::string> operator+(std::vector<std::string> first, const std::vector<std::string>& more);

struct CommandResult {
    int status = -1;    // exit code, the signal number when killed, -1 when timed out or not started
    std::string output; // standard output and error together, in the order they came
    std::string standardOutput, standardError;
};
struct CommandOptions {
    std::filesystem::path workingDirectory; // empty: the test's own
    std::filesystem::path input;            // standard input; empty: /dev/null
    std::chrono::seconds timeout = std::chrono::seconds(600);
    static CommandOptions inFolder(const std::filesystem::path& folder) {
        CommandOptions options;
        options.workingDirectory = folder;
        return options;
    }
    static CommandOptions withInput(const std::filesystem::path& file) {
        CommandOptions options;
        options.input = file;
        return options;
    }
};
// Runs a program (looked up on PATH when it has no slash) with arguments, no
// shell, in a process group of its own; one that outlives the timeout is
// killed with its whole group.
CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const CommandOptions& options = {});

// Polls `condition` until it holds or `timeout` has passed; returns whether it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// True when some live (not zombie) process's command line contains `needle`.
bool processWithCommandLineExists(const std::string& needle);

} // namespace duoscope::test
