// Byte-exact checks of the interleaver on streams built here, plus its
// behaviour with named pipes, unequal streams and bad input.
#include "NALInterleaver.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using duoscope::test::append;
using duoscope::test::Bytes;

namespace {

Bytes nal(std::uint8_t header, const Bytes& payload, bool fourByteStartCode = true) {
    return duoscope::test::nalUnit(header, payload, fourByteStartCode);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts)
        append(out, part);
    return out;
}

const Bytes aud = nal(0x09, {0xF0});
const Bytes mvcDelimiter = nal(0x18, {0xF0});

// Payload without zero bytes, so it can never hold a start code.
Bytes payload(std::size_t size, std::uint32_t seed) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
        }
        auto byte = static_cast<std::uint8_t>(state >> (8 * (i % 8)));
        out[i] = byte == 0 ? 0x5A : byte;
    }
    return out;
}

struct TempDir : duoscope::test::ScratchFolder {
    TempDir() : ScratchFolder("nalinterleaver") {}
};

using duoscope::test::readBytes;
using duoscope::test::writeBytes;

// A reader of a named pipe running beside the interleaver; wait for it with waitpid.
pid_t startShell(const std::string& command) {
    pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    EXPECT_GT(child, 0);
    return child;
}

struct Outcome {
    NALInterleaver::Summary summary;
    std::vector<std::string> lines;
    Bytes output;
};

Outcome interleaveFiles(const TempDir& dir, const Bytes& base, const Bytes& mvc,
                        const NALInterleaver::CancelCheck& isCancelled = {}) {
    writeBytes(dir / "base.264", base);
    writeBytes(dir / "dep.mvc", mvc);
    Outcome run;
    NALInterleaver interleaver;
    run.summary = interleaver.interleave(
        dir / "base.264", dir / "dep.mvc", dir / "out.264",
        [&](const std::string& line) { run.lines.push_back(line); }, isCancelled);
    run.output = readBytes(dir / "out.264");
    return run;
}

// n access units per stream; unit k has a distinctive slice payload.
Bytes baseStream(int units, std::size_t sliceSize = 8) {
    Bytes out;
    for (int k = 0; k < units; ++k)
        append(out, join({aud, nal(0x01, payload(sliceSize, 2 * k))}));
    return out;
}
Bytes mvcStream(int units, std::size_t sliceSize = 8) {
    Bytes out;
    for (int k = 0; k < units; ++k)
        append(out, join({mvcDelimiter, nal(0x14, payload(sliceSize, 2 * k + 1))}));
    return out;
}
Bytes pairsOf(int units, std::size_t baseSize = 8, std::size_t mvcSize = 8) {
    Bytes out;
    for (int k = 0; k < units; ++k) {
        append(out, nal(0x01, payload(baseSize, 2 * k)));
        append(out, nal(0x14, payload(mvcSize, 2 * k + 1)));
    }
    return out;
}

} // namespace

TEST(NALInterleaver, MergesParameterSetsAndSlicesWithoutDelimiters) {
    TempDir dir;
    const Bytes sps = nal(0x67, {0x64, 0x00, 0x28, 0xAC});
    const Bytes pps = nal(0x68, {0xEE, 0x3C, 0x80}, false);
    const Bytes idr = nal(0x65, {0x88, 0x84, 0x21});
    const Bytes slice = nal(0x41, {0x9A, 0x02}, false);
    const Bytes subsetSps = nal(0x6F, {0x76, 0x00, 0x28});
    const Bytes ext1 = nal(0x74, {0x00, 0x40, 0x07, 0x88});
    const Bytes ext2 = nal(0x74, {0x40, 0x40, 0x03, 0x9A}, false);
    // Garbage in front of the first AUD, 3-byte delimiters mixed with 4-byte ones.
    const Bytes base = join({{0xDE, 0xAD, 0x00, 0x00}, aud, sps, pps, idr, nal(0x09, {0x30}, false), slice});
    const Bytes mvc = join({mvcDelimiter, subsetSps, ext1, nal(0x18, {0x30}, false), ext2});

    Outcome run = interleaveFiles(dir, base, mvc);
    EXPECT_EQ(run.output, join({sps, pps, idr, subsetSps, ext1, slice, ext2}));
    EXPECT_EQ(run.summary.pairsWritten, 2u);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "[NALInterleaver] Complete: 2 pairs written");
}

TEST(NALInterleaver, DelimiterOnlyUnitsCountButWriteNothing) {
    TempDir dir;
    const Bytes slice = nal(0x01, {0x11, 0x22});
    const Bytes ext = nal(0x14, {0x33, 0x44});
    // Both start-code forms, and an AUD carrying trailing zero bytes.
    const Bytes base = join(
        {aud, slice, nal(0x09, {0x10}, false), Bytes{0x00, 0x00, 0x00, 0x01, 0x09, 0x10, 0x00}, aud, slice});
    const Bytes mvc = join({mvcDelimiter, ext, nal(0x18, {0x10}, false), mvcDelimiter, mvcDelimiter, ext});
    Outcome run = interleaveFiles(dir, base, mvc);
    EXPECT_EQ(run.output, join({slice, ext, slice, ext}));
    EXPECT_EQ(run.summary.pairsWritten, 4u);
}

TEST(NALInterleaver, ReportsProgressAndToleratesFewExtraUnits) {
    {
        TempDir dir;
        Outcome run = interleaveFiles(dir, baseStream(1001), mvcStream(1001));
        EXPECT_EQ(run.output, pairsOf(1001));
        EXPECT_EQ(run.lines, (std::vector<std::string>{"[NALInterleaver] 500 pairs interleaved",
                                                       "[NALInterleaver] 1000 pairs interleaved",
                                                       "[NALInterleaver] Complete: 1001 pairs written"}));
    }
    {
        // The 101st base unit has no partner; the two after it are counted.
        TempDir dir;
        Outcome run = interleaveFiles(dir, baseStream(103), mvcStream(100));
        EXPECT_EQ(run.output, pairsOf(100));
        EXPECT_EQ(run.lines,
                  (std::vector<std::string>{"[NALInterleaver] base stream has 2 extra AUs (ignored)",
                                            "[NALInterleaver] Complete: 100 pairs written"}));
    }
    {
        TempDir dir;
        Outcome run = interleaveFiles(dir, baseStream(4), mvcStream(10));
        EXPECT_EQ(run.output, pairsOf(4));
        EXPECT_EQ(run.lines.front(), "[NALInterleaver] MVC stream has 5 extra AUs (ignored)");
    }
}

TEST(NALInterleaver, ThrowsMismatchAfterWritingAllPartneredPairs) {
    TempDir dir;
    try {
        interleaveFiles(dir, baseStream(100), mvcStream(110));
        FAIL() << "no mismatch reported";
    } catch (const NALInterleaver::InterleaveError& error) {
        EXPECT_EQ(error.kind(), NALInterleaver::InterleaveError::Kind::accessUnitCountMismatch);
        EXPECT_STREQ(error.what(), "Access unit count mismatch: base=100, MVC=109");
    }
    EXPECT_EQ(readBytes(dir / "out.264"), pairsOf(100));

    TempDir other;
    try {
        interleaveFiles(other, baseStream(20), mvcStream(13));
        FAIL() << "no mismatch reported";
    } catch (const NALInterleaver::InterleaveError& error) {
        EXPECT_STREQ(error.what(), "Access unit count mismatch: base=19, MVC=13");
    }
}

// A delimiter whose start code or header byte falls on either side of the
// first read and of the first buffer fill, units of random sizes so that later
// refills end anywhere, and a unit larger than the whole buffer target.
TEST(NALInterleaver, CutsAcrossReadBoundariesAndOversizedUnits) {
    constexpr std::size_t chunk = NALInterleaver::StreamReader::readSize;
    const Bytes tail = nal(0x01, {0x55, 0x66});
    const Bytes ext = nal(0x14, {0x77});
    const Bytes mvc = join({mvcDelimiter, ext, mvcDelimiter, ext});
    struct Case {
        std::size_t boundary;
        bool isFourByte;
        std::size_t before; // the second delimiter's start code begins this many bytes ahead
    };
    std::vector<Case> cases{{chunk, true, 1}, {chunk, true, 4}, {chunk, false, 2}};
    for (std::size_t before = 1; before <= 5; ++before)
        cases.push_back({NALInterleaver::StreamReader::bufferTarget, true, before});
    for (std::size_t before = 1; before <= 3; ++before)
        cases.push_back({NALInterleaver::StreamReader::bufferTarget, false, before});
    for (const Case& c : cases) {
        TempDir dir;
        const Bytes firstSlice = nal(0x01, payload(c.boundary - c.before - aud.size() - 5, 7));
        const Bytes base = join({aud, firstSlice, nal(0x09, {0xF0}, c.isFourByte), tail});
        Outcome run = interleaveFiles(dir, base, mvc);
        EXPECT_EQ(run.summary.pairsWritten, 2u) << c.boundary << "/" << c.isFourByte << "/" << c.before;
        EXPECT_TRUE(run.output == join({firstSlice, ext, tail, ext}))
            << c.boundary << "/" << c.isFourByte << "/" << c.before;
    }
    {
        TempDir dir;
        std::mt19937 random(42);
        Bytes base, dep, expected;
        for (int k = 0; k < 24; ++k) {
            const Bytes slice = nal(0x01, payload(random() % (3u << 20), k), random() % 2);
            const Bytes ext2 = nal(0x14, payload(random() % 2000, k + 100), random() % 2);
            append(base, join({nal(0x09, {0xF0}, random() % 2), slice}));
            append(dep, join({nal(0x18, {0xF0}, random() % 2), ext2}));
            append(expected, join({slice, ext2}));
        }
        Outcome run = interleaveFiles(dir, base, dep);
        EXPECT_EQ(run.summary.pairsWritten, 24u);
        EXPECT_TRUE(run.output == expected);
    }
    TempDir dir;
    const Bytes huge = nal(0x05, payload(20u << 20, 9));
    const Bytes base = join({aud, tail, aud, huge, aud, tail});
    const Bytes dep = join({mvcDelimiter, ext, mvcDelimiter, huge, mvcDelimiter, ext});
    Outcome run = interleaveFiles(dir, base, dep);
    EXPECT_EQ(run.summary.pairsWritten, 3u);
    EXPECT_TRUE(run.output == join({tail, ext, huge, huge, tail, ext}));
}

TEST(NALInterleaver, BadInputs) {
    TempDir dir;
    writeBytes(dir / "base.264", baseStream(3));
    NALInterleaver interleaver;
    try {
        interleaver.interleave(dir / "base.264", dir / "missing.mvc", dir / "out.264");
        FAIL();
    } catch (const NALInterleaver::InterleaveError& error) {
        EXPECT_EQ(std::string(error.what()), "File not found: " + (dir / "missing.mvc").string());
    }
    EXPECT_FALSE(fs::exists(dir / "out.264"));

    // Two empty streams are simply zero pairs.
    Outcome empty = interleaveFiles(dir, {}, {});
    EXPECT_TRUE(empty.output.empty());
    EXPECT_EQ(empty.lines, std::vector<std::string>{"[NALInterleaver] Complete: 0 pairs written"});

    try {
        interleaveFiles(dir, payload(5000, 3), mvcStream(1));
        FAIL();
    } catch (const NALInterleaver::InterleaveError& error) {
        EXPECT_EQ(error.kind(), NALInterleaver::InterleaveError::Kind::invalidStartCode);
        EXPECT_STREQ(error.what(), "Invalid start code in stream");
    }

    // Start codes but no delimiter of the right type: all leading bytes, so no units.
    std::vector<std::string> lines;
    writeBytes(dir / "base.264", baseStream(8));
    writeBytes(dir / "dep.mvc", baseStream(3));
    try {
        interleaver.interleave(dir / "base.264", dir / "dep.mvc", dir / "out.264",
                               [&](const std::string& line) { lines.push_back(line); });
        FAIL();
    } catch (const NALInterleaver::InterleaveError& error) {
        EXPECT_STREQ(error.what(), "Access unit count mismatch: base=7, MVC=0");
    }
    EXPECT_EQ(lines,
              std::vector<std::string>{"[NALInterleaver] No delimiter of NAL type 24 in " +
                                       (dir / "dep.mvc").string() + "; all of its bytes were skipped"});

    // Writing over an input would destroy it.
    writeBytes(dir / "dep.mvc", mvcStream(3));
    EXPECT_THROW(interleaver.interleave(dir / "base.264", dir / "dep.mvc", dir / "dep.mvc"),
                 std::system_error);
    EXPECT_EQ(readBytes(dir / "dep.mvc"), mvcStream(3));
    EXPECT_THROW(interleaver.interleave(dir / "base.264", dir / "dep.mvc", dir / "no-such-dir" / "out.264"),
                 std::system_error);
}

TEST(NALInterleaver, CancellationStopsBeforeThePairAndCompletes) {
    TempDir dir;
    int checks = 0;
    Outcome run = interleaveFiles(dir, baseStream(10), mvcStream(10), [&] { return ++checks > 3; });
    EXPECT_TRUE(run.summary.wasCancelled);
    EXPECT_EQ(run.output, pairsOf(3));
    EXPECT_EQ(run.lines, (std::vector<std::string>{"[NALInterleaver] Cancelled",
                                                   "[NALInterleaver] Complete: 3 pairs written"}));
}

// Writing into a named pipe that another program reads is what the named-pipe
// route does with every conversion (DriverTest, ConversionEndToEndTest).
TEST(NALInterleaver, ReaderExitingEarlyEndsTheRunWithoutError) {
    TempDir dir;
    writeBytes(dir / "base.264", baseStream(400, 20000));
    writeBytes(dir / "dep.mvc", mvcStream(400, 20000));
    const fs::path fifo = dir / "fifo.264";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    pid_t reader = startShell("head -c 100000 '" + fifo.string() + "' > /dev/null");
    std::vector<std::string> lines;
    NALInterleaver interleaver;
    NALInterleaver::Summary summary;
    ASSERT_NO_THROW(summary =
                        interleaver.interleave(dir / "base.264", dir / "dep.mvc", fifo,
                                               [&](const std::string& line) { lines.push_back(line); }));
    ::waitpid(reader, nullptr, 0);
    ASSERT_TRUE(summary.writeError.has_value());
    EXPECT_LT(summary.pairsWritten, 400u);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "[NALInterleaver] Write error (likely cancelled): Broken pipe");
    EXPECT_EQ(lines.back().rfind("[NALInterleaver] Complete: ", 0), 0u);
}

// A regular file that stops taking bytes (here: a file size limit, as a full
// disk would) is lost output, so it must fail the run rather than pass as done.
TEST(NALInterleaver, FailedWriteToRegularFileIsAnError) {
    TempDir dir;
    writeBytes(dir / "base.264", baseStream(50, 20000));
    writeBytes(dir / "dep.mvc", mvcStream(50, 20000));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            NALInterleaver().interleave(dir / "base.264", dir / "dep.mvc", dir / "out.264");
        } catch (const std::system_error& error) {
            ::_exit(std::string(error.what()).find((dir / "out.264").string()) != std::string::npos ? 3 : 4);
        } catch (...) {
            ::_exit(5);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST(NALInterleaver, CancelledWhileWaitingForThePipeReader) {
    TempDir dir;
    writeBytes(dir / "base.264", baseStream(2));
    writeBytes(dir / "dep.mvc", mvcStream(2));
    const fs::path fifo = dir / "fifo.264";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel = true;
    });
    NALInterleaver interleaver;
    auto summary =
        interleaver.interleave(dir / "base.264", dir / "dep.mvc", fifo, {}, [&] { return cancel.load(); });
    canceller.join();
    EXPECT_TRUE(summary.wasCancelled);
    EXPECT_EQ(summary.pairsWritten, 0u);
}

// unitmerge is the same merge written over the stream tools' own NAL reader;
// on arbitrary bytes (zeros and ones everywhere, so start codes turn up in odd
// places) both must write the same stream or both must fail.
TEST(NALInterleaver, AgreesWithUnitmergeOnArbitraryStreams) {
    const fs::path unitmerge = fs::path(DUOSCOPE_TOOLS_DIR) / "unitmerge";
    std::mt19937 random(11);
    auto randomStream = [&](std::uint8_t delimiterType) {
        Bytes out;
        const int units = static_cast<int>(random() % 12);
        if (random() % 3 == 0) append(out, Bytes(random() % 6, 0x00));
        for (int k = 0; k < units; ++k) {
            append(out, nal(static_cast<std::uint8_t>(delimiterType | (random() % 2 ? 0x20 : 0)), {0xF0},
                            random() % 2));
            for (int n = static_cast<int>(random() % 4); n > 0; --n) {
                Bytes body(random() % 9);
                for (auto& byte : body) {
                    const std::uint32_t pick = random() % 8;
                    byte = pick < 3 ? 0x00 : pick < 4 ? 0x01 : static_cast<std::uint8_t>(random());
                }
                append(out, nal(static_cast<std::uint8_t>(random() % 32), body, random() % 2));
            }
        }
        return out;
    };
    int agreedFailures = 0;
    for (int round = 0; round < 150; ++round) {
        TempDir dir;
        const Bytes base = randomStream(9), mvc = randomStream(24);
        writeBytes(dir / "base.264", base);
        writeBytes(dir / "dep.mvc", mvc);
        bool interleaverFailed = false;
        try {
            NALInterleaver().interleave(dir / "base.264", dir / "dep.mvc", dir / "a.264");
        } catch (const std::exception&) {
            interleaverFailed = true;
        }
        const auto merged = duoscope::test::runCommand(
            unitmerge.string(),
            {(dir / "base.264").string(), (dir / "dep.mvc").string(), (dir / "b.264").string()});
        const bool unitmergeFailed = merged.status != 0;
        // The program, unlike the engine's interleaver, refuses streams with nothing to pair.
        if (unitmergeFailed && !interleaverFailed &&
            merged.output.find("no access unit to pair") != std::string::npos)
            continue;
        ASSERT_EQ(interleaverFailed, unitmergeFailed) << "round " << round;
        if (interleaverFailed) {
            ++agreedFailures;
            continue;
        }
        ASSERT_TRUE(readBytes(dir / "a.264") == readBytes(dir / "b.264")) << "round " << round;
    }
    EXPECT_LT(agreedFailures, 100); // most rounds must compare real output
}
