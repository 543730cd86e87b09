#pragma once
// File-system work of the connections, done on a thread of its own in the order it was
// handed over. Creating a file can take the better part of a millisecond (ext4 without a
// journal passes over every recently freed inode first), and it holds the queue folder's
// lock meanwhile; on the event loop that cost was paid by every other client waiting for
// its turn, queue-state requests included. A single thread keeps the order: a file removed
// and then received again under the same name is removed first.

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QueueFolder;

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
    // The same, with the folder `folder` written to disk (fsync) after `work` and before
    // `done`: what `work` made or removed in it survives a power cut once `done` runs. The
    // folders of the work done in one pass over the queue are synced once for all of it.
    void runSynced(std::function<void()> work, std::shared_ptr<const QueueFolder> folder,
                   std::function<void()> done);
    // Returns when everything handed over so far has run.
    void drain();

private:
    void loop();
    void releaseSynced();

    struct Synced
    {
        std::shared_ptr<const QueueFolder> folder;
        std::function<void()> done;
    };

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_queue;
    std::vector<Synced> m_synced; // the worker thread's own: done, waiting for its folder
    qsizetype m_syncAfter = -1; // tasks still to run in the batch of m_synced
    bool m_busy = false;
    bool m_stop = false;
    std::thread m_thread; // last: starts after the members it uses exist
};
