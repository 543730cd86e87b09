#include "spool/queuefolder.h"

#include "spool/printrecord.h"

#include <QFile>

#include <QList>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

// Whether only the server's user or root can change what `st` (a folder or link on the way
// to a queue folder) leads to. A sticky folder (/tmp) lets others add names there, but not
// rename or remove the server's.
bool changedOnlyByUs(const struct stat& st)
{
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return false;
    return S_ISLNK(st.st_mode) || (st.st_mode & S_ISVTX) != 0 ||
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The first folder or link on the way to `path` (not `path` itself) that another user could
// rename or put a link in place of, so that the path leads elsewhere by the time it is looked
// up again; empty when there is none. The path is walked as written and as its links lead.
QByteArray unsafeAncestor(const QByteArray& path)
{
    QByteArray absolute = path;
    if (!absolute.startsWith('/')) {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd))
            return {};
        absolute = QByteArray(cwd) + '/' + absolute;
    }
    // Walks the path's folders; a link among them (or a "." or ".." that may step through
    // one) means the path must be walked again as its links lead.
    bool linked = absolute.contains("/./") || absolute.contains("/../") ||
                  absolute.endsWith("/.") || absolute.endsWith("/..");
    auto walk = [&](const QByteArray& path, bool noteLinks) -> QByteArray {
        const qsizetype last = path.lastIndexOf('/');
        for (qsizetype slash = 0; slash >= 0 && slash <= last;
             slash = path.indexOf('/', slash + 1)) {
            const QByteArray prefix = slash == 0 ? QByteArray("/") : path.left(slash);
            struct stat st
            {
            };
            if (::lstat(prefix.constData(), &st) != 0)
                continue;
            if (noteLinks && S_ISLNK(st.st_mode))
                linked = true;
            if (!changedOnlyByUs(st))
                return prefix;
        }
        return {};
    };
    if (QByteArray unsafe = walk(absolute, true); !unsafe.isEmpty())
        return unsafe;
    if (struct stat st{}; ::lstat(absolute.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        linked = true;
    // With no link on the way the path as written is where it leads: the common case costs
    // no second walk and no realpath (a readlink for every folder on the way).
    char real[PATH_MAX];
    if (linked && ::realpath(absolute.constData(), real))
        return walk(QByteArray(real), false);
    return {};
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

bool writeAll(int fd, const char* bytes, qint64 length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= n;
    }
    return true;
}

QueueFolder QueueFolder::open(const QString& path, bool create)
{
    QueueFolder folder;
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    UniqueFd fd(openFolder(native));
    bool made = false;
    if (!fd && errno == ENOENT && create && makeFolders(native)) {
        fd.reset(openFolder(native));
        made = true;
    }
    if (!fd) {
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
    if (::fstat(fd.get(), &st) != 0) {
        // Not open, for no reason of safety.
    } else if (st.st_uid != ::geteuid()) {
        folder.m_problem = QStringLiteral("is not owned by the server's user");
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        folder.m_problem = QStringLiteral("is writable by others");
    } else if (struct stat spool{}; ::fstatat(fd.get(), "..", &spool, 0) != 0 ||
                                    (spool.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        // Whoever may write the spool folder may put a link where this folder is while a
        // print runs, and have the server remove or print through it.
        folder.m_problem = QStringLiteral("is in a spool folder that others can write");
    } else if (const QByteArray ancestor = unsafeAncestor(native); !ancestor.isEmpty()) {
        // The same from further up: whoever may rename a folder on the way can put a link
        // to another folder of the same name in its place.
        folder.m_problem = QStringLiteral("is reached through ") + QFile::decodeName(ancestor) +
                           QStringLiteral(", which another user can change");
    } else {
        folder.m_fd = std::move(fd);
        folder.m_device = quint64(st.st_dev);
        folder.m_inode = quint64(st.st_ino);
        // A queue folder has its print record from the start: made later, at the first
        // print, it would need a free inode then, and on a file system that has none left
        // the jobs already in the folder could never print.
        if (made)
            PrintRecord::make(folder);
    }
    return folder;
}

bool QueueFolder::isRegularFile(const QString& name, qint64* size) const
{
    struct stat st
    {
    };
    if (!m_fd ||
        ::fstatat(m_fd.get(), spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
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
    if (!m_fd ||
        ::fstatat(m_fd.get(), spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return 0;
    return unsigned(st.st_mode) & 07777u;
}

UniqueFd QueueFolder::openForReading(const QString& name) const
{
    if (!m_fd)
        return {};
    UniqueFd fd(::openat(m_fd.get(), spoolName(name).constData(),
                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st
    {
    };
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

qint64 QueueFolder::modificationTime(const QString& name) const
{
    struct stat st
    {
    };
    if (!m_fd || ::fstatat(m_fd.get(), spoolName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

UniqueFd QueueFolder::createFile(const QString& name, unsigned mode) const
{
    const QByteArray file = spoolName(name);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd created(::openat(fd(), file.constData(), flags, mode));
    // Usually nothing stands there: the removal is only paid for when something does.
    if (!created && errno == EEXIST && ::unlinkat(fd(), file.constData(), 0) == 0)
        created = UniqueFd(::openat(fd(), file.constData(), flags, mode));
    return created;
}

bool QueueFolder::remove(const QString& name) const
{
    return m_fd && ::unlinkat(m_fd.get(), spoolName(name).constData(), 0) == 0;
}

QStringList QueueFolder::regularFiles() const
{
    QStringList names;
    if (!m_fd)
        return names;
    UniqueFd fd(::openat(m_fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return names;
    DIR* dir = ::fdopendir(fd.get());
    if (!dir)
        return names;
    fd.release(); // the stream closes it
    while (const dirent* entry = ::readdir(dir)) {
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st
            {
            };
            regular = ::fstatat(m_fd.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(st.st_mode);
        }
        if (regular)
            names << spoolNameFromBytes(entry->d_name);
    }
    ::closedir(dir);
    return names;
}
