// Jobs left in the spool are taken up again at start; leftovers of cut-off receptions are
// cleared, and a data file that still has its lock is never taken for a whole one.

#include "serverfixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

class Recovery : public ServerFixture
{
protected:
    void put(const char* name, const QByteArray& content = {})
    {
        QDir().mkpath(queueDir());
        ASSERT_TRUE(writeFile(queueDir() + QLatin1Char('/') + QString::fromLatin1(name), content));
    }
    // Sets the file's modification time `seconds` into the past.
    void age(const char* name, int seconds)
    {
        QFile f(queueDir() + QLatin1Char('/') + QString::fromLatin1(name));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addSecs(-seconds),
                                  QFileDevice::FileModificationTime));
    }
    bool has(const char* name) const
    {
        return QFileInfo(queueDir() + QLatin1Char('/') + QString::fromLatin1(name)).exists() ||
               QFileInfo(queueDir() + QLatin1Char('/') + QString::fromLatin1(name)).isSymLink();
    }
};

TEST_F(Recovery, CompleteJobsReturnInArrivalOrderAndLeftoversGo)
{
    put("cfA001host", "Palice\nldfA001host\n");
    put("dfA001host", "one");
    put("CFA002host", "Pbob\nldfA002host\n"); // any letter case; its data never arrived
    put("cfA004host", "Pdave\nldfA004host\n");
    put("dfA004host", "cut");
    put("dfA004host.lck"); // data cut off while arriving
    put("dfA005host", "orphan data can never print");
    put("cfA006host", "Perin\nldfA006host\n");
    put("cfA006host.lck"); // control file cut off while arriving
    put("dfA006host", "whole");
    put("dfA007host.lck");                        // a lock whose file is gone
    put("cfA008host", "Pmallory\nldfA001host\n"); // names another job's data file
    put("cfA009hostA", "Palice\nldfA009hostA\n"); // same queue, user and number ...
    put("dfA009hostA", "from A");
    put("cfA009hostB", "Palice\nldfA009hostB\n"); // ... from another host
    put("dfA009hostB", "from B");
    put("cfA010host", "Pzed\nldfA010host\n");
    put("dfA010host", "oldest");
    const QString outside = dir.path() + QStringLiteral("/outside");
    ASSERT_TRUE(writeFile(outside, "Proot\nldfA010host\n"));
    ASSERT_TRUE(QFile::link(outside, queueDir() + QStringLiteral("/cfA011host")));
    // Arrival order is the control files' time, then their names.
    age("cfA010host", 300);
    age("cfA001host", 200);
    age("cfA009hostB", 100);
    age("cfA009hostA", 100);
    startServer();

    EXPECT_EQ(server->pendingJobs().displayStrings(),
              (QStringList{QStringLiteral("lp zed 10"), QStringLiteral("lp alice 1"),
                           QStringLiteral("lp alice 9"), QStringLiteral("lp alice 9")}));
    const QStringList log = server->log().lines();
    for (const char* line : {"Scanning for old jobs for printer lp", "found cfA001host",
                             "c-File without d-File removed for printer lp: CFA002host",
                             "Incomplete file removed for printer lp: dfA004host",
                             "Lockfile removed for printer lp: dfA004host.lck",
                             "c-File without d-File removed for printer lp: cfA004host",
                             "Incomplete file removed for printer lp: cfA006host",
                             "Lockfile removed for printer lp: dfA007host.lck",
                             "c-File without d-File removed for printer lp: cfA008host",
                             "WARNING: cfA008host names dfA001host, a file of an earlier job, "
                             "for printer lp",
                             "d-File without c-File removed for printer lp: dfA005host",
                             "d-File without c-File removed for printer lp: dfA006host"})
        EXPECT_TRUE(log.contains(QString::fromLatin1(line))) << line << log.join(u'\n').toStdString();
    for (const char* gone : {"CFA002host", "cfA004host", "dfA004host", "dfA004host.lck",
                             "cfA006host", "cfA006host.lck", "dfA007host.lck", "cfA008host",
                             "dfA005host", "dfA006host"})
        EXPECT_FALSE(has(gone)) << gone;
    // A data file named by two control files stays with the one that came first; a link is
    // neither read nor removed.
    for (const char* kept : {"dfA001host", "cfA011host"})
        EXPECT_TRUE(has(kept)) << kept;
    EXPECT_FALSE(log.contains(QStringLiteral("found cfA011host")));
    EXPECT_TRUE(server->housekeepingTimer().isActive());

    // A second scan adds nothing twice and leaves the listed jobs' files alone.
    server->recoverSpooledJobs();
    EXPECT_EQ(server->pendingJobs().count(), 4);
    EXPECT_TRUE(has("cfA001host"));
}

TEST_F(Recovery, EveryJobTheLiveServerTookReturnsAfterARestart)
{
    startServer();
    auto send = [&](const QByteArray& cf, const QByteArray& control,
                    const QList<QByteArray>& files) {
        return client([&] {
            LoopbackClient c;
            c.connectTo(port);
            c.send("\x02lp\n");
            QByteArray acks = c.read(1);
            for (qsizetype i = 0; i <= files.size(); ++i) {
                const QByteArray name = i == 0 ? cf : files[i - 1];
                const QByteArray content = i == 0 ? control : "data of " + name;
                c.send((i == 0 ? "\x02" : "\x03") + QByteArray::number(content.size()) + ' ' +
                       name + '\n');
                acks += c.read(1);
                c.send(content + '\0');
                acks += c.read(1);
            }
            c.close();
            return acks;
        });
    };
    EXPECT_EQ(send("cfB002alpha", "Pa\nldfB002alpha\n", {"dfB002alpha"}), QByteArray(5, '\0'));
    EXPECT_EQ(send("job004ctl", "Pb\nfjob004dat\n", {"job004dat"}), QByteArray(5, '\0'));
    EXPECT_EQ(send("cfA003alpha", "Pc\nNone\nldfA003beta\n", {"dfA003beta"}),
              QByteArray(5, '\0'));
    EXPECT_EQ(send("cfA005h", "Pd\nNa\nldfA005h\nldfA005h\nNb\ntdfB005h\n",
                   {"dfA005h", "dfB005h"}),
              QByteArray(7, '\0'));
    // A data file may not take a control file's name.
    EXPECT_EQ(send("cfA006h", "Pe\nlcfA007h\n", {"cfA007h"}).left(4), QByteArray("\0\0\0\1", 4));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Invalid data file name cfA007h for lp.")));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 4; }));
    const QStringList before = server->pendingJobs().displayStrings();

    server.reset();
    startServer();
    EXPECT_EQ(server->pendingJobs().displayStrings(), before);
    for (const PendingJobList::Entry& e : server->pendingJobs().snapshot()) {
        if (e.job->user == QStringLiteral("d")) {
            EXPECT_EQ(e.job->printLines.size(), 3);
            EXPECT_EQ(e.job->size, quint64(2 * sizeof("data of dfA005h") - 2));
            EXPECT_EQ(e.job->title, QStringLiteral("a, b"));
        }
    }
    for (const char* kept : {"cfB002alpha", "dfB002alpha", "job004ctl", "job004dat",
                             "cfA003alpha", "dfA003beta", "dfA005h", "dfB005h"})
        EXPECT_TRUE(has(kept)) << kept;
    EXPECT_FALSE(server->log().contains(QStringLiteral("removed")));
}

TEST_F(Recovery, QueueFoldersThatAreNotSafelyOursAreRefused)
{
    // Writable by others: neither scanned nor written into.
    put("cfA001host", "Palice\nldfA001host\n");
    put("dfA001host", "one");
    ASSERT_TRUE(QFile::setPermissions(queueDir(), QFileDevice::Permissions(0x7777)));
    // A symbolic link as the folder of another queue.
    const QString target = dir.path() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_TRUE(QFile::link(target, queueDir("lp2")));
    Settings s = defaults();
    s.printers << QStringLiteral("-lp2 /bin/true");
    startServer(s);
    EXPECT_TRUE(server->pendingJobs().isEmpty());
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Queue folder ") + queueDir() +
                       QStringLiteral(" is writable by others; its jobs are left alone.")));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Queue folder ") + queueDir("lp2") +
                       QStringLiteral(" is a symbolic link; its jobs are left alone.")));
    EXPECT_TRUE(has("cfA001host"));

    for (const char* queue : {"lp", "lp2"}) {
        const QByteArray acks = client([&] {
            return sendJob(port, queue, "cfA002host", "Pbob\nldfA002host\n", "dfA002host", "x");
        });
        EXPECT_EQ(acks.left(2), QByteArray("\0\1", 2)) << queue;
    }
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Queue folder ") + queueDir("lp2") +
                       QStringLiteral(" is a symbolic link for lp2.")));
    EXPECT_TRUE(QDir(target).isEmpty());
    EXPECT_FALSE(has("cfA002host"));

    // A folder the server makes is its own alone.
    Settings fresh = defaults();
    fresh.printers = {QStringLiteral("-new /bin/true")};
    server.reset();
    startServer(fresh);
    EXPECT_EQ(client([&] {
                  return sendJob(port, "new", "cfA003host", "Pc\nldfA003host\n", "dfA003host", "y");
              }),
              QByteArray(5, '\0'));
    EXPECT_EQ(QFileInfo(queueDir("new")).permissions() & QFileDevice::Permissions(0x0777),
              QFileDevice::Permissions(0x0700));

    // A spool folder others can write makes every queue folder in it unsafe, its own too.
    const QString spool = dir.path() + QStringLiteral("/spool");
    ASSERT_TRUE(QFile::setPermissions(spool, QFileDevice::Permissions(0x7777)));
    server->recoverSpooledJobs();
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Queue folder ") + queueDir("new") +
                       QStringLiteral(" is in a spool folder that others can write; its jobs "
                                      "are left alone.")));
    EXPECT_EQ(client([&] {
                  return sendJob(port, "new", "cfA004host", "Pc\nldfA004host\n", "dfA004host", "z");
              }).left(2),
              QByteArray("\0\1", 2));
    EXPECT_FALSE(QFile::exists(queueDir("new") + QStringLiteral("/cfA004host")));
    ASSERT_TRUE(QFile::setPermissions(spool, QFileDevice::Permissions(0x7700)));
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
    EXPECT_FALSE(has("cfA050host.lck")); // gone before its answer
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
