// Style-sheet painting for plain QWidget subclasses: the one routine the panel, the stop prompt
// and the title bar call from their paint events.
#pragma once

class QWidget;

// Draws widget's own style sheet (background, border, corner radius) onto it. A plain QWidget
// subclass skips this by default, so a style sheet set on it would otherwise not show.
void PaintStyleSheet(QWidget* widget);
