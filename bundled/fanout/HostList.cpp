#include "HostList.h"

#include <sstream>

namespace segmentrun {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string joined(const std::vector<std::string>& words, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < words.size(); ++i)
        text += (i ? " " : "") + words[i];
    return text;
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

std::vector<std::string> hostsFromList(const std::string& list) {
    std::vector<std::string> hosts;
    std::size_t start = 0;
    for (;;) {
        const auto comma = list.find(',', start);
        hosts.push_back(trimmed(list.substr(start, comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    // "a,b," names two hosts, as a shell's word splitting reads it.
    if (hosts.back().empty() && list.find_last_not_of(" \t") != std::string::npos &&
        list[list.find_last_not_of(" \t")] == ',')
        hosts.pop_back();
    if (hosts.size() == 1 && hosts[0].empty()) hosts.clear();
    return hosts;
}

std::vector<std::string> hostsFromFile(const std::string& text) {
    std::vector<std::string> hosts;
    for (const auto& line : lines(text)) {
        std::string entry = trimmed(line.substr(0, line.find('#')));
        if (!entry.empty()) hosts.push_back(entry);
    }
    return hosts;
}

std::string hostTarget(const std::string& entry) {
    const auto slash = entry.find('/');
    return slash != std::string::npos && isNumber(entry.substr(0, slash)) ? entry.substr(slash + 1) : entry;
}

std::optional<unsigned> hostJobs(const std::string& entry) {
    const auto slash = entry.find('/');
    if (slash == std::string::npos || !isNumber(entry.substr(0, slash))) return std::nullopt;
    return unsigned(std::stoul(entry.substr(0, slash)));
}

HostVerdict judgeHost(int status, const std::string& answer, const std::string& ourVersion) {
    std::vector<std::string> said;
    for (const auto& line : lines(answer))
        if (!trimmed(line).empty()) said.push_back(line);
    const std::string last = said.empty() ? "" : said.back();
    if (status == 255 || status == 124) return {std::nullopt, "unreachable (" + last + ")"};
    if (status != 0) return {std::nullopt, "lacks the tools (" + last + ")"};
    std::vector<std::string> ours;
    for (const auto& line : lines(ourVersion))
        if (!trimmed(line).empty()) ours.push_back(line);
    const std::vector<std::string> theirs(said.begin(), said.empty() ? said.end() : said.end() - 1);
    if (theirs != ours)
        return {std::nullopt, "has other versions of the tools (" + joined(theirs, theirs.size()) +
                                  ", here " + joined(ours, ours.size()) + ")"};
    if (!isNumber(trimmed(last)) || std::stoul(trimmed(last)) == 0)
        return {std::nullopt, "gave no number of cores (" + last + ")"};
    return {unsigned(std::stoul(trimmed(last))), ""};
}

} // namespace segmentrun
