#include "platform/clock.h"

#include <QDateTime>

#include <atomic>
#include <mutex>

namespace {

// The flag keeps the common case (no replacement) free of the lock; the socket layer and
// the despooler read the clock from different threads.
std::atomic<bool> g_replaced{false};
std::mutex g_mutex;
std::function<qint64()> g_clock;

} // namespace

qint64 Clock::nowMs()
{
    if (g_replaced.load(std::memory_order_acquire)) {
        std::function<qint64()> clock;
        {
            const std::lock_guard lock(g_mutex);
            clock = g_clock;
        }
        // Called outside the lock so a slow replacement does not hold up other threads.
        if (clock)
            return clock();
    }
    return QDateTime::currentMSecsSinceEpoch();
}

void Clock::setForTesting(std::function<qint64()> clock)
{
    const std::lock_guard lock(g_mutex);
    const bool replaced = static_cast<bool>(clock);
    g_clock = std::move(clock);
    g_replaced.store(replaced, std::memory_order_release);
}
