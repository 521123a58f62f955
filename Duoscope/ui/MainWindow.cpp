#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "ContentView.h"
#include "ConverterModel.h"
#include "Symbols.h"

#ifndef DUOSCOPE_VERSION
#define DUOSCOPE_VERSION ""
#endif

namespace duoscope {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("aboutDialog");
    setWindowTitle(tr("About Duoscope"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 16);
    layout->setSpacing(8);
    auto* icon = new QLabel(this);
    icon->setPixmap(appIcon().pixmap(96, 96));
    icon->setAlignment(Qt::AlignCenter);
    auto* name = new QLabel(QStringLiteral("Duoscope"), this);
    QFont title = name->font();
    title.setPointSizeF(title.pointSizeF() * 1.6);
    title.setBold(true);
    name->setFont(title);
    name->setAlignment(Qt::AlignCenter);
    auto* version = new QLabel(
        tr("Version %1 (Build %2)").arg(applicationVersion()).arg(ConverterModel::buildNumber), this);
    version->setObjectName("aboutVersion");
    version->setAlignment(Qt::AlignCenter);
    auto* credits = new QLabel(tr("Convert Blu-ray 3D to Apple Vision Pro spatial video"), this);
    credits->setAlignment(Qt::AlignCenter);
    credits->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(icon);
    layout->addWidget(name);
    layout->addWidget(version);
    layout->addSpacing(6);
    layout->addWidget(credits);
    layout->addSpacing(10);
    layout->addWidget(buttons);
    setMinimumWidth(340);
}

QString AboutDialog::applicationVersion() {
    QString version = QStringLiteral(DUOSCOPE_VERSION);
    return version.isEmpty() ? QStringLiteral("1.0") : version;
}

MainWindow::MainWindow(ConverterModel& model, QStringList openedFiles, QWidget* parent)
    : QMainWindow(parent), model_(model), contentView_(new ContentView(model, this)),
      openedFiles_(std::move(openedFiles)) {
    setWindowTitle(QStringLiteral("Duoscope"));
    setWindowIcon(appIcon());
    setCentralWidget(contentView_);
    setMinimumSize(800, 400);
    resize(1200, 700);

    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("&Open..."), QKeySequence::Open, contentView_, &ContentView::browseForFiles);
    file->addSeparator();
    // Through close(), so that quitting during a run asks like closing does.
    file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close)->setObjectName("quitAction");
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("About Duoscope"), this, &MainWindow::showAboutPanel);
}

void MainWindow::showAboutPanel() {
    raise();
    activateWindow();
    if (!about_) {
        about_ = new AboutDialog(this);
        about_->setAttribute(Qt::WA_DeleteOnClose);
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!model_.isConverting()) {
        event->accept();
        return;
    }
    QMessageBox question(QMessageBox::Warning, tr("Stop the conversion?"),
                         tr("A conversion is running. Quitting stops it and the unfinished movie is "
                            "discarded."),
                         QMessageBox::NoButton, this);
    question.setObjectName("quitQuestion");
    QPushButton* stop = question.addButton(tr("Stop and Quit"), QMessageBox::DestructiveRole);
    stop->setObjectName("stopAndQuitButton");
    QPushButton* keep = question.addButton(tr("Keep Converting"), QMessageBox::RejectRole);
    keep->setObjectName("keepConvertingButton");
    question.setDefaultButton(keep);
    question.setEscapeButton(keep);
    question.exec();
    if (question.clickedButton() != stop) {
        event->ignore();
        return;
    }
    // The run may have ended while the question was open; then there is nothing to stop.
    if (model_.isConverting()) model_.cancelConversion();
    event->accept();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (hasStarted_) return;
    hasStarted_ = true;
    model_.loadSettings();
    // Linux asks no permission for notifications; a missing service stays silent.
    ConverterModel::hasNotificationService();
    model_.handleCommandLineArguments();
    if (!openedFiles_.isEmpty()) model_.addFiles(openedFiles_);
}

} // namespace duoscope
