// twinrow: joins two views side by side. Reads W x H planar 4:2:0 pictures of
// view 0 and view 1 alternating on standard input and writes 2W x H planar
// 4:2:0 frames to standard output, view 0 on the left unless "swap" is given;
// "--skip N" reads the first N pairs without writing them.
#include "toolsupport/ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr const char* usage = "usage: twinrow <width> <height> [swap] [--skip N]\n";
const std::string help =
    "Reads W x H planar 4:2:0 (I420) pictures of two views alternating on standard input\n"
    "(view 0, view 1, view 0, ...) and writes 2W x H I420 frames to standard output, view 0 on\n"
    "the left; with \"swap\", view 1 on the left. Width and height must be even.\n"
    "--skip N reads the first N pairs and writes nothing for them: a segment's decoder warms up\n"
    "on pictures that belong to the segment before, and dropping them here spares a copy of\n"
    "every frame through one more pipe. The count at the end includes them.\n";
constexpr unsigned long progressEvery = 500;
constexpr int pipeSize = 1 << 20;
// The largest picture of any H.264 level (level 6.2: 139264 macroblocks);
// anything larger is a mistake, not a film, and must not reserve gigabytes.
constexpr std::size_t largestPictureSamples = 139264ul * 256ul;

bool parseDimension(const char* text, std::size_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || parsed == 0 || parsed > 65536 ||
        parsed % 2 != 0)
        return false;
    value = parsed;
    return true;
}

// Fills `size` bytes from `filled` on; returns how many are there when the
// picture is full or the input ends.
std::size_t readPicture(std::uint8_t* into, std::size_t size, std::size_t filled = 0) {
    while (filled < size) {
        ssize_t got = ::read(STDIN_FILENO, into + filled, size - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "ERROR: twinrow: read error: %s\n", std::strerror(errno));
            std::exit(1);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

// Writes the gathered rows, resuming after partial writes.
bool writeRows(std::vector<iovec>& rows) {
    std::size_t first = 0;
    while (first < rows.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(rows.size() - first, IOV_MAX));
        ssize_t written = ::writev(STDOUT_FILENO, rows.data() + first, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto remaining = static_cast<std::size_t>(written);
        while (first < rows.size() && remaining >= rows[first].iov_len)
            remaining -= rows[first++].iov_len;
        if (remaining > 0) {
            rows[first].iov_base = static_cast<std::uint8_t*>(rows[first].iov_base) + remaining;
            rows[first].iov_len -= remaining;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t width = 0, height = 0;
    bool swap = false;
    unsigned long skip = 0;
    bool isUsable = argc >= 3 && parseDimension(argv[1], width) && parseDimension(argv[2], height);
    for (int i = 3; isUsable && i < argc; ++i) {
        if (std::strcmp(argv[i], "swap") == 0 && !swap) {
            swap = true;
        } else if (std::strcmp(argv[i], "--skip") == 0 && i + 1 < argc && argv[i + 1][0] != '-') {
            char* end = nullptr;
            errno = 0;
            skip = std::strtoul(argv[++i], &end, 10);
            isUsable = errno == 0 && end != argv[i] && *end == '\0';
        } else {
            isUsable = false;
        }
    }
    if (toolsupport::answersVersion(argc, argv, "twinrow")) return 0;
    if (auto status = toolsupport::answerHelpOrMisuse(argc, argv, usage, help, isUsable)) return *status;
    if (width * height > largestPictureSamples) {
        std::fprintf(stderr,
                     "ERROR: twinrow: %zux%zu is larger than any H.264 picture (%zu samples at most)\n",
                     width, height, largestPictureSamples);
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Larger pipe buffers let a whole stripe of a frame move per wake-up.
    ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, pipeSize);
    ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeSize);

    const std::size_t lumaSize = width * height;
    const std::size_t pictureSize = lumaSize + lumaSize / 2;
    // Nothing is reserved before the first bytes arrive: a stage that never
    // gets input costs no memory.
    std::uint8_t firstBytes[4096];
    const std::size_t firstCount = readPicture(firstBytes, std::min(sizeof firstBytes, pictureSize));
    if (firstCount == 0) {
        std::fprintf(stderr, "twinrow: done, 0 frames\n");
        return 0;
    }
    // Not zero-filled: memory is only touched as picture bytes arrive.
    std::unique_ptr<std::uint8_t[]> views[2] = {std::make_unique_for_overwrite<std::uint8_t[]>(pictureSize),
                                                std::make_unique_for_overwrite<std::uint8_t[]>(pictureSize)};
    std::memcpy(views[0].get(), firstBytes, firstCount);
    std::vector<iovec> rows;
    rows.reserve(2 * (height + height));

    unsigned long frames = 0;
    for (;;) {
        const std::size_t first = frames == 0 ? readPicture(views[0].get(), pictureSize, firstCount)
                                              : readPicture(views[0].get(), pictureSize);
        if (first == 0) break;
        const std::size_t second = first == pictureSize ? readPicture(views[1].get(), pictureSize) : 0;
        if (second != pictureSize) {
            std::fprintf(
                stderr, "ERROR: twinrow: input ended inside frame %lu (view %d has %zu of %zu bytes)\n",
                frames + 1, first == pictureSize ? 1 : 0, first == pictureSize ? second : first, pictureSize);
            return 1;
        }
        if (frames < skip) {
            ++frames;
            continue;
        }
        const std::uint8_t* left = views[swap ? 1 : 0].get();
        const std::uint8_t* right = views[swap ? 0 : 1].get();
        rows.clear();
        // Luma rows of width W, then the two chroma planes with rows of W/2.
        auto addPlane = [&](std::size_t offset, std::size_t rowLength, std::size_t rowCount) {
            for (std::size_t row = 0; row < rowCount; ++row) {
                const std::size_t at = offset + row * rowLength;
                rows.push_back({const_cast<std::uint8_t*>(left + at), rowLength});
                rows.push_back({const_cast<std::uint8_t*>(right + at), rowLength});
            }
        };
        addPlane(0, width, height);
        addPlane(lumaSize, width / 2, height / 2);
        addPlane(lumaSize + lumaSize / 4, width / 2, height / 2);
        if (!writeRows(rows)) {
            std::fprintf(stderr, "ERROR: twinrow: write error after %lu frames: %s\n", frames,
                         std::strerror(errno));
            return 1;
        }
        if (++frames % progressEvery == 0) std::fprintf(stderr, "twinrow: %lu frames\n", frames);
    }
    std::fprintf(stderr, "twinrow: done, %lu frames\n", frames);
    return 0;
}
