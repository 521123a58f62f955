// A side-by-side movie to an MV-HEVC movie through StereoPacker, after a
// Matroska intermediate has been remuxed into QuickTime.
#include <charconv>
#include <cstdio>

#include "EncodeSupport.h"
#include "EngineFiles.h"
#include "PipelineEngine.h"
#include "ToolLocator.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

// "Frame 12/48 (25.0%)" -> 25.0
std::optional<double> stereoPackerPercent(std::string_view line) {
    if (!startsWith(line, "Frame ")) return std::nullopt;
    size_t open = line.find('(');
    if (open == std::string_view::npos) return std::nullopt;
    size_t close = line.find("%)", open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view number = line.substr(open + 1, close - open - 1);
    double percent = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), percent);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return percent;
}

} // namespace

void PipelineEngine::convertToMVHEVC(const fs::path& inputMovie, const fs::path& output,
                                     QualityPreset qualityPreset, ProgressCallback progressHandler) {
    engineLog("Converting SBS → MV-HEVC spatial video...");
    fs::path input = inputMovie;
    if (lowercased(extensionOf(input)) == "mkv") {
        // Beside the output, which is the run's own folder: never next to a
        // file the run did not make.
        fs::path remuxed = output.parent_path() / input.filename();
        remuxed.replace_extension("mov");
        if (remuxed == output) remuxed.replace_filename(input.stem().string() + "_remuxed.mov");
        engineLog("Remuxing MKV → MOV for AVFoundation compatibility...");
        std::string ffmpeg = findTool("ffmpeg").value_or("/usr/local/bin/ffmpeg");
        std::error_code error;
        engineLog("ffmpeg path: " + ffmpeg);
        engineLog(std::string("ffmpeg exists: ") + (fs::exists(ffmpeg, error) ? "true" : "false"));
        auto remux = runCurrentProcess(
            {ffmpeg, withHEVCTagOnlyFor(mvhevcRemuxArguments(input, remuxed), probeVideoCodec(input)),
             std::nullopt, ChildProcess::Output::pipe, ChildProcess::Output::pipe});
        if (isCancelled) throw ConversionError::cancelled();
        if (remux->terminationStatus() != 0 || remux->wasKilledBySignal()) {
            std::string errorText = remux->collectedStandardError();
            if (!isValidUTF8(errorText)) errorText = "unknown error";
            std::vector<std::string> lines = splitAt(errorText, "\n");
            while (!lines.empty() && trimmed(lines.back()).empty())
                lines.pop_back();
            if (lines.size() > 5) lines.erase(lines.begin(), lines.end() - 5);
            std::string last = joined(lines, "\n");
            engineLog("ffmpeg remux error: " + last);
            throw ConversionError::encodingFailed("Failed to remux MKV → MOV: " + last);
        }
        engineLog("Remux complete: " + remuxed.filename().string());
        input = remuxed;
    }

    auto packer = findTool("StereoPacker");
    if (!packer) throw ConversionError::toolNotFound("StereoPacker not found in tools/");
    engineLog("StereoPacker path: " + *packer);
    engineLog("StereoPacker: " + input.filename().string() + " → " + output.filename().string());
    std::error_code error;
    engineLog(std::string("Input exists: ") + (fs::exists(input, error) ? "true" : "false") +
              ", size: " + std::to_string(fileSizeOrZero(input)) + " bytes");

    auto process =
        ChildProcess::create({*packer, stereoPackerArguments(input, output, qualityPreset), std::nullopt,
                              ChildProcess::Output::pipe, ChildProcess::Output::pipe});
    setCurrentProcess(process);
    auto splitter = std::make_shared<LineSplitter>(true);
    auto onLine = [this, progressHandler, output](const std::string& raw) {
        std::string line = trimmed(raw);
        auto percent = stereoPackerPercent(line);
        if (percent && progressHandler)
            progressHandler(ConversionStage::convertingMVHEVC, 0.85 + 0.13 * *percent / 100);
        long long done = 0, total = 0;
        if (percent && std::sscanf(line.c_str(), "Frame %lld/%lld", &done, &total) == 2)
            reportWork({"Encoding MV-HEVC", done, total, output});
    };
    process->setStandardOutputHandler(
        [splitter, onLine](std::string_view chunk) { splitter->feed(chunk, onLine); });
    launchCurrentProcess(process);
    process->waitUntilExit();
    splitter->finish(onLine);
    std::string errorText = process->collectedStandardError();
    if (!errorText.empty()) engineLog(errorText);

    if (isCancelled) throw ConversionError::cancelled();
    int status = process->terminationStatus();
    if (status != 0 || process->wasKilledBySignal())
        throw ConversionError::encodingFailed(
            withReason("StereoPacker exited with code " + std::to_string(status),
                       lastMeaningfulLine(splitLines(errorText))));
    if (!fs::exists(output, error))
        throw ConversionError::encodingFailed("StereoPacker did not produce output file");
}

} // namespace duoscope
