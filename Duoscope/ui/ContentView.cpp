#include "ContentView.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGraphicsOpacityEffect>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>

#include "ConverterModel.h"
#include "EncoderProfile.h"
#include "Symbols.h"

namespace duoscope {

namespace {

constexpr int refreshIntervalMs = 33;
const QColor runningBlue(0x0a, 0x84, 0xff);
const QColor completeGreen(0x30, 0xb0, 0x4f);
const QColor failedRed(0xe0, 0x3a, 0x30);

QString qText(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFont scaledFont(const QFont& base, double factor, bool bold = false) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * factor);
    font.setBold(bold);
    return font;
}

QLabel* captionLabel(const QString& text, QWidget* parent, double factor = 0.9, int alpha = 170) {
    auto* label = new QLabel(text, parent);
    label->setFont(scaledFont(label->font(), factor));
    QPalette palette = label->palette();
    QColor color = palette.color(QPalette::WindowText);
    color.setAlpha(alpha);
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

// The symbol names of the stages, in the order ConversionStage declares them.
QString symbolForStage(ConversionStage stage) {
    static const std::array<const char*, allConversionStages.size()> symbols{
        "circle",    "opticaldisc", "arrow.triangle.2.circlepath", "play.rectangle",   "film",
        "visionpro", "visionpro",   "checkmark.circle.fill",       "xmark.circle.fill"};
    const auto index = static_cast<size_t>(stage);
    return index < symbols.size() ? symbols[index] : "circle";
}

QColor colorForStage(ConversionStage stage) {
    if (stage == ConversionStage::complete) return completeGreen;
    if (stage == ConversionStage::failed) return failedRed;
    return runningBlue;
}

QString progressBarStyle(const QColor& fill) {
    return QString("QProgressBar { border: none; border-radius: 4px; background: rgba(128,128,128,60); }"
                   "QProgressBar::chunk { border-radius: 4px; background: %1; }")
        .arg(fill.name());
}

// What actually encodes, instead of the design's "Hardware accelerated via Apple Silicon".
QString encoderCaption(EncoderProfile profile) {
    return profile == EncoderProfile::videoToolbox ? QStringLiteral("Hardware encoding (VideoToolbox)")
                                                   : QStringLiteral("Software encoding (x264 / x265)");
}

} // namespace

// ---- Small widgets ---------------------------------------------------------

// The dashed drop target; accepts file URLs from the file manager.
class DropZone : public QFrame {
    Q_OBJECT
  public:
    explicit DropZone(QWidget* parent) : QFrame(parent) {
        setAcceptDrops(true);
        setObjectName("dropZone");
        setMinimumHeight(120);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(16, 14, 16, 10);
        layout->setSpacing(6);
        auto* icon = new QLabel(this);
        icon->setPixmap(symbolIcon("opticaldisc.fill").pixmap(36, 36));
        icon->setAlignment(Qt::AlignCenter);
        auto* title = new QLabel(tr("Drop 3D Video File"), this);
        title->setFont(scaledFont(title->font(), 1.15, true));
        title->setAlignment(Qt::AlignCenter);
        browse = new QPushButton(symbolIcon("folder"), tr("Browse..."), this);
        browse->setObjectName("browseButton");
        browse->setFlat(true);
        browse->setCursor(Qt::PointingHandCursor);
        browse->setStyleSheet(QString("QPushButton { color: %1; border: none; padding: 2px 6px; }"
                                      "QPushButton:hover { text-decoration: underline; }"
                                      "QPushButton:disabled { color: palette(mid); }")
                                  .arg(palette().color(QPalette::Link).name()));
        // A disc backup is a folder, which a file chooser cannot return.
        discFolder = new QPushButton(symbolIcon("opticaldisc.fill"), tr("Disc Folder..."), this);
        discFolder->setObjectName("discFolderButton");
        discFolder->setFlat(true);
        discFolder->setCursor(Qt::PointingHandCursor);
        discFolder->setStyleSheet(browse->styleSheet());
        layout->addWidget(icon);
        layout->addWidget(title);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch(1);
        buttons->addWidget(browse);
        buttons->addWidget(discFolder);
        buttons->addStretch(1);
        layout->addLayout(buttons);
    }

    QPushButton* browse = nullptr;
    QPushButton* discFolder = nullptr;
    std::function<void(bool)> onDragging;
    std::function<void(const QStringList&)> onDrop;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor outline = dragging ? palette().color(QPalette::Highlight) : QColor(128, 128, 128, 110);
        QPen pen(outline, 2, Qt::DashLine);
        pen.setDashPattern({5, 4});
        painter.setPen(pen);
        painter.setBrush(dragging ? QColor(outline.red(), outline.green(), outline.blue(), 25)
                                  : Qt::transparent);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 12, 12);
    }
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (!event->mimeData()->hasUrls()) return;
        event->acceptProposedAction();
        setDragging(true);
    }
    void dragLeaveEvent(QDragLeaveEvent*) override { setDragging(false); }
    void dropEvent(QDropEvent* event) override {
        setDragging(false);
        QStringList paths;
        for (const QUrl& url : event->mimeData()->urls())
            if (url.isLocalFile()) paths.append(url.toLocalFile());
        if (paths.isEmpty()) return;
        event->acceptProposedAction();
        if (onDrop) onDrop(paths);
    }

  private:
    void setDragging(bool value) {
        dragging = value;
        if (onDragging) onDragging(value);
        update();
    }
    bool dragging = false;
};

// An exclusive row of buttons drawn as one segmented control.
class SegmentedPicker : public QWidget {
    Q_OBJECT
  public:
    SegmentedPicker(const QStringList& labels, QWidget* parent)
        : QWidget(parent), group(new QButtonGroup(this)) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        for (int i = 0; i < labels.size(); ++i) {
            auto* button = new QPushButton(labels[i], this);
            button->setCheckable(true);
            button->setFocusPolicy(Qt::TabFocus);
            button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            QString corners = i == 0 ? "border-top-left-radius: 6px; border-bottom-left-radius: 6px;" : "";
            if (i == labels.size() - 1)
                corners += "border-top-right-radius: 6px; border-bottom-right-radius: 6px;";
            if (i > 0) corners += "border-left: none;";
            button->setStyleSheet("QPushButton { border: 1px solid palette(mid); background: "
                                  "palette(button); padding: 4px 8px; " +
                                  corners +
                                  " } QPushButton:checked { background: palette(highlight); color: "
                                  "palette(highlighted-text); }");
            group->addButton(button, i);
            layout->addWidget(button);
        }
        connect(group, &QButtonGroup::idClicked, this, [this](int index) {
            if (onSelected) onSelected(index);
        });
    }
    void setCurrent(int index) {
        if (auto* button = group->button(index)) button->setChecked(true);
    }
    QAbstractButton* button(int index) const { return group->button(index); }
    std::function<void(int)> onSelected;

  private:
    QButtonGroup* group;
};

// A one-line text elided in the middle to the width it is given.
class ElidedLabel : public QLabel {
  public:
    using QLabel::QLabel;
    void setFullText(const QString& text) {
        fullText = text;
        setToolTip(text);
        updateText();
    }
    QSize minimumSizeHint() const override { return {40, QLabel::minimumSizeHint().height()}; }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        updateText();
    }

  private:
    void updateText() { setText(fontMetrics().elidedText(fullText, Qt::ElideMiddle, width())); }
    QString fullText;
};

// The small busy mark of the file being converted.
class Spinner : public QWidget {
  public:
    explicit Spinner(QWidget* parent) : QWidget(parent) {
        setFixedSize(16, 16);
        connect(&timer, &QTimer::timeout, this, [this] {
            angle = (angle + 30) % 360;
            update();
        });
        timer.start(80);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(runningBlue, 2, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(QRectF(2, 2, 12, 12), -angle * 16, 270 * 16);
    }

  private:
    QTimer timer;
    int angle = 0;
};

// ---- The view --------------------------------------------------------------

ContentView::ContentView(ConverterModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName("contentView");
    // The window keeps 800 x 400 as a whole, menu bar included.
    setMinimumSize(800, 300);
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(refreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &ContentView::refresh);
    buildLayout();
    model_.setFolderChooser([this](const QString& title) -> std::optional<QString> {
        QString folder = QFileDialog::getExistingDirectory(this, title, model_.outputDirectory());
        if (folder.isEmpty()) return std::nullopt;
        return folder;
    });

    for (auto signal : {&ConverterModel::fileQueueChanged, &ConverterModel::fileInfoMapChanged,
                        &ConverterModel::currentQueueIndexChanged, &ConverterModel::isConvertingChanged,
                        &ConverterModel::isBatchModeChanged, &ConverterModel::sourceInfoChanged,
                        &ConverterModel::fileStatesChanged})
        connect(&model_, signal, this, [this] {
            fileListDirty_ = true;
            scheduleRefresh();
        });
    for (auto signal : {&ConverterModel::sourceFileURLChanged, &ConverterModel::outputDirectoryChanged,
                        &ConverterModel::qualityPresetChanged, &ConverterModel::outputCodecChanged,
                        &ConverterModel::outputTargetChanged, &ConverterModel::debugLimitSecondsChanged,
                        &ConverterModel::keepSBSIntermediateChanged, &ConverterModel::isParsingChanged,
                        &ConverterModel::currentStageChanged, &ConverterModel::progressChanged,
                        &ConverterModel::errorMessageChanged, &ConverterModel::conversionEndTimeChanged,
                        &ConverterModel::lastOutputURLChanged, &ConverterModel::estimatedTimeRemainingChanged,
                        &ConverterModel::currentActivityChanged, &ConverterModel::wasCancelledChanged,
                        &ConverterModel::runSummaryChanged})
        connect(&model_, signal, this, &ContentView::scheduleRefresh);
    refresh();
}

void ContentView::buildLayout() {
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    auto* main = new QHBoxLayout;
    main->setContentsMargins(16, 16, 16, 12);
    main->setSpacing(16);
    auto scrolling = [this](QWidget* content) {
        auto* area = new QScrollArea(this);
        area->setWidget(content);
        area->setWidgetResizable(true);
        area->setFrameShape(QFrame::NoFrame);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        return area;
    };
    auto* source = scrolling(buildSourceColumn());
    source->setMinimumWidth(340);
    source->setMaximumWidth(400);
    auto* settings = scrolling(buildSettingsColumn());
    settings->setMinimumWidth(300);
    main->addWidget(source, 1, Qt::AlignTop);
    main->addWidget(settings, 1);
    main->setAlignment(source, {});
    root->addLayout(main, 1);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    root->addWidget(divider);
    root->addWidget(buildFooter());
}

QWidget* ContentView::buildSourceColumn() {
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 4, 0);
    layout->setSpacing(12);

    dropZone_ = new DropZone(column);
    dropZone_->onDragging = [this](bool dragging) { isDragging_ = dragging; };
    dropZone_->onDrop = [this](const QStringList& paths) { model_.handleDrop(paths); };
    connect(dropZone_->browse, &QPushButton::clicked, this, &ContentView::browseForFiles);
    connect(dropZone_->discFolder, &QPushButton::clicked, this, [this] {
        QString folder = QFileDialog::getExistingDirectory(this, tr("Select a Blu-ray Disc Folder"));
        if (!folder.isEmpty()) model_.handleOpenPanelChoice({folder});
    });
    layout->addWidget(dropZone_);

    fileList_ = new QGroupBox(column);
    fileList_->setObjectName("fileList");
    auto* listLayout = new QVBoxLayout(fileList_);
    listLayout->setSpacing(6);
    auto* header = new QHBoxLayout;
    auto* headerIcon = new QLabel(fileList_);
    headerIcon->setPixmap(symbolIcon("film.stack").pixmap(18, 18));
    fileListTitle_ = new QLabel(fileList_);
    fileListTitle_->setFont(scaledFont(fileListTitle_->font(), 1.05, true));
    batchCaption_ = captionLabel({}, fileList_);
    batchCaption_->setObjectName("batchCaption");
    header->addWidget(headerIcon);
    header->addWidget(fileListTitle_);
    header->addStretch(1);
    header->addWidget(batchCaption_);
    listLayout->addLayout(header);
    fileRows_ = new QVBoxLayout;
    fileRows_->setSpacing(4);
    listLayout->addLayout(fileRows_);
    layout->addWidget(fileList_);

    layout->addWidget(buildProgressBlock());
    runSummary_ = new QLabel(column);
    runSummary_->setObjectName("runSummary");
    runSummary_->setFont(scaledFont(runSummary_->font(), 1.0, true));
    layout->addWidget(runSummary_);
    timingSummary_ = captionLabel({}, column);
    timingSummary_->setObjectName("timingSummary");
    timingSummary_->setWordWrap(true);
    layout->addWidget(timingSummary_);
    auto* completeRow = new QHBoxLayout;
    revealButton_ = new QPushButton(symbolIcon("folder"), tr("Show in Folder"), column);
    revealButton_->setObjectName("revealButton");
    connect(revealButton_, &QPushButton::clicked, &model_, &ConverterModel::revealOutput);
    convertAnotherButton_ =
        new QPushButton(symbolIcon("arrow.counterclockwise"), tr("Convert Another"), column);
    convertAnotherButton_->setObjectName("convertAnotherButton");
    convertAnotherButton_->setDefault(true);
    connect(convertAnotherButton_, &QPushButton::clicked, &model_, &ConverterModel::resetAll);
    completeRow->addWidget(revealButton_);
    completeRow->addWidget(convertAnotherButton_);
    layout->addLayout(completeRow);

    convertButton_ = new QPushButton(symbolIcon("play.fill"), {}, column);
    convertButton_->setObjectName("convertButton");
    convertButton_->setMinimumHeight(36);
    convertButton_->setFont(scaledFont(convertButton_->font(), 1.05, true));
    convertButton_->setStyleSheet(
        QString("QPushButton { background: %1; color: white; border: none; border-radius: 8px; padding: 6px "
                "14px; }"
                "QPushButton:disabled { background: rgba(128,128,128,90); color: rgba(255,255,255,170); }")
            .arg(runningBlue.name()));
    connect(convertButton_, &QPushButton::clicked, this, &ContentView::startConversionFromButton);
    layout->addWidget(convertButton_);
    layout->addStretch(1);
    return column;
}

QWidget* ContentView::buildProgressBlock() {
    progressBlock_ = new QFrame;
    progressBlock_->setObjectName("progressBlock");
    progressBlock_->setAutoFillBackground(true);
    progressBlock_->setStyleSheet("#progressBlock { background: palette(base); border-radius: 8px; }");
    auto* layout = new QVBoxLayout(progressBlock_);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(8);
    auto* stageRow = new QHBoxLayout;
    stageIcon_ = new QLabel(progressBlock_);
    stageText_ = new QLabel(progressBlock_);
    stageText_->setObjectName("stageText");
    stageText_->setFont(scaledFont(stageText_->font(), 1.0, true));
    cancelButton_ = new QPushButton(symbolIcon("xmark.circle"), tr("Cancel"), progressBlock_);
    cancelButton_->setObjectName("cancelButton");
    connect(cancelButton_, &QPushButton::clicked, &model_, &ConverterModel::cancelConversion);
    stageRow->addWidget(stageIcon_);
    stageRow->addWidget(stageText_, 1);
    stageRow->addWidget(cancelButton_);
    layout->addLayout(stageRow);
    progressBar_ = new QProgressBar(progressBlock_);
    progressBar_->setObjectName("progressBar");
    progressBar_->setRange(0, 1000);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedHeight(8);
    progressAnimation_ = new QPropertyAnimation(progressBar_, "value", this);
    progressAnimation_->setDuration(250);
    progressAnimation_->setEasingCurve(QEasingCurve::InOutQuad);
    layout->addWidget(progressBar_);
    auto* figures = new QHBoxLayout;
    remainingTime_ = captionLabel({}, progressBlock_);
    remainingTime_->setObjectName("remainingTime");
    percentage_ = new QLabel(progressBlock_);
    percentage_->setObjectName("percentage");
    figures->addWidget(remainingTime_, 1);
    figures->addWidget(percentage_);
    layout->addLayout(figures);
    return progressBlock_;
}

QWidget* ContentView::buildSettingsColumn() {
    settingsColumn_ = new QWidget;
    settingsColumn_->setObjectName("settingsColumn");
    auto* layout = new QVBoxLayout(settingsColumn_);
    layout->setContentsMargins(4, 0, 0, 0);
    layout->setSpacing(6);

    auto* header = new QHBoxLayout;
    auto* icon = new QLabel(settingsColumn_);
    icon->setPixmap(symbolIcon("gearshape.fill").pixmap(18, 18));
    auto* title = new QLabel(tr("Output Settings"), settingsColumn_);
    title->setFont(scaledFont(title->font(), 1.05, true));
    lockedCaption_ = captionLabel(tr("Locked during conversion"), settingsColumn_);
    header->addWidget(icon);
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(lockedCaption_);
    layout->addLayout(header);

    auto section = [&](const QString& name) {
        layout->addSpacing(10);
        auto* label = new QLabel(name, settingsColumn_);
        label->setFont(scaledFont(label->font(), 1.0, true));
        layout->addWidget(label);
    };
    auto labels = [](const auto& cases) {
        QStringList texts;
        for (auto value : cases)
            texts.append(qText(rawValue(value)));
        return texts;
    };

    section(tr("Quality Preset"));
    qualityPicker_ = new SegmentedPicker(labels(allQualityPresets), settingsColumn_);
    qualityPicker_->setObjectName("qualityPicker");
    qualityPicker_->onSelected = [this](int i) { model_.setQualityPreset(allQualityPresets[size_t(i)]); };
    layout->addWidget(qualityPicker_);

    section(tr("Video Codec"));
    codecPicker_ = new SegmentedPicker(labels(allOutputCodecs), settingsColumn_);
    codecPicker_->setObjectName("codecPicker");
    codecPicker_->onSelected = [this](int i) { model_.setOutputCodec(allOutputCodecs[size_t(i)]); };
    layout->addWidget(codecPicker_);
    auto* codecCaption = captionLabel(tr("Detecting encoders..."), settingsColumn_);
    codecCaption->setObjectName("codecCaption");
    layout->addWidget(codecCaption);
    // Finding the encoder profile runs ffmpeg once; never on the main thread.
    QPointer<QLabel> caption(codecCaption);
    QThreadPool::globalInstance()->start([caption] {
        QString text = encoderCaption(activeEncoderProfile());
        QMetaObject::invokeMethod(
            qApp,
            [caption, text] {
                if (caption) caption->setText(text);
            },
            Qt::QueuedConnection);
    });

    section(tr("Output Target"));
    targetPicker_ = new SegmentedPicker(labels(allOutputTargets), settingsColumn_);
    targetPicker_->setObjectName("targetPicker");
    targetPicker_->onSelected = [this](int i) { model_.setOutputTarget(allOutputTargets[size_t(i)]); };
    layout->addWidget(targetPicker_);
    auto* targetCaption =
        captionLabel(tr("Creates spatial video playable on Apple Vision Pro"), settingsColumn_);
    targetCaption->setWordWrap(true);
    layout->addWidget(targetCaption);
    auto* keep = new QCheckBox(tr("Keep SBS intermediate"), settingsColumn_);
    keep->setObjectName("keepIntermediate");
    connect(keep, &QCheckBox::toggled, &model_, &ConverterModel::setKeepSBSIntermediate);
    layout->addWidget(keep);

    section(tr("Duration Limit"));
    durationPicker_ = new SegmentedPicker({tr("2 min"), tr("5 min"), tr("Full movie")}, settingsColumn_);
    durationPicker_->setObjectName("durationPicker");
    durationPicker_->onSelected = [this](int i) {
        model_.setDebugLimitSeconds(i == 0 ? 120 : i == 1 ? 300 : 0);
    };
    layout->addWidget(durationPicker_);

    // Spatial metadata for Apple Vision Pro: nothing is written unless given.
    auto* advanced = new QToolButton(settingsColumn_);
    advanced->setObjectName("advancedDisclosure");
    advanced->setText(tr("Advanced"));
    advanced->setCheckable(true);
    advanced->setAutoRaise(true);
    advanced->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    advanced->setArrowType(Qt::RightArrow);
    layout->addWidget(advanced);
    auto* spatial = new QWidget(settingsColumn_);
    spatial->setObjectName("advancedSettings");
    spatial->setVisible(false);
    auto* form = new QFormLayout(spatial);
    form->setContentsMargins(0, 0, 0, 0);
    auto numberField = [&](const QString& name, const QString& tip) {
        auto* field = new QLineEdit(spatial);
        field->setObjectName(name);
        field->setPlaceholderText(tr("not written"));
        field->setToolTip(tip);
        field->setValidator(new QDoubleValidator(field));
        return field;
    };
    fieldOfViewField_ = numberField("fieldOfView", tr("The camera's horizontal field of view in degrees"));
    baselineField_ = numberField("baseline", tr("The distance between the two lenses in millimetres"));
    disparityField_ = numberField("disparityAdjustment",
                                  tr("Horizontal disparity adjustment, a fraction of the width (-1 to 1)"));
    form->addRow(tr("Field of view (°)"), fieldOfViewField_);
    form->addRow(tr("Baseline (mm)"), baselineField_);
    form->addRow(tr("Disparity adjustment"), disparityField_);
    auto* spatialCaption = captionLabel(tr("Written into MV-HEVC movies for spatial video"), spatial);
    spatialCaption->setWordWrap(true);
    form->addRow(spatialCaption);
    auto* machines = new QLineEdit(spatial);
    machines->setObjectName("otherMachines");
    machines->setPlaceholderText(tr("this machine only"));
    machines->setToolTip(tr("Machines that encode segments too, over SSH: GNU parallel's --sshlogin entries, "
                            "comma separated (4/user@box1, : for this machine), or @ and a file of them. "
                            "Each needs the same version of Duoscope's package."));
    machines->setText(model_.otherMachines());
    connect(machines, &QLineEdit::editingFinished, this,
            [this, machines] { model_.setOtherMachines(machines->text()); });
    form->addRow(tr("Other machines"), machines);
    layout->addWidget(spatial);
    connect(advanced, &QToolButton::toggled, this, [advanced, spatial](bool open) {
        advanced->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        spatial->setVisible(open);
    });
    for (QLineEdit* field : {fieldOfViewField_, baselineField_, disparityField_})
        connect(field, &QLineEdit::editingFinished, this, [this] {
            auto read = [](QLineEdit* field) -> std::optional<double> {
                bool ok = false;
                double value = QLocale().toDouble(field->text().trimmed(), &ok);
                if (!ok) value = field->text().trimmed().toDouble(&ok);
                return ok ? std::optional(value) : std::nullopt;
            };
            SpatialMetadata metadata{read(fieldOfViewField_), read(baselineField_), read(disparityField_)};
            if (auto problem = spatialMetadataProblem(metadata)) {
                model_.setErrorMessage(QString::fromStdString(*problem));
                return;
            }
            model_.setSpatialMetadata(metadata);
        });

    section(tr("Output Directory"));
    auto* folderRow = new QHBoxLayout;
    outputDirectoryLabel_ = new ElidedLabel(settingsColumn_);
    outputDirectoryLabel_->setObjectName("outputDirectory");
    outputDirectoryLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* choose = new QPushButton(symbolIcon("folder"), {}, settingsColumn_);
    choose->setObjectName("chooseFolderButton");
    choose->setToolTip(tr("Select Output Directory"));
    connect(choose, &QPushButton::clicked, &model_, &ConverterModel::chooseOutputDirectory);
    folderRow->addWidget(outputDirectoryLabel_, 1);
    folderRow->addWidget(choose);
    layout->addLayout(folderRow);
    layout->addStretch(1);
    return settingsColumn_;
}

QWidget* ContentView::buildFooter() {
    auto* footer = new QWidget(this);
    auto* layout = new QHBoxLayout(footer);
    layout->setContentsMargins(16, 8, 16, 8);
    footerStatus_ = captionLabel({}, footer);
    footerStatus_->setObjectName("footerStatus");
    footerStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* build = captionLabel("Build " + QString::number(ConverterModel::buildNumber), footer, 0.8, 110);
    layout->addWidget(footerStatus_, 1);
    layout->addWidget(build);
    return footer;
}

void ContentView::browseForFiles() {
    QStringList paths =
        QFileDialog::getOpenFileNames(this, tr("Select 3D Video Files"), {},
                                      tr("3D Video Files (*.mkv *.m2ts *.ts *.mp4 *.mov *.iso *.mpls)"));
    if (!paths.isEmpty()) model_.handleOpenPanelChoice(paths);
}

void ContentView::startConversionFromButton() {
    // The run reports through the model; the button only starts it.
    model_.startConversion();
}

void ContentView::scheduleRefresh() {
    if (!refreshTimer_.isActive()) refreshTimer_.start();
}

void ContentView::refresh() {
    ++refreshCount_;
    if (fileListDirty_) refreshFileList();
    refreshActionArea();
    refreshSettings();

    QString status =
        model_.isConverting() ? tr("Converting...")
        : model_.currentStage() == ConversionStage::complete
            ? (model_.lastOutputURL().isEmpty()
                   ? tr("Conversion complete")
                   : tr("Conversion complete: %1").arg(QFileInfo(model_.lastOutputURL()).fileName()))
        : !model_.errorMessage().isEmpty() ? "Error: " + model_.errorMessage()
        : model_.wasCancelled()            ? tr("Cancelled")
                                           : tr("Ready");
    footerStatus_->setText(status);
    footerStatus_->setToolTip(status);

    ConversionStage stage = model_.currentStage();
    if (stage != shownStage_) {
        shownStage_ = stage;
        if (stage == ConversionStage::failed && !model_.errorMessage().isEmpty())
            showFailureAlert(model_.errorMessage());
    }
}

void ContentView::refreshFileList() {
    fileListDirty_ = false;
    const QStringList& queue = model_.fileQueue();
    fileList_->setVisible(!queue.isEmpty());
    fileListTitle_->setText(queue.size() == 1 ? tr("Source File")
                                              : "Files (" + QString::number(queue.size()) + ")");
    bool batchRunning = model_.isBatchMode() && model_.isConverting();
    batchCaption_->setVisible(batchRunning);
    batchCaption_->setText("Converting " + QString::number(model_.currentQueueIndex() + 1) + " of " +
                           QString::number(queue.size()));

    while (QLayoutItem* item = fileRows_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int i = 0; i < queue.size(); ++i) {
        const QString& path = queue[i];
        auto* row = new QWidget(fileList_);
        row->setObjectName("fileRow");
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 2, 0, 2);
        using Analysis = QueuedFileState::Analysis;
        using Outcome = QueuedFileState::Outcome;
        QueuedFileState state = model_.fileState(path);
        QWidget* mark;
        bool busy = state.outcome == Outcome::converting ||
                    (state.outcome == Outcome::none && state.analysis == Analysis::analysing);
        if (busy) {
            mark = new Spinner(row);
            mark->setObjectName(state.outcome == Outcome::converting ? "convertingMark" : "analysingMark");
        } else {
            auto* label = new QLabel(row);
            label->setFixedSize(16, 16);
            const char* name = "fileMark";
            QPixmap picture = symbolIcon("film").pixmap(16, 16);
            if (state.outcome == Outcome::converted) {
                name = "doneMark";
                picture = tintedSymbol("checkmark.circle.fill", completeGreen, 16);
            } else if (state.outcome == Outcome::failed) {
                name = "failedMark";
                picture = tintedSymbol("xmark.circle.fill", failedRed, 16);
            } else if (state.outcome == Outcome::skipped) {
                name = "skippedMark";
                picture = tintedSymbol("minus.circle", QColor(128, 128, 128), 16);
            } else if (state.analysis != Analysis::stereo) {
                name = "notConvertibleMark";
                picture = tintedSymbol("exclamationmark.triangle", QColor(0xd0, 0x8a, 0x00), 16);
            }
            label->setPixmap(picture);
            label->setObjectName(name);
            mark = label;
        }
        layout->addWidget(mark, 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(0);
        auto* name = new ElidedLabel(row);
        name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        name->setFullText(QFileInfo(path).fileName());
        texts->addWidget(name);
        std::optional<SourceFileInfo> info;
        if (auto found = model_.fileInfoMap().constFind(path); found != model_.fileInfoMap().constEnd())
            info = *found;
        else if (model_.sourceInfo() && QString::fromStdString(model_.sourceInfo()->url.string()) == path)
            info = model_.sourceInfo();
        // What the analysis or the run says of the file, else its details.
        QString caption = state.text();
        if (state.outcome == Outcome::none && state.analysis == Analysis::stereo && info)
            caption = QString::fromStdString(info->resolution) + QString::fromUtf8(" · ") +
                      QString::fromStdString(info->formattedDuration());
        if (!caption.isEmpty()) {
            auto* details = new ElidedLabel(row);
            details->setObjectName("fileState");
            details->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
            details->setFont(scaledFont(details->font(), 0.9));
            details->setFullText(caption);
            if (state.outcome == Outcome::failed) {
                QPalette palette = details->palette();
                palette.setColor(QPalette::WindowText, failedRed);
                details->setPalette(palette);
            }
            texts->addWidget(details);
        }
        if (info && info->disc && !model_.isConverting())
            texts->addLayout(discPickers(path, *info->disc, row));
        layout->addLayout(texts, 1);
        auto* layoutPicker = new QComboBox(row);
        layoutPicker->setObjectName("sourceLayoutPicker");
        layoutPicker->setToolTip(tr("Source layout"));
        for (LayoutChoice choice : allLayoutChoices)
            layoutPicker->addItem(QString::fromUtf8(label(choice).data(), int(label(choice).size())));
        layoutPicker->setCurrentIndex(int(model_.layoutChoice(path)));
        layoutPicker->setEnabled(!model_.isConverting());
        connect(layoutPicker, &QComboBox::currentIndexChanged, this, [this, path](int index) {
            if (index >= 0 && size_t(index) < allLayoutChoices.size())
                model_.setLayoutChoice(path, allLayoutChoices[size_t(index)]);
        });
        layout->addWidget(layoutPicker, 0, Qt::AlignTop);
        if (!model_.isConverting()) {
            auto* remove = new QToolButton(row);
            remove->setObjectName("removeButton");
            remove->setAutoRaise(true);
            remove->setIcon(tintedSymbol("xmark.circle.fill", QColor(128, 128, 128), 16));
            remove->setToolTip(tr("Remove from queue"));
            connect(remove, &QToolButton::clicked, this, [this, i] { model_.removeFromQueue(i); });
            layout->addWidget(remove, 0, Qt::AlignTop);
        }
        fileRows_->addWidget(row);
    }
}

// A disc's 3D titles (the chosen one shown) and the sound's language.
QLayout* ContentView::discPickers(const QString& path, const DiscTitleSource& disc, QWidget* row) {
    auto* pickers = new QHBoxLayout;
    auto* titles = new QComboBox(row);
    titles->setObjectName("discTitlePicker");
    titles->setToolTip(tr("Disc title"));
    for (const auto& [playlist, text] : disc.titles3D) {
        titles->addItem(QString::fromStdString(text), playlist);
        if (playlist == disc.playlist) titles->setCurrentIndex(titles->count() - 1);
    }
    connect(titles, &QComboBox::activated, this, [this, path, titles](int index) {
        DiscChoice choice = model_.discChoice(path);
        choice.playlist = titles->itemData(index).toUInt();
        model_.setDiscChoice(path, choice);
    });
    auto* sound = new QComboBox(row);
    sound->setObjectName("discSoundPicker");
    sound->setToolTip(tr("Sound language"));
    sound->addItem(tr("First sound"), QString());
    for (const auto& language : disc.audioLanguages) {
        sound->addItem(QString::fromStdString(language), QString::fromStdString(language));
        if (language == model_.discChoice(path).audioLanguage) sound->setCurrentIndex(sound->count() - 1);
    }
    connect(sound, &QComboBox::activated, this, [this, path, sound](int index) {
        DiscChoice choice = model_.discChoice(path);
        choice.audioLanguage = sound->itemData(index).toString().toStdString();
        model_.setDiscChoice(path, choice);
    });
    pickers->addWidget(titles);
    pickers->addWidget(sound);
    pickers->addStretch(1);
    return pickers;
}

void ContentView::refreshActionArea() {
    bool converting = model_.isConverting();
    ConversionStage stage = model_.currentStage();
    bool complete = !converting && stage == ConversionStage::complete;
    // After a failure the red bar and "Failed" stay above the Convert button,
    // so the user sees where the run stopped and can try again.
    bool failed = !converting && stage == ConversionStage::failed;
    progressBlock_->setVisible(converting || complete || failed);
    cancelButton_->setVisible(converting);
    stageIcon_->setPixmap(tintedSymbol(symbolForStage(stage), colorForStage(stage), 20));
    stageText_->setText(converting && !model_.currentActivity().isEmpty() ? model_.currentActivity()
                        : complete && !model_.lastOutputURL().isEmpty()
                            ? qText(rawValue(stage)) + " — " + QFileInfo(model_.lastOutputURL()).fileName()
                            : qText(rawValue(stage)));
    QColor fill = stage == ConversionStage::complete ? completeGreen
                  : stage == ConversionStage::failed ? failedRed
                                                     : runningBlue;
    QString barStyle = progressBarStyle(fill);
    if (progressBar_->styleSheet() != barStyle) progressBar_->setStyleSheet(barStyle);
    int target = static_cast<int>(model_.progress() * 1000);
    if (progressAnimation_->endValue().toInt() != target ||
        progressAnimation_->state() != QAbstractAnimation::Running) {
        progressAnimation_->stop();
        progressAnimation_->setStartValue(progressBar_->value());
        progressAnimation_->setEndValue(target);
        progressAnimation_->start();
    }
    remainingTime_->setText(model_.estimatedTimeRemaining());
    percentage_->setText(QString::number(static_cast<int>(model_.progress() * 100)) + "%");

    QString summary = model_.timingSummary();
    timingSummary_->setText(summary);
    timingSummary_->setVisible(complete && !summary.isEmpty());
    runSummary_->setText(model_.runSummary());
    runSummary_->setVisible((complete || failed) && !model_.runSummary().isEmpty());
    // A batch with failures still made movies worth showing.
    revealButton_->setVisible((complete && !model_.lastOutputURL().isEmpty()) ||
                              (failed && !model_.batchOutputURLs().isEmpty()));
    convertAnotherButton_->setVisible(complete);

    convertButton_->setVisible(!converting && !complete);
    convertButton_->setText(model_.outputTarget() == OutputTarget::sbs3D ? tr("Convert to SBS 3D")
                                                                         : tr("Convert to MV-HEVC"));
    convertButton_->setEnabled(model_.canConvert());
    dropZone_->setEnabled(!converting);
}

void ContentView::refreshSettings() {
    bool converting = model_.isConverting();
    settingsColumn_->setEnabled(!converting);
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(settingsColumn_->graphicsEffect());
    if (converting && !effect) {
        effect = new QGraphicsOpacityEffect(settingsColumn_);
        effect->setOpacity(0.5);
        settingsColumn_->setGraphicsEffect(effect);
    } else if (!converting && effect) {
        settingsColumn_->setGraphicsEffect(nullptr);
    }
    lockedCaption_->setVisible(converting);

    auto indexOf = [](const auto& cases, auto value) {
        return int(std::find(cases.begin(), cases.end(), value) - cases.begin());
    };
    qualityPicker_->setCurrent(indexOf(allQualityPresets, model_.qualityPreset()));
    codecPicker_->setCurrent(indexOf(allOutputCodecs, model_.outputCodec()));
    targetPicker_->setCurrent(indexOf(allOutputTargets, model_.outputTarget()));
    int limit = model_.debugLimitSeconds();
    int durationIndex = limit == 120 ? 0 : limit == 300 ? 1 : limit <= 0 ? 2 : -1;
    if (durationIndex >= 0) durationPicker_->setCurrent(durationIndex);
    if (auto* keep = settingsColumn_->findChild<QCheckBox*>("keepIntermediate")) {
        QSignalBlocker blocker(keep);
        keep->setChecked(model_.keepSBSIntermediate());
    }
    if (model_.outputDirectory().isEmpty()) {
        outputDirectoryLabel_->setFullText(tr("Not selected"));
        outputDirectoryLabel_->setEnabled(false);
    } else {
        outputDirectoryLabel_->setFullText(model_.outputDirectory());
        outputDirectoryLabel_->setEnabled(true);
    }
}

void ContentView::showFailureAlert(const QString& message) {
    errorAlertMessage_ = message;
    showErrorAlert_ = true;
    if (failureAlert_) failureAlert_->close();
    failureAlert_ =
        new QMessageBox(QMessageBox::Critical, tr("Conversion Failed"), message, QMessageBox::Ok, this);
    failureAlert_->setObjectName("failureAlert");
    failureAlert_->setAttribute(Qt::WA_DeleteOnClose);
    connect(failureAlert_, &QMessageBox::finished, this, [this] { showErrorAlert_ = false; });
    failureAlert_->open();
}

} // namespace duoscope

#include "ContentView.moc"
