#pragma once
// One server per user at a time: a lock file named "spoolmere" in the user's runtime folder,
// held with flock for the life of the process. The kernel drops the lock when the process
// dies, however it dies, so a crash never leaves a stale lock behind. The control socket
// lives in the same folder, which is why a test gives each instance its own
// XDG_RUNTIME_DIR.

#include "net/uniquefd.h"

#include <QString>

class InstanceLock final
{
public:
    enum class Result
    {
        Acquired,
        AlreadyRunning,
        Failed // the folder or the lock file could not be made; see error()
    };

    // `dir` empty: runtimeDir().
    explicit InstanceLock(QString dir = {});
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    Result acquire();
    void release();
    bool held() const { return m_fd.isValid(); }
    QString path() const;
    QString error() const { return m_error; }

    // $XDG_RUNTIME_DIR when set; else a folder /tmp/spoolmere-<uid> that only this user may
    // use (made on demand, mode 0700; refused when it belongs to someone else or is a
    // link). Empty when no such folder can be had.
    static QString runtimeDir(QString* error = nullptr);

private:
    QString m_dir;
    QString m_error;
    UniqueFd m_fd;
};
