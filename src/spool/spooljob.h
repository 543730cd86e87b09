#pragma once
// The job record and the reading of RFC 1179 control files.

#include <QByteArray>
#include <QString>
#include <QStringList>

class QueueFolder;

struct SpoolJob
{
    QString controlFile; // a name, not a path
    QString dataFile;    // from the last print line of the control file
    QString queue;       // as the client spelled it
    qint32 jobNumber = 0;
    QString user = QStringLiteral("root");
    QString title;
    quint64 size = 0; // data file size when the record was built
    // Its line in a queue report, made once when the job is listed: a report lists every
    // waiting job, and formatting them each time took a millisecond with a long queue.
    QByteArray reportLine;
};

// At most width characters; a longer text loses its middle to "...".
QString abbreviate(const QString& text, int width);
// The job's line in a queue report, LF included.
QByteArray reportLine(const SpoolJob& job);

// Applies the control file's lines (J, N, P and the print letters) to a record.
void applyControlFile(SpoolJob& job, const QByteArray& contents);
// Digits at characters 4 to 6 of the name (leading blanks skipped), 0 when none.
qint32 jobNumberFromName(const QString& controlFileName);
// A name a client may store in a queue folder: 6 bytes or more, none of "\", ":", "?",
// "*", "/", not "." or "..", and not ending in ".lck". Also the check for names read from
// control files.
bool isSafeSpoolName(const QString& name);

// Reads spoolDir/queueDir/controlFile. A data file name that fails isSafeSpoolName is
// dropped (the job then has no data file). queueDir is the folder spelling; the record's
// queue is the client's spelling. Neither the folder nor the files are reached through a
// symbolic link.
SpoolJob readSpoolJob(const QString& spoolDir, const QString& queueDir, const QString& queue,
                      const QString& controlFile);
SpoolJob readSpoolJob(const QueueFolder& folder, const QString& queue, const QString& controlFile);
// Whether a job found in the spool at start may print `dataFile`: only one named like its
// control file after the first three characters (dfA001host for cfA001host). Nothing else
// proves that the two arrived together.
bool isRecoveredDataFile(const QString& controlFile, const QString& dataFile);

// The folder of a queue on disk: the first of `folders` equal to `queue` ignoring case
// (printer definitions come first), else the queue as spelled.
QString queueFolderFor(const QStringList& folders, const QString& queue);

// Deletes the job's control file, then its data file, in queueDir; failures are ignored
// (a file that stays is met again by recovery).
void deleteJobFiles(const QString& queueDir, const SpoolJob& job);

// "queue user number", the pending list's display string.
QString displayString(const SpoolJob& job);
// What makes a job the same job: its queue (any letter case) and its control file name.
QString jobKey(const SpoolJob& job);
