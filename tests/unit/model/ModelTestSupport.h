// What the model's tests share: one Qt application on the offscreen platform,
// a private settings folder per test, and waiting on the event loop.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QString>

#include <cstdlib>
#include <functional>

#include "TestSupport.h"

namespace duoscope::test {

inline void ensureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "model_test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    new QCoreApplication(argc, argv);
}

// Settings and the Desktop folder live in a scratch home for the test's life.
class PrivateHome {
  public:
    explicit PrivateHome(const std::string& name) : home_(name) {
        ensureApplication();
        setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
        // QSettings keeps the folder it found first for the life of the process.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString((home_ / "config").string()));
        std::filesystem::create_directories(home_ / "config/Duoscope");
        writeFile(home_ / "config/user-dirs.dirs",
                  "XDG_DESKTOP_DIR=\"" + (home_ / "Desktop").string() + "\"\n");
    }
    ~PrivateHome() { unsetenv("XDG_CONFIG_HOME"); }
    std::filesystem::path settingsFile() const { return home_ / "config/Duoscope/Duoscope.conf"; }
    std::filesystem::path operator/(const std::string& name) const { return home_ / name; }

  private:
    ScratchFolder home_;
};

inline QString q(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// Turns the event loop until `done` holds or `milliseconds` pass.
inline bool waitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace duoscope::test
