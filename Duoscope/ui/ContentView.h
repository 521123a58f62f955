// The program's one window content over the ConverterModel: drop zone, file
// list, action area, output settings and footer. Holds no conversion logic;
// it reads the model and calls its operations. Redraws are coalesced, so a
// flood of model changes costs at most about 30 refreshes a second.
// Main thread only.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "ConversionTypes.h"

class QButtonGroup;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPropertyAnimation;
class QPushButton;
class QVBoxLayout;
class QGroupBox;

namespace duoscope {

class ConverterModel;
class DropZone;
class ElidedLabel;
class SegmentedPicker;

class ContentView : public QWidget {
    Q_OBJECT

  public:
    explicit ContentView(ConverterModel& model, QWidget* parent = nullptr);

    bool isDragging() const { return isDragging_; }
    bool showErrorAlert() const { return showErrorAlert_; }
    const QString& errorAlertMessage() const { return errorAlertMessage_; }
    // Redraws so far; lets a test see the coalescing at work.
    int refreshCount() const { return refreshCount_; }
    // The open panel of the drop zone's "Browse..." button.
    void browseForFiles();
    QLayout* discPickers(const QString& path, const DiscTitleSource& disc, QWidget* row);

  private:
    void buildLayout();
    QWidget* buildSourceColumn();
    QWidget* buildSettingsColumn();
    QWidget* buildFooter();
    QWidget* buildProgressBlock();
    void scheduleRefresh();
    void refresh();
    void refreshFileList();
    void refreshActionArea();
    void refreshSettings();
    void showFailureAlert(const QString& message);
    void startConversionFromButton();

    ConverterModel& model_;
    bool isDragging_ = false;
    bool showErrorAlert_ = false;
    QString errorAlertMessage_;

    QTimer refreshTimer_;
    int refreshCount_ = 0;
    bool fileListDirty_ = true;
    ConversionStage shownStage_ = ConversionStage::idle;

    DropZone* dropZone_ = nullptr;
    QGroupBox* fileList_ = nullptr;
    QLabel* fileListTitle_ = nullptr;
    QLabel* batchCaption_ = nullptr;
    QVBoxLayout* fileRows_ = nullptr;

    QWidget* progressBlock_ = nullptr;
    QLabel* stageIcon_ = nullptr;
    QLabel* stageText_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPropertyAnimation* progressAnimation_ = nullptr;
    QLabel* remainingTime_ = nullptr;
    QLabel* percentage_ = nullptr;
    QLabel* timingSummary_ = nullptr;
    QLabel* runSummary_ = nullptr;
    QPushButton* revealButton_ = nullptr;
    QPushButton* convertAnotherButton_ = nullptr;
    QPushButton* convertButton_ = nullptr;

    QWidget* settingsColumn_ = nullptr;
    QLabel* lockedCaption_ = nullptr;
    SegmentedPicker* qualityPicker_ = nullptr;
    SegmentedPicker* codecPicker_ = nullptr;
    SegmentedPicker* targetPicker_ = nullptr;
    SegmentedPicker* durationPicker_ = nullptr;
    QLineEdit* fieldOfViewField_ = nullptr;
    QLineEdit* baselineField_ = nullptr;
    QLineEdit* disparityField_ = nullptr;
    ElidedLabel* outputDirectoryLabel_ = nullptr;

    QLabel* footerStatus_ = nullptr;
    QPointer<QMessageBox> failureAlert_;
};

} // namespace duoscope
