// Admission by allow-list, the connection limit and re-listening, idle timeouts.

#include "serverfixture.h"

#include "platform/clock.h"

#include <QDateTime>

#include <algorithm>

#include <sys/socket.h>

class Admission : public ServerFixture
{
};

TEST_F(Admission, AllowedPeerIsListedAndOtherAddressesAreRefused)
{
    startServer();
    LoopbackClient allowed;
    ASSERT_TRUE(allowed.connectTo(port));
    ASSERT_TRUE(waitUntil([&] { return server->connections().size() == 1; }));
    EXPECT_EQ(server->connections().first(), QStringLiteral("localhost 127.0.0.1"));
    EXPECT_TRUE(logHas(QStringLiteral("Remote localhost 127.0.0.1 connected")));

    const QByteArray answer = client([&] {
        LoopbackClient c;
        c.connectTo(port, "127.0.0.2");
        return c.readAll(3000);
    });
    EXPECT_EQ(answer, QByteArray("No permission!\n"));
    EXPECT_TRUE(logHas(QStringLiteral("Remote 127.0.0.2 no permission.")));
    EXPECT_TRUE(logHas(QStringLiteral("Remote 127.0.0.2 (was) closed.")));
    EXPECT_EQ(server->connections().size(), 1);

    allowed.close();
    EXPECT_TRUE(waitUntil([&] { return server->connections().isEmpty(); }));
    // Both sessions are disposed of and the timer switches itself off.
    EXPECT_TRUE(waitUntil([&] { return server->liveSessions() == 0; }, 4000));
    EXPECT_TRUE(waitUntil([&] { return !server->housekeepingTimer().isActive(); }, 7000));
    EXPECT_EQ(server->sessionCount(), 0);
}

TEST_F(Admission, PrefixRuleAndEmptyEntries)
{
    startServer(); // HOSTS 127.0.0.1, which as a prefix also admits 127.0.0.12
    auto ask = [&](const char* from) {
        return client([&] { return queueState(port, 3000, from); });
    };
    EXPECT_TRUE(ask("127.0.0.12").startsWith("short queue for printer lp\n"));
    EXPECT_EQ(ask("127.0.0.2"), QByteArray("No permission!\n"));
    // An empty entry admits nobody (it cannot come from lpd.ini, where it ends the section).
    {
        Settings s = server->settings();
        s.hosts = {QString()};
        server->applySettings(s);
    }
    EXPECT_EQ(ask("127.0.0.1"), QByteArray("No permission!\n"));
}

TEST_F(Admission, AtTheLimitClientsWaitInLineAndAnotherHostGoesFirst)
{
    Settings s = defaults();
    s.maxConn = 2;
    s.maxPerHost = 1;
    startServer(s);
    LoopbackClient a, b;
    ASSERT_TRUE(a.connectTo(port));
    ASSERT_TRUE(b.connectTo(port));
    ASSERT_TRUE(logHas(QStringLiteral("Connection limit reached - throttled")));
    // The listener stays open: clients wait in line instead of being refused or reset.
    EXPECT_TRUE(server->isListening());
    auto ask = [&](const char* from) {
        return onThread([this, from] { return queueState(port, 15000, from); });
    };
    auto sameHost = ask("127.0.0.1");
    ASSERT_TRUE(waitUntil([&] { return server->waitingClients() == 1; }));
    // Another address (the HOSTS entry 127.0.0.1 admits 127.0.0.12 as well), behind it.
    auto otherHost = ask("127.0.0.12");
    ASSERT_TRUE(waitUntil([&] { return server->waitingClients() == 2; }));
    EXPECT_EQ(server->openSessions(), 2);

    // 127.0.0.1 holds both slots, more than its share while another host waits: the
    // freed slot goes to 127.0.0.12 although it came second.
    a.close();
    EXPECT_TRUE(awaitResult(otherHost, 10000).startsWith("short queue for printer lp"));
    b.close();
    EXPECT_TRUE(awaitResult(sameHost, 10000).startsWith("short queue for printer lp"));
    QStringList admitted;
    for (const QString& line : server->log().lines()) {
        if (line.endsWith(QStringLiteral(" connected")))
            admitted << line.section(QLatin1Char(' '), -2, -2);
    }
    EXPECT_EQ(admitted, QStringList({QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1"),
                                     QStringLiteral("127.0.0.12"), QStringLiteral("127.0.0.1")}));
    EXPECT_TRUE(server->isListening());
    EXPECT_EQ(server->log().lines().count(QStringLiteral("Connection limit reached - throttled")),
              1);
}

TEST_F(Admission, HundredsOfPeersAtOnceAreAllServed)
{
    Settings s = defaults();
    s.maxConn = 1000;
    startServer(s);
    std::vector<std::future<QByteArray>> all;
    for (int i = 0; i < 200; ++i)
        all.push_back(onThread([this] {
            LoopbackClient c;
            if (!c.connectTo(port, nullptr, 10000))
                return QByteArray("no connect");
            c.send("\x03lp\n");
            return c.readAll(15000);
        }));
    int ok = 0;
    for (auto& f : all)
        ok += awaitResult(f, 30000).startsWith("short queue") ? 1 : 0;
    EXPECT_EQ(ok, 200);
}

TEST_F(Admission, IdleSessionsAreClosedAfterTheTimeout)
{
    startServer();
    qint64 offset = 0;
    Clock::setForTesting([&] { return QDateTime::currentMSecsSinceEpoch() + offset; });
    LoopbackClient idle;
    ASSERT_TRUE(idle.connectTo(port));
    ASSERT_TRUE(waitUntil([&] { return server->connections().size() == 1; }));
    spinFor(1200); // a tick passes: still within the minute
    EXPECT_EQ(server->connections().size(), 1);
    offset = 61 * 1000;
    EXPECT_TRUE(logHas(QStringLiteral("localhost 127.0.0.1 Timeout - closed."), 7000));
    EXPECT_TRUE(idle.waitClosed(3000));
    Clock::setForTesting({});
}

TEST_F(Admission, FloodedBytesEndInCommandTooLong)
{
    startServer();
    const QByteArray answer = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send(QByteArray(1 << 20, 'x'));
        return c.read(1, 5000);
    });
    EXPECT_EQ(answer, QByteArray("\1"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Command too long.")));
}

TEST_F(Admission, PortThatDoesNotParseOrIsTakenIsReportedAndStartGoesOn)
{
    const QString ini = dir.path() + QStringLiteral("/lpd.ini");
    Settings s = defaults();
    s.port = QStringLiteral("no-such-service");
    ASSERT_TRUE(saveSettingsFile(ini, s));
    LpdServer bad(ini, nullptr, 0);
    // At start a typing error is a warning and the default port stands in for it.
    bad.loadSettings();
    EXPECT_EQ(bad.settings().port, QStringLiteral("515"));
    EXPECT_TRUE(bad.log().contains(QStringLiteral("WARNING: Settings file ") + ini +
                                   QStringLiteral(": PORT 'no-such-service' is not a port (a "
                                                  "number from 1 to 65535 or a service name) - "
                                                  "using 515")))
        << bad.log().lines().join(u'\n').toStdString();

    startServer();
    s.port = QString::number(port);
    ASSERT_TRUE(saveSettingsFile(ini, s));
    LpdServer second(ini, nullptr, 0);
    EXPECT_FALSE(second.start());
    EXPECT_TRUE(second.log().contains(QStringLiteral("WARNING: Cannot listen on [::]:") + s.port +
                                      QStringLiteral(": Address already in use - trying again "
                                                     "until it can be had")));
    // Recovery still ran: the rest of the start-up happened.
    EXPECT_TRUE(second.log().contains(QStringLiteral("Scanning for old jobs for printer lp")));
}

TEST_F(Admission, AClientThatResetsBeforeItIsTakenIsStillNamedByItsAddress)
{
    startServer();
    // Connected and reset while the server's loop is not turning: it is taken only after.
    LoopbackClient gone;
    ASSERT_TRUE(gone.connectTo(port, "127.0.0.2"));
    const linger abortive{1, 0};
    ASSERT_EQ(::setsockopt(gone.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive), 0);
    gone.close();
    EXPECT_TRUE(logHas(QStringLiteral("Remote 127.0.0.2 no permission.")))
        << server->log().lines().join(u'\n').toStdString();
    EXPECT_FALSE(server->log().contains(QStringLiteral("Remote  no permission.")));
}
