#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

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
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << contents).flush()) throw std::runtime_error("cannot write " + path.string());
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

void writeBytes(const fs::path& path, const Bytes& bytes) {
    writeFile(path, std::string(bytes.begin(), bytes.end()));
}

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void append(Bytes& to, const Bytes& part) {
    to.insert(to.end(), part.begin(), part.end());
}

Bytes nalUnit(std::uint8_t header, const Bytes& payload, bool fourByteStartCode) {
    Bytes out = fourByteStartCode ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1};
    out.push_back(header);
    append(out, payload);
    return out;
}

std::vector<std::string> framemd5Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}

std::vector<std::string> frameMd5s(const std::string& text) {
    std::vector<std::string> md5s;
    for (const std::string& line : framemd5Lines(text)) {
        const size_t md5 = line.find_first_not_of(' ', line.rfind(',') + 1);
        md5s.push_back(md5 == std::string::npos ? std::string() : line.substr(md5));
    }
    return md5s;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

std::vector<std::string> operator+(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const CommandOptions& options) {
    CommandResult result;
    int output[2], error[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return result;
    if (::pipe2(error, O_CLOEXEC) != 0) {
        ::close(output[0]);
        ::close(output[1]);
        return result;
    }
    const fs::path input = options.input.empty() ? fs::path("/dev/null") : options.input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own group, so a timeout stops everything it started; SIGPIPE as a
    // shell would give it, whatever the test program does with it.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int spawnError = ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    ::close(error[1]);
    if (spawnError != 0) {
        ::close(output[0]);
        ::close(error[0]);
        result.output = result.standardError = program + ": " + std::strerror(spawnError);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool timedOut = false;
    char buffer[65536];
    pollfd streams[2] = {{output[0], POLLIN, 0}, {error[0], POLLIN, 0}};
    std::string* kept[2] = {&result.standardOutput, &result.standardError};
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        int ready = left.count() > 0 ? ::poll(streams, 2, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0) continue;
            ssize_t count = ::read(streams[i].fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                ::close(streams[i].fd);
                streams[i].fd = -1; // poll skips it from now on
                continue;
            }
            result.output.append(buffer, static_cast<size_t>(count));
            kept[i]->append(buffer, static_cast<size_t>(count));
        }
    }
    for (const pollfd& stream : streams)
        if (stream.fd >= 0) ::close(stream.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        result.status = -1;
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = WTERMSIG(status);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool processWithCommandLineExists(const std::string& needle) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
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
        if (afterName == std::string::npos || afterName + 2 >= stat.size() || stat[afterName + 2] != 'Z')
            return true;
    }
    return false;
}

} // namespace duoscope::test
