#include "spool/printscheduler.h"

#include "config/logsink.h"
#include "platform/clock.h"
#include "platform/printroutes.h"
#include "spool/pendingjoblist.h"
#include "spool/spool.h"

#include <QCoreApplication>
#include <QDir>
#include <QDateTime>
#include <QEventLoop>
#include <QSet>

#include <algorithm>
#include <utility>

PrintScheduler::PrintScheduler(PendingJobList& jobs, const Spool& spool, LogSink& log,
                               QObject* parent)
    : QObject(parent), m_jobs(jobs), m_spool(spool), m_log(log)
{
    // One thread per running print, never fewer than the limit allows.
    m_workers.setMaxThreadCount(MaxParallelPrints + 1);
    m_workers.setExpiryTimeout(60000);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &PrintScheduler::dispatch);
}

PrintScheduler::~PrintScheduler()
{
    stop(0);
}

void PrintScheduler::configure(QList<PrinterDefinition> printers, int printTimeLimitMs)
{
    m_limit = std::clamp(int(printers.size()), 1, MaxParallelPrints);
    m_printers = std::move(printers);
    m_printerByQueue.clear();
    m_printingDisabled.clear();
    // The first definition of a queue is the one that prints it.
    for (qsizetype i = 0; i < m_printers.size(); ++i) {
        const QString key = queueKey(m_printers.at(i).queue);
        if (m_printerByQueue.contains(key))
            continue;
        m_printerByQueue.insert(key, i);
        if (m_printers.at(i).printingDisabled)
            m_printingDisabled.insert(key);
    }
    m_options.timeLimitMs = printTimeLimitMs;
    retryNow();
}

void PrintScheduler::setRetryDelays(qint64 firstMs, qint64 lastMs)
{
    m_firstRetryMs = std::max<qint64>(firstMs, 1);
    m_lastRetryMs = std::max(lastMs, m_firstRetryMs);
}

void PrintScheduler::retryNow()
{
    for (const QString& key : std::exchange(m_backingOff, {}))
        clearBackOff(m_queues[key], key);
    m_retryTimer.stop();
    wake();
}

void PrintScheduler::clearBackOff(Queue& queue, const QString& key)
{
    queue.state.failures = 0;
    queue.state.nextAttemptMs = 0;
    queue.failedJob.clear();
    m_jobs.setRetryAt(key, 0);
    m_backingOff.remove(key);
}

void PrintScheduler::wake()
{
    if (m_stopping || m_passQueued)
        return;
    m_passQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_passQueued = false;
            dispatch();
        },
        Qt::QueuedConnection);
}

void PrintScheduler::dispatch()
{
    // A change of spool waits for the running prints; none starts until it is done.
    if (m_stopping || m_running >= m_limit || m_spool.isChanging())
        return;
    const qint64 now = Clock::nowMs();
    QSet<QString> skip = m_busy;
    for (const QString& key : QSet<QString>(m_backingOff)) {
        Queue& queue = m_queues[key];
        // A back-off is for its job: once that job has left the list the queue goes on.
        if (!queue.failedJob.isEmpty() && !m_jobs.containsJob(queue.failedJob))
            clearBackOff(queue, key);
        else if (queue.state.nextAttemptMs > now)
            skip.insert(key);
    }
    skip.unite(m_printingDisabled);
    // Only as many first jobs as may start are asked for; one that cannot start (its
    // printer is gone) is passed over and the next ones are asked for.
    while (m_running < m_limit) {
        const auto heads = m_jobs.queueHeads(skip, m_limit - m_running);
        if (heads.empty())
            break;
        for (const std::shared_ptr<const SpoolJob>& job : heads) {
            const QString key = queueKey(job->queue);
            skip.insert(key);
            const qsizetype printer = m_printerByQueue.value(key, -1);
            if (printer < 0) {
                // The server takes jobs for the CUPS printers by name: one without a
                // definition prints raw to that printer, as "NAME |NAME" would, from the
                // folder it was stored in. Should the printer have gone, the job waits with
                // that reason.
                const QString folder = queueFolderFor(
                    QDir(m_spool.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                    job->queue);
                startPrint(job, PrinterDefinition::parse(folder + QStringLiteral(" |") + folder));
                continue;
            }
            startPrint(job, m_printers.at(printer));
        }
    }
    armRetryTimer();
}

void PrintScheduler::startPrint(const std::shared_ptr<const SpoolJob>& job,
                                const PrinterDefinition& printer)
{
    if (!m_jobs.beginPrint(job.get()))
        return;
    const QString key = queueKey(job->queue);
    Queue& queue = m_queues[key];
    queue.busy = true;
    m_busy.insert(key);
    queue.state.queue = job->queue;
    queue.state.runningJob = job->controlFile;
    queue.state.runningSinceMs = Clock::nowMs();
    queue.state.nextAttemptMs = 0;
    m_jobs.setRetryAt(key, 0);
    ++m_running;
    m_log.appendPrinting(QStringLiteral("Timer1: forked job, ") + QString::number(m_running) +
                         QStringLiteral(" jobs running"));
    // A successful command's output is logged while the Printing category is on.
    m_options.logSuccessfulOutput = m_log.printingEnabled();
    m_options.stopRequested = &m_stopRequested;
    emit jobStarted(*job);
    auto print = std::make_shared<JobPrint>(
        job, printer, m_spool.folderPath(printer.queue), m_options, m_log);
    m_workers.start([this, key, print] {
        const JobPrint::Result result = print->run();
        QMetaObject::invokeMethod(
            this, [this, key, print, result] { printEnded(key, print->sharedJob(), result); },
            Qt::QueuedConnection);
    });
}

void PrintScheduler::printEnded(const QString& key, const std::shared_ptr<const SpoolJob>& job,
                                JobPrint::Result result)
{
    --m_running;
    Queue& queue = m_queues[key];
    queue.busy = false;
    m_busy.remove(key);
    queue.state.runningJob.clear();
    m_log.appendPrinting(QStringLiteral("Job terminated, ") + QString::number(m_running) +
                         QStringLiteral(" jobs still running"));
    const bool printed = result.outcome == JobPrint::Outcome::Printed;
    m_jobs.endPrint(job.get(), printed);
    if (printed) {
        clearBackOff(queue, key);
        m_jobs.markChanged();
        emit jobsChanged();
    } else if (!m_stopping) {
        backOff(queue, key, *job, result.outcome, result.reason);
    }
    emit jobFinished(*job, result.outcome, result.durationMs, result.reason);
    if (m_running == 0)
        emit idle();
    dispatch();
}

void PrintScheduler::backOff(Queue& queue, const QString& key, const SpoolJob& job,
                             JobPrint::Outcome outcome, const QString& reason)
{
    // What passes by itself (a record held by an earlier print, no space) is looked at
    // again soon; a failure, or a record only the operator can mend, waits longer each time.
    const bool counts = outcome != JobPrint::Outcome::Deferred;
    queue.state.queue = job.queue;
    queue.state.lastFailure = job.controlFile + QStringLiteral(": ") + reason;
    queue.state.lastReason = reason;
    queue.failedJob = jobKey(job);
    m_backingOff.insert(key);
    if (counts)
        ++queue.state.failures;
    qint64 delay = m_firstRetryMs;
    for (int i = 1; i < queue.state.failures && delay < m_lastRetryMs; ++i)
        delay *= 2;
    delay = std::min(delay, m_lastRetryMs);
    const qint64 at = Clock::nowMs() + delay;
    queue.state.nextAttemptMs = at;
    m_jobs.setRetryAt(key, at, outcome == JobPrint::Outcome::Failed ? QString() : reason);
    const QString when = QStringLiteral(" at ") +
                         QDateTime::fromMSecsSinceEpoch(at).toString(QStringLiteral("HH:mm:ss")) +
                         QStringLiteral(", in ") +
                         (delay % 1000 == 0 ? QString::number(delay / 1000) + QStringLiteral(" s")
                                            : QString::number(delay) + QStringLiteral(" ms"));
    // A failure has had its own line; a job that could not be tried has only this one.
    if (outcome == JobPrint::Outcome::Failed)
        m_log.append(QStringLiteral("Next attempt for ") + job.queue + QStringLiteral(" (") +
                     job.controlFile + QLatin1Char(')') + when);
    else
        m_log.append(QStringLiteral("Waiting: ") + job.controlFile + QStringLiteral(" for ") +
                     job.queue + QStringLiteral(" (") + reason + QStringLiteral("); next attempt") +
                     when);
    emit jobsChanged();
}

void PrintScheduler::armRetryTimer()
{
    qint64 earliest = 0;
    for (const QString& key : std::as_const(m_backingOff)) {
        const Queue& queue = m_queues[key];
        const qint64 at = queue.state.nextAttemptMs;
        if (!queue.busy && at > 0 && (earliest == 0 || at < earliest))
            earliest = at;
    }
    if (earliest == 0 || m_stopping) {
        m_retryTimer.stop();
        return;
    }
    m_retryTimer.start(int(std::clamp<qint64>(earliest - Clock::nowMs(), 0, m_lastRetryMs)));
}

QList<PrintScheduler::QueueState> PrintScheduler::queueStates() const
{
    QList<QueueState> states;
    for (const Queue& queue : m_queues)
        states << queue.state;
    return states;
}

void PrintScheduler::stop(int waitMs)
{
    m_stopping = true;
    m_stopRequested = true;
    m_retryTimer.stop();
    if (m_running == 0)
        return;
    // A print that ran on after the server ended would be printed again at the next start,
    // and one cut off leaves a torn page: the running prints may finish (their jobs' files
    // go), up to a bound; past it, they end with their processes and their jobs stay.
    const QString bound = QString::number(waitMs / 1000.0);
    m_log.append(QStringLiteral("Stopping: waiting up to ") + bound +
                 (m_running == 1 ? QStringLiteral(" s for the running print to end")
                                 : QStringLiteral(" s for the ") + QString::number(m_running) +
                                       QStringLiteral(" running prints to end")));
    if (waitMs > 0) {
        QEventLoop loop;
        connect(this, &PrintScheduler::idle, &loop, &QEventLoop::quit);
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (m_running > 0) {
        m_log.append(QStringLiteral("Stopping: the print still ran after ") + bound +
                     QStringLiteral(" s; ended, its job stays for the next start"));
        endRunningProcesses(2000);
        m_workers.waitForDone(5000);
    } else {
        m_log.append(QStringLiteral("Stopping: the running print has ended"));
    }
    // The prints' last log lines and ends, still on their way to this thread.
    QCoreApplication::sendPostedEvents();
}
