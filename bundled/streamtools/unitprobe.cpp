// unitprobe: lists the access units of an H.264 Annex B stream (interleaved
// MVC, base view or dependent view) with their byte offsets and whether each is
// a random access point, so that a stream can be cut at safe places.
#include "AnnexB.h"
#include "ToolSupport.h"
#include "toolsupport/ToolSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

using namespace streamtools;

namespace {

constexpr const char* usage = "usage: unitprobe [--summary | --nal] <stream.264>\n";

enum class Mode { units, summary, nals };

int probe(const std::string& path, Mode mode) {
    NalReader reader = NalReader::openFile(path);
    // Only offsets and sizes are printed: long units pass in pieces, none is held.
    reader.setLargestHeldUnit(std::size_t{8} << 20);
    std::uint64_t count = 0, randomAccess = 0;
    if (mode == Mode::nals) {
        // A unit is printed once its last piece has passed.
        bool isOpen = false;
        std::uint64_t openOffset = 0, openSize = 0;
        int openType = 0;
        auto print = [&] {
            if (!isOpen) return;
            std::printf("%llu %llu %d\n", static_cast<unsigned long long>(openOffset),
                        static_cast<unsigned long long>(openSize), openType);
            ++count;
            isOpen = false;
        };
        while (auto unit = reader.next()) {
            if (unit->isContinuation) {
                openSize += unit->bytes.size();
                continue;
            }
            print();
            if (unit->startCodeLength == 0) continue;
            isOpen = true;
            openOffset = unit->offset;
            openSize = unit->bytes.size();
            openType = unit->type();
        }
        print();
    } else {
        AccessUnitReader units(reader);
        units.keepNoBytes();
        while (auto unit = units.next()) {
            if (mode == Mode::units)
                std::printf("%llu %llu %zu %d\n", static_cast<unsigned long long>(count),
                            static_cast<unsigned long long>(unit->offset),
                            static_cast<std::size_t>(unit->size), unit->isRandomAccess ? 1 : 0);
            ++count;
            if (unit->isRandomAccess) ++randomAccess;
        }
    }
    if (reader.bytesRead() > 0 && !reader.sawStartCode())
        throw StreamError(path + ": no start code in stream");
    if (count == 0) throw StreamError(path + ": no NAL units in stream");
    if (mode == Mode::summary)
        std::printf("access_units %llu\nrandom_access_points %llu\nbytes %llu\n",
                    static_cast<unsigned long long>(count), static_cast<unsigned long long>(randomAccess),
                    static_cast<unsigned long long>(reader.bytesRead()));
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw StreamError("write error on standard output: " + std::string(std::strerror(errno)));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Mode mode = Mode::units;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::printf("%s\nOne line per access unit: <index> <byte offset> <size> <random access 1|0>.\n"
                        "An access unit holds both views of an interleaved MVC stream. Random access points\n"
                        "hold an IDR slice or an MVC anchor view component (anchor_pic_flag of NAL 14/20).\n"
                        "--summary prints only the counts; --nal lists NAL units: <offset> <size> <type>.\n",
                        usage);
            return 0;
        }
        if (argument == "--summary" && mode == Mode::units) {
            mode = Mode::summary;
        } else if (argument == "--nal" && mode == Mode::units) {
            mode = Mode::nals;
        } else if (path == nullptr && (argument.empty() || argument[0] != '-')) {
            path = argv[i];
        } else {
            return toolsupport::usageError(usage);
        }
    }
    if (path == nullptr) {
        return toolsupport::usageError(usage);
    }
    return runTool([&] { return probe(path, mode); });
}
