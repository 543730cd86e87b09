#include "protocol/serverstatus.h"

#include "protocol/lpdserver.h"
#include "spool/accounting.h"
#include "spool/printscheduler.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QStringList>

#include <unistd.h>

namespace ServerStatus {

namespace {

QJsonObject jobObject(const SpoolJob& job)
{
    return QJsonObject{
        {QStringLiteral("number"), job.jobNumber},
        {QStringLiteral("user"), job.user},
        {QStringLiteral("title"), job.title},
        {QStringLiteral("bytes"), double(job.size)},
        {QStringLiteral("controlFile"), job.controlFile},
    };
}

QString timeText(qint64 msSinceEpoch)
{
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QString jobLine(const QJsonObject& job)
{
    if (!job.contains(QStringLiteral("number")))
        return job.value(QStringLiteral("controlFile")).toString();
    QString line = QStringLiteral("job %1 of %2, %3 bytes")
                       .arg(job.value(QStringLiteral("number")).toInt())
                       .arg(job.value(QStringLiteral("user")).toString())
                       .arg(qint64(job.value(QStringLiteral("bytes")).toDouble()));
    const QString title = job.value(QStringLiteral("title")).toString();
    if (!title.isEmpty())
        line += QStringLiteral(", \"") + title + QLatin1Char('"');
    return line + QStringLiteral(" (") + job.value(QStringLiteral("controlFile")).toString() +
           QLatin1Char(')');
}

} // namespace

QJsonObject collect(LpdServer& server)
{
    const Settings& settings = server.settings();
    QJsonObject status{
        {QStringLiteral("version"), QStringLiteral(SPOOLMERE_VERSION)},
        {QStringLiteral("pid"), qint64(::getpid())},
        {QStringLiteral("settingsFile"), server.settingsPath()},
        {QStringLiteral("spoolDir"), server.spoolDir()},
        {QStringLiteral("listening"), server.isListening()},
        {QStringLiteral("address"), settings.listenAddress},
        {QStringLiteral("port"), server.isListening() ? int(server.listeningPort())
                                                      : settings.port.toInt()},
    };
    QJsonArray peers;
    for (const QString& peer : server.connections())
        peers.append(peer);
    status.insert(QStringLiteral("sessions"),
                  QJsonObject{{QStringLiteral("count"), server.liveSessions()},
                              {QStringLiteral("peers"), peers}});

    // Queues in the order of the printer definitions; jobs of a queue with no definition
    // (left by an earlier configuration) under their own name after them.
    // A thousand queues of ten jobs each are looked up by name, not by a walk per job.
    QHash<QString, qsizetype> names;
    QList<QJsonObject> queues;
    for (const PrinterDefinition& printer : server.printers()) {
        if (const QString name = printer.queue.toLower(); !names.contains(name))
            names.insert(name, queues.size());
        queues << QJsonObject{
            {QStringLiteral("queue"), printer.queue},
            {QStringLiteral("route"), printerdef::actionPart(printer.text)},
            {QStringLiteral("printingEnabled"), !printer.printingDisabled},
            {QStringLiteral("receivingEnabled"), !printer.spoolingDisabled},
        };
    }
    QList<QJsonArray> jobs(queues.size());
    QList<int> waiting(queues.size(), 0);
    auto queueIndex = [&](const QString& queue) {
        const QString name = queue.toLower();
        qsizetype q = names.value(name, -1);
        if (q < 0) {
            q = queues.size();
            names.insert(name, q);
            queues << QJsonObject{{QStringLiteral("queue"), queue}};
            jobs.append(QJsonArray());
            waiting.append(0);
        }
        return q;
    };
    const QList<PrintScheduler::QueueState> states = server.scheduler().queueStates();
    QSet<QString> running; // queue (lower case) + '/' + control file
    for (const PrintScheduler::QueueState& state : states) {
        if (!state.runningJob.isEmpty())
            running.insert(state.queue.toLower() + u'/' + state.runningJob);
    }
    const auto entries = server.pendingJobs().snapshot();
    for (const auto& entry : entries) {
        const SpoolJob& job = *entry.job;
        const qsizetype q = queueIndex(job.queue);
        if (running.contains(job.queue.toLower() + u'/' + job.controlFile)) {
            queues[q].insert(QStringLiteral("running"), jobObject(job));
            continue;
        }
        ++waiting[q];
        if (jobs[q].size() < MaxJobsListed)
            jobs[q].append(jobObject(job));
    }
    for (const PrintScheduler::QueueState& state : states) {
        QJsonObject& queue = queues[queueIndex(state.queue)];
        if (!state.runningJob.isEmpty()) {
            if (!queue.contains(QStringLiteral("running")))
                queue.insert(QStringLiteral("running"),
                             QJsonObject{{QStringLiteral("controlFile"), state.runningJob}});
            queue.insert(QStringLiteral("runningSince"), timeText(state.runningSinceMs));
        }
        if (!state.lastFailure.isEmpty()) {
            queue.insert(QStringLiteral("lastFailure"), state.lastFailure);
            queue.insert(QStringLiteral("failures"), state.failures);
            if (state.nextAttemptMs > 0)
                queue.insert(QStringLiteral("nextRetry"), timeText(state.nextAttemptMs));
        }
    }
    QJsonArray queueArray;
    for (qsizetype q = 0; q < queues.size(); ++q) {
        queues[q].insert(QStringLiteral("waiting"), waiting[q]);
        queues[q].insert(QStringLiteral("jobs"), jobs[q]);
        queueArray.append(queues[q]);
    }
    status.insert(QStringLiteral("queues"), queueArray);

    QJsonArray lines;
    for (const QString& line : server.accounting().lastLines(AccountingLines))
        lines.append(line);
    status.insert(QStringLiteral("accounting"),
                  QJsonObject{{QStringLiteral("file"), server.accounting().path()},
                              {QStringLiteral("last"), lines}});
    return status;
}

QByteArray document(LpdServer& server)
{
    return QJsonDocument(collect(server)).toJson(QJsonDocument::Indented);
}

QString text(const QJsonObject& s)
{
    QStringList out;
    out << QStringLiteral("spoolmere %1, pid %2, settings %3")
               .arg(s.value(QStringLiteral("version")).toString())
               .arg(qint64(s.value(QStringLiteral("pid")).toDouble()))
               .arg(s.value(QStringLiteral("settingsFile")).toString());
    const QString address = s.value(QStringLiteral("address")).toString();
    const QString port = QString::number(s.value(QStringLiteral("port")).toInt());
    out << (s.value(QStringLiteral("listening")).toBool()
                ? QStringLiteral("listening on ") +
                      (address.contains(u':') ? QLatin1Char('[') + address + QLatin1Char(']')
                                              : address) +
                      QLatin1Char(':') + port
                : QStringLiteral("NOT listening (port ") + port + QLatin1Char(')'));
    const QJsonObject sessions = s.value(QStringLiteral("sessions")).toObject();
    out << QStringLiteral("sessions: %1").arg(sessions.value(QStringLiteral("count")).toInt());
    for (const QJsonValue& peer : sessions.value(QStringLiteral("peers")).toArray())
        out << QStringLiteral("  ") + peer.toString();

    for (const QJsonValue& value : s.value(QStringLiteral("queues")).toArray()) {
        const QJsonObject q = value.toObject();
        QString head = QStringLiteral("queue ") + q.value(QStringLiteral("queue")).toString();
        const QString route = q.value(QStringLiteral("route")).toString();
        if (!route.isEmpty())
            head += QStringLiteral(" (") + route + QLatin1Char(')');
        head += QStringLiteral(": %1 waiting").arg(q.value(QStringLiteral("waiting")).toInt());
        if (!q.value(QStringLiteral("printingEnabled")).toBool(true))
            head += QStringLiteral(", printing disabled");
        if (!q.value(QStringLiteral("receivingEnabled")).toBool(true))
            head += QStringLiteral(", receiving disabled");
        out << head;
        if (q.contains(QStringLiteral("running"))) {
            QString line = QStringLiteral("  printing ") +
                           jobLine(q.value(QStringLiteral("running")).toObject());
            const QString since = q.value(QStringLiteral("runningSince")).toString();
            if (!since.isEmpty())
                line += QStringLiteral(" since ") + since;
            out << line;
        }
        if (q.contains(QStringLiteral("lastFailure"))) {
            QString line = QStringLiteral("  last failure: ") +
                           q.value(QStringLiteral("lastFailure")).toString();
            const int failures = q.value(QStringLiteral("failures")).toInt();
            if (failures > 1)
                line += QStringLiteral(" (%1 in a row)").arg(failures);
            out << line;
            const QString next = q.value(QStringLiteral("nextRetry")).toString();
            if (!next.isEmpty())
                out << QStringLiteral("  next try: ") + next;
        }
        for (const QJsonValue& job : q.value(QStringLiteral("jobs")).toArray())
            out << QStringLiteral("  waiting ") + jobLine(job.toObject());
        const int unlisted =
            q.value(QStringLiteral("waiting")).toInt() - int(q.value(QStringLiteral("jobs")).toArray().size());
        if (unlisted > 0)
            out << QStringLiteral("  and %1 more").arg(unlisted);
    }

    const QJsonObject accounting = s.value(QStringLiteral("accounting")).toObject();
    const QString file = accounting.value(QStringLiteral("file")).toString();
    if (file.isEmpty()) {
        out << QStringLiteral("accounting: off");
    } else {
        const QJsonArray last = accounting.value(QStringLiteral("last")).toArray();
        out << QStringLiteral("accounting: ") + file +
                   (last.isEmpty() ? QStringLiteral(" (no lines yet)")
                                   : QStringLiteral(", last %1:").arg(last.size()));
        for (const QJsonValue& line : last)
            out << QStringLiteral("  ") + line.toString();
    }
    return out.join(u'\n') + u'\n';
}

} // namespace ServerStatus
