#include "spool/spooljob.h"

#include "spool/printrecord.h"
#include "spool/queuefolder.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSet>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

bool isPrintLetter(char letter)
{
    switch (letter) {
    case 'c':
    case 'd':
    case 'f':
    case 'g':
    case 'l':
    case 'n':
    case 'o':
    case 'p':
    case 'r':
    case 't':
    case 'v':
    case 'z':
        return true;
    default:
        return false;
    }
}

QStringList SpoolJob::dataFiles() const
{
    // A hostile control file names a hundred thousand files: a set keeps this linear.
    QStringList files;
    QSet<QString> seen;
    for (const PrintLine& line : printLines) {
        if (!seen.contains(line.dataFile)) {
            seen.insert(line.dataFile);
            files << line.dataFile;
        }
    }
    return files;
}

void applyControlFile(SpoolJob& job, const QByteArray& contents)
{
    // A job of several files has an N line per file: the listing shows them all, each once.
    // The names are joined once at the end; joined at each line, a control file of many N
    // lines cost time in the square of its size.
    QStringList sourceNames;
    QSet<QString> sourceSeen;
    bool titleFromNames = false;
    // Whether the title is empty at this point: the names joined are empty only when the one
    // name there is is empty.
    auto titleEmpty = [&] {
        return titleFromNames ? sourceNames.size() == 1 && sourceNames.first().isEmpty()
                              : job.title.isEmpty();
    };
    qsizetype pos = 0;
    const qsizetype n = contents.size();
    while (pos < n) {
        qsizetype end = pos;
        while (end < n && contents[end] != '\n' && contents[end] != '\r')
            ++end;
        const QByteArray line = contents.mid(pos, end - pos);
        // CR, LF and CR LF all end a line; an empty line between them is skipped below.
        pos = end + 1;
        if (end < n && contents[end] == '\r' && pos < n && contents[pos] == '\n')
            ++pos;
        if (line.isEmpty())
            continue;
        const QString operand = QString::fromLatin1(line.mid(1));
        const char letter = line[0];
        if (letter == 'J') {
            if (titleEmpty()) {
                job.title = operand;
                titleFromNames = false;
            }
        } else if (letter == 'N') {
            if (!sourceSeen.contains(operand)) {
                sourceSeen.insert(operand);
                sourceNames << operand;
            }
            titleFromNames = true;
        } else if (letter == 'P') {
            job.user = operand;
        } else if (letter == 'H') {
            job.host = operand;
        } else if (isPrintLetter(letter)) {
            job.printLines.append({letter, operand});
        }
    }
    if (titleFromNames)
        job.title = sourceNames.join(QStringLiteral(", "));
}

qint32 jobNumberFromName(const QString& controlFileName)
{
    const QString part = controlFileName.mid(3, 3);
    qsizetype i = 0;
    while (i < part.size() && part[i] == QLatin1Char(' '))
        ++i;
    qint32 value = 0;
    for (; i < part.size() && part[i] >= QLatin1Char('0') && part[i] <= QLatin1Char('9'); ++i)
        value = value * 10 + (part[i].unicode() - '0');
    return value;
}

bool isSafeSpoolName(const QString& name)
{
    if (name.toLatin1().size() < 6)
        return false;
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    // The server's own lock files end so; a client's file of such a name would be taken
    // for the lock of another.
    if (name.endsWith(QLatin1String(".lck")))
        return false;
    for (QChar c : name) {
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c == QLatin1Char('?') ||
            c == QLatin1Char('*') || c == QLatin1Char('/') || c == QChar(0))
            return false;
    }
    return true;
}

namespace {

bool hasControlPrefix(const QString& name)
{
    return name.startsWith(QLatin1String("cf"), Qt::CaseInsensitive);
}

} // namespace

bool isDataFileName(const QString& name)
{
    return isSafeSpoolName(name) && !hasControlPrefix(name);
}

bool isControlFile(const QueueFolder& folder, const QString& name)
{
    if (!isSafeSpoolName(name))
        return false;
    const unsigned mode = folder.fileMode(name);
    return mode != 0 && ((mode & S_ISVTX) != 0 || hasControlPrefix(name));
}

SpoolJob readControlFile(const QueueFolder& folder, const QString& queue,
                         const QString& controlFile)
{
    SpoolJob job;
    job.controlFile = QFileInfo(controlFile).fileName();
    job.queue = queue;
    if (const UniqueFd fd = folder.openForReading(job.controlFile)) {
        // Control files are a few hundred bytes; a hostile giant is read only up to a bound.
        QByteArray contents;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n <= 0 || contents.size() + n > (1 << 20))
                break;
            contents.append(buffer, n);
        }
        applyControlFile(job, contents);
        // The control file is written once, when the job arrives (or is queued here).
        struct stat st
        {
        };
        if (::fstat(fd.get(), &st) == 0)
            job.arrivedMs = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    }
    job.printLines.removeIf([](const PrintLine& line) { return !isSafeSpoolName(line.dataFile); });
    job.jobNumber = jobNumberFromName(job.controlFile);
    job.folderDevice = folder.device();
    job.folderInode = folder.inode();
    return job;
}

void keepOwnDataFiles(SpoolJob& job, const QueueFolder& folder, const DataFileFilter& mayUse,
                      QStringList* refused)
{
    QSet<QString> refusedOnce;
    job.printLines.removeIf([&](const PrintLine& line) {
        if (!mayUse || mayUse(line.dataFile))
            return false;
        if (refused && !refusedOnce.contains(line.dataFile)) {
            refusedOnce.insert(line.dataFile);
            *refused << line.dataFile;
        }
        return true;
    });
    job.size = 0;
    for (const QString& file : job.dataFiles()) {
        qint64 size = 0;
        if (folder.isRegularFile(file, &size))
            job.size += quint64(size);
    }
}

SpoolJob readSpoolJob(const QueueFolder& folder, const QString& queue, const QString& controlFile,
                      const DataFileFilter& mayUse, QStringList* refused)
{
    SpoolJob job = readControlFile(folder, queue, controlFile);
    keepOwnDataFiles(job, folder, mayUse, refused);
    return job;
}

SpoolJob readSpoolJob(const QString& spoolDir, const QString& queueDir, const QString& queue,
                      const QString& controlFile)
{
    const QueueFolder folder = QueueFolder::open(spoolDir + QLatin1Char('/') + queueDir, false);
    return readSpoolJob(folder, queue, controlFile);
}

QString displayString(const SpoolJob& job)
{
    return job.queue + QLatin1Char(' ') + job.user + QLatin1Char(' ') +
           QString::number(job.jobNumber);
}

QString jobKey(const SpoolJob& job)
{
    return job.queue.toCaseFolded() + QLatin1Char('/') + job.controlFile;
}

SpoolJob retryMarked(const SpoolJob& job, qint64 retryAtMs)
{
    SpoolJob marked = job;
    marked.title = QStringLiteral("retry ") +
                   QDateTime::fromMSecsSinceEpoch(retryAtMs).toString(QStringLiteral("HH:mm:ss")) +
                   QLatin1Char(' ') + job.title;
    return marked;
}

QString queueKey(const QString& queue)
{
    return queue.toCaseFolded();
}

QString queueFolderFor(const QStringList& folders, const QString& queue)
{
    for (const QString& folder : folders) {
        if (folder.compare(queue, Qt::CaseInsensitive) == 0)
            return folder;
    }
    return queue;
}

void deleteJobFiles(const QueueFolder& folder, const SpoolJob& job)
{
    folder.remove(job.controlFile);
    for (const QString& file : job.dataFiles())
        folder.remove(file);
    // Last: until the job's files are gone, its entries keep it from printing again.
    PrintRecord::forget(folder, job.controlFile);
}

QString unusableFolder(const QueueFolder& folder, const SpoolJob& job)
{
    if (!folder.isOpen())
        return folder.problem();
    if (job.folderInode != 0 &&
        (folder.device() != job.folderDevice || folder.inode() != job.folderInode))
        return QStringLiteral("is not the folder the job arrived in");
    return {};
}

QString deleteJobFiles(const QString& queueDir, const SpoolJob& job)
{
    const QueueFolder folder = QueueFolder::open(queueDir, false);
    QString why = unusableFolder(folder, job);
    if (why.isEmpty())
        deleteJobFiles(folder, job);
    return why;
}

QString abbreviate(const QString& text, int width)
{
    if (text.size() <= width)
        return text;
    const int head = (width - 3) / 2;
    const int tail = width - 3 - head;
    return text.left(head) + QStringLiteral("...") + text.right(tail);
}

namespace {

// A text field of the report, at most `width` characters (abbreviated), padded with blanks
// to `width`. Its bytes are the client's (Latin-1 text, one character per byte; '?' for
// anything wider), ended early by a zero byte. Bytes that are valid UTF-8 are taken as
// UTF-8, so a character is never cut in two and the padding counts characters: a title
// from a UTF-8 desktop keeps its columns.
void putText(QByteArray& out, const QString& text, int width)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (QChar c : text) {
        if (c.unicode() == 0)
            break;
        bytes += c.unicode() > 0xff ? '?' : char(c.unicode());
    }
    const bool wide = std::any_of(bytes.cbegin(), bytes.cend(), [](char b) { return b & 0x80; });
    QList<uint> characters;
    if (wide) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8(bytes);
        if (!utf8.hasError())
            characters = decoded.toUcs4();
    }
    if (characters.isEmpty()) {
        const QString shown = abbreviate(QString::fromLatin1(bytes), width);
        out += shown.toLatin1();
        out += QByteArray(width - shown.size(), ' ');
        return;
    }
    auto utf8Of = [&](qsizetype from, qsizetype count) {
        return QString::fromUcs4(reinterpret_cast<const char32_t*>(characters.constData()) + from,
                                 count)
            .toUtf8();
    };
    const qsizetype n = characters.size();
    if (n <= width) {
        out += bytes;
        out += QByteArray(width - n, ' ');
        return;
    }
    const int head = (width - 3) / 2;
    const int tail = width - 3 - head;
    out += utf8Of(0, head) + "..." + utf8Of(n - tail, tail);
}

// The decimal digits of `value`, at least `minDigits` of them (leading zeros), right-aligned
// in `width` with blanks: "%<width>.<minDigits>llu".
void putNumber(QByteArray& out, unsigned long long value, int minDigits, int width)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < minDigits)
        digits[n++] = '0';
    for (int pad = n; pad < width; ++pad)
        out += ' ';
    while (n > 0)
        out += digits[--n];
}

} // namespace

// The layout of "%-15s %3.3u %-38s %10llu bytes\n", formatted by hand: the report makes one
// line per waiting job for every queue-state request, and printf-style formatting took
// most of its time with a long queue.
QByteArray reportLine(const SpoolJob& job)
{
    QByteArray line;
    line.reserve(96);
    putText(line, job.user, 15);
    line += ' ';
    putNumber(line, unsigned(job.jobNumber), 3, 3);
    line += ' ';
    putText(line, job.title, 38);
    line += ' ';
    putNumber(line, static_cast<unsigned long long>(job.size), 1, 10);
    line += " bytes\n";
    return line;
}
