#include "platform/commandline.h"

CommandLine CommandLine::parse(const QStringList& args)
{
    CommandLine c;
    c.open = !args.isEmpty() && args.first() == QLatin1String("open");
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("hide")) {
            c.hide = true;
        } else if (a == QLatin1String("protect")) {
            c.protect = true;
        } else if (a == QLatin1String("--headless")) {
            c.headless = true;
        } else if (a == QLatin1String("--send")) {
            c.send = true;
            if (i + 1 < args.size()) {
                c.sendWord = args[++i];
            } else {
                c.error = QStringLiteral("--send needs a message: lpdshow, lpddown, lpdprot or "
                                         "lpduprot");
            }
        } else if (a.startsWith(QLatin1String("--send="))) {
            c.send = true;
            c.sendWord = a.mid(7);
        }
    }
    return c;
}
