#include "spool/receivedjob.h"

#include "config/logsink.h"
#include "spool/lockfile.h"
#include "spool/pendingjoblist.h"
#include "spool/queuefolder.h"
#include "spool/spoolworker.h"

#include <QPointer>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

// The name of a file in its queue folder, from the full path the claims go by.
QString nameOf(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

// A file of a file command, made ready on the worker: the queue folder (made
// when missing, refused when it is not safely the server's own; opened once for
// the job, and every later file operation goes through that descriptor), the
// lock file, then the file. The name is claimed, so whatever stands under it is
// a leftover of a reception cut off earlier: it is removed, never opened, and
// the file is created new. A descriptor nobody took is closed.
struct OpenedFile
{
    QString refusal;
    // The job's folder when it had one, else the one opened here.
    std::shared_ptr<const QueueFolder> folder;
    UniqueFd fd;

    void open(const QString& dir, const QString& name, bool control)
    {
        if (!folder) {
            auto opened = std::make_shared<QueueFolder>(QueueFolder::open(dir, true));
            const int error = errno;
            if (!opened->isOpen()) {
                // The operator reading the log needs the folder and the system's reason.
                refusal = opened->problem().isEmpty()
                              ? QStringLiteral("Cannot open directory ") + dir +
                                    QStringLiteral(" (") +
                                    QString::fromLocal8Bit(std::strerror(error)) +
                                    QLatin1Char(')')
                              : QStringLiteral("Queue folder ") + dir + QLatin1Char(' ') +
                                    opened->problem();
                return;
            }
            folder = std::move(opened);
        }
        const QByteArray file = spoolName(name);
        if (!createLockFile(folder->fd(), file + ".lck")) {
            refusal = QStringLiteral("Cannot open lock file");
            return;
        }
        fd = folder->createFile(name, control ? ControlFileMode : DataFileMode);
        if (!fd) {
            // Refused, so nothing is arriving: its lock goes now, not at the next
            // start.
            folder->remove(name + QStringLiteral(".lck"));
            refusal = QStringLiteral("Cannot open file");
        }
    }
};

const QString CannotWrite = QStringLiteral("Cannot write file");

// A control file that names many files that never came gets this many warnings,
// and one line for the rest.
constexpr qsizetype MissingWarnings = 10;

ReceivedJob::Outcome refusedFor(const QString& why, bool endsSession = false)
{
    ReceivedJob::Outcome outcome;
    outcome.refusal = why;
    outcome.endsSession = endsSession;
    return outcome;
}

} // namespace

ReceivedJob::ReceivedJob(Context context, QString queue, QString folderPath, QObject* parent)
    : QObject(parent), m_context(context), m_queue(std::move(queue)),
      m_folderPath(std::move(folderPath))
{
}

// At shut-down the files stay as they are: recovery sorts them out at the next
// start.
ReceivedJob::~ReceivedJob() = default;

QString ReceivedJob::gotFileLine(const QString& path, qint64 bytes, const QString& queue)
{
    if (bytes / 1024 <= 9)
        return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
               QString::number(bytes) + QStringLiteral(" B for ") + queue + QLatin1Char('.');
    return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
           QString::number(bytes / 1024) + QStringLiteral(" kB for ") + queue + QLatin1Char('.');
}

void ReceivedJob::log(const QString& line)
{
    if (m_context.log)
        m_context.log->append(line);
}

void ReceivedJob::runThen(std::function<void()> work, std::function<void()> done)
{
    if (!m_context.worker) {
        work();
        done();
        return;
    }
    QPointer<ReceivedJob> self(this);
    m_context.worker->run(std::move(work), [self, done = std::move(done)] {
        if (self)
            done();
    });
}

void ReceivedJob::afterSync(std::function<void(bool synced)> done)
{
    QPointer<ReceivedJob> self(this);
    m_context.worker->runSynced([] {}, m_folder,
                                [self, done = std::move(done)](bool synced) {
                                    if (self)
                                        done(synced);
                                });
}

void ReceivedJob::writeOut(std::shared_ptr<UniqueFd> file, std::function<void(bool)> then)
{
    // Once the file is on the disk its lock goes; one that did not get there
    // keeps its lock.
    m_context.worker->writeOut(std::move(file), [folder = m_folder, lock = m_lockPath,
                                                 then = std::move(then)](bool written) {
        if (written)
            folder->remove(nameOf(lock));
        then(written);
    });
}

bool ReceivedJob::claim(const QString& path)
{
    if (m_claims.contains(path) || m_namedPaths.contains(path))
        return true;
    if (m_context.pendingJobs && !m_context.pendingJobs->claimFile(path))
        return false;
    m_claims.insert(path);
    return true;
}

void ReceivedJob::release(const QString& path)
{
    const bool held = m_claims.remove(path) || m_namedPaths.remove(path);
    if (held && m_context.pendingJobs)
        m_context.pendingJobs->releaseFile(path);
}

void ReceivedJob::releaseAll()
{
    if (m_context.pendingJobs) {
        for (const QString& path : std::as_const(m_claims))
            m_context.pendingJobs->releaseFile(path);
    }
    m_claims.clear();
    releaseNamed();
}

void ReceivedJob::releaseNamed()
{
    // A hostile control file names a hundred thousand files: their names are
    // given up on the worker, and the set is freed there too.
    auto release = [pending = m_context.pendingJobs, named = std::move(m_namedPaths)] {
        if (pending) {
            for (const QString& path : named)
                pending->releaseFile(path);
        }
    };
    m_namedPaths = {};
    if (m_context.worker)
        m_context.worker->post(std::move(release));
    else
        release();
}

QStringList ReceivedJob::claimedFiles() const
{
    return m_claims.values() + m_namedPaths.values();
}

bool ReceivedJob::received(const QString& path) const
{
    return path == m_controlPath || m_dataPaths.contains(path);
}

void ReceivedJob::removeFiles(const QStringList& paths)
{
    // Nothing was made without the folder open.
    if (!m_folder || paths.isEmpty())
        return;
    // A file goes with its lock, whatever stage it was refused at: a lock left
    // behind would stay until the next start.
    auto remove = [folder = m_folder, paths] {
        for (const QString& path : paths) {
            const QString name = nameOf(path);
            folder->remove(name);
            folder->remove(name + QStringLiteral(".lck"));
        }
    };
    if (m_context.worker)
        m_context.worker->post(std::move(remove));
    else
        remove();
}

void ReceivedJob::openFile(FileKind kind, const QString& name, Done done)
{
    // A data file may not take a control file's name, here or at recovery
    // (spooljob.h).
    if (kind == FileKind::Data && !isDataFileName(name))
        return done(refusedFor(QStringLiteral("Invalid data file name ") + name));
    const QString path = m_folderPath + QLatin1Char('/') + name;
    // A name that came on this connection already is never opened again: the job
    // that has it goes to the pending list first, whole, and keeps it (some
    // clients send several jobs on one connection, and reuse their names). A job
    // without its control file or data cannot go, and its file stays as
    // acknowledged.
    if (received(path) && !m_controlPath.isEmpty() && !m_dataPaths.isEmpty())
        handOverJob(true);
    // A name of a waiting job, or one another connection is receiving, is never
    // opened either: two clients sending the same names would write into one
    // file, and a client reusing a waiting job's names would overwrite it.
    // Claimed from now on, so that a rescan leaves the new files alone too.
    if (received(path) || !claim(path))
        return done(refusedFor(QStringLiteral("File name ") + name + QStringLiteral(" in use")));
    m_kind = kind;
    m_currentPath = path;
    // Every file has a lock file while it arrives, so that recovery after a crash
    // never takes a half-received file for a whole one.
    m_lockPath = path + QStringLiteral(".lck");
    auto file = std::make_shared<OpenedFile>();
    file->folder = m_folder;
    const bool control = kind == FileKind::Control;
    runThen([file, dir = m_folderPath, name, control] { file->open(dir, name, control); },
            [this, file, path, done = std::move(done)] {
                if (!m_folder)
                    m_folder = file->folder;
                if (!file->refusal.isEmpty()) {
                    if (!m_namedPaths.contains(path))
                        release(path);
                    m_lockPath.clear();
                    return done(refusedFor(file->refusal));
                }
                m_file = std::move(file->fd);
                done({});
            });
}

QString ReceivedJob::currentName() const
{
    return nameOf(m_currentPath);
}

bool ReceivedJob::write(const char* bytes, qint64 length)
{
    return writeAll(m_file.get(), bytes, length);
}

void ReceivedJob::finishFile(qint64 bytes, Done done)
{
    // Handed to the worker below, which closes it (shared: the work is a copyable
    // function).
    const auto file = std::make_shared<UniqueFd>(std::move(m_file));
    const bool control = m_kind == FileKind::Control;
    const QString path = m_currentPath;
    auto refused = [this, done] {
        discardFile();
        done(refusedFor(CannotWrite, true));
    };
    auto accepted = [this, control, path, bytes, done] {
        if (control) {
            m_controlPath = path;
        } else if (!m_dataPaths.contains(path)) {
            m_dataPaths.insert(path);
            m_dataOrder << path;
        }
        m_lockPath.clear();
        done({{}, false, path, bytes});
    };
    const bool synced = m_context.syncFiles && m_context.worker;
    if (!synced && file->reset() != 0)
        return refused();
    auto written = [this, synced, control, file, done, refused = std::move(refused),
                    accepted = std::move(accepted)] {
        if (!synced) {
            // Each file's lock goes before its answer, on the worker in order with
            // the rest: a lock then always means "incomplete", and a job whose files
            // were all acknowledged is whole for recovery.
            runThen([folder = m_folder, lock = m_lockPath] { folder->remove(nameOf(lock)); },
                    accepted);
            return;
        }
        writeSynced(file, control, refused, accepted);
    };
    if (!control)
        return written();
    admitControlFile(bytes, [done, written = std::move(written)](const QString& refusal) {
        if (!refusal.isEmpty())
            return done(refusedFor(refusal));
        written();
    });
}

void ReceivedJob::writeSynced(const std::shared_ptr<UniqueFd>& file, bool control,
                              const std::function<void()>& refused,
                              const std::function<void()>& accepted)
{
    // An acknowledged job is on the disk: a client that saw its last answer may
    // forget it, and a power cut must not lose it. Only the file that completes a
    // job waits for that. A job's first file is answered at once and written out
    // by the worker meanwhile; the worker keeps their order, so when the file
    // that completes the job has been synced, its lock removed and the folder
    // synced (once for every file finished in the same pass), the whole job is on
    // the disk, and only then is it answered.
    const bool completesJob = control ? !m_dataPaths.isEmpty() : !m_controlPath.isEmpty();
    const auto failed = m_syncFailed;
    writeOut(file, [failed](bool written) {
        if (!written)
            *failed = true;
    });
    if (!completesJob)
        return accepted();
    afterSync([failed, refused, accepted](bool synced) {
        if (synced && !*failed)
            accepted();
        else
            refused();
    });
}

void ReceivedJob::finishAtClose(Done done)
{
    const qint64 size = ::lseek(m_file.get(), 0, SEEK_END);
    const QString path = m_currentPath;
    auto taken = [this, size, path, done] {
        m_lockPath.clear();
        log(gotFileLine(path, size, m_queue));
        if (!m_dataPaths.contains(path)) {
            m_dataPaths.insert(path);
            m_dataOrder << path;
        }
        done({{}, false, path, size});
    };
    auto lost = [this, done] {
        log(QStringLiteral("ERROR: ") + CannotWrite + QStringLiteral(" for ") + m_queue +
            QLatin1Char('.'));
        discardFile();
        done(refusedFor(CannotWrite, true));
    };
    if (!m_context.syncFiles || !m_context.worker) {
        if (m_file.reset() != 0 || size < 0)
            return lost();
        // Removed here, not through the worker: the job is handed over in the same
        // close, and listed with its data file's lock still there, a crash would
        // cost the job.
        m_folder->remove(nameOf(m_lockPath));
        return taken();
    }
    // No answer waits on this file, but the job is printed from it: it reaches
    // the disk, and only then loses its lock and is handed over, or a power cut
    // could print it cut short.
    const auto written = std::make_shared<bool>(false);
    writeOut(std::make_shared<UniqueFd>(std::move(m_file)),
             [written, size](bool ok) { *written = ok && size >= 0; });
    afterSync([written, taken = std::move(taken), lost = std::move(lost)](bool synced) {
        if (synced && *written)
            taken();
        else
            lost();
    });
}

void ReceivedJob::discardFile()
{
    m_file.reset();
    removeFiles({m_currentPath});
    m_lockPath.clear();
    if (!received(m_currentPath) && !m_namedPaths.contains(m_currentPath))
        release(m_currentPath);
}

void ReceivedJob::abortJob()
{
    QStringList files = m_dataOrder;
    files.removeIf([this](const QString& path) { return !m_dataPaths.contains(path); });
    if (!m_controlPath.isEmpty())
        files.prepend(m_controlPath);
    removeFiles(files);
    for (const QString& path : std::as_const(files))
        release(path);
    releaseNamed();
    m_controlPath.clear();
    dropControlJob();
    m_dataPaths.clear();
    m_dataOrder.clear();
    m_namedPaths.clear();
}

namespace {

// What a control file says and the names it holds: made on either thread, taken
// on the main thread.
struct Admission
{
    SpoolJob job;
    QSet<QString> named;
    QString conflict; // the first name another job holds
};

// Every data file the control file names is held for it from now on, so no
// other connection can bring one of them, and recovery after a crash finds
// beside it only files that came with it. One that another job holds (an
// earlier job of this connection, a waiting job, another connection) cannot be
// its file: the job could never print as sent, so it is refused before it is
// acknowledged. `own` are the names the connection holds already.
void admit(Admission& a, const QueueFolder& folder, const QString& queue, const QString& name,
           const QString& prefix, const QSet<QString>& own, PendingJobList* pending)
{
    a.job = readControlFile(folder, queue, name);
    for (const QString& file : a.job.dataFiles()) {
        const QString path = prefix + file;
        if (own.contains(path))
            continue;
        if (pending && !pending->claimFile(path)) {
            for (const QString& claimed : std::as_const(a.named))
                pending->releaseFile(claimed);
            a.named.clear();
            a.conflict = file;
            return;
        }
        a.named.insert(path);
    }
}

// Control files are a few hundred bytes. One larger than this is read and its
// names checked on the worker, so that a hostile one (a mebibyte naming 131,000
// files) holds up no other client.
constexpr qint64 InlineControlBytes = 64 * 1024;

} // namespace

void ReceivedJob::admitControlFile(qint64 bytes, std::function<void(const QString&)> then)
{
    // Some clients send several jobs on one connection: the one before is whole
    // once the next one's control file has come, and takes its files first.
    if (!m_controlPath.isEmpty())
        handOverJob(true);
    const QString name = nameOf(m_currentPath);
    const QString prefix = m_folderPath + QLatin1Char('/');
    auto admission = std::make_shared<Admission>();
    auto admitted = [this, admission, name, then = std::move(then)] {
        if (!admission->conflict.isEmpty()) {
            // Its lock goes after it: until the control file is gone it says
            // "incomplete".
            removeFiles({m_currentPath});
            release(m_currentPath);
            m_lockPath.clear();
            return then(QStringLiteral("Control file ") + name + QStringLiteral(" names ") +
                        admission->conflict + QStringLiteral(", a file of another job; refused"));
        }
        m_namedPaths = std::move(admission->named);
        m_controlJob = std::move(admission->job);
        then({});
    };
    if (bytes <= InlineControlBytes || !m_context.worker) {
        admit(*admission, *m_folder, m_queue, name, prefix, m_claims, m_context.pendingJobs);
        return admitted();
    }
    // The names the connection holds are read there meanwhile, never changed:
    // nothing else happens on the connection until `admitted` runs.
    runThen(
        [admission, folder = m_folder, queue = m_queue, name, prefix, own = m_claims,
         pending = m_context.pendingJobs] {
            admit(*admission, *folder, queue, name, prefix, own, pending);
        },
        std::move(admitted));
}

void ReceivedJob::handOverJob(bool more)
{
    const QString controlName = nameOf(m_controlPath);
    const QString prefix = m_folderPath + QLatin1Char('/');
    // A control file prints only data files that came with it: naming another
    // job's file would print that job's document as this one. Data files are few
    // (each costs the client a file command); a hostile control file's lines are
    // many: one look-up per line, and at most a few warnings.
    QSet<QString> receivedNames;
    for (const QString& path : std::as_const(m_dataPaths))
        receivedNames.insert(nameOf(path));
    SpoolJob job = std::move(m_controlJob);
    m_controlJob = {};
    QStringList missing;
    bool moreMissing = false;
    keepOwnDataFiles(job, *m_folder, [&](const QString& name) {
        if (receivedNames.contains(name))
            return true;
        if (!missing.contains(name)) {
            if (missing.size() < MissingWarnings)
                missing << name;
            else
                moreMissing = true;
        }
        return false;
    });
    if (job.printLines.isEmpty()) {
        log(QStringLiteral("ERROR: Control file ") + controlName +
            QStringLiteral(" names no data file received with it; job for ") + m_queue +
            QStringLiteral(" dropped."));
        // The data files received may be the next job's, or go at the end of the
        // session.
        removeFiles({m_controlPath});
        release(m_controlPath);
    } else {
        for (const QString& name : std::as_const(missing))
            log(QStringLiteral("WARNING: Control file ") + controlName + QStringLiteral(" names ") +
                name + QStringLiteral(", which did not come with it; that file is not printed."));
        if (moreMissing)
            log(QStringLiteral("WARNING: Control file ") + controlName +
                QStringLiteral(" names more files that did not come with it; they are not "
                               "printed."));
        // The claims on the job's names pass to its entry.
        QStringList files{m_controlPath};
        for (const QString& name : job.dataFiles())
            files << prefix + name;
        for (const QString& path : std::as_const(files)) {
            m_claims.remove(path);
            m_namedPaths.remove(path);
            m_dataPaths.remove(path);
        }
        if (m_context.pendingJobs && !m_context.pendingJobs->addIfNew(std::move(job), files)) {
            for (const QString& path : std::as_const(files))
                m_context.pendingJobs->releaseFile(path);
        }
        m_dataOrder.removeIf([this](const QString& path) { return !m_dataPaths.contains(path); });
    }
    // The names it held for files that never came are free again.
    releaseNamed();
    m_controlPath.clear();
    if (more)
        return;
    // What no control file of the connection named can never print.
    if (!m_dataPaths.isEmpty()) {
        QStringList left;
        for (const QString& path : std::as_const(m_dataOrder)) {
            if (!m_dataPaths.contains(path))
                continue;
            left << path;
            log(QStringLiteral("WARNING: Data file ") + nameOf(path) + QStringLiteral(" for ") +
                m_queue + QStringLiteral(" named by no control file; removed."));
        }
        removeFiles(left);
    }
    m_dataPaths.clear();
    m_dataOrder.clear();
}

void ReceivedJob::dropControlJob()
{
    // Freed on the worker: a hostile control file's record holds 131,000 lines.
    auto job = std::make_shared<SpoolJob>(std::move(m_controlJob));
    m_controlJob = {};
    if (m_context.worker && job->printLines.size() > 1000)
        m_context.worker->post([job]() mutable { job.reset(); });
}

void ReceivedJob::end()
{
    if (!m_controlPath.isEmpty() && m_dataPaths.isEmpty()) {
        removeFiles({m_controlPath});
    } else if (!m_dataPaths.isEmpty() && m_controlPath.isEmpty()) {
        QStringList files = m_dataOrder;
        files.removeIf([this](const QString& path) { return !m_dataPaths.contains(path); });
        removeFiles(files);
    } else if (!m_controlPath.isEmpty() && !m_dataPaths.isEmpty()) {
        handOverJob(false);
    }
    if (m_file) {
        // Cut off in the middle (or never ended: a control file of count 0 waits
        // for its terminator): no job can use it, so it goes now with its lock, not
        // at the next start.
        m_file.reset();
        removeFiles({m_currentPath});
        log(QStringLiteral("ERROR: File ") + m_currentPath + QStringLiteral(" for ") + m_queue +
            QStringLiteral(" cut off."));
    }
    releaseAll();
    m_controlPath.clear();
    dropControlJob();
    m_dataPaths.clear();
    m_dataOrder.clear();
    m_holdsFiles = false;
}
