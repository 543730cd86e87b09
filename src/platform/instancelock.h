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

    // $XDG_RUNTIME_DIR when set; else runtimeDirWithout(/run/user/<uid>, $HOME).
    static QString runtimeDir(QString* error = nullptr);
    // Without XDG_RUNTIME_DIR: `loginFolder` when it is this user's private folder (the
    // login manager makes it; nobody else can), else `home`/.local/state/spoolmere, made on
    // demand with mode 0700, when the home is one only its owner or root may write. Never a
    // name in a shared folder that another user could take first. Empty, with the reason,
    // when there is no such folder.
    static QString runtimeDirWithout(const QString& loginFolder, const QString& home,
                                     QString* error = nullptr);

private:
    QString m_dir;
    QString m_error;
    UniqueFd m_fd;
};
