#pragma once
// The accounting file: one line for every print that ended and every job removed before it
// printed, so that "did job 123 print, and when" has an answer long after the log is gone.
// Fields, separated by one tab:
//   time (ISO 8601 with the UTC offset), queue, user, host, job number, title, bytes,
//   route (the print command or "|" and the raw target), outcome (printed, failed,
//   removed), duration in seconds (three decimals; 0 for a removal), reason (why a print
//   failed, who removed a job; may be empty).
// The client chooses queue, user, host and title: a tab, a line break or another control
// character in them becomes a blank, so one job is always one line of ten tabs.
// The file is opened for every line, so logrotate may move it away at any time.

#include "config/printerdefinition.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <mutex>

struct SpoolJob;

struct AccountingEntry
{
    enum class Outcome
    {
        Printed,
        Failed,
        Removed
    };

    QDateTime time;
    QString queue;
    QString user;
    QString host;
    qint32 jobNumber = 0;
    QString title;
    quint64 bytes = 0;
    QString route;
    Outcome outcome = Outcome::Printed;
    qint64 durationMs = 0;
    QString reason;

    // The job's own fields; its host is the one its control file is named after.
    static AccountingEntry forJob(const SpoolJob& job, Outcome outcome);
};

class Accounting
{
public:
    // The file a setting names: "off" none; empty "accounting.log" in the spool folder; a
    // relative name is taken relative to lpd.ini's folder.
    static QString pathFor(const QString& setting, const QString& spoolDir,
                           const QString& settingsPath);

    // The file (empty: no accounting) and the printers whose routes the lines name.
    void configure(const QString& path, const QList<PrinterDefinition>& printers);
    QString path() const;

    static QByteArray formatLine(const AccountingEntry& entry);
    // A print of the job ended (printed or failed), or it was removed before it printed.
    // False with the reason when the file cannot be written.
    bool recordPrint(const SpoolJob& job, bool printed, qint64 durationMs, const QString& reason,
                     QString* error = nullptr);
    // Whether one of the file's last lines tells that the job printed: a print whose line
    // may have been written just before the server was killed.
    bool containsPrint(const SpoolJob& job) const;
    bool recordRemoval(const SpoolJob& job, const QString& by, QString* error = nullptr);
    bool append(const AccountingEntry& entry, QString* error = nullptr) const;
    // The file's last `count` lines, oldest first (only its last 64 KiB are read).
    QStringList lastLines(int count) const;

private:
    QString routeOf(const QString& queue) const;

    mutable std::mutex m_mutex;
    QString m_path;
    QList<PrinterDefinition> m_printers;
};
