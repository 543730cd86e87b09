#include "gui/helpwindow.h"

#include "gui/appicon.h"

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
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 480);
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
