#pragma once
// One print of one job (each of its print lines in order), from the look-up of how an earlier
// server's print of it ended to the removal of its files. It owns the job's steps in its queue
// folder's print record (look up, begin, end, forget) and the job's files, so the scheduler only
// decides when it runs and what its outcome means for the queue. It runs on a worker thread; its
// log lines go to the main thread.

#include "config/printerdefinition.h"
#include "spool/spooljob.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

class Accounting;
class LogSink;
class QueueFolder;
struct RouteResult;

class JobPrint final
{
public:
    enum class Outcome
    {
        Printed,  // the job's files are gone
        Failed,   // the route or command failed: the queue backs off
        Deferred, // it could not be tried now (the record is held, no space, no descriptor)
        Blocked   // its queue's print record is unusable: it waits for the operator
    };
    struct Result
    {
        Outcome outcome = Outcome::Failed;
        QString reason; // why it failed or waits, for the window and accounting
        qint64 durationMs = 0;
    };
    struct Options
    {
        int timeLimitMs = 0; // 0: no limit
        bool logSuccessfulOutput = false;
        // Raised when the server stops: the lines printed so far stay recorded, the rest
        // waits for the next start.
        const std::atomic<bool>* stopRequested = nullptr;
        // Where a printed job's line goes before its files are removed; none in tests.
        Accounting* accounting = nullptr;
    };

    JobPrint(std::shared_ptr<const SpoolJob> job, PrinterDefinition printer, QString queueDir,
             Options options, LogSink& log);
    Q_DISABLE_COPY_MOVE(JobPrint)

    const SpoolJob& job() const { return *m_job; }
    const std::shared_ptr<const SpoolJob>& sharedJob() const { return m_job; }
    // Prints the job (blocking); call once.
    Result run();

private:
    Result print(const QueueFolder& folder);
    enum class Earlier
    {
        Print,   // no earlier print of the line ended with success
        Printed, // one did: the line is not printed again
        Wait     // it cannot be told now (the record is held or unusable)
    };
    // How an earlier print or server's print of this line (its print record entry) ended.
    Earlier lookUp(const QueueFolder& folder, const QString& entry);
    // The job's line in the accounting file, once: a marker entry in the print record (after
    // the lines' own) says it is written, so a server killed before the files are gone
    // neither loses nor repeats it.
    void accountPrinted(const QueueFolder& folder, const QString& identity);
    // "print record PATH " and why it is unusable.
    QString recordProblem(const QString& why) const;
    bool printRaw(const QueueFolder& folder, const QString& entry, const PrintLine& line,
                  const QString& shown);
    // `dataFile`: the data file open for reading, -1 when it could not be opened.
    bool printRawRoute(int dataFile, const PrintLine& line);
    // Logs a failed route's reason; false when it failed.
    bool routeEnded(const RouteResult& result);
    // The whole job to another LPD (an lpd:// route), recorded under `entry`.
    Result forwardJob(const QueueFolder& folder, const QString& entry);
    bool readControlFile(const QueueFolder& folder, QByteArray* contents, QString* reason) const;
    // The control file's J line, else the job's title.
    QString jobName(const QueueFolder& folder) const;
    bool readForwardedControlFile(const QueueFolder& folder, const QStringList& dataFiles,
                                  QByteArray* control, QString* reason) const;
    bool printRecorded(const QueueFolder& folder, const QString& entry, const QString& shown,
                       const QList<QByteArray>& words);
    // `record`: the print record's descriptor for the supervisor, or -1 to run the command
    // directly.
    // `words` mark the folder (markedArguments).
    bool printByCommand(const QueueFolder& folder, const QString& shown,
                        const QList<QByteArray>& words, int record);
    // What a print command wrote, a log line each, named by queue and command.
    void logOutput(const QByteArray& output, bool cut);
    void log(const QString& line);
    bool fail(const QString& reason);
    // The job could not be tried (the scheduler logs why, with the next attempt).
    bool defer(const QString& reason);
    bool block(const QString& reason);
    Outcome notPrinted() const;

    const std::shared_ptr<const SpoolJob> m_job;
    const PrinterDefinition m_printer;
    const QString m_queueDir;
    const Options m_options;
    LogSink& m_log;
    QString m_reason;
    QString m_jobName; // what CUPS and IPP printers are told the job is called
    qint64 m_printMs = 0; // the time the print lines of this run took
    bool m_deferred = false; // it could not be tried: try again soon
    bool m_blocked = false;  // the print record is unusable: try again after a back-off
};
