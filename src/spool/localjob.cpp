#include "spool/localjob.h"

#include "net/uniquefd.h"
#include "spool/queuefolder.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 BlockSize = 1024;

QString suffixFor(int number)
{
    return QStringLiteral("%1localhost").arg(number, 3, 10, QLatin1Char('0'));
}

LocalJobResult failure(QString line)
{
    LocalJobResult result;
    result.error = std::move(line);
    return result;
}

} // namespace

QString localControlFileName(int number)
{
    return QStringLiteral("cfA") + suffixFor(number);
}

LocalJobResult submitLocalJob(const QString& queueDir, const QString& queue,
                              const QString& sourcePath)
{
    const QString forQueue = QStringLiteral(" for ") + queue + QLatin1Char('.');
    // A definition that begins with a blank names no queue, and so no folder.
    // The folder is made as a received job's would be, and refused where that is; everything
    // below happens through its descriptor.
    const QueueFolder folder = queue.isEmpty() ? QueueFolder() : QueueFolder::open(queueDir, true);
    if (!folder.isOpen())
        return failure(QStringLiteral("ERROR: Cannot open directory for ") + queue +
                       QLatin1Char('.'));

    // Only control files count: a data file left alone under a free number is replaced.
    int number = 0;
    struct stat st
    {
    };
    while (::fstatat(folder.fd(), spoolName(localControlFileName(number)).constData(), &st,
                     AT_SYMLINK_NOFOLLOW) == 0)
        ++number;
    const QString suffix = suffixFor(number);
    const QString dataName = QStringLiteral("dfA") + suffix;
    const QString controlName = QStringLiteral("cfA") + suffix;

    UniqueFd data = folder.createFile(dataName, DataFileMode);
    if (!data)
        return failure(QStringLiteral("ERROR: Cannot open ") + dataName + forQueue);

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        data.reset();
        folder.remove(dataName);
        return failure(QStringLiteral("ERROR: Cannot open ") + sourcePath + forQueue);
    }

    char block[BlockSize];
    qint64 size = 0;
    for (;;) {
        const qint64 got = source.read(block, BlockSize);
        if (got < 0) {
            data.reset();
            folder.remove(dataName);
            return failure(QStringLiteral("ERROR: Error reading ") + sourcePath + forQueue);
        }
        if (got == 0)
            break;
        if (!writeAll(data.get(), block, got)) {
            data.reset();
            folder.remove(dataName);
            return failure(QStringLiteral("ERROR: Error writing ") + dataName + forQueue);
        }
        size += got;
    }
    source.close();
    if (data.reset() != 0) {
        folder.remove(dataName);
        return failure(QStringLiteral("ERROR: Error writing ") + dataName + forQueue);
    }

    const QByteArray name = dataName.toLatin1();
    const QByteArray control = "Hlocalhost\r\nPdefault\r\nU" + name + "\r\nl" + name + "\r\n";
    UniqueFd controlFile = folder.createFile(controlName, ControlFileMode);
    const bool written =
        controlFile && writeAll(controlFile.get(), control.constData(), control.size());
    if (controlFile.reset() != 0 || !written) {
        folder.remove(controlName);
        folder.remove(dataName);
        return failure(QStringLiteral("ERROR: Error writing ") + controlName + forQueue);
    }

    LocalJobResult result;
    result.ok = true;
    result.job.controlFile = controlName;
    result.job.printLines = {{'l', dataName}};
    result.job.user = QStringLiteral("default");
    result.job.host = QStringLiteral("localhost");
    result.job.arrivedMs = QDateTime::currentMSecsSinceEpoch();
    result.job.size = quint64(size);
    result.job.jobNumber = number;
    result.job.queue = queue;
    result.job.folderDevice = folder.device();
    result.job.folderInode = folder.inode();
    return result;
}
