// Sources that already hold both eyes: side-by-side files are copied or taken
// to MV-HEVC; frame-alternate files are split into eyes by a generated script.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "RepeatingTimer.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

// Cuts the first seconds of a movie by stream copy, so a limited run reads no more.
MovieExpectation PipelineEngine::cutMovie(const fs::path& source, const fs::path& output, int seconds,
                                          const MovieExpectation& expected) {
    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));
    auto cut = runCurrentProcess({*ffmpeg,
                                  {"-y", "-t", std::to_string(seconds), "-i", source.string(), "-map",
                                   "0:v:0", "-map", "0:a?", "-c", "copy", output.string()},
                                  std::nullopt,
                                  ChildProcess::Output::nullDevice,
                                  ChildProcess::Output::pipe});
    if (isCancelled) throw ConversionError::cancelled();
    if (cut->terminationStatus() != 0 || cut->wasKilledBySignal())
        throw ConversionError::encodingFailed(
            withReason("Cutting the first " + std::to_string(seconds) + " s failed (exit " +
                           std::to_string(cut->terminationStatus()) + ")",
                       lastMeaningfulLine(splitLines(cut->collectedStandardError()))));
    // A stream copy ends in decode order, so it keeps the few pictures after
    // the cut that earlier ones refer to; from here on the cut is the measure.
    auto facts = probeMovieFacts(output, std::nullopt, processTracker());
    if (isCancelled) throw ConversionError::cancelled();
    constexpr long long reorderSlack = 16;
    if (!facts || facts->frames <= 0 ||
        (expected.frames &&
         (facts->frames < *expected.frames - 1 || facts->frames > *expected.frames + reorderSlack)))
        throw ConversionError::encodingFailed(withReason(
            output.filename().string() + " is incomplete: " +
                (facts ? std::to_string(facts->frames) : std::string("no")) + " frames after cutting",
            lastMeaningfulLine(splitLines(cut->collectedStandardError()))));
    MovieExpectation cutExpectation = expected;
    cutExpectation.frames = facts->frames;
    return cutExpectation;
}

ConversionResult PipelineEngine::runSideBySidePipeline(
    const fs::path& source, const fs::path& outputDirectory, const fs::path& workFolder,
    const std::string& baseName, QualityPreset qualityPreset, OutputCodec outputCodec,
    OutputTarget outputTarget, bool convertToMVHEVCFlag, ProgressCallback progressHandler,
    std::optional<int> durationLimit, const Stereo3DMode& layout, EyeSize frameSize,
    const SpatialMetadata& spatial) {
    // Only full side by side, left eye first, is already what the side-by-side
    // target holds; every other layout is cut apart and stacked anew.
    if (!convertToMVHEVCFlag && !layout.isPlainSideBySide())
        return runFrameAlternatePipeline(source, outputDirectory, workFolder, baseName, qualityPreset,
                                         outputCodec, outputTarget, layout.rightFirst, 0, durationLimit,
                                         progressHandler, layout, frameSize, spatial);
    auto report = [&](ConversionStage stage, double fraction) {
        if (progressHandler) progressHandler(stage, fraction);
    };
    engineLog("=== Side-by-Side Pipeline ===");
    engineLog("Input already SBS — skipping demux/interleave/decode");
    if (!layout.isPlainSideBySide()) engineLog("Layout: " + layout.description());
    MovieExpectation expected = expectationFromSource(source, 0, 1, durationLimit, processTracker());
    if (isCancelled) throw ConversionError::cancelled();

    if (convertToMVHEVCFlag) {
        std::string movieName = baseName + "_MV-HEVC.mov";
        report(ConversionStage::convertingMVHEVC, 0.05);
        engineLog("=== Converting SBS → MV-HEVC ===");
        fs::path input = source;
        if (durationLimit) {
            input = workFolder / ("cut" + neutralSourceName(source).extension().string());
            expected = cutMovie(source, input, *durationLimit, expected);
        }
        if (lowercased(extensionOf(source)) == "mkv") {
            fs::path remuxed = workFolder / "remuxed.mov";
            engineLog("Remuxing MKV → MOV + transcoding audio to AAC 5.1...");
            auto ffmpeg = findTool("ffmpeg");
            if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));
            auto remux = runCurrentProcess(
                {*ffmpeg,
                 withHEVCTagOnlyFor(sideBySideRemuxArguments(input, remuxed, activeEncoderProfile()),
                                    probeVideoCodec(input)),
                 std::nullopt, ChildProcess::Output::nullDevice, ChildProcess::Output::pipe});
            if (isCancelled) throw ConversionError::cancelled();
            if (remux->terminationStatus() != 0 || remux->wasKilledBySignal())
                throw ConversionError::encodingFailed(withReason(
                    "MKV → MOV remux failed (exit " + std::to_string(remux->terminationStatus()) + ")",
                    lastMeaningfulLine(splitLines(remux->collectedStandardError()))));
            directLog("Remux complete: " + remuxed.filename().string());
            input = remuxed;
        }
        fs::path written = workFolder / "mvhevc.mov";
        convertToMVHEVC(input, written, qualityPreset, progressHandler, layout, spatial);
        if (isCancelled) throw ConversionError::cancelled();
        checkMovie(written, expected);
        if (isCancelled) throw ConversionError::cancelled();
        fs::path movie = publishMovie(written, outputDirectory / movieName, source);
        report(ConversionStage::complete, 1.0);
        engineLog("✅ MV-HEVC conversion complete: " + movie.filename().string());
        return {movie.string(), workFolder, std::nullopt};
    }

    // The target names Matroska whatever the source's container; the video is
    // only copied when it is already in the chosen codec.
    std::string copyName = baseName + "_SBS.mkv";
    fs::path written = workFolder / "sbs.mkv";
    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));
    bool copyVideo = probeVideoCodec(source) == ffprobeCodecName(outputCodec);
    report(ConversionStage::encoding, 0.05);
    directLog(copyVideo ? "Video copied, not re-encoded: the source is already side by side in " +
                              std::string(rawValue(outputCodec))
                        : "Encoding the side-by-side source with " + std::string(rawValue(outputCodec)));
    if (copyVideo && durationLimit) {
        // A stream copy ends in decode order, past the cut; the cut is the measure.
        expected = cutMovie(source, written, *durationLimit, expected);
        checkMovie(written, expected);
    } else {
        auto process = runCurrentProcess(
            {*ffmpeg,
             sideBySideCopyArguments(source, written, copyVideo, outputCodec, qualityPreset, durationLimit,
                                     probeAudioCodec(source), activeEncoderProfile()),
             std::nullopt, ChildProcess::Output::nullDevice, ChildProcess::Output::pipe});
        if (isCancelled) throw ConversionError::cancelled();
        std::string reason = lastMeaningfulLine(splitLines(process->collectedStandardError()));
        if (process->terminationStatus() != 0 || process->wasKilledBySignal())
            throw ConversionError::encodingFailed(withReason(
                "ffmpeg exited with code " + std::to_string(process->terminationStatus()), reason));
        checkMovie(written, expected, reason);
    }
    if (isCancelled) throw ConversionError::cancelled();
    fs::path copy = publishMovie(written, outputDirectory / copyName, source);
    report(ConversionStage::complete, 1.0);
    return {copy.string(), workFolder, std::nullopt};
}

ConversionResult PipelineEngine::runFrameAlternatePipeline(
    const fs::path& source, const fs::path& outputDirectory, const fs::path& workFolder,
    const std::string& baseName, QualityPreset qualityPreset, OutputCodec outputCodec,
    OutputTarget outputTarget, bool rightFirst, double sourceDuration, std::optional<int> durationLimit,
    ProgressCallback progressHandler, const std::optional<Stereo3DMode>& packedLayout, EyeSize frameSize,
    const SpatialMetadata& spatial) {
    auto report = [progressHandler](ConversionStage stage, double fraction) {
        if (progressHandler) progressHandler(stage, fraction);
    };
    if (packedLayout) {
        engineLog("=== Frame-Packed 3D Pipeline (" + packedLayout->description() + ") ===");
        engineLog("Cut each frame into left/right eyes → SBS via ffmpeg");
    } else {
        engineLog(std::string("=== Frame-Alternate 3D Pipeline (") +
                  (rightFirst ? "block_rl — right eye first" : "block_lr — left eye first") + ") ===");
        engineLog("Split even/odd frames → left/right eyes → SBS via ffmpeg");
    }
    report(ConversionStage::encoding, 0.05);

    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));
    double progressDuration = durationLimit ? *durationLimit : sourceDuration > 0 ? sourceDuration : 7200;
    std::string sbsName = baseName + (outputTarget == OutputTarget::visionPro ? "_SBS.mov" : "_SBS.mkv");
    fs::path sbsOutput = workFolder / (outputTarget == OutputTarget::visionPro ? "sbs.mov" : "sbs.mkv");
    MovieExpectation expected =
        expectationFromSource(source, 0, packedLayout ? 1 : 2, durationLimit, processTracker());
    if (isCancelled) throw ConversionError::cancelled();

    fs::path faWork = workFolder / "fa_work";
    fs::create_directories(faWork);
    engineLog("Work directory: " + faWork.string());
    fs::path script = faWork / "pipeline.sh";
    fs::path ffmpegLog = faWork / "ffmpeg.log";
    writeFileAtomically(
        script,
        frameAlternateScript(
            {*ffmpeg, source.string(), faWork.string(), sbsOutput.string(), rightFirst, durationLimit,
             qualityPreset, outputCodec, outputTarget, probeAudioCodec(source)},
            activeEncoderProfile(),
            packedLayout ? std::optional(PackedFrames{*packedLayout, frameSize.width, frameSize.height})
                         : std::nullopt));
    fs::permissions(script, static_cast<fs::perms>(0755));

    engineLog("Running frame-alternate → SBS pipeline...");
    // The timer only ever raises the bar: a tail cut inside a "time=" value
    // must not make the progress step back.
    auto lastReported = std::make_shared<double>(0.05);
    std::optional<long long> outputFrames = expected.frames;
    double span = outputTarget == OutputTarget::visionPro ? 0.75 : 0.8;
    RepeatingTimer timer([this, ffmpegLog, progressDuration, report, lastReported, outputFrames, sbsOutput,
                          span] {
        double seconds = lastTimeInLog(fileTail(ffmpegLog, 4096));
        if (seconds <= 0) return;
        if (outputFrames && *outputFrames > 0)
            reportWork(
                {"Encoding side by side",
                 std::llround(std::min(seconds / progressDuration, 1.0) * static_cast<double>(*outputFrames)),
                 *outputFrames, sbsOutput});
        // On the way to MV-HEVC the side-by-side step ends where that stage
        // begins (0.85), so the bar never steps back between them.
        double fraction = 0.1 + span * std::min(seconds / progressDuration, 1.0);
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
    std::vector<std::string> logLines;
    if (std::ifstream logFile(ffmpegLog, std::ios::binary); logFile)
        logLines = splitLines(std::string((std::istreambuf_iterator<char>(logFile)), {}));
    auto kept = scriptLines->last(50);
    if (status != 0 || process->wasKilledBySignal()) {
        std::string diagnostic = withReason("Pipeline exited with code " + std::to_string(status),
                                            lastMeaningfulLine(logLines.empty() ? kept : logLines));
        if (logLines.size() > 15) logLines.erase(logLines.begin(), logLines.end() - 15);
        if (!logLines.empty()) diagnostic += "\nffmpeg: " + joined(logLines, "\n");
        if (!kept.empty()) diagnostic += "\n— Script output —\n" + joined(kept, "\n");
        directLog("DIAGNOSTIC: " + diagnostic);
        throw ConversionError::decodingFailed(diagnostic);
    }
    // ffmpeg can end with status 0 on a full disk; only the movie itself tells.
    checkMovie(sbsOutput, expected, lastMeaningfulLine(logLines));
    std::error_code error;
    engineLog("SBS output: " + sbsOutput.filename().string() + " (" +
              std::to_string(wholeMegabytes(sbsOutput)) + " MB)");
    fs::remove_all(faWork, error);
    engineLog("Cleaned up intermediate files");

    fs::path movie;
    if (outputTarget == OutputTarget::visionPro) {
        report(ConversionStage::convertingMVHEVC, 0.85);
        engineLog("=== Converting to MV-HEVC for Apple Vision Pro ===");
        movie = workFolder / "mvhevc.mov";
        convertToMVHEVC(sbsOutput, movie, qualityPreset, progressHandler, Stereo3DMode::sideBySide(),
                        spatial);
        if (isCancelled) throw ConversionError::cancelled();
        checkMovie(movie, expected);
    }
    if (isCancelled) throw ConversionError::cancelled();
    // On the way to MV-HEVC the side-by-side movie is a step, not a result:
    // it stays only when asked for, and goes with the work folder otherwise.
    bool keepsSBS = movie.empty() || runChoices_.keepSBSIntermediate;
    fs::path publishedSBS =
        keepsSBS ? publishMovie(sbsOutput, outputDirectory / sbsName, source) : fs::path();
    fs::path finalOutput =
        movie.empty() ? publishedSBS : publishMovie(movie, outputDirectory / (baseName + ".mov"), source);
    report(ConversionStage::complete, 1.0);
    engineLog("=== Pipeline complete! ===");
    engineLog("Output: " + finalOutput.string());
    return {finalOutput.string(), workFolder,
            keepsSBS ? std::optional(publishedSBS.string()) : std::optional<std::string>()};
}

} // namespace duoscope
