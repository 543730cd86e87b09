// From a received job to its print command through the scheduler, and the window's Dequeue.

#include "serverfixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

class Dispatch : public ServerFixture
{
};

TEST_F(Dispatch, ReceivedJobIsPrintedSoonAfterTheClose)
{
    const QString out = dir.path() + QStringLiteral("/out.bin");
    const QString print = dir.path() + QStringLiteral("/print.sh");
    ASSERT_TRUE(writeScript(print, "cat \"$1\" >> \"" + QFile::encodeName(out) + "\"\n"));
    Settings s = defaults();
    s.printers = {QStringLiteral("lp ") + print + QStringLiteral(" %p/%d")};
    s.logPrinting = true;
    s.logConnecting = true;
    startServer(s);
    client([&] { return sendJob(port, "lp", "cfA001h", "Pann\nldfA001h\n", "dfA001h", "first"); });
    EXPECT_TRUE(waitUntil([&] { return readFile(out) == "first"; }, 3000));
    EXPECT_TRUE(waitUntil(
        [&] { return server->pendingJobs().isEmpty() && server->runningPrints() == 0; }));
    EXPECT_TRUE(logHas(QStringLiteral("Timer1: forked job, 1 jobs running")));
    EXPECT_TRUE(logHas(QStringLiteral("Job terminated, 0 jobs still running")));
    EXPECT_TRUE(logHas(QStringLiteral("Session closed, timer started ")));
    EXPECT_TRUE(QDir(queueDir()).entryList(QDir::Files).isEmpty());
    // Nothing left to do: the timer switches itself off.
    EXPECT_TRUE(waitUntil([&] { return !server->housekeepingTimer().isActive(); }, 8000));
}

TEST_F(Dispatch, DequeueRemovesSelectedJobsAndTheirFiles)
{
    startServer();
    for (const char* n : {"001", "002", "003"}) {
        const QByteArray num(n);
        client([&] {
            return sendJob(port, "lp", "cfA" + num + "h", "Pz\nldfA" + num + "h\n",
                           "dfA" + num + "h", "x");
        });
    }
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 3; }));
    // By identity (queue, any case, and control file); a job no longer listed is passed over.
    EXPECT_EQ(server->dequeue({QStringLiteral("lp/cfA001h"),
                               jobKey(*server->pendingJobs().snapshot()[2].job),
                               QStringLiteral("lp/cfA009h")}),
              QStringList());
    EXPECT_EQ(server->pendingJobs().displayStrings(), QStringList{QStringLiteral("lp z 2")});
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/cfA001h")));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA003h")));
    EXPECT_TRUE(QFile::exists(queueDir() + QStringLiteral("/dfA002h")));
}
