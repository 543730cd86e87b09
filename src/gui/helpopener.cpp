#include "gui/helpopener.h"

#include "gui/helpwindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

// xdg-open tells by its exit status whether anything took the page; Qt's desktop services
// start it detached and cannot tell, so it is run here when it exists.
bool openWithDesktop(const QUrl& url, std::function<void()> onFailure)
{
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty())
        return QDesktopServices::openUrl(url);
    auto* process = new QProcess;
    QObject::connect(process, &QProcess::finished, process,
                     [process, onFailure](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status != QProcess::NormalExit || code != 0)
                             onFailure();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, onFailure](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         onFailure();
                     });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(xdgOpen, {url.toString()});
    return true;
}

HelpOpener::Browser& browser()
{
    static HelpOpener::Browser current = openWithDesktop;
    return current;
}

QPointer<HelpWindow>& helpWindow()
{
    static QPointer<HelpWindow> window;
    return window;
}

} // namespace

void HelpOpener::setBrowser(Browser b)
{
    browser() = std::move(b);
}

void HelpOpener::resetBrowser()
{
    browser() = openWithDesktop;
}

void HelpOpener::showInHelpWindow(const QUrl& url)
{
    // The window belongs to what asked for it, the modal dialog open at the time above all:
    // the window manager then keeps it above that dialog, and the dialog's modality does not
    // block it (a dialog's own windows take input while it is open).
    QWidget* opener = QApplication::activeModalWidget();
    if (!opener)
        opener = QApplication::activeWindow();
    if (opener && opener == helpWindow().data())
        opener = helpWindow()->parentWidget();
    if (!helpWindow()) {
        helpWindow() = new HelpWindow(opener);
        helpWindow()->setAttribute(Qt::WA_DeleteOnClose);
    } else if (helpWindow()->parentWidget() != opener) {
        helpWindow()->setParent(opener, helpWindow()->windowFlags());
    }
    helpWindow()->showPage(url);
}

QWidget* HelpOpener::helpWindowForTesting()
{
    return helpWindow();
}

QString HelpOpener::indexPath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    QStringList candidates{appDir + QStringLiteral("/docs/index.html"),
                           appDir + QStringLiteral("/../share/doc/spoolmere/index.html")};
#ifdef SPOOLMERE_DOCS_DIR
    candidates << QStringLiteral(SPOOLMERE_DOCS_DIR "/index.html");
#endif
    for (const QString& path : candidates) {
        if (QFileInfo(path).isFile())
            return QFileInfo(path).canonicalFilePath();
    }
    return candidates.first();
}

QString HelpOpener::contextAnchor(int context)
{
    return QStringLiteral("context-") + QString::number(context);
}

QUrl HelpOpener::topicUrl(const QString& anchor)
{
    QUrl url = QUrl::fromLocalFile(indexPath());
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    return url;
}

bool HelpOpener::showContents()
{
    return showTopic(QString());
}

bool HelpOpener::showContext(int context)
{
    return showTopic(contextAnchor(context));
}

bool HelpOpener::showTopic(const QString& anchor)
{
    const QUrl url = topicUrl(anchor);
    if (browser()(url, [url] { showInHelpWindow(url); }))
        return true;
    showInHelpWindow(url);
    return false;
}
