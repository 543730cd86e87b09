#pragma once
// Waiting jobs follow a change of the spool folder, so that the next start (which scans only
// the new one) finds them. Each file gets its name in the same queue folder of the new spool
// by a hard link, a job's control file last; only when every file of every job has its new
// name, and the new folders are on disk, are the old names removed. Either every job moves
// or none does. Both spools must be on one file system.

#include <QList>
#include <QString>
#include <QStringList>

struct JobFiles
{
    QString queueFolder; // the folder's name inside the spool
    QStringList names;   // data files first, the control file last
};

// False with the reason when a file cannot be given its new name; nothing has moved then.
bool moveJobFiles(const QString& fromSpool, const QString& toSpool, const QList<JobFiles>& jobs,
                  QString* reason);
