// NALInterleaver merges a base-view H.264 Annex B stream (access units opened by
// NAL type 9) and an MVC dependent-view stream (opened by NAL type 24) into one
// stream: base AU k, dependent AU k, ... with the delimiters removed.
// One instance per run; interleave() blocks and is meant for a worker thread.
// StreamReader owns its file descriptor and buffer; a handed-out access unit
// stays valid until the next call on the same reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

class NALInterleaver {
  public:
    using LogCallback = std::function<void(const std::string&)>;
    using CancelCheck = std::function<bool()>;

    class InterleaveError : public std::exception {
      public:
        enum class Kind { fileNotFound, accessUnitCountMismatch, readError, invalidStartCode };

        static InterleaveError fileNotFound(const std::string& path);
        static InterleaveError accessUnitCountMismatch(std::uint64_t base, std::uint64_t mvc);
        static InterleaveError readError(const std::string& text);
        static InterleaveError invalidStartCode();

        Kind kind() const noexcept { return kind_; }
        const char* what() const noexcept override { return description_.c_str(); }

      private:
        InterleaveError(Kind kind, std::string description)
            : kind_(kind), description_(std::move(description)) {}
        Kind kind_;
        std::string description_;
    };

    // Uninitialised bytes in 2 MiB-aligned storage that asks for huge pages: the
    // buffers are touched once per run, and small-page faults would cost more
    // than the scanning of a large input.
    class ByteBuffer {
      public:
        ByteBuffer() = default;
        explicit ByteBuffer(std::size_t size) { resize(size); }
        ~ByteBuffer();
        ByteBuffer(const ByteBuffer&) = delete;
        ByteBuffer& operator=(const ByteBuffer&) = delete;
        // Keeps the first `keep` bytes when it has to move.
        void resize(std::size_t size, std::size_t keep = 0);
        std::uint8_t* data() { return data_; }
        const std::uint8_t* data() const { return data_; }
        std::size_t size() const { return size_; }

      private:
        std::uint8_t* data_ = nullptr;
        std::size_t size_ = 0;
    };

    // Cuts one Annex B file into access units at its delimiter NAL units.
    class StreamReader {
      public:
        // The buffer is refilled to this many bytes with reads of readSize.
        static constexpr std::size_t bufferTarget = std::size_t{1} << 23;
        static constexpr std::size_t readSize = std::size_t{1} << 22;

        // Throws InterleaveError::fileNotFound or std::system_error (open failure).
        StreamReader(const std::filesystem::path& path, std::uint8_t delimiterType);
        ~StreamReader();
        StreamReader(const StreamReader&) = delete;
        StreamReader& operator=(const StreamReader&) = delete;

        // The next access unit without its delimiter NAL unit (possibly empty), or
        // nothing at the end of the stream. Throws std::system_error on a read
        // failure and InterleaveError::invalidStartCode for a non-empty file that
        // holds no start code at all.
        std::optional<std::span<const std::uint8_t>> nextAccessUnit();

        // True once a non-empty stream ended without any delimiter: all of its
        // bytes were leading bytes and were dropped.
        bool hadNoDelimiter() const { return sawBytes_ && !firstAU && !hadDelimiter_; }

      private:
        friend class NALInterleaver;
        // Reads at least one more chunk (unless at end of file); returns false when
        // nothing more could be read.
        bool refill(bool needMore);
        // Position of the first delimiter at or after `from`, or npos when none is
        // within the buffered bytes whose NAL header byte is available.
        std::size_t findDelimiter(std::size_t from) const;
        bool skipToFirstDelimiter();

        int handle = -1;
        std::filesystem::path path_;
        ByteBuffer buffer; // bytes [begin_, end_) are unconsumed
        std::size_t begin_ = 0;
        std::size_t end_ = 0;
        std::uint8_t delimiterType;
        bool isRegularFile_ = false;
        std::uint64_t sizeHint_ = 0; // size of a regular file, to size the buffer of short inputs
        std::uint64_t bytesRead_ = 0;
        bool eof = false;
        bool firstAU = true;
        bool sawBytes_ = false;
        bool sawStartCode_ = false;
        bool hadDelimiter_ = false;
    };

    struct Summary {
        std::uint64_t pairsWritten = 0;
        bool wasCancelled = false;
        std::optional<std::string> writeError; // set when the reader side went away
    };

    // Interleaves into `output`: a regular file (created, or truncated when it
    // exists) or an existing named pipe (opened, never replaced). Log lines
    // start "[NALInterleaver] " and go to onLog, or to standard output without
    // one. Throws InterleaveError (missing input, count mismatch, no start
    // code) or std::system_error (open, read or regular-file write failures,
    // with the path). A failed write to a pipe or cancellation ends the run
    // normally, as the Summary says.
    Summary interleave(const std::filesystem::path& baseURL, const std::filesystem::path& mvcURL,
                       const std::filesystem::path& outputURL, const LogCallback& onLog = {},
                       const CancelCheck& isCancelled = {});

    // Unpaired access units tolerated at the end of the longer stream.
    static constexpr std::uint64_t maxExtraAccessUnits = 5;
    static constexpr std::uint64_t pairsPerBatch = 500;
};
