// The network routes against real peers on loopback: socat as an AppSocket printer, a
// private cupsd's queues as IPP printers (ipp://127.0.0.1:PORT/printers/NAME), and a listener
// that never reads as a printer that stops answering.

#include "networkpeers.h"
#include "platform/printroutes.h"
#include "privatecups.h"
#include "routedata.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class NetworkRoute : public ::testing::Test
{
protected:
    QString dataFile(const QByteArray& bytes)
    {
        return writeDataFile(m_dir.path(), QStringLiteral("job%1").arg(++m_jobs), bytes);
    }
    QTemporaryDir m_dir;
    int m_jobs = 0;
};

class IppRoute : public NetworkRoute
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
        ASSERT_TRUE(cups.addQueue(QStringLiteral("lab"), output)) << cups.errorText().toStdString();
        uri = QStringLiteral("ipp://127.0.0.1:%1/printers/lab").arg(cups.port());
    }
    // The job lines the test backend wrote: user, title, format.
    QList<QByteArray> jobLines() { return readFile(output + QStringLiteral(".jobs")).split('\n'); }

    PrivateCups cups;
    const QString output = cups.outputFor(QStringLiteral("lab"));
    QString uri;
};

} // namespace

TEST_F(NetworkRoute, SocketPrintsByteExactAndFailsWithAReasonNeverAHang)
{
    SocketPrinter printer;
    ASSERT_TRUE(printer.start()) << printer.errorText().toStdString();
    const QByteArray body = everyByteValue() + noise(300 * 1024 + 17);
    const RouteResult printed = printToSocket(QStringLiteral("127.0.0.1"), printer.port(),
                                              openDataFile(dataFile(body)).get(), 10000);
    ASSERT_TRUE(printed.ok) << printed.reason.toStdString();
    // The printer closed its side after writing everything.
    EXPECT_EQ(readFile(printer.outputFile()), body);

    printer.stop();
    const RouteResult refused = printToSocket(QStringLiteral("127.0.0.1"), printer.port(),
                                              openDataFile(dataFile("x")).get(), 10000);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.reason.contains(QStringLiteral("Connection refused")))
        << refused.reason.toStdString();

    // A printer that takes the connection and then nothing more: the limit ends the print.
    SilentServer stuck;
    const QString big = dataFile(noise(32 * 1024 * 1024));
    auto attempt = onThread([&] {
        return printToSocket(QStringLiteral("127.0.0.1"), stuck.port(), openDataFile(big).get(),
                             2000);
    });
    const RouteResult timedOut = awaitResult(attempt, 30000);
    EXPECT_FALSE(timedOut.ok);
    EXPECT_TRUE(timedOut.reason.contains(QStringLiteral("time limit of 2 s")))
        << timedOut.reason.toStdString();
}

TEST_F(IppRoute, JobCarriesTitleUserAndFormatAndEndsWhenThePrinterSaysSo)
{
    const QByteArray body = everyByteValue().repeated(40);
    RouteResult r = printToIpp(uri, openDataFile(dataFile(body)).get(),
                               {QStringLiteral("Quarterly report"), QStringLiteral("alice"), 'l'},
                               20000);
    ASSERT_TRUE(r.ok) << r.reason.toStdString() << cups.errorLog().toStdString();
    // The route returns once the printer called the job completed: its backend is done.
    EXPECT_EQ(readFile(output), body);
    const QByteArray text = "plain text\n";
    r = printToIpp(uri, openDataFile(dataFile(text)).get(),
                   {QStringLiteral("notes.txt"), QStringLiteral("bob"), 'f'}, 20000);
    ASSERT_TRUE(r.ok) << r.reason.toStdString();
    EXPECT_EQ(readFile(output), body + text);
    EXPECT_EQ(jobLines().mid(0, 2),
              (QList<QByteArray>{"alice\tQuarterly report\tapplication/octet-stream",
                                 "bob\tnotes.txt\ttext/plain"}));

    const IppPrinterState state = queryIppPrinter(uri, 10000);
    ASSERT_TRUE(state.answered) << state.problem.toStdString();
    EXPECT_EQ(state.name, QStringLiteral("lab"));
    EXPECT_EQ(state.state, QStringLiteral("idle"));
    EXPECT_TRUE(state.formats.contains(QStringLiteral("application/octet-stream")));

    // The CUPS route names its jobs the same way, raw unless asked to convert.
    r = printToCups(QStringLiteral("lab"), openDataFile(dataFile("memo")).get(), 20000,
                    {QStringLiteral("Memo"), QStringLiteral("carol"), 'f'}, false);
    ASSERT_TRUE(r.ok) << r.reason.toStdString();
    r = printToCups(QStringLiteral("lab"), openDataFile(dataFile("memo")).get(), 20000,
                    {QStringLiteral("Memo 2"), QStringLiteral("dave"), 'f'}, true);
    ASSERT_TRUE(r.ok) << r.reason.toStdString();
    ASSERT_TRUE(cups.waitForOutput(output, body.size() + text.size() + 8));
    ASSERT_TRUE(waitUntil([&] { return jobLines().size() >= 5; }, 10000));
    EXPECT_EQ(jobLines().mid(2, 2), (QList<QByteArray>{"carol\tMemo\tapplication/vnd.cups-raw",
                                                       "dave\tMemo 2\ttext/plain"}));
}

TEST_F(IppRoute, PrinterThatRefusesOrNeverCompletesFailsWithItsReasons)
{
    const QString file = dataFile("never printed\n");
    const QString missing = QStringLiteral("ipp://127.0.0.1:%1/printers/nosuch").arg(cups.port());
    RouteResult r = printToIpp(missing, openDataFile(file).get(), {}, 10000);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.reason.contains(QStringLiteral("does not exist"))) << r.reason.toStdString();

    ASSERT_TRUE(cups.runTool(QStringLiteral("cupsreject"),
                             {QStringLiteral("-r"), QStringLiteral("out of toner"), QStringLiteral("lab")}))
        << cups.errorText().toStdString();
    r = printToIpp(uri, openDataFile(file).get(), {}, 10000);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.reason.startsWith(QStringLiteral("the printer refused the job: ")))
        << r.reason.toStdString();

    // A stopped printer holds the job: the limit ends the print, with the printer's state.
    ASSERT_TRUE(cups.runTool(QStringLiteral("cupsaccept"), {QStringLiteral("lab")}));
    ASSERT_TRUE(cups.runTool(QStringLiteral("cupsdisable"), {QStringLiteral("lab")}));
    auto attempt = onThread([&] { return printToIpp(uri, openDataFile(file).get(), {}, 2000); });
    r = awaitResult(attempt, 30000);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.reason.contains(QStringLiteral("within the time limit")) &&
                r.reason.contains(QStringLiteral("printer stopped")))
        << r.reason.toStdString();
    EXPECT_FALSE(QFile::exists(output));
}
