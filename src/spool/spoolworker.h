#pragma once
// File-system work of the connections, done on a thread of its own in the order it was
// handed over. Creating a file can take the better part of a millisecond (ext4 without a
// journal passes over every recently freed inode first), and it holds the queue folder's
// lock meanwhile; on the event loop that cost was paid by every other client waiting for
// its turn, queue-state requests included. A single thread keeps the order: a file removed
// and then received again under the same name is removed first.
//
// Group commit: the worker takes everything handed over so far as one batch. The files of a
// batch that are to reach the disk are written out together, each by a thread of a small
// pool (a disk serves several flushes at once far faster than one after another), then the
// batch's work runs in order, then its folders are synced, again together. While a batch
// waits for the disk, the next one gathers.

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QueueFolder;
class UniqueFd;

class SpoolWorker final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SpoolWorker)

public:
    explicit SpoolWorker(QObject* parent = nullptr);
    // Finishes everything handed over, then stops.
    ~SpoolWorker() override;

    // Runs `work` on the worker thread.
    void post(std::function<void()> work);
    // Runs `work` on the worker thread, then `done` on this object's thread. `done` is
    // dropped unrun when this object goes first.
    void run(std::function<void()> work, std::function<void()> done);
    // Writes `file` out to the disk (fdatasync) and closes it, then runs `then` on the
    // worker thread, in order with the rest, told whether every byte reached the disk.
    void writeOut(std::shared_ptr<UniqueFd> file, std::function<void(bool written)> then);
    // Runs `work`, then syncs the folder `folder` (fsync), then runs `done` on this object's
    // thread, told whether the folder reached the disk: what `work` and the work before it
    // made or removed in it survives a power cut once `done` is told true. The folders of
    // one batch are synced once for all of it.
    void runSynced(std::function<void()> work, std::shared_ptr<const QueueFolder> folder,
                   std::function<void(bool synced)> done);
    // Returns when everything handed over so far has run.
    void drain();

    // The most syncs issued at once.
    static constexpr int MaxParallelSyncs = 16;

private:
    struct Task
    {
        std::function<void()> work;
        std::shared_ptr<UniqueFd> file;               // writeOut
        std::function<void(bool)> then;               // writeOut: on the worker; runSynced: done
        std::shared_ptr<const QueueFolder> folder;    // runSynced
    };
    struct Sync
    {
        int fd = -1;
        bool folder = false; // fsync (the entries) rather than fdatasync (the bytes)
        bool ok = false;
    };

    void loop();
    void runBatch(std::deque<Task>& batch);
    // Issues every sync, up to MaxParallelSyncs at once, and returns when all are done.
    void syncAll(std::vector<Sync>& syncs);
    void syncHelper();
    // Takes the next sync of the current round, or -1; under m_syncMutex.
    qsizetype nextSync();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Task> m_queue;
    bool m_busy = false;
    bool m_stop = false;

    // The pool that issues a batch's syncs beside the worker thread, started when first
    // needed (never with SYNC 0).
    std::mutex m_syncMutex;
    std::condition_variable m_syncWake;
    std::condition_variable m_syncDone;
    std::vector<Sync>* m_syncs = nullptr; // the round being synced
    size_t m_nextSync = 0;
    size_t m_syncsFinished = 0;
    bool m_syncStop = false;
    std::vector<std::thread> m_syncHelpers;

    std::thread m_thread; // last: starts after the members it uses exist
};
