// Jobs from a real client through the network targets: an AppSocket printer (socat), another
// spoolmere as the LPD a job is forwarded to, a private cupsd's queue as an IPP printer, and a
// CUPS printer that has no printer definition at all.

#include "runningserver.h"

#include "networkpeers.h"
#include "privatecups.h"
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

bool emptyQueue(RunningServer& s, const QString& queue)
{
    return waitUntil([&] { return QDir(s.spool(queue)).entryList(QDir::Files).isEmpty(); },
                     20000);
}

} // namespace

TEST(NetworkTargets, RlprJobPrintsByteExactOnEveryKindOfTarget)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    for (const char* queue : {"lab", "office"})
        ASSERT_TRUE(cups.addQueue(QString::fromLatin1(queue),
                                  cups.outputFor(QString::fromLatin1(queue))))
            << cups.errorText().toStdString();
    SocketPrinter printer;
    ASSERT_TRUE(printer.start()) << printer.errorText().toStdString();
    RunningServer back;
    ASSERT_TRUE(back.start({QStringLiteral("lp ") + back.appendScript() + QStringLiteral(" %p/%d")}));

    RunningServer s; // inherits CUPS_SERVER: "office" is a CUPS printer it knows by name
    ASSERT_TRUE(s.start({QStringLiteral("sock |") + printer.uri(),
                         QStringLiteral("fwd |lpd://127.0.0.1:%1/lp").arg(back.port()),
                         QStringLiteral("ipp |ipp://127.0.0.1:%1/printers/lab").arg(cups.port())}));
    const QByteArray body = allBytes(300);
    const QString file = s.dir() + QStringLiteral("/job.bin");
    ASSERT_TRUE(writeFile(file, body));
    const QStringList named{QStringLiteral("-l"), QStringLiteral("-J"),
                            QStringLiteral("Quarterly report"), QStringLiteral("-U"),
                            QStringLiteral("alice")};
    for (const char* queue : {"sock", "fwd", "ipp"})
        ASSERT_EQ(rlpr(s.port(), QString::fromLatin1(queue), file, named).exitCode, 0) << queue;
    // The list of CUPS printers arrives a moment after the start.
    ASSERT_TRUE(waitUntil(
        [&] { return rlpr(s.port(), QStringLiteral("office"), file, named).exitCode == 0; },
        20000));

    EXPECT_TRUE(waitUntil([&] { return readFile(printer.outputFile()) == body; }, 20000));
    EXPECT_TRUE(waitUntil([&] { return readFile(back.outFile()) == body; }, 20000))
        << s.log().toStdString();
    // Forwarded under the client's own names.
    const QString control = s.logLines(QStringLiteral("Forwarding cf")).value(0).section(u' ', 1, 1);
    EXPECT_FALSE(control.isEmpty()) << s.log().toStdString();
    EXPECT_FALSE(back.logLines(QStringLiteral("/") + control + QStringLiteral(" with ")).isEmpty())
        << back.log().toStdString();
    for (const char* queue : {"lab", "office"}) {
        const QString out = cups.outputFor(QString::fromLatin1(queue));
        EXPECT_TRUE(cups.waitForOutput(out, body.size())) << queue;
        EXPECT_EQ(readFile(out), body) << queue;
        EXPECT_TRUE(readFile(out + QStringLiteral(".jobs")).startsWith("alice\tQuarterly report\t"))
            << readFile(out + QStringLiteral(".jobs")).toStdString();
    }
    for (const char* queue : {"sock", "fwd", "ipp", "office"})
        EXPECT_TRUE(emptyQueue(s, QString::fromLatin1(queue))) << queue;
}

TEST(NetworkTargets, UndefinedCupsPrinterJobWaitsAcrossARestartAndPrintsWhenThePrinterIsBack)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    const QString out = cups.outputFor(QStringLiteral("office"));
    ASSERT_TRUE(cups.addQueue(QStringLiteral("office"), out)) << cups.errorText().toStdString();
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "for the office\n"));
    // Known by name once the list of CUPS printers is in: the first job prints.
    ASSERT_TRUE(waitUntil(
        [&] { return rlpr(s.port(), QStringLiteral("office"), file).exitCode == 0; }, 20000));
    ASSERT_TRUE(cups.waitForOutput(out, 15));
    // Gone when the next job prints (the server learns it only at its next look at CUPS):
    // the job waits with the reason.
    ASSERT_TRUE(cups.runTool(QStringLiteral("lpadmin"), {QStringLiteral("-x"), QStringLiteral("office")}))
        << cups.errorText().toStdString();
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("office"), file).exitCode, 0);
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Failed: office (no such printer: office)"), 20000))
        << s.log().toStdString();

    // Kept across a restart and listed, although CUPS no longer has the printer; printed
    // once it is back.
    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Scanning for old jobs for printer office"), 10000))
        << s.log().toStdString();
    EXPECT_TRUE(s.status(true).output.contains("\"office\"")) << s.status(true).output.toStdString();
    ASSERT_TRUE(cups.addQueue(QStringLiteral("office"), out)) << cups.errorText().toStdString();
    EXPECT_TRUE(cups.waitForOutput(out, 30, 30000)) << s.log().toStdString();
    EXPECT_EQ(readFile(out), QByteArray("for the office\n").repeated(2));
    EXPECT_TRUE(emptyQueue(s, QStringLiteral("office")));
}

TEST(NetworkTargets, DeadPrinterHoldsOnlyItsQueueAndPrintsOnceWhenItReturns)
{
    SocketPrinter alive;
    ASSERT_TRUE(alive.start()) << alive.errorText().toStdString();
    SocketPrinter late;
    ASSERT_TRUE(late.start()) << late.errorText().toStdString();
    late.stop();
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("dead |") + late.uri(), QStringLiteral("ok |") + alive.uri()}));
    const QByteArray body = allBytes(100);
    const QString file = s.dir() + QStringLiteral("/job.bin");
    ASSERT_TRUE(writeFile(file, body));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("dead"), file).exitCode, 0);
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("Next attempt for dead"), 10000))
        << s.log().toStdString();
    EXPECT_FALSE(s.logLines(QStringLiteral("cannot connect: Connection refused")).isEmpty());
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("ok"), file).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(alive.outputFile()) == body; }, 10000));

    ASSERT_TRUE(late.start()) << late.errorText().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(late.outputFile()).size() >= body.size(); }, 30000));
    EXPECT_TRUE(emptyQueue(s, QStringLiteral("dead")));
    EXPECT_EQ(readFile(late.outputFile()), body);
}
