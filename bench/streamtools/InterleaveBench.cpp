// Benchmark driver for the NAL interleaver.
//   interleave_bench generate <dir> <megabytes>  writes base.264 and dep.mvc (about that many MB together)
//   interleave_bench run <base> <mvc> <output>   interleaves them once and prints the time
// The streams are shaped like Blu-ray 3D: a base access unit of 20-200 kB and a
// dependent one of about half that, each opened by its delimiter.
#include "NALInterleaver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

void writeUnit(std::ofstream& out, std::uint8_t delimiterType, std::size_t size, std::mt19937_64& random,
               std::vector<std::uint8_t>& scratch) {
    const std::uint8_t delimiter[] = {0, 0, 0, 1, delimiterType, 0xF0, 0, 0, 0, 1, 0x41};
    out.write(reinterpret_cast<const char*>(delimiter), sizeof delimiter);
    scratch.resize(size);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        std::uint64_t word = random() | 0x0101010101010101ull; // no zero bytes: no false start codes
        std::memcpy(scratch.data() + i, &word, 8);
    }
    for (std::size_t i = size & ~std::size_t{7}; i < size; ++i)
        scratch[i] = 0x5A;
    out.write(reinterpret_cast<const char*>(scratch.data()), static_cast<std::streamsize>(size));
}

int generate(const std::string& dir, double megabytes) {
    std::ofstream base(dir + "/base.264", std::ios::binary), mvc(dir + "/dep.mvc", std::ios::binary);
    std::mt19937_64 random(1);
    std::vector<std::uint8_t> scratch;
    std::uint64_t total = 0, units = 0;
    const auto target = static_cast<std::uint64_t>(megabytes * 1e6);
    while (total < target) {
        std::size_t baseSize = 20000 + random() % 180000, mvcSize = baseSize / 2 + random() % 20000;
        writeUnit(base, 0x09, baseSize, random, scratch);
        writeUnit(mvc, 0x18, mvcSize, random, scratch);
        total += baseSize + mvcSize + 22;
        ++units;
    }
    if (!base || !mvc) {
        std::fprintf(stderr, "ERROR: cannot write the streams in %s\n", dir.c_str());
        return 1;
    }
    std::printf("generated %llu access units per view, %llu bytes\n", static_cast<unsigned long long>(units),
                static_cast<unsigned long long>(total));
    return 0;
}

int run(const char* base, const char* mvc, const char* output) {
    NALInterleaver interleaver;
    const auto start = std::chrono::steady_clock::now();
    auto summary = interleaver.interleave(base, mvc, output);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu pairs in %.3f s\n", static_cast<unsigned long long>(summary.pairsWritten), seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::strcmp(argv[1], "generate") == 0) return generate(argv[2], std::atof(argv[3]));
        if (argc == 5 && std::strcmp(argv[1], "run") == 0) return run(argv[2], argv[3], argv[4]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ERROR: %s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: interleave_bench generate <dir> <megabytes> | run <base> <mvc> <output>\n");
    return 1;
}
