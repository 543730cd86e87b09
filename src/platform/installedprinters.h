#pragma once
// The platform's printer names for KnownQueues, kept as a cached list so that admitting a
// connection never waits for CUPS. A worker refreshes it in the background.

#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class InstalledPrinters final
{
public:
    // refreshSeconds 0: never refresh in the background (tests).
    explicit InstalledPrinters(int refreshSeconds = 30);
    ~InstalledPrinters();
    InstalledPrinters(const InstalledPrinters&) = delete;
    InstalledPrinters& operator=(const InstalledPrinters&) = delete;

    QStringList names() const;
    void setNames(const QStringList& names);

private:
    mutable std::mutex m_mutex;
    QStringList m_names;
    std::atomic<bool> m_stop{false}; // also cuts short a listing in progress
    std::condition_variable m_wake;
    std::thread m_worker; // last: starts after the members it uses exist
};
