#pragma once
// The server's one spool: every part that reaches a queue folder (the connections, the
// scheduler, recovery, the queue commands, accounting) holds this object and asks it for the
// path when it needs one, so that a change of SPOOLDIR is seen by all of them at once and no
// part keeps building paths into a spool the jobs have left. The generation tells a holder
// that took a folder earlier whether the spool has changed since.
//
// Lives on the main thread; a print on a worker thread gets its folder's path when it starts.

#include <QString>

class Spool final
{
public:
    Spool() = default;
    explicit Spool(QString path) : m_path(std::move(path)) {}
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    const QString& path() const { return m_path; }
    // The folder of a queue inside the spool (the folder spelling, not the client's).
    QString folderPath(const QString& queueFolder) const;
    // Changes whenever the path does.
    quint64 generation() const { return m_generation; }
    // Whether `path` names this spool (the same path once cleaned).
    bool isAt(const QString& path) const;

    // The spool is now at `path`; true when that is another place than before.
    bool setPath(const QString& path);

private:
    QString m_path;
    quint64 m_generation = 0;
};
