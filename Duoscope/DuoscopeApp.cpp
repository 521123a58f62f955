// Duoscope's entry: decides between the command-line modes and the window.
#include <signal.h>

#include <QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLineMode.h"

#ifdef DUOSCOPE_WITHOUT_WINDOW
namespace {
int runWindow(int, char**, const std::vector<std::string>&) {
    std::cerr << "Duoscope: this build has no window (DUOSCOPE_BUILD_UI=OFF).\n"
              << "Usage: Duoscope --input <file> --auto-convert [--output <dir>] [--duration <seconds>]\n";
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
QStringList openedFiles(const std::vector<std::string>& arguments) {
    QStringList files;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--input" || argument == "--output" || argument == "--duration") {
            ++i;
            continue;
        }
        if (argument.rfind("-", 0) == 0) continue;
        QString path = QString::fromStdString(argument);
        if (path.startsWith("file://")) path = QUrl(path).toLocalFile();
        // Not even a look at the disk here, before the window exists: a slow
        // or hung disk must not keep it from showing. The queue's analysis,
        // off the window's thread, says what each file is.
        files.append(path);
    }
    return files;
}

int runWindow(int argc, char** argv, const std::vector<std::string>& arguments) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Duoscope");
    QApplication::setOrganizationName("Duoscope");
    QApplication::setApplicationVersion(duoscope::AboutDialog::applicationVersion());
    QApplication::setDesktopFileName("duoscope");
    duoscope::ConverterModel model;
    duoscope::MainWindow window(model, openedFiles(arguments));
    window.show();
    return application.exec();
}

} // namespace
#endif

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
    return runWindow(argc, argv, arguments);
}
