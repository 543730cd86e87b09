// Data files of unknown length (announced 0, or 2147483647 and more) end when the client
// closes; an honestly counted file cut off by a close never becomes a job.

#include "serverfixture.h"

#include <QDir>
#include <QFile>

namespace {

// Control file first, then a data file with the given count line and bytes, then close.
QByteArray streamJob(quint16 port, const QByteArray& count, const QByteArray& data,
                     const QByteArray& number)
{
    LoopbackClient c;
    c.connectTo(port);
    QByteArray acks;
    const QByteArray control = "Pstream\nldfA" + number + "h\n";
    c.send("\x02lp\n");
    acks += c.read(1);
    c.send("\x02" + QByteArray::number(control.size()) + " cfA" + number + "h\n");
    acks += c.read(1);
    c.send(control + QByteArray(1, '\0'));
    acks += c.read(1);
    c.send("\x03" + count + " dfA" + number + "h\n");
    acks += c.read(1);
    c.send(data);
    c.close();
    return acks;
}

} // namespace

class Stream : public ServerFixture
{
};

TEST_F(Stream, UnknownLengthFilesEndAtCloseAndFormAJob)
{
    startServer();
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data.append(char(i % 251 + 1)); // no zero byte: the count-0 end rule never fires
    struct Case
    {
        QByteArray count, number;
    };
    const QList<Case> cases = {
        {"0", "301"}, {"4294967295", "302"}, {"999999999999", "303"}, {"2147483647", "304"}};
    for (const Case& k : cases) {
        EXPECT_EQ(client([&] { return streamJob(port, k.count, data, k.number); }),
                  QByteArray(4, '\0'));
        const QString display = QStringLiteral("lp stream ") + QString::number(k.number.toInt());
        ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().containsDisplay(display); }))
            << k.count.toStdString();
        const QString path = queueDir() + QStringLiteral("/dfA") + QString::fromLatin1(k.number) +
                             QStringLiteral("h");
        EXPECT_EQ(readFile(path), data) << k.count.toStdString();
        EXPECT_FALSE(QFile::exists(path + QStringLiteral(".lck")));
        EXPECT_TRUE(
            logHas(QStringLiteral("Got file ") + path + QStringLiteral(" with 292 kB for lp.")));
    }
}

TEST_F(Stream, EveryByteUpToTheCloseIsKeptZerosIncluded)
{
    // 50,050 bytes with a zero every 1,001, written in pieces that each end in a zero, each
    // piece on disk before the next is sent: no zero ends the file, only the close does.
    startServer();
    QByteArray data;
    for (int i = 0; i < 50050; ++i)
        data.append(i % 1001 == 1000 ? '\0' : char('a' + i % 26));
    const QString path = queueDir() + QStringLiteral("/dfA310h");
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        const QByteArray control = "Pstream\nldfA310h\n";
        QByteArray a;
        for (const QByteArray& line :
             {QByteArray("\x02lp\n"), "\x02" + QByteArray::number(control.size()) + " cfA310h\n",
              control + '\0',
              QByteArray("\x03"
                         "0 dfA310h\n")}) {
            c.send(line);
            a += c.read(1);
        }
        for (qsizetype at = 0; at < data.size(); at += 5005) {
            c.send(data.mid(at, 5005));
            if (!waitForFileSize(path, at + 5005))
                return QByteArray("piece not written");
        }
        c.close();
        return a;
    });
    EXPECT_EQ(acks, QByteArray(4, '\0'));
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(readFile(path), data);
    EXPECT_TRUE(logHas(QStringLiteral("Got file ") + path + QStringLiteral(" with 48 kB for lp.")));
    EXPECT_FALSE(server->log().contains(QStringLiteral("ERROR: Command too long.")));
}

TEST_F(Stream, AllAnnouncedBytesThenACloseWithoutTheZeroIsComplete)
{
    startServer();
    client([&] { return streamJob(port, "5", "12345", "330"); });
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 1; }));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA330h")), QByteArray("12345"));
}

TEST_F(Stream, HonestCountCutOffByACloseIsNeverAJob)
{
    startServer();
    client([&] { return streamJob(port, "100", QByteArray(50, 'x'), "320"); });
    ASSERT_TRUE(logHas(QStringLiteral("Remote localhost 127.0.0.1 (was) closed.")));
    spinFor(200);
    EXPECT_TRUE(server->pendingJobs().isEmpty());
    // The partial data file goes with its lock, and the lone control file too (through the
    // spool worker, a moment after the close): nothing waits for the next reload.
    // So does a control file announced with a count of 0 and abandoned: the client never
    // sends its terminator.
    EXPECT_EQ(client([&] {
                  LoopbackClient c;
                  c.connectTo(port);
                  c.send("\x02lp\n");
                  QByteArray a = c.read(1);
                  c.send("\x02"
                         "0 cfA321h\n");
                  a += c.read(1);
                  c.close();
                  return a;
              }),
              QByteArray(2, '\0'));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: File ") + queueDir() +
                       QStringLiteral("/cfA321h for lp cut off.")));
    for (const char* name : {"/dfA320h", "/dfA320h.lck", "/cfA320h", "/cfA321h", "/cfA321h.lck"})
        EXPECT_TRUE(waitUntil([&] { return !QFile::exists(queueDir() + QLatin1String(name)); }))
            << name;
    EXPECT_TRUE(server->pendingJobs().isEmpty());
}

TEST_F(Stream, WholeJobInOneWriteEndedAtOnceIsStillAJob)
{
    // Sent without waiting for any answer, and the sending side shut at once: the end of
    // the stream can arrive while the data file is still being made ready, and the job
    // must come out the same, an empty data file included.
    startServer();
    struct Case
    {
        QByteArray data, number;
    };
    for (const Case& k : {Case{"", "311"}, Case{"streamed", "312"}}) {
        const QByteArray control = "Ponewrite\nldfA" + k.number + "h\n";
        const QByteArray stream = "\x02lp\n\x02" + QByteArray::number(control.size()) + " cfA" +
                                  k.number + "h\n" + control + QByteArray(1, '\0') + "\x03" +
                                  "0 dfA" + k.number + "h\n" + k.data;
        const QByteArray acks = client([&] {
            LoopbackClient c;
            c.connectTo(port);
            c.send(stream);
            c.shutdownWrite();
            return c.readAll();
        });
        EXPECT_EQ(acks, QByteArray(4, '\0')) << k.number.toStdString();
        const QString display = QStringLiteral("lp onewrite ") + QString::fromLatin1(k.number);
        ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().containsDisplay(display); }))
            << k.number.toStdString();
        const QString data = queueDir() + QStringLiteral("/dfA") + QString::fromLatin1(k.number) +
                             QStringLiteral("h");
        EXPECT_EQ(readFile(data), k.data);
        EXPECT_TRUE(waitUntil([&] {
            return QDir(queueDir())
                .entryList(
                    {QStringLiteral("*") + QString::fromLatin1(k.number) + QStringLiteral("h.lck")},
                    QDir::Files)
                .isEmpty();
        }));
    }
}
