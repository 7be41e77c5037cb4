// MainWidget: a fixed 680 x 521 window whose rounded panel fills it; every other element sits at
// an absolute position above the panel. The action button's meaning follows updateState_.
#include "main_widget.h"

#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "process_kill.h"
#include "prompt_widget.h"
#include "run_log.h"
#include "update_layout.h"
#include "widget.h"

// The pictures are compiled into this static library; their registration is only linked in when
// something refers to it. Q_INIT_RESOURCE must be used outside any namespace.
static void InitUpdateResources() { Q_INIT_RESOURCE(update); }

namespace {

const QString kPanelStyle = QStringLiteral(
    "QWidget { background-color: #FF23262A; border: 1px solid #4A90E2; border-radius: 8px;}");
const QString kCaptionStyle = QStringLiteral("color:#9F9F9F;font:Normal 12px 'Microsoft YaHei';");
const QString kCloseButtonStyle = QStringLiteral(
    "QPushButton { border: none; image: url(:/res/Resources/btn_close_default.png); }"
    "QPushButton:hover { image: url(:/res/Resources/btn_close_sespend.png); }"
    "QPushButton:pressed { image: url(:/res/Resources/btn_close_click.png); }");
const QString kProductStyle = QStringLiteral("color:#E7E7E7;font:Bold 24px 'Microsoft YaHei';");
const QString kWebStyle = QStringLiteral("color:#E7E7E7;font:Bold 16px 'Microsoft YaHei';");
const QString kVersionStyle = QStringLiteral("color:#E7E7E7;font:16px 'Microsoft YaHei';");
const QString kDateStyle = QStringLiteral("color:#9F9F9F;font:12px 'Microsoft YaHei';");
const QString kLogStyle = QStringLiteral(
    "QTextBrowser {background-color: #FF33363A; border: none; border-radius: 4px; color: #e7e7e7; "
    "font:14px 'Microsoft YaHei';}");
// A thin 4px bar without arrows; the handle brightens under the cursor and when pressed.
const QString kLogScrollBarStyle = QStringLiteral(
    "QScrollBar:vertical { width: 4px; border: none; background: transparent; margin: 0px; }"
    "QScrollBar::handle:vertical { background: #26F3F8FF; min-height: 20px; border-radius: 2px; }"
    "QScrollBar::handle:vertical:hover { background: #4DF3F8FF; }"
    "QScrollBar::handle:vertical:pressed { background: #66F3F8FF; }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical,"
    " QScrollBar::up-arrow:vertical, QScrollBar::down-arrow:vertical { height: 0px; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { height: 0px; background: none; }");
const QString kLogHeading = QStringLiteral(
    "<font style=\"color:#9F9F9F; font-family='Microsoft YaHei'; font-size=14px;\">更新日志</font><br/>");
const QString kActionStyle = QStringLiteral(
    "QPushButton { border: none; border-radius: 20; font: Bold 16px 'Microsoft YaHei'; color: white;"
    " background: rgba(74, 144, 226, 1); }"
    "QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1,"
    " stop:0 rgba(83, 162, 255, 1), stop:1 rgba(71, 198, 255, 1)); }"
    "QPushButton:disabled { background: #33363A; color: #666666; }");
const QString kProgressStyle = QStringLiteral(
    "QProgressBar { border-style: solid; background: #434649; border-radius: 3px; }"
    "QProgressBar::chunk { background: #4A90E2; border-radius: 3px; }");
const QString kStatusStyle = QStringLiteral("QLabel{color: #FF9F9F9F; font:12px 'Microsoft YaHei';}");

const QString kVersionPrefix = QStringLiteral("卓卡直播助手PC版 V");
const QString kDatePrefix = QStringLiteral("更新日期：");
const QString kUpdateText = QStringLiteral("立即更新");
const QString kUpdatingText = QStringLiteral("更新中...");
const QString kRestartText = QStringLiteral("重新启动");
const QString kRetryText = QStringLiteral("重试");
const QString kCheckingStatus = QStringLiteral("正在检查文件信息...");
const QString kDownloadingStatus = QStringLiteral("正在下载文件...");
const QString kInstallingStatus = QStringLiteral("正在安装文件...");
const QString kFinishedStatus = QStringLiteral("安装完成");
const QString kFailedStatus = QStringLiteral("更新失败");
const QString kStopQuestion = QStringLiteral("正在更新中，确定停止更新么？");

// The change log shown is cut to this many UTF-16 units, then "…". Laying out text costs far more
// than its length suggests: megabytes of log keep the window from appearing for minutes, and the
// box is only 180 px high anyway.
constexpr int kMaxLogLength = 64 * 1024;

constexpr int kWidth = 680;
constexpr int kHeight = 521;
// The progress bar and the status text share one line: the bar starts at the left margin, the
// text ends at the right one, at least kStatusMinWidth wide (a percentage), with kStatusGap
// between them.
constexpr int kMargin = 40;
constexpr int kStatusRight = kWidth - 41;
constexpr int kStatusMinWidth = 80;
constexpr int kStatusGap = 4;
constexpr int kPromptWidth = 260;
constexpr int kPromptHeight = 160;

// A child of the window at a fixed place and size.
template <typename T>
T* Place(T* widget, int x, int y, int width, int height) {
    widget->setFixedSize(width, height);
    widget->move(x, y);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, const QString& style) {
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(style);
    return label;
}

// At most kMaxLogLength units of log, never ending in half of a surrogate pair (the box would
// show a replacement glyph for it).
QString BoundedLog(const QString& log) {
    if (log.size() <= kMaxLogLength) return log;
    int length = kMaxLogLength;
    if (log.at(length - 1).isHighSurrogate()) --length;
    return log.left(length) + QChar(0x2026);
}

}  // namespace

MainWidget::MainWidget(QWidget* parent) : QDialog(parent) {
    InitUpdateResources();
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    // Only the panel's rounded shape shows; the corners outside it stay see-through.
    setAttribute(Qt::WA_TranslucentBackground);

    auto* panel = new Widget(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(panel);
    panel->setStyleSheet(kPanelStyle);

    // Created after the panel, so each lies above it.
    Place(MakeLabel(this, QStringLiteral("软件更新"), kCaptionStyle), 20, 9, 50, 17);

    // The parts that change carry object names, by which tools that drive or read the window
    // (tests, accessibility) find them.
    closeButton_ = Place(new QPushButton(this), 648, 4, 28, 28);
    closeButton_->setObjectName(QStringLiteral("closeButton"));
    closeButton_->setStyleSheet(kCloseButtonStyle);

    QLabel* logo = Place(new QLabel(this), 40, 63, 50, 50);
    logo->setPixmap(QPixmap(QStringLiteral(":/res/Resources/logo.png")));
    logo->setScaledContents(true);

    Place(MakeLabel(this, QStringLiteral("卓卡"), kProductStyle), 100, 60, 81, 33);
    Place(MakeLabel(this, QStringLiteral("zk.test"), kWebStyle), 100, 88, 100, 20);
    versionLabel_ = Place(MakeLabel(this, kVersionPrefix + QStringLiteral("1.4.0"), kVersionStyle), 40, 140, 350, 24);
    dateLabel_ = Place(MakeLabel(this, kDatePrefix + QStringLiteral("2019.09.14"), kDateStyle), 40, 166, 130, 16);
    versionLabel_->setObjectName(QStringLiteral("versionLabel"));
    dateLabel_->setObjectName(QStringLiteral("dateLabel"));

    logBox_ = Place(new QTextBrowser(this), 40, 195, 600, 180);
    logBox_->setReadOnly(true);
    logBox_->setFrameStyle(0);
    logBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logBox_->setContextMenuPolicy(Qt::NoContextMenu);
    logBox_->setStyleSheet(kLogStyle);
    logBox_->verticalScrollBar()->setStyleSheet(kLogScrollBarStyle);
    logBox_->append(kLogHeading);

    actionButton_ = Place(new QPushButton(kUpdateText, this), 516, 403, 124, 40);
    actionButton_->setObjectName(QStringLiteral("actionButton"));
    actionButton_->setStyleSheet(kActionStyle);

    progressBar_ = Place(new QProgressBar(this), kMargin, 470, kStatusRight - kStatusMinWidth - kStatusGap - kMargin, 6);
    progressBar_->setTextVisible(false);
    progressBar_->setStyleSheet(kProgressStyle);

    statusLabel_ = Place(MakeLabel(this, QString(), kStatusStyle), kStatusRight - kStatusMinWidth, 463, kStatusMinWidth, 18);
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    statusLabel_->setAlignment(Qt::AlignRight);
    // The text is measured in the style sheet's font.
    statusLabel_->ensurePolished();
    SetStatus(QStringLiteral("0%"));

    setWindowIcon(QIcon(QStringLiteral(":/res/Resources/zeb_app.ico")));
    setFixedSize(kWidth, kHeight);
    connect(actionButton_, &QPushButton::clicked, this, &MainWidget::OnUpdateClicked);
    connect(closeButton_, &QPushButton::clicked, this, [this] { OnCloseClicked(); });
}

void MainWidget::SetPresenter(UpdateActions* presenter) {
    presenter_ = presenter != nullptr ? presenter : &noActions_;
}

void MainWidget::SetUpdateInfo(const QString& version, const QString& log, const QString& date) {
    versionLabel_->setText(kVersionPrefix + version);
    logBox_->append(BoundedLog(log));
    dateLabel_->setText(kDatePrefix + date);
}

void MainWidget::StartUpdate(bool start) {
    if (start) OnUpdateClicked();
}

void MainWidget::ShowDownloading(int total) {
    progressBar_->setRange(0, total);
    progressBar_->setValue(0);
    SetStatus(kDownloadingStatus);
}

void MainWidget::SetStatus(const QString& text) {
    // The longer texts ("正在检查文件信息...") do not fit a percentage's width: the text grows to
    // the left, always whole, and the bar ends where it begins.
    // (The label's size hint would not do: it never goes below the width it was last given.)
    const QMargins margins = statusLabel_->contentsMargins();
    const int needed = statusLabel_->fontMetrics().horizontalAdvance(text) + margins.left() + margins.right();
    const int width = qMax(kStatusMinWidth, needed + 1);
    statusLabel_->setFixedWidth(width);
    statusLabel_->move(kStatusRight - width, statusLabel_->y());
    statusLabel_->setText(text);
    progressBar_->setFixedWidth(kStatusRight - width - kStatusGap - kMargin);
}

void MainWidget::StepProgress() {
    // Past the maximum the bar refuses the value and keeps showing 100%.
    progressBar_->setValue(progressBar_->value() + 1);
    SetStatus(progressBar_->text());
}

bool MainWidget::IsProgressComplete() const { return progressBar_->value() == progressBar_->maximum(); }

void MainWidget::ShowInstalling() {
    updateState_ = kInstalling;
    SetStatus(kInstallingStatus);
    // Asked during the download, the question no longer has a safe answer.
    WithdrawStopPrompt();
}

void MainWidget::ShowResult(bool success) {
    // The run the question was about has ended; left open, the modal prompt would hold the
    // window until someone answered a question about nothing.
    WithdrawStopPrompt();
    if (success) {
        updateState_ = kFinished;
        actionButton_->setText(kRestartText);
        SetStatus(kFinishedStatus);
    } else {
        // Back to idle: the next press starts over as the first one did.
        updateState_ = kIdle;
        actionButton_->setText(kRetryText);
        SetStatus(kFailedStatus);
    }
    actionButton_->setEnabled(true);
}

void MainWidget::OnUpdateClicked() {
    // Whatever happens next, the user has acted: closing must no longer count as declining.
    presenter_->DisconnectView();
    if (updateState_ == kIdle) {
        SetStatus(kCheckingStatus);
        presenter_->BeginInstall();
        actionButton_->setEnabled(false);
        actionButton_->setText(kUpdatingText);
        updateState_ = kUpdating;
    } else if (updateState_ == kFinished) {
        presenter_->RestartApp();
    }
}

void MainWidget::OnResultClicked() { presenter_->OnResult(); }

void MainWidget::WithdrawStopPrompt() {
    if (stopPrompt_) stopPrompt_->close();
}

void MainWidget::OnCloseClicked() {
    // The stop ends this process at once, and the undo record of the file replacement lives only
    // in its memory: the installation would stay half replaced and nobody would start the
    // assistant again. The install ends on its own with a result; closing works again then.
    if (updateState_ == kInstalling) return;
    if (updateState_ != kUpdating) {
        close();
        return;
    }
    // No parent: the prompt is a window of its own, modal for the whole application, and
    // deletes itself when closed.
    auto* prompt = new PromptWidget(kStopQuestion, nullptr, nullptr);
    prompt->setFixedSize(kPromptWidth, kPromptHeight);
    stopPrompt_ = prompt;
    connect(prompt, &PromptWidget::userConfirmed, this, [](bool yes) {
        // A confirmed stop ends every updater process, this one included; if the kill cannot
        // even be started the prompt just stays. The run's last line is written first: the
        // kill leaves no time for it.
        if (!yes) return;
        RunLog::End(QStringLiteral("stopped by the user"));
        platform::StartKillByImageName(kUpdaterImage);
    });
    prompt->show();
}

void MainWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragging_ = true;
        pressPos_ = event->pos();
    }
    QDialog::mousePressEvent(event);
}

void MainWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    QDialog::mouseReleaseEvent(event);
}

void MainWidget::mouseMoveEvent(QMouseEvent* event) {
    // The buttons held are not looked at: the drag lasts from the left press to the left release.
    if (dragging_) move(x() + event->pos().x() - pressPos_.x(), y() + event->pos().y() - pressPos_.y());
    QDialog::mouseMoveEvent(event);
}

void MainWidget::closeEvent(QCloseEvent* event) {
    // Closes that do not come through OnCloseClicked (the system's: Alt+F4, the taskbar menu)
    // would end the application as well, in the middle of the install.
    if (updateState_ == kInstalling) {
        event->ignore();
        return;
    }
    emit requestQuit();
    QDialog::closeEvent(event);
}

void MainWidget::keyPressEvent(QKeyEvent* event) {
    // A dialog rejects itself on Esc: it would vanish without a close event, so without
    // requestQuit, and in the middle of an update without the stop prompt, ending the run with
    // the update half done. Esc does what the close button does instead.
    if (event->matches(QKeySequence::Cancel)) {
        OnCloseClicked();
        return;
    }
    QDialog::keyPressEvent(event);
}
