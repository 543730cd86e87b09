#pragma once
// One pass over the waiting jobs on a thread of its own. Every job is matched against the
// copy of the printer definitions taken when the pass was created, so an edit made while
// it prints never shows it half a list. Log lines go to the main thread and the pass waits
// for each; the main thread never waits for the pass.

#include "config/printerdefinition.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class LogSink;
class PendingJobList;
class QueueFolder;
struct SpoolJob;

class Despooler final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Despooler)

public:
    Despooler(PendingJobList& jobs, QList<PrinterDefinition> printers, QString spoolDir,
              LogSink& log, QObject* parent = nullptr);

    // Set before start: how long one print may take (0: no limit), and whether the output
    // of a print that succeeded is logged (the Printing category).
    void setPrintTimeLimit(int ms) { m_printTimeLimitMs = ms; }
    void setLogSuccessfulOutput(bool on) { m_logSuccessfulOutput = on; }
    // Ends the pass after the job being printed (the server stops).
    void requestStop() { m_stopRequested = true; }

protected:
    void run() override;

private:
    bool printJob(const SpoolJob& job, const PrinterDefinition& printer);
    bool printRaw(const PrintRoute& route, const QByteArray& dataPath);
    // Whether a print of this line (its print record entry) that an earlier pass or server
    // started ended with success.
    bool endedEarlier(const QString& entry, const QueueFolder& folder);
    bool printRawRecorded(const QString& entry, const QString& dataFile, const QueueFolder& folder,
                          const PrintRoute& route, const QString& shown, const QString& queueDir);
    // A command with its print record (when this program can supervise it).
    bool printRecorded(const QString& queue, const QString& entry, const QueueFolder& folder,
                       const PrintRoute& route, const QString& shown,
                       const QList<QByteArray>& words);
    // `record`: the print record's descriptor for the supervisor, or -1 to run the command
    // directly.
    bool printByCommand(const QString& queue, const PrintRoute& route, const QString& shown,
                        const QList<QByteArray>& words, int record);
    // What a print command wrote, a log line each, named by queue and command.
    void logOutput(const QString& queue, const QString& command, const QByteArray& output,
                   bool cut);
    void log(const QString& line);

    PendingJobList& m_jobs;
    const QList<PrinterDefinition> m_printers;
    const QString m_spoolDir;
    LogSink& m_log;
    int m_printTimeLimitMs = 0;
    bool m_logSuccessfulOutput = false;
    // Where this pass printed, for the print records left with no entry at its end.
    QStringList m_printedFolders;
    std::atomic<bool> m_stopRequested{false};
};
