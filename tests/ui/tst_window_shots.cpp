// Renders the update window in each state and the stop prompt into PNG files under the build
// tree (window-shots/) for people to look at, and checks what every picture must show: the
// window's size, see-through corners outside the rounded panel, an opaque inside, and the status
// text whole, ending at the right margin, with the progress bar ending before it.
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "recording_actions.h"
#include "main_widget.h"
#include "prompt_widget.h"

namespace {

const QString kShotsDir = QStringLiteral(SHOTS_DIR);

// Saves the widget's picture as name.png, reads it back and checks its size and its corners.
void Shoot(QWidget* widget, const QString& name, QSize size) {
    QVERIFY(QTest::qWaitForWindowExposed(widget));
    const QString path = kShotsDir + "/" + name + ".png";
    QFile::remove(path);
    QVERIFY(widget->grab().save(path));
    const QImage shot(path);
    QCOMPARE(shot.size(), size);
    QCOMPARE(qAlpha(shot.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(shot.pixel(size.width() - 1, size.height() - 1)), 0);
    QCOMPARE(qAlpha(shot.pixel(size.width() / 2, size.height() / 2)), 255);
    QCOMPARE(qAlpha(shot.pixel(size.width() / 2, size.height() - 3)), 255);
}

}  // namespace

class TestWindowShots : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QDir().mkpath(kShotsDir)); }
    void window_data();
    void window();
    void stopPrompt();

private:
    RecordingActions presenter_;
};

void TestWindowShots::window_data() {
    // How far the update got: 0 idle, 1 checking, 2 downloading (2 of 5), 3 installing; then the result.
    QTest::addColumn<int>("stage");
    QTest::addColumn<int>("result");  // -1 none, 0 failed, 1 finished
    QTest::newRow("idle") << 0 << -1;
    QTest::newRow("checking") << 1 << -1;
    QTest::newRow("downloading") << 2 << -1;
    QTest::newRow("installing") << 3 << -1;
    QTest::newRow("finished") << 3 << 1;
    QTest::newRow("failed") << 3 << 0;
}

void TestWindowShots::window() {
    QFETCH(int, stage);
    QFETCH(int, result);

    MainWidget window;
    window.SetPresenter(&presenter_);
    window.SetUpdateInfo(QStringLiteral("1.5.2"),
                         QStringLiteral("1. 新增直播间弹幕助手，支持自动发送<br/>2. 优化推流稳定性，降低卡顿<br/>"
                                        "3. 修复部分机型上摄像头无法打开的问题"),
                         QStringLiteral("2024.03.18"));
    window.StartUpdate(stage >= 1);
    if (stage >= 2) {
        window.ShowDownloading(5);
        window.StepProgress();
        window.StepProgress();
    }
    if (stage >= 3) window.ShowInstalling();
    if (result >= 0) window.ShowResult(result == 1);
    window.show();
    Shoot(&window, QString::fromLatin1(QTest::currentDataTag()), QSize(680, 521));

    const auto* status = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
    const auto* bar = window.findChild<QProgressBar*>();
    QVERIFY(status && bar);
    const int textWidth = status->fontMetrics().horizontalAdvance(status->text());
    QVERIFY2(textWidth <= status->contentsRect().width(),
             qPrintable(QStringLiteral("\"%1\" needs %2 px, has %3").arg(status->text()).arg(textWidth)
                            .arg(status->contentsRect().width())));
    QCOMPARE(status->geometry().right(), 638);
    QVERIFY(bar->geometry().right() < status->geometry().left());
    QCOMPARE(bar->geometry().left(), 40);
}

void TestWindowShots::stopPrompt() {
    MainWidget window;
    window.SetPresenter(&presenter_);
    window.show();
    window.StartUpdate(true);
    QTest::mouseClick(qobject_cast<QPushButton*>(window.childAt(662, 18)), Qt::LeftButton);
    QScopedPointer<PromptWidget> prompt;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<PromptWidget*>(top)) prompt.reset(found);
    }
    QVERIFY(prompt);
    Shoot(prompt.data(), QStringLiteral("stop-prompt"), QSize(260, 160));
}

QTEST_MAIN(TestWindowShots)
#include "tst_window_shots.moc"
