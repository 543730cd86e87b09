#pragma once
// One pass over the waiting jobs on a thread of its own. Every job is matched against the
// copy of the printer definitions taken when the pass was created, so an edit made while
// it prints never shows it half a list. Log lines go to the main thread and the pass waits
// for each; the main thread never waits for the pass.

#include <QString>
#include <QStringList>
#include <QThread>

class LogSink;
class PendingJobList;
struct SpoolJob;

class Despooler final : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Despooler)

public:
    Despooler(PendingJobList& jobs, QStringList printers, QString spoolDir, LogSink& log,
              QObject* parent = nullptr);

    // The definition whose queue name equals `queue` ignoring case, or an empty string.
    static QString findDefinition(const QStringList& printers, const QString& queue);

protected:
    void run() override;

private:
    bool printJob(const SpoolJob& job, const QString& definition);
    bool printRaw(const QString& firstElement, const QString& dataPath);
    bool printByCommand(const QString& firstElement, const QString& argumentText,
                        const QStringList& words);
    void log(const QString& line);

    PendingJobList& m_jobs;
    const QStringList m_printers;
    const QString m_spoolDir;
    LogSink& m_log;
};
