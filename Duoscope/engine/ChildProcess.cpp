#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>

namespace duoscope {

namespace {

constexpr size_t readChunkSize = 64 * 1024;
// After the child is reaped, a grandchild may still hold the pipes open
// (a background job of a script); stop waiting for them after this long quiet.
constexpr int drainAfterExitMilliseconds = 500;

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

[[noreturn]] void childFail(int errorPipe, char stage) {
    int error = errno;
    char message[1 + sizeof error];
    message[0] = stage;
    std::memcpy(message + 1, &error, sizeof error);
    ssize_t ignored = ::write(errorPipe, message, sizeof message);
    (void)ignored;
    _exit(127);
}

// ---- the groups of running tools, and the guard that outlives us ----

// Never destroyed: detached threads (readers, a cancel's sweep) may still
// launch or reap tools while exit() runs the static destructors.
std::mutex& registryMutex = *new std::mutex;
std::set<pid_t>& liveGroups = *new std::set<pid_t>;
int guardWriteFd = -1;
bool guardStarted = false;

// The guard's whole life, in a child forked from a threaded program: only
// async-signal-safe calls. It learns of each tool group (+pid) and its end
// (-pid) through the pipe; end of file means the program has died, however.
[[noreturn]] void runGuard(int readFd) {
    constexpr size_t capacity = 4096;
    pid_t groups[capacity];
    size_t count = 0;
    for (;;) {
        std::int32_t record;
        ssize_t got = ::read(readFd, &record, sizeof record);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof record)) break;
        if (record > 0) {
            if (count < capacity) groups[count++] = record;
        } else {
            for (size_t i = 0; i < count; ++i)
                if (groups[i] == -record) {
                    groups[i] = groups[--count];
                    break;
                }
        }
    }
    for (size_t i = 0; i < count; ++i)
        ::kill(-groups[i], SIGKILL);
    _exit(0);
}

// Called with registryMutex held.
void startGuardOnce() {
    if (guardStarted) return;
    guardStarted = true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        // Its own group, deaf to the terminal's signals: an interrupt must
        // reach the program, which cleans up, not the guard.
        ::setpgid(0, 0);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE})
            ::signal(signalNumber, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Holding any other descriptor (a tool's pipe) would keep it open.
        if (fds[0] > 0) ::close_range(0, static_cast<unsigned>(fds[0]) - 1, 0);
        ::close_range(static_cast<unsigned>(fds[0]) + 1, ~0u, 0);
        ::prctl(PR_SET_NAME, "duoscope-guard");
        runGuard(fds[0]);
    }
    ::close(fds[0]);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    guardWriteFd = fds[1];
}

// Called with registryMutex held.
void tellGuard(std::int32_t record) {
    if (guardWriteFd < 0) return;
    ssize_t ignored = ::write(guardWriteFd, &record, sizeof record);
    (void)ignored;
}

void registerGroup(pid_t group) {
    std::lock_guard lock(registryMutex);
    startGuardOnce();
    liveGroups.insert(group);
    tellGuard(group);
}

void unregisterGroup(pid_t group) {
    std::lock_guard lock(registryMutex);
    liveGroups.erase(group);
    tellGuard(-group);
}

} // namespace

void killAllProcessGroups() {
    std::lock_guard lock(registryMutex);
    for (pid_t group : liveGroups)
        ::kill(-group, SIGKILL);
}

std::shared_ptr<ChildProcess> ChildProcess::create(Options options) {
    return std::shared_ptr<ChildProcess>(new ChildProcess(std::move(options)));
}

ChildProcess::ChildProcess(Options options) : options_(std::move(options)) {}

ChildProcess::~ChildProcess() = default;

void ChildProcess::setStandardOutputHandler(ChunkHandler handler) {
    std::lock_guard lock(mutex_);
    outHandler_ = std::move(handler);
}

void ChildProcess::setStandardErrorHandler(ChunkHandler handler) {
    std::lock_guard lock(mutex_);
    errHandler_ = std::move(handler);
}

void ChildProcess::setTerminationHandler(TerminationHandler handler) {
    std::lock_guard lock(mutex_);
    terminationHandler_ = std::move(handler);
}

void ChildProcess::launch() {
    if (launched_.exchange(true)) throw std::logic_error("ChildProcess launched twice");

    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    int statusPipe[2] = {-1, -1};
    auto fail = [&](const std::string& what) {
        int error = errno;
        for (int* fds : {outPipe, errPipe, statusPipe}) {
            closeIfOpen(fds[0]);
            closeIfOpen(fds[1]);
        }
        throw std::system_error(error, std::generic_category(), what);
    };
    if (options_.standardOutput == Output::pipe || options_.standardError == Output::toStdout)
        if (::pipe2(outPipe, O_CLOEXEC) != 0) fail("Cannot create pipe for " + options_.executable);
    if (options_.standardError == Output::pipe)
        if (::pipe2(errPipe, O_CLOEXEC) != 0) fail("Cannot create pipe for " + options_.executable);
    if (::pipe2(statusPipe, O_CLOEXEC) != 0) fail("Cannot create pipe for " + options_.executable);

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(options_.arguments.size() + 1);
    argumentStorage.push_back(options_.executable);
    argumentStorage.insert(argumentStorage.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStorage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string directory = options_.workingDirectory ? options_.workingDirectory->string() : std::string();

    pid_t pid = ::fork();
    if (pid < 0) fail("Cannot launch " + options_.executable);
    if (pid == 0) {
        ::setpgid(0, 0);
        // The main program ignores SIGPIPE; tools must get the default back,
        // or a pipeline stage whose reader is gone would never stop.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int nullFd = ::open("/dev/null", O_RDWR);
        if (nullFd < 0) childFail(statusPipe[1], 'o');
        ::dup2(nullFd, STDIN_FILENO);
        int outTarget = options_.standardOutput == Output::pipe ? outPipe[1] : nullFd;
        int errTarget = options_.standardError == Output::pipe       ? errPipe[1]
                        : options_.standardError == Output::toStdout ? outPipe[1]
                                                                     : nullFd;
        if (::dup2(outTarget, STDOUT_FILENO) < 0 || ::dup2(errTarget, STDERR_FILENO) < 0)
            childFail(statusPipe[1], 'o');
        if (!directory.empty() && ::chdir(directory.c_str()) != 0) childFail(statusPipe[1], 'd');
        ::execv(argv[0], argv.data());
        childFail(statusPipe[1], 'x');
    }

    // Also set the group from the parent so a cancel that comes at once finds it.
    ::setpgid(pid, pid);
    registerGroup(pid);
    closeIfOpen(outPipe[1]);
    closeIfOpen(errPipe[1]);
    closeIfOpen(statusPipe[1]);

    char message[1 + sizeof(int)];
    ssize_t got;
    do {
        got = ::read(statusPipe[0], message, sizeof message);
    } while (got < 0 && errno == EINTR);
    closeIfOpen(statusPipe[0]);
    if (got == static_cast<ssize_t>(sizeof message)) {
        int error;
        std::memcpy(&error, message + 1, sizeof error);
        int ignored;
        ::waitpid(pid, &ignored, 0);
        unregisterGroup(pid);
        closeIfOpen(outPipe[0]);
        closeIfOpen(errPipe[0]);
        std::string what = message[0] == 'd'
                               ? "Cannot launch " + options_.executable + " in folder " + directory
                               : "Cannot launch " + options_.executable;
        throw std::system_error(error, std::generic_category(), what);
    }

    pid_ = pid;
    std::thread([self = shared_from_this(), outFd = outPipe[0], errFd = errPipe[0]] {
        self->monitor(outFd, errFd);
    }).detach();
}

void ChildProcess::deliver(bool isError, const char* data, size_t size) {
    ChunkHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = isError ? errHandler_ : outHandler_;
        if (!handler) {
            (isError ? collectedErr_ : collectedOut_).append(data, size);
            return;
        }
    }
    handler(std::string_view(data, size));
}

void ChildProcess::monitor(int outFd, int errFd) {
    std::vector<char> buffer(readChunkSize);
    int fds[2] = {outFd, errFd};
    int status = 0;
    auto exitedAt = std::chrono::steady_clock::time_point{};

    auto tryReap = [&](bool block) {
        if (reaped_) return;
        pid_t result;
        do {
            result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == pid_ || (result < 0 && errno == ECHILD)) {
            {
                std::lock_guard lock(mutex_);
                waitStatus_ = status;
            }
            reaped_ = true;
            exitedAt = std::chrono::steady_clock::now();
        }
    };

    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd polled[2];
        int count = 0;
        int which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                polled[count] = {fds[i], POLLIN, 0};
                which[count++] = i;
            }
        int ready = ::poll(polled, count, 100);
        if (ready < 0 && errno != EINTR) break;
        bool sawData = false;
        for (int k = 0; k < count && ready > 0; ++k) {
            if (!(polled[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = ::read(polled[k].fd, buffer.data(), buffer.size());
            if (got > 0) {
                sawData = true;
                deliver(which[k] == 1, buffer.data(), static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                closeIfOpen(fds[which[k]]);
            }
        }
        tryReap(false);
        if (reaped_ && !sawData &&
            std::chrono::steady_clock::now() - exitedAt >
                std::chrono::milliseconds(drainAfterExitMilliseconds))
            break;
    }
    closeIfOpen(fds[0]);
    closeIfOpen(fds[1]);
    tryReap(true);
    unregisterGroup(pid_);

    // The handler runs before waiters wake, so a waiter sees its effects.
    TerminationHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = std::move(terminationHandler_);
    }
    if (handler) handler(*this);
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finishedCondition_.notify_all();
}

void ChildProcess::waitUntilExit() {
    std::unique_lock lock(mutex_);
    finishedCondition_.wait(lock, [this] { return finished_; });
}

bool ChildProcess::waitUntilExit(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return finishedCondition_.wait_for(lock, timeout, [this] { return finished_; });
}

bool ChildProcess::isRunning() const {
    return launched_ && pid_ > 0 && !reaped_;
}

int ChildProcess::terminationStatus() const {
    std::lock_guard lock(mutex_);
    if (WIFEXITED(waitStatus_)) return WEXITSTATUS(waitStatus_);
    if (WIFSIGNALED(waitStatus_)) return WTERMSIG(waitStatus_);
    return waitStatus_;
}

bool ChildProcess::wasKilledBySignal() const {
    std::lock_guard lock(mutex_);
    return reaped_ && WIFSIGNALED(waitStatus_);
}

void ChildProcess::terminate() {
    if (isRunning()) ::kill(pid_, SIGTERM);
}

std::string ChildProcess::collectedStandardOutput() const {
    std::lock_guard lock(mutex_);
    return collectedOut_;
}

std::string ChildProcess::collectedStandardError() const {
    std::lock_guard lock(mutex_);
    return collectedErr_;
}

void LineSplitter::feed(std::string_view chunk, const std::function<void(const std::string&)>& onLine) {
    for (char c : chunk) {
        if (c == '\n' || (splitAtCarriageReturn_ && c == '\r')) {
            if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
            onLine(pending_);
            pending_.clear();
        } else {
            pending_.push_back(c);
        }
    }
}

void LineSplitter::finish(const std::function<void(const std::string&)>& onLine) {
    if (!pending_.empty()) onLine(pending_);
    pending_.clear();
}

bool isValidUTF8(std::string_view bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        uint32_t codePoint;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (int k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace duoscope
