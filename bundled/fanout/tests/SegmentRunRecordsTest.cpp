// What segmentrun reads as text: the host list in GNU parallel's --sshlogin
// syntax, a host's answer to the tools check, and parallel's job log.
#include "HostList.h"
#include "JobLog.h"

#include <gtest/gtest.h>

using namespace segmentrun;

TEST(SegmentRunHosts, ListsFilesAndLogins) {
    EXPECT_EQ(hostsFromList(" 4/user@box1 ,:,box2,"), (std::vector<std::string>{"4/user@box1", ":", "box2"}));
    EXPECT_EQ(hostsFromList("a,,b"),
              (std::vector<std::string>{"a", "", "b"})); // the empty one is an error later
    EXPECT_EQ(hostsFromList("  "), std::vector<std::string>{});
    EXPECT_EQ(hostsFromFile("# the rack\n2/box1  # fast\n\n  :\n"),
              (std::vector<std::string>{"2/box1", ":"}));
    EXPECT_EQ(hostTarget("12/user@box"), "user@box");
    EXPECT_EQ(hostTarget("user@box/x"), "user@box/x");
    EXPECT_EQ(hostTarget(":"), ":");
    EXPECT_EQ(hostJobs("12/user@box"), 12u);
    EXPECT_EQ(hostJobs("box"), std::nullopt);
}

TEST(SegmentRunHosts, AVerdictPerAnswer) {
    const std::string ours = "viewpump 1.2\ntwinrow 1.2";
    struct Case {
        int status;
        std::string answer;
        std::optional<unsigned> cores;
        std::string reason;
    } cases[] = {
        {0, "viewpump 1.2\ntwinrow 1.2\n8\n", 8u, ""},
        {255, "ssh: connect to host x port 22: Connection refused\n\n", std::nullopt,
         "unreachable (ssh: connect to host x port 22: Connection refused)"},
        {124, "", std::nullopt, "unreachable ()"},
        {127, "bash: line 1: fanout-worker.sh: command not found\n", std::nullopt,
         "lacks the tools (bash: line 1: fanout-worker.sh: command not found)"},
        {0, "viewpump 0.9\ntwinrow 1.2\n8\n", std::nullopt,
         "has other versions of the tools (viewpump 0.9 twinrow 1.2, here viewpump 1.2 twinrow 1.2)"},
        {0, "viewpump 1.2\ntwinrow 1.2\n", std::nullopt,
         "has other versions of the tools (viewpump 1.2, here viewpump 1.2 twinrow 1.2)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        const HostVerdict verdict = judgeHost(c.status, c.answer, ours);
        EXPECT_EQ(verdict.cores, c.cores);
        EXPECT_EQ(verdict.reason, c.reason);
    }
}

TEST(SegmentRunJobLog, LinesFailuresAndHostFigures) {
    const std::string lines[] = {
        "Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand",
        "1\t:\t1700000000.000\t     4.500\t0\t0\t0\t0\tfanout-worker.sh in/seg3.264 out/seg3.ts",
        "2\tbox\t1700000001.000\t     2.000\t1000\t400\t0\t0\t/bin/bash -c ...",
        "3\tbox\t1700000003.000\t     3.000\t3000\t800\t0\t0\t/bin/bash -c ...",
        "4\tbox\t1700000004.000\t     0.100\t0\t0\t-1\t15\t/bin/bash -c ...",
        "5\t:\t1700000004.000\t     0.200\t0\t0\t1\t0\tfanout-worker.sh in/seg0.264",
        "6\t:\t1700000004.5",
    };
    std::vector<JobRecord> records;
    for (const auto& line : lines)
        if (auto record = parseJobLine(line)) records.push_back(*record);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].runtimeText, "4.500");
    EXPECT_EQ(records[3].exitValue, -1);
    EXPECT_FALSE(records[3].succeeded());
    // The worker that failed is named before a job parallel killed for it.
    ASSERT_TRUE(failedJob(records));
    EXPECT_EQ(failedJob(records)->sequence, 5u);
    EXPECT_EQ(failedJob({records[0], records[3]})->sequence, 4u);
    EXPECT_FALSE(failedJob({records[0], records[1]}));

    const auto figures = hostFigures(records, [](std::size_t sequence) { return 10 * sequence; });
    EXPECT_EQ(figures,
              (std::vector<std::string>{
                  "Host (this machine): 1 segments, 10 pairs decoded in 4.5 s (2.22 pairs/s)",
                  "Host box: 2 segments, 50 pairs decoded in 5.0 s (10.00 pairs/s), 2000 bytes out and 600 "
                  "back per segment"}));
}

TEST(SegmentRunJobLog, TheLastMessageOfATool) {
    EXPECT_EQ(lastMessage("first\nviewpump: broken slice\n\n  \n"), "viewpump: broken slice");
    EXPECT_EQ(lastMessage("[mov] Could not find tag for codec\nError initializing output stream 0:1 -- \n"),
              "[mov] Could not find tag for codec Error initializing output stream 0:1 -- ");
    EXPECT_EQ(lastMessage(""), "");
}
