#include "gui/screenfit.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

namespace screenfit {

namespace {

class Fitter final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Show comes before the window is mapped: the window manager sees the fitted size.
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            const Qt::WindowType type = widget->windowType();
            if (widget->isWindow() && (type == Qt::Window || type == Qt::Dialog))
                fit(widget);
        }
        return false;
    }
};

} // namespace

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

void fitEveryWindow()
{
    static Fitter* fitter = nullptr;
    if (fitter || !qApp)
        return;
    fitter = new Fitter(qApp);
    qApp->installEventFilter(fitter);
}

} // namespace screenfit
