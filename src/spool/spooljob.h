#pragma once
// The job record and the reading of RFC 1179 control files.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QueueFolder;

// A line of a control file that prints a data file: its letter says the file's format
// (RFC 1179: c d f g l n o p r t v, and z).
struct PrintLine
{
    char letter = 'f';
    QString dataFile;
};

struct SpoolJob
{
    QString controlFile;         // a name, not a path
    QList<PrintLine> printLines; // control-file order; a repeated line is a copy
    QString queue;               // as the client spelled it
    qint32 jobNumber = 0;
    QString user = QStringLiteral("root");
    QString title;
    QString host;          // its control file's H line, empty when it has none
    qint64 arrivedMs = 0;  // when its control file was complete (ms since the epoch), 0 unknown
    quint64 size = 0; // total of its distinct data files when the record was built
    // Its line in a queue report, made once when the job is listed: a report lists every
    // waiting job, and formatting them each time took a millisecond with a long queue.
    QByteArray reportLine;
    // The queue folder it arrived in (or was found in at the start): device and inode, 0 when
    // not known. A path looked up again later may lead elsewhere (something renamed or linked
    // in the folder's place); the job is printed and removed only through its own folder.
    quint64 folderDevice = 0;
    quint64 folderInode = 0;

    // Each data file the print lines name, once, in the order first named.
    QStringList dataFiles() const;
};

// Whether a control-file letter asks to print a data file.
bool isPrintLetter(char letter);

// At most width characters; a longer text loses its middle to "...".
QString abbreviate(const QString& text, int width);
// The job's line in a queue report, LF included.
QByteArray reportLine(const SpoolJob& job);
// The job with "retry HH:MM:SS " (local time) before its title: a job that waits for the
// retry of a failed print, as the window and the queue report show it.
SpoolJob retryMarked(const SpoolJob& job, qint64 retryAtMs);

// Applies the control file's lines (H, J, N, P and the print letters) to a record.
void applyControlFile(SpoolJob& job, const QByteArray& contents);
// Digits at characters 4 to 6 of the name (leading blanks skipped), 0 when none.
qint32 jobNumberFromName(const QString& controlFileName);
// A name a client may store in a queue folder: 6 bytes or more, none of "\", ":", "?",
// "*", "/", not "." or "..", and not ending in ".lck". Also the check for names read from
// control files.
bool isSafeSpoolName(const QString& name);

// Which of the data files a control file names belong to its job (see readSpoolJob).
using DataFileFilter = std::function<bool(const QString& name)>;

// Reads spoolDir/queueDir/controlFile. queueDir is the folder spelling; the record's queue is
// the client's spelling. Neither the folder nor the files are reached through a symbolic
// link. A job is its control file and the data files its print lines name, so the one rule
// for which files form a job lives here: a print line is kept when its file name passes
// isSafeSpoolName and `mayUse` (when given) accepts it; the names of the files refused go
// to `refused`, each once. The size is the total of the kept files present.
SpoolJob readSpoolJob(const QString& spoolDir, const QString& queueDir, const QString& queue,
                      const QString& controlFile);
SpoolJob readSpoolJob(const QueueFolder& folder, const QString& queue, const QString& controlFile,
                      const DataFileFilter& mayUse = {}, QStringList* refused = nullptr);
// The two halves of readSpoolJob, for a caller that checks the names a control file gives
// before its data files have come: what the control file says (print lines whose name
// fails isSafeSpoolName left out), and then which of its files are the job's.
SpoolJob readControlFile(const QueueFolder& folder, const QString& queue,
                         const QString& controlFile);
void keepOwnDataFiles(SpoolJob& job, const QueueFolder& folder, const DataFileFilter& mayUse,
                      QStringList* refused = nullptr);
// What a spool file may be called and which files form a job: one rule for the live
// connection and for recovery after a crash.
//  - Any name isSafeSpoolName accepts may be a control file (cfA001host, job004ctl); a data
//    file's name may not begin with "cf" in any letter case, RFC 1179's mark of a control
//    file, which recovery takes such a file for.
//  - A control file is what came as one. The server creates it with ControlFileMode, whose
//    sticky bit (which Linux ignores on a regular file, and which no client can set) tells
//    recovery what the name alone cannot. A file named "cf..." counts as one too: spools of
//    earlier versions, and local jobs.
//  - A job is its control file and the data files its print lines name that are present and
//    complete (no lock file) and its own: live, those that came with it on its connection;
//    at recovery, those no control file that arrived earlier holds (see SpoolRecovery).
constexpr unsigned ControlFileMode = 01644;
constexpr unsigned DataFileMode = 0644;
bool isDataFileName(const QString& name);
bool isControlFile(const QueueFolder& folder, const QString& name);

// The folder of a queue on disk: the first of `folders` equal to `queue` ignoring case
// (printer definitions come first), else the queue as spelled.
QString queueFolderFor(const QStringList& folders, const QString& queue);

// Why the job may not be printed or removed through `folder`: the folder was refused as
// unsafe, or it is not the one the job arrived in. Empty when it may (or the folder is
// simply not there).
QString unusableFolder(const QueueFolder& folder, const SpoolJob& job);

// Deletes the job's control file, then its data files, in the folder, then its entries in the
// folder's print record; failures are ignored (a file that stays is met again by recovery).
// The folder is the one that was opened and checked: a path looked up again could lead
// through a link someone put in its place since.
void deleteJobFiles(const QueueFolder& folder, const SpoolJob& job);
// The same in the folder at queueDir, opened and checked now; nothing is deleted where it is
// unusable for the job, and the reason is returned (see unusableFolder).
QString deleteJobFiles(const QString& queueDir, const SpoolJob& job);

// "queue user number", the pending list's display string.
QString displayString(const SpoolJob& job);
// What makes a job the same job: its queue (any letter case) and its control file name.
QString jobKey(const SpoolJob& job);
// What makes two spellings of a queue the same queue.
QString queueKey(const QString& queue);
