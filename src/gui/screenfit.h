#pragma once
// Windows no larger than the screen: at scale 2 or with large text, a size chosen from the
// font can exceed a small screen, and a dialog's buttons would be cut off.

#include <QSize>

class QWidget;

namespace screenfit {

// `wanted`, at most the available area of the screen the widget is on (the primary one
// before it is shown), less room for the window frame.
QSize bounded(const QWidget* widget, QSize wanted);
// Shrinks a top-level window that is larger than that area to fit it.
void fit(QWidget* window);
// From now on every window of the program (dialogs, file dialogs, help) is fitted as it is
// shown, whatever size it chose itself.
void fitEveryWindow();

} // namespace screenfit
