// PipelineEngine::convert: analysis, work folder, then one function per route
// (a source that already holds both eyes, the named pipe, the two parallel
// pipelines, the disk route), the MV-HEVC tail and clean-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <exception>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "DiscAnalysis.h"
#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "FFProbe.h"
#include "NALInterleaver.h"
#include "PipelineEngine.h"
#include "RepeatingTimer.h"
#include "ToolLocator.h"
#include "WorkFolder.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

constexpr int buildNumber = 134;

// The values one run derives from its job and analysis.
struct RunValues {
    SourceFileInfo source; // the analysis; without one, the defaults and the extension's stereo mode
    bool rightFirst = false;
    std::string baseName;
    double progressDuration = 7200;
    bool directMVHEVC = false;
};

// The user's layout choice goes over the analysis here, once; every route
// takes the layout and the eye order from the result and reads no tag again.
RunValues deriveValues(const ConversionJob& job, const std::optional<SourceFileInfo>& info,
                       const std::function<void(const std::string&)>& startLog) {
    RunValues values;
    if (info) {
        values.source = *info;
    } else {
        values.source.stereoMode = defaultStereoModeForExtension(job.sourceURL);
        values.source.fileName = job.sourceURL.filename().string();
        values.source.layoutSignal = "file extension (no analysis)";
    }
    if (job.layoutChoice != LayoutChoice::automatic || job.rightFirst)
        startLog(applyLayoutChoice(values.source, job.layoutChoice, job.rightFirst));
    const Stereo3DMode& mode = values.source.stereoMode;
    values.rightFirst = (mode.kind == Stereo3DMode::Kind::mvcSingleTrack ||
                         mode.kind == Stereo3DMode::Kind::mvcSeparateTracks) &&
                        mode.rightFirst;
    values.baseName = job.sourceURL.stem().string();
    // A disc is named after its folder or image, not after BDMV or a playlist number.
    if (const auto& disc = values.source.disc) {
        values.baseName = disc->root.stem().string();
        if (disc->baseClip)
            values.baseName += "_" + *disc->baseClip;
        else if (disc->reason.starts_with("asked") || disc->reason == "the playlist given")
            values.baseName += "_" + disc->playlistName.substr(0, 5);
    }
    if (job.durationLimit)
        values.progressDuration = *job.durationLimit;
    else if (values.source.duration > 0)
        values.progressDuration = values.source.duration;
    values.directMVHEVC = job.outputTarget == OutputTarget::visionPro;
    return values;
}

// Retries for a few seconds: a tool that is being killed may still add a
// file while the folder goes.
void removeFolderPersistently(const fs::path& folder) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::error_code error;
        fs::remove_all(folder, error);
        if (!fs::exists(folder, error)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// After a failure no movie and no stream stays: only the logs, unless the
// user asked to keep everything.
void keepWorkAfterFailure(PipelineEngine& engine, const fs::path& work, bool keepEverything) {
    std::string kept = keepAfterFailure(work, keepEverything);
    if (kept == "everything")
        engine.directLog("Temp files preserved for debugging: " + work.string());
    else if (kept == "logs")
        engine.directLog("Logs of the failed run kept in: " + work.string());
}

// One MVC run: what its routes share. The routes run in this order of steps:
// demux, interleave or split, decode and encode, then the common tail.
struct MVCRun {
    PipelineEngine& engine;
    const ConversionJob& job;
    const RunValues& values;
    fs::path work;
    ProgressCallback progressHandler;
    fs::path baseView;
    fs::path mvcView;
    fs::path sbsOutput;
    fs::path interleaved;
    bool wroteInterleaved = false;
    StreamingDecodeRequest request;

    void report(ConversionStage stage, double fraction) const {
        if (progressHandler) progressHandler(stage, fraction);
    }
    void checkCancelled() const {
        if (engine.isCancelled) throw ConversionError::cancelled();
    }
    void interleaveInto(const fs::path& output) {
        engine.engineLog("Interleaving NAL units from " + baseView.filename().string() + " + " +
                         mvcView.filename().string());
        std::error_code error;
        long long inputBytes = static_cast<long long>(fs::file_size(baseView, error)) +
                               static_cast<long long>(fs::file_size(mvcView, error));
        RepeatingTimer timer([this, output, inputBytes] {
            std::error_code sizeError;
            auto written = fs::file_size(output, sizeError);
            if (!sizeError)
                engine.reportWork(
                    {"Interleaving", static_cast<long long>(written), inputBytes, output, true});
        });
        NALInterleaver interleaver;
        interleaver.interleave(baseView, mvcView, output, {}, [this] { return engine.isCancelled.load(); });
        engine.engineLog("Wrote interleaved stream to: " + output.string());
    }
    void removeViews() {
        engine.removeIntermediateFile(baseView, "base view");
        engine.removeIntermediateFile(mvcView, "MVC view");
    }
};

// Side-by-side and frame-alternate sources: no demultiplexing, no decoding of MVC.
ConversionResult convertStereoSource(PipelineEngine& engine, const ConversionJob& job,
                                     const RunValues& values, const fs::path& work,
                                     ProgressCallback progressHandler) {
    try {
        ConversionResult result =
            values.source.stereoMode.kind == Stereo3DMode::Kind::frameAlternate
                ? engine.runFrameAlternatePipeline(job.sourceURL, job.outputDirectory, work, values.baseName,
                                                   job.qualityPreset, job.outputCodec, job.outputTarget,
                                                   values.source.stereoMode.rightFirst,
                                                   values.source.duration, job.durationLimit, progressHandler,
                                                   std::nullopt, {}, job.spatialMetadata)
                : engine.runSideBySidePipeline(
                      job.sourceURL, job.outputDirectory, work, values.baseName, job.qualityPreset,
                      job.outputCodec, job.outputTarget, job.outputTarget == OutputTarget::visionPro,
                      progressHandler, job.durationLimit, values.source.stereoMode,
                      {values.source.videoWidth, values.source.videoHeight}, job.spatialMetadata);
        std::error_code ignored;
        fs::remove_all(work, ignored);
        return result;
    } catch (...) {
        if (engine.isCancelled) {
            removeFolderPersistently(work);
            throw ConversionError::cancelled();
        }
        keepWorkAfterFailure(engine, work, job.keepWorkFolder);
        throw;
    }
}

// The demultiplexer names its outputs after the source; when it did not, the
// views are whatever .264/.mvc files it left.
void findDemuxedViews(MVCRun& run) {
    PipelineEngine& engine = run.engine;
    fs::path demuxed = run.work / neutralSourceName(run.job.sourceURL);
    run.baseView = fs::path(demuxed).replace_extension(".264");
    run.mvcView = fs::path(demuxed).replace_extension(".mvc");
    if (!(fs::exists(run.baseView) && fs::exists(run.mvcView))) {
        engine.engineLog("Scanning for demuxed files...");
        std::vector<fs::path> avcFiles, mvcFiles;
        for (const auto& entry : fs::directory_iterator(run.work)) {
            std::string extension = entry.path().extension().string();
            if (extension == ".264")
                avcFiles.push_back(entry.path());
            else if (extension == ".mvc")
                mvcFiles.push_back(entry.path());
        }
        engine.engineLog("Found " + std::to_string(avcFiles.size()) + " .264 file(s), " +
                         std::to_string(mvcFiles.size()) + " .mvc file(s)");
        for (const auto& file : avcFiles)
            engine.engineLog("  .264: " + file.filename().string());
        for (const auto& file : mvcFiles)
            engine.engineLog("  .mvc: " + file.filename().string());
        run.baseView = avcFiles.empty() ? fs::path() : avcFiles[0];
        run.mvcView = fs::path();
        if (!mvcFiles.empty()) {
            run.mvcView = mvcFiles[0];
        } else if (avcFiles.size() >= 2) {
            run.mvcView = avcFiles[1];
            engine.engineLog("Using second .264 as MVC: " + run.mvcView.filename().string());
        }
    }
    if (run.baseView.empty() || !fs::exists(run.baseView))
        throw ConversionError::demuxFailed("Base view file not found after demuxing");
    if (run.mvcView.empty() || !fs::exists(run.mvcView))
        throw ConversionError::demuxFailed("MVC view file not found after demuxing");
    engine.engineLog("Base view: " + run.baseView.filename().string() + " (" +
                     std::to_string(fileSizeOrZero(run.baseView)) + " bytes)");
    engine.engineLog("MVC view: " + run.mvcView.filename().string() + " (" +
                     std::to_string(fileSizeOrZero(run.mvcView)) + " bytes)");
}

StreamingDecodeRequest streamingRequest(const MVCRun& run) {
    StreamingDecodeRequest request;
    request.sourceAudioURL = run.job.sourceURL;
    request.outputURL = run.sbsOutput;
    request.rightFirst = run.values.rightFirst;
    request.qualityPreset = run.job.qualityPreset;
    request.outputCodec = run.job.outputCodec;
    request.outputTarget = run.job.outputTarget;
    request.sourceDuration = run.values.progressDuration;
    request.videoWidth = run.values.source.videoWidth;
    request.videoHeight = run.values.source.videoHeight;
    request.frameRateNum = run.values.source.frameRateNum;
    request.frameRateDen = run.values.source.frameRateDen;
    request.progressHandler = run.progressHandler;
    request.spatialMetadata = run.job.spatialMetadata;
    return request;
}

// No named pipe could be made: the interleaved stream goes to a file that the
// same streaming pipeline then reads.
void runPipeFromFile(MVCRun& run) {
    run.engine.engineLog("⚠️ mkfifo failed (errno " + std::to_string(errno) +
                         ") — falling back to temp file");
    run.report(ConversionStage::interleaving, 0.3);
    run.engine.engineLog("=== Step 2: Interleaving NAL units (fallback) ===");
    run.interleaveInto(run.interleaved);
    run.wroteInterleaved = true;
    run.removeViews();
    run.checkCancelled();
    run.engine.engineLog("=== Steps 3+4: Zero-disk pipeline (viewpump → twinrow → ffmpeg) ===");
    run.request.interleavedURL = run.interleaved;
    run.engine.decodeSBSPipe(run.request);
}

// The interleaver writes into a named pipe on a thread of its own while the
// single-threaded pipeline reads it.
void runNamedPipe(MVCRun& run, const fs::path& fifo) {
    PipelineEngine& engine = run.engine;
    engine.directLog("⚠️ Parallel pipeline NOT found — using single-threaded FIFO pipeline");
    engine.directLog("=== Steps 2+3+4: FIFO pipeline — interleave → decode → encode (concurrent) ===");
    engine.engineLog("FIFO created at: " + fifo.filename().string());
    run.report(ConversionStage::interleaving, 0.3);
    std::exception_ptr writerError;
    // Once the pipeline has ended nobody will read the pipe again.
    std::atomic<bool> readerGone{false};
    std::thread writer([&] {
        try {
            NALInterleaver interleaver;
            interleaver.interleave(run.baseView, run.mvcView, fifo, {},
                                   [&] { return engine.isCancelled.load() || readerGone.load(); });
            engine.engineLog("Interleaver finished writing to FIFO");
        } catch (const std::exception& failure) {
            writerError = std::current_exception();
            engine.engineLog(std::string("Interleaver error: ") + failure.what());
        }
    });
    engine.engineLog("Starting decode pipeline (reads from FIFO)...");
    run.request.interleavedURL = fifo;
    std::exception_ptr pipelineError;
    try {
        engine.decodeSBSPipe(run.request);
    } catch (...) {
        pipelineError = std::current_exception();
    }
    // A pipeline that never opened the pipe must not leave the writer
    // waiting for a reader forever.
    readerGone = true;
    int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (release >= 0) ::close(release);
    writer.join();
    if (pipelineError) std::rethrow_exception(pipelineError);
    if (writerError) std::rethrow_exception(writerError);
    std::error_code ignored;
    fs::remove(fifo, ignored);
    run.removeViews();
}

// Both views go to the parallel script as they are; it splits each itself.
void runDualSplitParallel(MVCRun& run, const std::string& script, const fs::path& fifo) {
    PipelineEngine& engine = run.engine;
    std::string modeSuffix = run.values.directMVHEVC ? " [DIRECT MV-HEVC]" : " [SBS]";
    engine.directLog("✅ Using PARALLEL pipeline with DUAL-SPLIT (" + script + ")" + modeSuffix);
    engine.directLog("=== Steps 2+3+4: Dual-split parallel pipeline — no interleaving needed ===");
    run.report(ConversionStage::interleaving, 0.3);
    std::error_code ignored;
    fs::remove(fifo, ignored);
    if (run.values.directMVHEVC) run.request.outputURL = run.work / "mvhevc.mov";
    engine.engineLog("=== Parallel decode+encode (dual-split, segment-parallel) ===");
    run.request.interleavedURL = run.baseView;
    engine.decodeSBSParallel(run.request, run.values.directMVHEVC, false, 0, run.mvcView);
}

// One interleaved file, split into segments by the parallel script.
void runInterleavedParallel(MVCRun& run, const std::string& script, const fs::path& fifo) {
    PipelineEngine& engine = run.engine;
    std::string modeSuffix = run.values.directMVHEVC ? " [DIRECT MV-HEVC]" : " [SBS]";
    engine.directLog("✅ Using PARALLEL pipeline (" + script + ")" + modeSuffix);
    engine.directLog(
        "=== Steps 2+3+4: Parallel pipeline — interleave → streaming split → parallel decode+encode ===");
    run.report(ConversionStage::interleaving, 0.3);
    run.interleaveInto(run.interleaved);
    run.wroteInterleaved = true;
    std::error_code ignored;
    fs::remove(fifo, ignored);
    run.removeViews();
    if (run.values.directMVHEVC) run.request.outputURL = run.work / "mvhevc.mov";
    engine.engineLog("=== Parallel decode+encode (segment-parallel) ===");
    run.request.interleavedURL = run.interleaved;
    engine.decodeSBSParallel(run.request, run.values.directMVHEVC, false, 0, std::nullopt);
}

// viewpump and twinrow are there: a named pipe, else a file, feeds one of the
// streaming pipelines.
void runStreamingRoute(MVCRun& run) {
    PipelineEngine& engine = run.engine;
    fs::path fifo = run.work / "interleave_fifo.264";
    std::error_code ignored;
    fs::remove(fifo, ignored);
    if (::mkfifo(fifo.c_str(), 0644) != 0) return runPipeFromFile(run);
    auto script = engine.parallelPipelineScriptPath();
    engine.directLog("Pipeline decision: parallelPipelineScriptPath = " + script.value_or("nil"));
    if (!script)
        runNamedPipe(run, fifo);
    else if (engine.hasDualSplitTools())
        runDualSplitParallel(run, *script, fifo);
    else
        runInterleavedParallel(run, *script, fifo);
}

// Without the streaming tools: both views decoded to YUV files, then joined.
void runDiskRoute(MVCRun& run) {
    PipelineEngine& engine = run.engine;
    const RunValues& values = run.values;
    run.report(ConversionStage::interleaving, 0.3);
    engine.engineLog("=== Step 2: Interleaving NAL units ===");
    run.interleaveInto(run.interleaved);
    run.wroteInterleaved = true;
    run.removeViews();
    run.checkCancelled();
    engine.engineLog("=== Step 3: Decoding MVC to YUV (disk-based fallback) ===");
    auto estimatedFrames =
        static_cast<long long>(std::floor(static_cast<double>(values.source.frameRateNum) /
                                          values.source.frameRateDen * values.progressDuration * 2));
    engine.decodeMVC(run.interleaved, run.work, estimatedFrames, run.progressHandler);
    run.checkCancelled();
    fs::path view0 = run.work / "output_ViewId0000.yuv";
    fs::path view1 = run.work / "output_ViewId0001.yuv";
    fs::path left = view0, right = view1;
    if (values.rightFirst) {
        engine.engineLog("block_rl detected — swapping eyes (ViewId0000=right, ViewId0001=left)");
        std::swap(left, right);
    }
    if (!fs::exists(view0) || !fs::exists(view1))
        throw ConversionError::decodingFailed("YUV files not generated by ldecod");
    run.report(ConversionStage::encoding, 0.7);
    engine.engineLog("=== Step 4: Encoding Full Side-by-Side 3D ===");
    engine.encodeSBS(left, right, run.request.sourceAudioURL, run.sbsOutput, run.job.qualityPreset,
                     run.job.outputCodec, values.source.videoWidth, values.source.videoHeight,
                     values.source.frameRateNum, values.source.frameRateDen, run.progressHandler,
                     values.progressDuration);
    // The decoded views are the biggest files of the whole run.
    engine.removeIntermediateFile(view0, "left view");
    engine.removeIntermediateFile(view1, "right view");
}

// Checks what the route made, takes it to MV-HEVC when asked, and puts the
// checked movies in place.
ConversionResult finishMVCRun(MVCRun& run, const MovieExpectation& expected) {
    PipelineEngine& engine = run.engine;
    const ConversionJob& job = run.job;
    run.checkCancelled();
    if (run.wroteInterleaved && fs::exists(run.interleaved))
        engine.removeIntermediateFile(run.interleaved, "interleaved stream");
    run.checkCancelled();
    fs::path movie;
    if (job.outputTarget == OutputTarget::visionPro) {
        movie = run.work / "mvhevc.mov";
        if (fs::exists(movie)) {
            engine.engineLog("Direct MV-HEVC pipeline output found — skipping StereoPacker");
        } else {
            engine.checkMovie(run.sbsOutput, expected);
            run.report(ConversionStage::convertingMVHEVC, 0.85);
            engine.engineLog("=== Step 5: Converting to MV-HEVC for Apple Vision Pro ===");
            engine.convertToMVHEVC(run.sbsOutput, movie, job.qualityPreset, run.progressHandler,
                                   Stereo3DMode::sideBySide(), job.spatialMetadata);
        }
        run.checkCancelled();
        engine.checkMovie(movie, expected);
    } else {
        engine.checkMovie(run.sbsOutput, expected);
    }
    run.checkCancelled();
    fs::path publishedSBS;
    if (fs::exists(run.sbsOutput))
        publishedSBS = engine.publishMovie(
            run.sbsOutput,
            job.outputDirectory / (run.values.baseName + "_SBS" + run.sbsOutput.extension().string()),
            job.sourceURL);
    fs::path finalOutput =
        movie.empty()
            ? publishedSBS
            : engine.publishMovie(movie, job.outputDirectory / (run.values.baseName + ".mov"), job.sourceURL);
    return {finalOutput.string(), run.work,
            publishedSBS.empty() ? std::optional<std::string>() : std::optional(publishedSBS.string())};
}

// A disc title's pictures are counted from its playlist's length; its sound
// is the one taken into the work folder.
MovieExpectation discExpectation(const SourceFileInfo& source, double frameRate,
                                 const std::optional<fs::path>& sound, std::optional<int> durationLimit,
                                 PipelineEngine& engine) {
    MovieExpectation expected;
    if (sound) expected = expectationFromSource(*sound, frameRate, 1, durationLimit, engine.processTracker());
    expected.frameRate = frameRate;
    double seconds = durationLimit ? std::min<double>(source.duration, *durationLimit) : source.duration;
    expected.frames = static_cast<long long>(std::llround(seconds * frameRate));
    return expected;
}

// An MVC source: demux, one decode route, the tail. The work folder goes after
// success or a stop; after a failure it stays for inspection, without movies.
ConversionResult convertMVC(PipelineEngine& engine, const ConversionJob& job, const RunValues& values,
                            const fs::path& work, ProgressCallback progressHandler) {
    MVCRun run{engine, job, values, work, progressHandler, {}, {}, {}, {}, false, {}};
    bool succeeded = false;
    bool cleanedUp = false;
    auto cleanupTempDirectory = [&] {
        if (cleanedUp) return;
        cleanedUp = true;
        if (succeeded || engine.isCancelled) {
            removeFolderPersistently(work);
            engine.engineLog(engine.isCancelled && !succeeded ? "Cancelled — cleaned up temp directory"
                                                              : "Cleaned up temp directory");
        } else {
            keepWorkAfterFailure(engine, work, job.keepWorkFolder);
        }
    };
    try {
        const auto& disc = values.source.disc;
        double frameRate = static_cast<double>(values.source.frameRateNum) / values.source.frameRateDen;
        MovieExpectation expected;
        if (!disc)
            expected = expectationFromSource(job.sourceURL, frameRate, 1, job.durationLimit,
                                             engine.processTracker());
        run.checkCancelled();
        run.report(ConversionStage::demuxing, 0.05);
        engine.engineLog("=== Step 1: Demuxing ===");
        std::optional<fs::path> discSound;
        if (disc) {
            engine.demuxDisc(*disc, work, job.durationLimit);
            run.checkCancelled();
            discSound = engine.extractDiscSound(*disc, work, values.source.duration, job.durationLimit);
            expected = discExpectation(values.source, frameRate, discSound, job.durationLimit, engine);
        } else {
            engine.demux(job.sourceURL, work,
                         values.source.stereoMode.kind == Stereo3DMode::Kind::mvcSingleTrack,
                         job.durationLimit);
        }
        run.checkCancelled();
        findDemuxedViews(run);
        // Every movie is made inside the work folder and put in place at the end.
        run.sbsOutput = work / (job.outputTarget == OutputTarget::visionPro ? "sbs.mov" : "sbs.mkv");
        run.interleaved = work / "interleaved.264";
        run.request = streamingRequest(run);
        if (discSound) run.request.sourceAudioURL = *discSound;
        if (findTool("viewpump") && findTool("twinrow"))
            runStreamingRoute(run);
        else
            runDiskRoute(run);
        ConversionResult result = finishMVCRun(run, expected);
        succeeded = true;
        run.report(ConversionStage::complete, 1.0);
        engine.engineLog("=== Pipeline complete! ===");
        cleanupTempDirectory();
        return result;
    } catch (const ConversionError& error) {
        cleanupTempDirectory();
        if (engine.isCancelled && error.kind() != ConversionError::Kind::cancelled)
            throw ConversionError::cancelled();
        throw;
    } catch (...) {
        cleanupTempDirectory();
        // A tool stopped by cancel() fails in its own way; the user asked for a stop.
        if (engine.isCancelled) throw ConversionError::cancelled();
        throw;
    }
}

// Tools run in folders of their own, so every path they see is absolute.
ConversionJob withAbsolutePaths(ConversionJob job) {
    std::error_code pathError;
    job.sourceURL = fs::absolute(job.sourceURL, pathError).lexically_normal();
    job.outputDirectory = fs::absolute(job.outputDirectory, pathError).lexically_normal();
    if (job.durationLimit && *job.durationLimit <= 0) job.durationLimit.reset();
    if (job.keptSideBySide)
        job.keptSideBySide = fs::absolute(*job.keptSideBySide, pathError).lexically_normal();
    return job;
}

// The caller's analysis, or ffprobe's now; none when ffprobe fails.
std::optional<SourceFileInfo> analysedSource(const fs::path& source,
                                             const std::optional<SourceFileInfo>& given,
                                             const std::function<void(const std::string&)>& startLog) {
    if (given) return given;
    startLog("[Duoscope Build " + std::to_string(buildNumber) + "] Starting conversion...");
    startLog("Analyzing source file...");
    try {
        return FFProbe().probe(source);
    } catch (const std::exception& failure) {
        startLog(std::string("FFProbe analysis failed: ") + failure.what());
        return std::nullopt;
    }
}

// A kept side-by-side movie is our own full side-by-side output; nothing to analyse.
SourceFileInfo keptMovieInfo(const fs::path& movie) {
    SourceFileInfo info;
    info.url = movie;
    info.fileName = movie.filename().string();
    info.hasMVCStream = true;
    info.stereoMode = Stereo3DMode::sideBySide();
    return info;
}

} // namespace

ConversionResult PipelineEngine::convert(const ConversionJob& givenJob,
                                         const std::optional<SourceFileInfo>& sourceInfo,
                                         ProgressCallback progressHandler, LogCallback logHandler) {
    auto startLog = [&](const std::string& line) {
        if (logHandler) logHandler(line);
    };
    // Cleared here, not after the analysis, so that a stop during the
    // analysis is not forgotten.
    isCancelled = false;
    ConversionJob job = withAbsolutePaths(givenJob);
    const bool reusesKeptMovie = job.keptSideBySide.has_value();
    fs::path source = reusesKeptMovie ? *job.keptSideBySide : job.sourceURL;
    // A missing or unreadable source would otherwise surface much later, or
    // (a named pipe) hang the analysis.
    const bool isDisc = !reusesKeptMovie && isDiscSource(job.sourceURL);
    if (auto problem = sourceProblem(source); problem && !isDisc) throw std::runtime_error(*problem);
    // An output folder that cannot exist is the first thing to say, before any long analysis.
    if (auto problem = discOutputProblem(job.sourceURL, job.outputDirectory); problem && isDisc)
        throw std::runtime_error(*problem);
    fs::create_directories(job.outputDirectory); // throws with the OS reason and the path
    removeAbandonedWorkFolders(job.outputDirectory, [this](const std::string& line) { directLog(line); });
    startRun(job);
    std::optional<SourceFileInfo> info;
    if (isDisc) {
        // A disc that cannot be converted says why before any work; its
        // analysis is cheap, and the title and sound choices live in the job.
        info = analyseDisc(job.sourceURL, {job.discTitle, job.discPlaylist, job.audioLanguage}, startLog);
    } else {
        info = analysedSource(job.sourceURL, sourceInfo, startLog);
    }
    if (auto problem = spatialMetadataProblem(job.spatialMetadata)) throw std::invalid_argument(*problem);
    if (reusesKeptMovie) {
        info = keptMovieInfo(source);
        // The kept movie is full side by side, left eye first, whatever the
        // source's layout was: the user's word on the source no longer applies.
        job.layoutChoice = LayoutChoice::automatic;
        job.rightFirst = false;
    }
    RunValues values = deriveValues(job, info, startLog);
    if (values.source.frameRateNum > 0 && values.source.frameRateDen > 0)
        secondsPerAccessUnit_ = static_cast<double>(values.source.frameRateDen) / values.source.frameRateNum;
    // Without an analysis the size and rate below are assumptions, and the log must not pass them off as
    // found.
    if (!reusesKeptMovie && !info)
        startLog("Source: not analysed; assuming " + std::to_string(values.source.videoWidth) + "x" +
                 std::to_string(values.source.videoHeight) + " and the layout its extension suggests");
    else if (!reusesKeptMovie)
        startLog("Source: " + std::to_string(values.source.videoWidth) + "x" +
                 std::to_string(values.source.videoHeight) + ", " +
                 std::to_string(values.source.frameRateNum) + "/" +
                 std::to_string(values.source.frameRateDen) + " fps, stereo: " +
                 values.source.stereoMode.text() + ", rightFirst: " + (values.rightFirst ? "true" : "false"));

    // The design sends a source without a recognised layout down the MVC
    // route, because ffprobe cannot see every MVC track. The demultiplexer's
    // own listing settles it: without an MVC track there is nothing 3D to
    // convert, and demultiplexing a 2D, audio-only or broken file would only
    // fail later with a misleading message.
    bool isFlat = !isDisc && info && values.source.stereoMode.kind == Stereo3DMode::Kind::none &&
                  job.layoutChoice == LayoutChoice::automatic && !listsMVCTrack(job.sourceURL);
    // A stop asked for during the analysis counts: nothing has been made yet.
    if (isCancelled) throw ConversionError::cancelled();
    if (isFlat) throw std::runtime_error("No stereoscopic 3D video found in " + job.sourceURL.string());
    fs::path work = createWorkFolder(job.outputDirectory); // throws with the OS reason and the path
    engineLog("Created temp directory: " + work.string());
    setConversionScope(work);

    // From here on the kept movie is the source: its work folder, check,
    // publication and clean-up are those of any side-by-side source.
    if (reusesKeptMovie) {
        job.sourceURL = source;
        job.durationLimit.reset();
    }
    bool holdsBothEyes = values.source.stereoMode.kind == Stereo3DMode::Kind::frameAlternate ||
                         values.source.stereoMode.isFramePacked();
    return holdsBothEyes ? convertStereoSource(*this, job, values, work, progressHandler)
                         : convertMVC(*this, job, values, work, progressHandler);
}

} // namespace duoscope
