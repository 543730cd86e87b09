// What a hostile or broken client can hold: counts that cannot be files, flagged queue
// names, half-closed requests, files cut off by a reset or the timeout, sessions kept alive
// by trickling, and refused peers that never go away.

#include "serverfixture.h"

#include "net/socketdrainer.h"
#include "platform/clock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QThread>

#include <sys/socket.h>

namespace {

// The acknowledgement of each line, sent one after the other on one connection.
QByteArray acksOf(quint16 port, const QList<QByteArray>& lines)
{
    LoopbackClient c;
    c.connectTo(port);
    QByteArray acks;
    for (const QByteArray& line : lines) {
        c.send(line);
        acks += c.read(1, 3000);
    }
    return acks;
}

// A control file and the start of a data file of unknown length; the connection stays
// open for the caller to end.
bool startStreamJob(LoopbackClient& c, quint16 port, const QByteArray& number)
{
    const QByteArray control = "Pcut\nldfA" + number + "h\n";
    c.connectTo(port);
    QByteArray acks;
    c.send("\x02lp\n");
    acks += c.read(1);
    c.send("\x02" + QByteArray::number(control.size()) + " cfA" + number + "h\n");
    acks += c.read(1);
    c.send(control + QByteArray(1, '\0'));
    acks += c.read(1);
    c.send("\x03"
           "0 dfA" +
           number + "h\n");
    acks += c.read(1);
    c.send(QByteArray(5000, 'x'));
    return acks == QByteArray(4, '\0');
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

class ResourceLimits : public ServerFixture
{
protected:
    void TearDown() override
    {
        Clock::setForTesting({});
        ServerFixture::TearDown();
    }
};

TEST_F(ResourceLimits, ImpossibleCountsAndFlaggedQueueNamesAreRefused)
{
    startServer();
    const QString invalid = QStringLiteral("ERROR: Invalid byte count in file command for lp.");
    // Sub-commands 02 and 03, the largest count and the first one refused.
    for (const QByteArray& file : {QByteArray("\x02"
                                              "9223372036854775807 cfA001h\n"),
                                   QByteArray("\x03"
                                              "9223372036854775807 dfA001h\n"),
                                   QByteArray("\x03"
                                              "4611686018427387905 dfA001h\n"),
                                   QByteArray("\x03"
                                              "99999999999999999999 dfA001h\n")}) {
        EXPECT_EQ(client([&] { return acksOf(port, {"\x02lp\n", file}); }), QByteArray("\0\1", 2));
    }
    EXPECT_TRUE(logHas(invalid));
    EXPECT_EQ(server->log().lines().count(invalid), 4);

    // A flag is never part of a name: not for receiving, nor for a queue report.
    EXPECT_EQ(client([&] { return acksOf(port, {"\x02|nospool\n"}); }), QByteArray("\1"));
    EXPECT_EQ(client([&] { return acksOf(port, {"\x02-lp\n"}); }), QByteArray("\1"));
    EXPECT_EQ(client([&] { return acksOf(port, {"\x01-|nospool\n"}); }), QByteArray("\1"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Receive Job for |nospool - no such printer.")));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Receive Job for -lp - no such printer.")));
    const QByteArray flagged = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x03|nospool\n");
        return c.readAll(3000);
    });
    EXPECT_EQ(flagged, QByteArray("no such printer: |nospool\n"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: List |nospool - no such printer.")));
    EXPECT_FALSE(QDir(dir.path() + QStringLiteral("/spool/|nospool")).exists());

    // Still answering at once: no connection is left spinning on the event loop.
    EXPECT_TRUE(client([&] { return queueState(port); }).startsWith("short queue for printer lp"));
}

TEST_F(ResourceLimits, HalfClosedQueueRequestsGetTheWholeAnswer)
{
    startServer();
    for (int i = 1; i <= 3; ++i) {
        const QByteArray n = QByteArray::number(100 + i);
        ASSERT_EQ(client([&] {
                      return sendJob(port, "lp", "cfA" + n + "h", "Phalf\nldfA" + n + "h\n",
                                     "dfA" + n + "h", "data");
                  }),
                  QByteArray(5, '\0'));
    }
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == 3; }));
    for (const QByteArray& request : {QByteArray("\x03lp\n"), QByteArray("\x04lp\n")}) {
        auto ask = [&](bool halfClose) {
            return client([&] {
                LoopbackClient c;
                c.connectTo(port);
                c.send(request);
                if (halfClose)
                    c.shutdownWrite();
                return c.readAll(5000);
            });
        };
        const QByteArray whole = ask(false);
        EXPECT_EQ(whole.count("half"), 3) << whole.toStdString();
        EXPECT_EQ(ask(true), whole);
    }
}

TEST_F(ResourceLimits, UnknownLengthFileCutOffByResetOrTimeoutIsNoJob)
{
    startServer();
    qint64 offset = 0;
    Clock::setForTesting([&] { return QDateTime::currentMSecsSinceEpoch() + offset; });
    const QString cutOff =
        QStringLiteral("ERROR: File ") + queueDir() + QStringLiteral("/dfA%1h for lp cut off.");

    LoopbackClient reset;
    ASSERT_TRUE(client([&] { return startStreamJob(reset, port, "401"); }));
    ASSERT_TRUE(waitUntil(
        [&] { return QFileInfo(queueDir() + QStringLiteral("/dfA401h")).size() == 5000; }));
    reset.reset();
    EXPECT_TRUE(logHas(cutOff.arg(401)));

    LoopbackClient silent;
    ASSERT_TRUE(client([&] { return startStreamJob(silent, port, "402"); }));
    ASSERT_TRUE(waitUntil(
        [&] { return QFileInfo(queueDir() + QStringLiteral("/dfA402h")).size() == 5000; }));
    offset = 61 * 1000;
    server->onHousekeepingTick();
    EXPECT_TRUE(logHas(QStringLiteral("localhost 127.0.0.1 Timeout - closed.")));
    EXPECT_TRUE(logHas(cutOff.arg(402)));

    // Neither became a job, and neither waits for the next reload: each data file goes
    // with its lock when its connection ends.
    spinFor(100);
    EXPECT_TRUE(server->pendingJobs().isEmpty());
    for (const char* name : {"/dfA401h", "/dfA402h", "/dfA401h.lck", "/dfA402h.lck"})
        EXPECT_TRUE(waitUntil([&] { return !QFile::exists(queueDir() + QLatin1String(name)); }))
            << name;
}

TEST_F(ResourceLimits, TricklingClientsLoseTheirSlotsWithinTheTimeout)
{
    Settings s = defaults();
    s.maxConn = 10;
    s.port = QString::number(freePort());
    startServer(s);
    qint64 offset = 0;
    Clock::setForTesting([&] { return QDateTime::currentMSecsSinceEpoch() + offset; });
    // The connection is never silent, but it gets nowhere: each sends every 15 seconds a
    // complete (unknown) sub-command, a byte of a line that never ends or an abort line;
    // then, in a second round, 16 KB of blank lines, which finish no command either.
    const QList<QList<QByteArray>> rounds = {
        {QByteArray("\x09\n"), QByteArray("x"), QByteArray("\x01\n")},
        {QByteArray(16 * 1024, '\n')}};
    for (qsizetype round = 0; round < rounds.size(); ++round) {
        std::vector<std::unique_ptr<LoopbackClient>> tricklers;
        for (int i = 0; i < 10; ++i) {
            tricklers.push_back(std::make_unique<LoopbackClient>());
            ASSERT_TRUE(tricklers.back()->connectTo(port));
            tricklers.back()->send("\x02lp\n");
        }
        ASSERT_TRUE(waitUntil([&] {
            return server->log().lines().count(
                       QStringLiteral("Connection limit reached - throttled")) == round + 1;
        }));
        // A good client waits in line meanwhile.
        const QByteArray number = "50" + QByteArray::number(round);
        auto good = onThread([&] {
            return sendJob(port, "lp", "cfA" + number + "h", "Pgood\nldfA" + number + "h\n",
                           "dfA" + number + "h", "data");
        });
        ASSERT_TRUE(waitUntil([&] { return server->waitingClients() == 1; }));
        const qint64 start = offset;
        qint64 admittedAfterMs = -1;
        for (int step = 1; step <= 8 && admittedAfterMs < 0; ++step) {
            offset = start + step * 15000;
            for (size_t i = 0; i < tricklers.size(); ++i)
                tricklers[i]->send(rounds[round][qsizetype(i) % rounds[round].size()]);
            spinFor(50);
            server->onHousekeepingTick();
            if (waitUntil([&] { return server->waitingClients() == 0; }, 300))
                admittedAfterMs = offset - start;
        }
        // Not before the timeout, and not much later.
        EXPECT_GE(admittedAfterMs, 60000) << "round " << round;
        EXPECT_LE(admittedAfterMs, 75000) << "round " << round;
        EXPECT_EQ(awaitResult(good, 20000), QByteArray(5, '\0')) << "round " << round;
    }
}

TEST_F(ResourceLimits, RefusedPeersHoldOnlyAFewDescriptors)
{
    startServer();
    const int before = openDescriptors();
    // Peers that are refused and then neither read nor close.
    const int peers = 40;
    std::vector<std::unique_ptr<LoopbackClient>> refused;
    for (int i = 0; i < peers; ++i) {
        refused.push_back(std::make_unique<LoopbackClient>());
        ASSERT_TRUE(refused.back()->connectTo(port, "127.0.0.2"));
    }
    ASSERT_TRUE(waitUntil([&] {
        return server->log().lines().count(QStringLiteral("Remote 127.0.0.2 no permission.")) ==
               peers;
    }));
    spinFor(50);
    const int capacity = SocketDrainer::capacity(SocketDrainer::Pool::Refused);
    EXPECT_LE(SocketDrainer::liveCount(SocketDrainer::Pool::Refused), capacity);
    // The clients' own descriptors are in this process too.
    EXPECT_LE(openDescriptors() - before - peers, capacity + 2);
    // Allowed clients are served meanwhile, and the rest is released within seconds.
    EXPECT_TRUE(client([&] { return queueState(port); }).startsWith("short queue for printer lp"));
    EXPECT_TRUE(waitUntil(
        [] { return SocketDrainer::liveCount(SocketDrainer::Pool::Refused) == 0; }, 8000));
}

TEST_F(ResourceLimits, BrokenSettingsFileIsReportedAndDefaultsApply)
{
    const QString ini = dir.path() + QStringLiteral("/lpd.ini");
    QByteArray noise;
    for (int i = 0; i < 4096; ++i)
        noise.append(char((i * 7919) % 251));
    struct Case
    {
        const char* what;
        std::function<bool()> make;
    };
    const QList<Case> cases = {
        {"it holds no settings", [&] { return writeFile(ini, noise); }},
        {"it is a folder", [&] { return QFile::remove(ini) && QDir().mkdir(ini); }},
    };
    for (const Case& k : cases) {
        ASSERT_TRUE(k.make()) << k.what;
        LpdServer broken(ini, nullptr, 0);
        QStringList reported;
        QObject::connect(&broken, &LpdServer::settingsFileProblem,
                         [&](const QString& text) { reported << text; });
        broken.loadSettings();
        const QString line = QStringLiteral("ERROR: Cannot use settings file ") + ini +
                             QStringLiteral(": ") + QLatin1String(k.what) +
                             QStringLiteral(" - using defaults.");
        EXPECT_TRUE(broken.log().contains(line)) << broken.log().lines().join(u'\n').toStdString();
        EXPECT_EQ(reported, QStringList{line});
        EXPECT_EQ(broken.settings(), Settings());
    }
}

TEST_F(ResourceLimits, ValuesTheServerCannotUseAreReplacedAtStartWithAWarning)
{
    const QString ini = dir.path() + QStringLiteral("/lpd.ini");
    const QString prefix = QStringLiteral("WARNING: Settings file ") + ini + QStringLiteral(": ");
    struct Case
    {
        QByteArray text;
        QStringList warnings;
    };
    const QList<Case> cases = {
        {"PORT\r\n0\r\n\r\nMAXCONN\r\n0\r\n\r\nTIMEOUT\r\n-3\r\n\r\nMAXPERHOST\r\n0\r\n",
         {prefix + QStringLiteral("PORT 0 would be a port the kernel picks - using 515"),
          prefix + QStringLiteral("TIMEOUT -3 is below 1 - using 1"),
          prefix + QStringLiteral("MAXCONN 0 is below 1 - using 1"),
          prefix + QStringLiteral("MAXPERHOST 0 is below 1 - using 1")}},
        {"",
         {QStringLiteral("WARNING: Settings file ") + ini +
          QStringLiteral(" is empty - using defaults.")}},
        // One stray byte of an older editor: the file still reads, and the log says where.
        {"SPOOLDIR\r\ndr\xfc"
         "cker\r\n",
         {prefix + QStringLiteral("byte 12 is not UTF-8: read as Latin-1")}},
    };
    for (const Case& k : cases) {
        ASSERT_TRUE(writeFile(ini, k.text));
        LpdServer server(ini, nullptr, 0);
        server.loadSettings();
        const QStringList lines = server.log().lines();
        QStringList warnings;
        for (const QString& line : lines) {
            if (line.startsWith(QStringLiteral("WARNING: ")))
                warnings << line;
        }
        EXPECT_EQ(warnings, k.warnings) << lines.join(u'\n').toStdString();
        EXPECT_TRUE(unusableSettings(server.settings()).isEmpty());
    }
    // A file named on purpose that is not there is no first start.
    ASSERT_TRUE(QFile::remove(ini));
    qputenv("SPOOLMERE_CONFIG", ini.toLocal8Bit());
    LpdServer server(ini, nullptr, 0);
    server.loadSettings();
    qunsetenv("SPOOLMERE_CONFIG");
    EXPECT_TRUE(server.log().contains(QStringLiteral("WARNING: Settings file ") + ini +
                                      QStringLiteral(" (SPOOLMERE_CONFIG) does not exist - "
                                                     "using defaults.")));
}

TEST_F(ResourceLimits, SlowReaderOfALargeListingGetsAllOfItWhileOthersCrowdIn)
{
    // 1500 waiting jobs make a listing of about 120 KB. One client reads it slowly through a
    // small receive buffer while 100 others ask for it and read nothing: they fill the pool
    // of answered connections, and none of them may cost the reader its answer.
    const int jobs = 1500;
    ASSERT_TRUE(QDir().mkpath(queueDir()));
    for (int i = 0; i < jobs; ++i) {
        const QByteArray id = QByteArray::number(i % 1000).rightJustified(3, '0') + "h" +
                              QByteArray::number(i / 1000);
        ASSERT_TRUE(writeFile(queueDir() + QStringLiteral("/cfA") + QString::fromLatin1(id),
                              "Pslow\nJa title long enough to fill its column\nldfA" + id + "\n"));
        ASSERT_TRUE(writeFile(queueDir() + QStringLiteral("/dfA") + QString::fromLatin1(id), "x"));
    }
    Settings s = defaults();
    s.maxConn = 200;
    startServer(s);
    ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == jobs; }, 20000));

    const QByteArray listing = client([&] {
        LoopbackClient reader;
        reader.connectTo(port);
        const int small = 4096;
        ::setsockopt(reader.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        reader.send("\x03lp\n");
        QByteArray got = reader.read(100);
        std::vector<std::unique_ptr<LoopbackClient>> others;
        for (int i = 0; i < 100; ++i) {
            others.push_back(std::make_unique<LoopbackClient>());
            others.back()->connectTo(port);
            others.back()->send("\x03lp\n");
            others.back()->read(1); // answering has begun
        }
        for (;;) {
            const QByteArray part = reader.read(1024, 10000);
            got += part;
            if (part.size() < 1024)
                break;
            QThread::usleep(500);
        }
        return got;
    });
    const QList<QByteArray> lines = listing.split('\n');
    EXPECT_EQ(lines.count() - 3, jobs) << listing.right(200).constData();
    EXPECT_TRUE(listing.endsWith(" bytes\n")) << listing.right(200).constData();
}

TEST_F(ResourceLimits, OneHostReconnectingInALoopKeepsAnotherOutNoLongerThanTheTimeout)
{
    Settings s = defaults(); // MAXCONN 10, MAXPERHOST 3
    startServer(s);
    qint64 offset = 0;
    Clock::setForTesting([&] { return QDateTime::currentMSecsSinceEpoch() + offset; });
    // Ten connections of one host hold every slot with a header and then nothing; twenty
    // more of its reconnections already wait in line before the other host's client.
    std::vector<std::unique_ptr<LoopbackClient>> crowd;
    for (int i = 0; i < 30; ++i) {
        crowd.push_back(std::make_unique<LoopbackClient>());
        ASSERT_TRUE(crowd.back()->connectTo(port, "127.0.0.1"));
        crowd.back()->send("\x02lp\n");
    }
    ASSERT_TRUE(waitUntil([&] { return server->waitingClients() == 20; }));
    auto probe = onThread([this] { return queueState(port, 15000, "127.0.0.12"); });
    ASSERT_TRUE(waitUntil([&] { return server->waitingClients() == 21; }));
    EXPECT_EQ(server->openSessions(), 10);

    // At the timeout the holders go; the other host's client is next, not 21st.
    offset = 61 * 1000;
    server->onHousekeepingTick();
    EXPECT_TRUE(awaitResult(probe, 10000).startsWith("short queue for printer lp"));
    EXPECT_TRUE(waitUntil([&] { return server->waitingClients() == 10; }));
    Clock::setForTesting({});
}

TEST_F(ResourceLimits, AControlFileNamingAHundredThousandFilesLeavesOthersServedAndNothingBehind)
{
    startServer();
    // A mebibyte of print lines, each naming another file; one of them is sent.
    QByteArray control = "Pmallory\n";
    QList<QByteArray> names;
    for (int i = 0; i < 131000; ++i) {
        names << "d" + QByteArray::number(100000 + i);
        control += "l" + names.back() + "\n";
    }
    LoopbackClient attacker;
    auto attack = onThread([&] {
        attacker.connectTo(port);
        attacker.send("\x02lp\n");
        QByteArray acks = attacker.read(1);
        attacker.send("\x02" + QByteArray::number(control.size()) + " cfA001atk\n");
        acks += attacker.read(1);
        attacker.send(control + '\0');
        acks += attacker.read(1);
        attacker.send("\x03"
                      "4 " +
                      names[0] + "\n");
        acks += attacker.read(1);
        attacker.send(QByteArray("data") + '\0');
        acks += attacker.read(1);
        return acks;
    });
    // Another client is answered meanwhile.
    EXPECT_TRUE(
        client([&] { return queueState(port, 20000); }).startsWith("short queue for printer lp\n"));
    EXPECT_EQ(awaitResult(attack, 60000), QByteArray(5, '\0'));
    client([&] {
        attacker.close();
        return true;
    });
    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp mallory 1")); },
        20000));
    // The job holds its two files; every other name is free again, and the log says so in
    // a few lines, not one per name.
    EXPECT_TRUE(waitUntil(
        [&] {
            return !server->pendingJobs().isClaimed(queueDir() + QStringLiteral("/d100001")) &&
                   !server->pendingJobs().isClaimed(queueDir() + QStringLiteral("/d230999"));
        },
        20000));
    EXPECT_EQ(QDir(queueDir()).entryList(QDir::Files).size(), 2);
    EXPECT_TRUE(logHas(QStringLiteral("WARNING: Control file cfA001atk names more files that "
                                      "did not come with it; they are not printed.")));
    EXPECT_EQ(server->log().lines().filter(QStringLiteral("which did not come with it")).size(),
              10);
    EXPECT_EQ(client([&] {
                  return sendJob(port, "lp", "cfA002bob", "Pbob\nld100001\n", "d100001", "x");
              }),
              QByteArray(5, '\0'));
}
