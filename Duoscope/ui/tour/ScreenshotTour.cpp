// Shows the real window in each of its states and saves a picture of each,
// as the X server shows it: empty, queued, converting, complete, failed, About.
// Run under Xvfb by scripts/screenshots.sh:
//   screenshot_tour --output DIR --size WxH --kit KIT_SET_DIR
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "ContentView.h"
#include "ConverterModel.h"
#include "MainWindow.h"

using namespace duoscope;

namespace {

bool waitFor(const std::function<bool()>& done, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void settle(int milliseconds = 400) {
    waitFor([] { return false; }, milliseconds);
}

bool save(QWidget& window, const QString& folder, const QString& name) {
    settle();
    QRect frame = window.frameGeometry();
    QPixmap picture = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    // Strongest compression: the pictures are committed.
    bool saved = picture.toImage()
                     .convertToFormat(QImage::Format_RGB888)
                     .save(QDir(folder).filePath(name + ".png"), "PNG", 0);
    std::printf("%s %s.png\n", saved ? "saved" : "FAILED", qPrintable(name));
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments();
    auto option = [&](const QString& name) {
        qsizetype at = arguments.indexOf(name);
        return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1] : QString();
    };
    QString output = option("--output"), size = option("--size"), kit = option("--kit");
    if (output.isEmpty() || size.isEmpty() || kit.isEmpty()) {
        std::fprintf(stderr, "usage: screenshot_tour --output DIR --size WxH --kit KIT_SET_DIR\n");
        return 2;
    }
    QDir().mkpath(output);
    QString plain = home.filePath("Holiday 2D.mkv");
    QProcess::execute("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=24",
                                 "-t", "1", "-c:v", "libx264", plain});

    ConverterModel model;
    MainWindow window(model);
    QStringList dimensions = size.split('x');
    window.resize(dimensions.value(0).toInt(), dimensions.value(1).toInt());
    window.move(0, 0);
    window.show();
    model.setOutputDirectory(home.filePath("Duoscope Output"));
    auto* convert = window.findChild<QPushButton*>("convertButton");
    auto* codecCaption = window.findChild<QLabel*>("codecCaption");
    waitFor([&] { return !codecCaption->text().startsWith("Detecting"); }, 10000);
    bool ok = save(window, output, "empty");

    model.handleDrop({kit + "/frame_alternate.mkv", kit + "/sbs.mp4"});
    waitFor([&] { return convert->isEnabled() && model.fileInfoMap().size() == 2; }, 30000);
    ok &= save(window, output, "queued");

    convert->click();
    waitFor([&] { return !model.isConverting() || !model.estimatedTimeRemaining().isEmpty(); }, 120000);
    ok &= save(window, output, "converting");
    waitFor([&] { return !model.isConverting(); }, 300000);
    ok &= save(window, output, "complete");

    // A queue of a 2D file (skipped) and a 3D file that is gone by the time it is converted.
    QString vanishing = home.filePath("Holiday 3D.mp4");
    QFile::copy(kit + "/sbs.mp4", vanishing);
    model.handleDrop({plain, vanishing});
    waitFor(
        [&] {
            return model.fileState(vanishing).analysis == QueuedFileState::Analysis::stereo &&
                   convert->isEnabled();
        },
        30000);
    QFile::remove(vanishing);
    convert->click();
    waitFor([&] { return window.findChild<QMessageBox*>("failureAlert") != nullptr; }, 60000);
    ok &= save(window, output, "failed");
    if (auto* alert = window.findChild<QMessageBox*>("failureAlert")) alert->accept();

    window.showAboutPanel();
    ok &= save(window, output, "about");
    return ok ? 0 : 1;
}
