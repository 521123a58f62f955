#include "CommandLineMode.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QTime>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>

#include "FFProbe.h"
#include "PipelineEngine.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

constexpr int buildNumber = 134;

// The system locale's time of day with seconds, without date or zone.
QString mediumTimeFormat() {
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}

std::optional<std::string> valueAfter(const std::vector<std::string>& arguments, const std::string& option) {
    for (size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i] == option) return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
    return std::nullopt;
}

std::string storedText(const char* key, const char* fallback) {
    QSettings settings("Duoscope", "Duoscope");
    QVariant value = settings.value(key);
    return value.isValid() ? value.toString().toStdString() : std::string(fallback);
}

} // namespace

std::pair<std::string, std::string> storedQualityAndTarget() {
    return {storedText("qualityPreset", "High Quality"), storedText("outputTarget", "Apple Vision Pro (MV-HEVC)")};
}

void cliLog(const std::string& message) {
    static std::mutex printMutex;
    std::string stamp = QLocale::system().toString(QTime::currentTime(), mediumTimeFormat()).toStdString();
    std::lock_guard lock(printMutex);
    std::cout << "[" << stamp << "] " << message << "\n" << std::flush;
}

QualityPreset commandLineQuality(const std::string& text) {
    if (text.find("Ultra") != std::string::npos) return QualityPreset::ultraHigh;
    if (text.find("High") != std::string::npos) return QualityPreset::high;
    return QualityPreset::medium;
}

OutputTarget commandLineTarget(const std::string& text) {
    return text.find("Vision") != std::string::npos ? OutputTarget::visionPro : OutputTarget::sbs3D;
}

std::optional<std::string> progressLine(ConversionStage stage, double fraction) {
    if (!std::isfinite(fraction)) return std::nullopt;
    auto percent = static_cast<long long>(fraction * 100);
    if (percent % 10 != 0) return std::nullopt;
    std::string line = "[";
    line.append(caseName(stage)).append("] ").append(std::to_string(percent)).append("%");
    return line;
}

int runCommandLineMode(const std::vector<std::string>& arguments) {
    auto input = valueAfter(arguments, "--input");
    if (!input) {
        std::cout << "Usage: Duoscope --input <file> --auto-convert [--output <dir>]\n";
        return 1;
    }
    fs::path outputFolder;
    if (auto output = valueAfter(arguments, "--output")) {
        outputFolder = *output;
    } else {
        outputFolder = fs::path(QDir::homePath().toStdString()) / "Desktop/Duoscope Output";
    }
    auto [qualityText, targetText] = storedQualityAndTarget();

    std::cout << "=== Duoscope CLI (Build " << buildNumber << ") ===\n"
              << "Input:  " << *input << "\n"
              << "Output: " << outputFolder.string() << "\n"
              << "Quality: " << qualityText << ", Target: " << targetText << "\n"
              << std::flush;

    std::error_code ignored;
    fs::create_directories(outputFolder, ignored);

    ConversionJob job;
    job.sourceURL = *input;
    job.outputDirectory = outputFolder;
    job.qualityPreset = commandLineQuality(qualityText);
    job.outputCodec = OutputCodec::h264;
    job.outputTarget = commandLineTarget(targetText);
    if (auto duration = valueAfter(arguments, "--duration")) job.durationLimit = parseWholeNumber(*duration);

    PipelineEngine engine;
    engine.onLog = cliLog;
    int status = 1;
    std::thread conversion([&] {
        try {
            auto result = engine.convert(
                job, std::nullopt,
                [](ConversionStage stage, double fraction) {
                    if (auto line = progressLine(stage, fraction)) cliLog(*line);
                },
                cliLog);
            cliLog("✅ Conversion complete: " + result.outputPath);
            status = 0;
        } catch (const std::exception& failure) {
            cliLog(std::string("❌ Pipeline failed: ") + failure.what());
        }
    });
    conversion.join();
    return status;
}

int runAnalyzeMode(const std::vector<std::string>& arguments, size_t position) {
    if (position + 1 >= arguments.size()) {
        std::cerr << "Usage: Duoscope --analyze <file>\n";
        return 1;
    }
    fs::path source = arguments[position + 1];
    std::error_code error;
    if (!fs::exists(source, error)) {
        std::cerr << "ERROR: File not found: " << source.string() << "\n";
        return 1;
    }
    if (fs::is_directory(source, error)) {
        std::cerr << "ERROR: Not a file: " << source.string() << "\n";
        return 1;
    }
    try {
        FFProbe probe;
        auto info = probe.probe(source);
        if (!info) {
            std::cerr << "ERROR: ffprobe could not analyse " << source.string() << "\n";
            return 1;
        }
        std::cout << "Source: " << info->fileName << "\n"
                  << "  Title:       " << info->title << "\n"
                  << "  Duration:    " << info->formattedDuration() << " (" << info->duration << " s)\n"
                  << "  Resolution:  " << info->resolution << " (" << info->videoWidth << "x" << info->videoHeight
                  << ")\n"
                  << "  Frame rate:  " << info->frameRateNum << "/" << info->frameRateDen << "\n"
                  << "  Stereo mode: " << info->stereoMode.text() << "\n"
                  << "  3D stream:   " << (info->hasMVCStream ? "yes" : "no") << "\n"
                  << "  MVC track:   "
                  << (info->mvcTrackIndex ? std::to_string(*info->mvcTrackIndex) : std::string("none")) << "\n";
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "ERROR: " << failure.what() << "\n";
        return 1;
    }
}

} // namespace duoscope
