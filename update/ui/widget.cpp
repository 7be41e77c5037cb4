// Widget: paints its style sheet, nothing else.
#include "widget.h"

#include "style_sheet_painting.h"

Widget::Widget(QWidget* parent) : QWidget(parent) {}

void Widget::paintEvent(QPaintEvent*) { PaintStyleSheet(this); }
