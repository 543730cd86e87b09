// Thin main: decide headless or desktop, build the core, run the loop, end in order.

#include "config/settings.h"
#include "platform/unixsignals.h"
#include "protocol/lpdserver.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

bool wantsHeadless(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--headless") == 0)
            return true;
    }
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char** argv)
{
    [[maybe_unused]] const bool headless = wantsHeadless(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("spoolmere"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SPOOLMERE_VERSION));

    UnixSignals signals_;
    QObject::connect(&signals_, &UnixSignals::terminateRequested, &app,
                     [](int) { QCoreApplication::quit(); });

    LpdServer server(locateSettingsFile());
    QObject::connect(&server.log, &LogSink::lineAppended, [](const QString& line) {
        const QByteArray bytes = line.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
    server.start();
    const int rc = app.exec();
    server.shutdown();
    std::fflush(stdout);
    // A print pass still running is not waited for: its job keeps its files and is taken
    // up again at the next start.
    if (server.despoolerRunning())
        ::_exit(rc);
    return rc;
}
