#include "Process.h"

#include "toolsupport/ToolSupport.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace segmentrun {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

void noteStop(int number) {
    stopSignal = number;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int exitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int openForWriting(const std::string& path) {
    if (path.empty()) return -1;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw toolsupport::Failure{"ERROR: cannot write " + path + ": " + std::strerror(errno)};
    return fd;
}

} // namespace

void OwnedDescriptor::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = noteStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a sleep or read ends at once, so the stop is seen.
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(number, &action, nullptr);
    // A reader that went away is a write error to report, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
}

void throwIfStopped() {
    if (stopSignal != 0) throw Stopped{};
}

void pause(double seconds) {
    throwIfStopped();
    timespec span{time_t(seconds), long((seconds - double(time_t(seconds))) * 1e9)};
    nanosleep(&span, nullptr);
    throwIfStopped();
}

Process::Process(const Launch& launch) {
    const OwnedDescriptor outputFile = launch.outputPipe >= 0 ? -1 : openForWriting(launch.output);
    const OwnedDescriptor errorFile = launch.error == launch.output ? -1 : openForWriting(launch.error);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!launch.folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, launch.folder.c_str());
    const int wanted[3] = {launch.input, launch.outputPipe >= 0 ? launch.outputPipe : outputFile.fd,
                           launch.error == launch.output ? outputFile.fd : errorFile.fd};
    for (int target = 0; target < 3; ++target) {
        if (wanted[target] < 0)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY,
                                             0);
        else
            posix_spawn_file_actions_adddup2(&actions, wanted[target], target);
    }
    // The child starts with the signals as a shell would give them, not ours.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigemptyset(&none);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&defaults, number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool isReplaced = false;
        for (const auto& added : launch.environment)
            isReplaced |= text.compare(0, added.find('=') + 1, added, 0, added.find('=') + 1) == 0;
        if (!isReplaced) environment.push_back(text);
    }
    environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
    std::vector<char*> argv, envp;
    for (const auto& argument : launch.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const int error = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        pid_ = -1;
        throw toolsupport::Failure{"ERROR: cannot start " + launch.arguments[0] + ": " +
                                   std::strerror(error)};
    }
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0) stop(5);
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

Process::~Process() {
    if (pid_ > 0) stop(5);
}

int Process::poll() {
    if (pid_ <= 0 || status_ >= 0) return status_;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_)
        status_ = exitStatus(status);
    else if (done < 0 && errno == ECHILD)
        status_ = 127;
    return status_;
}

int Process::wait(double limit) {
    const auto start = std::chrono::steady_clock::now();
    while (poll() < 0) {
        if (limit > 0 && secondsSince(start) > limit) {
            stop(1);
            return status_ = 124;
        }
        pause(0.05);
    }
    // A child ended by the same signal as this run is not a failure of its own.
    throwIfStopped();
    return status_;
}

void Process::signal(int number) const {
    if (pid_ > 0 && status_ < 0) ::kill(pid_, number);
}

int Process::stop(double grace) {
    if (poll() >= 0) return status_;
    signal(SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    timespec step{0, 20'000'000};
    while (poll() < 0 && secondsSince(start) < grace)
        nanosleep(&step, nullptr);
    if (poll() < 0) {
        signal(SIGKILL);
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_) status_ = exitStatus(status);
    }
    return status_;
}

} // namespace segmentrun
