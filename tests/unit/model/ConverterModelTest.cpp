// The model without conversions: settings and their stored forms, the log,
// the timing summary, remaining-time texts and file intake.
#include <gtest/gtest.h>

#include "ConverterModel.h"
#include "ModelTestSupport.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

TEST(ConverterModelSettings, DefaultsStoredFormsAndTheInitialisationGate) {
    PrivateHome home("model settings");
    {
        ConverterModel model;
        EXPECT_EQ(model.qualityPreset(), QualityPreset::medium);
        EXPECT_EQ(model.outputCodec(), OutputCodec::h264);
        EXPECT_EQ(model.outputTarget(), OutputTarget::sbs3D);
        EXPECT_EQ(model.debugLimitSeconds(), 120);
        EXPECT_FALSE(model.keepSBSIntermediate());
        EXPECT_EQ(model.outputDirectory().toStdString(), (home / "Desktop/Duoscope Output").string());
        model.loadSettings();
        EXPECT_FALSE(fs::exists(home.settingsFile())) << "nothing is stored until a setting changes";
    }
    writeFile(home.settingsFile(), "[General]\nqualityPreset=Smaller File\noutputCodec=h.264\n"
                                   "outputDirectory=/nonexistent/folder\ndurationLimit=0\n");
    ConverterModel model;
    model.setOutputDirectory((home / "early").c_str());
    model.loadSettings();
    EXPECT_EQ(model.qualityPreset(), QualityPreset::low);
    EXPECT_EQ(model.outputCodec(), OutputCodec::h264);
    EXPECT_EQ(model.debugLimitSeconds(), 0);
    EXPECT_EQ(model.outputDirectory().toStdString(), (home / "early").string())
        << "a missing stored folder is ignored, and a folder set before loading is not saved";

    model.setOutputDirectory((home / "chosen").c_str());
    model.setOutputCodec(OutputCodec::h265);
    model.setOutputTarget(OutputTarget::visionPro);
    model.setQualityPreset(QualityPreset::ultraHigh);
    model.setDebugLimitSeconds(300);
    model.setKeepSBSIntermediate(true);
    model.setOtherMachines(" 4/me@box1,: ");
    EXPECT_EQ(readFile(home.settingsFile()),
              "[General]\ndurationLimit=300\nkeepSBSIntermediate=true\notherMachines=\"4/me@box1,:\"\n"
              "outputCodec=H.265 (HEVC)\noutputDirectory=" +
                  (home / "chosen").string() +
                  "\noutputTarget=Apple Vision Pro (MV-HEVC)\nqualityPreset=Ultra High\n");
    ConverterModel reloaded;
    reloaded.loadSettings();
    EXPECT_EQ(reloaded.otherMachines().toStdString(), "4/me@box1,:");
}

TEST(ConverterModelSettings, StoredSpellingsAreMatchedOrNamedInAWarning) {
    PrivateHome home("model spellings");
    struct Case {
        std::string stored;
        OutputTarget target;
        QualityPreset preset;
        int warnings;
    };
    for (const Case& c : {
             Case{"outputTarget=apple vision pro (mv-hevc)\nqualityPreset= smaller FILE\n",
                  OutputTarget::visionPro, QualityPreset::low, 0},
             Case{"outputTarget=Not Vision at all\nqualityPreset=Best\n", OutputTarget::sbs3D,
                  QualityPreset::medium, 2},
             Case{"durationLimit=two minutes\nkeepSBSIntermediate=maybe\n", OutputTarget::sbs3D,
                  QualityPreset::medium, 2},
         }) {
        writeFile(home.settingsFile(), "[General]\n" + c.stored);
        ConverterModel model;
        model.loadSettings();
        EXPECT_EQ(model.outputTarget(), c.target) << c.stored;
        EXPECT_EQ(model.qualityPreset(), c.preset) << c.stored;
        EXPECT_EQ(model.debugLimitSeconds(), 120) << c.stored;
        EXPECT_FALSE(model.keepSBSIntermediate());
        EXPECT_EQ(model.logs().filter("WARNING: setting ").size(), c.warnings)
            << model.logs().join("\n").toStdString();
        if (c.warnings > 0)
            EXPECT_EQ(readFile(home.settingsFile()), "[General]\n" + c.stored)
                << "an unknown value stays stored until the setting is changed";
    }
    ConverterModel model;
    model.loadSettings();
    ASSERT_EQ(model.logs().size(), 2);
    EXPECT_TRUE(model.logs()[0].endsWith(
        R"(WARNING: setting durationLimit "two minutes" is not a whole number of seconds; using 120)"));

    writeFile(home.settingsFile(), std::string("\xff\xfe\0garbage\0\n", 12));
    ConverterModel unreadable;
    unreadable.loadSettings();
    EXPECT_EQ(unreadable.logs().filter("WARNING: cannot read the settings file").size(), 1)
        << unreadable.logs().join("\n").toStdString();
    EXPECT_EQ(unreadable.outputTarget(), OutputTarget::sbs3D);
}

TEST(ConverterModelLog, KeepsTheNewest500StampedLines) {
    PrivateHome home("model log");
    ConverterModel model;
    for (int i = 1; i <= 501; ++i)
        model.appendLog(QString("line %1").arg(i));
    ASSERT_EQ(model.logs().size(), 500);
    EXPECT_TRUE(model.logs().first().endsWith("] line 2"));
    EXPECT_TRUE(model.logs().last().startsWith("[")) << model.logs().last().toStdString();
}

TEST(ConverterModelTiming, SummaryAndRemainingTimeTexts) {
    ensureApplication();
    QDateTime start(QDate(2026, 1, 5), QTime(10, 0, 0));
    EXPECT_EQ(ConverterModel::timingSummaryText(start, start.addSecs(75)).toStdString(),
              "Started: 10:00:00 AM · Finished: 10:01:15 AM · Duration: 1m 15s");
    EXPECT_TRUE(ConverterModel::timingSummaryText(start, start.addMSecs(59900)).endsWith("Duration: 59s"));
    EXPECT_TRUE(ConverterModel::timingSummaryText(start, start.addSecs(4503)).endsWith("Duration: 75m 3s"));
    EXPECT_TRUE(ConverterModel::timingSummaryText(start, {}).isEmpty());

    for (auto [seconds, text] :
         {std::pair{59.9, "~59 sec remaining"}, std::pair{61.0, "~1 min 1 sec remaining"},
          std::pair{3700.0, "~1h 1m remaining"}})
        EXPECT_EQ(ConverterModel::remainingTimeText(seconds).toStdString(), text);
}

TEST(ConverterModelIntake, FiltersDuplicatesRemovalsAndDrops) {
    PrivateHome home("model intake");
    ConverterModel model;
    QString a = (home / "a.MKV").c_str(), b = (home / "b.avi").c_str(), c = (home / "c.bluray").c_str();
    model.addFiles({b});
    EXPECT_EQ(model.errorMessage(), "No supported video files found.");
    EXPECT_TRUE(model.fileQueue().isEmpty());

    model.addFiles({a, b, a});
    EXPECT_EQ(model.fileQueue(), QStringList{a});
    EXPECT_EQ(model.sourceFileURL(), a);
    EXPECT_TRUE(model.logs().last().endsWith("Queue: 1 file(s)"));

    model.addFiles({c});
    model.removeFromQueue(5);
    EXPECT_EQ(model.fileQueue().size(), 2);
    model.removeFromQueue(0);
    EXPECT_EQ(model.sourceFileURL(), c) << "removing the selected file selects the remaining one";
    model.removeFromQueue(0);
    EXPECT_TRUE(model.sourceFileURL().isEmpty());
    EXPECT_FALSE(model.sourceInfo());

    model.handleDrop({a, c});
    model.handleDrop({b});
    EXPECT_EQ(model.errorMessage(), "Unsupported file format. Please use MKV, M2TS, MP4, or MOV.");
    EXPECT_TRUE(model.fileQueue().isEmpty()) << "a single unsupported drop leaves the model cleared";
    QString movie = (home / "movie.mov").c_str();
    model.handleDrop({movie});
    EXPECT_EQ(model.fileQueue(), QStringList{movie});

    waitFor([&] { return !model.isParsing(); }, 10000);
}

TEST(ConverterModelIntake, InputWithoutOutputKeepsTheSavedFolder) {
    PrivateHome home("model arguments");
    fs::create_directories(home / "saved");
    std::string stored = "[General]\noutputDirectory=" + (home / "saved").string() + "\n";
    writeFile(home.settingsFile(), stored);
    QString a = (home / "a.mkv").c_str(), c = (home / "c.mkv").c_str();
    {
        ConverterModel model;
        model.loadSettings();
        model.handleCommandLineArguments({"Duoscope", "--input", a});
        model.handleCommandLineArguments({"Duoscope", "--input", c, "--output", "/elsewhere"});
        EXPECT_TRUE(model.fileQueue().contains(a));
        EXPECT_FALSE(model.fileQueue().contains(c)) << "the arguments are applied once";
        EXPECT_EQ(model.outputDirectory().toStdString(), (home / "saved").string());
        EXPECT_EQ(readFile(home.settingsFile()), stored);
        waitFor([&] { return !model.isParsing(); }, 10000);
    }
    ConverterModel model;
    model.loadSettings();
    model.handleCommandLineArguments({"Duoscope", "--input", a, "--output", (home / "given").c_str()});
    EXPECT_EQ(model.outputDirectory().toStdString(), (home / "given").string());
    EXPECT_EQ(readFile(home.settingsFile()), "[General]\noutputDirectory=" + (home / "given").string() + "\n")
        << "an explicit --output is saved, as choosing a folder is";
    waitFor([&] { return !model.isParsing(); }, 10000);
}
