// Turns a tool name into the path of an executable: our own tools folder
// first, then the system, then `which`. The candidate folders are computed in
// this one place; tests may put a folder of their own in front.
// Safe to call from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace duoscope {

// The installed tools folder, the executable's folder, the build tree's tools
// folder, the development checkout's tools folder, /opt/homebrew/bin,
// /usr/local/bin and /usr/bin, in that order (after any folder a test put first).
std::vector<std::filesystem::path> toolSearchFolders();

// The folder our own tools are installed in (or built into); empty when unknown.
std::filesystem::path bundledToolsFolder();

// For tests: search this folder before every other candidate (empty to undo);
// when exclusive, search only this folder and skip `which`.
void setPriorityToolFolder(const std::filesystem::path& folder, bool exclusive = false);

// The folder holding the running executable.
std::filesystem::path executableFolder();

// "<name> not found" and what to install: the Debian package for system
// programs (ffmpeg and ffprobe come with "ffmpeg"), a reinstall of Duoscope
// for the tools it brings along.
std::string missingToolMessage(std::string_view name);

// Absolute path of an existing executable file named `name`, or nothing.
std::optional<std::string> findTool(std::string_view name);

} // namespace duoscope
