// Tests of the update window against a recording presenter: the action button's state machine
// and texts, the progress display, closing and the stop prompt, and dragging the frameless window.
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBrowser>
#include <QtTest>

#include "main_widget.h"
#include "prompt_widget.h"
#include "recording_actions.h"

namespace {

constexpr int kWaitMs = 5000;
// Points inside the elements the tests reach, by their fixed places in the window.
const QPoint kCaptionAt(25, 15), kVersionAt(45, 145), kDateAt(45, 170), kLogAt(100, 250), kActionAt(578, 423),
    kCloseAt(662, 18), kProgressAt(100, 472), kStatusAt(600, 470), kPanelAt(400, 100);
const QString kUpdating = QStringLiteral("更新中...");
const QString kChecking = QStringLiteral("正在检查文件信息...");

// The element of type T under point p of the window (walking up from, e.g., a scroll viewport).
template <typename T>
T* At(QWidget& window, QPoint p) {
    for (QWidget* child = window.childAt(p); child && child != &window; child = child->parentWidget()) {
        if (auto* found = qobject_cast<T*>(child)) return found;
    }
    return nullptr;
}

QList<PromptWidget*> OpenPrompts() {
    QList<PromptWidget*> prompts;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* prompt = qobject_cast<PromptWidget*>(top)) prompts.append(prompt);
    }
    return prompts;
}

}  // namespace

class TestMainWidget : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void actionFollowsTheUpdate_data();
    void actionFollowsTheUpdate();
    void updateInfo();
    void hugeLogIsCut_data();
    void hugeLogIsCut();
    void progress_data();
    void progress();
    void closeWithoutAsking_data();
    void closeWithoutAsking();
    void closeWhileUpdatingAsksFirst_data();
    void closeWhileUpdatingAsksFirst();
    void confirmingStopEndsEveryUpdater();
    void drag_data();
    void drag();
    void windowWithoutActionsStillWorks();

private:
    // Plays a space-separated script: press (the slot), click (the button), start, nostart,
    // download (4 steps), step, install, ok, fail, result (OnResultClicked by name, as nothing
    // connects to it).
    void Run(const QString& script);
    QPushButton* Action() { return At<QPushButton>(*window_, kActionAt); }
    QString Status() { return At<QLabel>(*window_, kStatusAt)->text(); }
    // The user closes the window: "button" (its close button), "Esc", or "system" (a close the
    // system asks for, such as Alt+F4).
    void CloseByUser(const QString& by) {
        if (by == "Esc") QTest::keyClick(window_.data(), Qt::Key_Escape);
        else if (by == "button") QTest::mouseClick(At<QPushButton>(*window_, kCloseAt), Qt::LeftButton);
        else if (by == "system") window_->close();
        else QFAIL(qPrintable("unknown way to close: " + by));
    }

    RecordingActions presenter_;
    QScopedPointer<MainWidget> window_;
};

void TestMainWidget::init() {
    window_.reset(new MainWidget);
    window_->SetPresenter(&presenter_);
    window_->move(200, 150);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.data()));
    presenter_.calls.clear();
}

void TestMainWidget::cleanup() {
    qDeleteAll(OpenPrompts());
    window_.reset();
}

void TestMainWidget::Run(const QString& script) {
    MainWidget& w = *window_;
    for (const QString& step : script.split(' ', Qt::SkipEmptyParts)) {
        if (step == "press") w.OnUpdateClicked();
        else if (step == "click") QTest::mouseClick(Action(), Qt::LeftButton);
        else if (step == "start") w.StartUpdate(true);
        else if (step == "nostart") w.StartUpdate(false);
        else if (step == "download") w.ShowDownloading(4);
        else if (step == "step") w.StepProgress();
        else if (step == "install") w.ShowInstalling();
        else if (step == "ok") w.ShowResult(true);
        else if (step == "fail") w.ShowResult(false);
        else if (step == "result") QVERIFY(QMetaObject::invokeMethod(&w, "OnResultClicked"));
        else QFAIL(qPrintable("unknown step " + step));
    }
}

void TestMainWidget::actionFollowsTheUpdate_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("calls");

    QTest::newRow("fresh window") << "" << "立即更新" << true << "0%" << "";
    QTest::newRow("click starts the install") << "click" << kUpdating << false << kChecking << "DisconnectView BeginInstall";
    QTest::newRow("StartUpdate(true) acts as a press") << "start" << kUpdating << false << kChecking
                                                      << "DisconnectView BeginInstall";
    QTest::newRow("StartUpdate(false) does nothing") << "nostart" << "立即更新" << true << "0%" << "";
    QTest::newRow("press while updating only disconnects")
        << "press download step install press nostart" << kUpdating << false << "正在安装文件..."
        << "DisconnectView BeginInstall DisconnectView";
    QTest::newRow("success offers a restart") << "press ok" << "重新启动" << true << "安装完成"
                                              << "DisconnectView BeginInstall";
    QTest::newRow("restart") << "press ok click" << "重新启动" << true << "安装完成"
                             << "DisconnectView BeginInstall DisconnectView RestartApp";
    QTest::newRow("failure offers a retry") << "press fail" << "重试" << true << "更新失败" << "DisconnectView BeginInstall";
    QTest::newRow("retry starts over") << "press fail click" << kUpdating << false << kChecking
                                       << "DisconnectView BeginInstall DisconnectView BeginInstall";
    QTest::newRow("the result slot only asks the presenter") << "result" << "立即更新" << true << "0%" << "OnResult";
    QTest::newRow("a result needs no running update") << "ok" << "重新启动" << true << "安装完成" << "";
}

void TestMainWidget::actionFollowsTheUpdate() {
    QFETCH(QString, script);
    QFETCH(QString, buttonText);
    QFETCH(bool, enabled);
    QFETCH(QString, status);
    QFETCH(QString, calls);

    Run(script);
    QCOMPARE(Action()->text(), buttonText);
    QCOMPARE(Action()->isEnabled(), enabled);
    QCOMPARE(Status(), status);
    QCOMPARE(presenter_.calls.join(' '), calls);
}

void TestMainWidget::updateInfo() {
    QLabel* version = At<QLabel>(*window_, kVersionAt);
    QLabel* date = At<QLabel>(*window_, kDateAt);
    QTextBrowser* log = At<QTextBrowser>(*window_, kLogAt);
    QVERIFY(version && date && log);

    window_->SetUpdateInfo(QString(), QString(), QString());
    QCOMPARE(version->text(), QStringLiteral("卓卡直播助手PC版 V"));
    QCOMPARE(date->text(), QStringLiteral("更新日期："));

    window_->SetUpdateInfo("2.0.1", "<b>first</b> batch", "2024.01.02");
    window_->SetUpdateInfo("2.0.2", "second batch", "2024.02.03");
    QCOMPARE(version->text(), QStringLiteral("卓卡直播助手PC版 V2.0.2"));
    QCOMPARE(date->text(), QStringLiteral("更新日期：2024.02.03"));
    // The heading stays on top, logs follow in call order, and markup is taken as rich text.
    const QString text = log->toPlainText();
    QVERIFY2(text.startsWith(QStringLiteral("更新日志")), qPrintable(text));
    QVERIFY2(text.indexOf("first batch") > 0 && text.indexOf("first batch") < text.indexOf("second batch"),
             qPrintable(text));
}

void TestMainWidget::hugeLogIsCut_data() {
    // Lengths in UTF-16 units, as the box counts them; the window keeps the first 64 Ki of them.
    const int limit = 64 * 1024;
    const QString pair = QStringLiteral("\U0001F600");  // one character, two units
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("shown");

    const QString atLimit = QString(limit, QLatin1Char('a'));
    QTest::newRow("log at the limit shown whole") << atLimit << atLimit;
    const QString huge = QString(limit, QLatin1Char('b')) + QString(256 * 1024, QLatin1Char('c'));
    QTest::newRow("huge log cut at the limit") << huge << huge.left(limit) + QChar(0x2026);
    // The pair straddles the limit: it goes as a whole, never one half of it.
    const QString straddling = QString(limit - 1, QLatin1Char('d')) + pair + QStringLiteral("tail");
    QTest::newRow("pair at the cut not split") << straddling << straddling.left(limit - 1) + QChar(0x2026);
    const QString ending = QString(limit - 2, QLatin1Char('e')) + pair + QStringLiteral("tail");
    QTest::newRow("pair just inside kept") << ending << ending.left(limit) + QChar(0x2026);
}

void TestMainWidget::hugeLogIsCut() {
    QFETCH(QString, log);
    QFETCH(QString, shown);
    QTextBrowser* box = At<QTextBrowser>(*window_, kLogAt);
    QVERIFY(box);

    window_->SetUpdateInfo("2.0.1", log, "2024.01.02");
    const QString text = box->toPlainText();
    const int start = text.indexOf(log.left(16));
    QVERIFY(start > 0);
    // Compared by length first: a failing QCOMPARE of the strings would print a megabyte.
    QCOMPARE(text.size() - start, shown.size());
    QVERIFY(text.mid(start) == shown);
}

void TestMainWidget::progress_data() {
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("complete");

    QTest::newRow("nothing to download is complete at once") << 0 << 0 << "正在下载文件..." << true;
    QTest::newRow("one of three shows the bar's own percent") << 3 << 1 << "33%" << false;
    QTest::newRow("two of three truncates") << 3 << 2 << "66%" << false;
    QTest::newRow("all of three") << 3 << 3 << "100%" << true;
    QTest::newRow("steps past the end keep 100%") << 3 << 5 << "100%" << true;
}

void TestMainWidget::progress() {
    QFETCH(int, total);
    QFETCH(int, steps);
    QFETCH(QString, status);
    QFETCH(bool, complete);

    window_->ShowDownloading(total);
    for (int i = 0; i < steps; ++i) window_->StepProgress();
    QCOMPARE(At<QProgressBar>(*window_, kProgressAt)->value(), qMin(steps, total));
    QCOMPARE(Status(), status);
    QCOMPARE(window_->IsProgressComplete(), complete);
    // A new round starts again from zero.
    window_->ShowDownloading(total + 1);
    QVERIFY(!window_->IsProgressComplete());
}

void TestMainWidget::closeWithoutAsking_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("by");
    QTest::addColumn<bool>("closes");

    QTest::newRow("idle, close button") << "" << "button" << true;
    QTest::newRow("finished, close button") << "press ok" << "button" << true;
    QTest::newRow("idle, Esc") << "" << "Esc" << true;
    QTest::newRow("finished, Esc") << "press ok" << "Esc" << true;
    // Installing replaces the installed files one by one; ended midway, the installation would be
    // left half old, half new. The window waits for the result instead.
    const QString installing = QStringLiteral("press download step step step step install");
    QTest::newRow("installing, close button waits") << installing << "button" << false;
    QTest::newRow("installing, Esc waits") << installing << "Esc" << false;
    QTest::newRow("installing, system close waits") << installing << "system" << false;
    QTest::newRow("install failed, close button") << installing + " fail" << "button" << true;
    QTest::newRow("installed, Esc") << installing + " ok" << "Esc" << true;
}

void TestMainWidget::closeWithoutAsking() {
    QFETCH(QString, script);
    QFETCH(QString, by);
    QFETCH(bool, closes);
    Run(script);
    const QString status = Status();
    presenter_.calls.clear();
    QSignalSpy quit(window_.data(), &MainWidget::requestQuit);
    CloseByUser(by);
    QCOMPARE(window_->isVisible(), !closes);
    QCOMPARE(quit.count(), closes ? 1 : 0);
    QVERIFY(OpenPrompts().isEmpty());
    QVERIFY(presenter_.calls.isEmpty());
    QCOMPARE(Status(), status);
    // Hidden, not deleted: the presenter still holds it.
    QPointer<MainWidget> alive(window_.data());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(alive);
}

void TestMainWidget::closeWhileUpdatingAsksFirst_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("by");
    // What ends the question: "decline" (the cancel button), or the run going on while the prompt
    // is open: "step install" (the downloads complete, installing begins), "fail" or "ok" (the
    // run ends). Then the action button as the window shows it.
    QTest::addColumn<QString>("then");
    QTest::addColumn<QString>("buttonText");

    QTest::newRow("checking, close button") << "start" << "button" << "decline" << kUpdating;
    QTest::newRow("checking, Esc") << "start" << "Esc" << "decline" << kUpdating;
    QTest::newRow("downloading, close button") << "start download step" << "button" << "decline" << kUpdating;
    QTest::newRow("installing begins while asking") << "start download step step step" << "Esc" << "step install"
                                                    << kUpdating;
    QTest::newRow("the retry fails while asking") << "start fail click" << "button" << "fail" << "重试";
    QTest::newRow("the download fails while asking") << "start download step" << "Esc" << "fail" << "重试";
    QTest::newRow("the run finishes while asking") << "start download step" << "button" << "ok" << "重新启动";
}

void TestMainWidget::closeWhileUpdatingAsksFirst() {
    QFETCH(QString, script);
    QFETCH(QString, by);
    QFETCH(QString, then);
    QFETCH(QString, buttonText);
    Run(script);
    presenter_.calls.clear();
    QSignalSpy quit(window_.data(), &MainWidget::requestQuit);
    CloseByUser(by);

    QCOMPARE(OpenPrompts().size(), 1);
    QPointer<PromptWidget> prompt = OpenPrompts().first();
    QCOMPARE(prompt->objectName(), QStringLiteral("R_BkC333639"));
    QCOMPARE(prompt->size(), QSize(260, 160));
    QCOMPARE(QApplication::activeModalWidget(), prompt.data());
    QCOMPARE(prompt->findChild<QLabel*>("14FFFFFF")->text(), QStringLiteral("正在更新中，确定停止更新么？"));
    QVERIFY(window_->isVisible());

    // Either way the prompt goes and nothing else changes: once installing has begun, a stop
    // could only leave a broken installation behind, and once the run has ended there is nothing
    // left to stop, so the question is taken back.
    if (then == "decline") QTest::mouseClick(prompt->findChild<QPushButton*>("edit_autosend_danmu_cancel"), Qt::LeftButton);
    else Run(then);
    QTRY_VERIFY_WITH_TIMEOUT(prompt.isNull(), kWaitMs);
    QVERIFY(window_->isVisible());
    QCOMPARE(quit.count(), 0);
    QVERIFY(presenter_.calls.isEmpty());
    QCOMPARE(Action()->text(), buttonText);
    const bool ended = buttonText != kUpdating;
    QCOMPARE(Action()->isEnabled(), ended);
    // An ended run's window closes at once, as in that state without a prompt ever shown.
    if (ended) {
        CloseByUser(by);
        QVERIFY(!window_->isVisible());
        QCOMPARE(quit.count(), 1);
        QVERIFY(OpenPrompts().isEmpty());
    }
}

void TestMainWidget::confirmingStopEndsEveryUpdater() {
    // Two running "update.exe" stand-ins take the place of this updater and a second copy.
    QProcess first, second;
    for (QProcess* process : {&first, &second}) {
        process->start(QStringLiteral(STANDIN_DIR "/update.exe"), {"--stay"});
        QVERIFY2(process->waitForStarted(kWaitMs), qPrintable(process->errorString()));
    }
    Run("start");
    QTest::mouseClick(At<QPushButton>(*window_, kCloseAt), Qt::LeftButton);
    QCOMPARE(OpenPrompts().size(), 1);
    QTest::mouseClick(OpenPrompts().first()->findChild<QPushButton*>("edit_autosend_danmu_ok"), Qt::LeftButton);
    for (QProcess* process : {&first, &second}) {
        QVERIFY(process->waitForFinished(kWaitMs));
        QCOMPARE(process->exitStatus(), QProcess::CrashExit);
    }
}

void TestMainWidget::drag_data() {
    // Where the press lands, then the events: p/r = press/release, L/R = button, m = move; each
    // with the cursor's travel from where it started. Last: where the window ends up.
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QPoint>("moved");

    QTest::newRow("left drag on the panel follows the cursor") << kPanelAt << "pL0,0 m30,15 m-45,60 rL-45,60" << QPoint(-45, 60);
    QTest::newRow("left drag on a label") << kCaptionAt << "pL0,0 m12,-7" << QPoint(12, -7);
    QTest::newRow("left release ends the drag") << kPanelAt << "pL0,0 m20,20 rL20,20 m80,80" << QPoint(20, 20);
    QTest::newRow("right button neither starts nor ends a drag")
        << kPanelAt << "pR0,0 m40,40 rR40,40 pL40,40 pR45,45 rR45,45 m50,-10" << QPoint(10, -50);
    QTest::newRow("the change log keeps its presses") << kLogAt << "pL0,0 m30,30" << QPoint(0, 0);
}

void TestMainWidget::windowWithoutActionsStillWorks() {
    // Pressed before anyone runs the update (or after SetPresenter(nullptr)): no call goes
    // anywhere, the window itself still follows the press.
    MainWidget window;
    window.OnUpdateClicked();
    window.OnResultClicked();
    QCOMPARE(At<QLabel>(window, kStatusAt)->text(), kChecking);
    window_->SetPresenter(nullptr);
    Run("press");
    QVERIFY(presenter_.calls.isEmpty());
}

void TestMainWidget::drag() {
    QFETCH(QPoint, at);
    QFETCH(QString, events);
    QFETCH(QPoint, moved);

    const QPoint start = window_->pos();
    QWidget* receiver = window_->childAt(at);
    QVERIFY(receiver);
    const QPoint cursorStart = window_->mapToGlobal(at);
    // Events go where a grabbed mouse sends them, the widget pressed first, with the positions
    // of a cursor travelling on the screen while the window moves under it.
    Qt::MouseButtons held;
    for (const QString& e : events.split(' ')) {
        const QStringList xy = e.mid(e[0] == 'm' ? 1 : 2).split(',');
        const QPoint global = cursorStart + QPoint(xy[0].toInt(), xy[1].toInt());
        const Qt::MouseButton button = e[0] == 'm' ? Qt::NoButton : e[1] == 'L' ? Qt::LeftButton : Qt::RightButton;
        const QEvent::Type type = e[0] == 'p' ? QEvent::MouseButtonPress
                                  : e[0] == 'r' ? QEvent::MouseButtonRelease : QEvent::MouseMove;
        held = type == QEvent::MouseButtonPress ? held | button : held & ~Qt::MouseButtons(button);
        QMouseEvent event(type, receiver->mapFromGlobal(global), window_->mapFromGlobal(global), global, button,
                          held, Qt::NoModifier);
        QApplication::sendEvent(receiver, &event);
    }
    QCOMPARE(window_->pos() - start, moved);
}

QTEST_MAIN(TestMainWidget)
#include "tst_main_widget.moc"
