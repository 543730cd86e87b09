#include "spool/localjob.h"

#include "spool/queuefolder.h"
#include <QDir>

#include <QFile>
#include <QFileInfo>

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
    // The folder is made as a received job's would be, and refused where that is.
    if (queue.isEmpty() || !QueueFolder::open(queueDir, true).isOpen())
        return failure(QStringLiteral("ERROR: Cannot open directory for ") + queue +
                       QLatin1Char('.'));
    const QDir dir(queueDir);

    // Only control files count: a data file left alone under a free number is overwritten.
    int number = 0;
    while (QFileInfo::exists(dir.filePath(localControlFileName(number))))
        ++number;
    const QString suffix = suffixFor(number);
    const QString dataName = QStringLiteral("dfA") + suffix;
    const QString controlName = QStringLiteral("cfA") + suffix;

    // Unbuffered, so that a write the disk cuts short shows up as a short count at once.
    QFile data(dir.filePath(dataName));
    if (!data.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return failure(QStringLiteral("ERROR: Cannot open ") + dataName + forQueue);

    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        data.close();
        data.remove();
        return failure(QStringLiteral("ERROR: Cannot open ") + sourcePath + forQueue);
    }

    char block[BlockSize];
    for (;;) {
        const qint64 got = source.read(block, BlockSize);
        if (got < 0) {
            data.close();
            data.remove();
            return failure(QStringLiteral("ERROR: Error reading ") + sourcePath + forQueue);
        }
        if (got == 0)
            break;
        if (data.write(block, got) != got) {
            data.close();
            data.remove();
            return failure(QStringLiteral("ERROR: Error writing ") + dataName + forQueue);
        }
    }
    const qint64 size = data.size();
    data.close();
    source.close();

    const QByteArray name = dataName.toLatin1();
    const QByteArray control = "Hlocalhost\r\nPdefault\r\nU" + name + "\r\nl" + name + "\r\n";
    QFile controlFile(dir.filePath(controlName));
    const bool written =
        controlFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) &&
        controlFile.write(control) == control.size();
    controlFile.close();
    if (!written || controlFile.error() != QFileDevice::NoError) {
        controlFile.remove();
        QFile::remove(dir.filePath(dataName));
        return failure(QStringLiteral("ERROR: Error writing ") + controlName + forQueue);
    }

    LocalJobResult result;
    result.ok = true;
    result.job.controlFile = controlName;
    result.job.printLines = {{'l', dataName}};
    result.job.user = QStringLiteral("default");
    result.job.size = quint64(size);
    result.job.jobNumber = number;
    result.job.queue = queue;
    return result;
}
