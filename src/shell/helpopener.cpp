#include "shell/helpopener.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>

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
    return QDesktopServices::openUrl(topicUrl());
}

bool HelpOpener::showContext(int context)
{
    return showTopic(contextAnchor(context));
}

bool HelpOpener::showTopic(const QString& anchor)
{
    return QDesktopServices::openUrl(topicUrl(anchor));
}
