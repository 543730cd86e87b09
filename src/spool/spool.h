#pragma once
// The server's one spool: every part that reaches a queue folder (the connections, the
// scheduler, recovery, the queue commands, accounting) holds this object and asks it for the
// path when it needs one, so that a change of SPOOLDIR is seen by all of them at once and no
// part keeps building paths into a spool the jobs have left. The generation tells a holder
// that took a folder earlier whether the spool has changed since.
//
// It also owns the change of spool (spoolmove.h). A change waits for what reads or writes
// in the old spool (prints, connections with files there) and is then done all at once;
// while it waits, new jobs already arrive in the new spool, so it never waits for ever,
// however busy the server is. Which spool holds the jobs, and a change under way, are
// recorded beside lpd.ini, so that a start takes the jobs of the spool last used along.
//
// Lives on the main thread; a print on a worker thread gets its folder's path when it starts.

#include <QString>
#include <QStringList>

class LogSink;

class Spool final
{
public:
    Spool() = default;
    // A spool at `path` that records nothing (tests of the parts that hold it).
    explicit Spool(QString path) : m_path(std::move(path)) {}
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Where the waiting jobs are and print from.
    const QString& path() const { return m_path; }
    // The folder of a queue inside it (the folder spelling, not the client's).
    QString folderPath(const QString& queueFolder) const;
    // Where a job whose first file arrives now is received: the new spool while a change
    // waits, else path().
    const QString& receivingPath() const { return m_receiving.isEmpty() ? m_path : m_receiving; }
    QString receivingFolderPath(const QString& queueFolder) const;
    bool isChanging() const { return !m_receiving.isEmpty(); }
    // Changes whenever either path does.
    quint64 generation() const { return m_generation; }
    // Whether `path` names where new jobs go (the same path once cleaned).
    bool isHeadedFor(const QString& path) const;

    // Where it records which spool holds the jobs (beside lpd.ini); empty: nowhere.
    void setStateFile(QString file) { m_stateFile = std::move(file); }
    // At start: the spool is the one lpd.ini names, `wanted`. The jobs of the spool last
    // used, and of a change a crash cut short, come along. When they cannot, the log says
    // why at ERROR, the spool stays where they are (so they stay listed), and false.
    bool open(const QString& wanted, LogSink& log);
    // A change to `to`: from now on new jobs arrive there (recorded first). False with why
    // it cannot be (another change waits, another file system, no folder, no record).
    bool beginChange(const QString& to, QString* reason);
    // Moves the old spool's files into the new one and makes it the spool. Only when
    // nothing reads or writes in the old spool. False with the reason: the change waits on.
    bool finishChange(QString* reason);
    // Removes what a change left in an old spool while an earlier server's print held it.
    void clearLeftSpools();

private:
    bool record(QString* reason) const;

    QString m_path;
    QString m_receiving;
    QStringList m_leaving;
    QString m_stateFile;
    quint64 m_generation = 0;
};
