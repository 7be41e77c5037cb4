// Tests of the stop prompt: the three ways out and a long message.
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "prompt_widget.h"

class TestPromptWidget : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { delete prompt_.data(); }
    void waysOut_data();
    void waysOut();
    void longMessageWraps();

private:
    QPointer<PromptWidget> prompt_;
};

void TestPromptWidget::init() {
    prompt_ = new PromptWidget(QStringLiteral("正在更新中，确定停止更新么？停止以后，已经下载的文件会在下一次更新时重新检查。"));
    prompt_->setFixedSize(260, 160);
    prompt_->show();
    QVERIFY(QTest::qWaitForWindowExposed(prompt_.data()));
}

void TestPromptWidget::waysOut_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QVariantList>("answers");
    QTest::addColumn<bool>("staysOpen");
    QTest::newRow("stop twice answers yes twice and stays")
        << "edit_autosend_danmu_ok" << 2 << QVariantList{true, true} << true;
    QTest::newRow("continue answers no and closes") << "edit_autosend_danmu_cancel" << 1 << QVariantList{false} << false;
    QTest::newRow("title bar close answers nothing") << "close" << 1 << QVariantList{} << false;
}

void TestPromptWidget::waysOut() {
    QFETCH(QString, button);
    QFETCH(int, clicks);
    QFETCH(QVariantList, answers);
    QFETCH(bool, staysOpen);

    QSignalSpy spy(prompt_.data(), &PromptWidget::userConfirmed);
    QPushButton* pressed = prompt_->findChild<QPushButton*>(button);
    QVERIFY(pressed);
    for (int i = 0; i < clicks; ++i) QTest::mouseClick(pressed, Qt::LeftButton);
    QVariantList seen;
    for (const QList<QVariant>& arguments : spy) seen.append(arguments.at(0));
    QCOMPARE(seen, answers);
    // Closing deletes it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(prompt_.isNull(), !staysOpen);
}

void TestPromptWidget::longMessageWraps() {
    QLabel* message = prompt_->findChild<QLabel*>(QStringLiteral("14FFFFFF"));
    QVERIFY(message);
    // Far wider than the prompt on one line: only wrapping keeps it inside, above the buttons.
    QVERIFY(message->fontMetrics().horizontalAdvance(message->text()) > prompt_->width());
    QVERIFY(message->geometry().right() < prompt_->width());
    QVERIFY(message->heightForWidth(message->width()) > 2 * message->fontMetrics().height());
    QVERIFY(message->heightForWidth(message->width()) <= message->height());
    for (const char* name : {"edit_autosend_danmu_ok", "edit_autosend_danmu_cancel"}) {
        QPushButton* button = prompt_->findChild<QPushButton*>(name);
        QCOMPARE(button->height(), 28);
        QVERIFY(button->y() > message->geometry().bottom());
        QVERIFY(button->geometry().bottom() < prompt_->height());
    }
}

QTEST_MAIN(TestPromptWidget)
#include "tst_prompt_widget.moc"
