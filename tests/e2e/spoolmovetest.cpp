// A change of SPOOLDIR moves every waiting job to the new spool, all or none, whatever is
// killed when, and wherever a connection was in its job: afterwards each job prints once,
// from one spool.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

#include <functional>

#include <signal.h>

namespace {

QByteArray jobText(int id)
{
    return "JOB " + QByteArray::number(id).rightJustified(5, '0') + '\n';
}

QByteArray jobSuffix(int id)
{
    return QByteArray::number(id % 1000).rightJustified(3, '0') + 'h' + QByteArray::number(id);
}

// Jobs as an earlier run left them in a queue folder.
void placeJobs(const QString& folder, int count)
{
    QDir().mkpath(folder);
    for (int id = 0; id < count; ++id) {
        const QByteArray suffix = jobSuffix(id);
        writeFile(folder + QStringLiteral("/dfA") + QString::fromLatin1(suffix), jobText(id));
        writeFile(folder + QStringLiteral("/cfA") + QString::fromLatin1(suffix),
                  "Hh\nPmove\nldfA" + suffix + '\n');
    }
}

QMap<int, int> printedJobs(const QString& out)
{
    QMap<int, int> count;
    for (const QByteArray& line : readFile(out).split('\n')) {
        if (line.isEmpty())
            continue;
        if (!line.startsWith("JOB ")) {
            count[-1] += 1;
            continue;
        }
        count[line.mid(4).toInt()] += 1;
    }
    return count;
}

int filesIn(const QString& folder)
{
    return int(QDir(folder).entryList(QDir::Files).size());
}

// lpd.ini naming `spool` (a folder under the test's), lp printing or held ("-").
bool useSpool(RunningServer& s, const QString& spool, bool printing, bool reload = true)
{
    const QString print = s.appendScript() + QStringLiteral(" %p/%d");
    QByteArray ini = RunningServer::settingsText(
        s.dir(), s.port(), {(printing ? QString() : QStringLiteral("-")) + QStringLiteral("lp ") + print},
        {QStringLiteral("127.")});
    ini.replace("/spool\r\n", "/" + spool.toUtf8() + "\r\n");
    return writeFile(s.dir() + QStringLiteral("/lpd.ini"), ini) &&
           (!reload || ::kill(pid_t(s.pid()), SIGHUP) == 0);
}

} // namespace

TEST(SpoolMove, KilledAnywhereInAMoveEveryJobPrintsOnceFromOneSpool)
{
    constexpr int Jobs = 1500;
    RunningServer s;
    placeJobs(s.spool(), Jobs);
    const QString print = s.appendScript() + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + print}));
    const QString state = s.dir() + QStringLiteral("/lpd.ini.spool");
    const auto folder = [&](const QString& spool) {
        return s.dir() + QLatin1Char('/') + spool + QStringLiteral("/lp");
    };
    // Where the kill lands, each seen from outside: the change recorded, half the files
    // linked, the new spool recorded as the jobs' home, the move logged as done.
    struct KillPoint
    {
        const char* name;
        std::function<bool(const QString& to)> reached;
    };
    const QList<KillPoint> points{
        {"recorded", [&](const QString& to) { return readFile(state).contains(to.toUtf8()); }},
        {"half linked", [&](const QString& to) { return filesIn(folder(to)) >= Jobs; }},
        {"committed",
         [&](const QString& to) {
             return readFile(state).startsWith("current=" + QFile::encodeName(s.dir()) + '/' +
                                               to.toUtf8());
         }},
        {"done", [&](const QString& to) {
             return s.log().contains(QStringLiteral("waiting job(s) moved to ") + s.dir() +
                                     QLatin1Char('/') + to);
         }}};
    QString from = QStringLiteral("spool");
    for (const KillPoint& point : points) {
        const QString to = from == QLatin1String("spool") ? QStringLiteral("spoolB")
                                                          : QStringLiteral("spool");
        ASSERT_TRUE(useSpool(s, to, false));
        // Missed by a fast move, the kill lands later: every point must hold anyway.
        waitUntil([&] { return point.reached(to); }, 20000);
        s.kill();
        ASSERT_TRUE(s.restart()) << point.name;
        // The start finished or redid the move: every job in the spool lpd.ini names.
        EXPECT_EQ(filesIn(folder(from)), 0) << point.name << s.log().toStdString();
        EXPECT_EQ(filesIn(folder(to)), 2 * Jobs) << point.name;
        from = to;
    }
    ASSERT_TRUE(useSpool(s, from, true));
    // Once the queue folder is empty no job is left to print a second time.
    EXPECT_TRUE(waitUntil([&] { return filesIn(folder(from)) == 0; }, 300000))
        << s.log().toStdString();
    QList<int> all;
    for (int id = 0; id < Jobs; ++id)
        all << id;
    expectEachPrintedOnce(printedJobs(s.outFile()), all);
    s.stop();
}

// A connection that sent "receive job" before the change sends its files after it; one that
// has a file in the old spool holds the move back, while new jobs arrive in the new spool
// meanwhile; the move follows by itself when that job is in.
TEST(SpoolMove, ConnectionsOpenAcrossAChangeFinishTheirJobsIntoOneSpool)
{
    RunningServer s;
    const QString print = s.appendScript() + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + print}));
    const QString newSpool = s.dir() + QStringLiteral("/spoolB");

    LoopbackClient early;
    ASSERT_TRUE(early.connectTo(s.port()));
    early.send("\x02lp\n");
    ASSERT_EQ(early.read(1), QByteArray(1, '\0'));
    LoopbackClient holding;
    ASSERT_TRUE(holding.connectTo(s.port()));
    holding.send("\x02lp\n");
    ASSERT_EQ(holding.read(1), QByteArray(1, '\0'));
    const QByteArray control = "Hh\nPmove\nldfA003h\n";
    holding.send("\x02" + QByteArray::number(control.size()) + " cfA003h\n");
    ASSERT_EQ(holding.read(1), QByteArray(1, '\0'));
    holding.send(control + QByteArray(1, '\0'));
    ASSERT_EQ(holding.read(1), QByteArray(1, '\0'));

    ASSERT_TRUE(useSpool(s, QStringLiteral("spoolB"), false));
    ASSERT_TRUE(s.waitForLogStart(QStringLiteral("Spool folder change to ") + newSpool +
                                  QStringLiteral(" waits for 0 print(s) and ")))
        << s.log().toStdString();
    EXPECT_EQ(sendJob(s.port(), "lp", "cfA002h", "Hh\nPmove\nldfA002h\n", "dfA002h", jobText(2)),
              QByteArray(5, '\0'));
    EXPECT_TRUE(QFile::exists(newSpool + QStringLiteral("/lp/cfA002h")));
    // Made with its folder, before any print: a spool out of inodes later still prints.
    EXPECT_TRUE(QFile::exists(newSpool + QStringLiteral("/lp/.:printing")));
    EXPECT_FALSE(QFile::exists(newSpool + QStringLiteral("/.:printing")));
    EXPECT_EQ(sendJobFiles(early, "cfA001h", "Hh\nPmove\nldfA001h\n", "dfA001h", jobText(1)),
              QByteArray(4, '\0'));
    EXPECT_TRUE(QFile::exists(newSpool + QStringLiteral("/lp/cfA001h")));

    const QByteArray data = jobText(3);
    holding.send("\x03" + QByteArray::number(data.size()) + " dfA003h\n");
    ASSERT_EQ(holding.read(1), QByteArray(1, '\0'));
    holding.send(data + QByteArray(1, '\0'));
    ASSERT_EQ(holding.read(1), QByteArray(1, '\0'));
    holding.close();
    EXPECT_TRUE(s.waitForLog(QStringLiteral("3 waiting job(s) moved to ") + newSpool, 15000))
        << s.log().toStdString();

    ASSERT_TRUE(useSpool(s, QStringLiteral("spoolB"), true));
    EXPECT_TRUE(waitUntil([&] { return filesIn(newSpool + QStringLiteral("/lp")) == 0; }, 20000))
        << s.log().toStdString();
    EXPECT_EQ(filesIn(s.spool()), 0);
    expectEachPrintedOnce(printedJobs(s.outFile()), {1, 2, 3});
    s.stop();
}

// A change the server refuses (no folder can be made there) leaves lpd.ini naming it; the
// next start cannot take the jobs there either, says so, and prints them where they are.
TEST(SpoolMove, ARefusedMoveAndTheNextStartStrandNoJob)
{
    RunningServer s;
    placeJobs(s.spool(), 3);
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    ASSERT_TRUE(writeFile(s.dir() + QStringLiteral("/blocker"), "a file, not a folder"));
    ASSERT_TRUE(useSpool(s, QStringLiteral("blocker/spool"), false));
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("ERROR: Reload of "))) << s.log().toStdString();

    s.kill();
    ASSERT_TRUE(useSpool(s, QStringLiteral("blocker/spool"), true, false));
    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("ERROR: Waiting jobs stay in ") + s.dir() +
                                  QStringLiteral("/spool, not in ")))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return filesIn(s.spool()) == 0; }, 20000)) << s.log().toStdString();
    expectEachPrintedOnce(printedJobs(s.outFile()), {0, 1, 2});
    s.stop();
}

// Killed while its print runs, a server leaves the print to its supervisor, which holds the
// queue's print record; the next start moves the job to a new spool. The job is not printed
// again while that print may still run, nor after its end is recorded as a success.
TEST(SpoolMove, AJobWhosePrintRanOnIsNotPrintedAgainInTheNewSpool)
{
    RunningServer s;
    const QString d = s.dir();
    const QString gated = d + QStringLiteral("/gated.sh");
    ASSERT_TRUE(writeScript(gated, "touch \"$(dirname \"$0\")/started\"\n"
                                   "while [ ! -e \"$(dirname \"$0\")/gate\" ]; do sleep 0.05; done\n"
                                   "cat \"$1\" >> \"$(dirname \"$0\")/out.bin\"\n"));
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + gated + QStringLiteral(" %p/%d")}));
    ASSERT_EQ(sendJob(s.port(), "lp", "cfA001h", "Hh\nPmove\nldfA001h\n", "dfA001h", jobText(1)),
              QByteArray(5, '\0'));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(d + QStringLiteral("/started")); }, 10000));
    s.kill();

    QByteArray ini = readFile(d + QStringLiteral("/lpd.ini"));
    ini.replace("/spool\r\n", "/spoolB\r\n");
    ASSERT_TRUE(writeFile(d + QStringLiteral("/lpd.ini"), ini));
    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Waiting jobs of ") + d +
                             QStringLiteral("/spool moved to ") + d + QStringLiteral("/spoolB")))
        << s.log().toStdString();
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("Waiting: cfA001h for lp (its queue's print "
                                                 "record is held by an earlier server's print)")))
        << s.log().toStdString();
    ASSERT_TRUE(writeFile(d + QStringLiteral("/gate"), {}));
    EXPECT_TRUE(s.waitForLog(
        QStringLiteral("Print of cfA001h/0 ended earlier: successful; not printed again"), 20000))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return filesIn(d + QStringLiteral("/spoolB/lp")) == 0; }));
    // The old spool is emptied once the print that held it has ended.
    EXPECT_TRUE(waitUntil([&] { return filesIn(s.spool()) == 0; }, 20000));
    expectEachPrintedOnce(printedJobs(s.outFile()), {1});
    s.stop();
}

// Killed again and again while it prints, and once while a print runs on past its server:
// every printed job has exactly one "printed" line, and the print that ended with no server
// left (here ended by a signal, as its time limit would) has its "failed" line.
TEST(Accounting, EveryPrintHasItsLineAcrossKills)
{
    constexpr int Jobs = 300;
    RunningServer s;
    const QString d = s.dir();
    placeJobs(s.spool(), Jobs);
    const QString once = d + QStringLiteral("/once.sh");
    ASSERT_TRUE(writeScript(once, "cd \"$(dirname \"$0\")\"\n"
                                  "if [ ! -e hung.pid ]; then echo $$ > hung.pid; exec sleep 1000; fi\n"
                                  "cat \"$1\" >> out.bin\n"));
    placeJobs(d + QStringLiteral("/spool/hung"), 1);
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d"),
                         QStringLiteral("hung ") + once + QStringLiteral(" %p/%d")}));
    const QString out = s.outFile();
    for (int printed : {40, 120, 200}) {
        ASSERT_TRUE(waitUntil([&] { return readFile(out).count('\n') >= printed; }, 60000))
            << s.log().toStdString();
        s.kill();
        if (printed == 40) {
            // The hung print outlived its server; it ends now, with nobody to account for it.
            ASSERT_TRUE(waitUntil([&] { return QFile::exists(d + QStringLiteral("/hung.pid")); }));
            ::kill(pid_t(readFile(d + QStringLiteral("/hung.pid")).trimmed().toInt()), SIGTERM);
        }
        ASSERT_TRUE(s.restart());
    }
    EXPECT_TRUE(waitUntil([&] { return filesIn(s.spool()) == 0; }, 120000)) << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return filesIn(d + QStringLiteral("/spool/hung")) == 0; }, 20000));
    QList<int> all;
    for (int id = 0; id < Jobs; ++id)
        all << id;
    QMap<int, int> printed = printedJobs(out);
    printed[0] -= 1; // the hung queue's job 0, printed at its second attempt
    expectEachPrintedOnce(printed, all);

    QMap<QByteArray, int> printedLines;
    QList<QByteArray> failedLines;
    for (const QByteArray& line : readFile(d + QStringLiteral("/spool/accounting.log")).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 11)
            continue;
        if (fields[8] == "printed")
            printedLines[fields[1] + ' ' + fields[3]] += 1;
        else
            failedLines << line;
    }
    for (int id = 0; id < Jobs; ++id)
        EXPECT_EQ(printedLines.value("lp h" + QByteArray::number(id)), 1) << "job " << id;
    EXPECT_EQ(printedLines.value("hung h0"), 1);
    ASSERT_EQ(failedLines.size(), 1) << readFile(d + QStringLiteral("/spool/accounting.log")).toStdString();
    EXPECT_TRUE(failedLines[0].contains("\thung\t") &&
                failedLines[0].endsWith("\tfailed\t0.000\tended after the server stopped: signal 15"))
        << failedLines[0].toStdString();
    s.stop();
}
