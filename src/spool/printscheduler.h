#pragma once
// Decides when each waiting job prints. Every queue prints on its own: at most one print
// at a time per queue, in list order, and up to parallelLimit() queues at once, each print
// on a worker thread. So a printer that hangs or is switched off delays only its own queue.
//
// A job is started when it can be: its arrival, the end of the print before it, or the end
// of its queue's back-off wakes the scheduler (wake() coalesces into one pass on the event
// loop). A failed print makes its queue wait before its first job is tried again: 5 s,
// doubling up to 5 min; a success on the queue, new settings (configure) or retryNow()
// resets it, and so does the failed job leaving the list. A print that could not be tried
// (its queue folder's print record is held by an earlier server's print, or there is no
// space for it) is tried again after the first back-off step without counting as a
// failure; one whose record is unusable backs off like a failure. Each such attempt logs
// one line: "Waiting: JOB for QUEUE (why); next attempt at ...".
//
// The state of each queue (running print, last failure, next attempt) is there to read;
// jobFinished tells of every print's end with its outcome and duration.

#include "config/printerdefinition.h"
#include "spool/jobprint.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>

class LogSink;
class PendingJobList;
class Spool;
struct SpoolJob;

class PrintScheduler final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PrintScheduler)

public:
    // The most queues that print at the same time, whatever the number of printers.
    static constexpr int MaxParallelPrints = 32;
    static constexpr qint64 FirstRetryMs = 5000;
    static constexpr qint64 LastRetryMs = 300000;

    PrintScheduler(PendingJobList& jobs, const Spool& spool, LogSink& log,
                   QObject* parent = nullptr);
    // Stops without waiting (running prints are ended with their processes).
    ~PrintScheduler() override;

    // The printers of the prints started from now on; resets every back-off.
    // The parallel limit is the number of printers, at least 1 and at most
    // MaxParallelPrints.
    void configure(QList<PrinterDefinition> printers, int printTimeLimitMs);
    // Where printed jobs are accounted for, before their files go.
    void setAccounting(Accounting* accounting) { m_options.accounting = accounting; }
    // Something changed (a job arrived, a print ended, the housekeeping tick): a pass soon.
    void wake();
    // The operator asks for every waiting queue to be tried now.
    void retryNow();
    // The orderly stop: no print starts any more; the running ones may end within waitMs,
    // then they are ended with their processes and their jobs stay for the next start.
    void stop(int waitMs);

    // The back-off's first step and its cap (tests shorten them).
    void setRetryDelays(qint64 firstMs, qint64 lastMs);

    int runningPrints() const { return m_running; }
    int parallelLimit() const { return m_limit; }

    struct QueueState
    {
        QString queue;      // as the running or failed job spelled it
        QString runningJob; // control file of the print running now, or empty
        qint64 runningSinceMs = 0;
        QString lastFailure;      // control file and reason of the last failed print
        QString lastReason;       // the reason alone
        int failures = 0;         // failed prints in a row
        qint64 nextAttemptMs = 0; // when its first job is tried again (0: as soon as it can)
    };
    QList<QueueState> queueStates() const;

signals:
    // A print began (the window shows which job prints).
    void jobStarted(const SpoolJob& job);
    // A print ended. outcome: JobPrint::Outcome; reason empty when it printed. The job may
    // be gone from the list by now (it printed), so it comes along.
    void jobFinished(const SpoolJob& job, JobPrint::Outcome outcome, qint64 durationMs,
                     const QString& reason);
    // A printed job left the list.
    void jobsChanged();
    // The last running print ended.
    void idle();

private:
    struct Queue
    {
        QueueState state;
        bool busy = false;
        QString failedJob; // jobKey of the job the back-off is for
    };

    void dispatch();
    // The queue no longer waits for an attempt: its back-off is over or void.
    void clearBackOff(Queue& queue, const QString& key);
    void startPrint(const std::shared_ptr<const SpoolJob>& job, const PrinterDefinition& printer);
    void printEnded(const QString& key, const std::shared_ptr<const SpoolJob>& job,
                    JobPrint::Result result);
    // The queue waits before its first job (`job`) is tried again.
    void backOff(Queue& queue, const QString& key, const SpoolJob& job, JobPrint::Outcome outcome,
                 const QString& reason);
    void armRetryTimer();

    PendingJobList& m_jobs;
    const Spool& m_spool;
    LogSink& m_log;
    QList<PrinterDefinition> m_printers;
    JobPrint::Options m_options;
    qint64 m_firstRetryMs = FirstRetryMs;
    qint64 m_lastRetryMs = LastRetryMs;
    int m_limit = 1;
    int m_running = 0;
    bool m_stopping = false;
    std::atomic<bool> m_stopRequested{false}; // m_stopping, for the prints' threads
    bool m_passQueued = false;
    QHash<QString, Queue> m_queues; // by queueKey
    // The queues a pass looks at beyond the first jobs it is offered: the ones that back off
    // or whose back-off is for a job that may have left, and the ones printing now. A pass
    // costs these and the prints it starts, whatever the number of queues.
    QSet<QString> m_backingOff;
    QSet<QString> m_busy;
    QHash<QString, qsizetype> m_printerByQueue; // queueKey -> index in m_printers
    QSet<QString> m_printingDisabled;           // queueKeys
    QTimer m_retryTimer;
    QThreadPool m_workers;
};
