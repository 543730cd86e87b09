// Writes the program's own icon as PNG files for the hicolor theme: rendericon DIR SIZE...
// gives DIR/SIZExSIZE/apps/spoolmere.png for each size.

#include "gui/appicon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: rendericon DIR SIZE...\n");
        return 2;
    }
    for (const QString& sizeText : args.mid(2)) {
        const int size = sizeText.toInt();
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(args[1]).arg(size);
        if (size <= 0 || !QDir().mkpath(folder) ||
            !AppIcon::pixmap(size).save(folder + QStringLiteral("/spoolmere.png"))) {
            std::fprintf(stderr, "rendericon: cannot write size %s\n", qPrintable(sizeText));
            return 1;
        }
    }
    return 0;
}
