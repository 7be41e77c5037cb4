// PromptWidget: title bar on top, the message between two stretches, the buttons at the bottom.
#include "prompt_widget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "style_sheet_painting.h"
#include "title_widget.h"

namespace {

const QString kPromptName = QStringLiteral("R_BkC333639");
const QString kPromptStyle = QStringLiteral(
    "QWidget#R_BkC333639 {        background-color:#333639;        border: 1px solid #804A90E2;        "
    "border-radius: 8px;    }");
const QString kTitleName = QStringLiteral("RT_BkC2C2F33");
const QString kTitleStyle = QStringLiteral(
    "QWidget#RT_BkC2C2F33 {        background-color:#2C2F33;        border-top-left-radius:8px;        "
    "border-top-right-radius:8px;    }    ");
const QString kMessageName = QStringLiteral("14FFFFFF");
const QString kMessageStyle = QStringLiteral(
    "QLabel#14FFFFFF {        color:#FFFFFF;        font:14px 'Microsoft YaHei';        }");
const QString kConfirmName = QStringLiteral("edit_autosend_danmu_ok");
const QString kConfirmStyle = QStringLiteral(
    "QPushButton#edit_autosend_danmu_ok { border: none; border-radius: 14px; background: #FF4A90E2; "
    "color: white; font: 12px 'Microsoft YaHei'; }"
    "QPushButton#edit_autosend_danmu_ok:disabled { background: #FF54575A; }");
const QString kCancelName = QStringLiteral("edit_autosend_danmu_cancel");
const QString kCancelStyle = QStringLiteral(
    "QPushButton#edit_autosend_danmu_cancel { border: 1px solid #FF666666; border-radius: 14px; "
    "background: #FF33363a; color: #e7e7e7; font: 12px 'Microsoft YaHei'; }");
constexpr int kTitleHeight = 32;
// Half of it is the buttons' corner radius, which makes them pills.
constexpr int kButtonHeight = 28;
constexpr int kConfirmMaxWidth = 104;

}  // namespace

PromptWidget::PromptWidget(const QString& text, QWidget* buttonArea, QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setWindowModality(Qt::ApplicationModal);
    Setup(text, buttonArea);
}

void PromptWidget::Setup(const QString& text, QWidget* buttonArea) {
    setObjectName(kPromptName);
    setStyleSheet(kPromptStyle);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);

    auto* title = new TitleWidget(this);
    title->setObjectName(kTitleName);
    title->setStyleSheet(kTitleStyle);
    title->setFixedHeight(kTitleHeight);
    title->SetTitle(QStringLiteral("提示"));
    title->HideMinMaxButtons();

    auto* content = new QVBoxLayout;
    content->setSpacing(5);
    content->setContentsMargins(5, 5, 5, 15);

    auto* message = new QLabel(this);
    message->setObjectName(kMessageName);
    message->setStyleSheet(kMessageStyle);
    message->setAlignment(Qt::AlignHCenter);
    message->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    message->setText(text);
    message->adjustSize();
    message->setWordWrap(true);

    content->addStretch();
    content->addWidget(message);
    content->addStretch();

    if (buttonArea) {
        content->addWidget(buttonArea);
    } else {
        auto* buttons = new QHBoxLayout;
        buttons->setContentsMargins(40, 0, 40, 0);
        buttons->setSpacing(10);

        auto* confirm = new QPushButton(QStringLiteral("停止更新"), this);
        confirm->setObjectName(kConfirmName);
        confirm->setFixedHeight(kButtonHeight);
        confirm->setMaximumWidth(kConfirmMaxWidth);
        confirm->setStyleSheet(kConfirmStyle);
        connect(confirm, &QPushButton::clicked, this, [this] { emit userConfirmed(true); });

        cancelButton_ = new QPushButton(QStringLiteral("继续更新"), this);
        cancelButton_->setObjectName(kCancelName);
        cancelButton_->setFixedHeight(kButtonHeight);
        cancelButton_->setStyleSheet(kCancelStyle);
        connect(cancelButton_, &QPushButton::clicked, this, [this] {
            emit userConfirmed(false);
            close();
        });

        buttons->addWidget(confirm);
        buttons->addWidget(cancelButton_);
        content->addLayout(buttons);
    }

    layout->addWidget(title);
    layout->addLayout(content);
}

void PromptWidget::paintEvent(QPaintEvent*) { PaintStyleSheet(this); }
