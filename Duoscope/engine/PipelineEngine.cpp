#include "PipelineEngine.h"

#include "EncodeSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <system_error>
#include <thread>

namespace duoscope {

namespace {

std::string escapeExtendedRegex(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (std::string_view("\\.^$|?*+()[]{}").find(c) != std::string_view::npos) escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

void sweepLeftoverTools(const std::filesystem::path& scope) {
    if (scope.empty()) return;
    for (const char* name : {"viewpump", "twinrow", "StereoPacker", "ffmpeg"}) {
        try {
            auto pkill = ChildProcess::create({"/usr/bin/pkill",
                                               {"-KILL", "-f", sweepPattern(name, scope)},
                                               std::nullopt,
                                               ChildProcess::Output::nullDevice,
                                               ChildProcess::Output::nullDevice});
            pkill->launch();
            pkill->waitUntilExit();
        } catch (const std::exception&) {
            // A missing pkill only means there is nothing more we can do.
        }
    }
}

// Renames unless `to` exists (false then). File systems without the kernel's
// no-replace rename get a hard link, or, on those without links either, a
// look before the rename.
bool placeWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    if (std::filesystem::exists(std::filesystem::symlink_status(to))) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace

std::string sweepPattern(const std::string& toolName, const std::filesystem::path& scope) {
    // The tool's own name as the program word, and the run's folder anywhere after it.
    return "(^|/)" + escapeExtendedRegex(toolName) + "( |$).*" + escapeExtendedRegex(scope.string());
}

std::shared_ptr<ChildProcess> PipelineEngine::currentProcess() const {
    std::lock_guard lock(stateMutex_);
    return currentProcess_;
}

void PipelineEngine::setCurrentProcess(std::shared_ptr<ChildProcess> process) {
    std::lock_guard lock(stateMutex_);
    currentProcess_ = std::move(process);
}

void PipelineEngine::launchCurrentProcess(const std::shared_ptr<ChildProcess>& process) {
    process->launch();
    if (isCancelled) cancel();
}

std::shared_ptr<ChildProcess> PipelineEngine::runCurrentProcess(const ChildProcess::Options& options) {
    auto process = ChildProcess::create(options);
    setCurrentProcess(process);
    launchCurrentProcess(process);
    process->waitUntilExit();
    return process;
}

void PipelineEngine::setConversionScope(const std::filesystem::path& folder) {
    std::lock_guard lock(stateMutex_);
    conversionScope_ = folder;
}

std::filesystem::path PipelineEngine::conversionScope() const {
    std::lock_guard lock(stateMutex_);
    return conversionScope_;
}

void PipelineEngine::engineLog(const std::string& line) const {
    if (verboseLogging && onLog) onLog(line);
}

void PipelineEngine::directLog(const std::string& line) const {
    if (onLog) onLog(line);
}

void PipelineEngine::checkMovie(const std::filesystem::path& movie, const MovieExpectation& expected,
                                const std::string& reason) {
    auto facts = probeMovieFacts(movie, std::nullopt, processTracker());
    if (facts && expected.soundDuration)
        facts->soundDuration = probeSoundDuration(movie, std::nullopt, processTracker());
    if (isCancelled) throw ConversionError::cancelled();
    std::optional<std::string> shortfall =
        facts ? movieShortfall(*facts, expected) : std::optional<std::string>("it cannot be read back");
    if (!shortfall) shortfall = undecodableVideo(movie, facts->duration, processTracker());
    if (isCancelled) throw ConversionError::cancelled();
    if (shortfall) {
        // ffmpeg may end with status 0 after a write failed, so a full disk
        // shows only here, as a short movie.
        std::string cause =
            reason.empty() && diskIsFull(movie.parent_path()) ? "No space left on device" : reason;
        throw ConversionError::encodingFailed(
            withReason(movie.filename().string() + " is incomplete: " + *shortfall, cause));
    }
    engineLog("Checked " + movie.filename().string() + ": " + std::to_string(facts->frames) + " frames");
}

void PipelineEngine::startRun(const ConversionJob& job) {
    std::error_code error;
    SourceStamp stamp{job.sourceURL, std::filesystem::file_size(job.sourceURL, error), {}};
    if (!error) stamp.modified = std::filesystem::last_write_time(job.sourceURL, error);
    sourceStamp_ = error ? std::nullopt : std::optional(stamp);
    runChoices_ = {job.replaceExisting, job.keepSBSIntermediate, job.acceptDamaged, job.otherMachines};
    std::lock_guard lock(stateMutex_);
    concealedPictures_.clear();
    damageReported_ = false;
}

void PipelineEngine::noteConcealedPicture(int view, double seconds) {
    std::lock_guard lock(stateMutex_);
    concealedPictures_.emplace_back(view, seconds);
}

std::filesystem::path PipelineEngine::publishMovie(const std::filesystem::path& written,
                                                   const std::filesystem::path& destination,
                                                   const std::filesystem::path& source) {
    // A source rewritten or cut during the run may leave every step content
    // with what it read, while the sound, read separately, tells another story.
    if (sourceStamp_ && sourceStamp_->path == source) {
        std::error_code sizeError, timeError;
        auto size = std::filesystem::file_size(source, sizeError);
        auto modified = std::filesystem::last_write_time(source, timeError);
        if (sizeError || timeError || size != sourceStamp_->size || modified != sourceStamp_->modified)
            throw ConversionError::encodingFailed(source.filename().string() +
                                                  ": the source changed while converting");
    }
    std::string damage;
    {
        std::lock_guard lock(stateMutex_);
        damage = damageSummary(concealedPictures_);
        if (damageReported_) damage.clear();
        damageReported_ = damageReported_ || !damage.empty();
    }
    if (!damage.empty()) {
        // Lost areas come out grey or smeared: a movie the user did not ask for.
        if (!runChoices_.acceptDamaged)
            throw ConversionError::decodingFailed("the source is damaged: " + damage +
                                                  "; --accept-damaged converts it anyway");
        directLog("⚠️ The source is damaged: " + damage);
    }
    std::string wanted = destination.filename().string();
    std::filesystem::path chosen = destination.parent_path() / fittingFileName(wanted, "");
    if (chosen.filename().string() != wanted)
        directLog("⚠️ The name " + wanted + " is too long for the file system — shortened to " +
                  chosen.filename().string());
    if (runChoices_.replaceExisting && !isSameFile(chosen, source)) {
        bool existed = std::filesystem::exists(std::filesystem::symlink_status(chosen));
        // One rename: a reader sees the old file or the new one, never half of one.
        if (::rename(written.c_str(), chosen.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(),
                                    "Cannot put " + chosen.string() + " in place");
        if (existed) directLog("Replaced the existing " + chosen.filename().string() + " (--overwrite)");
        return chosen;
    }
    for (int number = 1;; ++number) {
        std::filesystem::path candidate =
            number == 1
                ? chosen
                : destination.parent_path() / fittingFileName(wanted, " (" + std::to_string(number) + ")");
        // Never over anything: a file that appears meanwhile keeps its name too.
        if (placeWithoutReplacing(written, candidate)) {
            if (number > 1)
                directLog("⚠️ " + chosen.filename().string() + " already exists — the movie is " +
                          candidate.filename().string());
            return candidate;
        }
        if (errno != EEXIST || number > 9999)
            throw std::system_error(errno, std::generic_category(),
                                    "Cannot put " + candidate.string() + " in place");
    }
}

ProcessTracker PipelineEngine::processTracker() {
    return [this](const std::shared_ptr<ChildProcess>& process) { setCurrentProcess(process); };
}

namespace {

struct SweepCount {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
};
// Never destroyed, like the sweeps that may outlive main().
SweepCount& sweeps = *new SweepCount;

} // namespace

void PipelineEngine::waitForCancelSweeps(std::chrono::milliseconds limit) {
    std::unique_lock lock(sweeps.mutex);
    sweeps.changed.wait_for(lock, limit, [] { return sweeps.running == 0; });
}

void PipelineEngine::cancel() {
    isCancelled = true;
    auto process = currentProcess();
    if (!process) return;
    pid_t group = process->processIdentifier();
    process->terminate();
    if (group > 0) ::kill(-group, SIGTERM);
    std::filesystem::path scope = conversionScope();
    {
        std::lock_guard lock(sweeps.mutex);
        ++sweeps.running;
    }
    // The thread holds only what it needs, so the engine may go away meanwhile.
    std::thread([process, group, scope] {
        for (int i = 0; i < 30 && process->isRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Kill the group even when its leader has gone: a stage of a shell
        // pipeline may ignore SIGTERM while the shell itself exits.
        if (group > 0) ::kill(-group, SIGKILL);
        sweepLeftoverTools(scope);
        std::lock_guard lock(sweeps.mutex);
        --sweeps.running;
        sweeps.changed.notify_all();
    }).detach();
}

} // namespace duoscope
