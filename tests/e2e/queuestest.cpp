// Queues print on their own through the built program and its print supervisor: a hung
// queue holds only itself, even across a server killed while it hung; commands start with
// descriptors 0 to 2 and the limit the server started with; what a command leaves running
// is reported and ended with the server; a regular file as a device holds the last job.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

bool sendTo(quint16 port, const QByteArray& queue, int n, const QByteArray& data)
{
    LoopbackClient c;
    if (!c.connectTo(port))
        return false;
    const QByteArray num = QByteArray::number(n).rightJustified(3, '0');
    c.send("\x02" + queue + "\n");
    QByteArray acks = c.read(1);
    acks +=
        sendJobFiles(c, "cfA" + num + "q", "Hq\nPq\nldfA" + num + "q\n", "dfA" + num + "q", data);
    return acks == QByteArray(5, '\0');
}

bool alive(const QByteArray& pidText)
{
    const int pid = pidText.trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == 0;
}

} // namespace

TEST(Queues, AHungQueueHoldsOnlyItselfAndCommandsStartClean)
{
    RunningServer s;
    const QString d = s.dir();
    const QString hang = d + QStringLiteral("/hang.sh");
    ASSERT_TRUE(writeScript(hang, "echo $$ > \"$(dirname \"$0\")/hung.pid\"\nexec sleep 1000\n"));
    const QString daemon = d + QStringLiteral("/daemon.sh");
    ASSERT_TRUE(
        writeScript(daemon, "setsid sleep 100000 &\necho $! > \"$(dirname \"$0\")/daemon.pid\"\n"));
    const QString device = d + QStringLiteral("/device.bin");
    ASSERT_TRUE(writeFile(device, {}));
    // The command's own view: its open descriptors and its limit.
    const QString probe = QStringLiteral("/bin/sh -c \"ls /proc/self/fd > ") + d +
                          QStringLiteral("/fds.txt; ulimit -n > ") + d +
                          QStringLiteral("/limit.txt\"");
    s.setLauncher({QStringLiteral("prlimit"), QStringLiteral("--nofile=1000:4096")});
    ASSERT_TRUE(s.start({QStringLiteral("hung ") + hang,
                         QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d"),
                         QStringLiteral("probe ") + probe, QStringLiteral("dmn ") + daemon,
                         QStringLiteral("dev |local port ") + device},
                        {QStringLiteral("127.")},
                        "PRINTTIMEOUT\r\n1\r\n\r\nSTOPWAIT\r\n1\r\n\r\n"));
    ASSERT_TRUE(sendTo(s.port(), "hung", 1, "never printed"));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(d + QStringLiteral("/hung.pid")); }));
    for (int n = 2; n <= 4; ++n)
        ASSERT_TRUE(sendTo(s.port(), "lp", n, "job " + QByteArray::number(n) + "\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "job 2\njob 3\njob 4\n"; }))
        << s.log().toStdString();

    ASSERT_TRUE(sendTo(s.port(), "probe", 5, "x"));
    ASSERT_TRUE(waitUntil([&] { return !readFile(d + QStringLiteral("/limit.txt")).isEmpty(); }));
    // 3 is the folder ls reads.
    EXPECT_EQ(readFile(d + QStringLiteral("/fds.txt")), QByteArray("0\n1\n2\n3\n"));
    EXPECT_EQ(readFile(d + QStringLiteral("/limit.txt")), QByteArray("1000\n"));

    ASSERT_TRUE(sendTo(s.port(), "dmn", 6, "x"));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Print of cfA006q left 1 process running"), 15000))
        << s.log().toStdString();
    const QByteArray daemonPid = readFile(d + QStringLiteral("/daemon.pid"));
    EXPECT_TRUE(alive(daemonPid));

    // The device file holds the last job alone.
    ASSERT_TRUE(sendTo(s.port(), "dev", 7, "a longer first job\n"));
    ASSERT_TRUE(waitUntil([&] { return readFile(device) == "a longer first job\n"; }));
    ASSERT_TRUE(sendTo(s.port(), "dev", 8, "short\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(device) == "short\n"; }));

    // Killed while the hung print runs: the next server prints the other queue at once and
    // waits for the hung queue's record, and the supervisor ends the hung print at its limit
    // of a minute although no server is left to do it.
    const QByteArray hungPid = readFile(d + QStringLiteral("/hung.pid"));
    s.kill();
    // Its supervisor ends what finished prints left running once its server is gone.
    EXPECT_TRUE(waitUntil([&] { return !alive(daemonPid); }, 10000));
    ASSERT_TRUE(s.restart());
    ASSERT_TRUE(sendTo(s.port(), "lp", 9, "job 9\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()).endsWith("job 9\n"); }))
        << s.log().toStdString();
    EXPECT_TRUE(alive(hungPid));
    // One line for each attempt, which says why and when the next is.
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("Waiting: cfA001q for hung (its queue's print "
                                                 "record is held by an earlier server's print); "
                                                 "next attempt at ")));
    EXPECT_TRUE(waitUntil([&] { return !alive(hungPid); }, 75000));
    EXPECT_TRUE(s.waitForLog(
        QStringLiteral("Print of cfA001q/0 ended after the server stopped: failed (signal 15); "
                       "printing it again"),
        15000))
        << s.log().toStdString();
    s.stop();
}

// Something else where a queue's print record belongs, or garbage in it: the job waits, and
// the log names the file and why on every attempt, in one line; the queue report marks the
// job. Mended, and the server reloaded, it prints.
TEST(Queues, ABadPrintRecordIsNamedAndItsJobWaits)
{
    RunningServer s;
    ASSERT_TRUE(QDir().mkpath(s.spool()));
    const QString record = s.spool() + QStringLiteral("/.:printing");
    ASSERT_EQ(::mkfifo(QFile::encodeName(record).constData(), 0600), 0);
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    ASSERT_TRUE(sendTo(s.port(), "lp", 1, "x"));
    const QString waiting = QStringLiteral("Waiting: cfA001q for lp (print record ") + record;
    EXPECT_TRUE(
        s.waitForLogStart(waiting + QStringLiteral(" is not a regular file); next attempt at ")))
        << s.log().toStdString();
    LoopbackClient list;
    ASSERT_TRUE(list.connectTo(s.port()));
    list.send("\x03lp\n");
    EXPECT_TRUE(list.readAll().contains(" retry ")) << s.log().toStdString();

    // An entry cut off: it may have been the end of a print that finished.
    ASSERT_TRUE(QFile::remove(record));
    ASSERT_TRUE(writeFile(record, "cfA001q/0@12"));
    ASSERT_EQ(::kill(pid_t(s.pid()), SIGHUP), 0);
    EXPECT_TRUE(s.waitForLogStart(
        waiting + QStringLiteral(" does not parse: line 1 is cut off); next attempt at ")))
        << s.log().toStdString();
    EXPECT_EQ(readFile(record), "cfA001q/0@12");
    EXPECT_TRUE(readFile(s.outFile()).isEmpty());
    ASSERT_TRUE(writeFile(record, "\n"));
    ASSERT_EQ(::kill(pid_t(s.pid()), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "x"; }, 15000))
        << s.log().toStdString();
    // Each attempt said so in its one line, with no second line for the next attempt.
    EXPECT_GE(s.logLines(waiting).size(), 2);
    EXPECT_TRUE(s.logLines(QStringLiteral("Next attempt for lp")).isEmpty());
    s.stop();
}
