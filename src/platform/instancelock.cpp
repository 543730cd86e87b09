#include "platform/instancelock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

namespace {

// A folder of this user's that nobody else can have made or can change: ours, a folder, no
// link, no rights for others.
QString privateFolderProblem(const QByteArray& native)
{
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0)
        return errnoText(errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        return QStringLiteral("not a private folder of this user");
    return {};
}

} // namespace

QString InstanceLock::runtimeDir(QString* error)
{
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty())
        return xdg;
    return runtimeDirWithout(QStringLiteral("/run/user/") + QString::number(::getuid()),
                             QDir::homePath(), error);
}

QString InstanceLock::runtimeDirWithout(const QString& loginFolder, const QString& home,
                                        QString* error)
{
    // The folder the login manager makes for the user: only root can create it.
    if (privateFolderProblem(QFile::encodeName(loginFolder)).isEmpty())
        return loginFolder;
    // Else one in the home folder. A name in a shared /tmp could be taken first by another
    // user, who would then hold the lock or answer on the control socket in our place; in a
    // home that only its owner (or root) may write, nobody else can make it.
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return QString();
    };
    struct stat homeStat
    {
    };
    const QByteArray nativeHome = QFile::encodeName(home);
    if (home.isEmpty() || ::stat(nativeHome.constData(), &homeStat) != 0 ||
        (homeStat.st_uid != ::getuid() && homeStat.st_uid != 0) || (homeStat.st_mode & 022) != 0)
        return fail(QStringLiteral("XDG_RUNTIME_DIR is not set, ") + loginFolder +
                    QStringLiteral(" is not there, and the home folder ") + home +
                    QStringLiteral(" is not one only this user may write"));
    const QString dir = home + QStringLiteral("/.local/state/spoolmere");
    const QByteArray native = QFile::encodeName(dir);
    if (!QDir().mkpath(QFileInfo(dir).absolutePath()))
        return fail(QFileInfo(dir).absolutePath() + QStringLiteral(": cannot be made"));
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return fail(dir + QStringLiteral(": ") + errnoText(errno));
    if (const QString problem = privateFolderProblem(native); !problem.isEmpty())
        return fail(dir + QStringLiteral(": ") + problem);
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
