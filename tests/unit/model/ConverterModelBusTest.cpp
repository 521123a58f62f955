// The model on a real D-Bus session (a private dbus-daemon) with stand-ins for
// logind and the notification service: a queue that goes on past a failed
// file, tells each file's state and says the truth at the end, and the sleep
// lock held through every run and released at its end, on cancel and on exit.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QProcess>

#include "ConverterModel.h"
#include "ModelTestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small";
using Outcome = QueuedFileState::Outcome;

// A session bus of the test's own and the stand-in services on it; what the
// services saw, one line per event.
class StandInBus : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ensureApplication();
        // The bus goes away before the process ends; libdbus must not take
        // that for a programming error and abort the test at exit.
        setenv("DBUS_FATAL_WARNINGS", "0", 1);
        daemon = new QProcess;
        daemon->start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(daemon->waitForStarted(5000)) << "dbus-daemon (Debian package dbus) is needed";
        ASSERT_TRUE(waitFor([] { return daemon->canReadLine(); }, 10000));
        QByteArray address = daemon->readLine().trimmed();
        // Before the first use of the session bus, which Qt connects once.
        setenv("DBUS_SESSION_BUS_ADDRESS", address.constData(), 1);
        services = new QProcess;
        services->start(DUOSCOPE_LOGIN_STANDIN, {});
        ASSERT_TRUE(waitFor([] { return events().contains("ready"); }, 10000))
            << services->readAllStandardError().toStdString();
    }
    static void TearDownTestSuite() {
        for (QProcess* process : {services, daemon}) {
            process->kill();
            process->waitForFinished(5000);
            delete process;
        }
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    static QStringList& events() {
        static QStringList seen;
        while (services && services->canReadLine())
            seen.append(QString::fromUtf8(services->readLine()).trimmed());
        return seen;
    }
    static bool sawEvent(const QString& line, int milliseconds = 10000) {
        return waitFor([&] { return events().contains(line); }, milliseconds);
    }
    // Locks handed out and not yet given back.
    static int locksHeld() {
        int held = 0;
        for (const QString& event : events())
            held += event.startsWith("inhibit ") ? 1 : event.startsWith("release ") ? -1 : 0;
        return held;
    }

    void SetUp() override {
        model->loadSettings();
        model->setOutputDirectory(q(output));
        model->sleepInhibitor().setBus(QDBusConnection::sessionBus());
        events().clear();
    }
    void run() {
        model->startConversion();
        ASSERT_TRUE(waitFor([&] { return !model->isConverting() && !model->isRunActive(); }, 120000));
    }

    static inline QProcess* daemon = nullptr;
    static inline QProcess* services = nullptr;
    PrivateHome home{"model bus"};
    fs::path output = home / "out";
    std::unique_ptr<ConverterModel> model = std::make_unique<ConverterModel>();
};

} // namespace

TEST_F(StandInBus, QueueGoesOnPastAFailedFileAndSaysSo) {
    QStringList files;
    for (const char* name : {"first.mkv", "middle.mkv", "last.mkv"}) {
        fs::copy_file(kit / "sbs_lr.mkv", home / name);
        files.append(q(home / name));
    }
    model->addFiles(files);
    ASSERT_TRUE(waitFor(
        [&] {
            return std::none_of(files.begin(), files.end(), [&](const QString& file) {
                return model->fileState(file).analysis == QueuedFileState::Analysis::analysing;
            });
        },
        60000));
    ASSERT_TRUE(model->canConvert());
    // The middle file goes away after its analysis, so its conversion fails.
    fs::remove(home / "middle.mkv");
    run();

    EXPECT_EQ(model->fileState(files[0]).outcome, Outcome::converted);
    EXPECT_EQ(model->fileState(files[1]).outcome, Outcome::failed);
    EXPECT_TRUE(model->fileState(files[1]).text().startsWith("failed: Source file not found"))
        << model->fileState(files[1]).text().toStdString();
    EXPECT_EQ(model->fileState(files[2]).outcome, Outcome::converted) << "the queue goes on";
    EXPECT_EQ(model->runSummary(), "2 converted, 1 failed");
    EXPECT_TRUE(model->logs().last().endsWith("=== Batch complete: 2 converted, 1 failed ==="))
        << model->logs().join("\n").toStdString();
    EXPECT_EQ(model->currentStage(), ConversionStage::failed) << "a batch with a failure is no success";
    EXPECT_TRUE(model->errorMessage().contains("middle.mkv: Source file not found"));
    EXPECT_FALSE(model->conversionEndTime().isValid());
    EXPECT_TRUE(sawEvent("notify Batch complete: 2 converted, 1 failed"));
    std::vector<std::string> made;
    for (const auto& entry : fs::directory_iterator(output))
        made.push_back(entry.path().filename().string());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"first_SBS.mkv", "last_SBS.mkv"}));

    // One lock per file, each taken before the one before it is given back,
    // so the machine is never unguarded between files; none is left at the end.
    EXPECT_TRUE(waitFor([] { return locksHeld() == 0; }, 5000));
    QStringList locks = events().filter("inhibit ");
    EXPECT_EQ(locks, (QStringList{"inhibit sleep:idle|Duoscope|first.mkv|block",
                                  "inhibit sleep:idle|Duoscope|middle.mkv|block",
                                  "inhibit sleep:idle|Duoscope|last.mkv|block"}));
    int held = 0;
    QStringList sequence = events();
    for (int i = 0; i < sequence.size(); ++i) {
        held += sequence[i].startsWith("inhibit ") ? 1 : sequence[i].startsWith("release ") ? -1 : 0;
        if (sequence[i] == "release last.mkv") break;
        if (sequence[i].startsWith("release ")) EXPECT_GE(held, 1) << "unguarded after " << i;
    }
}

TEST_F(StandInBus, CancelAndExitGiveTheLockBack) {
    ScratchFolder tools("bus slow tools");
    writeScript(tools / "tsmuxer", "#!/bin/bash\nsleep 3175\n");
    setPriorityToolFolder(tools.path());
    model->handleDrop({q(kit / "cabac_b/movie.m2ts")});
    ASSERT_TRUE(waitFor([&] { return model->canConvert(); }, 30000));

    model->startConversion();
    ASSERT_TRUE(sawEvent("inhibit sleep:idle|Duoscope|movie.m2ts|block"));
    EXPECT_TRUE(waitFor([&] { return model->sleepInhibitor().isHeld(); }, 5000));
    EXPECT_EQ(locksHeld(), 1);
    model->cancelConversion();
    EXPECT_TRUE(sawEvent("release movie.m2ts", 5000)) << "given back on cancel";
    ASSERT_TRUE(waitFor([&] { return !model->isRunActive(); }, 15000));

    events().clear();
    model->startConversion();
    ASSERT_TRUE(sawEvent("inhibit sleep:idle|Duoscope|movie.m2ts|block"));
    ASSERT_TRUE(waitFor([&] { return processWithCommandLineExists("sleep 3175"); }, 30000));
    model.reset(); // what quitting the application does
    EXPECT_TRUE(sawEvent("release movie.m2ts", 5000)) << "given back on exit";
    EXPECT_TRUE(waitFor([] { return !processWithCommandLineExists("sleep 3175"); }, 5000));
    setPriorityToolFolder({});
}
