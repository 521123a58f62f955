#include "ToolRuns.h"

#include "TestSupport.h"

#include <chrono>
#include <exception>
#include <future>

namespace kit {

RunResult runCapture(const std::vector<std::string>& argv) {
    duoscope::test::CommandOptions options;
    options.timeout = std::chrono::hours(1); // a 1080p encode on a busy machine
    const auto run = duoscope::test::runCommand(argv.front(), {argv.begin() + 1, argv.end()}, options);
    return {run.status, run.standardOutput, run.standardError};
}

std::string capture(const std::vector<std::string>& argv) {
    RunResult result = runCapture(argv);
    if (result.status == 0) return std::move(result.output);
    std::string command, error = result.error;
    for (const auto& arg : argv)
        command += (command.empty() ? "" : " ") + arg;
    if (error.size() > 600) error = "..." + error.substr(error.size() - 600);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
        error.pop_back();
    throw ToolError(command + " exited with status " + std::to_string(result.status) + ": " + error);
}

void run(const std::vector<std::string>& argv) {
    capture(argv);
}

void runInPairs(const std::vector<std::vector<std::string>>& commands) {
    std::exception_ptr failure;
    for (size_t i = 0; i < commands.size(); i += 2) {
        std::vector<std::future<void>> pair;
        for (size_t k = i; k < commands.size() && k < i + 2; ++k)
            pair.push_back(std::async(std::launch::async, [&, k] { run(commands[k]); }));
        for (auto& job : pair) {
            try {
                job.get();
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

} // namespace kit
