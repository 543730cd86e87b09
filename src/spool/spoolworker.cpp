#include "spool/spoolworker.h"

#include "spool/queuefolder.h"

#include <QList>

#include <unistd.h>

SpoolWorker::SpoolWorker(QObject* parent) : QObject(parent), m_thread([this] { loop(); }) {}

SpoolWorker::~SpoolWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void SpoolWorker::post(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(work));
    }
    m_wake.notify_one();
}

void SpoolWorker::run(std::function<void()> work, std::function<void()> done)
{
    post([this, work = std::move(work), done = std::move(done)]() mutable {
        work();
        QMetaObject::invokeMethod(this, std::move(done), Qt::QueuedConnection);
    });
}

void SpoolWorker::runSynced(std::function<void()> work, std::shared_ptr<const QueueFolder> folder,
                            std::function<void()> done)
{
    post([this, work = std::move(work), folder = std::move(folder),
          done = std::move(done)]() mutable {
        work();
        m_synced.push_back({std::move(folder), std::move(done)});
    });
}

void SpoolWorker::releaseSynced()
{
    // Through the folder the files were made in, not its path: the path may lead elsewhere
    // by now. Each connection holds its own descriptor of a folder; one fsync serves them all.
    QList<std::pair<quint64, quint64>> synced;
    for (const Synced& s : m_synced) {
        if (!s.folder || !s.folder->isOpen())
            continue;
        const std::pair<quint64, quint64> id(s.folder->device(), s.folder->inode());
        if (!synced.contains(id)) {
            ::fsync(s.folder->fd());
            synced << id;
        }
    }
    for (Synced& s : m_synced)
        QMetaObject::invokeMethod(this, std::move(s.done), Qt::QueuedConnection);
    m_synced.clear();
}

void SpoolWorker::drain()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void SpoolWorker::loop()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) {
            // Stopping, and nothing left to do.
            m_idle.notify_all();
            return;
        }
        std::function<void()> work = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        work();
        lock.lock();
        // A batch ends with the work that was waiting when its first file finished: the
        // folder is synced once for it, and no answer waits behind a queue that never
        // empties.
        if (!m_synced.empty()) {
            if (m_syncAfter < 0)
                m_syncAfter = qsizetype(m_queue.size());
            else
                --m_syncAfter;
            if (m_queue.empty() || m_syncAfter <= 0) {
                m_syncAfter = -1;
                lock.unlock();
                releaseSynced();
                lock.lock();
            }
        }
        m_busy = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}
