#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>

#include "PipelineEngine.h"
#include "TestSupport.h"

using namespace duoscope;
using namespace duoscope::test;
using namespace std::chrono_literals;

TEST(Cancel, WithNothingRunningOnlySetsTheFlag) {
    PipelineEngine engine;
    engine.cancel();
    EXPECT_TRUE(engine.isCancelled);
    EXPECT_FALSE(engine.currentProcess());
}

TEST(Cancel, StopsAShellPipelineAndATermIgnoringStage) {
    ScratchFolder work("cancel work");
    // A pipeline whose middle stage ignores SIGTERM, marked by the work folder.
    writeScript(work / "stubborn.sh", "#!/bin/bash\ntrap '' TERM\nwhile true; do sleep 0.05; done\n");
    writeScript(work / "pipeline.sh",
                "#!/bin/bash\nsleep 300 | \"" + (work / "stubborn.sh").string() + "\" | cat >/dev/null\n");
    PipelineEngine engine;
    engine.setConversionScope(work.path());
    auto process = ChildProcess::create({"/bin/bash", {(work / "pipeline.sh").string()}, work.path()});
    process->launch();
    engine.setCurrentProcess(process);
    ASSERT_TRUE(
        waitUntil([&] { return processWithCommandLineExists((work / "stubborn.sh").string()); }, 10s));

    auto start = std::chrono::steady_clock::now();
    engine.cancel();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms) << "cancel() must return at once";
    EXPECT_TRUE(waitUntil([&] { return !processWithCommandLineExists(work.path().string()); }, 3500ms));
    EXPECT_TRUE(process->waitUntilExit(1s));
}

TEST(Cancel, SweepSparesSameNamedToolsOfOtherRuns) {
    ScratchFolder ours("sweep ours");
    ScratchFolder theirs("sweep theirs");
    // Stand-ins named like a tool the sweep looks for, detached from the
    // recorded process's group as a script's background job could be.
    for (auto* folder : {&ours, &theirs})
        writeScript(*folder / "twinrow", "#!/bin/bash\ntrap '' TERM\nwhile true; do sleep 0.05; done\n");
    auto theirTool = ChildProcess::create(
        {(theirs / "twinrow").string(), {"--input", theirs.path().string()}, std::nullopt});
    theirTool->launch();
    auto ourTool =
        ChildProcess::create({(ours / "twinrow").string(), {"--input", ours.path().string()}, std::nullopt});
    ourTool->launch();

    PipelineEngine engine;
    engine.setConversionScope(ours.path());
    auto leader = ChildProcess::create({"/bin/sleep", {"300"}, std::nullopt});
    leader->launch();
    engine.setCurrentProcess(leader);
    engine.cancel();

    EXPECT_TRUE(ourTool->waitUntilExit(4s)) << "the run's own tool must be swept";
    EXPECT_TRUE(leader->waitUntilExit(1s));
    EXPECT_TRUE(theirTool->isRunning()) << "a tool of another run must survive";
    ::kill(-theirTool->processIdentifier(), SIGKILL);
    theirTool->waitUntilExit();
}

TEST(Cancel, SweepPatternIsConfinedToTheScope) {
    EXPECT_EQ(sweepPattern("ffmpeg", "/out/Duoscope_1A2B3C4D"), "(^|/)ffmpeg( |$).*/out/Duoscope_1A2B3C4D");
    EXPECT_EQ(sweepPattern("twinrow", "/a b/(x).y"), "(^|/)twinrow( |$).*/a b/\\(x\\)\\.y");
}
