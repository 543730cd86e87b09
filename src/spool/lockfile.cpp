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
    auto link = [&] { return ::linkat(folderFd, Stamp, folderFd, lock, 0) == 0; };
    // A leftover lock is removed only when there is one: the common case costs one call.
    if (link())
        return true;
    if (errno == ENOENT && createEmpty(folderFd, Stamp) && link())
        return true;
    if (errno == EEXIST && ::unlinkat(folderFd, lock, 0) == 0 && link())
        return true;
    ::unlinkat(folderFd, lock, 0);
    return createEmpty(folderFd, lock);
}
