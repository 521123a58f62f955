// boxgraft: puts the layered-HEVC configuration box (lhvC) of a reference segment back into a movie
// that ffmpeg concatenated from such segments, directly after the hvcC of its hvc1/hev1 sample entry,
// and repairs every box size and chunk offset the insertion moves. Works on raw box structure; only the
// input's moov is held in memory, everything else is streamed. Every message goes to standard error.
#include "Box.h"
#include "MovieWriter.h"
#include "toolsupport/ToolSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using media::isSameFile;
using media::readBE32;
using media::readBE64;
using media::writeBE32;
using media::writeBE64;

namespace {

using toolsupport::Failure;
using toolsupport::log;

struct BoxInfo {
    std::string type;
    uint64_t offset = 0;
    uint64_t size = 0;
};

constexpr size_t kCopyPiece = 64ull << 20;

std::string typeAt(const std::vector<uint8_t>& b, size_t pos) {
    return media::fourccToString(readBE32(b.data() + pos + 4));
}

bool isSearchContainer(const std::string& t) {
    return t == "moov" || t == "trak" || t == "mdia" || t == "minf" || t == "stbl";
}

bool isSizeFixContainer(const std::string& t) {
    return isSearchContainer(t) || t == "stsd" || t == "hvc1" || t == "hev1";
}

size_t childStart(const std::string& t, size_t position) {
    if (t == "stsd") return position + 16;
    if (t == "hvc1" || t == "hev1") return position + 86;
    return position + 8;
}

bool preadAll(int fd, uint8_t* dst, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, dst + done, size - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

class Input {
  public:
    int fd = -1;
    uint64_t size = 0;

    std::optional<BoxInfo> readBoxHeader(uint64_t offset) const {
        uint8_t h[16];
        if (offset > size || size - offset < 8 || !preadAll(fd, h, 8, offset)) return std::nullopt;
        BoxInfo box;
        box.offset = offset;
        box.type = media::fourccToString(readBE32(h + 4));
        uint32_t size32 = readBE32(h);
        if (size32 == 1) {
            if (size - offset < 16 || !preadAll(fd, h + 8, 8, offset + 8)) return std::nullopt;
            box.size = readBE64(h + 8);
            if (box.size == 0) box.size = size - offset;
        } else if (size32 == 0) {
            box.size = size - offset;
        } else {
            box.size = size32;
        }
        return box;
    }
};

const media::Box* findLhvCInTree(const std::vector<media::Box>& boxes) {
    for (const media::Box& b : boxes) {
        if (b.type == media::fourcc("lhvC")) return &b;
        if (const media::Box* found = findLhvCInTree(b.children)) return found;
    }
    return nullptr;
}

// The lhvC of the reference's sample entry, found by walking its moov. Nothing when the reference has no
// readable moov or no lhvC in it.
std::optional<std::vector<uint8_t>> findLhvCInMoov(int fd, uint64_t length) {
    uint64_t position = 0;
    while (length >= 8 && position <= length - 8) {
        uint8_t h[16];
        if (!preadAll(fd, h, size_t(std::min<uint64_t>(16, length - position)), position))
            return std::nullopt;
        std::optional<media::BoxHeader> header;
        try {
            header = media::parseBoxHeader(h, length - position, position);
        } catch (const media::FormatError&) {
            return std::nullopt;
        }
        if (!header) return std::nullopt;
        if (header->type == media::fourcc("moov")) {
            if (header->size > (1ull << 30)) return std::nullopt;
            std::vector<uint8_t> moov(size_t(header->size));
            if (!preadAll(fd, moov.data(), moov.size(), position)) return std::nullopt;
            try {
                auto tree = media::parseBoxes(moov.data(), moov.size());
                if (const media::Box* lhvC = findLhvCInTree(tree)) {
                    std::vector<uint8_t> bytes;
                    media::writeBox(*lhvC, bytes);
                    return bytes;
                }
            } catch (const media::FormatError&) {
            }
            return std::nullopt;
        }
        position += header->size;
    }
    return std::nullopt;
}

// The reference's lhvC. Its sample entry is looked at first: a plain byte search over a multi-gigabyte
// segment whose moov follows its media can hit the four letters inside compressed data, with a plausible
// size, and would graft garbage. The byte search (first "lhvC" with a size of at least 8 that stays
// inside the file) remains for references whose moov cannot be walked; it is streamed in windows so the
// reference is never held whole.
std::optional<std::vector<uint8_t>> findLhvC(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        throw Failure{"ERROR: Cannot read reference: " + path};
    }
    uint64_t length = uint64_t(st.st_size);
    std::optional<std::vector<uint8_t>> found = findLhvCInMoov(fd, length);
    if (found) {
        ::close(fd);
        return found;
    }
    std::vector<uint8_t> window(std::min<uint64_t>(length, 8 << 20));
    // Windows overlap by 7 bytes so a size+type straddling two windows is still seen.
    for (uint64_t start = 0; !found && length > 8 && start < length - 8;) {
        size_t n = size_t(std::min<uint64_t>(window.size(), length - start));
        if (!preadAll(fd, window.data(), n, start)) {
            ::close(fd);
            throw Failure{"ERROR: Cannot read reference: " + path};
        }
        for (size_t j = 0; j + 8 <= n; ++j) {
            // Jump to the next "lhvC" bytes (memmem is far faster than a compare at every position).
            const void* hit = ::memmem(window.data() + j + 4, n - j - 4, "lhvC", 4);
            if (!hit) break;
            j = size_t(static_cast<const uint8_t*>(hit) - window.data()) - 4;
            uint64_t i = start + j;
            if (i >= length - 8) break;
            uint64_t size = readBE32(window.data() + j);
            if (size >= 8 && i + size <= length) {
                std::vector<uint8_t> box(size);
                if (!preadAll(fd, box.data(), box.size(), i)) {
                    ::close(fd);
                    throw Failure{"ERROR: Cannot read reference: " + path};
                }
                found = std::move(box);
                break;
            }
        }
        if (n < 8) break;
        start += n - 7;
    }
    ::close(fd);
    return found;
}

// Real movies nest a sample entry six boxes deep; a hostile file could nest millions and overflow the
// stack of the recursive walks.
constexpr int kMaxDepth = 32;

std::optional<size_t> findHvcCEnd(const std::vector<uint8_t>& moov, size_t start, size_t end, int depth = 0) {
    if (depth > kMaxDepth) return std::nullopt;
    size_t position = start;
    while (position + 8 < end) {
        uint64_t size = readBE32(moov.data() + position);
        if (size < 8) return std::nullopt;
        uint64_t next = position + size;
        if (next > end) return std::nullopt;
        std::string type = typeAt(moov, position);
        if (type == "hvc1" || type == "hev1") {
            uint64_t child = position + 86;
            while (child + 8 < next) {
                uint64_t childSize = readBE32(moov.data() + child);
                if (childSize < 8 || child + childSize > next) break;
                if (typeAt(moov, size_t(child)) == "hvcC") return size_t(child + childSize);
                child += childSize;
            }
        } else if (isSearchContainer(type)) {
            if (auto r = findHvcCEnd(moov, position + 8, size_t(next), depth + 1)) return r;
        } else if (type == "stsd") {
            if (auto r = findHvcCEnd(moov, position + 16, size_t(next), depth + 1)) return r;
        }
        position = size_t(next);
    }
    return std::nullopt;
}

void bumpSize(std::vector<uint8_t>& b, size_t at, uint64_t growth) {
    uint64_t sum = uint64_t(readBE32(b.data() + at)) + growth;
    if (growth > UINT32_MAX || sum > UINT32_MAX)
        throw Failure{"ERROR: Box " + typeAt(b, at) + " at moov offset " + std::to_string(at) +
                      " would exceed 4 GiB after the insertion"};
    writeBE32(b.data() + at, uint32_t(sum));
}

// Grows every box that encloses the insertion point. A box that ends exactly at the insertion point
// encloses it too (hvcC last in its entry, the entry last in stsd), except hvcC itself.
void fixAncestorSizes(std::vector<uint8_t>& b, size_t start, size_t end, size_t insertOffset, uint64_t growth,
                      int depth = 0) {
    if (depth > kMaxDepth) return;
    size_t position = start;
    while (position + 8 < end) {
        uint64_t size = readBE32(b.data() + position);
        if (size < 8) return;
        uint64_t next = position + size;
        if (next > end) return;
        if (position == insertOffset) return; // the inserted box
        std::string type = typeAt(b, position);
        if (position < insertOffset && insertOffset <= next) {
            if (next == insertOffset && type == "hvcC") return;
            bumpSize(b, position, growth);
            log("  Bumped " + type + " @ " + std::to_string(position) + ": " + std::to_string(size) + " → " +
                std::to_string(size + growth));
            if (!isSizeFixContainer(type)) return;
            fixAncestorSizes(b, childStart(type, position), size_t(next + growth), insertOffset, growth,
                             depth + 1);
            return;
        }
        position = size_t(next);
    }
}

// A byte-wise scan for stco/co64 boxes anywhere in the moov, so chunk tables of every track move.
// Works on a copy first so that an offset that would overflow leaves nothing half-changed.
void fixChunkOffsets(std::vector<uint8_t>& moov, uint64_t growth) {
    std::vector<uint8_t> b = moov;
    size_t length = b.size();
    for (size_t i = 0; i + 8 < length; ++i) {
        uint64_t size = readBE32(b.data() + i);
        if (size < 8 || i + size > length) continue;
        const uint8_t* t = b.data() + i + 4;
        bool stco = std::memcmp(t, "stco", 4) == 0, co64 = std::memcmp(t, "co64", 4) == 0;
        if ((!stco && !co64) || size < 16) continue;
        uint32_t n = readBE32(b.data() + i + 12);
        size_t width = stco ? 4 : 8;
        for (uint64_t k = 0; k < n; ++k) {
            uint64_t entry = i + 16 + width * k;
            if (entry + width > i + size) break;
            if (stco) {
                uint64_t v = uint64_t(readBE32(b.data() + entry)) + growth;
                if (v > UINT32_MAX)
                    throw Failure{"ERROR: Chunk offset in stco at moov offset " + std::to_string(i) +
                                  " would exceed 4 GiB after the insertion"};
                writeBE32(b.data() + entry, uint32_t(v));
            } else {
                uint64_t old = readBE64(b.data() + entry);
                if (old > UINT64_MAX - growth)
                    throw Failure{"ERROR: Chunk offset in co64 at moov offset " + std::to_string(i) +
                                  " overflows"};
                writeBE64(b.data() + entry, old + growth);
            }
        }
        log(std::string("  Fixed ") + (stco ? "stco" : "co64") + ": " + std::to_string(n) + " entries");
    }
    moov = std::move(b);
}

void writeAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure{std::string("ERROR: Cannot write output: ") + std::strerror(errno)};
        done += size_t(n);
    }
}

// Copies one box in pieces of at most 64 MiB; the kernel moves the bytes when it can.
void copyRange(int in, uint64_t offset, uint64_t size, int out, std::vector<uint8_t>& buffer) {
    loff_t from = loff_t(offset);
    uint64_t left = size;
    while (left > 0) {
        size_t piece = size_t(std::min<uint64_t>(left, kCopyPiece));
        ssize_t n = ::copy_file_range(in, &from, out, nullptr, piece, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) break;
        if (n < 0) throw Failure{std::string("ERROR: Cannot write output: ") + std::strerror(errno)};
        if (n == 0) throw Failure{"ERROR: Input ended early at offset " + std::to_string(from)};
        left -= uint64_t(n);
    }
    while (left > 0) {
        if (buffer.empty()) buffer.resize(kCopyPiece);
        size_t piece = size_t(std::min<uint64_t>(left, buffer.size()));
        if (!preadAll(in, buffer.data(), piece, uint64_t(from)))
            throw Failure{"ERROR: Input ended early at offset " + std::to_string(from)};
        writeAll(out, buffer.data(), piece);
        from += loff_t(piece);
        left -= piece;
    }
}

int run(int argc, char** argv) {
    if (argc < 4) {
        log("Usage: boxgraft <reference-segment.mov> <ffmpeg-concat.mov> <output.mov>");
        return 1;
    }
    std::string referencePath = argv[1], inputPath = argv[2], outputPath = argv[3];

    auto lhvC = findLhvC(referencePath);
    if (!lhvC) throw Failure{"ERROR: No lhvC in reference"};
    uint64_t growth = lhvC->size();
    log("lhvC from reference: " + std::to_string(growth) + " bytes");

    Input input;
    input.fd = ::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (input.fd < 0 || ::fstat(input.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw Failure{"ERROR: Cannot open input: " + inputPath};
    input.size = uint64_t(st.st_size);

    std::vector<BoxInfo> boxes;
    for (uint64_t position = 0; position < input.size;) {
        auto box = input.readBoxHeader(position);
        if (!box) break;
        // A box that claims more than the file holds would be copied short: the output would be damaged.
        if (box->size < 8 || box->size > input.size - position)
            throw Failure{"ERROR: Box " + box->type + " at offset " + std::to_string(position) +
                          " has size " + std::to_string(box->size) + " but the input has " +
                          std::to_string(input.size - position) + " bytes left (truncated or not a movie)"};
        boxes.push_back(*box);
        position += box->size;
    }
    std::string list;
    for (const auto& b : boxes)
        list += (list.empty() ? "" : ", ") + b.type + "@" + std::to_string(b.offset) + "(" +
                std::to_string(b.size) + ")";
    log("Top-level boxes: " + list);

    auto moovIt = std::find_if(boxes.begin(), boxes.end(), [](const BoxInfo& b) { return b.type == "moov"; });
    if (moovIt == boxes.end()) throw Failure{"ERROR: No moov box"};
    const BoxInfo moovBox = *moovIt;
    std::vector<uint8_t> moov(moovBox.size);
    if (!preadAll(input.fd, moov.data(), moov.size(), moovBox.offset))
        throw Failure{"ERROR: Cannot read moov of " + inputPath};
    log("moov: " + std::to_string(moov.size()) + " bytes at offset " + std::to_string(moovBox.offset));
    // Inside moov only 32-bit sizes are understood; a 64-bit moov header has its children after 16 bytes.
    size_t moovHeader = readBE32(moov.data()) == 1 ? 16 : 8;

    auto insertAt = findHvcCEnd(moov, moovHeader, moov.size());
    if (!insertAt) throw Failure{"ERROR: Cannot find hvcC in moov"};
    size_t P = *insertAt;
    log("Inserting lhvC at moov offset " + std::to_string(P));

    if (isSameFile(inputPath, outputPath) || isSameFile(referencePath, outputPath))
        throw Failure{"ERROR: Output must be a new file, not the reference or the input: " + outputPath};

    if (P + 8 <= moov.size() && std::memcmp(moov.data() + P + 4, "lhvC", 4) == 0) {
        log("lhvC already present — nothing to do");
        ::close(input.fd);
        std::error_code ec;
        std::filesystem::copy_file(inputPath, outputPath, std::filesystem::copy_options::overwrite_existing,
                                   ec);
        if (ec) throw Failure{"ERROR: Cannot copy input to output: " + ec.message()};
        return 0;
    }

    std::vector<uint8_t> newMoov;
    newMoov.reserve(moov.size() + growth);
    newMoov.insert(newMoov.end(), moov.begin(), moov.begin() + std::ptrdiff_t(P));
    newMoov.insert(newMoov.end(), lhvC->begin(), lhvC->end());
    newMoov.insert(newMoov.end(), moov.begin() + std::ptrdiff_t(P), moov.end());
    fixAncestorSizes(newMoov, moovHeader, newMoov.size(), P, growth);
    if (moovHeader == 16) {
        writeBE64(newMoov.data() + 8, newMoov.size());
    } else {
        if (newMoov.size() > UINT32_MAX) throw Failure{"ERROR: New moov would exceed 4 GiB"};
        writeBE32(newMoov.data(), uint32_t(newMoov.size()));
    }
    log("New moov: " + std::to_string(newMoov.size()) + " bytes (grew by " + std::to_string(growth) + ")");

    auto mdatIt = std::find_if(boxes.begin(), boxes.end(), [](const BoxInfo& b) { return b.type == "mdat"; });
    if (mdatIt == boxes.end() || moovBox.offset < mdatIt->offset) {
        log("moov before mdat — adjusting chunk offsets by +" + std::to_string(growth));
        fixChunkOffsets(newMoov, growth);
    }

    int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) throw Failure{"ERROR: Cannot create output"};
    try {
        std::vector<uint8_t> buffer;
        for (const auto& b : boxes) {
            if (b.offset == moovBox.offset)
                writeAll(out, newMoov.data(), newMoov.size());
            else
                copyRange(input.fd, b.offset, b.size, out, buffer);
        }
        if (::close(out) != 0) {
            out = -1;
            throw Failure{std::string("ERROR: Cannot write output: ") + std::strerror(errno)};
        }
    } catch (...) {
        // A half-written movie must not be mistaken for a repaired one.
        if (out >= 0) ::close(out);
        std::error_code ec;
        std::filesystem::remove(outputPath, ec);
        throw;
    }
    ::close(input.fd);
    struct stat os {};
    uint64_t outSize = ::stat(outputPath.c_str(), &os) == 0 ? uint64_t(os.st_size) : 0;
    log("✅ Done! Output: " + outputPath + " (" + std::to_string(outSize / 1000000) + " MB)");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolsupport::runMain([&] { return run(argc, argv); });
}
