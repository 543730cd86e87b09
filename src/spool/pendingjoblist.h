#pragma once
// The waiting jobs, shared by the main thread (receiving, recovery, removal, Dequeue) and
// the print workers. One mutex guards every access. Entries being printed are marked, and
// nothing but the end of their print removes them, so a print never loses its entry to a
// removal or Dequeue. Jobs are also kept in a hash by what makes
// them the same job (queue and control file name), so the duplicate check on every
// received job does not walk a queue that may hold thousands of jobs.
//
// Beside the order of arrival, every queue keeps its own list, under its case-folded name
// made once when the job is listed, and the queues whose first job may start are kept in
// the order of those first jobs. Starting and ending a print, finding what to print next
// and reporting one queue cost what that queue holds, not what the whole spool holds: a
// site with a thousand queues pays per print what a site with one pays.
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
#include <list>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

class PendingJobList final
{
public:
    struct Entry
    {
        QString display;
        std::shared_ptr<const SpoolJob> job;
        QStringList claimedFiles; // given up when the entry goes
        bool printing = false;
        QString queueKey; // queueKey(job->queue)
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
    // The entries of one queue (by queueKey), in list order.
    std::vector<Entry> queueEntries(const QString& queueKey) const;
    bool containsDisplay(const QString& display) const;
    bool containsJob(const QString& jobKey) const;

    // Claims a file name; false when a waiting job or a connection holds it already.
    bool claimFile(const QString& path);
    void releaseFile(const QString& path);
    bool isClaimed(const QString& path) const;

    // The print scheduler's view.
    // The first entry of every queue (queueKey) not in `skip`, in list order, at most
    // `limit` of them; a queue whose first entry is being printed is left out. Costs the
    // queues passed over and the heads returned, not the entries behind them.
    std::vector<std::shared_ptr<const SpoolJob>>
    queueHeads(const QSet<QString>& skip, qsizetype limit = -1) const;
    // Marks the job's entry as being printed; false when it is no longer listed.
    bool beginPrint(const SpoolJob* job);
    // Marks entry i as being printed and returns its job, or null when i is past the end.
    std::shared_ptr<const SpoolJob> beginJob(int i);
    // Ends the job's print, removing its entry when `remove`.
    void endPrint(const SpoolJob* job, bool remove);
    bool isPrinting(const QString& display) const;
    // When the first job of a queue is to be tried again (ms since the epoch; 0: not
    // waiting), for the window's list and the queue report: after a failed print, or with
    // `waitReason` when the job could not be tried at all (its print record held, no space).
    void setRetryAt(const QString& queueKey, qint64 atMs, const QString& waitReason = {});
    qint64 retryAt(const QString& queueKey) const;
    struct RetryingHead
    {
        std::shared_ptr<const SpoolJob> job;
        QString display;
        qint64 retryAtMs = 0;
        QString waitReason; // empty: its print failed
    };
    // The first entry of every queue that waits for another attempt, in list order, with
    // the attempt's time: what the window and the queue report mark.
    std::vector<RetryingHead> retryingHeads() const;

    enum class Verdict
    {
        Keep,
        Remove,
        RemoveAndStop,
        Stop
    };
    // Walks the list in order, passing over the entries being printed; the verdict decides
    // each entry. Removed jobs go to onRemoved while the lock is held. Returns the count.
    int removeIf(const std::function<Verdict(const Entry&)>& decide,
                 const std::function<void(const SpoolJob&)>& onRemoved = {});
    // The same over the entries of one queue (by queueKey) only.
    int removeIf(const QString& queueKey, const std::function<Verdict(const Entry&)>& decide,
                 const std::function<void(const SpoolJob&)>& onRemoved = {});

    // The scheduler marks the list when it removed an entry; the main thread takes the
    // mark to refresh the window's job list.
    void markChanged() { m_changed = true; }
    bool takeChanged() { return m_changed.exchange(false); }
    bool changed() const { return m_changed; }

private:
    struct Node;
    using Nodes = std::list<Node>;
    struct QueueJobs
    {
        std::list<Nodes::iterator> jobs; // list order
        quint64 readySince = 0;          // its first job's sequence while it may start
    };
    struct Node
    {
        Entry entry;
        QString jobKey;
        QString foldedDisplay;
        quint64 sequence = 0;
        std::list<Nodes::iterator>::iterator inQueue;
    };

    // A job made ready to be listed, outside the lock.
    static Node prepare(SpoolJob job, QStringList claimedFiles);
    void insert(Node node);
    // Removes the node from every index and the list; returns the node after it.
    Nodes::iterator erase(Nodes::iterator node);
    // Files the queue among those whose first job may start, or takes it out.
    void updateReady(const QString& queueKey, QueueJobs& queue);
    int removeAmong(const std::vector<Nodes::iterator>& candidates,
                    const std::function<Verdict(const Entry&)>& decide,
                    const std::function<void(const SpoolJob&)>& onRemoved);

    mutable QMutex m_mutex;
    Nodes m_entries;
    quint64 m_nextSequence = 1;
    std::atomic<bool> m_changed{false};
    QHash<QString, int> m_displays; // case-folded display string -> entries holding it
    QHash<QString, int> m_jobs;     // jobKey -> entries holding it
    // queueKey -> its entries; a node-based map, so a queue stays where it is while others
    // come and go
    std::unordered_map<QString, QueueJobs> m_queues;
    QHash<const SpoolJob*, Nodes::iterator> m_byJob;
    std::map<quint64, QString> m_ready; // first job's sequence -> queue that may start
    struct Retry
    {
        qint64 atMs = 0;
        QString waitReason;
    };
    QHash<QString, Retry> m_retryAt;
    QSet<QString> m_claimed;
};
