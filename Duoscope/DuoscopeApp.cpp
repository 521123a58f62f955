// Duoscope's entry: decides between the command-line modes and the window.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "FFProbe.h"

namespace {

int runAnalyzeMode(const std::vector<std::string>& arguments, size_t position) {
    if (position + 1 >= arguments.size()) {
        std::cerr << "Usage: Duoscope --analyze <file>\n";
        return 1;
    }
    std::filesystem::path source = arguments[position + 1];
    std::error_code error;
    if (!std::filesystem::exists(source, error)) {
        std::cerr << "ERROR: File not found: " << source.string() << "\n";
        return 1;
    }
    if (std::filesystem::is_directory(source, error)) {
        std::cerr << "ERROR: Not a file: " << source.string() << "\n";
        return 1;
    }
    try {
        duoscope::FFProbe probe;
        auto info = probe.probe(source);
        if (!info) {
            std::cerr << "ERROR: ffprobe could not analyse " << source.string() << "\n";
            return 1;
        }
        std::cout << "Source: " << info->fileName << "\n"
                  << "  Title:       " << info->title << "\n"
                  << "  Duration:    " << info->formattedDuration() << " (" << info->duration << " s)\n"
                  << "  Resolution:  " << info->resolution << " (" << info->videoWidth << "x" << info->videoHeight
                  << ")\n"
                  << "  Frame rate:  " << info->frameRateNum << "/" << info->frameRateDen << "\n"
                  << "  Stereo mode: " << info->stereoMode.text() << "\n"
                  << "  3D stream:   " << (info->hasMVCStream ? "yes" : "no") << "\n"
                  << "  MVC track:   "
                  << (info->mvcTrackIndex ? std::to_string(*info->mvcTrackIndex) : std::string("none")) << "\n";
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "ERROR: " << failure.what() << "\n";
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    // A tool that exits early must not take the whole program down with it.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv, argv + argc);
    for (size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i] == "--analyze") return runAnalyzeMode(arguments, i);
    std::cerr << "Duoscope " DUOSCOPE_VERSION ": the window is not part of this build yet.\n"
              << "Usage: Duoscope --analyze <file>\n";
    return 1;
}
