#pragma once
// The waiting jobs, shared by the main thread (receiving, recovery, removal, Dequeue) and
// the despooler thread. One mutex guards every access. The entry being printed is tracked
// by index, and every removal below it shifts that index, so the despooler's index stays
// on its job whatever the main thread removes. Jobs are also kept in a hash by what makes
// them the same job (queue and control file name), so the duplicate check on every
// received job does not walk a queue that may hold thousands of jobs.
//
// The list also holds the spool's claimed file names (full paths): the files of every
// waiting job and those that a connection is receiving. A name is claimed before its file
// is opened, so two clients, or a client and a waiting job, never share a file; a waiting
// job's names are given up when its entry goes.

#include "spool/spooljob.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class PendingJobList final
{
public:
    struct Entry
    {
        QString display;
        std::shared_ptr<const SpoolJob> job;
        QStringList claimedFiles; // given up when the entry goes
    };

    // Adds unless an entry for the same job (queue and control file name) exists. On
    // success the entry takes over the claims on `claimedFiles`; otherwise they stay the
    // caller's.
    bool addIfNew(SpoolJob job, QStringList claimedFiles = {});
    // Adds without the check (local jobs); the entry holds `claimedFiles` as addIfNew's.
    void append(SpoolJob job, QStringList claimedFiles = {});

    int count() const;
    bool isEmpty() const { return count() == 0; }
    QStringList displayStrings() const;
    std::vector<Entry> snapshot() const;
    bool containsDisplay(const QString& display) const;

    // Claims a file name; false when a waiting job or a connection holds it already.
    bool claimFile(const QString& path);
    void releaseFile(const QString& path);
    bool isClaimed(const QString& path) const;

    // The despooler's view.
    // Marks entry i as being printed and returns its job, or null when i is past the end.
    std::shared_ptr<const SpoolJob> beginJob(int i);
    // Ends the current job, removing its entry when `remove`; returns the index the pass
    // goes on at (the same index after a removal, the next one otherwise).
    int finishJob(bool remove);
    int currentIndex() const;

    enum class Verdict
    {
        Keep,
        Remove,
        RemoveAndStop,
        Stop
    };
    // Walks the list in order, passing over the entry being printed; the verdict decides
    // each entry. Removed jobs go to onRemoved while the lock is held. Returns the count.
    int removeIf(const std::function<Verdict(const Entry&)>& decide,
                 const std::function<void(const SpoolJob&)>& onRemoved = {});

    // The despooler marks the list when it removed an entry; the main thread takes the
    // mark to refresh the window's job list.
    void markChanged() { m_changed = true; }
    bool takeChanged() { return m_changed.exchange(false); }
    bool changed() const { return m_changed; }

private:
    // A job made ready to be listed, outside the lock: its entry and its duplicate key.
    static Entry prepare(SpoolJob job, QString* key);
    void forget(const Entry& e);

    mutable QMutex m_mutex;
    std::vector<Entry> m_entries;
    std::atomic<bool> m_changed{false};
    QHash<QString, int> m_displays; // case-folded display string -> entries holding it
    QHash<QString, int> m_jobs;     // jobKey -> entries holding it
    QSet<QString> m_claimed;
    int m_current = -1;
};
