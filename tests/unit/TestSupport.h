// Helpers shared by the main program's tests: scratch folders, executable
// scripts standing in for tools, and running a command to completion.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace duoscope::test {

// A fresh folder under the build tree's scratch area, removed on destruction.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name);
    ~ScratchFolder();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);
// Writes an executable script (contents should start with a #! line).
void writeScript(const std::filesystem::path& path, const std::string& contents);

struct CommandResult {
    int status = -1;
    std::string output; // standard output and error together
};
// Runs a program with arguments (no shell) and waits for it.
CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// True when some process's command line contains `needle`.
bool processWithCommandLineExists(const std::string& needle);

} // namespace duoscope::test
