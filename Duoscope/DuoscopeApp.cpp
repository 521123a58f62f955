// Duoscope's entry: decides between the command-line modes and the window.
#include <signal.h>

#include <QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLineMode.h"
#include "CommandLineOptions.h"

#ifdef DUOSCOPE_WITHOUT_WINDOW
namespace {
int runWindow(int, char**, const duoscope::ParsedCommandLine&) {
    std::cerr << "Duoscope: this build has no window (DUOSCOPE_BUILD_UI=OFF).\n"
              << "Try 'Duoscope --help' for the command-line modes.\n";
    return 1;
}
} // namespace
#else
#include <QApplication>
#include <QUrl>

#include "ConverterModel.h"
#include "MainWindow.h"

namespace {

// Files named without an option, as a file manager passes them ("Open with").
QStringList openedFiles(const duoscope::ParsedCommandLine& commandLine) {
    QStringList files;
    for (const std::string& argument : commandLine.files) {
        QString path = QString::fromStdString(argument);
        if (path.startsWith("file://")) path = QUrl(path).toLocalFile();
        // Not even a look at the disk here, before the window exists: a slow
        // or hung disk must not keep it from showing. The queue's analysis,
        // off the window's thread, says what each file is.
        files.append(path);
    }
    return files;
}

int runWindow(int argc, char** argv, const duoscope::ParsedCommandLine& commandLine) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Duoscope");
    QApplication::setOrganizationName("Duoscope");
    QApplication::setApplicationVersion(duoscope::AboutDialog::applicationVersion());
    QApplication::setDesktopFileName("duoscope");
    duoscope::ConverterModel model;
    duoscope::MainWindow window(model, openedFiles(commandLine));
    window.show();
    return application.exec();
}

} // namespace
#endif

int main(int argc, char** argv) {
    // A tool that exits early must not take the whole program down with it.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv, argv + argc);
    duoscope::ParsedCommandLine commandLine;
    try {
        commandLine = duoscope::parseCommandLine(arguments);
    } catch (const duoscope::CommandLineUsageError& mistake) {
        return duoscope::reportUsageError(mistake);
    }
    // None of these modes may touch the window system: they must work over
    // SSH, in scripts and on machines without a display.
    if (commandLine.has("--help")) {
        std::cout << duoscope::usageText();
        return duoscope::exitSuccess;
    }
    if (commandLine.has("--version")) {
        std::cout << duoscope::versionText() << "\n";
        return duoscope::exitSuccess;
    }
    if (commandLine.has("--manual-page")) {
        std::cout << duoscope::manualPage();
        return duoscope::exitSuccess;
    }
    if (commandLine.has("--auto-convert")) {
        duoscope::blockInterruptSignals();
        // Qt's settings reader needs an application object, but no display.
        QCoreApplication application(argc, argv);
        return duoscope::runCommandLineMode(commandLine);
    }
    if (commandLine.has("--analyze")) return duoscope::runAnalyzeMode(commandLine);
    if (commandLine.has("--list-titles")) return duoscope::runListTitlesMode(commandLine);
    return runWindow(argc, argv, commandLine);
}
