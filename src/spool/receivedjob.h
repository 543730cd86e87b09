#pragma once
// What one connection receives into a queue folder, from its first file command
// until each of its jobs is handed to the pending list or its files are
// removed: the names and the claims on them, the file being written and its
// lock, and when each file reaches the disk. The connection parses the client's
// commands and answers them; everything it does to the spool goes through here.
//
// A connection may carry several jobs. A job is its control file and the data
// files that file names; it is handed over when the next job's control file
// comes, when one of its names comes again, or when the connection ends. A name
// this connection has received is never opened again on it: an acknowledged
// file is never replaced.
//
// Steps that touch the disk run on the spool worker, and their `done` comes
// back on the main thread, or not at all once this object is gone. Until it
// comes, the caller sends nothing more here: the worker may be using the names
// meanwhile.

#include "net/uniquefd.h"
#include "spool/spooljob.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class LogSink;
class PendingJobList;
class QueueFolder;
class SpoolWorker;

class ReceivedJob final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceivedJob)

public:
    struct Context
    {
        LogSink* log = nullptr;
        PendingJobList* pendingJobs = nullptr;
        // Without one (tests of the connection alone) the file work happens at
        // once.
        SpoolWorker* worker = nullptr;
        // Each finished file and its queue folder reach the disk before the file
        // that completes a job is acknowledged (lpd.ini's SYNC).
        bool syncFiles = true;
    };
    enum class FileKind
    {
        Control,
        Data
    };
    // The answer a step earns: acknowledged, or refused with a reason for the log
    // ("ERROR: <refusal> for <queue>.").
    struct Outcome
    {
        QString refusal;
        // The connection cannot go on (what the client sends next is not to be
        // trusted).
        bool endsSession = false;
        // The file the step was about, and its size.
        QString path;
        qint64 bytes = 0;
        bool ok() const { return refusal.isEmpty(); }
    };
    using Done = std::function<void(const Outcome&)>;

    // A job for `queue` (the client's spelling) received into the folder at
    // `folderPath`.
    ReceivedJob(Context context, QString queue, QString folderPath, QObject* parent = nullptr);
    ~ReceivedJob() override;

    QString queue() const { return m_queue; }
    QString folderPath() const { return m_folderPath; }
    // Whether it may still create or hold files in `folderPath`: true from the
    // first file until end() is done. Cheap, and safe while a step runs on the
    // worker.
    bool holdsFiles() const { return m_holdsFiles; }
    // Every name it holds (full paths).
    QStringList claimedFiles() const;

    // Claims `name` and makes its lock and the file itself (on the worker).
    // Refused when the name is not one a client may use, is held elsewhere, or
    // came already on this connection (a whole job holding it is handed over
    // first, and keeps it).
    void openFile(FileKind kind, const QString& name, Done done);
    bool hasOpenFile() const { return m_file.isValid(); }
    // The name of the file of the last file command.
    QString currentName() const;
    // Appends to the open file; false when it takes no more.
    bool write(const char* bytes, qint64 length);
    // The open file is complete at `bytes` bytes. A control file is checked: one
    // that names a file of another job is refused, and the file removed.
    void finishFile(qint64 bytes, Done done);
    // The client ended the open data file by closing: every byte it sent is the
    // file's. `done` runs once the file is taken (on the disk first, where SYNC
    // asks) or given up; it may run before the call returns.
    void finishAtClose(Done done);
    // The open file is given up: it and its lock go, and so does its name unless
    // a control file of the connection names it.
    void discardFile();
    // Every file of the job being received goes, and every name it holds is given
    // up (the abort sub-command, a file the client broke off).
    void abortJob();
    // The connection ended: a whole job is handed over, files no job can use are
    // removed, a file cut off with its lock too.
    void end();

    // The log line of a file taken.
    static QString gotFileLine(const QString& path, qint64 bytes, const QString& queue);

private:
    bool claim(const QString& path);
    void release(const QString& path);
    void releaseAll();
    bool received(const QString& path) const;
    void removeFiles(const QStringList& paths);
    // Reads the control file just finished and claims the names it gives, on the
    // worker when it is large; `then` with the refusal (empty when admitted).
    void admitControlFile(qint64 bytes, std::function<void(const QString& refusal)> then);
    void writeSynced(const std::shared_ptr<UniqueFd>& file, bool control,
                     const std::function<void()>& refused, const std::function<void()>& accepted);
    void releaseNamed();
    void dropControlJob();
    void handOverJob(bool more);
    // Runs `work` on the worker and `done` back here, unless this object is gone
    // by then.
    void runThen(std::function<void()> work, std::function<void()> done);
    // Runs `done` back here once everything handed to the worker so far has run
    // and the folder is on the disk, told whether it got there.
    void afterSync(std::function<void(bool synced)> done);
    // Writes the file out (on the worker) and lets its lock go once it is on the
    // disk.
    void writeOut(std::shared_ptr<UniqueFd> file, std::function<void(bool written)> then);
    void log(const QString& line);

    const Context m_context;
    const QString m_queue;
    const QString m_folderPath;
    // Opened (and checked) once, for the first file; every file is made, read and
    // removed through it, on the worker too, so a path is never looked up again.
    std::shared_ptr<const QueueFolder> m_folder;
    std::atomic<bool> m_holdsFiles{true};

    QSet<QString> m_claims;    // names held for files received or arriving (full paths)
    QString m_controlPath;     // the control file of the job being received, once
                               // acknowledged
    SpoolJob m_controlJob;     // what that control file says, read once
    QSet<QString> m_dataPaths; // data files received and not yet handed over
    QStringList m_dataOrder;   // the same in the order they came (may hold ones gone since)
    // The data files the control file names, held for it (unless in m_claims
    // already).
    QSet<QString> m_namedPaths;

    FileKind m_kind = FileKind::Data;
    QString m_currentPath;
    QString m_lockPath; // lock file of the file being received
    UniqueFd m_file;
    // Set by the worker when a file answered before its job was complete could
    // not be written to the disk: the job is then refused at its last file.
    std::shared_ptr<std::atomic<bool>> m_syncFailed = std::make_shared<std::atomic<bool>>(false);
};
