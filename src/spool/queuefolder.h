#pragma once
// A queue folder is reached only through a descriptor of the folder itself, opened without
// following a symbolic link and checked to be the server's own before anything in it is
// touched: a folder that another user made, or may write to, could hold links planted to
// make the server write through them or print a file it should never read. The files
// inside are opened relative to that descriptor, again without following links.
//
// A name inside a queue folder is the client's bytes, whatever they are: held in a QString
// as Latin-1 (one character per byte) and turned back with toLatin1(), never through the
// file system's encoding, which would write a byte such as 0xE9 as two and double-encode a
// name that was UTF-8 already. The folder's own path comes from the settings and is text.

#include "net/uniquefd.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// The bytes of a file name in a queue folder, and the name of such bytes.
QByteArray spoolName(const QString& name);
QString spoolNameFromBytes(const char* bytes);
// The path of the file `name` in the queue folder `folder`: the folder in the file
// system's encoding, the name as its bytes.
QByteArray spoolFilePath(const QString& folder, const QString& name);

// Writes all `length` bytes to a spool file (resuming after a signal); false when the file
// takes no more.
bool writeAll(int fd, const char* bytes, qint64 length);

class QueueFolder final
{
public:
    QueueFolder() = default;
    // Opens `path`; with `create`, a missing folder is made first (0700, with any missing
    // parents). A folder that fails the checks is closed again with problem() set.
    static QueueFolder open(const QString& path, bool create);

    bool isOpen() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }
    // Why the folder was refused as unsafe ("is a symbolic link", ...); empty when it is
    // open, missing or not a folder at all.
    QString problem() const { return m_problem; }
    bool missing() const { return m_missing; }
    // The errno of an open that failed for another reason (EMFILE when the process is out of
    // descriptors); 0 otherwise. Such a folder is there, only not reachable now.
    int openError() const { return m_openError; }
    // What the open folder is (its device and inode; 0 when not open): the same path may
    // lead to another folder later, if something was renamed or linked in its place.
    quint64 device() const { return m_device; }
    quint64 inode() const { return m_inode; }

    // The names of the regular files in the folder, in directory order; links, folders
    // and everything else are left out.
    QStringList regularFiles() const;
    // A regular file in the folder (not a link, not a folder); its size when asked.
    bool isRegularFile(const QString& name, qint64* size = nullptr) const;
    // The mode bits (permissions, set-id and sticky) of a regular file in the folder, 0 when
    // it is anything else.
    unsigned fileMode(const QString& name) const;
    // Opens a regular file in the folder for reading; none when it is anything else.
    UniqueFd openForReading(const QString& name) const;
    // Creates `name` new for writing with `mode`. Whatever stood under the name (a leftover
    // of a reception cut off, a planted link) is removed first, never written through.
    UniqueFd createFile(const QString& name, unsigned mode) const;
    // The file's modification time in nanoseconds, -1 when it cannot be read.
    qint64 modificationTime(const QString& name) const;
    bool remove(const QString& name) const;

private:
    UniqueFd m_fd;
    bool m_missing = false;
    int m_openError = 0;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    QString m_problem;
};
