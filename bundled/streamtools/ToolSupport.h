// Output files and error reporting shared by the stream tools' mains.
// OutputFile owns its descriptor and a write buffer; single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace streamtools {

// A buffered output: "-" is standard output, an existing named pipe or device is
// opened as it is, anything else is created or truncated. Write failures throw
// StreamError naming the path.
class OutputFile {
  public:
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::span<const std::uint8_t> bytes);
    void close();
    const std::string& path() const { return path_; }
    // A regular file this object opened by name (never standard output).
    bool isRegularFile() const { return isRegularFile_; }

  private:
    void writeAll(std::span<const std::uint8_t> bytes);

    std::string path_;
    int fd_ = -1;
    bool ownsFd_ = true;
    bool isRegularFile_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
};

// True when both paths name the same existing file.
bool isSameFile(const std::string& a, const std::string& b);

// Runs a tool's body with a broken pipe reported as a write error; failures
// become the shared "ERROR: " line and exit status 1.
int runTool(const std::function<int()>& body);

} // namespace streamtools
