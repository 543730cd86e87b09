#include "spool/queuefolder.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool makeFolders(const QByteArray& path)
{
    // Parents first; only folders that are missing are made, each one 0700.
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1)) {
        const QByteArray parent = path.left(slash);
        if (::mkdir(parent.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return ::mkdir(path.constData(), 0700) == 0 || errno == EEXIST;
}

int openFolder(const QByteArray& path)
{
    return ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

QByteArray spoolName(const QString& name)
{
    return name.toLatin1();
}

QString spoolNameFromBytes(const char* bytes)
{
    return QString::fromLatin1(bytes);
}

QByteArray spoolFilePath(const QString& folder, const QString& name)
{
    return QFile::encodeName(folder) + '/' + spoolName(name);
}

QByteArray spoolFilePath(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return spoolName(path);
    return spoolFilePath(path.left(slash), path.mid(slash + 1));
}

QueueFolder QueueFolder::open(const QString& path, bool create)
{
    QueueFolder folder;
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    int fd = openFolder(native);
    if (fd < 0 && errno == ENOENT && create && makeFolders(native))
        fd = openFolder(native);
    if (fd < 0) {
        const int err = errno;
        struct stat st
        {
        };
        if (err == ENOENT)
            folder.m_missing = true;
        else if (err == ELOOP ||
                 (err == ENOTDIR && ::lstat(native.constData(), &st) == 0 && S_ISLNK(st.st_mode)))
            folder.m_problem = QStringLiteral("is a symbolic link");
        else
            folder.m_openError = err;
        return folder;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        // Not open, for no reason of safety.
    } else if (st.st_uid != ::geteuid()) {
        folder.m_problem = QStringLiteral("is not owned by the server's user");
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.m_problem = QStringLiteral("is writable by others");
    } else if (struct stat spool{}; ::fstatat(fd, "..", &spool, 0) != 0 ||
               (spool.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Whoever may write the spool folder may put a link where this folder is while a
        // print runs, and have the server remove or print through it.
        folder.m_problem = QStringLiteral("is in a spool folder that others can write");
    } else {
        folder.m_fd = fd;
        return folder;
    }
    ::close(fd);
    return folder;
}

QueueFolder::~QueueFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QueueFolder::QueueFolder(QueueFolder&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_missing(other.m_missing),
      m_openError(other.m_openError), m_problem(std::move(other.m_problem))
{
}

QueueFolder& QueueFolder::operator=(QueueFolder&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_missing = other.m_missing;
        m_openError = other.m_openError;
        m_problem = std::move(other.m_problem);
    }
    return *this;
}

bool QueueFolder::isRegularFile(const QString& name, qint64* size) const
{
    struct stat st
    {
    };
    if (m_fd < 0 || ::fstatat(m_fd, spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return false;
    if (size)
        *size = st.st_size;
    return true;
}

unsigned QueueFolder::fileMode(const QString& name) const
{
    struct stat st
    {
    };
    if (m_fd < 0 || ::fstatat(m_fd, spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    return unsigned(st.st_mode) & 07777u;
}

int QueueFolder::openForReading(const QString& name) const
{
    if (m_fd < 0)
        return -1;
    const int fd =
        ::openat(m_fd, spoolName(name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

qint64 QueueFolder::modificationTime(const QString& name) const
{
    struct stat st
    {
    };
    if (m_fd < 0 || ::fstatat(m_fd, spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool QueueFolder::remove(const QString& name) const
{
    return m_fd >= 0 && ::unlinkat(m_fd, spoolName(name).constData(), 0) == 0;
}

QStringList QueueFolder::regularFiles() const
{
    QStringList names;
    if (m_fd < 0)
        return names;
    const int fd = ::openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return names;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st
            {
            };
            regular = ::fstatat(m_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode);
        }
        if (regular)
            names << spoolNameFromBytes(entry->d_name);
    }
    ::closedir(dir);
    return names;
}
