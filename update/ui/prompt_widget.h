// PromptWidget: a small frameless, application-modal question window with a title bar, a
// message and two buttons; reports the answer through userConfirmed.
#pragma once

#include <QWidget>

class QPushButton;

class PromptWidget : public QWidget {
    Q_OBJECT
public:
    // buttonArea, when given, replaces the two buttons below the message. The prompt deletes
    // itself when closed; its creator sizes, places and shows it.
    explicit PromptWidget(const QString& text, QWidget* buttonArea = nullptr, QWidget* parent = nullptr);

signals:
    // true from the confirm button (the prompt stays open), false from the cancel button (the
    // prompt then closes). Closing by the title bar emits nothing.
    void userConfirmed(bool yes);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Setup(const QString& text, QWidget* buttonArea);

    QPushButton* cancelButton_ = nullptr;
};
