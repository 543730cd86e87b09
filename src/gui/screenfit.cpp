#include "gui/screenfit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace screenfit {

QSize bounded(const QWidget* widget, QSize wanted)
{
    const QScreen* screen = widget ? widget->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return wanted;
    // A title bar and borders are the window manager's, outside the widget's size.
    const QSize frame(16, 48);
    return wanted.boundedTo(screen->availableGeometry().size() - frame);
}

void fit(QWidget* window)
{
    const QSize size = bounded(window, window->size());
    if (size != window->size())
        window->resize(size);
}

} // namespace screenfit
