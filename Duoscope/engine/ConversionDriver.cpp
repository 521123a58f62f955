// One conversion end to end: analysis, work folder, the route by stereo
// layout, the choice of decode pipeline, the MV-HEVC tail and clean-up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <exception>
#include <fstream>
#include <chrono>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "FFProbe.h"
#include "NALInterleaver.h"
#include "PipelineEngine.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

constexpr int buildNumber = 134;

std::string upperCaseUUID() {
    std::ifstream in("/proc/sys/kernel/random/uuid");
    std::string uuid;
    std::getline(in, uuid);
    if (uuid.size() < 8) {
        std::random_device random;
        char text[16];
        std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(random()));
        uuid = text;
    }
    for (char& c : uuid) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return uuid;
}

// The values one run derives from its job and analysis.
struct RunValues {
    Stereo3DMode stereoMode;
    int viewWidth = 1920;
    int viewHeight = 1080;
    int frameRateNum = 24000;
    int frameRateDen = 1001;
    double sourceDuration = 0;
    bool rightFirst = false;
    std::string baseName;
    double progressDuration = 7200;
    bool directMVHEVC = false;
};

RunValues deriveValues(const ConversionJob& job, const std::optional<SourceFileInfo>& info) {
    RunValues values;
    if (info) {
        values.stereoMode = info->stereoMode;
        values.viewWidth = info->videoWidth;
        values.viewHeight = info->videoHeight;
        values.frameRateNum = info->frameRateNum;
        values.frameRateDen = info->frameRateDen;
        values.sourceDuration = info->duration;
    } else {
        values.stereoMode = defaultStereoModeForExtension(job.sourceURL);
    }
    values.rightFirst = values.stereoMode.kind == Stereo3DMode::Kind::mvcSingleTrack && values.stereoMode.rightFirst;
    values.baseName = job.sourceURL.stem().string();
    if (job.durationLimit) values.progressDuration = *job.durationLimit;
    else if (values.sourceDuration > 0) values.progressDuration = values.sourceDuration;
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

// After a failure the work folder may stay for inspection, but no movie that
// failed its check stays anywhere; an empty folder goes too.
void discardUncheckedMovies(const fs::path& folder) {
    std::error_code error;
    std::vector<fs::path> movies;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        std::string extension = lowercased(it->path().extension().string());
        if (it->is_regular_file(error) &&
            (extension == ".mkv" || extension == ".mov" || extension == ".mp4" || extension == ".partial"))
            movies.push_back(it->path());
    }
    for (const auto& movie : movies) fs::remove(movie, error);
    if (fs::is_empty(folder, error)) fs::remove(folder, error);
}

} // namespace

ConversionResult PipelineEngine::convert(const ConversionJob& givenJob, const std::optional<SourceFileInfo>& sourceInfo,
                                         ProgressCallback progressHandler, LogCallback logHandler) {
    auto report = [&](ConversionStage stage, double fraction) {
        if (progressHandler) progressHandler(stage, fraction);
    };
    auto startLog = [&](const std::string& line) {
        if (logHandler) logHandler(line);
    };

    // Cleared here, not after the analysis, so that a stop during the
    // analysis is not forgotten.
    isCancelled = false;
    // Tools run in folders of their own, so every path they see is absolute.
    ConversionJob job = givenJob;
    std::error_code pathError;
    job.sourceURL = fs::absolute(job.sourceURL, pathError).lexically_normal();
    job.outputDirectory = fs::absolute(job.outputDirectory, pathError).lexically_normal();
    if (job.durationLimit && *job.durationLimit <= 0) job.durationLimit.reset();
    // A missing or unreadable source would otherwise surface much later, or
    // (a named pipe) hang the analysis.
    if (auto problem = sourceProblem(job.sourceURL)) throw std::runtime_error(*problem);
    // An output folder that cannot exist is the first thing to say, before any long analysis.
    fs::create_directories(job.outputDirectory); // throws with the OS reason and the path

    std::optional<SourceFileInfo> info = sourceInfo;
    if (!info) {
        startLog("[Duoscope Build " + std::to_string(buildNumber) + "] Starting conversion...");
        startLog("Analyzing source file...");
        try {
            FFProbe probe;
            info = probe.probe(job.sourceURL);
        } catch (const std::exception& failure) {
            startLog(std::string("FFProbe analysis failed: ") + failure.what());
        }
    }
    RunValues values = deriveValues(job, info);
    startLog("Source: " + std::to_string(values.viewWidth) + "x" + std::to_string(values.viewHeight) + ", " +
             std::to_string(values.frameRateNum) + "/" + std::to_string(values.frameRateDen) +
             " fps, stereo: " + values.stereoMode.text() + ", rightFirst: " + (values.rightFirst ? "true" : "false"));

    // The design sends a source without a recognised layout down the MVC
    // route, because ffprobe cannot see every MVC track. The demultiplexer's
    // own listing settles it: without an MVC track there is nothing 3D to
    // convert, and demultiplexing a 2D, audio-only or broken file would only
    // fail later with a misleading message.
    bool isFlat = info && values.stereoMode.kind == Stereo3DMode::Kind::none && !listsMVCTrack(job.sourceURL);
    // A stop asked for during the analysis counts: nothing has been made yet.
    if (isCancelled) throw ConversionError::cancelled();
    if (isFlat) throw std::runtime_error("No stereoscopic 3D video found in " + job.sourceURL.string());
    const fs::path& outputFolder = job.outputDirectory;
    fs::path work = outputFolder / ("Duoscope_" + upperCaseUUID().substr(0, 8));
    fs::create_directories(work); // throws with the OS reason and the path
    engineLog("Created temp directory: " + work.string());
    setConversionScope(work);

    if (values.stereoMode.kind == Stereo3DMode::Kind::frameAlternate ||
        values.stereoMode.kind == Stereo3DMode::Kind::sideBySide) {
        try {
            ConversionResult result =
                values.stereoMode.kind == Stereo3DMode::Kind::frameAlternate
                    ? runFrameAlternatePipeline(job.sourceURL, outputFolder, work, values.baseName,
                                                job.qualityPreset, job.outputCodec, job.outputTarget,
                                                values.stereoMode.rightFirst, values.sourceDuration,
                                                job.durationLimit, progressHandler)
                    : runSideBySidePipeline(job.sourceURL, outputFolder, work, values.baseName, job.qualityPreset,
                                            job.outputCodec, job.outputTarget,
                                            job.outputTarget == OutputTarget::visionPro, progressHandler,
                                            job.durationLimit);
            std::error_code ignored;
            fs::remove_all(work, ignored);
            return result;
        } catch (...) {
            if (isCancelled) {
                removeFolderPersistently(work);
                throw ConversionError::cancelled();
            }
            discardUncheckedMovies(work);
            throw;
        }
    }

    bool succeeded = false;
    bool cleanedUp = false;
    auto cleanupTempDirectory = [&] {
        if (cleanedUp) return;
        cleanedUp = true;
        if (succeeded || isCancelled) {
            removeFolderPersistently(work);
            engineLog(isCancelled && !succeeded ? "Cancelled — cleaned up temp directory" : "Cleaned up temp directory");
        } else {
            discardUncheckedMovies(work);
            engineLog("Temp files preserved for debugging: " + work.string());
        }
    };
    auto checkCancelled = [&] {
        if (isCancelled) {
            cleanupTempDirectory();
            throw ConversionError::cancelled();
        }
    };

    try {
        MovieExpectation expected =
            expectationFromSource(job.sourceURL, static_cast<double>(values.frameRateNum) / values.frameRateDen, 1,
                                  job.durationLimit, processTracker());
        checkCancelled();
        report(ConversionStage::demuxing, 0.05);
        engineLog("=== Step 1: Demuxing ===");
        demux(job.sourceURL, work, values.stereoMode.kind == Stereo3DMode::Kind::mvcSingleTrack, job.durationLimit);
        checkCancelled();

        fs::path baseView = work / (values.baseName + ".264");
        fs::path mvcView = work / (values.baseName + ".mvc");
        if (!(fs::exists(baseView) && fs::exists(mvcView))) {
            engineLog("Scanning for demuxed files...");
            std::vector<fs::path> avcFiles, mvcFiles;
            for (const auto& entry : fs::directory_iterator(work)) {
                std::string extension = entry.path().extension().string();
                if (extension == ".264") avcFiles.push_back(entry.path());
                else if (extension == ".mvc") mvcFiles.push_back(entry.path());
            }
            engineLog("Found " + std::to_string(avcFiles.size()) + " .264 file(s), " + std::to_string(mvcFiles.size()) +
                      " .mvc file(s)");
            for (const auto& file : avcFiles) engineLog("  .264: " + file.filename().string());
            for (const auto& file : mvcFiles) engineLog("  .mvc: " + file.filename().string());
            baseView = avcFiles.empty() ? fs::path() : avcFiles[0];
            mvcView = fs::path();
            if (!mvcFiles.empty()) {
                mvcView = mvcFiles[0];
            } else if (avcFiles.size() >= 2) {
                mvcView = avcFiles[1];
                engineLog("Using second .264 as MVC: " + mvcView.filename().string());
            }
        }
        if (baseView.empty() || !fs::exists(baseView))
            throw ConversionError::demuxFailed("Base view file not found after demuxing");
        if (mvcView.empty() || !fs::exists(mvcView))
            throw ConversionError::demuxFailed("MVC view file not found after demuxing");
        engineLog("Base view: " + baseView.filename().string() + " (" + std::to_string(fileSizeOrZero(baseView)) +
                  " bytes)");
        engineLog("MVC view: " + mvcView.filename().string() + " (" + std::to_string(fileSizeOrZero(mvcView)) +
                  " bytes)");

        // Every movie is made inside the work folder and put in place at the end.
        fs::path sbsOutput =
            work / (values.baseName + (job.outputTarget == OutputTarget::visionPro ? "_SBS.mov" : "_SBS.mkv"));
        fs::path interleaved = work / (values.baseName + "_interleaved.264");
        bool wroteInterleaved = false;
        auto interleaveInto = [&](const fs::path& output) {
            engineLog("Interleaving NAL units from " + baseView.filename().string() + " + " +
                      mvcView.filename().string());
            NALInterleaver interleaver;
            interleaver.interleave(baseView, mvcView, output, {}, [this] { return isCancelled.load(); });
            engineLog("Wrote interleaved stream to: " + output.string());
        };
        auto removeViews = [&] {
            removeIntermediateFile(baseView, "base view");
            removeIntermediateFile(mvcView, "MVC view");
        };
        StreamingDecodeRequest request;
        request.sourceAudioURL = job.sourceURL;
        request.outputURL = sbsOutput;
        request.rightFirst = values.rightFirst;
        request.qualityPreset = job.qualityPreset;
        request.outputCodec = job.outputCodec;
        request.outputTarget = job.outputTarget;
        request.sourceDuration = values.progressDuration;
        request.videoWidth = values.viewWidth;
        request.videoHeight = values.viewHeight;
        request.frameRateNum = values.frameRateNum;
        request.frameRateDen = values.frameRateDen;
        request.progressHandler = progressHandler;

        bool haveStreamingTools = findTool("viewpump") && findTool("twinrow");
        if (haveStreamingTools) {
            fs::path fifo = work / "interleave_fifo.264";
            std::error_code ignored;
            fs::remove(fifo, ignored);
            if (::mkfifo(fifo.c_str(), 0644) != 0) {
                engineLog("⚠️ mkfifo failed (errno " + std::to_string(errno) + ") — falling back to temp file");
                report(ConversionStage::interleaving, 0.3);
                engineLog("=== Step 2: Interleaving NAL units (fallback) ===");
                interleaveInto(interleaved);
                wroteInterleaved = true;
                removeViews();
                checkCancelled();
                engineLog("=== Steps 3+4: Zero-disk pipeline (viewpump → twinrow → ffmpeg) ===");
                request.interleavedURL = interleaved;
                decodeSBSPipe(request);
            } else {
                auto script = parallelPipelineScriptPath();
                directLog("Pipeline decision: parallelPipelineScriptPath = " + script.value_or("nil"));
                std::string modeSuffix = values.directMVHEVC ? " [DIRECT MV-HEVC]" : " [SBS]";
                if (!script) {
                    directLog("⚠️ Parallel pipeline NOT found — using single-threaded FIFO pipeline");
                    directLog("=== Steps 2+3+4: FIFO pipeline — interleave → decode → encode (concurrent) ===");
                    engineLog("FIFO created at: " + fifo.filename().string());
                    report(ConversionStage::interleaving, 0.3);
                    std::exception_ptr writerError;
                    // Once the pipeline has ended nobody will read the pipe again.
                    std::atomic<bool> readerGone{false};
                    std::thread writer([&] {
                        try {
                            NALInterleaver interleaver;
                            interleaver.interleave(baseView, mvcView, fifo, {},
                                                   [&] { return isCancelled.load() || readerGone.load(); });
                            engineLog("Interleaver finished writing to FIFO");
                        } catch (const std::exception& failure) {
                            writerError = std::current_exception();
                            engineLog(std::string("Interleaver error: ") + failure.what());
                        }
                    });
                    engineLog("Starting decode pipeline (reads from FIFO)...");
                    request.interleavedURL = fifo;
                    std::exception_ptr pipelineError;
                    try {
                        decodeSBSPipe(request);
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
                    fs::remove(fifo, ignored);
                    removeViews();
                } else if (hasDualSplitTools()) {
                    directLog("✅ Using PARALLEL pipeline with DUAL-SPLIT (" + *script + ")" + modeSuffix);
                    directLog("=== Steps 2+3+4: Dual-split parallel pipeline — no interleaving needed ===");
                    report(ConversionStage::interleaving, 0.3);
                    fs::remove(fifo, ignored);
                    if (values.directMVHEVC) request.outputURL = work / (values.baseName + ".mov");
                    engineLog("=== Parallel decode+encode (dual-split, segment-parallel) ===");
                    request.interleavedURL = baseView;
                    decodeSBSParallel(request, values.directMVHEVC, false, 0, mvcView);
                } else {
                    directLog("✅ Using PARALLEL pipeline (" + *script + ")" + modeSuffix);
                    directLog("=== Steps 2+3+4: Parallel pipeline — interleave → streaming split → parallel decode+encode ===");
                    report(ConversionStage::interleaving, 0.3);
                    interleaveInto(interleaved);
                    wroteInterleaved = true;
                    fs::remove(fifo, ignored);
                    removeViews();
                    if (values.directMVHEVC) request.outputURL = work / (values.baseName + ".mov");
                    engineLog("=== Parallel decode+encode (segment-parallel) ===");
                    request.interleavedURL = interleaved;
                    decodeSBSParallel(request, values.directMVHEVC, false, 0, std::nullopt);
                }
            }
        } else {
            report(ConversionStage::interleaving, 0.3);
            engineLog("=== Step 2: Interleaving NAL units ===");
            interleaveInto(interleaved);
            wroteInterleaved = true;
            removeViews();
            checkCancelled();
            engineLog("=== Step 3: Decoding MVC to YUV (disk-based fallback) ===");
            auto estimatedFrames = static_cast<long long>(
                std::floor(static_cast<double>(values.frameRateNum) / values.frameRateDen * values.progressDuration * 2));
            decodeMVC(interleaved, work, estimatedFrames, progressHandler);
            checkCancelled();
            fs::path view0 = work / "output_ViewId0000.yuv";
            fs::path view1 = work / "output_ViewId0001.yuv";
            fs::path left = view0, right = view1;
            if (values.rightFirst) {
                engineLog("block_rl detected — swapping eyes (ViewId0000=right, ViewId0001=left)");
                std::swap(left, right);
            }
            if (!fs::exists(view0) || !fs::exists(view1))
                throw ConversionError::decodingFailed("YUV files not generated by ldecod");
            report(ConversionStage::encoding, 0.7);
            engineLog("=== Step 4: Encoding Full Side-by-Side 3D ===");
            encodeSBS(left, right, job.sourceURL, sbsOutput, job.qualityPreset, job.outputCodec, values.viewWidth,
                      values.viewHeight, values.frameRateNum, values.frameRateDen, progressHandler,
                      values.progressDuration);
            // The decoded views are the biggest files of the whole run.
            removeIntermediateFile(view0, "left view");
            removeIntermediateFile(view1, "right view");
        }
        checkCancelled();

        // Common tail.
        if (wroteInterleaved && fs::exists(interleaved)) removeIntermediateFile(interleaved, "interleaved stream");
        checkCancelled();
        fs::path movie;
        if (job.outputTarget == OutputTarget::visionPro) {
            movie = work / (values.baseName + ".mov");
            if (fs::exists(movie)) {
                engineLog("Direct MV-HEVC pipeline output found — skipping StereoPacker");
            } else {
                checkMovie(sbsOutput, expected);
                report(ConversionStage::convertingMVHEVC, 0.85);
                engineLog("=== Step 5: Converting to MV-HEVC for Apple Vision Pro ===");
                convertToMVHEVC(sbsOutput, movie, job.qualityPreset, progressHandler);
            }
            checkCancelled();
            checkMovie(movie, expected);
        } else {
            checkMovie(sbsOutput, expected);
        }
        checkCancelled();
        fs::path publishedSBS;
        if (fs::exists(sbsOutput))
            publishedSBS = publishMovie(sbsOutput, outputFolder / sbsOutput.filename(), job.sourceURL);
        fs::path finalOutput =
            movie.empty() ? publishedSBS : publishMovie(movie, outputFolder / movie.filename(), job.sourceURL);
        succeeded = true;
        report(ConversionStage::complete, 1.0);
        engineLog("=== Pipeline complete! ===");
        cleanupTempDirectory();
        return {finalOutput.string(), work,
                publishedSBS.empty() ? std::optional<std::string>() : std::optional(publishedSBS.string())};
    } catch (const ConversionError& error) {
        cleanupTempDirectory();
        if (isCancelled && error.kind() != ConversionError::Kind::cancelled) throw ConversionError::cancelled();
        throw;
    } catch (...) {
        cleanupTempDirectory();
        // A tool stopped by cancel() fails in its own way; the user asked for a stop.
        if (isCancelled) throw ConversionError::cancelled();
        throw;
    }
}

} // namespace duoscope
