// Receiving jobs through real sockets: acknowledgements, stored files, log lines, the
// hand-over at close, and the refusals.

#include "serverfixture.h"

#include "spool/spooljob.h"

#include <QFile>
#include <QThread>

namespace {

QByteArray allBytes()
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b;
}

const QByteArray Control = "Hclient\nPalice\nJreport.txt\nldfA123client\nUdfA123client\n";

} // namespace

class Receive : public ServerFixture
{
};

TEST_F(Receive, CompleteJobIsStoredByteExactAndListedAtClose)
{
    startServer();
    const QByteArray data = allBytes().repeated(40); // 10240 bytes: told in kB
    const QByteArray acks =
        client([&] { return sendJob(port, "lp", "cfA123client", Control, "dfA123client", data); });
    EXPECT_EQ(acks, QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(server->pendingJobs().displayStrings(), QStringList{QStringLiteral("lp alice 123")});
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA123client")), data);
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/cfA123client")), Control);
    // The control file's lock goes through the spool worker, just after the hand-over.
    EXPECT_TRUE(waitUntil(
        [&] { return !QFile::exists(queueDir() + QStringLiteral("/cfA123client.lck")); }));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA123client.lck")));
    EXPECT_TRUE(logHas(QStringLiteral("Receive job for lp...")));
    EXPECT_TRUE(logHas(QStringLiteral("Got file ") + queueDir() +
                       QStringLiteral("/dfA123client with 10 kB for lp.")));
    EXPECT_TRUE(logHas(QStringLiteral("Got file ") + queueDir() +
                       QStringLiteral("/cfA123client with ") + QString::number(Control.size()) +
                       QStringLiteral(" B for lp.")));

    // A waiting job's name is never opened again: the second client's control file names
    // it and is refused, so is its data file, before anything is written, and the waiting
    // job keeps its content.
    EXPECT_EQ(client([&] {
                  return sendJob(port, "LP", "cfA123other", Control, "dfA123client", "other");
              }).left(4),
              QByteArray("\0\0\1\1", 4));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Control file cfA123other names dfA123client, a "
                                      "file of another job; refused for LP.")));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: File name dfA123client in use for LP.")));
    // The second connection's close, not the first's.
    EXPECT_TRUE(waitUntil([&] {
        return server->log().lines().count(
                   QStringLiteral("Remote localhost 127.0.0.1 (was) closed.")) == 2;
    }));
    EXPECT_EQ(server->pendingJobs().count(), 1);
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA123client")), data);
    // The lone control file goes through the spool worker, just after the close.
    EXPECT_TRUE(
        waitUntil([&] { return !QFile::exists(queueDir() + QStringLiteral("/cfA123other")); }));
}

TEST_F(Receive, QueueNamesIgnoreCaseButLandInTheDefinitionsFolder)
{
    startServer();
    client([&] { return sendJob(port, "LP", "cfA001h", "Pbob\nldfA001h\n", "dfA001h", "x"); });
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(server->pendingJobs().displayStrings(), QStringList{QStringLiteral("LP bob 1")});
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA001h")), QByteArray("x"));
}

TEST_F(Receive, EndRuleClosingZeroAloneAndMissingZero)
{
    startServer();
    // The closing zero in a chunk of its own: the same file, logged with its own size.
    QByteArray first;
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        QByteArray a;
        c.send("\x02lp\n");
        a += c.read(1);
        c.send("\x03"
               "1000 dfA200h\n");
        a += c.read(1);
        c.send(QByteArray(1000, 'a'));
        QThread::msleep(100);
        c.send(QByteArray(1, '\0'));
        a += c.read(1);
        // Read while the connection is open: data files alone go when it closes.
        first = readFile(queueDir() + QStringLiteral("/dfA200h"));
        // A count too small: the byte after it is not the zero byte. The file is refused,
        // not kept cut short, and the rest is not read as commands: the connection ends.
        const QByteArray control = "Pcut\nldfA200h\nldfA201h\n";
        c.send("\x02" + QByteArray::number(control.size()) + " cfA201h\n");
        a += c.read(1);
        c.send(control + '\0');
        a += c.read(1);
        c.send("\x03"
               "3 dfA201h\n");
        a += c.read(1);
        c.send(QByteArray("abcd\x02") + '\0');
        a += c.read(1);
        a += c.waitClosed(3000) ? "closed" : "open";
        return a;
    });
    EXPECT_EQ(acks, QByteArray("\0\0\0\0\0\0\1closed", 13));
    EXPECT_EQ(first, QByteArray(1000, 'a'));
    EXPECT_TRUE(logHas(QStringLiteral("Got file ") + queueDir() +
                       QStringLiteral("/dfA200h with 1000 B for lp.")));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: File dfA201h not ended by a zero byte after its 3 "
                                      "bytes; job refused for lp.")));
    // The job the broken file belonged to goes whole, and so does everything else the
    // connection brought.
    for (const char* name : {"dfA200h", "dfA201h", "cfA201h", "dfA201h.lck"})
        EXPECT_TRUE(waitUntil([&] {
            return !QFile::exists(queueDir() + QLatin1Char('/') + QString::fromLatin1(name));
        })) << name;
    EXPECT_TRUE(server->pendingJobs().isEmpty());
}

TEST_F(Receive, CountDecidesWhereAFileEndsAtEveryReadBoundary)
{
    // One job of several data files whose last bytes are zeros, each sent two ways: whole
    // with its terminator in one write; and split so that the last data byte ends a read
    // (the terminator sent only once the file is on disk). Every file is its count of
    // bytes, every answer is 0, and no byte leaks into the next command.
    startServer();
    QList<QByteArray> files;
    for (int size : {1, 3, 19, 1000, 4096, 300000})
        files << QByteArray(size, '\0');
    for (int size : {2, 20, 1023, 262145})
        files << QByteArray(size - 1, 'z') + '\0';
    QByteArray control = "Pzeros\n";
    for (qsizetype i = 0; i < files.size(); ++i)
        control += "ldfA" + QByteArray::number(600 + i) + "h\n";
    QList<QByteArray> stored;
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x02lp\n");
        QByteArray a = c.read(1);
        for (qsizetype i = 0; i < files.size(); ++i) {
            const QByteArray name = "dfA" + QByteArray::number(600 + i) + "h";
            c.send("\x03" + QByteArray::number(files[i].size()) + " " + name + "\n");
            a += c.read(1);
            const QString path = queueDir() + QLatin1Char('/') + QString::fromLatin1(name);
            if (i % 2 == 0) {
                c.send(files[i] + '\0');
            } else {
                c.send(files[i]);
                if (!waitForFileSize(path, files[i].size()))
                    return QByteArray("not written");
                c.send(QByteArray(1, '\0'));
            }
            a += c.read(1);
        }
        c.send("\x02" + QByteArray::number(control.size()) + " cfA600h\n");
        a += c.read(1);
        c.send(control + '\0');
        a += c.read(1);
        for (qsizetype i = 0; i < files.size(); ++i)
            stored << readFile(queueDir() + QStringLiteral("/dfA") + QString::number(600 + i) +
                               QStringLiteral("h"));
        return a;
    });
    EXPECT_EQ(acks, QByteArray(2 + 2 * files.size() + 1, '\0'));
    ASSERT_EQ(stored.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i)
        EXPECT_EQ(stored[i], files[i]) << "file " << i << " of " << files[i].size() << " B";
    EXPECT_TRUE(logHas(QStringLiteral("Got file ") + queueDir() +
                       QStringLiteral("/dfA601h with 3 B for lp.")));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
}

TEST_F(Receive, RefusedFileCommandsAnswerOneAndLog)
{
    startServer();
    struct Case
    {
        QByteArray line;
        QString log;
    };
    const QList<Case> cases = {
        {"\x02"
         "10 cfA001h extra\n",
         QStringLiteral("ERROR: Invalid parameter count in file command for lp.")},
        {"\x02"
         "10\t\n",
         QStringLiteral("ERROR: Invalid parameter count in file command for lp.")},
        {"\x03"
         "10 ../../../tmp/evil\n",
         QStringLiteral("ERROR: Invalid file name for lp.")},
        {"\x03"
         "10 cfA:01\n",
         QStringLiteral("ERROR: Invalid file name for lp.")},
        {"\x03"
         "10 ..\n",
         QStringLiteral("ERROR: Invalid file name for lp.")},
        {"\x03"
         "-5 dfA001h\n",
         QStringLiteral("ERROR: Invalid byte count in file command for lp.")},
        {"\x03"
         "ten dfA001h\n",
         QStringLiteral("ERROR: Invalid byte count in file command for lp.")},
    };
    for (const Case& k : cases) {
        server->log().lines(); // keep going with the same server
        const QByteArray answer = client([&] {
            LoopbackClient c;
            c.connectTo(port);
            c.send("\x02lp\n");
            QByteArray a = c.read(1);
            c.send(k.line);
            a += c.read(1);
            // The connection goes on reading commands: the next line is a file command
            // (separated by a tab), not file content.
            c.send("\x03"
                   "3\tdfA009h\n");
            a += c.read(1);
            c.send(QByteArray("abc") + '\0');
            a += c.read(1);
            c.close();
            return a;
        });
        EXPECT_EQ(answer, QByteArray("\0\1\0\0", 4)) << k.line.toStdString();
        EXPECT_TRUE(logHas(k.log)) << k.log.toStdString();
    }
    EXPECT_FALSE(server->log().contains(QStringLiteral("ERROR: Cannot write file for lp.")));
    EXPECT_FALSE(QFile::exists(dir.path() + QStringLiteral("/tmp/evil")));
    EXPECT_FALSE(QFile::exists(dir.path() + QStringLiteral("/spool/tmp")));
}

TEST_F(Receive, UnknownQueuesSpoolDisabledAndUnknownCommands)
{
    startServer();
    auto oneShot = [&](const QByteArray& line) {
        return client([&] {
            LoopbackClient c;
            c.connectTo(port);
            c.send(line);
            QByteArray a = c.read(1);
            return a + (c.waitClosed(3000) ? "closed" : "open");
        });
    };
    EXPECT_EQ(oneShot("\x02nosuch\n"), QByteArray("\1closed"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Receive Job for nosuch - no such printer.")));
    EXPECT_EQ(oneShot("\x02nospool\n"), QByteArray("\1closed"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Receive Job for nospool - no such printer.")));
    EXPECT_EQ(oneShot("\x09lp\n"), QByteArray("\1closed"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Unknown command: 9")));
    EXPECT_TRUE(logHas(QStringLiteral("See RFC1179 for allowed commands in lpd protocol.")));
    EXPECT_EQ(oneShot("\x01-lp\n"), QByteArray("\0closed", 7));
    EXPECT_TRUE(logHas(QStringLiteral("Start lp successful (not implementerd).")));
    EXPECT_EQ(oneShot("\x01nosuch\n"), QByteArray("\1closed"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Start nosuch - no such printer.")));
}

TEST_F(Receive, CommandLineLimitIs1024Bytes)
{
    startServer();
    const QByteArray exact = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x02" + QByteArray(1023, 'q') + "\n");
        return c.read(1);
    });
    EXPECT_EQ(exact, QByteArray("\1")); // handled as a line: an unknown queue
    const QByteArray tooLong = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x02" + QByteArray(1024, 'q'));
        QByteArray a = c.read(1);
        return a + (c.waitClosed(3000) ? "closed" : "open");
    });
    EXPECT_EQ(tooLong, QByteArray("\1closed"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Command too long.")));
}

TEST_F(Receive, AbortDeletesWhatArrivedAndTheConnectionGoesOn)
{
    startServer();
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        QByteArray a;
        c.send("\x02lp\n");
        a += c.read(1);
        c.send("\x02"
               "5 cfA002h\n");
        a += c.read(1);
        c.send(QByteArray("Pbob\n", 5) + '\0');
        a += c.read(1);
        c.send("\x01\n");
        a += c.read(1);
        c.send("\x07\n"); // unknown sub-command: 1, and the connection stays
        a += c.read(1);
        c.send("\x02"
               "5 cfA003h\n");
        a += c.read(1);
        return a;
    });
    EXPECT_EQ(acks, QByteArray("\0\0\0\0\1\0", 6));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/cfA002h")));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/cfA002h.lck")));
}

TEST_F(Receive, ControlFileAloneIsRemovedWithItsLock)
{
    startServer();
    client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x02lp\n");
        c.read(1);
        c.send("\x02"
               "5 cfA004h\n");
        c.read(1);
        c.send(QByteArray("Pbob\n", 5) + '\0');
        return c.read(1);
    });
    EXPECT_TRUE(logHas(QStringLiteral("Remote localhost 127.0.0.1 (was) closed.")));
    // The spool worker removes them just after the close.
    EXPECT_TRUE(waitUntil([&] {
        return !QFile::exists(queueDir() + QStringLiteral("/cfA004h")) &&
               !QFile::exists(queueDir() + QStringLiteral("/cfA004h.lck"));
    }));
    EXPECT_TRUE(server->pendingJobs().isEmpty());
}
