#include "protocol/queuecommands.h"

#include "config/logsink.h"
#include "net/precisetimer.h"
#include "protocol/operands.h"
#include "protocol/tlpdconnection.h"
#include "spool/pendingjoblist.h"

#include <QPointer>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

bool startsWithDigit(const QByteArray& word)
{
    return !word.isEmpty() && word[0] >= '0' && word[0] <= '9';
}

void refuse(Tlpdconnection& c, const QString& what, const QString& q)
{
    c.sendAck(false);
    if (c.LogLines)
        c.LogLines->append(QStringLiteral("ERROR: ") + what + QLatin1Char(' ') + q +
                           QStringLiteral(" - no such printer."));
    c.closeIfConnected();
}

// Job number operands: an operand that begins with a digit is read as the longest run of
// leading digits (a client's "12abc" means job 12); a number too big for 32 bits never
// matches.
qint64 jobOperand(const QByteArray& word)
{
    qsizetype end = 0;
    while (end < word.size() && word[end] >= '0' && word[end] <= '9')
        ++end;
    return operandNumber(word.left(end));
}

} // namespace

QString QueueCommands::abbreviate(const QString& text, int width)
{
    if (text.size() <= width)
        return text;
    const int head = (width - 3) / 2;
    const int tail = width - 3 - head;
    return text.left(head) + QStringLiteral("...") + text.right(tail);
}

namespace {

// A text field of the report: at most `width` characters (abbreviated), in Latin-1 with
// '?' for anything else, ended early by a zero byte and padded with blanks to `width`, as
// "%-<width>s" of toLatin1()'s bytes would print it.
char* putText(char* p, const QString& text, int width)
{
    QString cut;
    if (text.size() > width)
        cut = QueueCommands::abbreviate(text, width);
    const QString& shown = text.size() > width ? cut : text;
    const char16_t* u = reinterpret_cast<const char16_t*>(shown.constData());
    const char16_t* const end = u + shown.size();
    char* const start = p;
    for (; u != end && *u != 0; ++u)
        *p++ = *u > 0xff ? '?' : char(*u);
    while (p - start < width)
        *p++ = ' ';
    return p;
}

// The decimal digits of `value`, at least `minDigits` of them (leading zeros), right-aligned
// in `width` with blanks: "%<width>.<minDigits>llu".
char* putNumber(char* p, unsigned long long value, int minDigits, int width)
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
        *p++ = ' ';
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

// The layout of "%-15s %3.3u %-38s %10llu bytes\n", formatted by hand: the report makes one
// line per waiting job for every queue-state request, and printf-style formatting took
// most of its time with a long queue.
void appendJobLine(QByteArray& out, const Tlpdjob& job)
{
    char line[160];
    char* p = putText(line, job.User, 15);
    *p++ = ' ';
    p = putNumber(p, unsigned(job.JobNumber), 3, 3);
    *p++ = ' ';
    p = putText(p, job.Title, 38);
    *p++ = ' ';
    p = putNumber(p, static_cast<unsigned long long>(job.Size), 1, 10);
    static constexpr char tail[] = " bytes\n";
    std::memcpy(p, tail, sizeof tail - 1);
    p += sizeof tail - 1;
    out.append(line, p - line);
}

} // namespace

QByteArray QueueCommands::jobLine(const Tlpdjob& job)
{
    QByteArray line;
    appendJobLine(line, job);
    return line;
}

void QueueCommands::queueReport(Tlpdconnection& c, const QString& word)
{
    c.Params = splitOperands(c.Line.mid(1));
    c.Line.clear();
    const QString q = c.Params.isEmpty() ? QString() : QString::fromLatin1(c.Params[0]);
    const QChar dash = QLatin1Char('-');
    if (!c.isKnown({q, dash + q, QLatin1Char('+') + q, QLatin1Char('|') + q}))
        return refuse(c, QStringLiteral("List"), q);

    c.send(word.toLatin1() + " queue for printer " + q.toLatin1() + "\n");
    QPointer<Tlpdconnection> guard(&c);
    PreciseTimer::singleShot(5, &c, [guard, q] {
        if (!guard)
            return;
        guard->send(HeaderLine);
        PreciseTimer::singleShot(5, guard.data(), [guard, q] {
            if (!guard)
                return;
            Tlpdconnection& c = *guard;
            // Each filter is a job number (an operand that begins with a digit) or a user.
            struct Filter
            {
                bool byNumber;
                qint64 number;
                QString user;
            };
            QList<Filter> filters;
            for (const QByteArray& f : c.Params.mid(1)) {
                if (startsWithDigit(f))
                    filters.append({true, jobOperand(f), QString()});
                else
                    filters.append({false, 0, QString::fromLatin1(f)});
            }
            const std::vector<PendingJobList::Entry> entries = c.PendingJobs->snapshot();
            QByteArray lines;
            lines.reserve(qsizetype(entries.size()) * 96);
            for (const PendingJobList::Entry& e : entries) {
                const Tlpdjob& job = *e.job;
                if (job.Queue != q)
                    continue;
                bool listed = filters.isEmpty();
                for (const Filter& f : filters) {
                    if (f.byNumber ? f.number == job.JobNumber : f.user == job.User)
                        listed = true;
                }
                if (listed)
                    appendJobLine(lines, job);
            }
            c.send(lines);
            if (c.LogLines)
                c.LogLines->append(QStringLiteral("List ") + q + QStringLiteral(" successful."));
            c.closeIfConnected();
        });
    });
}

void QueueCommands::removeJobs(Tlpdconnection& c)
{
    c.Params = splitOperands(c.Line.mid(1));
    c.Line.clear();
    const QString q = c.Params.isEmpty() ? QString() : QString::fromLatin1(c.Params[0]);
    QStringList users;
    QStringList numbers;
    for (qsizetype i = 2; i < c.Params.size(); ++i) {
        const QByteArray& w = c.Params[i];
        if (startsWithDigit(w))
            numbers << QString::number(jobOperand(w));
        else
            users << QString::fromLatin1(w);
    }
    if (!c.isKnown({q, QLatin1Char('-') + q}))
        return refuse(c, QStringLiteral("Dequeue"), q);

    c.send("Dequeue:\n");
    const QString agent = c.Params.size() > 1 ? QString::fromLatin1(c.Params[1]) : QString();
    const bool agentIsRoot = agent == QLatin1String("root");
    const bool firstOnly = c.Params.size() == 2;
    const QString folder = c.SpoolDir + QLatin1Char('/');
    QByteArray answer;
    using Verdict = PendingJobList::Verdict;
    bool byUser = true; // how the job being removed was found
    c.PendingJobs->removeIf(
        [&](const PendingJobList::Entry& e) {
            const Tlpdjob& job = *e.job;
            if (job.Queue != q)
                return Verdict::Keep;
            const bool mayRemove = agentIsRoot || agent == job.User;
            byUser = true;
            if (firstOnly)
                return mayRemove ? Verdict::RemoveAndStop : Verdict::Stop;
            if (mayRemove && users.contains(job.User, Qt::CaseInsensitive))
                return Verdict::Remove;
            byUser = false;
            if (mayRemove && numbers.contains(QString::number(job.JobNumber)))
                return Verdict::Remove;
            return Verdict::Keep;
        },
        [&](const Tlpdjob& job) {
            deleteJobFiles(folder + queueFolderFor(c.QueueFolders, job.Queue), job);
            answer += job.User.toLatin1() + ' ' + QByteArray::number(job.JobNumber) +
                      (byUser ? " dequeued.\n" : "\n");
        });
    c.send(answer);
    if (c.LogLines)
        c.LogLines->append(QStringLiteral("Dequeue ") + q + QStringLiteral(" successful."));
    c.closeIfConnected();
}
