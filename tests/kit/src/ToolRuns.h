// The kit's tool runs, through the shared test runner (argument vector, no
// shell, standard error kept for the error message). Any thread may call them.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kit {

struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs to completion; throws ToolError with the command, its status and the
// end of its standard error unless it exited 0.
void run(const std::vector<std::string>& argv);

// Runs the commands two at a time (two cores); throws the first failure once all have ended.
void runInPairs(const std::vector<std::vector<std::string>>& commands);

// Runs and returns standard output (throws like run).
std::string capture(const std::vector<std::string>& argv);

struct RunResult {
    int status = -1;
    std::string output, error;
};
// Runs to completion without throwing on a non-zero status.
RunResult runCapture(const std::vector<std::string>& argv);

} // namespace kit
