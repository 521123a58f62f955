// segmentjoin: the encoded segments of the segment-parallel route, one after
// another on standard output, in the order given. The segments already carry
// the film's clock and were cut at random access points, so their bytes in
// order are the film; nothing is re-encoded or re-stamped.
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"
#include <span>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace streamtools;

namespace {

constexpr const char* usage = "usage: segmentjoin [--remove] [--lines N] <segment>...\n";

struct JoinSettings {
    bool isRemoving = false;      // each segment goes once written: the disk never holds the film twice
    long long expectedLines = -1; // frame MD5 lists: one line per picture
};

void writeOut(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0)
            throw StreamError("write error on standard output: " + std::string(std::strerror(errno)));
        bytes = bytes.subspan(std::size_t(written));
    }
}

int join(const std::vector<std::string>& segments, const JoinSettings& settings) {
    // Unbuffered: a segment is removed only once all its bytes have been handed on.
    std::vector<std::uint8_t> buffer(std::size_t{4} << 20);
    long long lines = 0;
    for (const auto& path : segments) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw StreamError("cannot read the encoded segment " + path + ": " + std::strerror(errno));
        try {
            for (;;) {
                const ssize_t count = ::read(fd, buffer.data(), buffer.size());
                if (count < 0 && errno == EINTR) continue;
                if (count < 0)
                    throw StreamError("cannot read the encoded segment " + path + ": " +
                                      std::strerror(errno));
                if (count == 0) break;
                const std::span<const std::uint8_t> bytes(buffer.data(), std::size_t(count));
                lines += std::count(bytes.begin(), bytes.end(), std::uint8_t('\n'));
                writeOut(bytes);
            }
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
        if (settings.isRemoving) ::unlink(path.c_str());
    }
    if (settings.expectedLines >= 0 && lines != settings.expectedLines)
        throw StreamError("the segments gave " + std::to_string(lines) + " frames, expected " +
                          std::to_string(settings.expectedLines));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (toolsupport::answersVersion(argc, argv, "segmentjoin")) return 0;
    JoinSettings settings;
    std::vector<std::string> segments;
    return runTool([&] {
        for (int i = 1; i < argc; ++i) {
            const std::string argument = argv[i];
            if (argument == "--help" || argument == "-h") {
                std::printf(
                    "%s\nWrites the segments' bytes in order to standard output. --remove removes each"
                    " segment once its bytes are written;\n--lines checks that the segments hold N lines"
                    " in all (frame MD5 lists).\n",
                    usage);
                return 0;
            }
            if (argument == "--remove") {
                settings.isRemoving = true;
            } else if (argument == "--lines" && i + 1 < argc) {
                const char* text = argv[++i];
                const char* end = text + std::strlen(text);
                auto [stop, error] = std::from_chars(text, end, settings.expectedLines);
                if (error != std::errc() || stop != end || settings.expectedLines < 0)
                    return toolsupport::usageError(usage);
            } else if (!argument.empty() && argument[0] != '-') {
                segments.push_back(argument);
            } else {
                return toolsupport::usageError(usage);
            }
        }
        if (segments.empty()) return toolsupport::usageError(usage);
        return join(segments, settings);
    });
}
