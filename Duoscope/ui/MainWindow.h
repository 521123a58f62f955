// The main window around ContentView: title, sizes, the menus with
// "About Duoscope", and the start-up actions run when it is first shown.
// Main thread only.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

namespace duoscope {

class ConverterModel;
class ContentView;

// The About panel: name, version, build and credits.
class AboutDialog : public QDialog {
  public:
    explicit AboutDialog(QWidget* parent = nullptr);
    // The program's version from the build, "1.0" when the build gave none.
    static QString applicationVersion();
};

class MainWindow : public QMainWindow {
  public:
    // `openedFiles` are files handed over on the command line, as a file manager does.
    MainWindow(ConverterModel& model, QStringList openedFiles = {}, QWidget* parent = nullptr);
    ContentView* contentView() const { return contentView_; }
    void showAboutPanel();

  protected:
    void showEvent(QShowEvent* event) override;
    // Closing or quitting during a run asks first; a day's run is not lost to one key.
    void closeEvent(QCloseEvent* event) override;

  private:
    ConverterModel& model_;
    ContentView* contentView_;
    QStringList openedFiles_;
    bool hasStarted_ = false;
    QPointer<AboutDialog> about_;
};

} // namespace duoscope
