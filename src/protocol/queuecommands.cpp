#include "protocol/queuecommands.h"

#include "config/logsink.h"
#include "net/precisetimer.h"
#include "protocol/lpdconnection.h"
#include "protocol/operands.h"
#include "spool/accounting.h"
#include "spool/pendingjoblist.h"
#include "spool/spool.h"
#include "spool/spooljob.h"

#include <QPointer>

#include <vector>

namespace {

bool startsWithDigit(const QByteArray& word)
{
    return !word.isEmpty() && word[0] >= '0' && word[0] <= '9';
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

void QueueCommands::refuse(LpdConnection& c, const QString& what, const QString& q)
{
    // rlpq, rlprm and LPRng's lpq show the answer to the user as it comes: a line of text
    // says what went wrong where a lone byte 1 would print as garbage.
    c.send(QByteArrayLiteral("no such printer: ") + q.toLatin1() + '\n');
    if (c.m_env.log)
        c.m_env.log->append(QStringLiteral("ERROR: ") + what + QLatin1Char(' ') + q +
                            QStringLiteral(" - no such printer."));
    c.closeIfConnected();
}

void QueueCommands::queueReport(LpdConnection& c, const QString& word)
{
    c.m_params = splitOperands(c.m_line.mid(1));
    c.m_line.clear();
    const QByteArray queueBytes = c.m_params.isEmpty() ? QByteArray() : c.m_params[0];
    const QString q = operandText(queueBytes);
    const QChar dash = QLatin1Char('-');
    if (!c.isKnown({q, dash + q, QLatin1Char('+') + q, QLatin1Char('|') + q}))
        return QueueCommands::refuse(c, QStringLiteral("List"), q);

    // The client's own bytes, whatever they decoded as.
    c.send(word.toLatin1() + " queue for printer " + queueBytes + "\n");
    QPointer<LpdConnection> guard(&c);
    PreciseTimer::singleShot(5, &c, [guard, q] {
        if (!guard)
            return;
        guard->send(HeaderLine);
        PreciseTimer::singleShot(5, guard.data(), [guard, q] {
            if (!guard)
                return;
            LpdConnection& c = *guard;
            // Each filter is a job number (an operand that begins with a digit) or a user.
            struct Filter
            {
                bool byNumber;
                qint64 number;
                QString user;
            };
            QList<Filter> filters;
            for (const QByteArray& f : c.m_params.mid(1)) {
                if (startsWithDigit(f))
                    filters.append({true, jobOperand(f), QString()});
                else
                    filters.append({false, 0, QString::fromLatin1(f)});
            }
            // Queue names match without regard to case, as everywhere: a job sent to HOLD is
            // a job of hold, before a restart and after.
            const QString key = queueKey(q);
            const std::vector<PendingJobList::Entry> entries =
                c.m_env.pendingJobs->queueEntries(key);
            // The queue's first job waits for a retry after a failed print: its title
            // column says when.
            const qint64 retryAt = c.m_env.pendingJobs->retryAt(key);
            const SpoolJob* retrying =
                retryAt > 0 && !entries.empty() ? entries.front().job.get() : nullptr;
            QByteArray lines;
            lines.reserve(qsizetype(entries.size()) * 96);
            for (const PendingJobList::Entry& e : entries) {
                const SpoolJob& job = *e.job;
                const bool retries = e.job.get() == retrying;
                bool listed = filters.isEmpty();
                for (const Filter& f : filters) {
                    if (f.byNumber ? f.number == job.jobNumber : f.user == job.user)
                        listed = true;
                }
                if (listed && retries)
                    lines += reportLine(retryMarked(job, retryAt));
                else if (listed)
                    lines += job.reportLine;
            }
            c.send(lines);
            if (c.m_env.log)
                c.m_env.log->append(QStringLiteral("List ") + q + QStringLiteral(" successful."));
            c.closeIfConnected();
        });
    });
}

void QueueCommands::removeJobs(LpdConnection& c)
{
    c.m_params = splitOperands(c.m_line.mid(1));
    c.m_line.clear();
    const QString q = c.m_params.isEmpty() ? QString() : operandText(c.m_params[0]);
    QStringList users;
    QStringList numbers;
    for (qsizetype i = 2; i < c.m_params.size(); ++i) {
        const QByteArray& w = c.m_params[i];
        if (startsWithDigit(w))
            numbers << QString::number(jobOperand(w));
        else
            users << QString::fromLatin1(w);
    }
    if (!c.isKnown({q, QLatin1Char('-') + q}))
        return QueueCommands::refuse(c, QStringLiteral("Dequeue"), q);

    c.send("Dequeue:\n");
    const QString agent = c.m_params.size() > 1 ? QString::fromLatin1(c.m_params[1]) : QString();
    const bool agentIsRoot = agent == QLatin1String("root");
    const bool firstOnly = c.m_params.size() == 2;
    // LPRng's "lprm all" sends the single user operand "all": every job the agent may
    // remove (root: the whole queue).
    const bool everything = c.m_params.size() == 3 && c.m_params[2] == "all";
    const QString folder = c.m_env.spool->path() + QLatin1Char('/');
    QByteArray answer;
    using Verdict = PendingJobList::Verdict;
    bool byUser = true; // how the job being removed was found
    c.m_env.pendingJobs->removeIf(
        queueKey(q),
        [&](const PendingJobList::Entry& e) {
            const SpoolJob& job = *e.job;
            const bool mayRemove = agentIsRoot || agent == job.user;
            byUser = true;
            if (firstOnly)
                return mayRemove ? Verdict::RemoveAndStop : Verdict::Stop;
            if (everything)
                return mayRemove ? Verdict::Remove : Verdict::Keep;
            if (mayRemove && users.contains(job.user, Qt::CaseInsensitive))
                return Verdict::Remove;
            byUser = false;
            if (mayRemove && numbers.contains(QString::number(job.jobNumber)))
                return Verdict::Remove;
            return Verdict::Keep;
        },
        [&](const SpoolJob& job) {
            const QString dir = folder + queueFolderFor(c.m_env.queueFolders, job.queue);
            if (const QString why = deleteJobFiles(dir, job); !why.isEmpty() && c.m_env.log)
                c.m_env.log->append(QStringLiteral("ERROR: Files of ") + job.controlFile +
                                    QStringLiteral(" not removed: ") + dir + QLatin1Char(' ') +
                                    why);
            answer += job.user.toLatin1() + ' ' + QByteArray::number(job.jobNumber) +
                      (byUser ? " dequeued.\n" : "\n");
            if (c.m_env.accounting)
                c.m_env.accounting->recordRemoval(job, QStringLiteral("by ") + agent +
                                                           QStringLiteral(" from ") + c.peer());
        });
    c.send(answer);
    if (c.m_env.log)
        c.m_env.log->append(QStringLiteral("Dequeue ") + q + QStringLiteral(" successful."));
    c.closeIfConnected();
}
