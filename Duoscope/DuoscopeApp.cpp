// Duoscope's entry: decides between the command-line modes and the window.
#include <signal.h>

#include <QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLineMode.h"

int main(int argc, char** argv) {
    // A tool that exits early must not take the whole program down with it.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv, argv + argc);
    for (const auto& argument : arguments)
        if (argument == "--auto-convert") {
            duoscope::blockInterruptSignals();
            QCoreApplication application(argc, argv);
            return duoscope::runCommandLineMode(arguments);
        }
    for (size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i] == "--analyze") return duoscope::runAnalyzeMode(arguments, i);
    std::cerr << "Duoscope " DUOSCOPE_VERSION ": the window is not part of this build yet.\n"
              << "Usage: Duoscope --input <file> --auto-convert [--output <dir>] [--duration <seconds>]\n"
              << "       Duoscope --analyze <file>\n";
    return 1;
}
