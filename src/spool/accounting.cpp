#include "spool/accounting.h"

#include "net/uniquefd.h"
#include "spool/spooljob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr qint64 TailBytes = 64 * 1024;

QString oneLine(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u' ';
    }
    return out;
}

const char* outcomeWord(AccountingEntry::Outcome outcome)
{
    switch (outcome) {
    case AccountingEntry::Outcome::Printed:
        return "printed";
    case AccountingEntry::Outcome::Failed:
        return "failed";
    case AccountingEntry::Outcome::Removed:
        return "removed";
    }
    return "";
}

} // namespace

AccountingEntry AccountingEntry::forJob(const SpoolJob& job, Outcome outcome)
{
    AccountingEntry entry;
    entry.time = QDateTime::currentDateTime();
    entry.queue = job.queue;
    entry.user = job.user;
    // RFC 1179 names a control file "cfA", three digits, then the host that sent it.
    entry.host = job.controlFile.mid(6);
    entry.jobNumber = job.jobNumber;
    entry.title = job.title;
    entry.bytes = job.size;
    entry.outcome = outcome;
    return entry;
}

QString Accounting::pathFor(const QString& setting, const QString& spoolDir,
                                const QString& settingsPath)
{
    if (setting == QLatin1String("off"))
        return {};
    if (setting.isEmpty())
        return QDir(spoolDir).filePath(QStringLiteral("accounting.log"));
    if (QDir::isRelativePath(setting))
        return QFileInfo(settingsPath).dir().filePath(setting);
    return setting;
}

void Accounting::configure(const QString& path, const QList<PrinterDefinition>& printers)
{
    const std::lock_guard lock(m_mutex);
    m_path = path;
    m_printers = printers;
}

QString Accounting::path() const
{
    const std::lock_guard lock(m_mutex);
    return m_path;
}

QString Accounting::routeOf(const QString& queue) const
{
    for (const PrinterDefinition& printer : m_printers) {
        if (printer.queue.compare(queue, Qt::CaseInsensitive) == 0)
            return printerdef::actionPart(printer.text);
    }
    return {};
}

bool Accounting::recordPrint(const SpoolJob& job, bool printed, qint64 durationMs,
                             const QString& reason, QString* error)
{
    AccountingEntry entry = AccountingEntry::forJob(
        job, printed ? AccountingEntry::Outcome::Printed : AccountingEntry::Outcome::Failed);
    entry.durationMs = durationMs;
    entry.reason = reason;
    {
        const std::lock_guard lock(m_mutex);
        entry.route = routeOf(job.queue);
    }
    return append(entry, error);
}

bool Accounting::containsPrint(const SpoolJob& job) const
{
    // Everything but the time and the duration names the print.
    const auto key = [](const QByteArray& line) {
        QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 11)
            return QList<QByteArray>{};
        fields.removeAt(9);
        fields.removeFirst();
        fields.removeLast();
        return fields;
    };
    AccountingEntry entry = AccountingEntry::forJob(job, AccountingEntry::Outcome::Printed);
    {
        const std::lock_guard lock(m_mutex);
        entry.route = routeOf(job.queue);
    }
    const QList<QByteArray> wanted = key(formatLine(entry).chopped(1));
    const QStringList tail = lastLines(1000);
    return std::any_of(tail.cbegin(), tail.cend(),
                       [&](const QString& line) { return key(line.toUtf8()) == wanted; });
}

bool Accounting::recordRemoval(const SpoolJob& job, const QString& by, QString* error)
{
    AccountingEntry entry = AccountingEntry::forJob(job, AccountingEntry::Outcome::Removed);
    entry.reason = by;
    {
        const std::lock_guard lock(m_mutex);
        entry.route = routeOf(job.queue);
    }
    return append(entry, error);
}

QByteArray Accounting::formatLine(const AccountingEntry& entry)
{
    const QStringList fields{
        entry.time.toOffsetFromUtc(entry.time.offsetFromUtc()).toString(Qt::ISODate),
        oneLine(entry.queue),
        oneLine(entry.user),
        oneLine(entry.host),
        QString::number(entry.jobNumber),
        oneLine(entry.title),
        QString::number(entry.bytes),
        oneLine(entry.route),
        QString::fromLatin1(outcomeWord(entry.outcome)),
        QString::number(double(entry.durationMs) / 1000.0, 'f', 3),
        oneLine(entry.reason),
    };
    return fields.join(u'\t').toUtf8() + '\n';
}

bool Accounting::append(const AccountingEntry& entry, QString* error) const
{
    const QString file = path();
    if (file.isEmpty())
        return true;
    // One write of the whole line to a file opened for appending: lines of two writers
    // never interleave, and a file moved away by logrotate is simply made anew.
    const QByteArray line = formatLine(entry);
    UniqueFd fd(::open(QFile::encodeName(file).constData(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    ssize_t written = -1;
    if (fd.isValid()) {
        do
            written = ::write(fd.get(), line.constData(), size_t(line.size()));
        while (written < 0 && errno == EINTR);
        // A print's line reaches the disk before its job's files go (jobprint.cpp).
        if (written == ssize_t(line.size()) && ::fdatasync(fd.get()) != 0)
            written = -1;
        const int writeErrno = errno;
        fd.reset();
        errno = writeErrno;
    }
    if (written == ssize_t(line.size()))
        return true;
    if (error) {
        *error = written >= 0 ? QStringLiteral("short write")
                              : QString::fromLocal8Bit(std::strerror(errno));
    }
    return false;
}

QStringList Accounting::lastLines(int count) const
{
    const QString name = path();
    QFile file(name);
    if (name.isEmpty() || count <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    const qint64 start = qMax<qint64>(0, size - TailBytes);
    file.seek(start);
    QList<QByteArray> lines = file.read(size - start).split('\n');
    // A read that began inside a line drops that part line; the text after the last line
    // break is empty or a line still being written.
    if (start > 0 && !lines.isEmpty())
        lines.removeFirst();
    if (!lines.isEmpty())
        lines.removeLast();
    QStringList out;
    for (qsizetype i = qMax<qsizetype>(0, lines.size() - count); i < lines.size(); ++i)
        out << QString::fromUtf8(lines[i]);
    return out;
}
