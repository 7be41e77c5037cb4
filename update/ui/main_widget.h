// MainWidget: the updater's frameless update window. A passive view: the presenter feeds it and
// is called back from its slots; the decisions it takes alone are about closing: ending the
// updater when the user confirms stopping a running update, and refusing to close at all while
// the update is being installed.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QPointer>

#include "update_actions.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class PromptWidget;

class MainWidget : public QDialog {
    Q_OBJECT
public:
    explicit MainWidget(QWidget* parent = nullptr);

    // Not owned; null takes it back. Until it is set, the window's calls do nothing.
    void SetPresenter(UpdateActions* presenter);
    // Version and date replace the labels' values; the log is appended to the change log (text
    // that looks like rich text is taken as rich text).
    void SetUpdateInfo(const QString& version, const QString& log, const QString& date);
    // true: the same as pressing the action button; false: nothing.
    void StartUpdate(bool start);
    // Progress range 0..total, value 0.
    void ShowDownloading(int total);
    // One step more; the status shows the bar's own percentage.
    void StepProgress();
    bool IsProgressComplete() const;
    // Installing has begun: from now until ShowResult the window cannot be closed, and a stop
    // prompt still open is taken back.
    void ShowInstalling();
    // Finished (success) or back to idle with a retry (failure), whatever the state before; a
    // stop prompt still open is taken back.
    void ShowResult(bool success);

signals:
    // Every time the window closes, before the dialog's own close handling.
    void requestQuit();

public slots:
    void OnUpdateClicked();
    // Only the presenter's OnResult; reached through the meta-object by name.
    void OnResultClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // kUpdating covers checking and downloading, which a stop may cut short; kInstalling the
    // replacement of the installed files, which nothing may.
    enum UpdateState { kIdle = 0, kUpdating = 1, kFinished = 2, kInstalling = 3 };

    // Closes the window, or while an update runs asks whether to stop it, or while it installs
    // does nothing.
    void OnCloseClicked();
    // Shows text beside the progress bar, whole, taking width from the bar when it needs more.
    void SetStatus(const QString& text);
    // Closes the stop prompt if one is open; it answers nothing.
    void WithdrawStopPrompt();

    NoUpdateActions noActions_;
    UpdateActions* presenter_ = &noActions_;
    int updateState_ = kIdle;
    bool dragging_ = false;
    QPoint pressPos_;
    // The open stop prompt, if any (it deletes itself when closed).
    QPointer<PromptWidget> stopPrompt_;

    QLabel* versionLabel_ = nullptr;
    QLabel* dateLabel_ = nullptr;
    QTextBrowser* logBox_ = nullptr;
    QPushButton* actionButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* statusLabel_ = nullptr;
};
