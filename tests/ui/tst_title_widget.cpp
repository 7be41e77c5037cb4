// Tests of the title bar: maximising by button and double click, dragging the window it sits
// in, and the icon.
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "title_widget.h"

Q_DECLARE_METATYPE(Qt::MouseButton)

class TestTitleWidget : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup() { window_.reset(); }
    void maximiseToggles_data();
    void maximiseToggles();
    void drag_data();
    void drag();
    void iconReportsPressesOnceShown();

private:
    void Send(QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held, QPoint global) {
        QMouseEvent event(type, bar_->mapFromGlobal(global), window_->mapFromGlobal(global), global, button, held,
                          Qt::NoModifier);
        QApplication::sendEvent(bar_, &event);
    }

    QScopedPointer<QWidget> window_;
    TitleWidget* bar_ = nullptr;
};

void TestTitleWidget::init() {
    window_.reset(new QWidget(nullptr, Qt::FramelessWindowHint));
    window_->setGeometry(100, 100, 400, 200);
    bar_ = new TitleWidget(window_.data());
    bar_->SetTitle(QStringLiteral("提示"));
    bar_->setGeometry(0, 0, 400, 50);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.data()));
}

void TestTitleWidget::maximiseToggles_data() {
    QTest::addColumn<bool>("byDoubleClick");
    QTest::addColumn<bool>("hideMinMax");
    QTest::newRow("maximise button") << false << false;
    QTest::newRow("double click on the bar") << true << false;
    QTest::newRow("double click without a maximise button changes nothing") << true << true;
}

void TestTitleWidget::maximiseToggles() {
    QFETCH(bool, byDoubleClick);
    QFETCH(bool, hideMinMax);

    if (hideMinMax) bar_->HideMinMaxButtons();
    QPushButton* max = bar_->findChild<QPushButton*>(QStringLiteral("max"));
    QCOMPARE(max->property("max"), QVariant(false));
    for (const bool maximized : {!hideMinMax, false}) {
        if (byDoubleClick) QTest::mouseDClick(bar_, Qt::LeftButton, Qt::NoModifier, QPoint(200, 25));
        else QTest::mouseClick(max, Qt::LeftButton);
        QCOMPARE(window_->isMaximized(), maximized);
        QCOMPARE(max->property("max"), QVariant(maximized));
        QCOMPARE(max->toolTip(), maximized ? QStringLiteral("还原") : QStringLiteral("最大化"));
    }
}

void TestTitleWidget::drag_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QPoint>("pressAt");  // in bar coordinates
    QTest::addColumn<bool>("drags");
    QTest::newRow("left press on the title drags") << Qt::LeftButton << QPoint(20, 25) << true;
    QTest::newRow("left press on the empty row drags") << Qt::LeftButton << QPoint(200, 10) << true;
    QTest::newRow("right press does not drag") << Qt::RightButton << QPoint(200, 10) << false;
    QTest::newRow("left press outside the row does not drag") << Qt::LeftButton << QPoint(200, 70) << false;
}

void TestTitleWidget::drag() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(QPoint, pressAt);
    QFETCH(bool, drags);

    const QPoint start = window_->pos();
    const QPoint cursor = bar_->mapToGlobal(pressAt);
    Send(QEvent::MouseButtonPress, button, button, cursor);
    // Steps whose cursor runs far ahead of the bar: the window still moves by the travel alone.
    for (const QPoint travel : {QPoint(150, 90), QPoint(-40, 300), QPoint(-60, 30)}) {
        Send(QEvent::MouseMove, Qt::NoButton, button, cursor + travel);
    }
    Send(QEvent::MouseButtonRelease, button, Qt::NoButton, cursor + QPoint(-60, 30));
    Send(QEvent::MouseMove, Qt::NoButton, Qt::NoButton, cursor + QPoint(10, 10));
    QCOMPARE(window_->pos() - start, drags ? QPoint(-60, 30) : QPoint(0, 0));
}

void TestTitleWidget::iconReportsPressesOnceShown() {
    QLabel* icon = nullptr;
    for (QLabel* label : bar_->findChildren<QLabel*>()) {
        if (label->cursor().shape() == Qt::PointingHandCursor) icon = label;
    }
    QVERIFY(icon);
    QVERIFY(!icon->isVisible());
    QSignalSpy clicked(bar_, &TitleWidget::iconClicked);
    icon->show();
    QTest::mousePress(icon, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    // Taken by the bar: the press starts no drag.
    const QPoint start = window_->pos();
    Send(QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, icon->mapToGlobal(QPoint(40, 40)));
    QCOMPARE(window_->pos(), start);
}

QTEST_MAIN(TestTitleWidget)
#include "tst_title_widget.moc"
