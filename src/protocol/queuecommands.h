#pragma once
// Daemon commands 03/04 (queue state) and 05 (remove jobs). Both answer, log one line and
// close the connection. The report's two header lines are each followed by a 5 ms pause;
// the pauses run on timers so that no other connection waits for them.

#include <QString>

class LpdConnection;

class QueueCommands final
{
public:
    static void queueReport(LpdConnection& connection, const QString& word);
    static void removeJobs(LpdConnection& connection);

    static constexpr const char* HeaderLine =
        "User            Job File                                           Size\n";

private:
    static void refuse(LpdConnection& connection, const QString& what, const QString& queue);
};
