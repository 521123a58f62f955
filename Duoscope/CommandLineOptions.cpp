#include "CommandLineOptions.h"

#include <cmath>
#include <cstdlib>

#include "ConversionTypes.h"

#include <algorithm>
#include <iostream>

#ifndef DUOSCOPE_VERSION
#define DUOSCOPE_VERSION "0"
#endif

namespace duoscope {

namespace {

constexpr int buildNumber = 134;

// Text shared by --help and the manual page; each line stays under 80 columns.
constexpr std::string_view synopsis[] = {
    "Duoscope [<file>...]",
    "Duoscope --input <file> [--output <dir>]",
    "Duoscope --input <file> --auto-convert [--output <dir>] [options]",
    "Duoscope --analyze <file> [--json]",
    "Duoscope --list-titles <disc>",
    "Duoscope --help | --version",
};

constexpr std::string_view modes[][2] = {
    {"Duoscope [<file>...]", "Opens the window; files named here are queued, as a file manager's "
                             "\"Open with\" passes them."},
    {"--input <file> --auto-convert",
     "Converts one file without a window and exits with its status. Progress goes to standard output: "
     "one line updated in place on a terminal, time-stamped lines otherwise."},
    {"--analyze <file>", "Analyses a source (stereo layout, size, frame rate, duration, tracks) and "
                         "prints the result."},
    {"--list-titles <disc>",
     "Lists the titles of a Blu-ray disc backup (a folder holding BDMV, BDMV itself or "
     "an .iso image): number, playlist, duration, clips, chapters, 3D or not, audio."},
};

constexpr std::string_view exitStatuses[][2] = {
    {"0", "success"},
    {"1", "the conversion or analysis failed (the last line says why)"},
    {"2", "usage error: an unknown option or an option without its value"},
    {"130, 143, 129", "stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP; the run's tools and work folder are "
                      "removed first"},
};

const OptionSpec* findOption(std::string_view argument) {
    for (const auto& option : commandLineOptions())
        if (argument == option.name || (!option.shortName.empty() && argument == option.shortName))
            return &option;
    return nullptr;
}

// Greedy word wrap for the help text's right column.
std::string wrapped(std::string_view text, size_t indent, size_t width) {
    std::string out;
    size_t column = indent;
    while (!text.empty()) {
        size_t space = text.find(' ');
        std::string_view word = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view{} : text.substr(space + 1);
        if (column > indent && column + 1 + word.size() > width) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
    }
    return out;
}

std::string optionLabel(const OptionSpec& option) {
    std::string label;
    if (!option.shortName.empty()) label.append(option.shortName).append(", ");
    label.append(option.name);
    if (!option.valueName.empty()) label.append(" ").append(option.valueName);
    return label;
}

// troff treats a leading dot or quote as a request and a backslash as an escape.
std::string troffEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

} // namespace

const std::vector<OptionSpec>& commandLineOptions() {
    static const std::vector<OptionSpec> options = {
        {"--input", "", "<file>", "The source to convert (with --auto-convert), or to queue in the window."},
        {"--output", "", "<dir>", "The output folder. Default: ~/Desktop/Duoscope Output."},
        {"--auto-convert", "", "", "Convert the --input file without a window."},
        {"--duration", "", "<seconds>",
         "Convert only the first seconds: a positive whole number; anything else converts everything."},
        {"--quiet", "-q", "", "With --auto-convert: print only the result line."},
        {"--layout", "", "<auto|sbs|hsbs|tb|htb|alternate|mvc>",
         "How the source holds the eyes: full or half side by side, full or half top-bottom, frame alternate "
         "or "
         "MVC. Default auto: the container's signal, else the frame's shape. With --analyze too."},
        {"--right-first", "", "",
         "The source's first view (left half, top half, first picture, base view) is the "
         "right eye."},
        {"--hfov", "", "<degrees>",
         "MV-HEVC: the camera's horizontal field of view, written for spatial video."},
        {"--baseline", "", "<mm>",
         "MV-HEVC: the distance between the two lenses, written for spatial video."},
        {"--disparity-adjustment", "", "<x>",
         "MV-HEVC: the horizontal disparity adjustment, a fraction of the width from -1 to 1."},
        {"--target", "", "<sbs|mvhevc>",
         "With --auto-convert: make a side-by-side MKV or an MV-HEVC movie, whatever the window stored."},
        {"--quality", "", "<ultra|high|balanced|small>",
         "With --auto-convert: the quality preset, whatever the window stored."},
        {"--hosts", "", "<list|@file>",
         "Also run the segments of the parallel routes on other machines over SSH: GNU parallel's "
         "--sshlogin entries, comma separated (\"4/user@box1\", \":\" for this machine), or @ and a file "
         "of them, one a line. Each needs the same version of Duoscope's tools. Default: the window's "
         "\"Other machines\"."},
        {"--keep-sbs", "", "",
         "Also keep the side-by-side movie made on the way to MV-HEVC from a frame-alternate source."},
        {"--overwrite", "", "",
         "Replace a file of the output's name; without it the movie takes the next free name, as "
         "\"Movie (2).mov\"."},
        {"--keep-work", "", "",
         "After a failure keep the whole work folder (Duoscope_XXXXXXXX), not only its logs."},
        {"--accept-damaged", "", "",
         "Convert a source with damaged pictures (with a warning) instead of failing."},
        {"--title", "", "<n>",
         "A disc backup's title to convert, by its number in --list-titles. Default: the longest 3D title."},
        {"--playlist", "", "<nnnnn>",
         "A disc backup's title to convert, by its playlist (BDMV/PLAYLIST/nnnnn.mpls)."},
        {"--audio-lang", "", "<xxx>",
         "From a disc backup: the first audio stream in this ISO 639-2 language (eng, fra, deu, ...). "
         "Default: the title's first audio stream."},
        {"--list-titles", "", "<disc>", "List a disc backup's titles and exit."},
        {"--analyze", "", "<file>", "Analyse a source and print what was found."},
        {"--json", "", "", "With --analyze: print the analysis as one JSON object."},
        {"--help", "-h", "", "Print this help and exit."},
        {"--version", "", "", "Print the version and exit."},
        {"--manual-page", "", "", ""},
        {"-platform", "", "<name>", "", true},
        {"-style", "", "<name>", "", true},
        {"-display", "", "<name>", "", true},
        {"-geometry", "", "<spec>", "", true},
        {"-qwindowgeometry", "", "<spec>", "", true},
        {"-reverse", "", "", "", true},
    };
    return options;
}

bool ParsedCommandLine::has(std::string_view name) const {
    return switches.contains(name) || values.contains(name);
}

std::optional<std::string> ParsedCommandLine::value(std::string_view name) const {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        // A file manager may pass a file whose name starts with a dash only as
        // a path with a folder part, so a lone "-" or "--x" is an option.
        if (argument.size() < 2 || argument[0] != '-') {
            parsed.files.push_back(argument);
            continue;
        }
        const OptionSpec* option = findOption(argument);
        if (!option) throw CommandLineUsageError("unknown option " + argument);
        std::string name(option->name);
        if (option->valueName.empty()) {
            parsed.switches.insert(name);
            continue;
        }
        if (i + 1 >= arguments.size())
            throw CommandLineUsageError("option " + argument + " needs a value " +
                                        std::string(option->valueName));
        parsed.values.emplace(name, arguments[++i]);
    }
    return parsed;
}

void applyStereoOptions(const ParsedCommandLine& commandLine, ConversionJob& job) {
    if (auto layout = commandLine.value("--layout")) {
        auto choice = layoutChoiceFromOptionName(*layout);
        if (!choice)
            throw CommandLineUsageError("--layout must be auto, sbs, hsbs, tb, htb, alternate or mvc, not " +
                                        *layout);
        job.layoutChoice = *choice;
    }
    job.rightFirst = commandLine.has("--right-first");
    auto number = [&](std::string_view name) -> std::optional<double> {
        auto text = commandLine.value(name);
        if (!text) return std::nullopt;
        char* end = nullptr;
        double value = std::strtod(text->c_str(), &end);
        if (text->empty() || end != text->c_str() + text->size() || !std::isfinite(value))
            throw CommandLineUsageError(std::string(name) + " needs a number, not " + *text);
        return value;
    };
    auto wholeNumber = [&](std::string_view name) -> std::optional<unsigned> {
        auto text = commandLine.value(name);
        if (!text) return std::nullopt;
        auto value = parseWholeNumber(*text);
        if (!value || *value < 0)
            throw CommandLineUsageError(std::string(name) + " needs a whole number, not " + *text);
        return static_cast<unsigned>(*value);
    };
    job.discTitle = wholeNumber("--title");
    job.discPlaylist = wholeNumber("--playlist");
    if (job.discTitle && job.discPlaylist)
        throw CommandLineUsageError("give --title or --playlist, not both");
    job.audioLanguage = commandLine.value("--audio-lang").value_or("");
    if (!job.audioLanguage.empty() &&
        (job.audioLanguage.size() != 3 || !std::all_of(job.audioLanguage.begin(), job.audioLanguage.end(),
                                                       [](char c) { return c >= 'a' && c <= 'z'; })))
        throw CommandLineUsageError("--audio-lang needs a three-letter ISO 639-2 code such as eng, not " +
                                    job.audioLanguage);
    job.spatialMetadata.horizontalFieldOfViewDegrees = number("--hfov");
    job.spatialMetadata.baselineMillimetres = number("--baseline");
    job.spatialMetadata.disparityAdjustment = number("--disparity-adjustment");
    if (auto problem = spatialMetadataProblem(job.spatialMetadata)) throw CommandLineUsageError(*problem);
}

int reportUsageError(const CommandLineUsageError& mistake) {
    std::cerr << "Duoscope: " << mistake.what() << "\nTry 'Duoscope --help' for more information.\n";
    return exitUsage;
}

std::string versionText() {
    return "Duoscope " DUOSCOPE_VERSION " (Build " + std::to_string(buildNumber) + ")";
}

std::string usageText() {
    std::string text = "Usage:\n";
    for (auto line : synopsis)
        text.append("  ").append(line).append("\n");
    text += "\nModes:\n";
    for (const auto& mode : modes)
        text.append("  ").append(mode[0]).append("\n      ").append(wrapped(mode[1], 6, 78)).append("\n");
    text += "\nOptions:\n";
    for (const auto& option : commandLineOptions()) {
        if (option.isWindowSystemOption || option.help.empty()) continue;
        std::string label = optionLabel(option);
        text.append("  ").append(label);
        if (label.size() < 24)
            text.append(24 - label.size(), ' ');
        else
            text.append("\n").append(26, ' ');
        text.append(wrapped(option.help, 26, 78)).append("\n");
    }
    text += "\nExit status:\n";
    for (const auto& status : exitStatuses) {
        std::string code(status[0]);
        text.append("  ").append(code);
        text.append(code.size() < 14 ? 14 - code.size() : 1, ' ');
        text.append(wrapped(status[1], 16, 78)).append("\n");
    }
    text += "\nWithout --target and --quality, --auto-convert takes the quality and the target the window\n"
            "stored (~/.config/Duoscope/Duoscope.conf).\n";
    return text;
}

std::string manualPage() {
    std::string page = ".TH DUOSCOPE 1 \"\" \"Duoscope " DUOSCOPE_VERSION "\" \"User Commands\"\n";
    page += ".SH NAME\nDuoscope \\- convert stereoscopic 3D video to side\\-by\\-side or MV\\-HEVC movies\n";
    page += ".SH SYNOPSIS\n";
    for (auto line : synopsis)
        page.append(".br\n").append(troffEscaped(line)).append("\n");
    page += ".SH DESCRIPTION\n"
            "Duoscope converts Blu\\-ray 3D (H.264 with an MVC dependent view, in .m2ts or 3D .mkv) and "
            "side\\-by\\-side or frame\\-alternate sources into a full side\\-by\\-side 3D movie (MKV) or an "
            "MV\\-HEVC spatial video movie for Apple Vision Pro.\n"
            "It runs ffmpeg and ffprobe and its own tools from /usr/libexec/duoscope/tools.\n";
    page += ".SH MODES\n";
    for (const auto& mode : modes)
        page.append(".TP\n.B ")
            .append(troffEscaped(mode[0]))
            .append("\n")
            .append(troffEscaped(mode[1]))
            .append("\n");
    page += ".SH OPTIONS\n";
    for (const auto& option : commandLineOptions()) {
        if (option.isWindowSystemOption || option.help.empty()) continue;
        page.append(".TP\n.B ").append(troffEscaped(optionLabel(option))).append("\n");
        page.append(troffEscaped(option.help)).append("\n");
    }
    page += ".SH EXIT STATUS\n";
    for (const auto& status : exitStatuses)
        page.append(".TP\n.B ")
            .append(troffEscaped(status[0]))
            .append("\n")
            .append(troffEscaped(status[1]))
            .append("\n");
    page += ".SH FILES\n.TP\n.I ~/.config/Duoscope/Duoscope.conf\n"
            "The settings the window stores; --auto-convert reads its quality and target from them unless "
            "\\-\\-target or \\-\\-quality is given.\n";
    page += ".SH EXAMPLES\n.nf\n"
            "Duoscope \\-\\-input Movie.m2ts \\-\\-auto\\-convert \\-\\-output ~/Videos\n"
            "Duoscope \\-\\-analyze Movie.mkv \\-\\-json\n.fi\n";
    page += ".SH SEE ALSO\n.BR ffmpeg (1)\n";
    return page;
}

} // namespace duoscope
