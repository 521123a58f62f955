// Runs through the model with the real engine and tools on the kit's media:
// the selection's analysis, a batch with a 2D file, the reuse of a kept
// side-by-side intermediate (and its failure and cancel), and cancellation.
#include <gtest/gtest.h>

#include "ConverterModel.h"
#include "ModelTestSupport.h"
#include "ToolLocator.h"

using namespace duoscope;
using namespace duoscope::test;
namespace fs = std::filesystem;

namespace {

const fs::path kit = fs::path(DUOSCOPE_KIT_DIR) / "small";

int countLines(const QStringList& logs, const QString& text) {
    int count = 0;
    for (const QString& line : logs)
        count += line.contains(text);
    return count;
}

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The folder's entries other than work folders a failure may keep for its logs.
std::vector<std::string> entriesBesideWorkFolders(const fs::path& folder) {
    std::vector<std::string> names = entries(folder);
    std::erase_if(names, [](const std::string& name) { return name.starts_with("Duoscope_"); });
    return names;
}

int moviesIn(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string extension = entry.path().extension().string();
        count += extension == ".mov" || extension == ".mkv" || extension == ".mp4" || extension == ".partial";
    }
    return count;
}

class ModelRun : public ::testing::Test {
  protected:
    void SetUp() override {
        model.loadSettings();
        model.setOutputDirectory(q(output));
    }
    // Starts a run and waits for its end (including its engine work).
    void run(int milliseconds = 120000) {
        model.startConversion();
        ASSERT_TRUE(waitFor([&] { return !model.isConverting() && !model.isRunActive(); }, milliseconds));
    }
    void select(const fs::path& file) {
        model.handleDrop({q(file)});
        ASSERT_TRUE(waitFor([&] { return !model.isParsing(); }, 30000));
    }

    PrivateHome home{"model runs"};
    fs::path output = home / "out";
    ConverterModel model;
};

} // namespace

TEST_F(ModelRun, StaleAnalysesAreDropped) {
    model.handleDrop({q(kit / "sbs_lr.mkv")});
    model.handleDrop({q(kit / "cabac_b/movie.m2ts")});
    ASSERT_TRUE(waitFor([&] { return !model.isParsing(); }, 30000));
    QCoreApplication::processEvents(); // let the other analysis land too
    ASSERT_TRUE(model.sourceInfo());
    EXPECT_EQ(model.sourceInfo()->fileName, "movie.m2ts");
    EXPECT_EQ(model.sourceInfo()->stereoMode, Stereo3DMode::mvcSeparateTracks());
}

TEST_F(ModelRun, BatchSkipsA2DFileAndCountsTheOthers) {
    fs::path plain = home / "plain.mkv";
    auto made =
        runCommand("/usr/bin/ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=24",
                                       "-t", "1", "-c:v", "libx264", plain.string()});
    ASSERT_EQ(made.status, 0) << made.output;
    std::string sourceBytes = readFile(kit / "sbs_lr.mkv");
    model.handleDrop({q(kit / "sbs_lr.mkv"), q(plain), q(kit / "cabac_b/movie.m2ts")});
    run();
    const QStringList& logs = model.logs();
    EXPECT_EQ(countLines(logs, "=== Converting 1 of 3: sbs_lr.mkv ==="), 1);
    EXPECT_EQ(countLines(logs, "WARNING: No 3D stream in plain.mkv, skipping"), 1);
    EXPECT_EQ(countLines(logs, "=== Converting 3 of 3: movie.m2ts ==="), 1);
    EXPECT_EQ(countLines(logs, "=== Batch complete: 2 converted, 0 failed, 1 skipped ==="), 1)
        << logs.join("\n").toStdString();
    EXPECT_EQ(model.currentStage(), ConversionStage::complete);
    EXPECT_EQ(model.batchOutputURLs().size(), 2);
    EXPECT_EQ(model.fileState(q(plain)).text(), "skipped: 2D video");
    EXPECT_EQ(entries(output), (std::vector<std::string>{"movie_SBS.mkv", "sbs_lr_SBS.mkv"}));
    EXPECT_EQ(readFile(kit / "sbs_lr.mkv"), sourceBytes);
    EXPECT_FALSE(model.timingSummary().isEmpty());

    model.setKeepSBSIntermediate(true);
    EXPECT_EQ(model.currentStage(), ConversionStage::complete);
    model.setOutputCodec(OutputCodec::h265);
    EXPECT_EQ(model.currentStage(), ConversionStage::idle) << "a changed setting clears the finished run";
    EXPECT_EQ(model.progress(), 0);
}

TEST_F(ModelRun, KeptIntermediateIsReusedWithoutConvertingAgain) {
    if (!fs::exists(fs::path(DUOSCOPE_TOOLS_DIR) / "StereoPacker"))
        GTEST_SKIP() << "StereoPacker is not built";
    model.setOutputTarget(OutputTarget::visionPro);
    model.setKeepSBSIntermediate(true);
    select(kit / "frame_alternate.mkv");
    run();
    ASSERT_EQ(model.currentStage(), ConversionStage::complete) << model.logs().join("\n").toStdString();
    EXPECT_EQ(countLines(model.logs(), "💾 Cached SBS for reuse: frame_alternate_SBS.mov"), 1);

    qsizetype before = model.logs().size();
    run();
    QStringList second = model.logs().mid(before);
    ASSERT_EQ(model.currentStage(), ConversionStage::complete) << second.join("\n").toStdString();
    EXPECT_EQ(countLines(second, "✅ Reusing cached SBS: frame_alternate_SBS.mov"), 1);
    EXPECT_EQ(countLines(second, "] Source: "), 0) << "the engine's conversion must not run again";
    EXPECT_TRUE(fs::exists(output / "frame_alternate_MV-HEVC.mov"));

    // A reuse that fails or is stopped leaves the folder as it was: no work
    // folder, no partial movie, the earlier outputs untouched.
    std::vector<std::string> kept = entries(output);
    std::string keptMovie = readFile(output / "frame_alternate_MV-HEVC.mov");
    ScratchFolder tools("model broken packer");
    setPriorityToolFolder(tools.path());
    writeScript(tools / "StereoPacker",
                "#!/bin/bash\nhead -c 200000 /dev/urandom > \"$2\"\necho 'out of luck' >&2\nexit 1\n");
    run();
    EXPECT_EQ(model.currentStage(), ConversionStage::failed);
    EXPECT_TRUE(model.errorMessage().contains("out of luck")) << model.errorMessage().toStdString();
    EXPECT_EQ(entriesBesideWorkFolders(output), kept);
    EXPECT_EQ(moviesIn(output), int(kept.size())) << "a failed run's work folder keeps no movie";
    writeScript(tools / "StereoPacker", "#!/bin/bash\nhead -c 200000 /dev/urandom > \"$2\"\nsleep 3176\n");
    model.startConversion();
    ASSERT_TRUE(waitFor([&] { return processWithCommandLineExists("sleep 3176"); }, 30000));
    model.cancelConversion();
    ASSERT_TRUE(waitFor([&] { return !model.isRunActive(); }, 15000));
    setPriorityToolFolder({});
    EXPECT_EQ(countLines(model.logs(), "Reusing cached SBS"), 3);
    EXPECT_EQ(entries(output), kept);
    EXPECT_EQ(readFile(output / "frame_alternate_MV-HEVC.mov"), keptMovie);

    model.setQualityPreset(QualityPreset::high);
    before = model.logs().size();
    run();
    EXPECT_EQ(countLines(model.logs().mid(before), "Reusing cached SBS"), 0)
        << "another preset needs a new intermediate";
}

TEST_F(ModelRun, CancelInTheMiddleLeavesNothingBehind) {
    // A demultiplexer that takes its time, so that the cancel lands mid-run.
    ScratchFolder tools("model slow tools");
    writeScript(tools / "tsmuxer", "#!/bin/bash\nsleep 3171\n");
    setPriorityToolFolder(tools.path());
    select(kit / "cabac_b/movie.m2ts");
    model.startConversion();
    ASSERT_TRUE(waitFor([&] { return processWithCommandLineExists("sleep 3171"); }, 30000));
    model.cancelConversion();
    EXPECT_FALSE(model.isConverting());
    EXPECT_EQ(model.currentStage(), ConversionStage::idle);
    EXPECT_TRUE(model.wasCancelled()) << "the window says Cancelled until the next action";
    EXPECT_TRUE(waitFor([&] { return !model.isRunActive(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return !processWithCommandLineExists("sleep 3171"); }, 5000));
    setPriorityToolFolder({});
    EXPECT_EQ(countLines(model.logs(), "Conversion cancelled by user"), 1);
    EXPECT_EQ(countLines(model.logs(), "] Conversion cancelled"), 2);
    EXPECT_TRUE(entries(output).empty()) << "no partial output, no work folder";
    EXPECT_FALSE(model.conversionEndTime().isValid());
    model.addFiles({q(kit / "sbs.mov")});
    EXPECT_FALSE(model.wasCancelled());
}
