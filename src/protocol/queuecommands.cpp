#include "protocol/queuecommands.h"

#include "config/logsink.h"
#include "net/esocketexception.h"
#include "net/twsocket.h"
#include "protocol/operands.h"
#include "protocol/tlpdconnection.h"
#include "spool/pendingjoblist.h"

#include <QFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

bool startsWithDigit(const QByteArray& word)
{
    return !word.isEmpty() && word[0] >= '0' && word[0] <= '9';
}

void send(Tlpdconnection& c, const QByteArray& bytes)
{
    if (!c.Socket || c.Socket->State() != TSocketState::wsConnected)
        return;
    try {
        c.Socket->SendText(bytes);
    } catch (const ESocketException&) {
        // The peer went away; its session-closed handling runs from the socket.
    }
}

bool knownAs(const Tlpdconnection& c, const QStringList& forms)
{
    for (const QString& known : c.KnownQueues)
        for (const QString& form : forms)
            if (known.compare(form, Qt::CaseInsensitive) == 0)
                return true;
    return false;
}

void refuse(Tlpdconnection& c, const QString& what, const QString& q)
{
    send(c, QByteArray(1, '\1'));
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

QByteArray QueueCommands::jobLine(const Tlpdjob& job)
{
    const QByteArray user = abbreviate(job.User, 15).toLatin1();
    const QByteArray title = abbreviate(job.Title, 38).toLatin1();
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%-15s %3.3u %-38s %10llu bytes\n",
                                user.constData(), unsigned(job.JobNumber), title.constData(),
                                static_cast<unsigned long long>(job.Size));
    return QByteArray(line, std::clamp(n, 0, int(sizeof line) - 1));
}

void QueueCommands::queueReport(Tlpdconnection& c, const QString& word)
{
    c.Params = splitOperands(c.Line.mid(1));
    c.Line.clear();
    const QString q = c.Params.isEmpty() ? QString() : QString::fromLatin1(c.Params[0]);
    const QChar dash = QLatin1Char('-');
    if (!knownAs(c, {q, dash + q, QLatin1Char('+') + q, QLatin1Char('|') + q}))
        return refuse(c, QStringLiteral("List"), q);

    send(c, word.toLatin1() + " queue for printer " + q.toLatin1() + "\n");
    QPointer<Tlpdconnection> guard(&c);
    QTimer::singleShot(5, &c, [guard, q] {
        if (!guard)
            return;
        send(*guard, HeaderLine);
        QTimer::singleShot(5, guard.data(), [guard, q] {
            if (!guard)
                return;
            Tlpdconnection& c = *guard;
            const QList<QByteArray> filters = c.Params.mid(1);
            QByteArray lines;
            for (const PendingJobList::Entry& e : c.PendingJobs->snapshot()) {
                const Tlpdjob& job = *e.job;
                if (job.Queue != q)
                    continue;
                bool listed = filters.isEmpty();
                for (const QByteArray& f : filters) {
                    if (startsWithDigit(f) ? jobOperand(f) == job.JobNumber
                                           : QString::fromLatin1(f) == job.User)
                        listed = true;
                }
                if (listed)
                    lines += jobLine(job);
            }
            send(c, lines);
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
    if (!knownAs(c, {q, QLatin1Char('-') + q}))
        return refuse(c, QStringLiteral("Dequeue"), q);

    send(c, "Dequeue:\n");
    const QString agent = c.Params.size() > 1 ? QString::fromLatin1(c.Params[1]) : QString();
    const bool agentIsRoot = agent == QLatin1String("root");
    const bool firstOnly = c.Params.size() == 2;
    const QString folder = c.SpoolDir + QLatin1Char('/');
    QByteArray answer;
    using Verdict = PendingJobList::Verdict;
    auto remove = [&](const Tlpdjob& job, bool byUser) {
        const QString dir = folder + queueFolderFor(c.QueueFolders, job.Queue) + QLatin1Char('/');
        QFile::remove(dir + job.ControlFile);
        if (!job.DataFile.isEmpty())
            QFile::remove(dir + job.DataFile);
        answer += job.User.toLatin1() + ' ' + QByteArray::number(job.JobNumber) +
                  (byUser ? " dequeued.\n" : "\n");
    };
    std::vector<bool> byUserFlags;
    c.PendingJobs->removeIf(
        [&](const PendingJobList::Entry& e) {
            const Tlpdjob& job = *e.job;
            if (job.Queue != q)
                return Verdict::Keep;
            const bool mayRemove = agentIsRoot || agent == job.User;
            if (firstOnly) {
                byUserFlags.push_back(true);
                return mayRemove ? Verdict::RemoveAndStop : Verdict::Stop;
            }
            if (mayRemove && users.contains(job.User, Qt::CaseInsensitive)) {
                byUserFlags.push_back(true);
                return Verdict::Remove;
            }
            if (mayRemove && numbers.contains(QString::number(job.JobNumber))) {
                byUserFlags.push_back(false);
                return Verdict::Remove;
            }
            return Verdict::Keep;
        },
        [&](const Tlpdjob& job) { remove(job, byUserFlags.empty() || byUserFlags.back()); });
    send(c, answer);
    if (c.LogLines)
        c.LogLines->append(QStringLiteral("Dequeue ") + q + QStringLiteral(" successful."));
    c.closeIfConnected();
}
