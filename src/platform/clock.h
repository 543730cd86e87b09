#pragma once
// The one clock the core reads, replaceable so tests can move time (idle timeouts are in
// whole minutes).

#include <QtGlobal>

#include <functional>

class Clock final
{
public:
    // Milliseconds since the epoch.
    static qint64 nowMs();
    // Replace the clock; an empty function restores the system clock.
    static void setForTesting(std::function<qint64()> clock);
};
