#include "CommandLineMode.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QTime>
#include <signal.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "DiscAnalysis.h"
#include "EncodeSupport.h"
#include "FFProbe.h"
#include "PipelineEngine.h"
#include "ProgressEstimate.h"
#include "Text.h"

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

} // namespace

std::optional<OutputTarget> targetFromFlag(std::string_view word) {
    std::string lower = lowercased(trimmed(word));
    if (lower == "sbs") return OutputTarget::sbs3D;
    if (lower == "mvhevc" || lower == "mv-hevc") return OutputTarget::visionPro;
    return outputTargetFromLabel(word);
}

std::optional<QualityPreset> qualityFromFlag(std::string_view word) {
    std::string lower = lowercased(trimmed(word));
    if (lower == "ultra") return QualityPreset::ultraHigh;
    if (lower == "high") return QualityPreset::high;
    if (lower == "balanced") return QualityPreset::medium;
    if (lower == "small") return QualityPreset::low;
    return qualityPresetFromLabel(word);
}

CommandLineChoices commandLineChoices(const ParsedCommandLine& commandLine) {
    CommandLineChoices choices;
    QSettings settings("Duoscope", "Duoscope");
    bool isReadable = settings.status() == QSettings::NoError;
    if (!isReadable)
        choices.warnings.push_back("WARNING: the settings file " + settings.fileName().toStdString() +
                                   " cannot be read; using the defaults");
    auto stored = [&](const char* key) -> std::optional<std::string> {
        QVariant value = isReadable ? settings.value(key) : QVariant();
        if (!value.isValid()) return std::nullopt;
        // INI files turn a text with commas (a list of machines) into a list.
        if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(", ").toStdString();
        return value.toString().toStdString();
    };
    auto take = [&](auto reading, auto& into) {
        into = reading.value;
        if (!reading.warning.empty()) choices.warnings.push_back(reading.warning);
    };
    take(readStoredChoice(stored("qualityPreset"), "qualityPreset", QualityPreset::high), choices.quality);
    take(readStoredChoice(stored("outputCodec"), "outputCodec", OutputCodec::h264), choices.codec);
    take(readStoredChoice(stored("outputTarget"), "outputTarget", OutputTarget::visionPro), choices.target);
    take(readStoredSwitch(stored("keepSBSIntermediate"), "keepSBSIntermediate", false),
         choices.keepSBSIntermediate);
    if (auto word = commandLine.value("--target")) {
        auto target = targetFromFlag(*word);
        if (!target) throw CommandLineUsageError("--target must be sbs or mvhevc, not '" + *word + "'");
        choices.target = *target;
    }
    if (auto word = commandLine.value("--quality")) {
        auto quality = qualityFromFlag(*word);
        if (!quality)
            throw CommandLineUsageError("--quality must be ultra, high, balanced or small, not '" + *word +
                                        "'");
        choices.quality = *quality;
    }
    if (commandLine.has("--keep-sbs")) choices.keepSBSIntermediate = true;
    choices.otherMachines = stored("otherMachines").value_or("");
    if (auto hosts = commandLine.value("--hosts")) choices.otherMachines = *hosts;
    return choices;
}

namespace {

std::mutex printMutex;
// The progress line at the foot of a terminal, while a run draws one; log
// lines are printed above it.
std::string* statusLine = nullptr;
bool isQuiet = false;

// "[<time>] " + message + "\n", the line form of the window's log too.
std::string stampedLine(const std::string& message) {
    return "[" + QLocale::system().toString(QTime::currentTime(), mediumTimeFormat()).toStdString() + "] " +
           message + "\n";
}

void printLogLine(const std::string& message) {
    std::string line = stampedLine(message);
    std::lock_guard lock(printMutex);
    if (statusLine) std::cout << "\r\x1b[K";
    std::cout << line;
    if (statusLine) std::cout << *statusLine;
    std::cout << std::flush;
}

class NullBuffer : public std::streambuf {
  protected:
    int overflow(int character) override { return traits_type::not_eof(character); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// The one line --quiet leaves: written past std::cout, which then holds
// nothing but the analysis trace and goes nowhere.
void printResultLine(const std::string& message) {
    if (!isQuiet) return printLogLine(message);
    std::string line = stampedLine(message);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace

void cliLog(const std::string& message) {
    if (!isQuiet) printLogLine(message);
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

namespace {

int terminalWidth() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

std::string megabytesText(const fs::path& file) {
    std::error_code error;
    auto bytes = fs::file_size(file, error);
    if (error) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// The progress of a run at a terminal: one line redrawn in place every
// second, so that the elapsed and remaining times move even while a tool says
// nothing; elsewhere (a file, a pipe) the time-stamped lines at every tenth.
class CommandLineProgress {
  public:
    explicit CommandLineProgress(bool isTerminal) : isTerminal_(isTerminal) {
        if (!isTerminal_ || isQuiet) return;
        ticker_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!isFinished_) {
                redraw(lock);
                wake_.wait_for(lock, std::chrono::seconds(1));
            }
        });
    }
    ~CommandLineProgress() { finish(); }

    void report(ConversionStage stage, double fraction) {
        if (!isTerminal_) {
            if (auto line = progressLine(stage, fraction)) cliLog(*line);
            return;
        }
        std::unique_lock lock(mutex_);
        estimate_.report(stage, fraction);
        hasReport_ = true;
    }
    void report(const WorkProgress& work) {
        std::unique_lock lock(mutex_);
        estimate_.report(work);
        hasReport_ = true;
    }
    // Clears the line before the result is printed.
    void finish() {
        {
            std::lock_guard lock(mutex_);
            if (isFinished_) return;
            isFinished_ = true;
        }
        wake_.notify_all();
        if (ticker_.joinable()) ticker_.join();
        std::lock_guard printLock(printMutex);
        if (statusLine) std::cout << "\r\x1b[K" << std::flush;
        statusLine = nullptr;
    }

  private:
    void redraw(std::unique_lock<std::mutex>&) {
        // The analysis prints its trace before the first report: no line
        // under it yet.
        if (!hasReport_) return;
        std::string line = estimate_.activity();
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(estimate_.fraction() * 100));
        line += percent;
        if (auto perSecond = estimate_.framesPerSecond()) {
            char rate[32];
            if (estimate_.work() && estimate_.work()->countsBytes)
                std::snprintf(rate, sizeof rate, " · %.0f MB/s", *perSecond / 1e6);
            else
                std::snprintf(rate, sizeof rate, " · %.1f fps", *perSecond);
            line += rate;
        }
        line += " · elapsed " + clockText(estimate_.elapsedSeconds());
        if (auto left = estimate_.remainingSeconds()) line += " · left " + clockText(*left);
        if (estimate_.work() && !estimate_.work()->outputFile.empty()) {
            std::string size = megabytesText(estimate_.work()->outputFile);
            if (!size.empty()) line += " · " + size;
        }
        // A line wider than the terminal wraps, and "\r" then redraws only
        // its last part.
        line = leadingCharacters(line, static_cast<size_t>(terminalWidth()) - 1);
        std::lock_guard printLock(printMutex);
        text_ = line;
        statusLine = &text_;
        std::cout << "\r\x1b[K" << text_ << std::flush;
    }

    bool isTerminal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool isFinished_ = false;
    bool hasReport_ = false;
    ProgressEstimate estimate_;
    std::string text_;
    std::thread ticker_;
};

} // namespace

int runCommandLineMode(const ParsedCommandLine& commandLine) {
    isQuiet = commandLine.has("--quiet");
    static NullBuffer nowhere;
    if (isQuiet) std::cout.rdbuf(&nowhere);
    auto input = commandLine.value("--input");
    if (!input) {
        std::cout << "Usage: Duoscope --input <file> --auto-convert [--output <dir>]\n"
                  << "  [--duration <seconds>] converts only the first seconds; 0, a negative number or\n"
                  << "  anything that is not a whole number converts everything.\n";
        return 1;
    }
    // A value that is no value is said before anything is made.
    ConversionJob stereoChoices;
    CommandLineChoices choices;
    try {
        applyStereoOptions(commandLine, stereoChoices);
        choices = commandLineChoices(commandLine);
    } catch (const CommandLineUsageError& mistake) {
        return reportUsageError(mistake);
    }
    fs::path outputFolder;
    if (auto output = commandLine.value("--output")) {
        outputFolder = *output;
    } else {
        // Without a home the default would be a folder at the file system's root.
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            std::cerr << "ERROR: there is no home folder (HOME is not set) to hold Desktop/Duoscope Output; "
                         "name the output folder with --output <dir>\n";
            return exitFailure;
        }
        outputFolder = fs::path(home) / "Desktop/Duoscope Output";
    }
    // Tools run in work folders of their own: a relative path would mean
    // something else to them.
    std::error_code pathError;
    fs::path sourcePath = fs::absolute(*input, pathError).lexically_normal();
    outputFolder = fs::absolute(outputFolder, pathError).lexically_normal();

    // The labels of what runs, not the stored texts: a misread setting must show.
    if (!isQuiet)
        std::cout << "=== Duoscope CLI (Build " << buildNumber << ") ===\n"
                  << "Input:  " << *input << "\n"
                  << "Output: " << outputFolder.string() << "\n"
                  << "Quality: " << rawValue(choices.quality) << ", Target: " << rawValue(choices.target)
                  << "\n"
                  << std::flush;
    for (const auto& warning : choices.warnings)
        std::cerr << warning << "\n";

    if (auto problem = discOutputProblem(sourcePath, outputFolder)) {
        std::cerr << "ERROR: " << *problem << "\n";
        return exitFailure;
    }
    std::error_code ignored;
    fs::create_directories(outputFolder, ignored);

    ConversionJob job;
    job.sourceURL = sourcePath;
    job.outputDirectory = outputFolder;
    job.qualityPreset = choices.quality;
    job.outputCodec = choices.codec;
    job.outputTarget = choices.target;
    job.durationLimit = commandLineDurationLimit(commandLine.value("--duration"));
    job.layoutChoice = stereoChoices.layoutChoice;
    job.rightFirst = stereoChoices.rightFirst;
    job.spatialMetadata = stereoChoices.spatialMetadata;
    job.discTitle = stereoChoices.discTitle;
    job.discPlaylist = stereoChoices.discPlaylist;
    job.audioLanguage = stereoChoices.audioLanguage;
    job.keepSBSIntermediate = choices.keepSBSIntermediate;
    job.otherMachines = choices.otherMachines;
    job.keepWorkFolder = commandLine.has("--keep-work");
    job.replaceExisting = commandLine.has("--overwrite");
    job.acceptDamaged = commandLine.has("--accept-damaged");

    // Shared with the interrupt watcher, which may outlive this frame.
    auto engine = std::make_shared<PipelineEngine>();
    engine->onLog = cliLog;
    CommandLineProgress progress(::isatty(STDOUT_FILENO) == 1);
    engine->onWork = [&progress](const WorkProgress& work) { progress.report(work); };
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
                [&progress](ConversionStage stage, double fraction) { progress.report(stage, fraction); },
                cliLog);
            progress.finish();
            printResultLine("✅ Conversion complete: " + result.outputPath);
            status = 0;
        } catch (const std::exception& failure) {
            progress.finish();
            printResultLine(std::string("❌ Pipeline failed: ") + failure.what());
        }
    });
    conversion.join();
    // The engine's tool readers may still report until the engine is gone.
    engine->onWork = nullptr;
    // Whatever the cancellation's own sweep has not reached yet goes now; the
    // sweep itself must be over before the program ends under it.
    killAllProcessGroups();
    if (*receivedSignal != 0) PipelineEngine::waitForCancelSweeps(std::chrono::seconds(5));
    if (status != 0 && *receivedSignal != 0) return 128 + *receivedSignal;
    return status;
}

namespace {

nlohmann::json analysisJson(const SourceFileInfo& info) {
    nlohmann::json tracks = nlohmann::json::array();
    for (const MediaTrack& track : info.tracks) {
        nlohmann::json entry = {{"index", track.index}, {"type", track.type}, {"codec", track.codec}};
        if (!track.language.empty()) entry["language"] = track.language;
        if (track.width > 0) {
            entry["width"] = track.width;
            entry["height"] = track.height;
        }
        if (track.channels > 0) entry["channels"] = track.channels;
        tracks.push_back(std::move(entry));
    }
    nlohmann::json frameRate = {{"numerator", info.frameRateNum}, {"denominator", info.frameRateDen}};
    if (info.frameRateDen > 0) frameRate["fps"] = static_cast<double>(info.frameRateNum) / info.frameRateDen;
    return {
        {"file", info.url.string()},
        {"fileName", info.fileName},
        {"title", info.title},
        {"duration", info.duration},
        {"width", info.videoWidth},
        {"height", info.videoHeight},
        {"resolution", info.resolution},
        {"frameRate", frameRate},
        {"layout", info.stereoMode.text()},
        {"layoutDescription", info.stereoMode.description()},
        {"rightFirst", info.stereoMode.rightFirst},
        {"eyeWidth", eyeSizeOf(info.stereoMode, info.videoWidth, info.videoHeight).width},
        {"eyeHeight", eyeSizeOf(info.stereoMode, info.videoWidth, info.videoHeight).height},
        {"tracks", tracks},
        {"halfSize", info.stereoMode.isHalf},
        {"layoutDecidedBy", info.layoutSignal},
        {"hasMVCStream", info.hasMVCStream},
        {"mvcTrackIndex", info.mvcTrackIndex ? nlohmann::json(*info.mvcTrackIndex) : nlohmann::json()},
    };
}

} // namespace

int runAnalyzeMode(const ParsedCommandLine& commandLine) {
    std::string argument = commandLine.value("--analyze").value_or("");
    bool asJson = commandLine.has("--json");
    std::error_code error;
    fs::path source = fs::absolute(argument, error);
    bool isDisc = isDiscSource(source);
    if (auto problem = sourceProblem(source); problem && !isDisc) {
        std::cerr << "ERROR: " << *problem << "\n";
        return 1;
    }
    // The user's word on the layout counts here as it would in a conversion;
    // a word that is no layout is said before the (slow) probe.
    ConversionJob choice;
    try {
        applyStereoOptions(commandLine, choice);
    } catch (const std::exception& failure) {
        std::cerr << "ERROR: " << failure.what() << "\n";
        return 1;
    }
    // The analysis narrates on standard output; with --json that belongs to
    // the one object, so the narration goes to standard error.
    std::streambuf* standardOutput = std::cout.rdbuf();
    if (asJson) std::cout.rdbuf(std::cerr.rdbuf());
    std::optional<SourceFileInfo> info;
    try {
        info = isDisc ? analyseDisc(source, {choice.discTitle, choice.discPlaylist, choice.audioLanguage},
                                    [](const std::string& line) { std::cout << line << "\n"; })
                      : FFProbe().probe(source);
        if (info && (choice.layoutChoice != LayoutChoice::automatic || choice.rightFirst))
            std::cout << applyLayoutChoice(*info, choice.layoutChoice, choice.rightFirst) << "\n";
    } catch (const std::exception& failure) {
        std::cout.rdbuf(standardOutput);
        std::cerr << "ERROR: " << failure.what() << "\n";
        return 1;
    }
    std::cout.rdbuf(standardOutput);
    if (!info) {
        std::cerr << "ERROR: ffprobe could not analyse " << source.string() << "\n";
        return 1;
    }
    if (asJson) {
        nlohmann::json report = analysisJson(*info);
        if (const auto& disc = info->disc)
            report["discTitle"] = {{"number", disc->titleNumber},
                                   {"playlist", disc->playlistName},
                                   {"reason", disc->reason},
                                   {"sound", disc->audioPid ? disc->audioDescription : std::string()},
                                   {"chapters", disc->chapters}};
        std::cout << report.dump(2) << "\n";
        return 0;
    }
    std::cout << "Source: " << info->fileName << "\n"
              << "  Title:       " << info->title << "\n"
              << "  Duration:    " << info->formattedDuration() << " (" << info->duration << " s)\n"
              << "  Resolution:  " << info->resolution << " (" << info->videoWidth << "x" << info->videoHeight
              << ")\n"
              << "  Frame rate:  " << info->frameRateNum << "/" << info->frameRateDen << "\n"
              << "  Stereo mode: " << info->stereoMode.text() << "\n"
              << "  Layout:      " << info->stereoMode.description() << "\n"
              << "  Decided by:  " << info->layoutSignal << "\n"
              << "  3D stream:   " << (info->hasMVCStream ? "yes" : "no") << "\n"
              << "  MVC track:   "
              << (info->mvcTrackIndex ? std::to_string(*info->mvcTrackIndex) : std::string("none")) << "\n";
    if (const auto& disc = info->disc)
        std::cout << "  Disc title:  " << disc->titleNumber << " (" << disc->playlistName
                  << "): " << disc->reason << "\n"
                  << "  Base view:   " << (info->stereoMode.rightFirst ? "right" : "left") << " eye\n"
                  << "  Sound:       " << (disc->audioPid ? disc->audioDescription : std::string("none"))
                  << "\n"
                  << "  Chapters:    " << disc->chapters.size() << "\n";
    return 0;
}

int runListTitlesMode(const ParsedCommandLine& commandLine) {
    std::string argument = commandLine.value("--list-titles").value_or("");
    try {
        std::cout << listDiscTitles(argument);
    } catch (const std::exception& failure) {
        std::cerr << "ERROR: " << failure.what() << "\n";
        return exitFailure;
    }
    return exitSuccess;
}

} // namespace duoscope
