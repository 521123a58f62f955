// The machines of a run as GNU parallel's --sshlogin entries give them
// ("[N/]login", ":" for this one), and the verdict on each after the tools
// check over SSH. Pure text work, no I/O.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace segmentrun {

// "a, b,c" from the command line or a settings file: split at commas, spaces
// around each entry trimmed.
std::vector<std::string> hostsFromList(const std::string& list);
// A host list file: one entry a line, "#" starts a comment, blank lines skipped.
std::vector<std::string> hostsFromFile(const std::string& text);

// The login without its "N/" job count.
std::string hostTarget(const std::string& entry);
// The "N/" job count, when the entry gives one.
std::optional<unsigned> hostJobs(const std::string& entry);

// What the check over SSH made of a host: its cores, or why it is left out.
struct HostVerdict {
    std::optional<unsigned> cores;
    std::string reason; // "unreachable (…)", "lacks the tools (…)", "has other versions of the tools (…)"
};
// `status` is the SSH command's (255: no connection, 124: no answer in time),
// `answer` what it wrote (the worker's version lines, then the host's cores),
// `ourVersion` this machine's version lines.
HostVerdict judgeHost(int status, const std::string& answer, const std::string& ourVersion);

} // namespace segmentrun
