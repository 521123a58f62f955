#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kit {
namespace {

std::string commandLine(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

std::string tail(const std::filesystem::path& path, size_t maxBytes) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (text.size() > maxBytes) text = "..." + text.substr(text.size() - maxBytes);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::filesystem::path temporaryPath() {
    static int counter = 0;
    return std::filesystem::temp_directory_path() /
           ("stereokit-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".err");
}

} // namespace

Child::Child(std::vector<std::string> argv, const std::filesystem::path& stdoutPath)
    : argv_(std::move(argv)), stderrPath_(temporaryPath()) {
    start(stdoutPath.empty() ? std::string("/dev/null") : stdoutPath.string(), false);
}

Child Child::withOutputPipe(std::vector<std::string> argv) {
    Child child;
    child.argv_ = std::move(argv);
    child.stderrPath_ = temporaryPath();
    child.start({}, true);
    return child;
}

void Child::start(const std::string& stdoutPath, bool pipeOutput) {
    std::vector<char*> args;
    for (auto& arg : argv_)
        args.push_back(arg.data());
    args.push_back(nullptr);
    const std::string err = stderrPath_.string();
    int fds[2] = {-1, -1};
    if (pipeOutput && pipe2(fds, O_CLOEXEC) != 0)
        throw ToolError("cannot make a pipe for " + argv_[0] + ": " + std::strerror(errno));
    pid_ = fork();
    if (pid_ < 0) throw ToolError("cannot start " + argv_[0] + ": " + std::strerror(errno));
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int outFd = pipeOutput ? fds[1] : open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || outFd < 0 || errFd < 0) _exit(126);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execvp(args[0], args.data());
        const char message[] = "exec failed\n";
        (void)!write(2, message, sizeof message - 1);
        _exit(127);
    }
    if (pipeOutput) {
        close(fds[1]);
        outputFd_ = fds[0];
    }
}

size_t Child::readSome(uint8_t* buffer, size_t size) {
    if (outputFd_ < 0) return 0;
    for (;;) {
        const ssize_t got = read(outputFd_, buffer, size);
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) throw ToolError("reading from " + argv_[0] + ": " + std::strerror(errno));
    }
}

size_t Child::readFully(uint8_t* buffer, size_t size) {
    size_t total = 0;
    while (total < size) {
        const size_t got = readSome(buffer + total, size - total);
        if (got == 0) break;
        total += got;
    }
    return total;
}

Child::Child(Child&& other) noexcept
    : argv_(std::move(other.argv_)), stderrPath_(std::move(other.stderrPath_)), pid_(other.pid_),
      outputFd_(other.outputFd_), status_(other.status_) {
    other.pid_ = -1;
    other.outputFd_ = -1;
    other.stderrPath_.clear();
}

Child::~Child() {
    if (outputFd_ >= 0) close(outputFd_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    std::error_code ignored;
    if (!stderrPath_.empty()) std::filesystem::remove(stderrPath_, ignored);
}

int Child::exitStatus() {
    if (outputFd_ >= 0) {
        close(outputFd_); // a reader that stopped early must not leave the child blocked
        outputFd_ = -1;
    }
    if (pid_ < 0) return status_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) throw ToolError("waiting for " + argv_[0] + ": " + std::strerror(errno));
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

std::string Child::errorText() const {
    return tail(stderrPath_, 600);
}

void Child::wait() {
    const int status = exitStatus();
    if (status == 0) return;
    if (status == 127 && errorText() == "exec failed")
        throw ToolError("cannot run " + argv_[0] + ": not installed or not executable");
    const std::string how = status < 128 ? "exited with status " + std::to_string(status)
                                         : "was killed by signal " + std::to_string(status - 128);
    throw ToolError(commandLine(argv_) + " " + how + ": " + errorText());
}

void run(std::vector<std::string> argv, const std::filesystem::path& stdoutPath) {
    Child(std::move(argv), stdoutPath).wait();
}

std::string capture(std::vector<std::string> argv) {
    const std::filesystem::path out = temporaryPath();
    Child child(std::move(argv), out);
    try {
        child.wait();
    } catch (...) {
        std::filesystem::remove(out);
        throw;
    }
    std::ifstream in(out, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    in.close();
    std::filesystem::remove(out);
    return buffer.str();
}

RunResult runCapture(std::vector<std::string> argv) {
    const std::filesystem::path out = temporaryPath();
    Child child(std::move(argv), out);
    RunResult result;
    result.status = child.exitStatus();
    result.error = child.errorText();
    std::ifstream in(out, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    in.close();
    std::filesystem::remove(out);
    result.output = buffer.str();
    return result;
}

} // namespace kit
