#include "TestSupport.h"

#include <sys/stat.h>

#include <fstream>
#include <random>
#include <sstream>

#include "ChildProcess.h"

namespace duoscope::test {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& name) {
    std::random_device random;
    path_ = fs::path(DUOSCOPE_BINARY_DIR) / "scratch" / (name + "-" + std::to_string(random() % 1000000));
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeScript(const fs::path& path, const std::string& contents) {
    writeFile(path, contents);
    ::chmod(path.c_str(), 0755);
}

CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const fs::path& workingDirectory) {
    std::optional<fs::path> folder;
    if (!workingDirectory.empty()) folder = workingDirectory;
    auto process = ChildProcess::create({program, arguments, folder, ChildProcess::Output::pipe,
                                         ChildProcess::Output::toStdout});
    process->launch();
    process->waitUntilExit();
    return {process->terminationStatus(), process->collectedStandardOutput()};
}

bool processWithCommandLineExists(const std::string& needle) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string commandLine;
        try {
            std::ifstream in(entry.path() / "cmdline", std::ios::binary);
            commandLine.assign(std::istreambuf_iterator<char>(in), {});
        } catch (const std::exception&) {
            continue; // the process ended while its command line was read
        }
        for (char& c : commandLine)
            if (c == '\0') c = ' ';
        // A zombie has an empty command line and no longer runs anything.
        if (commandLine.find(needle) == std::string::npos) continue;
        // A process that has exited but is not yet reaped runs nothing any more.
        std::string stat;
        try {
            std::ifstream statFile(entry.path() / "stat");
            stat.assign(std::istreambuf_iterator<char>(statFile), {});
        } catch (const std::exception&) {
            continue;
        }
        auto afterName = stat.rfind(')');
        if (afterName == std::string::npos || afterName + 2 >= stat.size() || stat[afterName + 2] != 'Z') return true;
    }
    return false;
}

} // namespace duoscope::test
