// The main program's options, in one table from which the argument parser,
// the --help text and the manual page are all made, so the three cannot
// drift apart. Plain C++: safe to use before (or without) any Qt object.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace duoscope {

struct OptionSpec {
    std::string_view name;      // "--input"
    std::string_view shortName; // "-h", or empty
    std::string_view valueName; // "<file>"; empty for a switch
    std::string_view help;      // one sentence or two, for --help and the manual page
    // Qt's own window options (-platform, -style): accepted and passed on to
    // the window, never listed.
    bool isWindowSystemOption = false;
};

const std::vector<OptionSpec>& commandLineOptions();

// A usage mistake (unknown option, option without its value): one line for
// standard error, then the usage hint, exit status 2.
class CommandLineUsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ParsedCommandLine {
    // The value of each option given with one; the first occurrence wins.
    std::map<std::string, std::string, std::less<>> values;
    std::set<std::string, std::less<>> switches;
    // Arguments that are no option: files named as a file manager passes them.
    std::vector<std::string> files;

    bool has(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
};

// Throws CommandLineUsageError. arguments[0] is the program's name.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The stereo options (--layout, --right-first, --hfov, --baseline,
// --disparity-adjustment) into a job; throws CommandLineUsageError for a value
// that is not one.
struct ConversionJob;
void applyStereoOptions(const ParsedCommandLine& commandLine, ConversionJob& job);

// Prints the mistake and the hint on standard error; returns exitUsage.
int reportUsageError(const CommandLineUsageError& mistake);

std::string versionText();
// The --help text: every mode and option, and the exit statuses.
std::string usageText();
// The same, as a troff manual page (Duoscope.1).
std::string manualPage();

// The exit statuses the program promises (README and manual page).
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

} // namespace duoscope
