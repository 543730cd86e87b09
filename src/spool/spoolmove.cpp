#include "spool/spoolmove.h"

#include "spool/queuefolder.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

bool moveJobFiles(const QString& fromSpool, const QString& toSpool, const QList<JobFiles>& jobs,
                  QString* reason)
{
    std::map<QString, QueueFolder> sources;
    std::map<QString, QueueFolder> targets;
    const auto folder = [](std::map<QString, QueueFolder>& folders, const QString& path,
                           bool create) -> const QueueFolder& {
        auto it = folders.find(path);
        if (it == folders.end())
            it = folders.emplace(path, QueueFolder::open(path, create)).first;
        return it->second;
    };
    struct Linked
    {
        const QueueFolder* target;
        const QueueFolder* source;
        QString name;
    };
    std::vector<Linked> linked;
    const auto fail = [&](const QString& why) {
        for (const Linked& l : linked)
            l.target->remove(l.name);
        if (reason)
            *reason = why;
        return false;
    };
    for (const JobFiles& job : jobs) {
        const QString fromPath = fromSpool + QLatin1Char('/') + job.queueFolder;
        const QString toPath = toSpool + QLatin1Char('/') + job.queueFolder;
        const QueueFolder& source = folder(sources, fromPath, false);
        const QueueFolder& target = folder(targets, toPath, true);
        if (!source.isOpen())
            return fail(QStringLiteral("cannot open %1 %2").arg(fromPath, source.problem()));
        if (!target.isOpen())
            return fail(QStringLiteral("cannot make %1 %2").arg(toPath, target.problem()));
        for (const QString& name : job.names) {
            const QByteArray bytes = spoolName(name);
            if (::linkat(source.fd(), bytes.constData(), target.fd(), bytes.constData(), 0) != 0) {
                const int err = errno;
                return fail(QStringLiteral("cannot move %1 to %2: %3")
                                .arg(QString::fromLocal8Bit(spoolFilePath(fromPath, name)),
                                     toPath, QString::fromLocal8Bit(std::strerror(err))));
            }
            linked.push_back({&target, &source, name});
        }
    }
    // The new names reach the disk before the old ones go: a crash in between leaves a job
    // in both folders, never in neither.
    for (const auto& [path, target] : targets) {
        if (target.isOpen() && ::fsync(target.fd()) != 0) {
            const int err = errno;
            return fail(QStringLiteral("cannot write %1 to disk: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(err))));
        }
    }
    for (const Linked& l : linked)
        l.source->remove(l.name);
    return true;
}
