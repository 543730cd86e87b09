// Queues print on their own through the built program and its print supervisor: a hung
// queue holds only itself, even across a server killed while it hung; commands start with
// descriptors 0 to 2 and the limit the server started with; what a command leaves running
// is reported and ended with the server; a regular file as a device holds the last job.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A small tmpfs mounted over a folder for as long as it lives.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& path, const char* options) : m_path(QFile::encodeName(path))
    {
        if (::mount("tmpfs", m_path.constData(), "tmpfs", 0, options) == 0)
            m_mounted = true;
        else
            m_error = std::strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const char* error() const { return m_error; }

private:
    QByteArray m_path;
    bool m_mounted = false;
    const char* m_error = "";
};

// A process's state letter (R, S, T, Z ...) and its parent, from /proc; 0 when it is gone.
char processState(int pid, int* parent = nullptr)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 2)
        return 0;
    if (parent)
        *parent = fields[1].toInt();
    return fields[0].at(0);
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
    // Its daemon comes loose at once (its parent ends), while the command runs on.
    ASSERT_TRUE(writeScript(daemon, "cd \"$(dirname \"$0\")\"\n"
                                    "(setsid sleep 100000 & echo $! > daemon.pid)\n"
                                    "while [ ! -e daemon.gate ]; do sleep 0.05; done\n"));
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

    // What a print leaves running is its own: another queue's print that ends meanwhile is
    // not given it.
    ASSERT_TRUE(sendTo(s.port(), "dmn", 6, "x"));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(d + QStringLiteral("/daemon.pid")); }));
    ASSERT_TRUE(sendTo(s.port(), "lp", 10, "job 10\n"));
    ASSERT_TRUE(waitUntil([&] { return readFile(s.outFile()).endsWith("job 10\n"); }));
    ASSERT_TRUE(writeFile(d + QStringLiteral("/daemon.gate"), {}));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Print of cfA006q left 1 process running"), 15000))
        << s.log().toStdString();
    EXPECT_TRUE(s.logLines(QStringLiteral("Print of cfA010q left")).isEmpty());
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

// A spool file system with no free inode: the jobs it holds still print (a print needs no
// new inode, and every queue folder has its print record from the start), a job that
// cannot be received is refused and leaves no lock behind, and once there is room again
// every job prints.
TEST(Queues, ASpoolWithoutAFreeInodePrintsWhatItHoldsAndLosesNothing)
{
    RunningServer s;
    const QString spool = s.dir() + QStringLiteral("/spool");
    ASSERT_TRUE(QDir().mkpath(spool));
    const SmallFileSystem small(spool, "nr_inodes=48,size=8m,mode=0700");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs (" << small.error() << "); this needs root";
    // lp's folder is there at the start, whose scan makes its record; lq's comes with its job.
    ASSERT_TRUE(QDir().mkpath(s.spool()));
    const QString other = s.dir() + QStringLiteral("/other.sh");
    ASSERT_TRUE(writeScript(other, "cat \"$1\" >> \"$(dirname \"$0\")/other.bin\"\n"));
    const QString lp = QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d");
    const QString lq = QStringLiteral("lq ") + other + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({QLatin1Char('-') + lp, QLatin1Char('-') + lq}));
    ASSERT_TRUE(sendTo(s.port(), "lp", 1, "job 1\n"));
    ASSERT_TRUE(sendTo(s.port(), "lp", 2, "job 2\n"));
    ASSERT_TRUE(sendTo(s.port(), "lq", 3, "job 3\n"));

    // Every inode taken but one: a job's lock file takes it, its control file finds none.
    const QByteArray fill = QFile::encodeName(spool + QStringLiteral("/fill/"));
    ASSERT_EQ(::mkdir(fill.constData(), 0700), 0);
    int files = 0;
    auto takeInodes = [&] {
        for (int fd; (fd = ::open(fill + QByteArray::number(files), O_CREAT | O_WRONLY | O_CLOEXEC,
                                  0600)) >= 0;
             ++files)
            ::close(fd);
        return errno == ENOSPC;
    };
    ASSERT_TRUE(takeInodes());
    ASSERT_EQ(::unlink(fill + QByteArray::number(--files)), 0);
    EXPECT_FALSE(sendTo(s.port(), "lp", 4, "job 4\n"));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("ERROR: Cannot open file for lp.")))
        << s.log().toStdString();
    EXPECT_TRUE(
        waitUntil([&] { return !QFile::exists(s.spool() + QStringLiteral("/cfA004q.lck")); }));
    ASSERT_TRUE(takeInodes());

    // lq's folder came with its job, and its print record with the folder: it prints with
    // no inode free, and so do lp's waiting jobs.
    ASSERT_TRUE(s.reload({QLatin1Char('-') + lp, lq}));
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(s.dir() + QStringLiteral("/other.bin")) == "job 3\n"; }, 20000))
        << s.log().toStdString();
    EXPECT_TRUE(s.logLines(QStringLiteral("no print record")).isEmpty());
    ASSERT_TRUE(s.reload({lp, lq}));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "job 1\njob 2\n"; }, 20000))
        << s.log().toStdString();

    // Room again: nothing was lost.
    for (int i = 0; i < files; ++i)
        ::unlink(fill + QByteArray::number(i));
    ASSERT_TRUE(sendTo(s.port(), "lp", 4, "job 4\n"));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "job 1\njob 2\njob 4\n"; }, 20000));
    s.stop();
}

// A supervisor stopped (SIGSTOP) while its server is killed is not ended with it: continued,
// it records the end of the print that finished meanwhile, and the next server, which waited
// for the record, does not print that job again.
TEST(Queues, AStoppedSupervisorOutlivesItsServerAndItsPrintIsNotRepeated)
{
    RunningServer s;
    const QString d = s.dir();
    const QString gated = d + QStringLiteral("/gated.sh");
    ASSERT_TRUE(writeScript(gated, "cd \"$(dirname \"$0\")\"\necho $$ > command.pid\n"
                                   "while [ ! -e gate ]; do sleep 0.05; done\n"
                                   "cat \"$1\" >> out.bin\n"));
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + gated + QStringLiteral(" %p/%d")}));
    ASSERT_TRUE(sendTo(s.port(), "lp", 1, "job 1\n"));
    // The shell makes the file before it writes the number into it.
    int command = 0;
    ASSERT_TRUE(waitUntil([&] {
        command = readFile(d + QStringLiteral("/command.pid")).trimmed().toInt();
        return command > 0;
    }));
    int supervisor = 0;
    ASSERT_NE(processState(command, &supervisor), 0);
    ASSERT_GT(supervisor, 1);
    ASSERT_EQ(::kill(supervisor, SIGSTOP), 0);
    // Never left stopped, whatever fails below.
    const std::unique_ptr<void, std::function<void(void*)>> resume(
        &supervisor, [](void* pid) { ::kill(*static_cast<int*>(pid), SIGCONT); });
    ASSERT_TRUE(waitUntil([&] { return processState(supervisor) == 'T'; }));
    // The print ends while its supervisor is stopped, and its server dies.
    ASSERT_TRUE(writeFile(d + QStringLiteral("/gate"), {}));
    ASSERT_TRUE(waitUntil([&] { return processState(command) == 'Z'; }));
    s.kill();
    ASSERT_EQ(processState(supervisor), 'T');

    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("Waiting: cfA001q for lp (its queue's print "
                                                 "record is held by an earlier server's print)"),
                                  15000))
        << s.log().toStdString();
    ASSERT_EQ(::kill(supervisor, SIGCONT), 0);
    EXPECT_TRUE(s.waitForLog(
        QStringLiteral("Print of cfA001q/0 ended earlier: successful; not printed again"), 15000))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(s.spool() + QStringLiteral("/cfA001q")); }));
    EXPECT_EQ(readFile(s.outFile()), "job 1\n");
    s.stop();
}

// Every print that leaves a chain of processes running, each in a session of its own, is
// told of in the log; the server's stop ends them all.
TEST(Queues, WhatPrintsLeaveRunningIsToldForEachAndEndsWithTheServer)
{
    RunningServer s;
    const QString d = s.dir();
    ASSERT_TRUE(writeScript(d + QStringLiteral("/chain.sh"),
                            "trap '' TERM\necho $$ > \"$1/level$2.pid\"\n"
                            "[ \"$2\" -gt 1 ] && setsid \"$0\" \"$1\" $(($2 - 1)) &\n"
                            "exec sleep 100000\n"));
    // Each print leaves three processes behind in a folder of its own, named by its data file.
    const QString leaves = d + QStringLiteral("/leaves.sh");
    ASSERT_TRUE(writeScript(leaves, "top=\"$(dirname \"$0\")/$(basename \"$1\")\"\nmkdir \"$top\"\n"
                                    "setsid \"$(dirname \"$0\")/chain.sh\" \"$top\" 3 &\n"
                                    "while [ ! -s \"$top/level1.pid\" ]; do sleep 0.02; done\n"));
    ASSERT_TRUE(s.start({QStringLiteral("chain ") + leaves + QStringLiteral(" %p/%d")}));
    constexpr int Prints = 4;
    for (int n = 1; n <= Prints; ++n)
        ASSERT_TRUE(sendTo(s.port(), "chain", n, "x"));
    QList<QByteArray> pids;
    for (int n = 1; n <= Prints; ++n) {
        const QString line = QStringLiteral("Print of cfA00%1q left 3 processes running").arg(n);
        EXPECT_TRUE(s.waitForLog(line, 15000)) << s.log().toStdString();
        for (int level = 1; level <= 3; ++level)
            pids << readFile(d + QStringLiteral("/dfA00%1q/level%2.pid").arg(n).arg(level));
    }
    EXPECT_TRUE(std::all_of(pids.begin(), pids.end(), alive));
    s.stop();
    EXPECT_TRUE(waitUntil([&] { return std::none_of(pids.begin(), pids.end(), alive); }, 15000));
}
