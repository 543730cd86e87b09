#include "net/uniquefd.h"

#include <unistd.h>

int UniqueFd::reset(int fd)
{
    const int old = std::exchange(m_fd, fd);
    // Linux frees the descriptor even when close() fails (EINTR included), so it is never
    // retried: a retry could close a descriptor another thread has just been given.
    return old >= 0 && old != fd ? ::close(old) : 0;
}
