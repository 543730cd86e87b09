#include "spool/lockfile.h"

#include "net/uniquefd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char Stamp[] = ".lck";

bool createEmpty(int folderFd, const char* name)
{
    return UniqueFd(
               ::openat(folderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600))
        .isValid();
}

} // namespace

bool createLockFile(int folderFd, const QByteArray& lockName)
{
    const char* lock = lockName.constData();
    ::unlinkat(folderFd, lock, 0);
    if (::linkat(folderFd, Stamp, folderFd, lock, 0) == 0)
        return true;
    if (errno == ENOENT && createEmpty(folderFd, Stamp) &&
        ::linkat(folderFd, Stamp, folderFd, lock, 0) == 0)
        return true;
    return createEmpty(folderFd, lock);
}
