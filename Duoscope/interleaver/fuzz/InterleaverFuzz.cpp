// Fuzz target of NALInterleaver: the input is cut into a base and a dependent
// stream (the first byte says where), both read through in-memory files, and
// interleaved into /dev/null. Any outcome but a crash or a hang is fine; the
// output can never be longer than the inputs.
#include "NALInterleaver.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// An in-memory file with a path the reader can open.
class MemoryFile {
  public:
    MemoryFile(const std::uint8_t* data, std::size_t size) : fd_(::memfd_create("fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0 || (size > 0 && ::write(fd_, data, size) != static_cast<ssize_t>(size))) std::abort();
    }
    ~MemoryFile() { ::close(fd_); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut = size == 1 ? 0 : data[0] % size;
    MemoryFile base(data + 1, cut > 0 ? cut - 1 : 0);
    MemoryFile mvc(data + (cut > 0 ? cut : 1), size - (cut > 0 ? cut : 1));
    std::uint64_t pairsSeen = 0;
    try {
        NALInterleaver interleaver;
        auto summary = interleaver.interleave(base.path(), mvc.path(), "/dev/null", {}, [&] {
            return ++pairsSeen > 100000; // a hang guard, far beyond any input's unit count
        });
        if (summary.wasCancelled) std::abort();
    } catch (const NALInterleaver::InterleaveError&) {
    }
    return 0;
}
