#include "toolsupport/ToolSupport.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/stat.h>

#include <unistd.h>

namespace toolsupport {

namespace {

// Read by a signal handler, so a plain buffer rather than a std::string.
char unfinishedFile[4096];

void removeAndExit(int) {
    if (unfinishedFile[0]) ::unlink(unfinishedFile);
    _exit(1);
}

} // namespace

void installInterruptCleanup() {
    std::signal(SIGTERM, removeAndExit);
    std::signal(SIGINT, removeAndExit);
}

void setUnfinishedFile(const std::string& path) {
    std::snprintf(unfinishedFile, sizeof unfinishedFile, "%s", path.c_str());
}

void removeUnfinishedFile() {
    if (unfinishedFile[0]) ::unlink(unfinishedFile);
}

void log(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

bool asksForHelp(int argc, char** argv) {
    return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

int usageError(const char* usage) {
    std::fputs(usage, stderr);
    return 1;
}

bool answersVersion(int argc, char** argv, const char* name) {
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0) return false;
    std::printf("%s %s\n", name, DUOSCOPE_VERSION);
    return true;
}

std::optional<int> answerHelpOrMisuse(int argc, char** argv, const char* usage, const std::string& help,
                                      bool isUsable) {
    if (asksForHelp(argc, argv)) {
        std::printf("%s\n%s", usage, help.c_str());
        return 0;
    }
    if (!isUsable) return usageError(usage);
    return std::nullopt;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? std::uint64_t(status.st_size) : 0;
}

int runMain(const std::function<int()>& body) {
    try {
        return body();
    } catch (const Failure& failure) {
        log(failure.message);
    } catch (const std::exception& error) {
        log(std::string("ERROR: ") + error.what());
    }
    return 1;
}

} // namespace toolsupport
