// Jobs never share, borrow or reach past their own files: names in use are refused before
// anything is opened, a control file prints only a data file that came with it, two jobs
// alike in queue, user and number are two jobs, and links planted in a queue folder are
// never written through.

#include "serverfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

class Collision : public ServerFixture
{
protected:
    QString path(const char* name) const
    {
        return queueDir() + QLatin1Char('/') + QString::fromLatin1(name);
    }
};

TEST_F(Collision, NamesInUseAreRefusedAndControlFilesPrintOnlyTheirOwnData)
{
    startServer();
    // A job still arriving holds its names.
    LoopbackClient first;
    const QByteArray firstControl = "Pfirst\nldfA300h\n";
    EXPECT_EQ(client([&] {
                  first.connectTo(port);
                  first.send("\x02lp\n");
                  QByteArray a = first.read(1);
                  first.send("\x02" + QByteArray::number(firstControl.size()) + " cfA300h\n");
                  a += first.read(1);
                  first.send(firstControl.left(5)); // the rest comes later
                  return a;
              }),
              QByteArray(2, '\0'));
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA300h", "Psecond\nldfA300h\n", "dfA300h", "2");
              }).left(2),
              QByteArray("\0\1", 2));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: File name cfA300h in use for lp.")));
    EXPECT_EQ(client([&] {
                  first.send(firstControl.mid(5) + QByteArray(1, '\0'));
                  QByteArray a = first.read(1);
                  first.send("\x03"
                             "10 dfA300h\n");
                  a += first.read(1);
                  first.send(QByteArray("first data") + '\0');
                  a += first.read(1);
                  first.close();
                  return a;
              }),
              QByteArray(3, '\0'));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(readFile(path("dfA300h")), QByteArray("first data"));

    // A control file that names another job's data file is refused before it is
    // acknowledged; one whose name check refuses its data file has none: the job is
    // dropped. The other job stays untouched, and the data files sent go.
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA304h", "Pmallory\nldfA300h\n", "dfA304h", "x");
              }),
              QByteArray("\0\0\1\0\0", 5));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Control file cfA304h names dfA300h, a file of "
                                      "another job; refused for lp.")));
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA305h", "Pmallory\nl../../etc/passwd\n", "dfA305h",
                                 "x");
              }),
              QByteArray(5, '\0'));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Control file cfA305h names no data file received "
                                      "with it; job for lp dropped.")));
    EXPECT_TRUE(logHas(QStringLiteral("WARNING: Data file dfA305h for lp named by no control "
                                      "file; removed.")));
    EXPECT_EQ(server->pendingJobs().count(), 1);
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(path("dfA305h")); }));
    EXPECT_FALSE(QFile::exists(path("dfA304h")));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(path("cfA305h")); }));
    EXPECT_FALSE(QFile::exists(path("cfA304h")));
    // A refused file takes its lock with it at once, not at the next start: here a folder
    // stands under the data file's name, which the server never removes to make room.
    ASSERT_TRUE(QDir().mkpath(path("dfA306h")));
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA306h", "Pmallory\nldfA306h\n", "dfA306h", "x");
              }).left(4),
              QByteArray("\0\0\0\1", 4));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Cannot open file for lp.")));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(path("cfA306h")); }));
    for (const char* lock : {"cfA304h.lck", "cfA306h.lck", "dfA306h.lck"})
        EXPECT_FALSE(QFile::exists(path(lock))) << lock;
    EXPECT_EQ(readFile(path("dfA300h")), QByteArray("first data"));

    // Alike in queue, user and number, from two hosts: two jobs, both listed.
    for (const char* host : {"hostA", "hostB"}) {
        const QByteArray h(host);
        EXPECT_EQ(client([&] {
                      return sendJob(port, "lp", "cfA302" + h, "Palice\nldfA302" + h + "\n",
                                     "dfA302" + h, h);
                  }),
                  QByteArray(5, '\0'));
    }
    EXPECT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 3; }));
    EXPECT_EQ(server->pendingJobs().displayStrings().count(QStringLiteral("lp alice 302")), 2);
}

TEST_F(Collision, EveryJobOfAConnectionWithSeveralIsKept)
{
    startServer();
    const auto sendFile = [](LoopbackClient& c, char subcommand, const QByteArray& name,
                             const QByteArray& content) {
        c.send(QByteArray(1, subcommand) + QByteArray::number(content.size()) + ' ' + name + '\n');
        QByteArray acks = c.read(1);
        c.send(content + QByteArray(1, '\0'));
        return acks + c.read(1);
    };
    LoopbackClient c;
    // The first job sends its control file first, the second its data file first.
    EXPECT_EQ(client([&] {
                  c.connectTo(port);
                  c.send("\x02lp\n");
                  QByteArray acks = c.read(1);
                  acks += sendFile(c, 2, "cfA320h", "Pann\nldfA320h\n");
                  acks += sendFile(c, 3, "dfA320h", "one");
                  acks += sendFile(c, 3, "dfA321h", "two");
                  acks += sendFile(c, 2, "cfA321h", "Pann\nldfA321h\n");
                  c.close();
                  return acks;
              }),
              QByteArray(9, '\0'));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 2; }));
    EXPECT_EQ(readFile(path("dfA320h")), QByteArray("one"));
    EXPECT_EQ(readFile(path("dfA321h")), QByteArray("two"));

    // Two jobs naming one data file: the second control file is refused before it is
    // acknowledged, and so is the data file sent again under that name.
    LoopbackClient d;
    EXPECT_EQ(client([&] {
                  d.connectTo(port);
                  d.send("\x02lp\n");
                  QByteArray acks = d.read(1);
                  acks += sendFile(d, 2, "cfA021h", "Pbea\nldfA000h\n");
                  acks += sendFile(d, 3, "dfA000h", "first");
                  acks += sendFile(d, 2, "cfA022h", "Pbea\nldfA000h\n");
                  acks += sendFile(d, 3, "dfA000h", "second");
                  d.close();
                  return acks;
              }).left(8),
              QByteArray("\0\0\0\0\0\0\1\1", 8));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Control file cfA022h names dfA000h, a file of "
                                      "another job; refused for lp.")));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: File name dfA000h in use for lp.")));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 3; }));
    EXPECT_EQ(readFile(path("dfA000h")), QByteArray("first"));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(path("cfA022h")); }));
}

TEST_F(Collision, LinksPlantedInAQueueFolderAreNeverFollowed)
{
    startServer();
    const QString outside = dir.path() + QStringLiteral("/outside");
    ASSERT_TRUE(writeFile(outside, "precious"));
    ASSERT_TRUE(QDir().mkpath(queueDir()));
    ASSERT_TRUE(QFile::link(outside, path("dfA310h")));
    ASSERT_TRUE(QFile::link(outside, path("cfA310h.lck")));
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA310h", "Pbob\nldfA310h\n", "dfA310h", "mine");
              }),
              QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(readFile(outside), QByteArray("precious"));
    EXPECT_FALSE(QFileInfo(path("dfA310h")).isSymLink());
    EXPECT_EQ(readFile(path("dfA310h")), QByteArray("mine"));
}

TEST_F(Collision, ANameUsedAgainOnOneConnectionNeverReplacesAnAcknowledgedFile)
{
    startServer();
    const auto sendFile = [](LoopbackClient& c, char subcommand, const QByteArray& name,
                             const QByteArray& content) {
        c.send(QByteArray(1, subcommand) + QByteArray::number(content.size()) + ' ' + name + '\n');
        QByteArray acks = c.read(1);
        if (acks != QByteArray(1, '\0'))
            return acks; // refused: nothing of the file is sent
        c.send(content + QByteArray(1, '\0'));
        return acks + c.read(1);
    };
    // The second job of the connection uses the first one's names, control file first or
    // data file first: the first job is handed over whole before its names come again, and
    // every file of the second is refused before any answer 0 for it.
    for (const char* order : {"control first", "data first"}) {
        const bool controlFirst = order[0] == 'c';
        const QByteArray n = controlFirst ? "100" : "110";
        const QByteArray cf = "cfA" + n + "h", df = "dfA" + n + "h";
        const QByteArray control = "Pann\nl" + df + "\n";
        const int before = server->pendingJobs().count();
        LoopbackClient c;
        EXPECT_EQ(client([&] {
                      c.connectTo(port);
                      c.send("\x02lp\n");
                      QByteArray acks = c.read(1);
                      acks += sendFile(c, 2, cf, control);
                      acks += sendFile(c, 3, df, "first");
                      if (controlFirst) {
                          acks += sendFile(c, 2, cf, "Pmallory\nl" + df + "\n");
                          acks += sendFile(c, 3, df, "second");
                      } else {
                          acks += sendFile(c, 3, df, "second");
                          acks += sendFile(c, 2, cf, "Pmallory\nl" + df + "\n");
                      }
                      c.close();
                      return acks;
                  }),
                  QByteArray("\0\0\0\0\0\1\1", 7))
            << order;
        EXPECT_TRUE(logHas(QStringLiteral("ERROR: File name ") + QString::fromLatin1(cf) +
                           QStringLiteral(" in use for lp.")))
            << order;
        EXPECT_TRUE(logHas(QStringLiteral("ERROR: File name ") + QString::fromLatin1(df) +
                           QStringLiteral(" in use for lp.")))
            << order;
        ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == before + 1; }));
        EXPECT_TRUE(server->pendingJobs().containsDisplay(QStringLiteral("lp ann ") +
                                                          QString::number(n.toInt())));
        EXPECT_EQ(readFile(path(df.constData())), QByteArray("first")) << order;
        EXPECT_EQ(readFile(path(cf.constData())), control) << order;
    }

    // A data file sent twice before its control file: the second copy is refused, the first
    // stays as acknowledged, and the job that follows prints it.
    LoopbackClient d;
    EXPECT_EQ(client([&] {
                  d.connectTo(port);
                  d.send("\x02lp\n");
                  QByteArray acks = d.read(1);
                  acks += sendFile(d, 3, "dfA120h", "first");
                  acks += sendFile(d, 3, "dfA120h", "second");
                  acks += sendFile(d, 2, "cfA120h", "Pbea\nldfA120h\n");
                  d.close();
                  return acks;
              }),
              QByteArray("\0\0\0\1\0\0", 6));
    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp bea 120")); }));
    EXPECT_EQ(readFile(path("dfA120h")), QByteArray("first"));
}
