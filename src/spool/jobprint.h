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

class LogSink;
class QueueFolder;

class JobPrint final
{
public:
    enum class Outcome
    {
        Printed, // the job's files are gone
        Failed,  // the route or command failed: the queue backs off
        Deferred // it could not be tried now (the record is busy or unusable)
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
    // Whether a print of this line (its print record entry) that an earlier print or server
    // started ended with success.
    bool endedEarlier(const QueueFolder& folder, const QString& entry);
    // The record is held by a print still running (an earlier server's): the job waits.
    bool held(const QueueFolder& folder, const QString& entry);
    bool printRaw(const QueueFolder& folder, const QString& entry, const QString& dataFile,
                  const QString& shown);
    bool printRawRoute(const QByteArray& dataPath);
    bool printRecorded(const QueueFolder& folder, const QString& entry, const QString& shown,
                       const QList<QByteArray>& words);
    // `record`: the print record's descriptor for the supervisor, or -1 to run the command
    // directly.
    bool printByCommand(const QString& shown, const QList<QByteArray>& words, int record);
    // What a print command wrote, a log line each, named by queue and command.
    void logOutput(const QByteArray& output, bool cut);
    void log(const QString& line);
    bool fail(const QString& reason);
    bool defer(const QString& reason);

    const std::shared_ptr<const SpoolJob> m_job;
    const PrinterDefinition m_printer;
    const QString m_queueDir;
    const Options m_options;
    LogSink& m_log;
    QString m_reason;
    bool m_deferred = false; // the print record is held: try again later
};
