#include "JobLog.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <type_traits>

namespace segmentrun {

namespace {

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        result.push_back(line.substr(start, tab - start));
    result.push_back(line.substr(start));
    return result;
}

template <typename Number> bool readNumber(const std::string& text, Number& value) {
    std::istringstream in(text);
    in >> value;
    std::string rest;
    // Unsigned reads would take "-5" for a huge number.
    return in && !(in >> rest) && (std::is_signed_v<Number> || text.find('-') == std::string::npos);
}

} // namespace

std::optional<JobRecord> parseJobLine(const std::string& line) {
    const auto parts = fields(line);
    if (parts.size() < 9) return std::nullopt;
    JobRecord record;
    record.host = parts[1];
    record.runtimeText = parts[3];
    record.runtimeText.erase(std::remove(record.runtimeText.begin(), record.runtimeText.end(), ' '),
                             record.runtimeText.end());
    // Exitval -1 and Signal are parallel's own verdict on a job it killed.
    if (!readNumber(parts[0], record.sequence) || record.sequence == 0 ||
        !readNumber(parts[2], record.start) || !readNumber(parts[3], record.runtime) ||
        !readNumber(parts[4], record.sent) || !readNumber(parts[5], record.received) ||
        !readNumber(parts[6], record.exitValue) || !readNumber(parts[7], record.signal))
        return std::nullopt;
    return record;
}

std::optional<JobRecord> failedJob(const std::vector<JobRecord>& records) {
    for (const auto& record : records)
        if (record.exitValue != 0 && record.signal == 0) return record;
    for (const auto& record : records)
        if (record.signal != 0) return record;
    return std::nullopt;
}

std::vector<std::string> hostFigures(const std::vector<JobRecord>& records,
                                     const std::function<std::uint64_t(std::size_t)>& pairsOf) {
    struct Figures {
        std::size_t segments = 0;
        std::uint64_t pairs = 0;
        double first = 0, last = 0, sent = 0, received = 0;
    };
    std::map<std::string, Figures> hosts;
    for (const auto& record : records) {
        if (!record.succeeded()) continue;
        Figures& host = hosts[record.host];
        if (host.segments == 0 || record.start < host.first) host.first = record.start;
        host.last = std::max(host.last, record.start + record.runtime);
        ++host.segments;
        host.pairs += pairsOf(record.sequence);
        host.sent += double(record.sent);
        host.received += double(record.received);
    }
    std::vector<std::string> lines;
    for (const auto& [name, host] : hosts) {
        // Wall time from its first start to its last end: its slots together.
        const double seconds = host.last - host.first;
        char line[512];
        std::snprintf(line, sizeof line, "Host %s: %zu segments, %llu pairs decoded in %.1f s (%.2f pairs/s)",
                      name == ":" ? "(this machine)" : name.c_str(), host.segments,
                      static_cast<unsigned long long>(host.pairs), seconds,
                      double(host.pairs) / (seconds > 0 ? seconds : 1));
        std::string text = line;
        // Nothing travels to this machine's own jobs; what parallel counts
        // as received there is the worker's standard output.
        if (name != ":") {
            std::snprintf(line, sizeof line, ", %.0f bytes out and %.0f back per segment",
                          host.sent / double(host.segments), host.received / double(host.segments));
            text += line;
        }
        lines.push_back(text);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string lastMessage(const std::string& text) {
    std::vector<std::string> meaningful;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(" \t\r") != std::string::npos) meaningful.push_back(line);
    if (meaningful.empty()) return "";
    const std::string& last = meaningful.back();
    const auto end = last.find_last_not_of(" \t\r");
    if (meaningful.size() >= 2 && end >= 1 && last.compare(end - 1, 2, "--") == 0)
        return meaningful[meaningful.size() - 2] + " " + last;
    return last;
}

} // namespace segmentrun
