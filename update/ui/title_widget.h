// TitleWidget: a title bar for frameless windows (icon, title, room for extra widgets, minimize,
// maximize and close buttons) that acts on its parent window and drags it around.
#pragma once

#include <QPoint>
#include <QWidget>

class QLabel;
class QPushButton;

class TitleWidget : public QWidget {
    Q_OBJECT
public:
    explicit TitleWidget(QWidget* parent = nullptr);

    void SetTitle(const QString& text);
    void HideMinMaxButtons();
    // Stores the parent's maximised state in the maximise button's "max" property and re-polishes
    // the button, so that a style sheet keyed on the property follows.
    void SetMaxState(bool maximized);

signals:
    // Declared for users of the bar; the buttons act on the parent window themselves.
    void MinWidget();
    void MaxWidget();
    void CloseWidget();
    // A mouse press on the icon, which is hidden until a user of the bar shows it.
    void iconClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Maximises the parent window or brings it back to normal, with tooltip and property.
    void ToggleMaximized();

    QLabel* iconLabel_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QPushButton* minButton_ = nullptr;
    QPushButton* maxButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QWidget* rowWidget_ = nullptr;
    QWidget* customArea_ = nullptr;
    bool pressed_ = false;
    QPoint lastGlobalPos_;
};
