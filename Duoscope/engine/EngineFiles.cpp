#include "EngineFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace duoscope {

namespace fs = std::filesystem;

void writeFileAtomically(const fs::path& path, const std::string& contents) {
    std::random_device random;
    fs::path temporary = path;
    temporary += ".tmp" + std::to_string(random() % 100000);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot write " + path.string());
    size_t written = 0;
    while (written < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            throw std::system_error(error, std::generic_category(), "Cannot write " + path.string());
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        throw std::system_error(error, std::generic_category(), "Cannot write " + path.string());
    }
}

unsigned long long fileSizeOrZero(const fs::path& path) {
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

} // namespace duoscope
