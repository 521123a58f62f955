// Sources that already hold both eyes: side-by-side files are copied or taken
// to MV-HEVC; frame-alternate files are split into eyes by a generated script.
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "EngineFiles.h"
#include "EncodeSupport.h"
#include "PipelineEngine.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

// Calls `tick` 1.0 s after start and every 1.5 s after that, on its own
// thread, until stopped. Stopping joins the thread, so no tick runs after.
class RepeatingTimer {
  public:
    explicit RepeatingTimer(std::function<void()> tick)
        : thread_([this, tick = std::move(tick)] {
              std::unique_lock lock(mutex_);
              auto delay = std::chrono::milliseconds(1000);
              while (!condition_.wait_for(lock, delay, [this] { return stopped_; })) {
                  lock.unlock();
                  tick();
                  lock.lock();
                  delay = std::chrono::milliseconds(1500);
              }
          }) {}
    ~RepeatingTimer() { stop(); }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        condition_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool stopped_ = false;
    std::thread thread_;
};

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        std::string line = trimmed(text.substr(start, end - start));
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

} // namespace

ConversionResult
PipelineEngine::runSideBySidePipeline(const fs::path& source, const fs::path& outputDirectory,
                                      const fs::path& workFolder, const std::string& baseName,
                                      QualityPreset qualityPreset, OutputCodec, OutputTarget,
                                      bool convertToMVHEVCFlag, ProgressCallback progressHandler) {
    auto report = [&](ConversionStage stage, double fraction) {
        if (progressHandler) progressHandler(stage, fraction);
    };
    engineLog("=== Side-by-Side Pipeline ===");
    engineLog("Input already SBS — skipping demux/interleave/decode");

    if (convertToMVHEVCFlag) {
        fs::path movie = outputDirectory / (baseName + "_MV-HEVC.mov");
        report(ConversionStage::convertingMVHEVC, 0.05);
        engineLog("=== Converting SBS → MV-HEVC ===");
        fs::path input = source;
        if (lowercased(extensionOf(source)) == "mkv") {
            fs::path remuxed = workFolder / (baseName + "_remuxed.mov");
            engineLog("Remuxing MKV → MOV + transcoding audio to AAC 5.1...");
            auto ffmpeg = findTool("ffmpeg");
            if (!ffmpeg) throw ConversionError::toolNotFound("ffmpeg not found for MKV remux");
            auto remux = ChildProcess::create(
                {*ffmpeg,
                 withHEVCTagOnlyFor(sideBySideRemuxArguments(source, remuxed, activeEncoderProfile()),
                                    probeVideoCodec(source)),
                 std::nullopt, ChildProcess::Output::nullDevice, ChildProcess::Output::nullDevice});
            setCurrentProcess(remux);
            launchCurrentProcess(remux);
            remux->waitUntilExit();
            if (isCancelled) throw ConversionError::cancelled();
            if (remux->terminationStatus() != 0 || remux->wasKilledBySignal())
                throw ConversionError::encodingFailed("MKV → MOV remux failed (exit " +
                                                      std::to_string(remux->terminationStatus()) + ")");
            directLog("Remux complete: " + remuxed.filename().string());
            input = remuxed;
        }
        convertToMVHEVC(input, movie, qualityPreset, progressHandler);
        if (isCancelled) throw ConversionError::cancelled();
        report(ConversionStage::complete, 1.0);
        engineLog("✅ MV-HEVC conversion complete: " + movie.filename().string());
        return {movie.string(), workFolder, std::nullopt};
    }

    fs::path copy = outputDirectory / (baseName + "_SBS." + extensionOf(source));
    report(ConversionStage::encoding, 0.5);
    engineLog("Input is already SBS — copying to output...");
    fs::copy_file(source, copy);
    report(ConversionStage::complete, 1.0);
    return {copy.string(), workFolder, std::nullopt};
}

ConversionResult PipelineEngine::runFrameAlternatePipeline(
    const fs::path& source, const fs::path& outputDirectory, const fs::path& workFolder,
    const std::string& baseName, QualityPreset qualityPreset, OutputCodec outputCodec,
    OutputTarget outputTarget, bool rightFirst, double sourceDuration, std::optional<int> durationLimit,
    ProgressCallback progressHandler) {
    auto report = [progressHandler](ConversionStage stage, double fraction) {
        if (progressHandler) progressHandler(stage, fraction);
    };
    engineLog(std::string("=== Frame-Alternate 3D Pipeline (") +
              (rightFirst ? "block_rl — right eye first" : "block_lr — left eye first") + ") ===");
    engineLog("Split even/odd frames → left/right eyes → SBS via ffmpeg");
    report(ConversionStage::encoding, 0.05);

    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound("ffmpeg not found");
    double progressDuration = durationLimit ? *durationLimit : sourceDuration > 0 ? sourceDuration : 7200;
    fs::path sbsOutput =
        outputDirectory / (baseName + (outputTarget == OutputTarget::visionPro ? "_SBS.mov" : "_SBS.mkv"));

    fs::path faWork = workFolder / "fa_work";
    fs::create_directories(faWork);
    engineLog("Work directory: " + faWork.string());
    fs::path script = faWork / "pipeline.sh";
    fs::path ffmpegLog = faWork / "ffmpeg.log";
    writeFileAtomically(
        script, frameAlternateScript({*ffmpeg, source.string(), faWork.string(), sbsOutput.string(),
                                      rightFirst, durationLimit, qualityPreset, outputCodec, outputTarget},
                                     activeEncoderProfile()));
    fs::permissions(script, static_cast<fs::perms>(0755));

    engineLog("Running frame-alternate → SBS pipeline...");
    // The timer only ever raises the bar: a tail cut inside a "time=" value
    // must not make the progress step back.
    auto lastReported = std::make_shared<double>(0.05);
    RepeatingTimer timer([ffmpegLog, progressDuration, report, lastReported] {
        double seconds = lastTimeInLog(fileTail(ffmpegLog, 4096));
        if (seconds <= 0) return;
        double fraction = 0.1 + 0.8 * std::min(seconds / progressDuration, 1.0);
        if (fraction <= *lastReported) return;
        *lastReported = fraction;
        report(ConversionStage::encoding, fraction);
    });

    auto process = ChildProcess::create(
        {"/bin/bash", {script.string()}, faWork, ChildProcess::Output::pipe, ChildProcess::Output::toStdout});
    setCurrentProcess(process);
    auto scriptLines = std::make_shared<RecentLines>(50);
    auto splitter = std::make_shared<LineSplitter>(true);
    auto onLine = [this, scriptLines](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        scriptLines->append(line);
        if (startsWith(line, "FA:")) directLog(line);
    };
    process->setStandardOutputHandler(
        [splitter, onLine](std::string_view chunk) { splitter->feed(chunk, onLine); });
    try {
        launchCurrentProcess(process);
    } catch (...) {
        timer.stop();
        throw;
    }
    process->waitUntilExit();
    timer.stop();
    splitter->finish(onLine);

    if (isCancelled) throw ConversionError::cancelled();
    int status = process->terminationStatus();
    if (status != 0 || process->wasKilledBySignal()) {
        std::string diagnostic = "Pipeline exited with code " + std::to_string(status);
        std::ifstream logFile(ffmpegLog, std::ios::binary);
        if (logFile) {
            std::string logText((std::istreambuf_iterator<char>(logFile)), {});
            auto lines = splitLines(logText);
            if (lines.size() > 15) lines.erase(lines.begin(), lines.end() - 15);
            if (!lines.empty()) diagnostic += "\nffmpeg: " + joined(lines, "\n");
        }
        auto kept = scriptLines->last(50);
        if (!kept.empty()) diagnostic += "\n— Script output —\n" + joined(kept, "\n");
        directLog("DIAGNOSTIC: " + diagnostic);
        throw ConversionError::decodingFailed(diagnostic);
    }
    std::error_code error;
    if (!fs::is_regular_file(sbsOutput, error) || fs::file_size(sbsOutput, error) == 0)
        throw ConversionError::decodingFailed("Pipeline finished without writing " + sbsOutput.string());
    engineLog("SBS output: " + sbsOutput.filename().string() + " (" +
              std::to_string(wholeMegabytes(sbsOutput)) + " MB)");
    fs::remove_all(faWork, error);
    engineLog("Cleaned up intermediate files");

    fs::path finalOutput = sbsOutput;
    if (outputTarget == OutputTarget::visionPro) {
        report(ConversionStage::convertingMVHEVC, 0.85);
        engineLog("=== Converting to MV-HEVC for Apple Vision Pro ===");
        finalOutput = outputDirectory / (baseName + ".mov");
        convertToMVHEVC(sbsOutput, finalOutput, qualityPreset, progressHandler);
    }
    report(ConversionStage::complete, 1.0);
    engineLog("=== Pipeline complete! ===");
    engineLog("Output: " + finalOutput.string());
    return {finalOutput.string(), workFolder, sbsOutput.string()};
}

} // namespace duoscope
