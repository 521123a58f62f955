// The run's work folder inside the output folder: made with a record of its
// owner (process id, start time and boot id), so that a later run can tell a
// folder whose run was killed from one that is still at work and remove it.
// Plain functions on the file system; any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace duoscope {

// "Duoscope_" + 8 characters of a fresh UUID, made in `outputFolder` with its
// owner file. Throws std::filesystem::filesystem_error with the path.
std::filesystem::path createWorkFolder(const std::filesystem::path& outputFolder);

// Removes the work folders in `outputFolder` whose recorded owner is no longer
// running (a killed run's), saying each through `log`. Folders without an
// owner file (kept on request, or kept as logs after a failure) stay.
void removeAbandonedWorkFolders(const std::filesystem::path& outputFolder,
                                const std::function<void(const std::string&)>& log);

// Whether the owner recorded in `folder` is this process or another one that
// still runs. False without a readable owner file.
bool hasLiveOwner(const std::filesystem::path& folder);

// After a failure: with `keepEverything` the folder stays whole for
// inspection; else only its logs (*.log) stay, and an empty folder goes. Either
// way it loses its owner file, so no later run takes it for a killed run's.
// Returns what stayed: nothing, "logs" or "everything".
std::string keepAfterFailure(const std::filesystem::path& folder, bool keepEverything);

// The owner file's name inside a work folder.
inline constexpr const char* workFolderOwnerFile = ".duoscope-owner";

} // namespace duoscope
