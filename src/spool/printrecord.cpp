#include "spool/printrecord.h"

#include "spool/queuefolder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr char Suffix[] = ":printing";

int openRecord(const QueueFolder& folder, const QString& controlFile, int flags)
{
    if (!folder.isOpen())
        return -1;
    return ::openat(folder.fd(), spoolName(PrintRecord::nameFor(controlFile)).constData(),
                    flags | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int lockRecord(int fd, int operation)
{
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

namespace PrintRecord {

QString nameFor(const QString& controlFile)
{
    return controlFile + QLatin1String(Suffix);
}

bool isRecordName(const QString& name, QString* controlFile)
{
    if (!name.endsWith(QLatin1String(Suffix)))
        return false;
    if (controlFile)
        *controlFile = name.chopped(int(sizeof Suffix) - 1);
    return true;
}

int begin(const QueueFolder& folder, const QString& controlFile)
{
    ::unlinkat(folder.fd(), spoolName(nameFor(controlFile)).constData(), 0);
    const int fd = openRecord(folder, controlFile, O_RDWR | O_CREAT | O_EXCL);
    if (fd < 0)
        return -1;
    if (lockRecord(fd, LOCK_EX) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void recordSuccess(const QueueFolder& folder, const QString& controlFile)
{
    const int fd = begin(folder, controlFile);
    if (fd < 0)
        return;
    static constexpr char Line[] = "exit 0\n";
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, Line, sizeof Line - 1, 0);
    ::close(fd);
}

Outcome earlier(const QueueFolder& folder, const QString& controlFile, QString* detail)
{
    const int fd = openRecord(folder, controlFile, O_RDONLY);
    if (fd < 0)
        return Outcome::None;
    // A supervisor left by a server that died still runs the command: its end is waited for.
    lockRecord(fd, LOCK_EX);
    char text[64];
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (n <= 0)
        return Outcome::Unknown;
    const QByteArray written = QByteArray(text, n).trimmed();
    if (detail)
        *detail = QString::fromLatin1(written);
    return written == "exit 0" ? Outcome::Succeeded : Outcome::Failed;
}

bool isRunning(const QueueFolder& folder, const QString& controlFile)
{
    const int fd = openRecord(folder, controlFile, O_RDONLY);
    if (fd < 0)
        return false;
    const bool running = lockRecord(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return running;
}

void remove(const QueueFolder& folder, const QString& controlFile)
{
    folder.remove(nameFor(controlFile));
}

} // namespace PrintRecord
