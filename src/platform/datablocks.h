#pragma once
// The data file of a job, read in the 1024-byte blocks that every raw route writes.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <sys/types.h>

class DataBlocks final
{
public:
    static constexpr size_t BlockSize = 1024;

    // Reads `fd` from where it stands; the caller keeps it open until this is gone.
    explicit DataBlocks(int fd);
    DataBlocks(const DataBlocks&) = delete;
    DataBlocks& operator=(const DataBlocks&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // The size of a regular file; -1 for anything else (a FIFO, a device).
    qint64 fileSize() const { return m_size; }
    // Fills buf (BlockSize bytes) and returns the count: 0 at the end of the file, -1 on a
    // read error (error() says why).
    ssize_t next(char* buf);
    QString error() const { return m_error; }

private:
    int m_fd = -1;
    qint64 m_size = -1;
    QString m_error;
};

// "what: strerror(err)" for the reasons the routes return.
QString errnoReason(const QString& what, int err);
