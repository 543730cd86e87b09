#include "platform/datablocks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DataBlocks::DataBlocks(int fd) : m_fd(fd)
{
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot open data file");
        return;
    }
    struct stat st;
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode))
        m_size = qint64(st.st_size);
}

ssize_t DataBlocks::next(char* buf)
{
    if (m_fd < 0)
        return -1;
    // A regular file hands out full blocks until its end; filling the block anyway keeps
    // the block size fixed should the file be something else.
    size_t filled = 0;
    while (filled < BlockSize) {
        const ssize_t n = ::read(m_fd, buf + filled, BlockSize - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = errnoReason(QStringLiteral("cannot read data file"), errno);
            return -1;
        }
        if (n == 0)
            break;
        filled += size_t(n);
    }
    return ssize_t(filled);
}

QString errnoReason(const QString& what, int err)
{
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err));
}
