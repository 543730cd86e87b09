#include "platform/installedprinters.h"

#include "platform/cupsconnection.h"

#include <chrono>

InstalledPrinters::InstalledPrinters(int refreshSeconds)
{
    if (refreshSeconds <= 0)
        return;
    m_worker = std::thread([this, refreshSeconds] {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            // Asking CUPS can take a while (connecting, discovery); names() stays answerable
            // meanwhile, and destruction cuts the question short.
            lock.unlock();
            const QStringList fresh = cupsPrinterNames(&m_stop);
            lock.lock();
            if (m_stop)
                break;
            m_names = fresh;
            m_wake.wait_for(lock, std::chrono::seconds(refreshSeconds),
                            [this] { return m_stop.load(); });
        }
    });
}

InstalledPrinters::~InstalledPrinters()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

QStringList InstalledPrinters::names() const
{
    std::lock_guard lock(m_mutex);
    return m_names;
}

void InstalledPrinters::setNames(const QStringList& names)
{
    std::lock_guard lock(m_mutex);
    m_names = names;
}
