#include "spool/spoolworker.h"

#include "net/uniquefd.h"
#include "spool/queuefolder.h"

#include <QList>

#include <algorithm>

#include <unistd.h>

namespace {

// fsync for a folder (its entries), fdatasync for a file (its bytes): true when on the disk.
bool issueSync(int fd, bool folder)
{
    return (folder ? ::fsync(fd) : ::fdatasync(fd)) == 0;
}

} // namespace

SpoolWorker::SpoolWorker(QObject* parent) : QObject(parent), m_thread([this] { loop(); }) {}

SpoolWorker::~SpoolWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    {
        std::lock_guard lock(m_syncMutex);
        m_syncStop = true;
    }
    m_syncWake.notify_all();
    for (std::thread& helper : m_syncHelpers)
        helper.join();
}

void SpoolWorker::post(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({std::move(work), {}, {}, {}});
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

void SpoolWorker::writeOut(std::shared_ptr<UniqueFd> file, std::function<void(bool written)> then)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({{}, std::move(file), std::move(then), {}});
    }
    m_wake.notify_one();
}

void SpoolWorker::runSynced(std::function<void()> work, std::shared_ptr<const QueueFolder> folder,
                            std::function<void(bool synced)> done)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back({std::move(work), {}, std::move(done), std::move(folder)});
    }
    m_wake.notify_one();
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
        // Everything handed over so far is one batch; what comes while it waits for the
        // disk is the next, so no answer waits behind a queue that never empties.
        std::deque<Task> batch = std::exchange(m_queue, {});
        m_busy = true;
        lock.unlock();
        runBatch(batch);
        lock.lock();
        m_busy = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

void SpoolWorker::runBatch(std::deque<Task>& batch)
{
    // The files first, all at once: written out earlier than their turn harms nothing, and
    // what follows them in the batch (a lock removed, an answer) waits for its own file only
    // as long as the slowest flush of the batch.
    std::vector<Sync> files;
    for (const Task& task : batch) {
        if (task.file)
            files.push_back({task.file->get(), false, false});
    }
    syncAll(files);
    auto file = files.begin();
    std::vector<Task*> synced;
    for (Task& task : batch) {
        if (task.file) {
            const bool written = file->ok && task.file->reset() == 0;
            ++file;
            if (task.then)
                task.then(written);
        } else {
            task.work();
            if (task.folder || task.then)
                synced.push_back(&task);
        }
    }
    if (synced.empty())
        return;
    // Through the folder the files were made in, not its path: the path may lead elsewhere
    // by now. Each connection holds its own descriptor of a folder; one fsync serves them all.
    QList<std::pair<quint64, quint64>> ids;
    std::vector<Sync> folders;
    std::vector<qsizetype> folderOf(synced.size(), -1);
    for (size_t i = 0; i < synced.size(); ++i) {
        const QueueFolder* folder = synced[i]->folder.get();
        if (!folder || !folder->isOpen())
            continue;
        const std::pair<quint64, quint64> id(folder->device(), folder->inode());
        qsizetype at = ids.indexOf(id);
        if (at < 0) {
            at = ids.size();
            ids << id;
            folders.push_back({folder->fd(), true, false});
        }
        folderOf[i] = at;
    }
    syncAll(folders);
    for (size_t i = 0; i < synced.size(); ++i) {
        // A folder that did not reach the disk fails every answer that waited for it; with
        // no folder there was nothing to sync.
        const bool ok = folderOf[i] >= 0 ? folders[size_t(folderOf[i])].ok : !synced[i]->folder;
        QMetaObject::invokeMethod(
            this, [done = std::move(synced[i]->then), ok] { done(ok); }, Qt::QueuedConnection);
    }
}

qsizetype SpoolWorker::nextSync()
{
    if (!m_syncs || m_nextSync >= m_syncs->size())
        return -1;
    return qsizetype(m_nextSync++);
}

void SpoolWorker::syncAll(std::vector<Sync>& syncs)
{
    if (syncs.size() <= 1) {
        for (Sync& s : syncs)
            s.ok = issueSync(s.fd, s.folder);
        return;
    }
    std::unique_lock lock(m_syncMutex);
    const size_t helpers = std::min<size_t>(syncs.size(), MaxParallelSyncs) - 1;
    while (m_syncHelpers.size() < helpers)
        m_syncHelpers.emplace_back([this] { syncHelper(); });
    m_syncs = &syncs;
    m_nextSync = 0;
    m_syncsFinished = 0;
    m_syncWake.notify_all();
    for (qsizetype i = nextSync(); i >= 0; i = nextSync()) {
        lock.unlock();
        syncs[size_t(i)].ok = issueSync(syncs[size_t(i)].fd, syncs[size_t(i)].folder);
        lock.lock();
        ++m_syncsFinished;
    }
    m_syncDone.wait(lock, [&] { return m_syncsFinished == syncs.size(); });
    m_syncs = nullptr;
}

void SpoolWorker::syncHelper()
{
    std::unique_lock lock(m_syncMutex);
    for (;;) {
        qsizetype i = -1;
        m_syncWake.wait(lock, [&] { return m_syncStop || (i = nextSync()) >= 0; });
        if (i < 0)
            return;
        Sync& s = (*m_syncs)[size_t(i)];
        lock.unlock();
        s.ok = issueSync(s.fd, s.folder);
        lock.lock();
        if (++m_syncsFinished == m_syncs->size())
            m_syncDone.notify_one();
    }
}
