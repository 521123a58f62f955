// The application's state behind the window: settings and their persistence,
// the log, the file queue and the analysis of queued files, conversion runs
// with progress and remaining time, and the kept side-by-side intermediate.
// Lives on the main thread; every field is read and written there. Analyses
// and the engine run on worker threads and hand their results back through
// queued calls that hold the model weakly. Needs no widget: the window passes
// its folder chooser in.
#pragma once

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

#include "DiscAnalysis.h"
#include <optional>
#include <thread>

#include "ConversionTypes.h"
#include "PipelineEngine.h"
#include "ProgressEstimate.h"
#include "SleepInhibitor.h"

class QTimer;

namespace duoscope {

// The side-by-side movie made on the way to an MV-HEVC output, kept for reuse.
struct CachedSBS {
    QString sourceURL;
    QString sbsURL;
    QualityPreset qualityPreset = QualityPreset::medium;
    OutputCodec outputCodec = OutputCodec::h264;
    int durationLimit = 0;
    LayoutChoice layoutChoice = LayoutChoice::automatic;
};

// What the queue shows of one file: what its analysis found, then what the
// last run did with it.
struct QueuedFileState {
    enum class Analysis { analysing, stereo, flat, unreadable };
    enum class Outcome { none, converting, converted, failed, skipped };
    Analysis analysis = Analysis::analysing;
    Outcome outcome = Outcome::none;
    QString reason; // why it failed or was skipped

    // The row's caption: "Analysing…", "2D video", "not a readable video",
    // "done", "failed: …", "skipped: …"; empty for a convertible file at rest.
    QString text() const;
    friend bool operator==(const QueuedFileState&, const QueuedFileState&) = default;
};

class ConverterModel : public QObject {
    Q_OBJECT

  public:
    // Shows a folder chooser titled `title`; returns the chosen folder or nothing.
    using FolderChooser = std::function<std::optional<QString>(const QString& title)>;

    static constexpr int buildNumber = 134;
    static constexpr int logLimit = 500;

    explicit ConverterModel(QObject* parent = nullptr);
    ~ConverterModel() override;

    // Observable fields, in the order of the design; each has a change signal.
    const QString& sourceFileURL() const { return sourceFileURL_; }
    const std::optional<SourceFileInfo>& sourceInfo() const { return sourceInfo_; }
    const QMap<QString, SourceFileInfo>& fileInfoMap() const { return fileInfoMap_; }
    const QString& outputDirectory() const { return outputDirectory_; }
    bool isInitialized() const { return isInitialized_; }
    QualityPreset qualityPreset() const { return qualityPreset_; }
    OutputCodec outputCodec() const { return outputCodec_; }
    OutputTarget outputTarget() const { return outputTarget_; }
    int debugLimitSeconds() const { return debugLimitSeconds_; }
    bool keepSBSIntermediate() const { return keepSBSIntermediate_; }
    // GNU parallel --sshlogin entries (or "@" and a file of them) of the
    // machines that share the segments of the parallel routes.
    QString otherMachines() const { return otherMachines_; }
    bool isParsing() const { return isParsing_; }
    ConversionStage currentStage() const { return currentStage_; }
    double progress() const { return progress_; }
    const QString& errorMessage() const { return errorMessage_; }
    const QStringList& logs() const { return logs_; }
    bool isConverting() const { return isConverting_; }
    const QDateTime& conversionStartTime() const { return conversionStartTime_; }
    const QDateTime& conversionEndTime() const { return conversionEndTime_; }
    const std::optional<CachedSBS>& cachedSBS() const { return cachedSBS_; }
    const QStringList& fileQueue() const { return fileQueue_; }
    int currentQueueIndex() const { return currentQueueIndex_; }
    bool isBatchMode() const { return isBatchMode_; }
    int batchCompletedCount() const { return batchCompletedCount_; }
    const QString& lastOutputURL() const { return lastOutputURL_; }
    const QStringList& batchOutputURLs() const { return batchOutputURLs_; }
    const QString& estimatedTimeRemaining() const { return estimatedTimeRemaining_; }
    // What the run is doing now, in words ("Encoding MV-HEVC, 3 of 8 segments done").
    const QString& currentActivity() const { return currentActivity_; }
    // The last run was cancelled, and nothing has been done since.
    bool wasCancelled() const { return wasCancelled_; }
    PipelineEngine& pipelineEngine() { return *pipelineEngine_; }
    // The user's word on a queued file's layout ("Source layout"; automatic
    // unless set), and the spatial metadata written into MV-HEVC movies. Both
    // last for the session only.
    LayoutChoice layoutChoice(const QString& path) const {
        return layoutChoices_.value(path, LayoutChoice::automatic);
    }
    void setLayoutChoice(const QString& path, LayoutChoice choice);
    // A disc backup's title (by playlist; none: the main 3D title) and sound
    // language (empty: the title's first), for the session only.
    DiscChoice discChoice(const QString& path) const { return discChoices_.value(path); }
    void setDiscChoice(const QString& path, const DiscChoice& choice);
    const SpatialMetadata& spatialMetadata() const { return spatialMetadata_; }
    void setSpatialMetadata(const SpatialMetadata& metadata);
    SleepInhibitor& sleepInhibitor() { return sleepInhibitor_; }
    // The state of a queued or selected file; a file never analysed reads as analysing.
    QueuedFileState fileState(const QString& path) const { return fileStates_.value(path); }
    // The end of the last batch: "2 converted, 1 failed" (and ", 1 skipped").
    const QString& runSummary() const { return runSummary_; }
    int batchFailedCount() const { return batchFailedCount_; }
    // Whether Convert can start: a folder, and a selected file (or, for a
    // queue, at least one queued file) whose analysis found 3D video.
    bool canConvert() const;

    // Settings: each setter saves its key (the folder only once initialised).
    void setOutputDirectory(const QString& folder);
    void setQualityPreset(QualityPreset preset);
    void setOutputCodec(OutputCodec codec);
    void setOutputTarget(OutputTarget target);
    void setDebugLimitSeconds(int seconds);
    void setKeepSBSIntermediate(bool keep);
    void setOtherMachines(const QString& hosts);
    void setErrorMessage(const QString& message);
    void loadSettings();

    void appendLog(const QString& message);
    void resetIfComplete();
    // "Started: … · Finished: … · Duration: …", or empty without both times.
    QString timingSummary() const { return timingSummaryText(conversionStartTime_, conversionEndTime_); }
    static QString timingSummaryText(const QDateTime& start, const QDateTime& end);

    // Intake.
    static bool isSupportedFile(const QString& path);
    void addFiles(const QStringList& paths);
    void selectFile(const QString& path);
    void removeFromQueue(int index);
    void resetAll();
    void chooseOutputDirectory();
    void setFolderChooser(FolderChooser chooser) { folderChooser_ = std::move(chooser); }
    // Applies "--input"/"--output" of `arguments` (the process's by default) once.
    void handleCommandLineArguments(const QStringList& arguments = {});
    // What the window does with dropped files and with the open panel's choice.
    void handleDrop(const QStringList& paths);
    void handleOpenPanelChoice(const QStringList& paths);

    // Runs. startConversion() returns at once; the run reports through the
    // fields, the log and notifications.
    void startConversion();
    void cancelConversion();
    // The remaining time and activity from the run's reports so far; a timer
    // calls it every second, so the time moves between the tools' reports.
    void refreshRemainingTime();
    void revealOutput();
    void sendNotification(const QString& body);
    // True when the session bus offers a notification service; never complains.
    static bool hasNotificationService();
    // True while a run's engine work has not yet wound down (even after cancel).
    bool isRunActive() const { return runThread_.joinable(); }

    // "~59 sec remaining", "~1 min 1 sec remaining", "~1h 1m remaining".
    static QString remainingTimeText(double seconds);

  signals:
    void sourceFileURLChanged();
    void sourceInfoChanged();
    void fileInfoMapChanged();
    void outputDirectoryChanged();
    void qualityPresetChanged();
    void outputCodecChanged();
    void outputTargetChanged();
    void debugLimitSecondsChanged();
    void keepSBSIntermediateChanged();
    void otherMachinesChanged();
    void isParsingChanged();
    void currentStageChanged();
    void progressChanged();
    void errorMessageChanged();
    void logsChanged();
    void isConvertingChanged();
    void conversionStartTimeChanged();
    void conversionEndTimeChanged();
    void fileQueueChanged();
    void currentQueueIndexChanged();
    void isBatchModeChanged();
    void batchCompletedCountChanged();
    void lastOutputURLChanged();
    void batchOutputURLsChanged();
    void estimatedTimeRemainingChanged();
    void fileStatesChanged();
    void runSummaryChanged();
    void currentActivityChanged();
    void wasCancelledChanged();
    void layoutChoicesChanged();
    void spatialMetadataChanged();

  private:
    using Completion = std::function<void(std::optional<ConversionResult>, std::exception_ptr)>;

    template <typename T> void assign(T& field, const T& value, void (ConverterModel::*changed)());
    // A conversion setting: assigned, remembered under `key`, and a finished run's result cleared.
    template <typename T>
    void assignSetting(T& field, const T& value, void (ConverterModel::*changed)(), const char* key,
                       const QVariant& stored);

    void analyzeSelectedFile(const QString& path);
    void analyzeQueuedFile(const QString& path);
    void setAnalysis(const QString& path, QueuedFileState::Analysis analysis);
    void setOutcome(const QString& path, QueuedFileState::Outcome outcome, const QString& reason = {});
    void makeCurrent(const QString& path);
    void fileFailed(int index, std::exception_ptr error);
    void setIsParsing(bool parsing);
    void clearSelection();
    void setCurrentStage(ConversionStage stage);
    void setProgress(double value);
    void setEstimatedTimeRemaining(const QString& text);
    void setIsConverting(bool converting);

    void processFile(int index);
    void awaitAnalysis(int index, int pauses);
    void convertCurrentFile(int index);
    void convertFile(const QString& path, const QString& outputDirectory, Completion completion);
    void fileConverted(const ConversionResult& result);
    void finishRun();
    void finishBatch();
    void failRun(std::exception_ptr error);
    bool runWasCancelled() const;
    void runEnded();
    void startEngineWork(std::function<ConversionResult()> work, Completion completion);

    QString sourceFileURL_;
    std::optional<SourceFileInfo> sourceInfo_;
    QMap<QString, LayoutChoice> layoutChoices_;
    QMap<QString, DiscChoice> discChoices_;
    SpatialMetadata spatialMetadata_;
    QMap<QString, SourceFileInfo> fileInfoMap_;
    QString outputDirectory_;
    bool isInitialized_ = false;
    QualityPreset qualityPreset_ = QualityPreset::medium;
    OutputCodec outputCodec_ = OutputCodec::h264;
    OutputTarget outputTarget_ = OutputTarget::sbs3D;
    int debugLimitSeconds_ = 120;
    bool keepSBSIntermediate_ = false;
    QString otherMachines_;
    bool isParsing_ = false;
    ConversionStage currentStage_ = ConversionStage::idle;
    double progress_ = 0;
    QString errorMessage_;
    QStringList logs_;
    bool isConverting_ = false;
    QDateTime conversionStartTime_;
    QDateTime conversionEndTime_;
    std::optional<CachedSBS> cachedSBS_;
    QStringList fileQueue_;
    int currentQueueIndex_ = 0;
    bool isBatchMode_ = false;
    int batchCompletedCount_ = 0;
    QString lastOutputURL_;
    QStringList batchOutputURLs_;
    QString estimatedTimeRemaining_;
    std::optional<ProgressEstimate> estimate_; // of the file converting now
    QTimer* remainingTimeTimer_ = nullptr;
    QString currentActivity_;
    bool wasCancelled_ = false;
    std::unique_ptr<PipelineEngine> pipelineEngine_;
    bool cliArgsHandled_ = false;
    QMap<QString, QueuedFileState> fileStates_;
    QString runSummary_;
    int batchFailedCount_ = 0;
    int batchSkippedCount_ = 0;
    QStringList failureNotes_; // "name: reason" of each failed file of the run
    SleepInhibitor sleepInhibitor_;

    FolderChooser folderChooser_;
    // Analyses of the current source deliver only while their selection holds.
    quint64 selectionGeneration_ = 0;
    // The run in progress: its file list and output folder, an id that stale
    // callbacks are checked against, and the worker that runs the engine.
    QStringList runFiles_;
    QString runOutputDirectory_;
    quint64 runId_ = 0;
    std::shared_ptr<std::atomic<bool>> runCancelRequested_;
    std::thread runThread_;
    bool startPending_ = false;
};

} // namespace duoscope
