// The receive path's shortcuts must not change what a client gets: a command line is taken
// off the socket exactly up to its terminator, lock files made as links are empty files
// like any other, and the hand-formatted report line is the printf layout byte for byte.

#include "serverfixture.h"

#include "protocol/lpdconnection.h"
#include "protocol/queuecommands.h"
#include "spool/spooljob.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>

namespace {

int take(const QByteArray& bytes, qsizetype lineLength = 0, bool dropping = false)
{
    return LpdConnection::lineBytesToTake(bytes.constData(), int(bytes.size()), lineLength,
                                          dropping);
}

QByteArray printfLine(const SpoolJob& job)
{
    const QByteArray user = abbreviate(job.user, 15).toLatin1();
    const QByteArray title = abbreviate(job.title, 38).toLatin1();
    char line[160];
    const int n = std::snprintf(line, sizeof line, "%-15s %3.3u %-38s %10llu bytes\n",
                                user.constData(), unsigned(job.jobNumber), title.constData(),
                                static_cast<unsigned long long>(job.size));
    return QByteArray(line, n);
}

nlink_t linkCount(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_nlink : 0;
}

} // namespace

TEST(LineBytes, EndAtTheTerminatorOrTheByteTooMany)
{
    // The line and its LF; what follows stays for the state the line leads to.
    EXPECT_EQ(take(QByteArray("\x02lp\n") + "\x02"
                                            "12 cfA001h\n"),
              4);
    // CR ends the line; the LF of the pair is left behind.
    EXPECT_EQ(take("\x03"
                   "5 dfA001h\r\nhello"),
              11);
    // Terminators before any byte of a line are taken and ignored.
    EXPECT_EQ(take("\n\r\n\x02lp\nrest"), 7);
    EXPECT_EQ(take("\r\n"), 2);
    // No terminator yet: everything waiting belongs to the line.
    EXPECT_EQ(take("\x02lp"), 3);
    EXPECT_EQ(take("lp\n", 5), 3);
    // The 1025th byte ends the connection, and nothing after it is taken.
    EXPECT_EQ(take(QByteArray(10, 'x'), 1020), 5);
    EXPECT_EQ(take(QByteArray(1030, 'x')), 1025);
    EXPECT_EQ(take(QByteArray(1024, 'x') + "\n"), 1025);
    // While an answer goes out, everything is read and dropped.
    EXPECT_EQ(take("abc\ndef\n", 0, true), 8);
}

TEST(QueueReport, JobLineIsThePrintfLayout)
{
    struct Case
    {
        QString user, title;
        qint32 number;
        quint64 size;
    };
    const QString nul = QStringLiteral("ab") + QChar(0) + QStringLiteral("cd");
    const QList<Case> cases = {
        {QStringLiteral("alice"), QStringLiteral("report.txt"), 7, 1234},
        {QString(), QString(), 0, 0},
        {QStringLiteral("a-user-name-far-too-long"), QString(60, QLatin1Char('t')), 999,
         1234567890123ULL},
        {QStringLiteral("exactly15chars!"), QString(38, QLatin1Char('T')), 1000, 9999999999ULL},
        {nul, nul, 12, 5},
        {QStringLiteral("J\u00f6rg \u20ac"), QStringLiteral("\u00e9t\u00e9 \U0001F600"), 42, 7},
        {QStringLiteral(" lead"), QStringLiteral("tab\tin"), -1, 18446744073709551615ULL},
    };
    for (const Case& k : cases) {
        SpoolJob job;
        job.user = k.user;
        job.title = k.title;
        job.jobNumber = k.number;
        job.size = k.size;
        EXPECT_EQ(reportLine(job), printfLine(job)) << k.user.toStdString();
    }
}

class FastPath : public ServerFixture
{
};

TEST_F(FastPath, BytesSentAheadOfTheAnswersAreReadInTheStateTheLineLeaves)
{
    startServer();
    const QByteArray control = "Pahead\nldfA501h\n";
    // The whole job in one write, without waiting for a single answer; the data file's
    // sub-command ends in CR LF, so its LF is the first byte of the file's content; the
    // file is its count of bytes, and the byte after them is its terminator.
    const QByteArray stream = "\x02lp\n\x02" + QByteArray::number(control.size()) + " cfA501h\n" +
                              control + QByteArray(1, '\0') +
                              "\x03"
                              "5 dfA501h\r\nhell" +
                              QByteArray(1, '\0');
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send(stream);
        QByteArray got = c.read(5);
        c.close();
        return got;
    });
    EXPECT_EQ(acks, QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp ahead 501")); }));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA501h")), QByteArray("\nhell"));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/cfA501h")), control);
}

TEST_F(FastPath, LockFilesAreEmptyFilesWhileControlFilesArrive)
{
    startServer();
    ASSERT_TRUE(QDir().mkpath(queueDir()));
    // A lock file left over with content is emptied, as a new one would be.
    const QString firstLock = queueDir() + QStringLiteral("/cfA601h.lck");
    const QString secondLock = queueDir() + QStringLiteral("/cfA602h.lck");
    ASSERT_TRUE(writeFile(secondLock, "stale"));

    LoopbackClient c;
    auto step = [&](const QByteArray& bytes, int answers) {
        return client([&] {
            c.send(bytes);
            return c.read(answers);
        });
    };
    ASSERT_TRUE(client([&] { return c.connectTo(port); }));
    const QByteArray first = "Plocks\nldfA601h\n";
    EXPECT_EQ(step("\x02lp\n", 1), QByteArray(1, '\0'));
    EXPECT_EQ(step("\x02" + QByteArray::number(first.size()) + " cfA601h\n", 1),
              QByteArray(1, '\0'));
    EXPECT_EQ(step(first.left(4), 0), QByteArray()); // still arriving
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(firstLock); }));
    EXPECT_EQ(QFileInfo(firstLock).size(), 0);
    // A further name of one shared empty file: it has no inode of its own.
    EXPECT_GE(linkCount(firstLock), 2u);
    EXPECT_EQ(step(first.mid(4) + QByteArray(1, '\0'), 1), QByteArray(1, '\0'));

    const QByteArray second = "Plocks\nldfA602h\n";
    EXPECT_EQ(step("\x02" + QByteArray::number(second.size()) + " cfA602h\n", 1),
              QByteArray(1, '\0'));
    EXPECT_EQ(step(second.left(4), 0), QByteArray());
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(secondLock).size() == 0; }));
    EXPECT_EQ(step(second.mid(4) + QByteArray(1, '\0'), 1), QByteArray(1, '\0'));
    EXPECT_EQ(step("\x03"
                   "3 dfA602h\n",
                   1),
              QByteArray(1, '\0'));
    EXPECT_EQ(step(QByteArray("abc") + '\0', 1), QByteArray(1, '\0'));
    client([&] {
        c.close();
        return true;
    });

    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp locks 602")); }));
    // Each lock went before its file's answer.
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA602h.lck")));
    EXPECT_FALSE(QFile::exists(secondLock));
    // Only the last control file of a connection is handed over; the first is removed.
    EXPECT_FALSE(QFile::exists(firstLock));
    EXPECT_TRUE(waitUntil([&] { return !QFile::exists(queueDir() + QStringLiteral("/cfA601h")); }));
    // The job's own files are ordinary files.
    EXPECT_EQ(linkCount(queueDir() + QStringLiteral("/cfA602h")), 1u);
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA602h")), QByteArray("abc"));
}

TEST_F(FastPath, AQueueFolderRemovedWhileRunningIsMadeAgain)
{
    startServer();
    const QByteArray control = "Pagain\nldfA701h\n";
    EXPECT_EQ(client([&] { return sendJob(port, "lp", "cfA701h", control, "dfA701h", "one"); }),
              QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp again 701")); }));
    ASSERT_TRUE(QDir(queueDir()).removeRecursively());
    const QByteArray control2 = "Pagain\nldfA702h\n";
    EXPECT_EQ(client([&] { return sendJob(port, "lp", "cfA702h", control2, "dfA702h", "two"); }),
              QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil(
        [&] { return server->pendingJobs().containsDisplay(QStringLiteral("lp again 702")); }));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA702h")), QByteArray("two"));
}

TEST_F(FastPath, AQueueFolderThatCannotBeMadeIsRefusedAsBefore)
{
    Settings s = defaults();
    startServer(s);
    // A plain file where the queue folder should be.
    ASSERT_TRUE(QDir().mkpath(dir.path() + QStringLiteral("/spool")));
    ASSERT_TRUE(writeFile(queueDir(), "not a folder"));
    const QByteArray acks = client([&] {
        LoopbackClient c;
        c.connectTo(port);
        c.send("\x02lp\n");
        QByteArray got = c.read(1);
        c.send("\x02"
               "10 cfA801h\n");
        got += c.read(1);
        return got;
    });
    EXPECT_EQ(acks, QByteArray("\0\1", 2));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Cannot open directory ") + queueDir() +
                       QStringLiteral(" (Not a directory) for lp.")));
}
