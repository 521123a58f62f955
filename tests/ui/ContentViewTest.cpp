// The window on the offscreen platform over the real model and engine:
// drops, the Convert rule, files named at start-up, a real conversion through
// the button, Cancel, quitting during a run, a queue with a failed file, and
// the coalescing of redraws.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "ContentView.h"
#include "ConverterModel.h"
#include "MainWindow.h"
#include "ModelTestSupport.h"
#include "TestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small";

class Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "window_test";
        static char* argv[] = {name, nullptr};
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!QApplication::instance()) new QApplication(argc, argv);
        // Closing the test's windows must not end the application.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        window.show();
        model.setOutputDirectory(q(home / "out"));
    }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    template <typename T> T* find(const char* name) { return window.findChild<T*>(name); }
    void drop(const QStringList& paths) {
        auto* zone = find<QWidget>("dropZone");
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls.append(QUrl::fromLocalFile(path));
        data.setUrls(urls);
        QDragEnterEvent enter(zone->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &enter);
        QDropEvent dropped(zone->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &dropped);
    }
    QString footer() { return find<QLabel>("footerStatus")->text(); }
    // The state captions of the file rows, in queue order.
    static QStringList rowStates(QWidget& window) {
        QStringList states;
        for (QWidget* row : window.findChildren<QWidget*>("fileRow")) {
            auto* state = row->findChild<QLabel*>("fileState");
            states.append(state ? state->toolTip() : QString());
        }
        return states;
    }
    fs::path makeFlatVideo() {
        fs::path plain = home / "plain.mkv";
        auto made = runCommand("/usr/bin/ffmpeg",
                               {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=24",
                                "-t", "1", "-c:v", "libx264", plain.string()});
        EXPECT_EQ(made.status, 0) << made.output;
        return plain;
    }
    // Answers the question the next close raises with the named button.
    void answerNextQuestion(const QString& button) {
        QTimer::singleShot(200, [button] {
            auto* question = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!question) return;
            if (auto* chosen = question->findChild<QPushButton*>(button)) chosen->click();
        });
    }
    // The view redraws on a timer; a check waits for what it expects, briefly.
    bool shows(const std::function<bool()>& condition) { return waitFor(condition, 3000); }

    ScratchFolder home{"window"};
    ConverterModel model;
    MainWindow window{model};
};

} // namespace

TEST_F(Window, DropsAndTheConvertRule) {
    auto* convert = find<QPushButton>("convertButton");
    drop({q(home / "notes.txt")});
    EXPECT_TRUE(shows([&] {
        return footer() == "Error: Unsupported file format. Please use MKV, M2TS, MP4, or MOV.";
    })) << footer().toStdString();
    EXPECT_FALSE(find<QWidget>("fileList")->isVisible());
    EXPECT_FALSE(convert->isEnabled());

    drop({q(kit / "sbs_lr.mkv"), q(kit / "sbs.mp4"), q(home / "notes.txt")});
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled(); }, 30000))
        << "a source with its analysis and a folder";
    EXPECT_EQ(window.findChildren<QWidget*>("fileRow").size(), 2);
    EXPECT_EQ(convert->text(), "Convert to SBS 3D");

    // Files that are not 3D or not videos at all are marked and never make Convert usable.
    fs::path garbage = home / "garbage.mkv";
    writeFile(garbage, std::string(100000, 'x'));
    drop({q(makeFlatVideo()), q(garbage)});
    ASSERT_TRUE(waitFor(
        [&] {
            return rowStates(window) == QStringList{"2D video", "not a readable video"};
        },
        30000))
        << rowStates(window).join(", ").toStdString();
    EXPECT_FALSE(convert->isEnabled());
    EXPECT_EQ(window.findChildren<QWidget*>("notConvertibleMark").size(), 2);
    drop({q(garbage)});
    EXPECT_TRUE(waitFor([&] { return footer() == "Error: garbage.mkv is not a readable video"; }, 30000))
        << footer().toStdString();

    drop({q(kit / "sbs.mov")});
    EXPECT_EQ(model.fileQueue(), QStringList{q(kit / "sbs.mov")});
    EXPECT_TRUE(shows([&] { return !convert->isEnabled(); })) << "not before the new file's analysis";
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled(); }, 30000));
    model.setOutputDirectory({});
    EXPECT_TRUE(shows([&] { return !convert->isEnabled(); })) << "not without an output folder";
    EXPECT_EQ(find<QLabel>("outputDirectory")->text(), "Not selected");

    fs::create_directories(home / "chosen");
    QTimer::singleShot(300, [&] {
        if (auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            chooser->setDirectory(q(home / "chosen"));
            QMetaObject::invokeMethod(chooser, "accept");
        }
    });
    QTest::mouseClick(find<QPushButton>("chooseFolderButton"), Qt::LeftButton);
    EXPECT_EQ(model.outputDirectory().toStdString(), (home / "chosen").string());
}

TEST_F(Window, StartUpFilesAreAnalysedWhileTheWindowResponds) {
    // An ffprobe on a slow disk: every analysis takes a second and more.
    ScratchFolder tools("window slow ffprobe");
    writeScript(tools / "ffprobe", "#!/bin/bash\nsleep 1.5\nexec /usr/bin/ffprobe \"$@\"\n");
    setPriorityToolFolder(tools.path());
    fs::path garbage = home / "garbage.mkv";
    writeFile(garbage, std::string(100000, 'x'));
    QStringList opened{q(kit / "sbs_lr.mkv"), q(makeFlatVideo()), q(garbage)};

    ConverterModel startModel;
    MainWindow startWindow(startModel, opened);
    QElapsedTimer clock;
    clock.start();
    startWindow.show();
    qint64 shownAfter = clock.elapsed();
    // The event loop keeps turning (and the window drawing) while ffprobe works.
    qint64 longestGap = 0, last = clock.elapsed();
    auto turnsUntil = [&](const std::function<bool()>& condition, int milliseconds) {
        return waitFor(
            [&] {
                longestGap = std::max(longestGap, clock.elapsed() - last);
                last = clock.elapsed();
                return condition();
            },
            milliseconds);
    };
    EXPECT_TRUE(
        turnsUntil([&] { return rowStates(startWindow).count(QString::fromUtf8("Analysing…")) == 3; }, 1000))
        << rowStates(startWindow).join(", ").toStdString();
    EXPECT_EQ(startWindow.findChildren<QWidget*>("analysingMark").size(), 3);
    bool analysed = turnsUntil(
        [&] {
            return rowStates(startWindow).mid(1) == QStringList{"2D video", "not a readable video"} &&
                   !rowStates(startWindow).first().contains(QString::fromUtf8("Analysing…"));
        },
        60000);
    setPriorityToolFolder({});
    ASSERT_TRUE(analysed) << rowStates(startWindow).join(", ").toStdString();
    EXPECT_LT(shownAfter, 500);
    EXPECT_LT(longestGap, 1000) << "the window froze (each analysis takes 1.5 s)";
    EXPECT_GT(clock.elapsed(), 1500) << "the stand-in ffprobe was not used";
    EXPECT_TRUE(rowStates(startWindow).first().contains(QString::fromUtf8(" · ")))
        << rowStates(startWindow).first().toStdString();
    startModel.setOutputDirectory(q(home / "out"));
    auto* convert = startWindow.findChild<QPushButton*>("convertButton");
    EXPECT_TRUE(shows([&] { return convert->isEnabled(); })) << "one convertible file is enough";
    startModel.removeFromQueue(0);
    EXPECT_TRUE(shows([&] { return !convert->isEnabled(); })) << "nothing convertible is left";
}

TEST_F(Window, ConversionThroughTheButtonRisesToComplete) {
    drop({q(kit / "sbs_lr.mkv")});
    auto* convert = find<QPushButton>("convertButton");
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled(); }, 30000));
    auto* bar = find<QProgressBar>("progressBar");
    QList<int> seen;
    QTest::mouseClick(convert, Qt::LeftButton);
    waitFor(
        [&] {
            if (seen.isEmpty() || seen.last() != bar->value()) seen.append(bar->value());
            return !model.isConverting() && bar->value() == bar->maximum();
        },
        60000);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << "the bar only rises";
    EXPECT_EQ(seen.last(), bar->maximum());
    EXPECT_GT(seen.size(), 2) << "it moves through values between empty and full";
    // The finished panel names the movie it made.
    EXPECT_TRUE(shows([&] { return find<QLabel>("stageText")->text() == "Complete! — sbs_lr_SBS.mkv"; }));
    EXPECT_TRUE(find<QLabel>("timingSummary")->isVisible());
    EXPECT_TRUE(find<QLabel>("timingSummary")->text().startsWith("Started: "));
    EXPECT_TRUE(find<QPushButton>("revealButton")->isVisible());
    EXPECT_EQ(footer(), "Conversion complete: sbs_lr_SBS.mkv");
    EXPECT_TRUE(fs::exists(home / "out/sbs_lr_SBS.mkv"));

    QTest::mouseClick(find<QPushButton>("convertAnotherButton"), Qt::LeftButton);
    EXPECT_TRUE(shows([&] { return convert->isVisible(); }));
    EXPECT_TRUE(model.fileQueue().isEmpty());
}

TEST_F(Window, CancelLeavesNothingRunning) {
    ScratchFolder tools("window slow tools");
    writeScript(tools / "tsmuxer", "#!/bin/bash\nsleep 3172\n");
    setPriorityToolFolder(tools.path());
    drop({q(kit / "cabac_b/movie.m2ts")});
    auto* convert = find<QPushButton>("convertButton");
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled(); }, 30000));
    QTest::mouseClick(convert, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return processWithCommandLineExists("sleep 3172"); }, 30000));
    EXPECT_TRUE(shows([&] { return !find<QWidget>("settingsColumn")->isEnabled(); }))
        << "settings are locked during a run";
    QTest::mouseClick(find<QPushButton>("cancelButton"), Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] { return !model.isRunActive(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return !processWithCommandLineExists("sleep 3172"); }, 5000));
    setPriorityToolFolder({});
    EXPECT_TRUE(shows([&] { return convert->isVisible() && footer() == "Cancelled"; }))
        << footer().toStdString();
    drop({q(kit / "sbs_lr.mkv")});
    EXPECT_TRUE(shows([&] { return footer() != "Cancelled"; })) << "until the next action";
}

TEST_F(Window, QuittingDuringARunAsksFirst) {
    ScratchFolder tools("window quit tools");
    writeScript(tools / "tsmuxer", "#!/bin/bash\nsleep 3177\n");
    setPriorityToolFolder(tools.path());
    auto* quit = window.findChild<QAction*>("quitAction");
    ASSERT_NE(quit, nullptr);
    quit->trigger();
    EXPECT_FALSE(window.isVisible()) << "idle, quitting asks nothing";
    window.show();

    drop({q(kit / "cabac_b/movie.m2ts")});
    auto* convert = find<QPushButton>("convertButton");
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled(); }, 30000));
    QTest::mouseClick(convert, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return processWithCommandLineExists("sleep 3177"); }, 30000));

    answerNextQuestion("keepConvertingButton");
    quit->trigger();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(model.isConverting()) << "the run goes on";
    answerNextQuestion("keepConvertingButton");
    window.close();
    EXPECT_TRUE(window.isVisible() && model.isConverting()) << "closing the window asks too";

    answerNextQuestion("stopAndQuitButton");
    quit->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(model.isConverting());
    EXPECT_TRUE(waitFor([&] { return !model.isRunActive(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return !processWithCommandLineExists("sleep 3177"); }, 5000));
    setPriorityToolFolder({});
}

TEST_F(Window, AQueueShowsEachFilesOutcomeAndTheCount) {
    QStringList files;
    for (const char* name : {"one.mkv", "two.mkv", "three.mkv"}) {
        fs::copy_file(kit / "sbs_lr.mkv", home / name);
        files.append(q(home / name));
    }
    drop(files);
    auto* convert = find<QPushButton>("convertButton");
    ASSERT_TRUE(
        waitFor([&] { return rowStates(window).filter(QString::fromUtf8(" · ")).size() == 3; }, 60000));
    ASSERT_TRUE(convert->isEnabled());
    fs::remove(home / "two.mkv");
    QTest::mouseClick(convert, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return find<QMessageBox>("failureAlert") != nullptr; }, 60000));
    QStringList states = rowStates(window);
    ASSERT_EQ(states.size(), 3);
    EXPECT_EQ(states[0], "done");
    EXPECT_TRUE(states[1].startsWith("failed: Source file not found")) << states[1].toStdString();
    EXPECT_EQ(states[2], "done");
    EXPECT_EQ(window.findChildren<QWidget*>("doneMark").size(), 2);
    EXPECT_EQ(window.findChildren<QWidget*>("failedMark").size(), 1);
    EXPECT_TRUE(shows([&] { return find<QLabel>("runSummary")->text() == "2 converted, 1 failed"; }));
    EXPECT_TRUE(find<QLabel>("runSummary")->isVisible());
    EXPECT_TRUE(find<QPushButton>("revealButton")->isVisible()) << "the two movies are there to see";
    auto* alert = find<QMessageBox>("failureAlert");
    EXPECT_EQ(alert->windowTitle(), "Conversion Failed");
    EXPECT_TRUE(alert->text().startsWith("2 converted, 1 failed (two.mkv: Source file not found"))
        << alert->text().toStdString();
    EXPECT_EQ(footer(), "Error: " + alert->text());
    EXPECT_EQ(find<QLabel>("stageText")->text(), "Failed");
    EXPECT_TRUE(find<QLabel>("stageText")->isVisible());
    alert->accept();
}

TEST_F(Window, FloodsOfChangesAreRedrawnAtMost30TimesASecond) {
    auto* view = window.contentView();
    int before = view->refreshCount();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 500) {
        model.appendLog("line");
        model.setErrorMessage(QString::number(timer.elapsed()));
        QApplication::processEvents();
    }
    EXPECT_LE(view->refreshCount() - before, 20);
}

namespace {

// A disc backup dropped as a folder: its 3D title is offered with the main one
// chosen, the sound language picked there is the one the movie carries.
TEST_F(Window, ADiscFolderOffersItsTitlesAndConvertsInTheChosenLanguage) {
    fs::path disc = kit / "discs" / "film3d";
    drop({q(disc)});
    auto* convert = find<QPushButton>("convertButton");
    ASSERT_TRUE(waitFor([&] { return convert->isEnabled() && find<QComboBox>("discSoundPicker"); }, 60000));
    auto* titles = find<QComboBox>("discTitlePicker");
    ASSERT_TRUE(titles);
    ASSERT_EQ(titles->count(), 1) << "the disc's one 3D title; its 2D title is no choice";
    EXPECT_EQ(titles->currentData().toUInt(), 1u);
    auto* sound = find<QComboBox>("discSoundPicker");
    ASSERT_EQ(sound->count(), 3);
    EXPECT_EQ(sound->itemData(1).toString(), "eng");
    EXPECT_EQ(sound->itemData(2).toString(), "fra");
    sound->setCurrentIndex(2);
    emit sound->activated(2);
    EXPECT_EQ(model.discChoice(q(disc)).audioLanguage, "fra");

    QTest::mouseClick(convert, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return rowStates(window) == QStringList{"done"}; }, 120000))
        << rowStates(window).join(", ").toStdString();
    std::vector<fs::path> movies;
    for (const auto& entry : fs::directory_iterator(home / "out"))
        movies.push_back(entry.path());
    ASSERT_EQ(movies.size(), 1u);
    auto tag = runCommand("/usr/bin/ffprobe",
                          {"-v", "error", "-select_streams", "a", "-show_entries", "stream_tags=language",
                           "-of", "default=nw=1:nk=1", movies[0].string()});
    EXPECT_EQ(tag.standardOutput, "fra\n");
    EXPECT_TRUE(fs::exists(disc / "BDMV" / "index.bdmv"));
}

} // namespace
