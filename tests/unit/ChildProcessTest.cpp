#include <gtest/gtest.h>

#include <atomic>
#include <system_error>

#include "ChildProcess.h"
#include "TestSupport.h"

using namespace duoscope;
using namespace duoscope::test;

TEST(ChildProcess, LargeStandardErrorDoesNotStallTheChild) {
    auto process = ChildProcess::create(
        {"/bin/bash", {"-c", "head -c 50000000 /dev/zero >&2; echo finished"}, std::nullopt});
    std::atomic<size_t> errorBytes{0};
    process->setStandardErrorHandler([&](std::string_view chunk) { errorBytes += chunk.size(); });
    process->launch();
    ASSERT_TRUE(process->waitUntilExit(std::chrono::seconds(30)));
    EXPECT_EQ(process->terminationStatus(), 0);
    EXPECT_EQ(errorBytes.load(), 50000000u);
    EXPECT_EQ(process->collectedStandardOutput(), "finished\n");
}

TEST(ChildProcess, LaunchErrorsNameThePath) {
    ScratchFolder folder("launch");
    writeFile(folder / "not executable", "#!/bin/sh\n");
    for (auto path : {(folder / "missing tool").string(), (folder / "not executable").string()}) {
        auto process = ChildProcess::create({path, {}, std::nullopt});
        try {
            process->launch();
            FAIL() << "launched " << path;
        } catch (const std::system_error& error) {
            EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
        }
    }
    auto inMissingFolder = ChildProcess::create({"/bin/true", {}, folder / "no such folder"});
    EXPECT_THROW(inMissingFolder->launch(), std::system_error);
}

TEST(ChildProcess, ArgumentsWorkingFolderMergedOutputAndStatus) {
    ScratchFolder folder("args");
    std::vector<std::string> awkward = {"with space", "quote\"'s", "-leading", "ünïcødé", ""};
    auto process =
        ChildProcess::create({"/bin/bash",
                              {"-c", "pwd; printf '[%s]\\n' \"$@\"; echo oops >&2; exit 3", "bash"},
                              folder.path(),
                              ChildProcess::Output::pipe,
                              ChildProcess::Output::toStdout});
    ChildProcess::Options options = process->options();
    options.arguments.insert(options.arguments.end(), awkward.begin(), awkward.end());
    process = ChildProcess::create(options);
    bool terminated = false;
    process->setTerminationHandler([&](ChildProcess& p) { terminated = p.terminationStatus() == 3; });
    process->launch();
    process->waitUntilExit();
    EXPECT_TRUE(terminated);
    EXPECT_EQ(process->terminationStatus(), 3);
    EXPECT_EQ(process->collectedStandardOutput(),
              folder.path().string() + "\n[with space]\n[quote\"'s]\n[-leading]\n[ünïcødé]\n[]\noops\n");
    EXPECT_FALSE(process->isRunning());
}

TEST(ChildProcess, SignalledChildReportsTheSignal) {
    auto process = ChildProcess::create({"/bin/bash", {"-c", "kill -9 $$"}, std::nullopt});
    process->launch();
    process->waitUntilExit();
    EXPECT_TRUE(process->wasKilledBySignal());
    EXPECT_EQ(process->terminationStatus(), 9);
}

TEST(ChildProcess, ToolsGetDefaultSigpipeBack) {
    // `yes` only stops when its reader goes away, through SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    auto process =
        ChildProcess::create({"/bin/bash", {"-c", "yes | head -c 10 >/dev/null; echo ok"}, std::nullopt});
    process->launch();
    ASSERT_TRUE(process->waitUntilExit(std::chrono::seconds(10)));
    EXPECT_EQ(process->collectedStandardOutput(), "ok\n");
}

TEST(LineSplitter, SplitsAcrossChunksAndAtCarriageReturns) {
    std::vector<std::string> lines;
    auto collect = [&](const std::string& line) { lines.push_back(line); };
    LineSplitter plain;
    plain.feed("one\ntw", collect);
    plain.feed("o\r\nthree", collect);
    plain.finish(collect);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));
    lines.clear();
    LineSplitter progress(true);
    progress.feed("frame=1\rframe=2\rdone\n", collect);
    EXPECT_EQ(lines, (std::vector<std::string>{"frame=1", "frame=2", "done"}));
}

TEST(Utf8, Validation) {
    EXPECT_TRUE(isValidUTF8("plain ✅ text"));
    EXPECT_FALSE(isValidUTF8("\xff\xfe"));
    EXPECT_FALSE(isValidUTF8("\xc0\xaf"));     // overlong
    EXPECT_FALSE(isValidUTF8("\xed\xa0\x80")); // surrogate
    EXPECT_FALSE(isValidUTF8("abc\xe2\x9c"));  // truncated
}
