// One job from a real client printed through every route: a command, a CUPS queue of a
// private cupsd, a device, and a share of a private smbd.

#include "runningserver.h"

#include "privatecups.h"
#include "privatesmb.h"
#include "testsupport.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

QByteArray allBytes(int repeat)
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b.repeated(repeat);
}

} // namespace

TEST(Routes, SameJobPrintsByteExactThroughEveryRoute)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    ASSERT_TRUE(cups.addQueue(QStringLiteral("lab"), cups.outputFor(QStringLiteral("lab"))))
        << cups.errorText().toStdString();
    PrivateSmb smb;
    ASSERT_TRUE(smb.start()) << smb.errorText().toStdString();

    RunningServer s; // inherits CUPS_SERVER from this process
    const QString device = s.dir() + QStringLiteral("/device");
    ASSERT_TRUE(writeFile(device, {}));
    ASSERT_TRUE(s.start({QStringLiteral("cmd ") + s.appendScript() + QStringLiteral(" %p/%d"),
                         QStringLiteral("cupsq |lab"), QStringLiteral("dev |local port ") + device,
                         QStringLiteral("smb |") + smb.url()}));
    const QByteArray body = allBytes(64);
    const QString file = s.dir() + QStringLiteral("/job.bin");
    ASSERT_TRUE(writeFile(file, body));
    for (const char* queue : {"cmd", "cupsq", "dev", "smb"})
        ASSERT_EQ(rlpr(s.port(), QString::fromLatin1(queue), file).exitCode, 0) << queue;

    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == body; }, 10000));
    EXPECT_TRUE(cups.waitForOutput(cups.outputFor(QStringLiteral("lab")), body.size()));
    EXPECT_EQ(readFile(cups.outputFor(QStringLiteral("lab"))), body);
    EXPECT_TRUE(waitUntil([&] { return readFile(device) == body; }, 10000));
    EXPECT_TRUE(smb.waitForOutput(QStringLiteral("printer"), body.size()));
    EXPECT_EQ(readFile(smb.outputFile()), body);
    for (const char* queue : {"cmd", "cupsq", "dev", "smb"})
        EXPECT_TRUE(waitUntil([&] {
            return QDir(s.spool(QString::fromLatin1(queue))).entryList(QDir::Files).isEmpty();
        })) << queue;
    // The output is there a moment before the pass logs its result.
    EXPECT_TRUE(
        waitUntil([&] { return s.log().contains(QStringLiteral("Successful: |lab ")); }, 10000))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] {
        return s.log().contains(QStringLiteral("Successful: |") + smb.url() + QLatin1Char(' '));
    })) << s.log().toStdString();
}

TEST(Routes, CupsPrintersAreKnownQueuesWithoutCupsInTheServer)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    ASSERT_TRUE(cups.addQueue(QStringLiteral("lab"), cups.outputFor(QStringLiteral("lab"))))
        << cups.errorText().toStdString();
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("cmd ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "for the lab\n"));

    // The names arrive from a helper process shortly after the start.
    const QStringList lpq{QStringLiteral("-N"), QStringLiteral("--port=%1").arg(s.port()),
                          QStringLiteral("-H"), QStringLiteral("127.0.0.1"), QStringLiteral("-P"),
                          QStringLiteral("lab")};
    EXPECT_TRUE(waitUntil(
        [&] { return !runCommand(QStringLiteral("rlpq"), lpq).output.contains("no such printer"); },
        10000))
        << s.log().toStdString();
    EXPECT_NE(rlpr(s.port(), QStringLiteral("nowhere"), file).exitCode, 0);
    // rlpr returns once it has its answers; the log line reaches the pipe after that.
    EXPECT_TRUE(s.waitForLog(QStringLiteral("ERROR: Receive Job for nowhere - no such printer.")));

    // Neither client library is mapped by a server that has not printed through it.
    const QByteArray maps = readFile(QStringLiteral("/proc/%1/maps").arg(s.pid()));
    ASSERT_TRUE(maps.contains("spoolmere"));
    EXPECT_FALSE(maps.contains("libcups")) << maps.toStdString();
    EXPECT_FALSE(maps.contains("libsmbclient"));

    // A job for the CUPS printer, which has no definition here, prints raw to it.
    EXPECT_EQ(rlpr(s.port(), QStringLiteral("lab"), file).exitCode, 0);
    EXPECT_TRUE(cups.waitForOutput(cups.outputFor(QStringLiteral("lab")), 12));
    EXPECT_EQ(readFile(cups.outputFor(QStringLiteral("lab"))), QByteArray("for the lab\n"));
}

TEST(Routes, RefusedRoutesKeepTheJobAndThePassGoesOn)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    PrivateSmb smb;
    ASSERT_TRUE(smb.start()) << smb.errorText().toStdString();
    const QString smbUrl = smb.url();
    smb.stop();

    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("cupsq |nosuchqueue"), QStringLiteral("smb |") + smbUrl,
                         QStringLiteral("dev |local port /nonexistent/device")}));
    const QString file = s.dir() + QStringLiteral("/job.bin");
    ASSERT_TRUE(writeFile(file, allBytes(4)));
    for (const char* queue : {"cupsq", "smb", "dev"})
        ASSERT_EQ(rlpr(s.port(), QString::fromLatin1(queue), file).exitCode, 0) << queue;
    for (const QString& target :
         {QStringLiteral("Failed: nosuchqueue"), QStringLiteral("Failed: ") + smbUrl,
          QStringLiteral("Failed: local port /nonexistent/device")})
        EXPECT_TRUE(waitUntil([&] { return s.log().contains(target); }, 30000))
            << target.toStdString() << s.log().toStdString();
    // Every job stays for the next pass, which tries again.
    for (const char* queue : {"cupsq", "smb", "dev"})
        EXPECT_EQ(QDir(s.spool(QString::fromLatin1(queue))).entryList(QDir::Files).size(), 2)
            << queue;
    const int failedBefore = int(s.log().count(QStringLiteral("Failed: local port")));
    EXPECT_TRUE(waitUntil(
        [&] { return s.log().count(QStringLiteral("Failed: local port")) > failedBefore; }, 15000));
}
