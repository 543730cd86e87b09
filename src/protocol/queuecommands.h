#pragma once
// Daemon commands 03/04 (queue state) and 05 (remove jobs). Both answer, log one line and
// close the connection. The report's two header lines are each followed by a 5 ms pause;
// the pauses run on timers so that no other connection waits for them.

#include <QString>

class Tlpdconnection;
struct Tlpdjob;

class QueueCommands final
{
public:
    static void queueReport(Tlpdconnection& connection, const QString& word);
    static void removeJobs(Tlpdconnection& connection);

    // At most width characters; a longer text loses its middle to "...".
    static QString abbreviate(const QString& text, int width);
    // One line of the report, LF included.
    static QByteArray jobLine(const Tlpdjob& job);
    static constexpr const char* HeaderLine =
        "User            Job File                                           Size\n";
};
