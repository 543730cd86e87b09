// The built program under a small descriptor limit, flooded by held and refused connections
// while a job waits: it stays up, keeps listening, and serves again once the flood is gone.

#include "runningserver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

TEST(Limits, DescriptorFloodLeavesTheServerAliveAndListening)
{
    RunningServer s;
    s.setLauncher(
        {QStringLiteral("prlimit"), QStringLiteral("--nofile=128"), QStringLiteral("--")});
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d"),
                         QStringLiteral("-held /bin/true")},
                        {QStringLiteral("127.0.0.1")}, "MAXCONN\r\n1000\r\n\r\n"));
    // A job that waits for ever: every housekeeping pass starts a print thread meanwhile.
    const QByteArray held = [&] {
        LoopbackClient c;
        c.connectTo(s.port());
        c.send("\x02held\n");
        const QByteArray first = c.read(1);
        return first + sendJobFiles(c, "cfA001h", "Pheld\nldfA001h\n", "dfA001h", "x");
    }();
    ASSERT_EQ(held, QByteArray(5, '\0')) << s.log().toStdString();

    std::vector<std::unique_ptr<LoopbackClient>> flood;
    for (int i = 0; i < 300; ++i) {
        flood.push_back(std::make_unique<LoopbackClient>());
        flood.back()->connectTo(s.port(), i % 2 ? "127.0.0.1" : "127.0.0.2");
    }
    EXPECT_TRUE(
        s.waitForLog(QStringLiteral("Out of file descriptors - connections dropped"), 15000))
        << s.log().toStdString();
    // Alive through at least one housekeeping pass (and its print thread) under the flood.
    EXPECT_FALSE(s.waitForExit(6000)) << s.errors().toStdString();
    flood.clear();

    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "after the flood\n"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return runCommand(QStringLiteral("rlpr"),
                              {QStringLiteral("-N"), QStringLiteral("--port=%1").arg(s.port()),
                               QStringLiteral("-H"), QStringLiteral("127.0.0.1"),
                               QStringLiteral("-P"), QStringLiteral("lp"), file})
                       .exitCode == 0;
        },
        20000));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "after the flood\n"; }, 10000))
        << s.log().toStdString();
}
