// The device route: the data file copied unchanged to a device node (a parallel or USB
// printer, a serial line) or any existing file. The node is never created: a name that
// does not exist is a wrong definition, not a new file.

#include "platform/datablocks.h"
#include "platform/printroutes.h"
#include "platform/sigpipeguard.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Writes all of buf. A write the kernel cuts short (a signal during a slow device) is
// resumed; one that moves nothing or reports an error fails.
bool writeAll(int fd, const char* buf, size_t size, QString* reason)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, buf + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
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

RouteResult printToDevice(const QString& devicePath, const QString& dataFilePath)
{
    RouteResult result;
    DataBlocks data(dataFilePath);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }

    const QByteArray native = QFile::encodeName(devicePath);
    int fd;
    // Opened without waiting: a FIFO nobody reads, or a serial line without carrier, would
    // otherwise hold the despooler in open() for good. The writes then block as usual.
    do {
        fd = ::open(native.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result.reason = errnoReason(QStringLiteral("cannot open ") + devicePath, errno);
        return result;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

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
        if (!writeAll(fd, buf, size_t(n), &result.reason)) {
            ok = false;
            break;
        }
    }
    // A device may report a failed transfer only when it is closed (NFS, some drivers).
    if (::close(fd) != 0 && ok && errno != EINTR) {
        result.reason = errnoReason(QStringLiteral("close failed"), errno);
        ok = false;
    }
    result.ok = ok;
    return result;
}
