// GNU parallel's --joblog as segmentrun reads it: the finished jobs, from which
// come the progress, the failed segment and each host's figures. Pure text
// work, no I/O.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace segmentrun {

// One line: Seq Host Starttime JobRuntime Send Receive Exitval Signal Command,
// tab separated.
struct JobRecord {
    std::size_t sequence = 0; // the job's input line, counting from 1
    std::string host;         // ":" for this machine
    double start = 0, runtime = 0;
    std::string runtimeText; // as parallel wrote it, padding removed
    std::uint64_t sent = 0, received = 0;
    int exitValue = 0, signal = 0;

    bool succeeded() const { return exitValue == 0 && signal == 0; }
};

// The header and anything that is not a whole job line give nothing.
std::optional<JobRecord> parseJobLine(const std::string& line);

// The job that failed for good: the first that exited with an error, else the
// first that was killed by a signal.
std::optional<JobRecord> failedJob(const std::vector<JobRecord>& records);

// "Host <h>: <n> segments, <p> pairs decoded in <s> s (<r> pairs/s), <b> bytes
// out and <b> back per segment" for each host with finished jobs, sorted;
// `pairsOf(sequence)` gives a job's picture pairs.
std::vector<std::string> hostFigures(const std::vector<JobRecord>& records,
                                     const std::function<std::uint64_t(std::size_t)>& pairsOf);

// The last meaningful line a tool wrote. ffmpeg ends "Error initializing
// output stream 0:1 -- " with an empty reason when its muxer gave the reason
// on the line before, so then both lines are given.
std::string lastMessage(const std::string& text);

} // namespace segmentrun
