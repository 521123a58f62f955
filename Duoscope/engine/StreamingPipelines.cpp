// The streaming routes: one viewpump | twinrow | ffmpeg shell pipeline, or the
// segment-parallel fanout-run.sh script; no decoded picture touches the disk.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <sched.h>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

void linkInputStream(const fs::path& workFolder, const fs::path& stream) {
    fs::path link = workFolder / "input_stream.264";
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(stream, link);
}

bool hasMovie(const fs::path& file) {
    std::error_code error;
    return fs::is_regular_file(file, error) && fs::file_size(file, error) > 0;
}

std::string folderOf(const fs::path& file) {
    fs::path folder = file.parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

using LineHandler = std::function<void(const std::string&)>;

// Runs a pipeline as the engine's current process, its two streams cut into
// lines; standard output's at CR too when it carries redrawn progress lines.
std::shared_ptr<ChildProcess> runLineByLine(PipelineEngine& engine, const ChildProcess::Options& options,
                                            bool outputRedraws, const LineHandler& onOutputLine,
                                            const LineHandler& onErrorLine) {
    auto process = ChildProcess::create(options);
    engine.setCurrentProcess(process);
    auto outSplitter = std::make_shared<LineSplitter>(outputRedraws);
    auto errSplitter = std::make_shared<LineSplitter>(false);
    process->setStandardOutputHandler(
        [outSplitter, onOutputLine](std::string_view chunk) { outSplitter->feed(chunk, onOutputLine); });
    process->setStandardErrorHandler(
        [errSplitter, onErrorLine](std::string_view chunk) { errSplitter->feed(chunk, onErrorLine); });
    engine.launchCurrentProcess(process);
    process->waitUntilExit();
    outSplitter->finish(onOutputLine);
    errSplitter->finish(onErrorLine);
    return process;
}

// A cancelled run, a failed one (its last `logged` lines logged, the last
// meaningful of `searched` lines given as the reason) or one that left no
// movie is an error.
void checkPipelineEnd(PipelineEngine& engine, ChildProcess& process, const std::string& name,
                      const std::string& linesTitle, RecentLines& recent, size_t logged, size_t searched,
                      const fs::path& output) {
    if (engine.isCancelled) throw ConversionError::cancelled();
    int status = process.terminationStatus();
    if (status != 0 || process.wasKilledBySignal()) {
        engine.engineLog(name + " " + linesTitle + ":\n" + joined(recent.last(logged), "\n"));
        throw ConversionError::decodingFailed(withReason(name + " exited with code " + std::to_string(status),
                                                         lastMeaningfulLine(recent.last(searched))));
    }
    if (!hasMovie(output))
        throw ConversionError::decodingFailed(name + " finished without writing " + output.string());
    engine.engineLog("SBS output: " + output.filename().string() + " (" +
                     std::to_string(wholeMegabytes(output)) + " MB)");
}

} // namespace

std::optional<std::string> PipelineEngine::parallelPipelineScriptPath() {
    auto viewpump = findTool("viewpump");
    if (!viewpump) {
        engineLog("parallelPipelineScriptPath: viewpump not found");
        return std::nullopt;
    }
    fs::path folder = fs::path(*viewpump).parent_path();
    fs::path script = folder / "fanout-run.sh";
    fs::path unitprobe = folder / "unitprobe";
    fs::path segmentplan = folder / "segmentplan";
    fs::path segmentjoin = folder / "segmentjoin";
    std::error_code error;
    bool hasScript = fs::exists(script, error);
    bool hasProbe = fs::exists(unitprobe, error);
    bool hasPlanner = fs::exists(segmentplan, error) && fs::exists(segmentjoin, error);
    engineLog("Parallel tools check: ldecod at " + *viewpump);
    engineLog("  fanout-run.sh: " + script.string() + " exists=" + (hasScript ? "true" : "false"));
    engineLog("  unitprobe: " + unitprobe.string() + " exists=" + (hasProbe ? "true" : "false"));
    engineLog("  segmentplan, segmentjoin: " + segmentplan.string() +
              " exists=" + (hasPlanner ? "true" : "false"));
    if (hasScript && hasProbe && hasPlanner) return script.string();
    return std::nullopt;
}

bool PipelineEngine::hasDualSplitTools() {
    auto viewpump = findTool("viewpump");
    bool hasSever = false, hasMerge = false;
    if (viewpump) {
        fs::path folder = fs::path(*viewpump).parent_path();
        std::error_code error;
        hasSever = fs::exists(folder / "twinsever", error);
        hasMerge = fs::exists(folder / "unitmerge", error);
    }
    engineLog(std::string("Dual-split tools check: twinsever=") + (hasSever ? "true" : "false") +
              " unitmerge=" + (hasMerge ? "true" : "false"));
    return hasSever && hasMerge;
}

void PipelineEngine::removeIntermediateFile(const fs::path& file, const std::string& label) {
    std::error_code error;
    auto size = fs::file_size(file, error);
    double megabytes = error ? 0.0 : static_cast<double>(size) / (1024.0 * 1024.0);
    if (fs::remove(file, error) && !error) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f", megabytes);
        engineLog("Cleaned up " + label + ": " + file.filename().string() + " (" + text + " MB freed)");
    } else {
        std::string reason = error ? error.message() : std::string("No such file or directory");
        engineLog("Warning: could not clean up " + label + " at " + file.string() + ": " + reason);
    }
}

void PipelineEngine::decodeSBSPipe(const StreamingDecodeRequest& request) {
    auto viewpump = findTool("viewpump");
    auto twinrow = findTool("twinrow");
    auto ffmpeg = findTool("ffmpeg");
    if (!viewpump || !twinrow || !ffmpeg)
        throw ConversionError::toolNotFound(missingToolMessage(!viewpump  ? "viewpump"
                                                               : !twinrow ? "twinrow"
                                                                          : "ffmpeg"));
    if (request.rightFirst) engineLog("block_rl detected — twinrow will swap eyes");

    fs::path workFolder = folderOf(request.interleavedURL);
    linkInputStream(workFolder, request.interleavedURL);
    fs::path script = workFolder / "pipe_pipeline.sh";
    writeFileAtomically(
        script, pipePipelineScript(
                    {workFolder.string(), *viewpump, *twinrow, *ffmpeg, request.sourceAudioURL.string(),
                     request.outputURL.string(), request.rightFirst, request.videoWidth, request.videoHeight,
                     request.frameRateNum, request.frameRateDen, request.qualityPreset, request.outputTarget,
                     probeAudioCodec(request.sourceAudioURL), request.outputCodec},
                    activeEncoderProfile()));

    double frames = request.frameRateDen != 0
                        ? std::floor(request.sourceDuration * request.frameRateNum / request.frameRateDen)
                        : 0;
    double estimatedFrames = std::max(1.0, std::isfinite(frames) ? frames : 1.0);
    ProgressCallback progress = request.progressHandler;

    auto recentErrors = std::make_shared<RecentLines>(100);
    auto lastCount = std::make_shared<long long>(0);
    fs::path outputURL = request.outputURL;
    double secondsPerUnit =
        request.frameRateNum > 0 ? double(request.frameRateDen) / request.frameRateNum : 0;
    auto onErrorLine = [this, recentErrors, lastCount, estimatedFrames, progress, outputURL,
                        secondsPerUnit](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        if (auto concealed = concealedPictureLine(line)) {
            noteConcealedPicture(concealed->first, concealed->second * secondsPerUnit);
            return;
        }
        recentErrors->append(line);
        if (startsWith(line, "viewpump:")) {
            size_t first = line.find_first_of("0123456789");
            if (first != std::string::npos) {
                size_t last = line.find_first_not_of("0123456789", first);
                if (last == std::string::npos) last = line.size();
                long long count = 0;
                auto [end, error] = std::from_chars(line.data() + first, line.data() + last, count);
                if (error == std::errc() && count - *lastCount >= 100) {
                    *lastCount = count;
                    directLog("viewpump: " + std::to_string(count) + " frame pairs decoded");
                    if (progress)
                        progress(ConversionStage::decoding,
                                 0.50 + 0.30 * std::min(static_cast<double>(count) / estimatedFrames, 1.0));
                    reportWork({"Decoding and encoding", count, std::llround(estimatedFrames), outputURL});
                }
            }
            if (contains(line, "done")) {
                directLog(line);
                if (progress) progress(ConversionStage::encoding, 0.80);
            }
        }
        if (startsWith(line, "twinrow:") && contains(line, "frames") && !contains(line, "done"))
            directLog(line);
        if (contains(line, "Warning") && !contains(line, "max_dec_frame_buffering")) directLog(line);
    };
    auto onOutputLine = [this, recentErrors](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        // ffmpeg's own messages arrive here (2>&1 in the script).
        if (contains(line, "time=") && contains(line, "speed="))
            directLog("ffmpeg: " + line);
        else
            recentErrors->append(line);
    };
    auto process = runLineByLine(
        *this,
        {"/bin/bash", {script.string()}, workFolder, ChildProcess::Output::pipe, ChildProcess::Output::pipe},
        true, onOutputLine, onErrorLine);
    checkPipelineEnd(*this, *process, "Pipe pipeline", "stderr", *recentErrors, 10, 100, request.outputURL);
}

void PipelineEngine::decodeSBSParallel(const StreamingDecodeRequest& request, bool directMVHEVC, bool,
                                       long long, const std::optional<fs::path>& dualSplitMVCPath) {
    auto script = parallelPipelineScriptPath();
    if (!script) throw ConversionError::toolNotFound(missingToolMessage("fanout-run.sh"));
    std::string label = directMVHEVC ? " [DIRECT MV-HEVC]" : " [SBS]";
    engineLog("=== Parallel pipeline: segment-parallel decode+encode" + label + " ===");
    engineLog("Workers: auto-detect, quality: " + parallelQualityText(request.qualityPreset, directMVHEVC) +
              ", swap: " + (request.rightFirst ? "true" : "false") +
              ", directMVHEVC: " + (directMVHEVC ? "true" : "false"));
    engineLog("Script: " + *script);

    ParallelArgumentsSpec spec{*script,
                               request.interleavedURL.string(),
                               request.sourceAudioURL.string(),
                               request.outputURL.string(),
                               folderOf(request.interleavedURL),
                               request.videoWidth,
                               request.videoHeight,
                               request.frameRateNum,
                               request.frameRateDen,
                               request.qualityPreset,
                               request.outputTarget,
                               request.rightFirst,
                               directMVHEVC,
                               std::nullopt,
                               probeAudioCodec(request.sourceAudioURL),
                               request.outputCodec};
    spec.hosts = runChoices_.otherMachines;
    if (!spec.hosts.empty()) engineLog("Other machines: " + spec.hosts);
    if (dualSplitMVCPath) {
        spec.dualSplitMVCPath = dualSplitMVCPath->string();
        engineLog("Dual-split mode: base=" + request.interleavedURL.filename().string() +
                  " mvc=" + dualSplitMVCPath->filename().string());
    }
    // One worker per core would need about 0.7 GB each at 1080p: a machine
    // with many cores and little memory would swap or be killed.
    // The CPUs this process may use, as the script's nproc counts them.
    cpu_set_t allowed;
    int cores = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : 1;
    auto perWorker = segmentWorkerPeakBytes(request.videoWidth, request.videoHeight);
    if (auto available = availableMemoryBytes()) {
        spec.workers = segmentWorkerCount(cores, *available, perWorker);
        char line[200];
        std::snprintf(
            line, sizeof line,
            "Parallel workers: %d of %d cores (%.1f GB available, about %.2f GB per worker at %dx%d)",
            *spec.workers, cores, *available / 1e9, perWorker / 1e9, request.videoWidth, request.videoHeight);
        directLog(line);
    }
    ConversionStage stage = directMVHEVC ? ConversionStage::encodingMVHEVC : ConversionStage::encoding;
    ProgressCallback progress = request.progressHandler;
    auto report = [progress](ConversionStage reportedStage, double fraction) {
        if (progress) progress(reportedStage, fraction);
    };
    auto recentOutput = std::make_shared<RecentLines>(200);
    double secondsPerUnit =
        request.frameRateNum > 0 ? double(request.frameRateDen) / request.frameRateNum : 0;
    auto onOutputLine = [this, recentOutput, stage, report, secondsPerUnit](const std::string& raw) {
        std::string line = trimmed(raw);
        if (auto concealed = concealedPictureLine(line)) {
            noteConcealedPicture(concealed->first, concealed->second * secondsPerUnit);
            return;
        }
        recentOutput->append(line);
        if (contains(line, "Phase 1")) {
            directLog(line);
            report(ConversionStage::decoding, 0.50);
        }
        if (contains(line, "Split into")) {
            directLog(line);
            report(ConversionStage::decoding, 0.55);
        }
        if (contains(line, "worker_") && contains(line, "done")) directLog(line);
        if (startsWith(line, "Hosts: ")) directLog(line);
        if (startsWith(line, "Host ") && contains(line, " left out: ")) directLog("⚠️ " + line);
        if (auto work = parallelWorkLine(line)) {
            std::string activity = stage == ConversionStage::encodingMVHEVC ? "Encoding MV-HEVC" : "Encoding";
            activity += ", " + std::to_string(work->segmentsDone) + " of " + std::to_string(work->segments) +
                        " segments done";
            if (work->framesTotal > 0)
                report(stage, 0.55 + 0.25 * std::min(static_cast<double>(work->framesDone) /
                                                         static_cast<double>(work->framesTotal),
                                                     1.0));
            reportWork({activity, work->framesDone, work->framesTotal, {}});
        }
        if (contains(line, "Phase 2 ") && contains(line, "time")) {
            directLog(line);
            report(stage, 0.80);
        }
        if (contains(line, "Phase 3") || contains(line, "Concat")) {
            directLog(line);
            report(stage, 0.85);
        }
        if (contains(line, "COMPLETE")) {
            directLog(line);
            report(stage, 0.90);
        }
        if (contains(line, "Total time:") || contains(line, "Output:")) directLog(line);
    };
    auto onErrorLine = [this, recentOutput](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        recentOutput->append(line);
        if (contains(line, "ERROR") || contains(line, "FAILED")) directLog("⚠️ " + line);
    };
    auto process = runLineByLine(
        *this,
        {"/bin/bash", parallelPipelineArguments(spec, activeEncoderProfile(), request.spatialMetadata),
         std::nullopt, ChildProcess::Output::pipe, ChildProcess::Output::pipe},
        false, onOutputLine, onErrorLine);
    checkPipelineEnd(*this, *process, "Parallel pipeline", "output", *recentOutput, 20, 200,
                     request.outputURL);
}

} // namespace duoscope
