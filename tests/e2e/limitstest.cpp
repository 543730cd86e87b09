// The built program under a small descriptor limit, flooded by held and refused connections
// while a job waits: it stays up, keeps listening, and serves again once the flood is gone.

#include "runningserver.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
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
    EXPECT_TRUE(
        waitUntil([&] { return rlpr(s.port(), QStringLiteral("lp"), file).exitCode == 0; }, 20000));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "after the flood\n"; }, 10000))
        << s.log().toStdString();
}

namespace {

// Process ids written one a line; true when none of them runs any more (a zombie waiting
// for a reaper counts as gone).
bool allGone(const QByteArray& pidLines)
{
    for (const QByteArray& pid : pidLines.split('\n')) {
        if (pid.trimmed().isEmpty())
            continue;
        const QByteArray stat =
            readFile(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid.trimmed())));
        if (!stat.isEmpty() && !stat.contains(") Z "))
            return false;
    }
    return true;
}

} // namespace

TEST(Limits, HangingPrintEndsAtPrintTimeoutAndWithTheServer)
{
    RunningServer s;
    const QString pids = s.dir() + QStringLiteral("/pids");
    const QString hang = s.dir() + QStringLiteral("/hang.sh");
    // A command that starts a helper of its own and never ends.
    ASSERT_TRUE(writeScript(hang, "echo $$ >> \"$(dirname \"$0\")/pids\"\n"
                                  "sleep 1000 &\n"
                                  "echo $! >> \"$(dirname \"$0\")/pids\"\n"
                                  "echo stuck at the device\n"
                                  "wait\n"));
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + hang + QStringLiteral(" %p/%d")},
                        {QStringLiteral("127.")},
                        "PRINTTIMEOUT\r\n1\r\n\r\nSTOPWAIT\r\n2\r\n\r\n"));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "never printed\n"));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0);
    ASSERT_TRUE(waitUntil([&] { return readFile(pids).count('\n') == 2; }, 15000));
    const QByteArray first = readFile(pids);

    EXPECT_TRUE(waitUntil(
        [&] {
            return s.log().contains(
                QStringLiteral(" (ended with its processes at the time limit of 1 min)"));
        },
        90000))
        << s.log().toStdString();
    EXPECT_TRUE(s.log().contains(QStringLiteral("Output of lp (") + hang +
                                 QStringLiteral("): stuck at the device")));
    EXPECT_TRUE(waitUntil([&] { return allGone(first); }, 10000));

    // The job stays: the next pass starts it again, and stopping the server ends that print
    // once it has had its time to finish (STOPWAIT).
    ASSERT_TRUE(waitUntil([&] { return readFile(pids).count('\n') == 4; }, 15000));
    s.stop();
    EXPECT_TRUE(s.waitForExit(45000));
    EXPECT_TRUE(s.log().contains(QStringLiteral(
        "Stopping: the print still ran after 2 s; ended, its job stays for the next start")));
    EXPECT_TRUE(waitUntil([&] { return allGone(readFile(pids)); }, 10000))
        << readFile(pids).constData();
    EXPECT_EQ(QDir(s.spool()).entryList({QStringLiteral("cfA*")}, QDir::Files).size(), 1);
}

TEST(Limits, HundredClientsAtOnceAtTheConnectionLimitAllGetTheirJobsIn)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const int jobs = 100; // MAXCONN is 10
    std::vector<std::unique_ptr<QProcess>> clients;
    for (int i = 0; i < jobs; ++i) {
        const QString file = s.dir() + QStringLiteral("/job%1.txt").arg(i);
        ASSERT_TRUE(writeFile(file, QByteArray("job ") + QByteArray::number(i) + '\n'));
        clients.push_back(std::make_unique<QProcess>());
        clients.back()->setProcessChannelMode(QProcess::MergedChannels);
        clients.back()->start(QStringLiteral("rlpr"), rlprArguments(s.port(), QStringLiteral("lp"))
                                                          << file);
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::all_of(clients.begin(), clients.end(),
                               [](const auto& p) { return p->state() == QProcess::NotRunning; });
        },
        120000));
    for (int i = 0; i < jobs; ++i) {
        EXPECT_TRUE(clients[i]->exitStatus() == QProcess::NormalExit && clients[i]->exitCode() == 0)
            << i << ": " << clients[i]->readAll().toStdString();
    }
    EXPECT_TRUE(s.log().contains(QStringLiteral("Connection limit reached - throttled")));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()).count('\n') == jobs; }, 60000))
        << readFile(s.outFile()).count('\n');
    for (int i = 0; i < jobs; ++i)
        EXPECT_TRUE(readFile(s.outFile()).contains("job " + QByteArray::number(i) + '\n')) << i;
}
