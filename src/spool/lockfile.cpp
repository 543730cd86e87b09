#include "spool/lockfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool createEmpty(const QByteArray& path, int flags)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

bool createLockFile(const QString& folder, const QString& lockPath)
{
    const QByteArray lock = QFile::encodeName(lockPath);
    const QByteArray stamp = QFile::encodeName(folder + QStringLiteral("/.lck"));
    if (::link(stamp.constData(), lock.constData()) == 0)
        return true;
    if (errno == ENOENT && createEmpty(stamp, 0) &&
        ::link(stamp.constData(), lock.constData()) == 0)
        return true;
    return createEmpty(lock, O_TRUNC);
}
