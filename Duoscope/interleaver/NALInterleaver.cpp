#include "NALInterleaver.h"

#include "bitstream/StartCode.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bitstream::findStartCode;
using bitstream::npos;

[[noreturn]] void throwErrno(int error, const std::filesystem::path& path) {
    throw std::system_error(error, std::generic_category(), path.string());
}

// The delimiter NAL unit at the front of an access unit runs up to the next
// start code; everything after it is kept byte for byte.
std::span<const std::uint8_t> withoutDelimiter(std::span<const std::uint8_t> unit) {
    std::size_t length = 0;
    std::size_t first = findStartCode(unit.data(), 0, unit.size(), length);
    if (first != 0) return unit; // only possible for an unframed unit
    std::size_t next = findStartCode(unit.data(), length + 1, unit.size(), length);
    if (next == npos) return {};
    return unit.subspan(next);
}

// Writes to a pipe whose reader has gone must fail with EPIPE rather than kill
// the whole program; the signal is blocked for this thread only and a SIGPIPE
// raised meanwhile is consumed before the old mask comes back.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
        sigset_t pending;
        sigpending(&pending);
        wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        if (!wasPending) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec zero{0, 0};
                sigtimedwait(&pipeOnly, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t pipeOnly{};
    sigset_t previous{};
    bool wasPending = false;
};

// Small access units are gathered into one buffer so that a stream of tiny units
// does not cost a system call each; large ones go straight to the descriptor.
class OutputWriter {
  public:
    explicit OutputWriter(int fd) : fd_(fd) {}
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Returns 0 or the errno of the failed write.
    int append(std::span<const std::uint8_t> bytes) {
        if (bytes.empty()) return 0; // an empty span may carry a null pointer, which memcpy must not see
        if (bytes.size() >= directThreshold) {
            if (int error = flush()) return error;
            return writeAll(bytes);
        }
        if (used_ + bytes.size() > capacity) {
            if (int error = flush()) return error;
        }
        buffer_.resize(capacity); // once, and only for a stream that has small units
        std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return 0;
    }

    int flush() {
        if (used_ == 0) return 0;
        int error = writeAll({buffer_.data(), used_});
        used_ = 0;
        return error;
    }

  private:
    static constexpr std::size_t capacity = std::size_t{1} << 18;
    static constexpr std::size_t directThreshold = std::size_t{1} << 16;

    int writeAll(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        }
        return 0;
    }

    int fd_;
    NALInterleaver::ByteBuffer buffer_;
    std::size_t used_ = 0;
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_); // a close error changes nothing for the caller
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool isSameFile(const struct stat& a, const std::filesystem::path& other) {
    struct stat b {};
    return ::stat(other.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

// ---- InterleaveError ----

NALInterleaver::InterleaveError NALInterleaver::InterleaveError::fileNotFound(const std::string& path) {
    return {Kind::fileNotFound, "File not found: " + path};
}

NALInterleaver::InterleaveError NALInterleaver::InterleaveError::accessUnitCountMismatch(std::uint64_t base,
                                                                                         std::uint64_t mvc) {
    return {Kind::accessUnitCountMismatch,
            "Access unit count mismatch: base=" + std::to_string(base) + ", MVC=" + std::to_string(mvc)};
}

NALInterleaver::InterleaveError NALInterleaver::InterleaveError::readError(const std::string& text) {
    return {Kind::readError, "Read error: " + text};
}

NALInterleaver::InterleaveError NALInterleaver::InterleaveError::invalidStartCode() {
    return {Kind::invalidStartCode, "Invalid start code in stream"};
}

// ---- ByteBuffer ----

NALInterleaver::ByteBuffer::~ByteBuffer() {
    std::free(data_);
}

void NALInterleaver::ByteBuffer::resize(std::size_t size, std::size_t keep) {
    if (size <= size_) return;
    if (data_ != nullptr) size = std::max(size, size_ * 2); // a huge unit grows the buffer geometrically
    constexpr std::size_t hugePage = std::size_t{1} << 21;
    const std::size_t alignment = size >= hugePage ? hugePage : 4096;
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    auto* grown = static_cast<std::uint8_t*>(std::aligned_alloc(alignment, rounded));
    if (grown == nullptr) throw std::bad_alloc();
    if (alignment == hugePage) ::madvise(grown, rounded, MADV_HUGEPAGE); // only a hint
    if (data_ != nullptr) {
        std::memcpy(grown, data_, std::min(keep, size_));
        std::free(data_);
    }
    data_ = grown;
    size_ = rounded;
}

// ---- StreamReader ----

NALInterleaver::StreamReader::StreamReader(const std::filesystem::path& path, std::uint8_t delimiterType)
    : path_(path), delimiterType(delimiterType) {
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) throw InterleaveError::fileNotFound(path.string());
    handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle < 0) throwErrno(errno, path);
    struct stat status {};
    if (::fstat(handle, &status) == 0 && S_ISREG(status.st_mode)) {
        isRegularFile_ = true;
        sizeHint_ = static_cast<std::uint64_t>(status.st_size);
    }
}

NALInterleaver::StreamReader::~StreamReader() {
    if (handle >= 0) ::close(handle);
}

bool NALInterleaver::StreamReader::refill(bool needMore) {
    if (eof) return false;
    // Only the unfinished access unit is moved down: refills happen when a scan
    // runs out of bytes, not after every unit, so this stays a small copy.
    if (begin_ > 0) {
        std::memmove(buffer.data(), buffer.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    bool didRead = false;
    // A unit longer than the target still needs one more chunk per call, so a
    // scan that ran out always gets new bytes to look at.
    while (end_ < bufferTarget || (needMore && !didRead)) {
        // A short file needs no 4 MiB of room; one byte more than it holds lets
        // the read that meets its end say so.
        std::size_t chunk = readSize;
        if (isRegularFile_) {
            const std::uint64_t remaining = sizeHint_ > bytesRead_ ? sizeHint_ - bytesRead_ : 0;
            chunk = static_cast<std::size_t>(std::clamp<std::uint64_t>(remaining + 1, 4096, readSize));
        }
        if (buffer.size() < end_ + chunk) buffer.resize(end_ + chunk, end_);
        ssize_t got = ::read(handle, buffer.data() + end_, chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            throwErrno(errno, path_);
        }
        if (got == 0) {
            eof = true;
            break;
        }
        end_ += static_cast<std::size_t>(got);
        bytesRead_ += static_cast<std::uint64_t>(got);
        didRead = true;
    }
    return didRead;
}

std::size_t NALInterleaver::StreamReader::findDelimiter(std::size_t from) const {
    const std::uint8_t* bytes = buffer.data() + begin_;
    const std::size_t count = end_ - begin_;
    std::size_t length = 0;
    for (std::size_t at = findStartCode(bytes, from, count, length); at != npos;
         at = findStartCode(bytes, at + length, count, length)) {
        std::size_t header = at + length;
        if (header >= count) return npos; // its header byte has not arrived yet
        if ((bytes[header] & 0x1F) == delimiterType) return at;
    }
    return npos;
}

bool NALInterleaver::StreamReader::skipToFirstDelimiter() {
    refill(false);
    for (;;) {
        const std::size_t count = end_ - begin_;
        if (count > 0) sawBytes_ = true;
        if (!sawStartCode_) {
            std::size_t length = 0;
            sawStartCode_ = findStartCode(buffer.data() + begin_, 0, count, length) != npos;
        }
        std::size_t at = findDelimiter(0);
        if (at != npos) {
            begin_ += at;
            hadDelimiter_ = true;
            return true;
        }
        if (eof) {
            begin_ = end_;
            if (sawBytes_ && !sawStartCode_) throw InterleaveError::invalidStartCode();
            return false;
        }
        // Leading bytes are dropped as they are scanned; the last four may open
        // a delimiter whose header byte is still to come.
        begin_ = end_ - std::min<std::size_t>(count, 4);
        refill(true);
    }
}

std::optional<std::span<const std::uint8_t>> NALInterleaver::StreamReader::nextAccessUnit() {
    if (firstAU) {
        firstAU = false;
        if (!skipToFirstDelimiter()) return std::nullopt;
    }
    if (begin_ == end_) {
        refill(false);
        if (begin_ == end_) return std::nullopt;
    }
    // The unit starts with its delimiter's start code; scanning resumes after
    // the header byte and, after a refill, a few bytes before the old end, so
    // no byte is examined twice except around the seam.
    std::size_t length = 0;
    std::size_t scanFrom = 1;
    if (findStartCode(buffer.data() + begin_, 0, std::min<std::size_t>(end_ - begin_, 5), length) == 0)
        scanFrom = length + 1;
    for (;;) {
        std::size_t at = findDelimiter(scanFrom);
        std::size_t unitLength;
        if (at != npos) {
            unitLength = at;
        } else if (eof) {
            unitLength = end_ - begin_;
        } else {
            const std::size_t scanned = end_ - begin_;
            refill(true);
            scanFrom = std::max(scanFrom, scanned >= 4 ? scanned - 4 : 0);
            continue;
        }
        std::span<const std::uint8_t> unit(buffer.data() + begin_, unitLength);
        begin_ += unitLength;
        return withoutDelimiter(unit);
    }
}

// ---- interleave ----

namespace {

// An existing named pipe is opened without blocking until its reader appears,
// so that a cancellation while nobody reads is still seen.
int openOutput(const std::filesystem::path& path, const NALInterleaver::CancelCheck& isCancelled) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        for (;;) {
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                int flags = ::fcntl(fd, F_GETFL);
                ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
                return fd;
            }
            if (errno == EINTR) continue;
            if (errno != ENXIO) throwErrno(errno, path);
            if (isCancelled && isCancelled()) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throwErrno(errno, path);
    return fd;
}

} // namespace

NALInterleaver::Summary NALInterleaver::interleave(const std::filesystem::path& baseURL,
                                                   const std::filesystem::path& mvcURL,
                                                   const std::filesystem::path& outputURL,
                                                   const LogCallback& onLog, const CancelCheck& isCancelled) {
    // The design prints these lines on standard output; a caller that wants
    // them elsewhere passes a callback instead.
    auto log = [&](const std::string& line) {
        if (onLog) {
            onLog("[NALInterleaver] " + line);
        } else {
            std::printf("[NALInterleaver] %s\n", line.c_str());
            std::fflush(stdout);
        }
    };
    StreamReader base(baseURL, 9);
    StreamReader mvc(mvcURL, 24);

    struct stat outputStatus {};
    if (::stat(outputURL.c_str(), &outputStatus) == 0 &&
        (isSameFile(outputStatus, baseURL) || isSameFile(outputStatus, mvcURL)))
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                outputURL.string() + ": output is one of the inputs");

    Summary summary;
    SigpipeBlock sigpipeBlock;
    FileDescriptor output(openOutput(outputURL, isCancelled));
    if (output.get() < 0) {
        log("Cancelled");
        summary.wasCancelled = true;
        log("Complete: 0 pairs written");
        return summary;
    }
    struct stat opened {};
    ::fstat(output.get(), &opened);
    // A regular file that cannot be written is lost data, not a decoder that
    // went away: that is an error. On a pipe it means the reader has ended.
    const bool writeFailureIsFatal = S_ISREG(opened.st_mode);
    OutputWriter writer(output.get());

    auto failWrite = [&](int error) {
        if (writeFailureIsFatal) throwErrno(error, outputURL);
        summary.writeError = std::generic_category().message(error);
        log("Write error (likely cancelled): " + *summary.writeError);
    };

    std::optional<InterleaveError> mismatch;
    for (;;) {
        auto baseUnit = base.nextAccessUnit();
        auto mvcUnit = mvc.nextAccessUnit();
        if (!baseUnit && !mvcUnit) break;
        if (!baseUnit || !mvcUnit) {
            StreamReader& longer = baseUnit ? base : mvc;
            std::uint64_t extra = 0;
            while (longer.nextAccessUnit())
                ++extra;
            const bool baseIsLonger = baseUnit.has_value();
            if (extra <= maxExtraAccessUnits) {
                log(std::string(baseIsLonger ? "base" : "MVC") + " stream has " + std::to_string(extra) +
                    " extra AUs (ignored)");
            } else {
                mismatch = InterleaveError::accessUnitCountMismatch(
                    summary.pairsWritten + (baseIsLonger ? extra : 0),
                    summary.pairsWritten + (baseIsLonger ? 0 : extra));
            }
            break;
        }
        if (isCancelled && isCancelled()) {
            log("Cancelled");
            summary.wasCancelled = true;
            break;
        }
        int error = writer.append(*baseUnit);
        if (error == 0) error = writer.append(*mvcUnit);
        if (error != 0) {
            failWrite(error);
            break;
        }
        ++summary.pairsWritten;
        if (summary.pairsWritten % pairsPerBatch == 0)
            log(std::to_string(summary.pairsWritten) + " pairs interleaved");
    }
    if (!summary.writeError) {
        if (int error = writer.flush()) failWrite(error);
    }
    for (const StreamReader* reader : {&base, &mvc}) {
        if (reader->hadNoDelimiter())
            log("No delimiter of NAL type " + std::to_string(reader->delimiterType) + " in " +
                reader->path_.string() + "; all of its bytes were skipped");
    }
    if (mismatch) throw *mismatch;
    log("Complete: " + std::to_string(summary.pairsWritten) + " pairs written");
    return summary;
}
