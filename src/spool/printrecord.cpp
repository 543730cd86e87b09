#include "spool/printrecord.h"

#include "spool/queuefolder.h"

#include "platform/supervisor.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

int openRecord(const QueueFolder& folder, int flags)
{
    if (!folder.isOpen())
        return -1;
    const int fd = ::openat(folder.fd(), FileName, O_RDWR | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
    struct stat st
    {
    };
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
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

// Lines are control file names, each followed by its command's end once written; an end
// has a space ("exit 0"), which a client's file name never has.
QList<Entry> readEntries(int fd)
{
    struct stat st
    {
    };
    const qsizetype size =
        ::fstat(fd, &st) == 0 ? qsizetype(std::min<off_t>(st.st_size, MaxRecordBytes)) : 0;
    QByteArray text(size, Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::pread(fd, text.data(), size_t(text.size()), 0);
    } while (n < 0 && errno == EINTR);
    text.truncate(n > 0 ? qsizetype(n) : 0);
    QList<Entry> entries;
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        if (!line.contains(' '))
            entries.append({line, {}});
        else if (!entries.isEmpty() && entries.last().end.isEmpty())
            entries.last().end = line;
    }
    return entries;
}

// Overwritten in place and cut to length, never truncated to nothing first: ext4 flushes a
// file that was emptied and written again when it is closed, which cost more than the
// print itself. For the same reason a record without entries keeps a newline.
void writeEntries(int fd, const QList<Entry>& entries)
{
    QByteArray text;
    for (const Entry& entry : entries) {
        text += entry.controlFile + '\n';
        if (!entry.end.isEmpty())
            text += entry.end + '\n';
    }
    if (text.isEmpty())
        text = "\n";
    if (::pwrite(fd, text.constData(), size_t(text.size()), 0) != text.size())
        return;
    [[maybe_unused]] const int cut = ::ftruncate(fd, text.size());
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

int begin(const QueueFolder& folder, const QString& controlFile)
{
    int fd = -1;
    // A record found empty is removed under its lock: one opened just before that is
    // opened again.
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = openRecord(folder, O_CREAT);
        if (fd < 0)
            return -1;
        struct stat st
        {
        };
        if (lockRecord(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        if (::fstat(fd, &st) != 0 || st.st_nlink == 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return -1;
    QList<Entry> entries = readEntries(fd);
    const QByteArray name = spoolName(controlFile);
    dropEntries(folder, entries, name);
    entries.append({name, {}});
    writeEntries(fd, entries);
    return fd;
}

void recordSuccess(const QueueFolder& folder, const QString& controlFile)
{
    const int fd = begin(folder, controlFile);
    if (fd < 0)
        return;
    appendRecordEnd(fd, 0);
    ::close(fd);
}

Outcome earlier(const QueueFolder& folder, const QString& controlFile, QString* detail)
{
    const int fd = openRecord(folder, 0);
    if (fd < 0)
        return Outcome::None;
    // A supervisor left by a server that died may still run a command: the queue waits for
    // it without holding a thread.
    if (lockRecord(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return Outcome::Held;
    }
    const QList<Entry> entries = readEntries(fd);
    ::close(fd);
    const QByteArray name = spoolName(controlFile);
    for (const Entry& entry : entries) {
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
    const int fd = openRecord(folder, 0);
    if (fd < 0)
        return;
    // Never waited for (a removal runs on the main thread): a record an earlier server's
    // print holds keeps the entry, which names its own control file's inode and time and
    // so can never match another job.
    if (lockRecord(fd, LOCK_EX | LOCK_NB) == 0) {
        QList<Entry> entries = readEntries(fd);
        if (dropEntries(folder, entries, spoolName(controlFile)))
            writeEntries(fd, entries);
    }
    ::close(fd);
}

QString tidy(const QueueFolder& folder)
{
    const int fd = openRecord(folder, 0);
    if (fd < 0)
        return {};
    QString running;
    if (lockRecord(fd, LOCK_EX | LOCK_NB) != 0) {
        // A print holds it: its entry is the last one, with no end yet.
        const bool held = errno == EWOULDBLOCK;
        const QList<Entry> entries = readEntries(fd);
        if (held && !entries.isEmpty() && entries.last().end.isEmpty())
            running = spoolNameFromBytes(controlFileOf(entries.last().controlFile).constData());
    } else {
        // Read under the lock: nobody adds an entry without it, so what is read stays true
        // until the record is rewritten or unlinked here.
        // The file stays: a new one for every pass would need a free inode each time, and a
        // full file system would stop printing.
        QList<Entry> entries = readEntries(fd);
        if (dropEntries(folder, entries, {}))
            writeEntries(fd, entries);
    }
    ::close(fd);
    return running;
}

} // namespace PrintRecord
