#pragma once
// An in-process server on 127.0.0.1 with a kernel-chosen port, a temporary spool and
// lpd.ini, driven by blocking clients on helper threads while the test's thread runs the
// event loop.

#include "config/settings.h"
#include "protocol/lpdserver.h"

#include "testsupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

class ServerFixture : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    std::unique_ptr<LpdServer> server;
    quint16 port = 0;

    Settings defaults() const
    {
        Settings s;
        s.spoolDir = dir.path() + QStringLiteral("/spool");
        s.port = QString::number(freePort());
        s.hosts = {QStringLiteral("127.0.0.1")};
        // "-": received and kept, never printed, so tests see the pending list as it is.
        s.printers = {QStringLiteral("-lp /bin/true"), QStringLiteral("|nospool /bin/true")};
        return s;
    }

    void startServer(const Settings& s)
    {
        const QString ini = dir.path() + QStringLiteral("/lpd.ini");
        ASSERT_TRUE(saveSettingsFile(ini, s));
        server = std::make_unique<LpdServer>(ini, nullptr, 0);
        ASSERT_TRUE(server->start());
        port = server->listeningPort();
        ASSERT_NE(port, 0);
    }
    void startServer() { startServer(defaults()); }

    void TearDown() override
    {
        if (server) {
            // Let pending closes finish before the server goes away.
            spinFor(20);
            server.reset();
        }
    }

    QString queueDir(const char* q = "lp") const
    {
        return dir.path() + QStringLiteral("/spool/") + QString::fromLatin1(q);
    }

    bool logHas(const QString& line, int timeoutMs = 3000)
    {
        return waitUntil([&] { return server->log().contains(line); }, timeoutMs);
    }

    // Runs a blocking client on a thread while the event loop turns here.
    template <class F> auto client(F fn)
    {
        auto future = onThread(std::move(fn));
        return awaitResult(future, 20000);
    }
};

// A short queue-state request for lp, from `from` (a loopback address) when given; the whole
// answer, up to the server's close or timeoutMs.
inline QByteArray queueState(quint16 port, int timeoutMs = 5000, const char* from = nullptr)
{
    LoopbackClient c;
    c.connectTo(port, from);
    c.send("\x03lp\n");
    return c.readAll(timeoutMs);
}
