#include "ToolSupport.h"

#include "AnnexB.h"
#include "toolsupport/ToolSupport.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace streamtools {

namespace {
constexpr std::size_t bufferSize = std::size_t{1} << 20;
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    if (path_ == "-") {
        fd_ = STDOUT_FILENO;
        ownsFd_ = false;
    } else {
        struct stat status {};
        const bool exists = ::stat(path_.c_str(), &status) == 0;
        const int flags = O_WRONLY | O_CLOEXEC | (exists && !S_ISREG(status.st_mode) ? 0 : O_CREAT | O_TRUNC);
        fd_ = ::open(path_.c_str(), flags, 0644);
        if (fd_ < 0) throw StreamError("cannot open " + path_ + " for writing: " + std::strerror(errno));
    }
    // Standard output is never "our" file to remove, whatever it is redirected to.
    struct stat opened {};
    isRegularFile_ = ownsFd_ && ::fstat(fd_, &opened) == 0 && S_ISREG(opened.st_mode);
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize);
}

OutputFile::~OutputFile() {
    if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

void OutputFile::writeAll(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            throw StreamError("write error on " + path_ + ": " + std::strerror(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

void OutputFile::write(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return; // an empty span may carry a null pointer, which memcpy must not see
    if (used_ + bytes.size() > bufferSize) {
        writeAll({buffer_.get(), used_});
        used_ = 0;
        if (bytes.size() >= bufferSize / 2) {
            writeAll(bytes);
            return;
        }
    }
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
}

void OutputFile::close() {
    writeAll({buffer_.get(), used_});
    used_ = 0;
    if (ownsFd_) {
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw StreamError("write error on " + path_ + ": " + std::strerror(errno));
    }
}

bool isSameFile(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int runTool(const std::function<int()>& body) {
    // A reader that goes away must show up as a write error, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    return toolsupport::runMain(body);
}

} // namespace streamtools
