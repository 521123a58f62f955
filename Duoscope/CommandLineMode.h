// The command-line modes of the main program: one conversion without a window
// (--auto-convert), and the analysis of one file (--analyze).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CommandLineOptions.h"
#include "ConversionTypes.h"

namespace duoscope {

// Runs one conversion and returns the process exit status (0, 1, or 128 +
// the signal that stopped it).
int runCommandLineMode(const ParsedCommandLine& commandLine);
// Analyses one file and prints the trace and the record (or, with --json, one
// JSON object); returns 0 or 1.
int runAnalyzeMode(const ParsedCommandLine& commandLine);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread it
// starts later; command-line mode then waits for them on a thread of its own.
// Call before any thread exists.
void blockInterruptSignals();
// The "--duration" value as a limit: a positive whole number, else none.
std::optional<int> commandLineDurationLimit(const std::optional<std::string>& value);

// "[<time>] " + message on standard output.
void cliLog(const std::string& message);

// The stored "qualityPreset" and "outputTarget" texts, with their defaults.
std::pair<std::string, std::string> storedQualityAndTarget();
// The choices the command line derives from the stored setting texts.
QualityPreset commandLineQuality(const std::string& storedText);
OutputTarget commandLineTarget(const std::string& storedText);
// The progress line for a report, or nothing when it is not at a multiple of 10 %.
std::optional<std::string> progressLine(ConversionStage stage, double fraction);

} // namespace duoscope
