// The device route: the data file copied unchanged to a device node (a parallel or USB
// printer, a serial line) or any existing file. The node is never created: a name that
// does not exist is a wrong definition, not a new file.

#include "net/uniquefd.h"
#include "platform/datablocks.h"
#include "platform/printroutes.h"
#include "platform/sigpipeguard.h"

#include <QFile>

#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes all of buf to a non-blocking descriptor, waiting while the device takes nothing,
// but not past the deadline. A write the kernel cuts short (a signal during a slow device)
// is resumed; one that moves nothing or reports an error fails.
bool writeAll(int fd, const char* buf, size_t size, const QDeadlineTimer& deadline, QString* reason)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (deadline.hasExpired()) {
                *reason = QStringLiteral("the device took no data within the time limit");
                return false;
            }
            pollfd p{fd, POLLOUT, 0};
            const qint64 left = deadline.isForever() ? 1000 : deadline.remainingTime();
            ::poll(&p, 1, int(std::min<qint64>(std::max<qint64>(left, 0), 1000)));
            continue;
        }
        if (n < 0) {
            *reason = errnoReason(QStringLiteral("write failed"), errno);
            return false;
        }
        if (n == 0) {
            *reason = QStringLiteral("write failed: the device took no data");
            return false;
        }
        done += size_t(n);
    }
    return true;
}

} // namespace

RouteResult printToDevice(const QString& devicePath, int dataFile, int timeoutMs)
{
    const QDeadlineTimer deadline =
        timeoutMs > 0 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    RouteResult result;
    DataBlocks data(dataFile);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }

    const QByteArray native = QFile::encodeName(devicePath);
    UniqueFd fd;
    // Opened without waiting: a FIFO nobody reads, or a serial line without carrier, would
    // otherwise hold the despooler in open() for good; the writes wait in poll, so that a
    // device that never reads cannot hold it past the time limit either.
    do {
        fd.reset(::open(native.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    } while (!fd && errno == EINTR);
    if (!fd) {
        result.reason = errnoReason(QStringLiteral("cannot open ") + devicePath, errno);
        return result;
    }
    // A regular file in place of a device holds the last job alone: written from its start
    // without being cut, a shorter job would leave the tail of the one before.
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd.get(), 0) != 0) {
        result.reason = errnoReason(QStringLiteral("cannot empty ") + devicePath, errno);
        return result;
    }

    SigpipeGuard noSigpipe;
    char buf[DataBlocks::BlockSize];
    bool ok = true;
    for (;;) {
        const ssize_t n = data.next(buf);
        if (n < 0) {
            result.reason = data.error();
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(fd.get(), buf, size_t(n), deadline, &result.reason)) {
            ok = false;
            break;
        }
    }
    // A device may report a failed transfer only when it is closed (NFS, some drivers).
    if (fd.reset() != 0 && ok && errno != EINTR) {
        result.reason = errnoReason(QStringLiteral("close failed"), errno);
        ok = false;
    }
    result.ok = ok;
    return result;
}
