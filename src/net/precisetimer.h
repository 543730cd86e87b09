#pragma once
// One-shot timers on a timer file descriptor, watched like a socket. The event loop's own
// timers wake it at whole milliseconds (the GLib dispatcher rounds each wait up to the
// next one), so a 5 ms pause could last up to 6 ms and two in a row up to 12; a timer
// descriptor wakes the loop when it expires, to a fraction of a millisecond.
//
// All timers of a thread share one descriptor, armed for the earliest of them. Its
// notifier lives as long as the thread's event loop, so it soon stands ahead of every
// connection's notifier: the loop hands out ready descriptors in the order they were
// first watched, and a timer that expires while many connections are busy is served
// first instead of after all of them.

#include "net/uniquefd.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <map>

class QSocketNotifier;

class PreciseTimer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PreciseTimer)

public:
    // Runs `action` once, `ms` milliseconds from now, on the calling thread (which runs an
    // event loop), unless `context` is destroyed first.
    static void singleShot(int ms, QObject* context, std::function<void()> action);

private:
    explicit PreciseTimer(UniqueFd fd);
    ~PreciseTimer() override;
    static PreciseTimer* forThisThread();
    void add(qint64 dueNs, QObject* context, std::function<void()> action);
    void arm();
    void fire();

    struct Pending
    {
        QPointer<QObject> context;
        std::function<void()> action;
    };
    UniqueFd m_fd;
    QSocketNotifier* m_notifier;
    std::multimap<qint64, Pending> m_pending; // by due time, CLOCK_MONOTONIC ns
};
