#include "protocol/queuecommands.h"

#include "config/logsink.h"
#include "net/precisetimer.h"
#include "protocol/operands.h"
#include "protocol/tlpdconnection.h"
#include "spool/pendingjoblist.h"
#include "spool/tlpdjob.h"

#include <QPointer>

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
                    lines += job.ReportLine;
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
