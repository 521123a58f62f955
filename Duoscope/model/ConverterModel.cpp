#include "ConverterModel.h"

#include <cxxabi.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "FFProbe.h"
#include "Text.h"

namespace duoscope {

namespace fs = std::filesystem;

namespace {

const QStringList supportedExtensions{"mkv", "m2ts", "ts", "bluray", "mp4", "mov"};

QString qText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
fs::path toPath(const QString& path) {
    return fs::path(path.toStdString());
}
QString q(const fs::path& path) {
    return QString::fromStdString(path.string());
}
QString fileName(const QString& path) {
    return QFileInfo(path).fileName();
}

// Dropped, chosen and typed paths name the same file the same way.
QString canonicalURL(const QString& path) {
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// The locale's time of day with seconds, without date or zone.
QString mediumTimeText(const QTime& time) {
    QLocale locale;
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return locale.toString(time, format.trimmed());
}

// Runs `work` with the model on the main thread later, if the model still
// exists by then. Safe from any thread: the queued call goes through the
// application object and the weak pointer is only tested on the main thread.
template <typename F> void post(const QPointer<ConverterModel>& model, F work) {
    auto* application = QCoreApplication::instance();
    if (!application) return;
    QMetaObject::invokeMethod(
        application,
        [model, work = std::move(work)]() mutable {
            if (model) work(model.data());
        },
        Qt::QueuedConnection);
}

QString exceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return QString::fromUtf8(failure.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

// The dynamic type of the exception being handled, without its namespace.
QString currentExceptionTypeName() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) return QStringLiteral("Error");
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    QString name = QString::fromUtf8(status == 0 && demangled ? demangled : type->name());
    std::free(demangled);
    return name.mid(name.lastIndexOf(QLatin1String("::")) + (name.contains(QLatin1String("::")) ? 2 : 0));
}

// The session bus when this session has one. Asking Qt for it otherwise may
// make libdbus autolaunch a bus daemon that outlives the program.
QDBusConnection sessionBusIfPresent() {
    QString runtimeBus = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") && !QFileInfo::exists(runtimeBus))
        return QDBusConnection(QStringLiteral("duoscope-no-session-bus"));
    return QDBusConnection::sessionBus();
}

QSettings userSettings() {
    return QSettings(QStringLiteral("Duoscope"), QStringLiteral("Duoscope"));
}

// Analyses wait on ffprobe and the disk, for seconds on a slow one. Qt paints
// large areas with its global pool's threads, so analyses held there would stop
// the window from drawing; they get threads of their own. Never destroyed: its
// destructor would wait at exit for an ffprobe stuck on a hung disk.
QThreadPool* analysisPool() {
    static QThreadPool* pool = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(2);
        return made;
    }();
    return pool;
}

// A file without any video picture size is no video ffprobe could read.
QueuedFileState::Analysis analysisOf(const std::optional<SourceFileInfo>& info) {
    using Analysis = QueuedFileState::Analysis;
    if (!info || (!info->hasMVCStream && info->resolution == "Unknown")) return Analysis::unreadable;
    return info->hasMVCStream ? Analysis::stereo : Analysis::flat;
}

QString summaryText(int converted, int failed, int skipped) {
    QString text = QString::number(converted) + " converted, " + QString::number(failed) + " failed";
    if (skipped > 0) text += ", " + QString::number(skipped) + " skipped";
    return text;
}

} // namespace

QString QueuedFileState::text() const {
    switch (outcome) {
    case Outcome::converted:
        return QStringLiteral("done");
    case Outcome::failed:
        return "failed: " + reason;
    case Outcome::skipped:
        return "skipped: " + reason;
    case Outcome::converting:
    case Outcome::none:
        break;
    }
    switch (analysis) {
    case Analysis::analysing:
        return QString::fromUtf8("Analysing…");
    case Analysis::flat:
        return QStringLiteral("2D video");
    case Analysis::unreadable:
        return QStringLiteral("not a readable video");
    case Analysis::stereo:
        break;
    }
    return {};
}

ConverterModel::ConverterModel(QObject* parent)
    : QObject(parent), pipelineEngine_(std::make_unique<PipelineEngine>()) {
    QString desktop = QStandardPaths::standardLocations(QStandardPaths::DesktopLocation).value(0);
    if (!desktop.isEmpty()) outputDirectory_ = QDir(desktop).filePath(QStringLiteral("Duoscope Output"));

    QPointer<ConverterModel> self(this);
    pipelineEngine_->onLog = [self](const std::string& line) {
        post(self, [text = QString::fromStdString(line)](ConverterModel* model) { model->appendLog(text); });
    };
    pipelineEngine_->onWork = [self](const WorkProgress& work) {
        post(self, [work](ConverterModel* model) {
            if (model->isConverting_ && model->estimate_) model->estimate_->report(work);
        });
    };
    remainingTimeTimer_ = new QTimer(this);
    remainingTimeTimer_->setInterval(1000);
    connect(remainingTimeTimer_, &QTimer::timeout, this, &ConverterModel::refreshRemainingTime);
    sleepInhibitor_.onWarning = [this](const QString& line) { appendLog(line); };
    if (auto* application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, [this] {
            // Quitting while idle must not reach the engine's sweep of tools.
            if (isConverting_ || isRunActive()) cancelConversion();
        });
}

ConverterModel::~ConverterModel() {
    if (runThread_.joinable()) {
        if (runCancelRequested_) *runCancelRequested_ = true;
        pipelineEngine_->cancel();
        runThread_.join();
    }
}

template <typename T>
void ConverterModel::assign(T& field, const T& value, void (ConverterModel::*changed)()) {
    if (field == value) return;
    field = value;
    emit(this->*changed)();
}

template <typename T>
void ConverterModel::assignSetting(T& field, const T& value, void (ConverterModel::*changed)(),
                                   const char* key, const QVariant& stored) {
    assign(field, value, changed);
    userSettings().setValue(key, stored);
    resetIfComplete();
}

// ---- Settings, log, timing -------------------------------------------------

void ConverterModel::setOutputDirectory(const QString& folder) {
    assign(outputDirectory_, folder, &ConverterModel::outputDirectoryChanged);
    if (isInitialized_ && !folder.isEmpty()) userSettings().setValue("outputDirectory", folder);
}

void ConverterModel::setQualityPreset(QualityPreset preset) {
    assignSetting(qualityPreset_, preset, &ConverterModel::qualityPresetChanged, "qualityPreset",
                  qText(rawValue(preset)));
}

void ConverterModel::setOutputCodec(OutputCodec codec) {
    assignSetting(outputCodec_, codec, &ConverterModel::outputCodecChanged, "outputCodec",
                  qText(rawValue(codec)));
}

void ConverterModel::setOutputTarget(OutputTarget target) {
    assignSetting(outputTarget_, target, &ConverterModel::outputTargetChanged, "outputTarget",
                  qText(rawValue(target)));
}

void ConverterModel::setDebugLimitSeconds(int seconds) {
    assignSetting(debugLimitSeconds_, seconds, &ConverterModel::debugLimitSecondsChanged, "durationLimit",
                  seconds);
}

void ConverterModel::setKeepSBSIntermediate(bool keep) {
    assign(keepSBSIntermediate_, keep, &ConverterModel::keepSBSIntermediateChanged);
    userSettings().setValue("keepSBSIntermediate", keep);
}

void ConverterModel::setOtherMachines(const QString& hosts) {
    assign(otherMachines_, hosts.trimmed(), &ConverterModel::otherMachinesChanged);
    userSettings().setValue("otherMachines", otherMachines_);
}

void ConverterModel::setErrorMessage(const QString& message) {
    assign(errorMessage_, message, &ConverterModel::errorMessageChanged);
}

// The stored text of `key`, absent when nothing is stored. INI files turn a
// text with commas into a list; it is read back as it was written.
static std::optional<std::string> storedText(const QSettings& settings, const char* key) {
    QVariant value = settings.value(key);
    if (!value.isValid()) return std::nullopt;
    if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(", ").toStdString();
    return value.toString().toStdString();
}

void ConverterModel::loadSettings() {
    QSettings settings = userSettings();
    auto warn = [this](const std::string& warning) { appendLog(QString::fromStdString(warning)); };
    // A stored label sets its field; an unknown one leaves the default, says
    // so, and stays stored until the field is next set.
    auto apply = [&](const char* key, auto current, auto set) {
        auto stored = storedText(settings, key);
        if (!stored) return;
        auto choice = readStoredChoice(stored, key, current);
        if (choice.warning.empty())
            (this->*set)(choice.value);
        else
            warn(choice.warning);
    };
    QVariant folder = settings.value("outputDirectory");
    // What cannot be read is said once, never silently replaced by defaults.
    // (The file is read at the first value asked for.)
    if (settings.status() != QSettings::NoError)
        appendLog("WARNING: cannot read the settings file " + settings.fileName() + " (" +
                  (settings.status() == QSettings::AccessError ? "no access" : "not a settings file") +
                  "); using the defaults");
    if (folder.isValid() && !folder.toString().isEmpty() && QFileInfo::exists(folder.toString()))
        setOutputDirectory(folder.toString());
    apply("qualityPreset", qualityPreset_, &ConverterModel::setQualityPreset);
    apply("outputCodec", outputCodec_, &ConverterModel::setOutputCodec);
    apply("outputTarget", outputTarget_, &ConverterModel::setOutputTarget);
    if (auto limit = storedText(settings, "durationLimit")) {
        if (auto seconds = parseWholeNumber(trimmed(*limit)))
            setDebugLimitSeconds(*seconds);
        else
            warn("WARNING: setting durationLimit \"" + *limit +
                 "\" is not a whole number of seconds; using " + std::to_string(debugLimitSeconds_));
    }
    if (auto keep = storedText(settings, "keepSBSIntermediate")) {
        auto reading = readStoredSwitch(keep, "keepSBSIntermediate", keepSBSIntermediate_);
        if (reading.warning.empty())
            setKeepSBSIntermediate(reading.value);
        else
            warn(reading.warning);
    }
    if (auto hosts = storedText(settings, "otherMachines")) setOtherMachines(QString::fromStdString(*hosts));
    isInitialized_ = true;
}

void ConverterModel::appendLog(const QString& message) {
    logs_.append(QLatin1Char('[') + mediumTimeText(QTime::currentTime()) + QLatin1String("] ") + message);
    if (logs_.size() > logLimit) logs_.remove(0, logs_.size() - logLimit);
    emit logsChanged();
}

void ConverterModel::resetIfComplete() {
    if (currentStage_ != ConversionStage::complete) return;
    setCurrentStage(ConversionStage::idle);
    setProgress(0);
}

QString ConverterModel::timingSummaryText(const QDateTime& start, const QDateTime& end) {
    if (!start.isValid() || !end.isValid()) return {};
    QLocale locale;
    auto clock = [&](const QDateTime& time) {
        return locale.toString(time.time(), QStringLiteral("h:mm:ss AP"));
    };
    qint64 seconds = start.msecsTo(end) / 1000;
    QString duration = seconds < 60
                           ? QString::number(seconds) + "s"
                           : QString::number(seconds / 60) + "m " + QString::number(seconds % 60) + "s";
    return "Started: " + clock(start) + QString::fromUtf8(" · Finished: ") + clock(end) +
           QString::fromUtf8(" · Duration: ") + duration;
}

// ---- Plain setters of observable fields ------------------------------------

void ConverterModel::setIsParsing(bool parsing) {
    assign(isParsing_, parsing, &ConverterModel::isParsingChanged);
}
void ConverterModel::setCurrentStage(ConversionStage stage) {
    assign(currentStage_, stage, &ConverterModel::currentStageChanged);
}
void ConverterModel::setProgress(double value) {
    assign(progress_, value, &ConverterModel::progressChanged);
}
void ConverterModel::setEstimatedTimeRemaining(const QString& text) {
    assign(estimatedTimeRemaining_, text, &ConverterModel::estimatedTimeRemainingChanged);
}
void ConverterModel::setIsConverting(bool converting) {
    assign(isConverting_, converting, &ConverterModel::isConvertingChanged);
}

// ---- Intake ----------------------------------------------------------------

bool ConverterModel::isSupportedFile(const QString& path) {
    // A disc backup comes as a folder, its BDMV folder, an image, or a playlist or clip inside it.
    return supportedExtensions.contains(QFileInfo(path).suffix().toLower()) || isDiscSource(toPath(path));
}

void ConverterModel::addFiles(const QStringList& paths) {
    assign(wasCancelled_, false, &ConverterModel::wasCancelledChanged);
    resetIfComplete();
    QStringList kept;
    for (const QString& path : paths)
        if (isSupportedFile(path)) kept.append(canonicalURL(path));
    if (kept.isEmpty()) {
        setErrorMessage(QStringLiteral("No supported video files found."));
        return;
    }
    bool grew = false;
    for (const QString& path : kept) {
        if (fileQueue_.contains(path)) continue;
        fileQueue_.append(path);
        grew = true;
        analyzeQueuedFile(path);
    }
    if (grew) emit fileQueueChanged();
    if (sourceFileURL_.isEmpty() && !fileQueue_.isEmpty()) selectFile(fileQueue_.first());
    appendLog("Queue: " + QString::number(fileQueue_.size()) + " file(s)");
}

void ConverterModel::selectFile(const QString& path) {
    assign(sourceFileURL_, canonicalURL(path), &ConverterModel::sourceFileURLChanged);
    cachedSBS_.reset();
    appendLog("Selected file: " + fileName(path));
    analyzeSelectedFile(sourceFileURL_);
}

void ConverterModel::analyzeSelectedFile(const QString& path) {
    // Started at once rather than later, so that a run waiting for this file's
    // analysis sees it running and never judges the previous file's result.
    quint64 generation = ++selectionGeneration_;
    setIsParsing(true);
    setAnalysis(path, QueuedFileState::Analysis::analysing);
    appendLog(QStringLiteral("Parsing source file metadata..."));
    appendLog("File path: " + path);

    // Even the file's size is read off the window's thread: a slow or hung
    // disk must not freeze the window.
    QPointer<ConverterModel> self(this);
    analysisPool()->start([self, path, generation, choice = discChoice(path)] {
        std::error_code sizeError;
        auto size = fs::file_size(toPath(path), sizeError);
        post(self, [text = "File size: " + QString::number(sizeError ? 0 : size / 1000000) +
                           " MB"](ConverterModel* model) { model->appendLog(text); });
        FFProbe probe;
        probe.onLog = [self](const std::string& line) {
            post(self,
                 [text = QString::fromStdString(line)](ConverterModel* model) { model->appendLog(text); });
        };
        std::optional<SourceFileInfo> info;
        std::exception_ptr error;
        QString typeName;
        try {
            info = isDiscSource(toPath(path)) ? analyseDisc(toPath(path), choice, probe.onLog)
                                              : probe.probe(toPath(path));
        } catch (...) {
            error = std::current_exception();
            typeName = currentExceptionTypeName();
        }
        post(self, [=](ConverterModel* model) {
            model->setAnalysis(path, error ? QueuedFileState::Analysis::unreadable : analysisOf(info));
            // A result for a selection that has moved on is of no use.
            if (generation != model->selectionGeneration_) return;
            if (error) {
                QString description = exceptionText(error);
                model->setErrorMessage("Failed to parse file: " + description);
                model->appendLog("ERROR type: " + typeName);
                model->appendLog("ERROR detail: " + description);
                model->appendLog("ERROR: " + description);
            } else if (info) {
                model->sourceInfo_ = info;
                emit model->sourceInfoChanged();
                // A queue's run judges each file by its entry here.
                if (model->fileQueue_.contains(path)) {
                    model->fileInfoMap_.insert(path, *info);
                    emit model->fileInfoMapChanged();
                }
                if (info->hasMVCStream) {
                    model->setErrorMessage({});
                    model->appendLog("Source parsed: " + QString::fromStdString(info->resolution) + ", " +
                                     QString::fromStdString(info->formattedDuration()) +
                                     ", mode: " + QString::fromStdString(info->stereoMode.text()) +
                                     ", MVC track: " + QString::number(info->mvcTrackIndex.value_or(-1)));
                } else if (analysisOf(info) == QueuedFileState::Analysis::unreadable) {
                    // Not a video at all: "no 3D stream" would send the user looking for the wrong fault.
                    QString text = fileName(path) + " is not a readable video";
                    model->setErrorMessage(text);
                    model->appendLog("WARNING: " + text);
                } else {
                    model->setErrorMessage(QStringLiteral(
                        "No 3D stream detected. Select a Blu-ray 3D .m2ts or MakeMKV 3D .mkv file."));
                    model->appendLog(QStringLiteral("WARNING: No 3D stream detected (no MVC tracks, no "
                                                    "stereo_mode tag, no Stereo 3D side data)"));
                }
            }
            model->setIsParsing(false);
        });
    });
}

void ConverterModel::analyzeQueuedFile(const QString& path) {
    setAnalysis(path, QueuedFileState::Analysis::analysing);
    QPointer<ConverterModel> self(this);
    analysisPool()->start([self, path, choice = discChoice(path)] {
        FFProbe probe;
        std::optional<SourceFileInfo> info;
        std::exception_ptr error;
        try {
            info = isDiscSource(toPath(path)) ? analyseDisc(toPath(path), choice) : probe.probe(toPath(path));
        } catch (...) {
            error = std::current_exception();
        }
        post(self, [=](ConverterModel* model) {
            model->setAnalysis(path, error ? QueuedFileState::Analysis::unreadable : analysisOf(info));
            if (error) {
                model->appendLog("Failed to parse " + fileName(path) + ": " + exceptionText(error));
                return;
            }
            // A file removed meanwhile keeps no entry.
            if (info && model->fileQueue_.contains(path))
                model->fileInfoMap_.insert(path, *info);
            else if (!model->fileInfoMap_.remove(path))
                return;
            emit model->fileInfoMapChanged();
        });
    });
}

void ConverterModel::setAnalysis(const QString& path, QueuedFileState::Analysis analysis) {
    QueuedFileState& state = fileStates_[path];
    if (state.analysis == analysis) return;
    state.analysis = analysis;
    emit fileStatesChanged();
}

void ConverterModel::setOutcome(const QString& path, QueuedFileState::Outcome outcome,
                                const QString& reason) {
    QueuedFileState& state = fileStates_[path];
    if (state.outcome == outcome && state.reason == reason) return;
    state.outcome = outcome;
    state.reason = reason;
    emit fileStatesChanged();
}

bool ConverterModel::canConvert() const {
    using Analysis = QueuedFileState::Analysis;
    if (outputDirectory_.isEmpty() || isConverting_) return false;
    // A layout the user chose stands in for one the analysis did not find.
    auto convertible = [&](const QString& file, Analysis analysis) {
        return analysis == Analysis::stereo ||
               (analysis == Analysis::flat && layoutChoice(file) != LayoutChoice::automatic);
    };
    if (fileQueue_.size() >= 2)
        return std::any_of(fileQueue_.begin(), fileQueue_.end(),
                           [&](const QString& file) { return convertible(file, fileState(file).analysis); });
    // The analysis must be the selected file's own, not the previous selection's.
    return !sourceFileURL_.isEmpty() && sourceInfo_ && q(sourceInfo_->url) == sourceFileURL_ &&
           convertible(sourceFileURL_, analysisOf(sourceInfo_));
}

void ConverterModel::removeFromQueue(int index) {
    assign(wasCancelled_, false, &ConverterModel::wasCancelledChanged);
    if (index < 0 || index >= fileQueue_.size()) return;
    QString removed = fileQueue_.takeAt(index);
    emit fileQueueChanged();
    if (fileStates_.remove(removed)) emit fileStatesChanged();
    if (fileInfoMap_.remove(removed)) emit fileInfoMapChanged();
    appendLog("Removed from queue: " + fileName(removed));
    if (!fileQueue_.isEmpty()) {
        if (removed == sourceFileURL_) selectFile(fileQueue_.first());
        return;
    }
    clearSelection();
}

// Any analysis still running for the old selection is dropped when it returns.
void ConverterModel::clearSelection() {
    ++selectionGeneration_;
    setIsParsing(false);
    assign(sourceFileURL_, QString(), &ConverterModel::sourceFileURLChanged);
    if (sourceInfo_) {
        sourceInfo_.reset();
        emit sourceInfoChanged();
    }
}

void ConverterModel::resetAll() {
    assign(wasCancelled_, false, &ConverterModel::wasCancelledChanged);
    // Clearing the display must not leave a run going on behind it.
    if (isConverting_) cancelConversion();
    setIsConverting(false);
    setCurrentStage(ConversionStage::idle);
    setProgress(0);
    setErrorMessage({});
    assign(conversionStartTime_, QDateTime(), &ConverterModel::conversionStartTimeChanged);
    assign(conversionEndTime_, QDateTime(), &ConverterModel::conversionEndTimeChanged);
    setEstimatedTimeRemaining({});
    assign(fileQueue_, QStringList(), &ConverterModel::fileQueueChanged);
    assign(currentQueueIndex_, 0, &ConverterModel::currentQueueIndexChanged);
    assign(batchCompletedCount_, 0, &ConverterModel::batchCompletedCountChanged);
    assign(isBatchMode_, false, &ConverterModel::isBatchModeChanged);
    assign(lastOutputURL_, QString(), &ConverterModel::lastOutputURLChanged);
    assign(batchOutputURLs_, QStringList(), &ConverterModel::batchOutputURLsChanged);
    assign(runSummary_, QString(), &ConverterModel::runSummaryChanged);
    if (!fileStates_.isEmpty()) {
        fileStates_.clear();
        emit fileStatesChanged();
    }
    clearSelection();
}

void ConverterModel::chooseOutputDirectory() {
    if (!folderChooser_) return;
    auto folder = folderChooser_(QStringLiteral("Select Output Directory"));
    if (!folder || folder->isEmpty()) return;
    setOutputDirectory(*folder);
    appendLog("Output directory set to: " + *folder);
}

void ConverterModel::handleCommandLineArguments(const QStringList& givenArguments) {
    if (cliArgsHandled_) return;
    QStringList arguments = givenArguments.isEmpty() ? QCoreApplication::arguments() : givenArguments;
    qsizetype input = arguments.indexOf(QStringLiteral("--input"));
    if (input < 0 || input + 1 >= arguments.size()) return;
    cliArgsHandled_ = true;
    addFiles({arguments[input + 1]});
    // Without "--output" the folder the user chose last time stays: opening a
    // file must not quietly replace a saved choice.
    qsizetype output = arguments.indexOf(QStringLiteral("--output"));
    if (output >= 0 && output + 1 < arguments.size())
        setOutputDirectory(QFileInfo(arguments[output + 1]).absoluteFilePath());
}

void ConverterModel::handleDrop(const QStringList& paths) {
    resetAll();
    if (paths.size() != 1) {
        addFiles(paths);
        return;
    }
    if (!isSupportedFile(paths.first())) {
        setErrorMessage(QStringLiteral("Unsupported file format. Please use MKV, M2TS, MP4, or MOV."));
        return;
    }
    selectFile(paths.first());
    assign(fileQueue_, QStringList{sourceFileURL_}, &ConverterModel::fileQueueChanged);
}

void ConverterModel::handleOpenPanelChoice(const QStringList& paths) {
    if (paths.size() == 1 && isSupportedFile(paths.first())) {
        selectFile(paths.first());
        assign(fileQueue_, QStringList{sourceFileURL_}, &ConverterModel::fileQueueChanged);
    } else if (!paths.isEmpty()) {
        addFiles(paths);
    }
}

// ---- Runs ------------------------------------------------------------------

void ConverterModel::startConversion() {
    if (outputDirectory_.isEmpty()) {
        setErrorMessage(QStringLiteral("No output directory selected"));
        return;
    }
    if (isConverting_) return;
    if (isRunActive()) {
        // A cancelled run is still stopping its tools; start once it has.
        startPending_ = true;
        return;
    }
    if (fileQueue_.size() >= 2) {
        runFiles_ = fileQueue_;
        assign(isBatchMode_, true, &ConverterModel::isBatchModeChanged);
    } else if (sourceFileURL_.isEmpty()) {
        setErrorMessage(QStringLiteral("No source file selected"));
        return;
    } else {
        runFiles_ = {sourceFileURL_};
        assign(isBatchMode_, false, &ConverterModel::isBatchModeChanged);
    }
    setIsConverting(true);
    assign(batchCompletedCount_, 0, &ConverterModel::batchCompletedCountChanged);
    batchFailedCount_ = batchSkippedCount_ = 0;
    failureNotes_.clear();
    assign(runSummary_, QString(), &ConverterModel::runSummaryChanged);
    for (const QString& file : runFiles_)
        setOutcome(file, QueuedFileState::Outcome::none);
    assign(currentQueueIndex_, 0, &ConverterModel::currentQueueIndexChanged);
    assign(batchOutputURLs_, QStringList(), &ConverterModel::batchOutputURLsChanged);
    assign(conversionStartTime_, QDateTime::currentDateTime(), &ConverterModel::conversionStartTimeChanged);
    assign(conversionEndTime_, QDateTime(), &ConverterModel::conversionEndTimeChanged);
    pipelineEngine_->isCancelled = false;
    ++runId_;
    runCancelRequested_ = std::make_shared<std::atomic<bool>>(false);
    runOutputDirectory_ = outputDirectory_;

    // Nothing is written into a disc backup, not even the output folder.
    for (const QString& file : runFiles_)
        if (auto problem = discOutputProblem(toPath(file), toPath(runOutputDirectory_))) {
            failRun(std::make_exception_ptr(std::runtime_error(*problem)));
            return;
        }
    std::error_code error;
    fs::create_directories(toPath(runOutputDirectory_), error);
    if (error) {
        failRun(std::make_exception_ptr(std::system_error(error, "Cannot create the output folder " +
                                                                     runOutputDirectory_.toStdString())));
        return;
    }
    processFile(0);
}

bool ConverterModel::runWasCancelled() const {
    return pipelineEngine_->isCancelled || (runCancelRequested_ && *runCancelRequested_);
}

void ConverterModel::processFile(int index) {
    if (runWasCancelled() || index >= runFiles_.size()) {
        finishRun();
        return;
    }
    assign(currentQueueIndex_, index, &ConverterModel::currentQueueIndexChanged);
    setCurrentStage(ConversionStage::demuxing);
    setProgress(0);
    setEstimatedTimeRemaining({});
    estimate_.emplace();
    assign(wasCancelled_, false, &ConverterModel::wasCancelledChanged);
    remainingTimeTimer_->start();
    setErrorMessage({});
    if (isBatchMode_) {
        // Each file's own analysis decides; it was started when the file was queued.
        if (!fileStates_.contains(runFiles_[index])) analyzeQueuedFile(runFiles_[index]);
        awaitAnalysis(index, 0);
        return;
    }
    appendLog("=== Starting conversion pipeline (Build " + QString::number(buildNumber) + ") ===");
    convertCurrentFile(index);
}

void ConverterModel::awaitAnalysis(int index, int pauses) {
    using Analysis = QueuedFileState::Analysis;
    if (runWasCancelled()) {
        failRun(std::make_exception_ptr(ConversionError::cancelled()));
        return;
    }
    const QString& file = runFiles_[index];
    Analysis analysis = fileState(file).analysis;
    if (analysis == Analysis::analysing && pauses < 600) {
        quint64 run = runId_;
        QTimer::singleShot(100, this, [this, run, index, pauses] {
            if (run == runId_) awaitAnalysis(index, pauses + 1);
        });
        return;
    }
    auto skip = [&](const QString& reason) {
        setOutcome(file, QueuedFileState::Outcome::skipped, reason);
        ++batchSkippedCount_;
        processFile(index + 1);
    };
    if (analysis == Analysis::analysing) {
        appendLog("WARNING: Parsing timed out for " + fileName(file) + " after 60s, skipping");
        skip(QStringLiteral("analysis timed out"));
        return;
    }
    // A layout the user chose stands in for one the analysis did not find.
    bool hasChosenLayout = analysis == Analysis::flat && layoutChoice(file) != LayoutChoice::automatic;
    if (analysis != Analysis::stereo && !hasChosenLayout) {
        appendLog("WARNING: No 3D stream in " + fileName(file) + ", skipping");
        skip(analysis == Analysis::flat ? QStringLiteral("2D video")
                                        : QStringLiteral("not a readable video"));
        return;
    }
    makeCurrent(file);
    appendLog("=== Converting " + QString::number(index + 1) + " of " + QString::number(runFiles_.size()) +
              ": " + fileName(file) + " ===");
    convertCurrentFile(index);
}

// The batch's file becomes the current source with the analysis it already
// has; probing it again would only cost time.
void ConverterModel::makeCurrent(const QString& path) {
    ++selectionGeneration_;
    setIsParsing(false);
    assign(sourceFileURL_, path, &ConverterModel::sourceFileURLChanged);
    cachedSBS_.reset();
    appendLog("Selected file: " + fileName(path));
    if (auto found = fileInfoMap_.constFind(path); found != fileInfoMap_.constEnd())
        sourceInfo_ = *found;
    else if (sourceInfo_ && q(sourceInfo_->url) != path)
        sourceInfo_.reset(); // the engine then analyses the file itself
    emit sourceInfoChanged();
}

void ConverterModel::convertCurrentFile(int index) {
    quint64 run = runId_;
    const QString& file = runFiles_[index];
    setOutcome(file, QueuedFileState::Outcome::converting);
    sleepInhibitor_.hold(fileName(file));
    convertFile(file, runOutputDirectory_,
                [this, run, index](std::optional<ConversionResult> result, std::exception_ptr error) {
                    if (run != runId_) return;
                    if (error) {
                        fileFailed(index, error);
                        return;
                    }
                    setOutcome(runFiles_[index], QueuedFileState::Outcome::converted);
                    fileConverted(*result);
                    processFile(index + 1);
                });
}

// A failed file of a queue is noted and the queue goes on, as a user of a
// batch converter expects; a single file's failure ends its run.
void ConverterModel::fileFailed(int index, std::exception_ptr error) {
    if (!isBatchMode_ || runWasCancelled()) {
        failRun(error);
        return;
    }
    const QString& file = runFiles_[index];
    QString description = exceptionText(error);
    setOutcome(file, QueuedFileState::Outcome::failed, description);
    ++batchFailedCount_;
    failureNotes_.append(fileName(file) + ": " + description);
    appendLog("ERROR: " + fileName(file) + ": " + description);
    processFile(index + 1);
}

void ConverterModel::fileConverted(const ConversionResult& result) {
    QString output = QString::fromStdString(result.outputPath);
    assign(lastOutputURL_, output, &ConverterModel::lastOutputURLChanged);
    batchOutputURLs_.append(output);
    emit batchOutputURLsChanged();
    assign(batchCompletedCount_, batchCompletedCount_ + 1, &ConverterModel::batchCompletedCountChanged);
}

void ConverterModel::convertFile(const QString& path, const QString& outputDirectory, Completion completion) {
    int effectiveLimit = debugLimitSeconds_ >= 1 ? debugLimitSeconds_ : 0;
    QPointer<ConverterModel> self(this);
    quint64 run = runId_;
    auto cancelRequested = runCancelRequested_;
    PipelineEngine* engine = pipelineEngine_.get();

    ProgressCallback progress = [self, run, cancelRequested, engine](ConversionStage stage, double value) {
        // A cancel that landed before the engine reset its own flag still stops it here.
        if (*cancelRequested && !engine->isCancelled) engine->cancel();
        post(self, [=](ConverterModel* model) {
            if (run != model->runId_ || !model->isConverting_) return;
            model->setCurrentStage(stage);
            model->setProgress(value);
            if (model->estimate_) model->estimate_->report(stage, value);
            model->refreshRemainingTime();
        });
    };
    LogCallback log = [self](const std::string& line) {
        post(self, [text = QString::fromStdString(line)](ConverterModel* model) { model->appendLog(text); });
    };

    ConversionJob job;
    job.sourceURL = toPath(path);
    job.outputDirectory = toPath(outputDirectory);
    job.qualityPreset = qualityPreset_;
    job.outputCodec = outputCodec_;
    job.outputTarget = outputTarget_;
    if (effectiveLimit >= 1) job.durationLimit = effectiveLimit;
    job.layoutChoice = layoutChoice(path);
    job.spatialMetadata = spatialMetadata_;
    job.discPlaylist = discChoice(path).playlist;
    job.audioLanguage = discChoice(path).audioLanguage;
    job.otherMachines = otherMachines_.toStdString();

    const auto& cached = cachedSBS_;
    if (outputTarget_ == OutputTarget::visionPro && cached && cached->sourceURL == path &&
        cached->qualityPreset == qualityPreset_ && cached->outputCodec == outputCodec_ &&
        cached->durationLimit == effectiveLimit && cached->layoutChoice == layoutChoice(path) &&
        QFileInfo::exists(cached->sbsURL)) {
        appendLog(QString::fromUtf8("✅ Reusing cached SBS: ") + fileName(cached->sbsURL));
        // The engine's own run, with its work folder, check, publication and
        // clean-up after a stop or a failure, only from the kept movie.
        job.keptSideBySide = toPath(cached->sbsURL);
        // The source's own analysis spares the engine a probe of a file it will not read.
        std::optional<SourceFileInfo> info;
        if (sourceInfo_ && sourceInfo_->url == job.sourceURL) info = sourceInfo_;
        startEngineWork([=] { return engine->convert(job, info, progress, log); }, std::move(completion));
        return;
    }

    // An analysis of another file (the selection moved on meanwhile) would
    // mislead the engine; without one it analyses the source itself.
    std::optional<SourceFileInfo> info;
    if (sourceInfo_ && sourceInfo_->url == job.sourceURL) info = sourceInfo_;

    auto finished = [this, path, effectiveLimit, completion = std::move(completion)](
                        std::optional<ConversionResult> result, std::exception_ptr error) {
        if (result && result->sbsIntermediatePath) {
            QString intermediate = QString::fromStdString(*result->sbsIntermediatePath);
            if (outputTarget_ == OutputTarget::visionPro && !keepSBSIntermediate_) {
                std::error_code ignored;
                fs::remove(toPath(intermediate), ignored);
                appendLog(QString::fromUtf8(
                    "🗑 Removed SBS intermediate (toggle 'Keep SBS intermediate' to keep it)"));
                cachedSBS_.reset();
            } else {
                cachedSBS_ = CachedSBS{path,         intermediate,   qualityPreset_,
                                       outputCodec_, effectiveLimit, layoutChoice(path)};
                appendLog(QString::fromUtf8("💾 Cached SBS for reuse: ") + fileName(intermediate));
            }
        }
        completion(std::move(result), error);
    };
    startEngineWork([=] { return engine->convert(job, info, progress, log); }, std::move(finished));
}

void ConverterModel::startEngineWork(std::function<ConversionResult()> work, Completion completion) {
    if (runThread_.joinable()) runThread_.join();
    QPointer<ConverterModel> self(this);
    runThread_ = std::thread([self, work = std::move(work), completion = std::move(completion)] {
        std::optional<ConversionResult> result;
        std::exception_ptr error;
        try {
            result = work();
        } catch (...) {
            error = std::current_exception();
        }
        post(self, [=](ConverterModel* model) {
            // This call is the worker's last act, so the join is immediate.
            if (model->runThread_.joinable()) model->runThread_.join();
            completion(result, error);
        });
    });
}

void ConverterModel::finishRun() {
    if (runWasCancelled()) {
        appendLog(QStringLiteral("Conversion cancelled"));
        setIsConverting(false);
        runEnded();
        return;
    }
    setEstimatedTimeRemaining({});
    if (isBatchMode_) {
        finishBatch();
        return;
    }
    setCurrentStage(ConversionStage::complete);
    setProgress(1);
    assign(conversionEndTime_, QDateTime::currentDateTime(), &ConverterModel::conversionEndTimeChanged);
    appendLog(QStringLiteral("=== Conversion complete! ==="));
    if (!lastOutputURL_.isEmpty()) {
        appendLog("Output: " + lastOutputURL_);
        sendNotification("Conversion complete: " + fileName(lastOutputURL_));
    }
    setIsConverting(false);
    runEnded();
}

// A batch is a success only when every file it tried was converted; any
// failure (or nothing converted at all) leaves it failed, with each failed
// file's reason in the message.
void ConverterModel::finishBatch() {
    QString summary = summaryText(batchCompletedCount_, batchFailedCount_, batchSkippedCount_);
    assign(runSummary_, summary, &ConverterModel::runSummaryChanged);
    appendLog("=== Batch complete: " + summary + " ===");
    sendNotification("Batch complete: " + summary);
    if (batchFailedCount_ == 0 && batchCompletedCount_ > 0) {
        setCurrentStage(ConversionStage::complete);
        setProgress(1);
        assign(conversionEndTime_, QDateTime::currentDateTime(), &ConverterModel::conversionEndTimeChanged);
    } else {
        QString details = failureNotes_.isEmpty() ? QString() : " (" + failureNotes_.join("; ") + ")";
        setErrorMessage(summary + details);
        setCurrentStage(ConversionStage::failed);
    }
    setIsConverting(false);
    runEnded();
}

void ConverterModel::failRun(std::exception_ptr error) {
    if (runWasCancelled()) {
        appendLog(QStringLiteral("Conversion cancelled"));
        setIsConverting(false);
        runEnded();
        return;
    }
    QString description = exceptionText(error);
    if (currentQueueIndex_ < runFiles_.size())
        setOutcome(runFiles_[currentQueueIndex_], QueuedFileState::Outcome::failed, description);
    setErrorMessage(description);
    setCurrentStage(ConversionStage::failed);
    appendLog("ERROR: " + description);
    sendNotification("Conversion failed: " + description);
    setIsConverting(false);
    runEnded();
}

void ConverterModel::runEnded() {
    // A stopped file shows its analysis again, not a spinner or a stale mark.
    for (const QString& file : runFiles_)
        if (fileState(file).outcome == QueuedFileState::Outcome::converting)
            setOutcome(file, QueuedFileState::Outcome::none);
    sleepInhibitor_.release();
    if (runThread_.joinable()) return; // the worker's completion calls back here
    if (startPending_) {
        startPending_ = false;
        QTimer::singleShot(0, this, &ConverterModel::startConversion);
    }
}

void ConverterModel::cancelConversion() {
    pipelineEngine_->cancel();
    if (runCancelRequested_) *runCancelRequested_ = true;
    startPending_ = false;
    sleepInhibitor_.release();
    setIsConverting(false);
    setCurrentStage(ConversionStage::idle);
    setProgress(0);
    setEstimatedTimeRemaining({});
    remainingTimeTimer_->stop();
    assign(wasCancelled_, true, &ConverterModel::wasCancelledChanged);
    appendLog(QStringLiteral("Conversion cancelled by user"));
}

QString ConverterModel::remainingTimeText(double seconds) {
    long long s = seconds > 0 ? static_cast<long long>(seconds) : 0;
    if (s < 60) return "~" + QString::number(s) + " sec remaining";
    if (s < 3600) return "~" + QString::number(s / 60) + " min " + QString::number(s % 60) + " sec remaining";
    return "~" + QString::number(s / 3600) + "h " + QString::number((s % 3600) / 60) + "m remaining";
}

void ConverterModel::refreshRemainingTime() {
    if (!isConverting_ || !estimate_) {
        remainingTimeTimer_->stop();
        return;
    }
    // The first twentieth of a job (analysis, demultiplexing) says little of the rest.
    auto left = progress_ > 0.05 ? estimate_->remainingSeconds() : std::nullopt;
    setEstimatedTimeRemaining(left ? remainingTimeText(*left) : QString());
    assign(currentActivity_, QString::fromStdString(estimate_->activity()),
           &ConverterModel::currentActivityChanged);
}

// ---- Desktop integration ---------------------------------------------------

bool ConverterModel::hasNotificationService() {
    QDBusConnection bus = sessionBusIfPresent();
    if (!bus.isConnected() || !bus.interface()) return false;
    return bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")).value();
}

void ConverterModel::sendNotification(const QString& body) {
    QDBusConnection bus = sessionBusIfPresent();
    if (!bus.isConnected()) return;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints{{QStringLiteral("sound-name"), QStringLiteral("complete")}};
    notify << QStringLiteral("Duoscope") << 0u << QStringLiteral("duoscope") << QStringLiteral("Duoscope")
           << body << QStringList() << hints << -1;
    bus.call(notify, QDBus::NoBlock);
}

void ConverterModel::revealOutput() {
    QStringList outputs = batchOutputURLs_.size() >= 2 ? batchOutputURLs_ : QStringList();
    if (outputs.isEmpty() && !lastOutputURL_.isEmpty()) outputs = {lastOutputURL_};
    if (outputs.isEmpty()) return;

    QUrl folder = QUrl::fromLocalFile(QFileInfo(outputs.first()).absolutePath());
    QDBusConnection bus = sessionBusIfPresent();
    if (!bus.isConnected()) {
        QDesktopServices::openUrl(folder);
        return;
    }
    QStringList uris;
    for (const QString& output : outputs)
        uris.append(QUrl::fromLocalFile(output).toString());
    QDBusMessage show = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    show << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(show, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [folder](QDBusPendingCallWatcher* call) {
        if (call->isError()) QDesktopServices::openUrl(folder);
        call->deleteLater();
    });
}

void ConverterModel::setDiscChoice(const QString& path, const DiscChoice& choice) {
    DiscChoice previous = discChoice(path);
    if (previous.playlist == choice.playlist && previous.audioLanguage == choice.audioLanguage) return;
    discChoices_.insert(path, choice);
    // A kept side-by-side movie was made from another title or sound.
    if (cachedSBS_ && cachedSBS_->sourceURL == path) cachedSBS_.reset();
    if (fileQueue_.contains(path)) analyzeQueuedFile(path);
    if (sourceFileURL_ == path) analyzeSelectedFile(path);
}

void ConverterModel::setLayoutChoice(const QString& path, LayoutChoice choice) {
    if (layoutChoice(path) == choice) return;
    if (choice == LayoutChoice::automatic)
        layoutChoices_.remove(path);
    else
        layoutChoices_.insert(path, choice);
    emit layoutChoicesChanged();
    // Said now, not only when the run starts: a choice the frame cannot hold.
    if (auto found = fileInfoMap_.constFind(path); found != fileInfoMap_.constEnd()) {
        SourceFileInfo info = *found;
        try {
            applyLayoutChoice(info, choice, false);
        } catch (const std::invalid_argument& mistake) {
            appendLog(QString::fromUtf8("⚠️ ") + QString::fromStdString(mistake.what()));
        }
    }
}

void ConverterModel::setSpatialMetadata(const SpatialMetadata& metadata) {
    if (spatialMetadata_ == metadata) return;
    spatialMetadata_ = metadata;
    emit spatialMetadataChanged();
}

} // namespace duoscope
