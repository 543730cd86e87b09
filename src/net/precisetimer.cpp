#include "net/precisetimer.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

qint64 monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

thread_local PreciseTimer* t_timer = nullptr;
thread_local bool t_unavailable = false;

} // namespace

PreciseTimer* PreciseTimer::forThisThread()
{
    if (t_timer || t_unavailable)
        return t_timer;
    UniqueFd fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd.isValid()) {
        t_unavailable = true;
        return nullptr;
    }
    t_timer = new PreciseTimer(std::move(fd));
    // Gone with the thread; nothing else owns it.
    QObject::connect(QThread::currentThread(), &QThread::finished, t_timer,
                     [] { delete std::exchange(t_timer, nullptr); });
    return t_timer;
}

void PreciseTimer::singleShot(int ms, QObject* context, std::function<void()> action)
{
    PreciseTimer* timer = forThisThread();
    if (!timer) {
        QTimer::singleShot(ms, Qt::PreciseTimer, context, std::move(action));
        return;
    }
    timer->add(monotonicNs() + std::max(ms, 0) * 1000000LL, context, std::move(action));
}

PreciseTimer::PreciseTimer(UniqueFd fd)
    : m_fd(std::move(fd)),
      m_notifier(new QSocketNotifier(qintptr(m_fd.get()), QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &PreciseTimer::fire);
}

PreciseTimer::~PreciseTimer()
{
    // Gone before m_fd closes the descriptor it watches.
    delete m_notifier;
}

void PreciseTimer::add(qint64 dueNs, QObject* context, std::function<void()> action)
{
    const bool earliest = m_pending.empty() || dueNs < m_pending.begin()->first;
    m_pending.emplace(dueNs, Pending{context, std::move(action)});
    if (earliest)
        arm();
}

void PreciseTimer::arm()
{
    itimerspec when{};
    if (!m_pending.empty()) {
        // An absolute expiry already past fires at once; zero would disarm instead.
        const qint64 due = std::max<qint64>(m_pending.begin()->first, 1);
        when.it_value.tv_sec = time_t(due / 1000000000LL);
        when.it_value.tv_nsec = long(due % 1000000000LL);
    }
    ::timerfd_settime(m_fd.get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

void PreciseTimer::fire()
{
    std::uint64_t expirations = 0;
    if (::read(m_fd.get(), &expirations, sizeof expirations) < 0)
        return; // re-armed before this wake-up was served: wait on
    const qint64 now = monotonicNs();
    std::vector<Pending> due;
    while (!m_pending.empty() && m_pending.begin()->first <= now) {
        due.push_back(std::move(m_pending.begin()->second));
        m_pending.erase(m_pending.begin());
    }
    arm();
    for (Pending& p : due) {
        if (p.context && p.action)
            p.action();
    }
}
