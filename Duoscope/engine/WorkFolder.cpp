#include "WorkFolder.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <vector>

#include "ConversionTypes.h"
#include "Text.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

std::string firstLineOf(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return trimmed(line);
}

std::string bootId() {
    return firstLineOf("/proc/sys/kernel/random/boot_id");
}

// Field 22 of /proc/PID/stat: start time in clock ticks since boot. With the
// boot id it tells a reused process id from the owner itself.
std::string processStartTime(pid_t pid) {
    std::string stat = firstLineOf("/proc/" + std::to_string(pid) + "/stat");
    // The command name (field 2) may hold blanks and parentheses; count after its last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index)
        if (index == 22) return field;
    return {};
}

std::string uuidPrefix() {
    std::string uuid = firstLineOf("/proc/sys/kernel/random/uuid");
    if (uuid.size() < 8) {
        std::random_device random;
        char text[16];
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(random()));
        uuid = text;
    }
    uuid.resize(8);
    for (char& c : uuid)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return uuid;
}

bool isWorkFolderName(const std::string& name) {
    return name.size() == 17 && name.starts_with("Duoscope_") &&
           name.find_first_not_of("0123456789ABCDEF", 9) == std::string::npos;
}

double megabytesIn(const fs::path& folder) {
    std::error_code error;
    double bytes = 0;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        if (it->is_regular_file(error)) bytes += static_cast<double>(it->file_size(error));
    return bytes / (1024.0 * 1024.0);
}

} // namespace

fs::path createWorkFolder(const fs::path& outputFolder) {
    fs::path folder;
    for (;;) {
        folder = outputFolder / ("Duoscope_" + uuidPrefix());
        // create_directory is false when it exists: another run's, never ours to share.
        if (fs::create_directory(folder)) break;
    }
    std::ofstream owner(folder / workFolderOwnerFile);
    owner << "pid " << ::getpid() << "\nstart " << processStartTime(::getpid()) << "\nboot " << bootId()
          << "\n";
    return folder;
}

bool hasLiveOwner(const fs::path& folder) {
    std::ifstream in(folder / workFolderOwnerFile);
    if (!in) return false;
    std::string key, value, pidText, start, boot;
    while (in >> key && std::getline(in, value)) {
        value = trimmed(value);
        if (key == "pid") pidText = value;
        if (key == "start") start = value;
        if (key == "boot") boot = value;
    }
    auto pid = parseWholeNumber(pidText);
    if (!pid || *pid <= 0) return false;
    // A folder of an earlier boot has no living owner, whatever runs under its number now.
    if (boot != bootId()) return false;
    if (::kill(*pid, 0) != 0 && errno != EPERM) return false;
    return start.empty() || processStartTime(*pid) == start;
}

void removeAbandonedWorkFolders(const fs::path& outputFolder,
                                const std::function<void(const std::string&)>& log) {
    std::error_code error;
    std::vector<fs::path> abandoned;
    for (auto it = fs::directory_iterator(outputFolder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        if (!isWorkFolderName(it->path().filename().string()) || it->is_symlink(error) ||
            !it->is_directory(error))
            continue;
        if (fs::exists(it->path() / workFolderOwnerFile, error) && !hasLiveOwner(it->path()))
            abandoned.push_back(it->path());
    }
    for (const auto& folder : abandoned) {
        double megabytes = megabytesIn(folder);
        fs::remove_all(folder, error);
        if (!log) continue;
        char size[32];
        std::snprintf(size, sizeof size, "%.1f", megabytes);
        log(error
                ? "⚠️ Could not remove " + folder.string() +
                      " left by an interrupted run: " + error.message()
                : "Removed " + folder.filename().string() + " (" + size + " MB) left by an interrupted run");
    }
}

std::string keepAfterFailure(const fs::path& folder, bool keepEverything) {
    std::error_code error;
    fs::remove(folder / workFolderOwnerFile, error);
    if (keepEverything) return fs::exists(folder, error) ? "everything" : "";
    std::vector<fs::path> doomed;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) continue;
        if (lowercased(it->path().extension().string()) != ".log") doomed.push_back(it->path());
    }
    for (const auto& file : doomed)
        fs::remove(file, error);
    // Folders left empty go, deepest first.
    std::vector<fs::path> folders;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        if (it->is_directory(error) && !it->is_symlink(error)) folders.push_back(it->path());
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        if (fs::is_empty(*it, error)) fs::remove(*it, error);
    if (fs::is_empty(folder, error)) fs::remove(folder, error);
    return fs::exists(folder, error) ? "logs" : "";
}

} // namespace duoscope
