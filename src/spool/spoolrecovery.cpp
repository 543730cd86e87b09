#include "spool/spoolrecovery.h"

#include "config/logsink.h"
#include "spool/pendingjoblist.h"
#include "spool/printrecord.h"
#include "spool/queuefolder.h"
#include "spool/spool.h"
#include "spool/spooljob.h"

#include <QSet>

#include <algorithm>
#include <vector>

void SpoolRecovery::recoverQueue(const QString& queue)
{
    const QString dir = m_spool.folderPath(queue);
    const QueueFolder folder = QueueFolder::open(dir, false);
    if (!folder.isOpen()) {
        if (!folder.problem().isEmpty())
            m_log.append(QStringLiteral("ERROR: Queue folder ") + dir + QLatin1Char(' ') +
                         folder.problem() + QStringLiteral("; its jobs are left alone."));
        return;
    }
    const QString prefix = dir + QLatin1Char('/');
    // Files that waiting jobs or open connections hold are not leftovers, whatever they
    // look like.
    auto claimed = [&](const QString& name) { return m_jobs.isClaimed(prefix + name); };
    const QStringList names = folder.regularFiles();
    QSet<QString> present(names.cbegin(), names.cend());

    // A lock means "incomplete": its file was cut off while arriving and never completes.
    for (const QString& name : names) {
        if (!name.endsWith(QLatin1String(".lck")) || name == QLatin1String(".lck"))
            continue;
        const QString file = name.chopped(4);
        if (claimed(file))
            continue;
        if (present.remove(file)) {
            folder.remove(file);
            m_log.append(QStringLiteral("Incomplete file removed for printer ") + queue +
                         QStringLiteral(": ") + file);
        }
        if (folder.remove(name))
            m_log.append(QStringLiteral("Lockfile removed for printer ") + queue +
                         QStringLiteral(": ") + name);
        present.remove(name);
    }

    const QString runningJob = PrintRecord::tidy(folder);
    if (!runningJob.isEmpty() && present.contains(runningJob))
        m_log.append(QStringLiteral("Print of ") + runningJob +
                     QStringLiteral(" still running; waiting for it to end"));

    // Jobs are listed in the order they arrived: their control files' times, then names.
    struct Found
    {
        qint64 mtime;
        QString name;
    };
    std::vector<Found> controlFiles;
    QSet<QString> controlNames;
    for (const QString& name : std::as_const(present)) {
        if (PrintRecord::isRecordName(name) || !isControlFile(folder, name))
            continue;
        controlNames.insert(name);
        if (!claimed(name))
            controlFiles.push_back({folder.modificationTime(name), name});
    }
    std::sort(controlFiles.begin(), controlFiles.end(), [](const Found& a, const Found& b) {
        return a.mtime != b.mtime ? a.mtime < b.mtime : a.name < b.name;
    });

    // Live, a control file uses only data files that came with it, and one that names a
    // file another job holds is refused; so on a spool this server wrote, every data file
    // has one control file. One named by two (a spool of an earlier version, a hand-made
    // one) goes to the control file that arrived first, never to both: the document prints
    // once, under the job that most likely sent it, and a later control file left with no
    // file of its own is no job. Data files that no control file names can never print.
    QSet<QString> taken;
    for (const Found& found : controlFiles) {
        bool arriving = false;
        QStringList refused;
        SpoolJob job = readSpoolJob(
            folder, queue, found.name,
            [&](const QString& name) {
                if (taken.contains(name))
                    return false;
                if (claimed(name))
                    arriving = true;
                return isDataFileName(name) && !controlNames.contains(name) &&
                       present.contains(name);
            },
            &refused);
        m_log.append(QStringLiteral("found ") + job.controlFile);
        if (arriving) {
            // Still arriving on a connection: its files are left alone.
            for (const PrintLine& line : std::as_const(job.printLines))
                taken.insert(line.dataFile);
            for (const QString& name : std::as_const(refused))
                taken.insert(name);
            continue;
        }
        for (const QString& name : std::as_const(refused)) {
            if (taken.contains(name))
                m_log.append(QStringLiteral("WARNING: ") + job.controlFile +
                             QStringLiteral(" names ") + name +
                             QStringLiteral(", a file of an earlier job, for printer ") + queue);
        }
        if (job.printLines.isEmpty()) {
            folder.remove(job.controlFile);
            m_log.append(QStringLiteral("c-File without d-File removed for printer ") + queue +
                         QStringLiteral(": ") + job.controlFile);
            continue;
        }
        QStringList files{prefix + job.controlFile};
        for (const QString& name : job.dataFiles()) {
            files << prefix + name;
            taken.insert(name);
        }
        for (const QString& path : std::as_const(files))
            m_jobs.claimFile(path);
        if (!m_jobs.addIfNew(std::move(job), files)) {
            for (const QString& path : std::as_const(files))
                m_jobs.releaseFile(path);
        }
    }

    for (const QString& name : std::as_const(present)) {
        if (!isSafeSpoolName(name) || controlNames.contains(name) || taken.contains(name) ||
            claimed(name) || PrintRecord::isRecordName(name))
            continue;
        if (folder.remove(name))
            m_log.append(QStringLiteral("d-File without c-File removed for printer ") + queue +
                         QStringLiteral(": ") + name);
    }
}
