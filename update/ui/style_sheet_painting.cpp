// Style-sheet painting: the primitive PE_Widget is what the style-sheet style answers with the
// rule's background and border, for a widget initialised option.
#include "style_sheet_painting.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

void PaintStyleSheet(QWidget* widget) {
    QStyleOption option;
    option.initFrom(widget);
    QPainter painter(widget);
    widget->style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, widget);
}
