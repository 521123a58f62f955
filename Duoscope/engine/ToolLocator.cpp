#include "ToolLocator.h"

#include <unistd.h>

#include <mutex>

#include "ChildProcess.h"
#include "Text.h"

#ifndef DUOSCOPE_BUILD_TOOLS_DIR
#define DUOSCOPE_BUILD_TOOLS_DIR ""
#endif

namespace duoscope {

namespace fs = std::filesystem;

namespace {

std::mutex priorityMutex;
fs::path priorityFolder;
bool priorityIsExclusive = false;

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

fs::path executableFolder() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return self.parent_path();
}

fs::path bundledToolsFolder() {
    for (const auto& folder : toolSearchFolders()) {
        std::error_code error;
        if (folder.filename() == "tools" && fs::is_directory(folder, error)) return folder;
    }
    return {};
}

std::vector<fs::path> toolSearchFolders() {
    std::vector<fs::path> folders;
    {
        std::lock_guard lock(priorityMutex);
        if (!priorityFolder.empty()) folders.push_back(priorityFolder);
        if (!priorityFolder.empty() && priorityIsExclusive) return folders;
    }
    fs::path exeFolder = executableFolder();
    if (!exeFolder.empty()) {
        folders.push_back((exeFolder / ".." / "libexec" / "duoscope" / "tools").lexically_normal());
        folders.push_back(exeFolder);
        folders.push_back(exeFolder / "tools");
    }
    if (std::string_view(DUOSCOPE_BUILD_TOOLS_DIR).size() > 0) folders.emplace_back(DUOSCOPE_BUILD_TOOLS_DIR);
    folders.emplace_back("/opt/homebrew/bin");
    folders.emplace_back("/usr/local/bin");
    folders.emplace_back("/usr/bin");
    return folders;
}

void setPriorityToolFolder(const fs::path& folder, bool exclusive) {
    std::lock_guard lock(priorityMutex);
    priorityFolder = folder;
    priorityIsExclusive = exclusive;
}

std::string missingToolMessage(std::string_view name) {
    std::string message = std::string(name) + " not found";
    if (name == "ffmpeg" || name == "ffprobe") return message + ": install the Debian package ffmpeg";
    if (name == "pkill") return message + ": install the Debian package procps";
    if (name == "which") return message + ": install the Debian package debianutils";
    if (name == "bash") return message + ": install the Debian package bash";
    return message + ": it comes with Duoscope in its tools folder; reinstall the duoscope package";
}

std::optional<std::string> findTool(std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
    for (const auto& folder : toolSearchFolders()) {
        fs::path candidate = folder / name;
        if (isExecutableFile(candidate)) return candidate.string();
    }
    {
        std::lock_guard lock(priorityMutex);
        if (!priorityFolder.empty() && priorityIsExclusive) return std::nullopt;
    }
    // Last resort: the search path, as `which` sees it.
    try {
        auto which = ChildProcess::create({"/usr/bin/which",
                                           {std::string(name)},
                                           std::nullopt,
                                           ChildProcess::Output::pipe,
                                           ChildProcess::Output::pipe});
        which->launch();
        which->waitUntilExit();
        std::string output = which->collectedStandardOutput();
        if (!isValidUTF8(output)) return std::nullopt;
        std::string path = trimmed(output);
        if (!path.empty() && isExecutableFile(path)) return path;
    } catch (const std::exception&) {
        // A failing `which` only means the tool is not there.
    }
    return std::nullopt;
}

} // namespace duoscope
