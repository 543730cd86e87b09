#include "gui/helpwindow.h"

#include "gui/appicon.h"

#include <QKeyEvent>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle(QStringLiteral("Spoolmere Help"));
    setWindowIcon(AppIcon::icon());
    m_browser = new QTextBrowser(this);
    // Links to other sites go to the desktop, as far as it can; the page's own anchors stay.
    m_browser->setOpenExternalLinks(true);
    // Named for a screen reader: the window and the page it holds.
    setAccessibleName(QStringLiteral("Spoolmere Help"));
    m_browser->setAccessibleName(QStringLiteral("Help page"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 480);
    // Closed as a help window is closed elsewhere: Escape, Ctrl+W.
    // (The text browser keeps Escape for itself, so that one is taken from it.)
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this);
    connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    m_browser->installEventFilter(this);
    installEventFilter(this);
    setFocusProxy(m_browser);
}

HelpWindow::~HelpWindow() = default;

void HelpWindow::showPage(const QUrl& url)
{
    m_browser->setSource(url);
    if (url.hasFragment())
        m_browser->scrollToAnchor(url.fragment());
    show();
    raise();
    activateWindow();
}

bool HelpWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        close();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
