// TitleWidget: layout, the window buttons, and dragging the parent window in screen coordinates.
#include "title_widget.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QVariant>

#include "style_sheet_painting.h"

namespace {

const QString kCloseButtonStyle = QStringLiteral(
    "QPushButton#close { border: none; image: url(:/res/Resources/btn_close_default.png); }"
    "QPushButton#close:hover { border: none; image: url(:/res/Resources/btn_close_sespend.png); }"
    "QPushButton#close:pressed { border: none; image: url(:/res/Resources/btn_close_click.png); }");
const QString kTitleStyle = QStringLiteral(
    "QLabel {            color:#E7E7E7;    font:Bold 12px 'Microsoft YaHei';    }");
// The updater ships no picture here; the icon is hidden unless a user of the bar shows it.
const QString kIconPath = QStringLiteral(":/skins/images/skins/title-logo.png");
// Dynamic property of the maximise button for style sheets: true while the bar maximised the window.
constexpr char kMaxProperty[] = "max";
constexpr int kButtonSize = 28;

}  // namespace

TitleWidget::TitleWidget(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("BkC333333"));
    setAttribute(Qt::WA_MouseTracking);
    // Users of the bar may set another height afterwards.
    setFixedHeight(50);

    auto* barLayout = new QHBoxLayout(this);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->setSpacing(0);
    rowWidget_ = new QWidget(this);
    rowWidget_->setMouseTracking(true);
    barLayout->addWidget(rowWidget_);

    auto* row = new QHBoxLayout(rowWidget_);
    row->setSpacing(5);
    row->setContentsMargins(12, 0, 0, 0);

    minButton_ = new QPushButton(rowWidget_);
    minButton_->setObjectName(QStringLiteral("min"));
    minButton_->setToolTip(QStringLiteral("最小化"));
    maxButton_ = new QPushButton(rowWidget_);
    maxButton_->setToolTip(QStringLiteral("最大化"));
    maxButton_->setObjectName(QStringLiteral("max"));
    closeButton_ = new QPushButton(rowWidget_);
    closeButton_->setObjectName(QStringLiteral("close"));
    closeButton_->setToolTip(QStringLiteral("关闭"));
    closeButton_->setStyleSheet(kCloseButtonStyle);
    for (QPushButton* button : {minButton_, maxButton_, closeButton_}) button->setFixedSize(kButtonSize, kButtonSize);

    iconLabel_ = new QLabel(rowWidget_);
    iconLabel_->setCursor(Qt::PointingHandCursor);
    iconLabel_->hide();
    iconLabel_->setFixedSize(30, 30);
    iconLabel_->setPixmap(QPixmap(kIconPath));
    iconLabel_->installEventFilter(this);

    titleLabel_ = new QLabel(rowWidget_);
    titleLabel_->setMouseTracking(true);
    titleLabel_->setStyleSheet(kTitleStyle);

    customArea_ = new QWidget(rowWidget_);
    auto* customLayout = new QHBoxLayout(customArea_);
    customLayout->setContentsMargins(0, 0, 0, 0);

    row->addWidget(iconLabel_);
    row->addWidget(titleLabel_);
    row->addStretch();
    row->addWidget(customArea_);
    row->addWidget(minButton_);
    row->addWidget(maxButton_);
    row->addWidget(closeButton_);

    connect(minButton_, &QPushButton::clicked, this, [this] { parentWidget()->showMinimized(); });
    connect(maxButton_, &QPushButton::clicked, this, [this] { ToggleMaximized(); });
    connect(closeButton_, &QPushButton::clicked, this, [this] { parentWidget()->close(); });
    SetMaxState(false);
}

void TitleWidget::SetTitle(const QString& text) { titleLabel_->setText(text); }

void TitleWidget::HideMinMaxButtons() {
    minButton_->hide();
    maxButton_->hide();
}

void TitleWidget::SetMaxState(bool maximized) {
    maxButton_->setProperty(kMaxProperty, maximized);
    // Style sheets match dynamic properties only when the widget is polished again.
    maxButton_->style()->unpolish(maxButton_);
    maxButton_->style()->polish(maxButton_);
    maxButton_->update();
}

void TitleWidget::ToggleMaximized() {
    QWidget* window = parentWidget();
    if (window->isMaximized()) {
        maxButton_->setToolTip(QStringLiteral("最大化"));
        window->showNormal();
        SetMaxState(false);
    } else {
        maxButton_->setToolTip(QStringLiteral("还原"));
        window->showMaximized();
        SetMaxState(true);
    }
}

bool TitleWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == iconLabel_ && event->type() == QEvent::MouseButtonPress) {
        emit iconClicked();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TitleWidget::mousePressEvent(QMouseEvent* event) {
    const QRect dragArea(rowWidget_->mapToGlobal(QPoint(0, 0)), rowWidget_->size());
    if (event->button() == Qt::LeftButton && dragArea.contains(event->globalPos())) {
        lastGlobalPos_ = event->globalPos();
        pressed_ = true;
    }
    // Ignored in every case, so the window under the bar sees the press too.
    event->ignore();
}

void TitleWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = false;
    event->ignore();
}

void TitleWidget::mouseDoubleClickEvent(QMouseEvent* event) {
    // A bar without a visible maximise button offers no maximising by double click either.
    if (maxButton_->isVisible()) ToggleMaximized();
    event->ignore();
}

void TitleWidget::mouseMoveEvent(QMouseEvent* event) {
    if (pressed_) {
        // Re-anchored on every step: the window follows the cursor's travel exactly even when the
        // cursor runs ahead of the bar between two steps.
        QWidget* window = parentWidget();
        window->move(window->pos() + (event->globalPos() - lastGlobalPos_));
        lastGlobalPos_ = event->globalPos();
    }
    event->ignore();
}

void TitleWidget::paintEvent(QPaintEvent*) { PaintStyleSheet(this); }
