// What every command-line program of the tree shares around its own work: the
// log line on standard error, the failure that ends a run, and the main wrapper
// that turns any failure into one "ERROR: " line and exit status 1.
// Called from the program's main thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace toolsupport {

// Ends the run with exit status 1; the message is printed as it stands, so it
// carries its own "ERROR: " where the program's interface wants one.
struct Failure {
    std::string message;
};

// One line on standard error, flushed at once so that a reader of the stream
// sees progress as it happens.
void log(const std::string& text);

// printf-style formatting of one number ("%.1f").
std::string format(const char* pattern, double value);

// The command line is exactly "--help" or "-h".
bool asksForHelp(int argc, char** argv);

// The command line is exactly "--version": prints "<name> <version of this
// build>" on standard output and gives true. Machines that share the work of
// one film compare these lines, so every tool of one build answers alike.
bool answersVersion(int argc, char** argv, const char* name);

// Prints the usage text (which ends in its own newline) on standard error and
// gives the exit status of a wrong command line, 1.
int usageError(const char* usage);

// The start of a program whose command line is checked as a whole: "--help"
// prints the usage, a blank line and `help` (status 0); a command line the
// program cannot use gets usageError (status 1); otherwise nothing, and the
// program goes on with its work.
std::optional<int> answerHelpOrMisuse(int argc, char** argv, const char* usage, const std::string& help,
                                      bool isUsable);

// A movie being written must not outlive an interrupted run looking complete:
// once installInterruptCleanup() has run, SIGINT and SIGTERM remove the file
// last named by setUnfinishedFile (none when "") and end the program with
// status 1. removeUnfinishedFile() does the same removal after a failure.
void installInterruptCleanup();
void setUnfinishedFile(const std::string& path);
void removeUnfinishedFile();

// Runs one step of the work; an exception it throws (other than a Failure)
// ends the run as a Failure: `failureText` followed by the exception's text.
template <typename Step> auto orFail(const std::string& failureText, Step&& step) -> decltype(step()) {
    try {
        return step();
    } catch (const std::exception& error) {
        throw Failure{failureText + error.what()};
    }
}

// The size of a file in bytes; 0 when it cannot be read.
std::uint64_t fileSize(const std::string& path);

// Runs a program's body: its return value is the exit status; a Failure prints
// its message, any other exception "ERROR: " and its text, and both give 1.
int runMain(const std::function<int()>& body);

} // namespace toolsupport
