#pragma once
// The waiting jobs, shared by the main thread (receiving, recovery, removal, Dequeue) and
// the despooler thread. One mutex guards every access. The entry being printed is tracked
// by index, and every removal below it shifts that index, so the despooler's index stays
// on its job whatever the main thread removes. Display strings are also counted in a hash
// by their case-folded form, so the duplicate check on every received job does not walk a
// queue that may hold thousands of jobs.

#include "spool/spooljob.h"

#include <QHash>
#include <QMutex>
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
    };

    // Adds unless an entry with the same display string exists (ignoring case).
    bool addIfNew(SpoolJob job);
    // Adds without the check (local jobs).
    void append(SpoolJob job);

    int count() const;
    bool isEmpty() const { return count() == 0; }
    QStringList displayStrings() const;
    std::vector<Entry> snapshot() const;
    bool containsDisplay(const QString& display) const;

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
    int m_current = -1;
};
