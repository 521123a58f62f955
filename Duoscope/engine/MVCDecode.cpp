// The disk route's back end: ldecod writes both views as YUV files, then
// ffmpeg joins them side by side with the source's first audio track.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

// A per-call cell shared by a pipe reader and the waiting thread; the reader
// runs on the process's monitor thread only, so the splitter needs no lock.
struct LineReader {
    explicit LineReader(bool splitAtCarriageReturn) : splitter(splitAtCarriageReturn) {}
    LineSplitter splitter;
};

bool isEmptyOrMissing(const fs::path& file) {
    std::error_code error;
    return !fs::exists(file, error) || (fs::is_regular_file(file, error) && fs::file_size(file, error) == 0);
}

} // namespace

void PipelineEngine::decodeMVC(const fs::path& interleavedStream, const fs::path& workFolder,
                               long long estimatedFrameCount, ProgressCallback progressHandler) {
    auto ldecod = findTool("ldecod");
    if (!ldecod) throw ConversionError::toolNotFound(missingToolMessage("ldecod"));
    engineLog("Running ldecod...");

    fs::path link = workFolder / "input_stream.264";
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(interleavedStream, link);

    auto process = ChildProcess::create(
        {*ldecod,
         {"-p", "InputFile=input_stream.264", "-p", "OutputFile=output.yuv", "-p", "DecodeAllLayers=1"},
         workFolder,
         ChildProcess::Output::pipe,
         ChildProcess::Output::pipe});
    setCurrentProcess(process);

    auto recentErrors = std::make_shared<RecentLines>(50);
    auto errReader = std::make_shared<LineReader>(false);
    auto outReader = std::make_shared<LineReader>(false);
    auto lastLoggedFrame = std::make_shared<long long>(0);

    auto onErrorLine = [this, recentErrors](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        if (auto concealed = concealedPictureLine(line)) {
            noteConcealedPicture(concealed->first, concealed->second * secondsPerAccessUnit_);
            return;
        }
        recentErrors->append(line);
        if (contains(line, "Warning")) directLog(line);
    };
    auto onOutputLine = [this, estimatedFrameCount, progressHandler,
                         lastLoggedFrame](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        size_t digits = 0;
        while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
            ++digits;
        if (digits > 0) {
            long long frame = 0;
            auto [end, error] = std::from_chars(line.data(), line.data() + digits, frame);
            if (error != std::errc()) return;
            long long total = std::max(estimatedFrameCount, 1LL);
            if (estimatedFrameCount >= 1 && progressHandler)
                progressHandler(
                    ConversionStage::decoding,
                    0.50 + 0.20 * std::min(static_cast<double>(frame) / static_cast<double>(total), 1.0));
            reportWork({"Decoding MVC", frame, estimatedFrameCount >= 1 ? estimatedFrameCount : 0, {}});
            if (frame - *lastLoggedFrame >= 100) {
                *lastLoggedFrame = frame;
                directLog(estimatedFrameCount >= 1
                              ? "ldecod: decoded frame " + std::to_string(frame) + " / ~" +
                                    std::to_string(total)
                              : "ldecod: decoded frame " + std::to_string(frame) + "...");
            }
        } else if (contains(line, "frames are decoded") || contains(line, "Total decoding time")) {
            directLog(line);
        }
    };
    process->setStandardErrorHandler(
        [errReader, onErrorLine](std::string_view chunk) { errReader->splitter.feed(chunk, onErrorLine); });
    process->setStandardOutputHandler(
        [outReader, onOutputLine](std::string_view chunk) { outReader->splitter.feed(chunk, onOutputLine); });

    launchCurrentProcess(process);
    process->waitUntilExit();
    errReader->splitter.finish(onErrorLine);
    outReader->splitter.finish(onOutputLine);

    if (!recentErrors->empty()) engineLog(joined(recentErrors->last(10), "\n"));
    if (isCancelled) throw ConversionError::cancelled();
    int status = process->terminationStatus();
    if (status != 0 || process->wasKilledBySignal())
        throw ConversionError::decodingFailed(withReason("ldecod exited with code " + std::to_string(status),
                                                         lastMeaningfulLine(recentErrors->last(50))));
}

void PipelineEngine::encodeSBS(const fs::path& leftView, const fs::path& rightView,
                               const fs::path& sourceAudio, const fs::path& output,
                               QualityPreset qualityPreset, OutputCodec outputCodec, int viewWidth,
                               int viewHeight, int frameRateNum, int frameRateDen,
                               ProgressCallback progressHandler, double sourceDuration) {
    std::string durationText = shortestDecimal(sourceDuration);
    engineLog(std::string("Running ffmpeg to create Full SBS 3D (") +
              (outputCodec == OutputCodec::h265 ? "H.265 (HEVC)" : "H.264") + "), duration: " + durationText +
              "s");
    auto ffmpeg = findTool("ffmpeg");
    if (!ffmpeg) throw ConversionError::toolNotFound(missingToolMessage("ffmpeg"));

    auto arguments =
        encodeSBSArguments({leftView, rightView, sourceAudio, output, qualityPreset, outputCodec, viewWidth,
                            viewHeight, frameRateNum, frameRateDen, probeAudioCodec(sourceAudio)},
                           activeEncoderProfile());
    // Standard output is left unhandled: the process layer collects it while
    // ffmpeg runs, so the pipe never fills.
    auto process = ChildProcess::create({*ffmpeg, std::move(arguments), std::nullopt,
                                         ChildProcess::Output::pipe, ChildProcess::Output::pipe});
    setCurrentProcess(process);

    struct ErrorState {
        LineSplitter splitter{true};
        bool sawFirstLine = false;
        int lastLoggedPercent = -1;
    };
    auto state = std::make_shared<ErrorState>();
    auto recentErrors = std::make_shared<RecentLines>(20);
    auto onErrorLine = [this, state, recentErrors, progressHandler, sourceDuration, durationText,
                        frameRateNum, frameRateDen, output](const std::string& raw) {
        std::string line = trimmed(raw);
        if (line.empty()) return;
        recentErrors->append(line);
        if (!state->sawFirstLine) {
            state->sawFirstLine = true;
            directLog("ffmpeg stderr: " + leadingCharacters(line, 200));
            directLog("ffmpeg progress tracking: duration=" + durationText + "s");
        }
        if (sourceDuration <= 0) return;
        auto timeText = timeTextOfLine(line);
        if (!timeText) return;
        auto seconds = parseClockTime(*timeText);
        if (!seconds) return;
        double fraction = std::min(*seconds / sourceDuration, 1.0);
        if (progressHandler) progressHandler(ConversionStage::encoding, 0.70 + 0.15 * fraction);
        if (frameRateDen > 0) {
            double fps = static_cast<double>(frameRateNum) / frameRateDen;
            reportWork({"Encoding side by side", std::llround(*seconds * fps),
                        std::llround(sourceDuration * fps), output});
        }
        int percent = static_cast<int>(fraction * 10) * 10;
        if (percent > state->lastLoggedPercent && percent > 0) {
            state->lastLoggedPercent = percent;
            directLog("ffmpeg: " + std::to_string(percent) + "% — " + *timeText);
        }
    };
    process->setStandardErrorHandler(
        [state, onErrorLine](std::string_view chunk) { state->splitter.feed(chunk, onErrorLine); });

    launchCurrentProcess(process);
    process->waitUntilExit();
    state->splitter.finish(onErrorLine);
    std::string standardOutput = process->collectedStandardOutput();
    engineLog(isValidUTF8(standardOutput) ? standardOutput : std::string());

    if (isCancelled) throw ConversionError::cancelled();
    if (process->terminationStatus() != 0 || process->wasKilledBySignal()) {
        std::string errorText = joined(recentErrors->last(20), "\n");
        if (contains(errorText, "Encoder did not produce output"))
            throw ConversionError::encodingFailed("ffmpeg failed to produce output");
        engineLog("WARNING: ffmpeg stderr: " + leadingCharacters(errorText, 500));
        // A movie that ffmpeg gave up on is cut short, whatever is on disk.
        throw ConversionError::encodingFailed(
            withReason("ffmpeg exited with code " + std::to_string(process->terminationStatus()),
                       lastMeaningfulLine(recentErrors->last(20))));
    }
    // An empty file is what ffmpeg leaves when it fails before its first
    // packet; that is no movie.
    if (isEmptyOrMissing(output)) throw ConversionError::encodingFailed("Output file not created");
}

} // namespace duoscope
