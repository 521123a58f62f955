// Runs one conversion job end to end by driving external tools. Owns the
// engine state shared by every step: the log callback, the narration switch,
// the tool process running now and the cancellation flag. A conversion runs on
// one worker thread; cancel() may be called from any other thread.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ConversionTypes.h"
#include "EngineFiles.h"

namespace duoscope {

using LogCallback = std::function<void(const std::string& line)>;
using ProgressCallback = std::function<void(ConversionStage stage, double fraction)>;

// The work done in the current long stage, so that rates and remaining time
// follow the work itself rather than fixed points of the job.
struct WorkProgress {
    std::string activity; // "Encoding MV-HEVC, segment 3 of 8"
    long long framesDone = 0;
    long long framesTotal = 0;        // 0 when not known
    std::filesystem::path outputFile; // the file this stage writes, when there is one
    bool countsBytes = false;         // done and total are bytes, not frames (demultiplexing)
};
using WorkCallback = std::function<void(const WorkProgress& work)>;

// What the two streaming decode pipelines take.
struct StreamingDecodeRequest {
    std::filesystem::path interleavedURL; // regular file or named pipe
    std::filesystem::path sourceAudioURL;
    std::filesystem::path outputURL;
    bool rightFirst = false;
    QualityPreset qualityPreset = QualityPreset::high;
    OutputCodec outputCodec = OutputCodec::h264;
    OutputTarget outputTarget = OutputTarget::sbs3D;
    double sourceDuration = 0;
    int videoWidth = 1920;
    int videoHeight = 1080;
    int frameRateNum = 24000;
    int frameRateDen = 1001;
    ProgressCallback progressHandler;
    SpatialMetadata spatialMetadata; // written by the direct MV-HEVC route
};

class PipelineEngine {
  public:
    PipelineEngine() = default;
    PipelineEngine(const PipelineEngine&) = delete;
    PipelineEngine& operator=(const PipelineEngine&) = delete;

    LogCallback onLog;
    // Reports of frames done; called from the threads that read the tools' output.
    WorkCallback onWork;
    bool verboseLogging = false;
    std::atomic<bool> isCancelled{false};

    std::shared_ptr<ChildProcess> currentProcess() const;
    void setCurrentProcess(std::shared_ptr<ChildProcess> process);
    // Launches the current process. A cancel() that raced with the launch may
    // have found no process to stop yet, so the flag is looked at again after
    // the child exists and the child is stopped the same way.
    void launchCurrentProcess(const std::shared_ptr<ChildProcess>& process);
    // A tool run start to end as the current process, so that cancel() reaches it.
    std::shared_ptr<ChildProcess> runCurrentProcess(const ChildProcess::Options& options);

    // Stops the running tool: SIGTERM to it and its group now, SIGKILL to the
    // group about 3 s later, then a sweep of this conversion's leftover tools.
    // Returns at once.
    void cancel();
    // Waits, up to `limit`, until every cancel's sweep in this process is
    // over, so that a program ending after a cancel leaves no tool behind.
    static void waitForCancelSweeps(std::chrono::milliseconds limit);

    // The folder whose path marks this conversion's tool processes on their
    // command lines (the run's work folder); the cancel sweep stops only those.
    void setConversionScope(const std::filesystem::path& folder);
    std::filesystem::path conversionScope() const;

    // One conversion end to end. Throws ConversionError, InterleaveError or the
    // OS error of a file or launch, unchanged.
    ConversionResult convert(const ConversionJob& job, const std::optional<SourceFileInfo>& sourceInfo,
                             ProgressCallback progressHandler, LogCallback logHandler);

    // Demultiplexing into the work folder.
    void demux(const std::filesystem::path& source, const std::filesystem::path& workFolder,
               bool isSingleTrack, std::optional<int> durationLimit);
    std::vector<DetectedTrack> detectVideoTracks(const std::filesystem::path& url);
    // A disc title's two views, from its base and dependent clips.
    void demuxDisc(const DiscTitleSource& disc, const std::filesystem::path& workFolder,
                   std::optional<int> durationLimit);
    // Runs tsmuxer on a meta file in the work folder, reporting the bytes of
    // the streams written so far against `expectedBytes` (0: not known).
    void runDemuxer(const std::filesystem::path& tsmuxer, const std::filesystem::path& metaFile,
                    const std::filesystem::path& workFolder, long long expectedBytes);
    // The chosen sound and the chapters (cut at the limit) in one Matroska
    // file in the work folder; for a title without sound, the chapters alone.
    std::optional<std::filesystem::path> extractDiscSound(const DiscTitleSource& disc,
                                                          const std::filesystem::path& workFolder,
                                                          double duration, std::optional<int> durationLimit);
    // True when the demultiplexer's track listing shows an MVC track.
    bool listsMVCTrack(const std::filesystem::path& source);

    // Sources that already hold both eyes. `layout` is the side-by-side or
    // top-bottom layout the analysis decided; anything but full side by side,
    // left eye first, is cut apart (and stretched) instead of copied.
    ConversionResult runSideBySidePipeline(const std::filesystem::path& source,
                                           const std::filesystem::path& outputDirectory,
                                           const std::filesystem::path& workFolder,
                                           const std::string& baseName, QualityPreset qualityPreset,
                                           OutputCodec outputCodec, OutputTarget outputTarget,
                                           bool convertToMVHEVCFlag, ProgressCallback progressHandler,
                                           std::optional<int> durationLimit = std::nullopt,
                                           const Stereo3DMode& layout = Stereo3DMode::sideBySide(),
                                           EyeSize frameSize = {}, const SpatialMetadata& spatial = {});
    // Frame-alternate sources; with `packedLayout` the same script turns a
    // side-by-side or top-bottom source of `frameSize` into full side by side.
    ConversionResult runFrameAlternatePipeline(
        const std::filesystem::path& source, const std::filesystem::path& outputDirectory,
        const std::filesystem::path& workFolder, const std::string& baseName, QualityPreset qualityPreset,
        OutputCodec outputCodec, OutputTarget outputTarget, bool rightFirst, double sourceDuration,
        std::optional<int> durationLimit, ProgressCallback progressHandler,
        const std::optional<Stereo3DMode>& packedLayout = std::nullopt, EyeSize frameSize = {},
        const SpatialMetadata& spatial = {});

    // The first `seconds` of a movie by stream copy, checked against what the
    // limit leaves of the source; returns what the cut holds.
    MovieExpectation cutMovie(const std::filesystem::path& source, const std::filesystem::path& output,
                              int seconds, const MovieExpectation& expected);

    // The disk route's decode and side-by-side encode.
    void decodeMVC(const std::filesystem::path& interleavedStream, const std::filesystem::path& workFolder,
                   long long estimatedFrameCount, ProgressCallback progressHandler);
    void encodeSBS(const std::filesystem::path& leftView, const std::filesystem::path& rightView,
                   const std::filesystem::path& sourceAudio, const std::filesystem::path& output,
                   QualityPreset qualityPreset, OutputCodec outputCodec, int viewWidth, int viewHeight,
                   int frameRateNum, int frameRateDen, ProgressCallback progressHandler,
                   double sourceDuration);

    // The streaming routes.
    void decodeSBSPipe(const StreamingDecodeRequest& request);
    void decodeSBSParallel(const StreamingDecodeRequest& request, bool directMVHEVC, bool streamMode,
                           long long estimatedStreamSize,
                           const std::optional<std::filesystem::path>& dualSplitMVCPath);
    std::optional<std::string> parallelPipelineScriptPath();
    bool hasDualSplitTools();
    void removeIntermediateFile(const std::filesystem::path& file, const std::string& label);

    // A side-by-side movie to MV-HEVC through StereoPacker.
    void convertToMVHEVC(const std::filesystem::path& input, const std::filesystem::path& output,
                         QualityPreset qualityPreset, ProgressCallback progressHandler,
                         const Stereo3DMode& layout = Stereo3DMode::sideBySide(),
                         const SpatialMetadata& spatial = {});

    // Every movie is written inside the run's work folder and only put in
    // place once checked. checkMovie reads it back with ffprobe and fails
    // with what is wrong (and the tool's own last word, `reason`).
    void checkMovie(const std::filesystem::path& movie, const MovieExpectation& expected,
                    const std::string& reason = {});
    // Renames the checked movie to `destination`. An existing file of that
    // name is replaced only when the job asks for it (never the source);
    // otherwise the movie takes the next free name, "Name (2).ext", and says
    // so. A name too long for the file system is shortened before its
    // extension, with a line. Returns where it went.
    std::filesystem::path publishMovie(const std::filesystem::path& written,
                                       const std::filesystem::path& destination,
                                       const std::filesystem::path& source);
    // At the start of a run: the source's size and modification time
    // (publishMovie puts nothing in place once they have changed) and the
    // job's choices about existing files, intermediates and damage.
    void startRun(const ConversionJob& job);
    // A picture the decoder had to conceal, at this time of the film. Any
    // thread. publishMovie refuses a movie with such pictures unless the job
    // accepts damage; then it says how many, once.
    void noteConcealedPicture(int view, double seconds);
    // Cancellation then reaches the helper processes of checks and probes too.
    ProcessTracker processTracker();

    void reportWork(const WorkProgress& work) const {
        if (onWork) onWork(work);
    }

    // The gated narration: reaches onLog only when verboseLogging is on.
    void engineLog(const std::string& line) const;
    // Relayed tool output and the few direct lines: always reach onLog.
    void directLog(const std::string& line) const;

  private:
    mutable std::mutex stateMutex_;
    std::shared_ptr<ChildProcess> currentProcess_;
    std::filesystem::path conversionScope_;
    struct SourceStamp {
        std::filesystem::path path;
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified;
    };
    std::optional<SourceStamp> sourceStamp_;
    struct RunChoices {
        bool replaceExisting = false;
        bool keepSBSIntermediate = true;
        bool acceptDamaged = false;
        std::string otherMachines;
    } runChoices_;
    std::vector<std::pair<int, double>> concealedPictures_; // guarded by stateMutex_
    bool damageReported_ = false;
    double secondsPerAccessUnit_ = 1001.0 / 24000; // of the source being converted
};

// The pkill pattern that matches processes of `toolName` whose command line
// mentions `scope`; exposed for tests.
std::string sweepPattern(const std::string& toolName, const std::filesystem::path& scope);

} // namespace duoscope
