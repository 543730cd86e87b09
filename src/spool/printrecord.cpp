#include "spool/printrecord.h"

#include "spool/queuefolder.h"

#include "platform/supervisor.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hidden like the folder's ".lck", and with a ':', which no client may send.
constexpr char FileName[] = ".:printing";
// A record holds a few entries; one that grew past this is not ours.
constexpr qsizetype MaxRecordBytes = 1 << 20;

struct Entry
{
    QByteArray controlFile;
    QByteArray end; // empty while the command runs, or when its end was never written
};

// Why the record cannot be used, beside a system error: it is something else than a file,
// or holds what this server never writes.
thread_local QString lastProblem;

UniqueFd openRecord(const QueueFolder& folder, int flags)
{
    lastProblem.clear();
    if (!folder.isOpen())
        return {};
    // Never blocks: something else in its place may be a FIFO or a device.
    UniqueFd fd(::openat(folder.fd(), FileName,
                         O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags, 0600));
    const int error = errno;
    struct stat st
    {
    };
    if (!fd ? error != ENOENT && ::fstatat(folder.fd(), FileName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  !S_ISREG(st.st_mode)
            : ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fd.reset();
        lastProblem = QStringLiteral("is not a regular file");
        errno = EBADMSG;
        return {};
    }
    errno = error;
    return fd;
}

int lockRecord(int fd, int operation)
{
    int rc;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

bool isNumber(QByteArrayView digits)
{
    return !digits.isEmpty() &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What this server writes as an entry: a control file's name (no space, no '/'), and for a
// print line '/' and its index, then '@' and the control file's inode '.' its time.
bool isEntry(QByteArrayView line)
{
    const qsizetype slash = line.indexOf('/');
    const QByteArrayView name = slash < 0 ? line : line.first(slash);
    if (name.isEmpty() || name == "." || name == ".." || name.contains(' ') || name.contains('\0'))
        return false;
    if (slash < 0)
        return true;
    const QByteArrayView rest = line.sliced(slash + 1);
    const qsizetype at = rest.indexOf('@');
    if (at < 0)
        return isNumber(rest);
    const QByteArrayView identity = rest.sliced(at + 1);
    const qsizetype dot = identity.indexOf('.');
    return isNumber(rest.first(at)) && dot > 0 && isNumber(identity.first(dot)) &&
           isNumber(identity.sliced(dot + 1));
}

// A command's end as the supervisor writes it.
bool isEnd(QByteArrayView line)
{
    for (const QByteArrayView word : {QByteArrayView("exit "), QByteArrayView("signal ")}) {
        if (line.startsWith(word))
            return isNumber(line.sliced(word.size())) && line.size() - word.size() <= 3;
    }
    return false;
}

// The record's entries, each followed by its command's end once written; blank lines are
// left from a longer record written over. Anything else makes the whole record unusable
// (lastProblem says why): what a broken line held cannot be known, and a guess could print
// a finished job again.
std::optional<QList<Entry>> readEntries(int fd, QByteArray* text = nullptr)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0) {
        lastProblem = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    if (st.st_size > MaxRecordBytes) {
        lastProblem = QStringLiteral("does not parse: it is larger than 1 MiB");
        return std::nullopt;
    }
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::pread(fd, bytes.data(), size_t(bytes.size()), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        lastProblem = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    bytes.truncate(qsizetype(n));
    QList<Entry> entries;
    const auto broken = [](qsizetype index, const char* what) {
        lastProblem = QStringLiteral("does not parse: line ") + QString::number(index + 1) +
                      QLatin1String(what);
        return std::nullopt;
    };
    const QList<QByteArray> lines = bytes.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (i + 1 == lines.size() && !line.isEmpty())
            return broken(i, " is cut off");
        if (line.isEmpty())
            continue;
        if (isEnd(line)) {
            if (entries.isEmpty() || !entries.last().end.isEmpty())
                return broken(i, " is an end without its entry");
            entries.last().end = line;
        } else if (isEntry(line)) {
            entries.append({line, {}});
        } else {
            return broken(i, " is not an entry");
        }
    }
    if (text)
        *text = std::move(bytes);
    return entries;
}

// Overwritten in place and cut to length, never truncated to nothing first: ext4 flushes a
// file that was emptied and written again when it is closed, which cost more than the
// print itself. For the same reason a record without entries keeps a newline. What is left
// of a longer old text is blanked in the same write, so a server that dies before the cut
// leaves blank lines, not the tail of an old entry. A write the file system refuses (no
// space) puts the old text back, which fits where it was; false then.
bool writeEntries(int fd, const QList<Entry>& entries, const QByteArray& old)
{
    QByteArray text;
    for (const Entry& entry : entries) {
        text += entry.controlFile + '\n';
        if (!entry.end.isEmpty())
            text += entry.end + '\n';
    }
    if (text.isEmpty())
        text = "\n";
    const qsizetype length = text.size();
    if (length < old.size())
        text.append(old.size() - length, '\n');
    const bool written = ::pwrite(fd, text.constData(), size_t(text.size()), 0) == text.size();
    const int error = errno;
    if (!written && ::pwrite(fd, old.constData(), size_t(old.size()), 0) != old.size())
        return false;
    if (text.size() > length || !written) {
        [[maybe_unused]] const int cut = ::ftruncate(fd, written ? length : old.size());
    }
    errno = written || error != 0 ? error : ENOSPC;
    return written;
}

// The control file of an entry: a line's entry is its control file, '/' and the line's index.
QByteArray controlFileOf(const QByteArray& entry)
{
    const qsizetype slash = entry.indexOf('/');
    return slash < 0 ? entry : entry.left(slash);
}

// Drops the entry named `name` (every line's entry when it names a control file) and those of
// jobs whose control file is gone; whether any went.
bool dropEntries(const QueueFolder& folder, QList<Entry>& entries, const QByteArray& name)
{
    return entries.removeIf([&](const Entry& entry) {
        const QByteArray control = controlFileOf(entry.controlFile);
        return entry.controlFile == name || control == name ||
               !folder.isRegularFile(spoolNameFromBytes(control.constData()));
    }) > 0;
}

} // namespace

namespace PrintRecord {

QString lineEntry(const QString& controlFile, int line)
{
    return controlFile + QLatin1Char('/') + QString::number(line);
}

bool isRecordName(const QString& name)
{
    return name.endsWith(QLatin1String(FileName));
}

UniqueFd begin(const QueueFolder& folder, const QString& controlFile, QString* problem)
{
    UniqueFd fd;
    // A record found empty is removed under its lock: one opened just before that is
    // opened again.
    for (int attempt = 0; attempt < 3 && !fd; ++attempt) {
        fd = openRecord(folder, O_CREAT);
        if (!fd)
            break;
        struct stat st
        {
        };
        if (lockRecord(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            fd.reset();
            errno = error;
            return {};
        }
        if (::fstat(fd.get(), &st) != 0 || st.st_nlink == 0)
            fd.reset();
    }
    QByteArray old;
    std::optional<QList<Entry>> entries;
    if (fd && !(entries = readEntries(fd.get(), &old))) {
        fd.reset();
        errno = EBADMSG;
    }
    if (!fd) {
        const int error = errno;
        if (problem)
            *problem =
                error == EBADMSG ? lastProblem : QString::fromLocal8Bit(std::strerror(error));
        errno = error;
        return {};
    }
    const QByteArray name = spoolName(controlFile);
    dropEntries(folder, *entries, name);
    entries->append({name, {}});
    if (!writeEntries(fd.get(), *entries, old)) {
        const int error = errno;
        fd.reset();
        if (problem)
            *problem = QString::fromLocal8Bit(std::strerror(error));
        errno = error;
        return {};
    }
    return fd;
}

void recordSuccess(const QueueFolder& folder, const QString& controlFile)
{
    if (const UniqueFd fd = begin(folder, controlFile, nullptr))
        appendRecordEnd(fd.get(), 0);
}

Outcome earlier(const QueueFolder& folder, const QString& controlFile, QString* detail)
{
    UniqueFd fd = openRecord(folder, 0);
    if (!fd && errno == EBADMSG) {
        if (detail)
            *detail = lastProblem;
        return Outcome::Unusable;
    }
    if (!fd)
        return Outcome::None;
    // A supervisor left by a server that died may still run a command: the queue waits for
    // it without holding a thread.
    if (lockRecord(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return Outcome::Held;
    const std::optional<QList<Entry>> entries = readEntries(fd.get());
    fd.reset();
    if (!entries) {
        if (detail)
            *detail = lastProblem;
        return Outcome::Unusable;
    }
    const QByteArray name = spoolName(controlFile);
    for (const Entry& entry : *entries) {
        if (entry.controlFile != name)
            continue;
        if (entry.end.isEmpty())
            return Outcome::Unknown;
        if (detail)
            *detail = QString::fromLatin1(entry.end);
        return entry.end == "exit 0" ? Outcome::Succeeded : Outcome::Failed;
    }
    return Outcome::None;
}

void forget(const QueueFolder& folder, const QString& controlFile)
{
    const UniqueFd fd = openRecord(folder, 0);
    if (!fd)
        return;
    // Never waited for (a removal runs on the main thread): a record an earlier server's
    // print holds keeps the entry, which names its own control file's inode and time and
    // so can never match another job. One that does not parse stays as it is, for the
    // operator to see.
    QByteArray old;
    if (lockRecord(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        std::optional<QList<Entry>> entries = readEntries(fd.get(), &old);
        if (entries && dropEntries(folder, *entries, spoolName(controlFile)))
            writeEntries(fd.get(), *entries, old);
    }
}

QString tidy(const QueueFolder& folder)
{
    // Made here for a folder that has none yet, while there may still be a free inode.
    const UniqueFd fd = openRecord(folder, O_CREAT);
    if (!fd)
        return {};
    QString running;
    QByteArray old;
    if (lockRecord(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        // A print holds it: its entry is the last one, with no end yet.
        const bool held = errno == EWOULDBLOCK;
        const std::optional<QList<Entry>> entries = readEntries(fd.get());
        if (held && entries && !entries->isEmpty() && entries->last().end.isEmpty())
            running = spoolNameFromBytes(controlFileOf(entries->last().controlFile).constData());
    } else if (std::optional<QList<Entry>> entries = readEntries(fd.get(), &old)) {
        // Read under the lock: nobody adds an entry without it, so what is read stays true
        // until the record is rewritten here. The file stays: a new one for every pass
        // would need a free inode each time, and a full file system would stop printing.
        if (dropEntries(folder, *entries, {}))
            writeEntries(fd.get(), *entries, old);
    }
    return running;
}

void make(const QueueFolder& folder)
{
    openRecord(folder, O_CREAT);
}

bool holdsNothing(const QueueFolder& folder)
{
    const UniqueFd fd = openRecord(folder, 0);
    if (!fd)
        return errno == ENOENT;
    if (lockRecord(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return false;
    const std::optional<QList<Entry>> entries = readEntries(fd.get());
    return entries && entries->isEmpty();
}

bool isHeld(const QueueFolder& folder)
{
    const UniqueFd fd = openRecord(folder, 0);
    return fd && lockRecord(fd.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

} // namespace PrintRecord
