#include "platform/instancelock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

InstanceLock::InstanceLock(QString dir) : m_dir(std::move(dir)) {}

InstanceLock::~InstanceLock()
{
    release();
}

QString InstanceLock::path() const
{
    return m_dir + QStringLiteral("/spoolmere");
}

QString InstanceLock::runtimeDir(QString* error)
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty())
        return xdg;
    // A shared /tmp: the folder must be ours and private, or another user could hold the
    // lock or answer on the control socket in our place.
    const QString dir =
        QDir::tempPath() + QStringLiteral("/spoolmere-") + QString::number(::getuid());
    const QByteArray native = QFile::encodeName(dir);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = dir + QStringLiteral(": ") + errnoText(errno);
        return {};
    }
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0) {
        if (error)
            *error = dir + QStringLiteral(": ") + errnoText(errno);
        return {};
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        if (error)
            *error = dir + QStringLiteral(": not a private folder of this user");
        return {};
    }
    return dir;
}

InstanceLock::Result InstanceLock::acquire()
{
    if (m_fd.isValid())
        return Result::Acquired;
    m_error.clear();
    if (m_dir.isEmpty()) {
        m_dir = runtimeDir(&m_error);
        if (m_dir.isEmpty())
            return Result::Failed;
    }
    const QByteArray native = QFile::encodeName(path());
    UniqueFd fd(::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.isValid()) {
        m_error = path() + QStringLiteral(": ") + errnoText(errno);
        return Result::Failed;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        fd.reset();
        if (e == EWOULDBLOCK)
            return Result::AlreadyRunning;
        m_error = path() + QStringLiteral(": ") + errnoText(e);
        return Result::Failed;
    }
    m_fd = std::move(fd);
    return Result::Acquired;
}

void InstanceLock::release()
{
    if (!m_fd.isValid())
        return;
    // The file stays: removing it would let a third process lock a fresh file while a
    // second one, which opened the old one a moment ago, locks that one.
    ::flock(m_fd.get(), LOCK_UN);
    m_fd.reset();
}
