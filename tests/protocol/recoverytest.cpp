// Jobs left in the spool are taken up again at start; leftovers of cut-off receptions are
// cleared, and a data file that still has its lock is never taken for a whole one.

#include "serverfixture.h"

#include <QDir>
#include <QFile>

class Recovery : public ServerFixture
{
protected:
    void put(const char* name, const QByteArray& content = {})
    {
        QDir().mkpath(queueDir());
        ASSERT_TRUE(writeFile(queueDir() + QLatin1Char('/') + QString::fromLatin1(name), content));
    }
    bool has(const char* name) const
    {
        return QFile::exists(queueDir() + QLatin1Char('/') + QString::fromLatin1(name));
    }
};

TEST_F(Recovery, CompleteJobsReturnAndLeftoversGo)
{
    put("cfA001host", "Palice\nldfA001host\n");
    put("dfA001host", "one");
    put("cfA001host.lck");
    put("CFA002host", "Pbob\nldfA002host\n");   // any letter case
    put("cfA003host", "Pcarol\nldfA003host\n"); // its data never arrived
    put("cfA004host", "Pdave\nldfA004host\n");
    put("dfA004host", "cut");
    put("dfA004host.lck"); // data cut off while arriving
    put("dfA005host", "orphan data is left alone");
    startServer();

    EXPECT_EQ(server->pendingJobs().displayStrings(), QStringList{QStringLiteral("lp alice 1")});
    const QStringList log = server->log().lines();
    EXPECT_TRUE(log.contains(QStringLiteral("Scanning for old jobs for printer lp")));
    EXPECT_TRUE(log.contains(QStringLiteral("found cfA001host")));
    EXPECT_TRUE(log.contains(QStringLiteral("Lockfile removed for printer lp: cfA001host.lck")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("c-File without d-File removed for printer lp: CFA002host")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("c-File without d-File removed for printer lp: cfA003host")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("c-File without d-File removed for printer lp: cfA004host")));
    EXPECT_FALSE(has("cfA001host.lck"));
    EXPECT_FALSE(has("CFA002host"));
    EXPECT_FALSE(has("cfA004host"));
    EXPECT_TRUE(has("dfA005host"));
    EXPECT_TRUE(server->housekeepingTimer().isActive());

    // A second scan adds nothing twice and finds no lock to remove.
    server->recoverSpooledJobs();
    EXPECT_EQ(server->pendingJobs().count(), 1);
}

TEST_F(Recovery, RescanLeavesFilesOfOpenConnectionsAlone)
{
    startServer();
    LoopbackClient c;
    auto acks = client([&] {
        c.connectTo(port);
        QByteArray a;
        c.send("\x02lp\n");
        a += c.read(1);
        c.send("\x02"
               "22 cfA050host\n");
        a += c.read(1);
        c.send(QByteArray("Perin\nldfA050host\n") + QByteArray(4, 'x') + '\0');
        a += c.read(1);
        return a;
    });
    ASSERT_EQ(acks, QByteArray(3, '\0'));
    // The control file is complete, its data file not yet sent: a rescan must not take
    // the control file for a leftover.
    server->recoverSpooledJobs();
    EXPECT_TRUE(has("cfA050host"));
    EXPECT_TRUE(has("cfA050host.lck"));
    client([&] {
        c.send("\x03"
               "3 dfA050host\n");
        c.read(1);
        c.send(QByteArray("abc") + '\0');
        return c.read(1);
    });
    c.close();
    EXPECT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
}
