#include "spool/spoolworker.h"

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
        m_busy = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}
