#include "CommandLineMode.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QTime>
#include <signal.h>
#include <unistd.h>

#include <atomic>
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
        if (arguments[i] == option)
            return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
    return std::nullopt;
}

std::string storedText(const char* key, const char* fallback) {
    QSettings settings("Duoscope", "Duoscope");
    QVariant value = settings.value(key);
    return value.isValid() ? value.toString().toStdString() : std::string(fallback);
}

} // namespace

std::pair<std::string, std::string> storedQualityAndTarget() {
    return {storedText("qualityPreset", "High Quality"),
            storedText("outputTarget", "Apple Vision Pro (MV-HEVC)")};
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

namespace {

sigset_t interruptSignals() {
    sigset_t signalSet;
    sigemptyset(&signalSet);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signalSet, signalNumber);
    return signalSet;
}

// Waits for the interrupt signalSet on its own thread (they are blocked in every
// other): the first one cancels the run, which then fails and cleans up; a
// second one ends the program at once, taking every tool with it.
void watchInterrupts(std::shared_ptr<PipelineEngine> engine, std::shared_ptr<std::atomic<int>> received) {
    std::thread([engine, received] {
        sigset_t signalSet = interruptSignals();
        for (;;) {
            int signalNumber = 0;
            if (::sigwait(&signalSet, &signalNumber) != 0) continue;
            if (received->exchange(signalNumber) == 0) {
                engine->cancel();
                continue;
            }
            killAllProcessGroups();
            ::_exit(128 + signalNumber);
        }
    }).detach();
}

} // namespace

void blockInterruptSignals() {
    sigset_t signalSet = interruptSignals();
    ::pthread_sigmask(SIG_BLOCK, &signalSet, nullptr);
}

std::optional<int> commandLineDurationLimit(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    auto seconds = parseWholeNumber(*value);
    // Zero or less has nothing to convert: read it, like any other unusable
    // value, as no limit.
    if (!seconds || *seconds <= 0) return std::nullopt;
    return seconds;
}

int runCommandLineMode(const std::vector<std::string>& arguments) {
    auto input = valueAfter(arguments, "--input");
    if (!input) {
        std::cout << "Usage: Duoscope --input <file> --auto-convert [--output <dir>]\n"
                  << "  [--duration <seconds>] converts only the first seconds; 0, a negative number or\n"
                  << "  anything that is not a whole number converts everything.\n";
        return 1;
    }
    fs::path outputFolder;
    if (auto output = valueAfter(arguments, "--output")) {
        outputFolder = *output;
    } else {
        outputFolder = fs::path(QDir::homePath().toStdString()) / "Desktop/Duoscope Output";
    }
    // Tools run in work folders of their own: a relative path would mean
    // something else to them.
    std::error_code pathError;
    fs::path sourcePath = fs::absolute(*input, pathError).lexically_normal();
    outputFolder = fs::absolute(outputFolder, pathError).lexically_normal();
    auto [qualityText, targetText] = storedQualityAndTarget();

    std::cout << "=== Duoscope CLI (Build " << buildNumber << ") ===\n"
              << "Input:  " << *input << "\n"
              << "Output: " << outputFolder.string() << "\n"
              << "Quality: " << qualityText << ", Target: " << targetText << "\n"
              << std::flush;

    std::error_code ignored;
    fs::create_directories(outputFolder, ignored);

    ConversionJob job;
    job.sourceURL = sourcePath;
    job.outputDirectory = outputFolder;
    job.qualityPreset = commandLineQuality(qualityText);
    job.outputCodec = OutputCodec::h264;
    job.outputTarget = commandLineTarget(targetText);
    job.durationLimit = commandLineDurationLimit(valueAfter(arguments, "--duration"));

    // Shared with the interrupt watcher, which may outlive this frame.
    auto engine = std::make_shared<PipelineEngine>();
    engine->onLog = cliLog;
    auto receivedSignal = std::make_shared<std::atomic<int>>(0);
    watchInterrupts(engine, receivedSignal);
    int status = 1;
    std::thread conversion([&] {
        try {
            // The run clears the engine's flag when it starts: a stop that
            // came before must not be lost with it.
            if (*receivedSignal != 0) throw ConversionError::cancelled();
            auto result = engine->convert(
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
    // Whatever the cancellation's own sweep has not reached yet goes now.
    killAllProcessGroups();
    if (status != 0 && *receivedSignal != 0) return 128 + *receivedSignal;
    return status;
}

int runAnalyzeMode(const std::vector<std::string>& arguments, size_t position) {
    if (position + 1 >= arguments.size()) {
        std::cerr << "Usage: Duoscope --analyze <file>\n";
        return 1;
    }
    std::error_code error;
    fs::path source = fs::absolute(arguments[position + 1], error);
    if (auto problem = sourceProblem(source)) {
        std::cerr << "ERROR: " << *problem << "\n";
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
                  << "  Resolution:  " << info->resolution << " (" << info->videoWidth << "x"
                  << info->videoHeight << ")\n"
                  << "  Frame rate:  " << info->frameRateNum << "/" << info->frameRateDen << "\n"
                  << "  Stereo mode: " << info->stereoMode.text() << "\n"
                  << "  3D stream:   " << (info->hasMVCStream ? "yes" : "no") << "\n"
                  << "  MVC track:   "
                  << (info->mvcTrackIndex ? std::to_string(*info->mvcTrackIndex) : std::string("none"))
                  << "\n";
        return 0;
    } catch (const std::exception& failure) {
        std::cerr << "ERROR: " << failure.what() << "\n";
        return 1;
    }
}

} // namespace duoscope
