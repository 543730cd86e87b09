#include "platform/servicemanager.h"

#include "platform/lazylibrary.h"

#include <QStringList>

#include <systemd/sd-daemon.h>

#include <sys/stat.h>
#include <unistd.h>

namespace servicemanager {

bool standardOutputIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(STDOUT_FILENO, &st) != 0)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = stream.left(colon).toULongLong(&devOk);
    const qulonglong ino = stream.mid(colon + 1).toULongLong(&inoOk);
    return devOk && inoOk && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
}

namespace {

// The syslog priority of a log line, read from the words it starts with: failures at error,
// what an operator should look at at warning, a stranger turned away at notice.
QByteArray priorityOf(const QString& line)
{
    // A client asking for a queue that is not here is the client's mistake, not a failure
    // of this server: it must not fill `journalctl -p err`.
    if (line.endsWith(QLatin1String(" - no such printer.")))
        return QByteArrayLiteral("<4>");
    for (const char* error : {"ERROR: ", "Failed: ", "Command not found: ", "Error "}) {
        if (line.startsWith(QLatin1String(error)))
            return QByteArrayLiteral("<3>");
    }
    if (line.startsWith(QLatin1String("WARNING: ")) ||
        line.startsWith(QLatin1String("Waiting: ")) ||
        line == QLatin1String("Out of file descriptors - connections dropped") ||
        line.endsWith(QLatin1String(" Timeout - closed.")))
        return QByteArrayLiteral("<4>");
    if (line.startsWith(QLatin1String("Remote ")) && line.endsWith(QLatin1String(" no permission.")))
        return QByteArrayLiteral("<5>");
    return QByteArrayLiteral("<6>");
}

} // namespace

QByteArray journalLine(const QString& line)
{
    const QByteArray priority = priorityOf(line);
    QByteArray out;
    // Socket reports end their first line with CR LF; the journal splits at LF only.
    const QStringList parts =
        QString(line).replace(QLatin1String("\r\n"), QLatin1String("\n")).split(QLatin1Char('\n'));
    for (const QString& part : parts)
        out += priority + part.toUtf8() + '\n';
    return out;
}

bool notify(const char* state)
{
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return false;
    static LazyLibrary systemd("libsystemd.so.0");
    static decltype(&::sd_notify) sdNotify = nullptr;
    if (!sdNotify && !systemd.resolve(sdNotify, "sd_notify"))
        return false;
    return sdNotify(0, state) > 0;
}

} // namespace servicemanager
