// Widget: a plain panel that shows its style sheet; the update window's rounded background.
#pragma once

#include <QWidget>

class Widget : public QWidget {
    Q_OBJECT
public:
    explicit Widget(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
