#include "spool/spoolmove.h"

#include "net/uniquefd.h"
#include "spool/printrecord.h"
#include "spool/queuefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

UniqueFd openDirectory(const QString& path)
{
    return UniqueFd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The names of the folders inside the spool (each a queue folder, or one that was), but
// `other`, a spool made inside this one.
QStringList queueFolderNames(const QString& spool, const QString& other)
{
    struct stat skip
    {
    };
    if (::stat(QFile::encodeName(other).constData(), &skip) != 0)
        skip.st_ino = 0;
    QStringList names;
    const UniqueFd dir = openDirectory(spool);
    if (!dir)
        return names;
    DIR* stream = ::fdopendir(::dup(dir.get()));
    if (!stream)
        return names;
    while (const dirent* entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat st
        {
        };
        if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode) && !(st.st_ino == skip.st_ino && st.st_dev == skip.st_dev))
            names << QFile::decodeName(name);
    }
    ::closedir(stream);
    names.sort();
    return names;
}

bool sameFile(const QueueFolder& a, const QueueFolder& b, const QByteArray& name)
{
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    return ::fstatat(a.fd(), name.constData(), &sa, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstatat(b.fd(), name.constData(), &sb, AT_SYMLINK_NOFOLLOW) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool syncDirectory(int fd, const QString& path, QString* reason)
{
    if (::fsync(fd) == 0)
        return true;
    *reason = QStringLiteral("cannot write %1 to disk: %2").arg(path, systemError(errno));
    return false;
}

} // namespace

std::optional<SpoolState> readSpoolState(const QString& file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return std::nullopt;
    SpoolState state;
    for (const QByteArray& line : in.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        const QByteArray key = line.left(eq);
        const QString value = QString::fromUtf8(line.mid(eq + 1));
        if (key == "current")
            state.current = value;
        else if (key == "receiving")
            state.receiving = value;
        else if (key == "leaving")
            state.leaving << value;
    }
    if (state.current.isEmpty())
        return std::nullopt;
    return state;
}

bool writeSpoolState(const QString& file, const SpoolState& state, QString* reason)
{
    QByteArray text = "current=" + state.current.toUtf8() + '\n';
    if (!state.receiving.isEmpty())
        text += "receiving=" + state.receiving.toUtf8() + '\n';
    for (const QString& left : state.leaving)
        text += "leaving=" + left.toUtf8() + '\n';
    const QByteArray target = QFile::encodeName(file);
    const QByteArray temporary = target + ".new";
    const auto fail = [&](const char* what) {
        if (reason)
            *reason = QStringLiteral("cannot %1 %2: %3")
                          .arg(QLatin1String(what), file, systemError(errno));
        ::unlink(temporary.constData());
        return false;
    };
    {
        const UniqueFd fd(::open(temporary.constData(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd)
            return fail("write");
        if (!writeAll(fd.get(), text.constData(), text.size()) || ::fsync(fd.get()) != 0)
            return fail("write");
    }
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail("replace");
    const UniqueFd folder = openDirectory(QFileInfo(file).absolutePath());
    if (!folder || ::fsync(folder.get()) != 0)
        return fail("write to disk");
    return true;
}

bool isSameFolder(const QString& a, const QString& b)
{
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

QString spoolMoveProblem(const QString& from, const QString& to)
{
    // Made as a folder only: the spool itself is no queue folder and gets no print record.
    QDir().mkpath(to);
    const QueueFolder target = QueueFolder::open(to, false);
    if (!target.isOpen()) {
        const int error = target.openError() ? target.openError() : ENOENT;
        return QStringLiteral("cannot make %1 %2")
            .arg(to, target.problem().isEmpty() ? systemError(error) : target.problem());
    }
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(from).constData(), &st) == 0 && st.st_dev != target.device())
        return QStringLiteral("%1 and %2 are on different file systems").arg(from, to);
    return {};
}

bool linkSpool(const QString& from, const QString& to, QString* reason)
{
    struct Linked
    {
        const QueueFolder* target;
        QByteArray name;
    };
    std::vector<std::unique_ptr<QueueFolder>> folders;
    std::vector<Linked> linked;
    std::vector<const QueueFolder*> targets;
    const auto fail = [&](const QString& why) {
        for (const Linked& l : linked)
            ::unlinkat(l.target->fd(), l.name.constData(), 0);
        if (reason)
            *reason = why;
        return false;
    };
    for (const QString& queue : queueFolderNames(from, to)) {
        const QString fromPath = from + QLatin1Char('/') + queue;
        const QString toPath = to + QLatin1Char('/') + queue;
        auto& source = *folders.emplace_back(
            std::make_unique<QueueFolder>(QueueFolder::open(fromPath, false)));
        if (!source.isOpen())
            return fail(QStringLiteral("cannot open %1 %2").arg(fromPath, source.problem()));
        auto& target = *folders.emplace_back(
            std::make_unique<QueueFolder>(QueueFolder::open(toPath, true)));
        if (!target.isOpen())
            return fail(QStringLiteral("cannot make %1 %2").arg(toPath, target.problem()));
        targets.push_back(&target);
        QStringList names = source.regularFiles();
        // A job's control file last: until it is there, its job is not one in the new folder.
        std::stable_partition(names.begin(), names.end(), [](const QString& name) {
            return !name.startsWith(QLatin1String("cf"));
        });
        for (const QString& name : std::as_const(names)) {
            const QByteArray bytes = spoolName(name);
            if (PrintRecord::isRecordName(name) && !sameFile(source, target, bytes)) {
                // A record that tells nothing needs no new name; one that tells something
                // takes the place of a new folder's record that tells nothing.
                if (PrintRecord::holdsNothing(source))
                    continue;
                if (!PrintRecord::holdsNothing(target))
                    return fail(QStringLiteral("the print records of %1 and %2 both hold "
                                               "entries")
                                    .arg(fromPath, toPath));
                ::unlinkat(target.fd(), bytes.constData(), 0);
            }
            if (::linkat(source.fd(), bytes.constData(), target.fd(), bytes.constData(), 0) != 0) {
                const int err = errno;
                // Linked by a move that a crash cut short: that name is done.
                if (err == EEXIST && sameFile(source, target, bytes))
                    continue;
                // The stamp the folder's lock files are links to: any one serves.
                if (err == EEXIST && name == QLatin1String(".lck"))
                    continue;
                return fail(QStringLiteral("cannot move %1 to %2: %3")
                                .arg(QString::fromLocal8Bit(spoolFilePath(fromPath, name)),
                                     toPath, systemError(err)));
            }
            linked.push_back({&target, bytes});
        }
    }
    // The new names reach the disk before the change counts as done: a crash after it
    // leaves every job in the new spool, one before it every job still in the old one.
    QString problem;
    for (const QueueFolder* target : targets) {
        if (!syncDirectory(target->fd(), to, &problem))
            return fail(problem);
    }
    const UniqueFd root = openDirectory(to);
    if (!root || !syncDirectory(root.get(), to, &problem))
        return fail(problem.isEmpty() ? QStringLiteral("cannot open ") + to : problem);
    return true;
}

void unlinkSpool(const QString& from, const QString& to)
{
    for (const QString& queue : queueFolderNames(from, to)) {
        const QueueFolder source = QueueFolder::open(from + QLatin1Char('/') + queue, false);
        const QueueFolder target = QueueFolder::open(to + QLatin1Char('/') + queue, false);
        if (!source.isOpen() || !target.isOpen())
            continue;
        for (const QString& name : source.regularFiles()) {
            if (sameFile(source, target, spoolName(name)))
                target.remove(name);
        }
    }
}

bool clearSpool(const QString& from, const QString& current)
{
    bool cleared = true;
    for (const QString& queue : queueFolderNames(from, current)) {
        const QueueFolder folder = QueueFolder::open(from + QLatin1Char('/') + queue, false);
        if (!folder.isOpen())
            continue;
        if (PrintRecord::isHeld(folder)) {
            cleared = false;
            continue;
        }
        for (const QString& name : folder.regularFiles())
            folder.remove(name);
        ::fsync(folder.fd());
    }
    return cleared;
}
