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
// --list-titles: a disc backup's titles on standard output.
int runListTitlesMode(const ParsedCommandLine& commandLine);

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread it
// starts later; command-line mode then waits for them on a thread of its own.
// Call before any thread exists.
void blockInterruptSignals();
// The "--duration" value as a limit: a positive whole number, else none.
std::optional<int> commandLineDurationLimit(const std::optional<std::string>& value);

// "[<time>] " + message on standard output.
void cliLog(const std::string& message);

// What a command-line run converts with: its flags over the window's stored
// settings, which are read against their labels without regard to case.
struct CommandLineChoices {
    QualityPreset quality = QualityPreset::high;
    OutputCodec codec = OutputCodec::h264;
    OutputTarget target = OutputTarget::visionPro;
    bool keepSBSIntermediate = false;
    std::string otherMachines;
    // One line per stored value that could not be read, naming it and the default used.
    std::vector<std::string> warnings;
};
// Throws CommandLineUsageError for a --target or --quality value that names nothing.
CommandLineChoices commandLineChoices(const ParsedCommandLine& commandLine);
// "sbs", "mvhevc" or a target label; "ultra", "high", "balanced", "small" or a
// preset label; any case. Nothing when the word names none.
std::optional<OutputTarget> targetFromFlag(std::string_view word);
std::optional<QualityPreset> qualityFromFlag(std::string_view word);
// The progress line for a report, or nothing when it is not at a multiple of 10 %.
std::optional<std::string> progressLine(ConversionStage stage, double fraction);

} // namespace duoscope
