// A despooler pass with real print commands (shell scripts written here).

#include "config/logsink.h"
#include "spool/despooler.h"
#include "spool/pendingjoblist.h"

#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class Despool : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    LogSink log;
    PendingJobList jobs;

    QString spool() const { return dir.path() + QStringLiteral("/spool"); }

    void addJob(const QString& queue, int number, const QString& dataName = {})
    {
        const QString n = QString::number(number).rightJustified(3, QLatin1Char('0'));
        SpoolJob job;
        job.queue = queue;
        job.user = QStringLiteral("u");
        job.jobNumber = number;
        job.controlFile = QStringLiteral("cfA") + n + QStringLiteral("h");
        job.printLines = {
            {'l', dataName.isEmpty() ? QStringLiteral("dfA") + n + QStringLiteral("h") : dataName}};
        const QString folder = spool() + QLatin1Char('/') + queue.toLower();
        QDir().mkpath(folder);
        writeFile(folder + QLatin1Char('/') + job.controlFile, "Pu\n");
        writeFile(folder + QLatin1Char('/') + job.printLines[0].dataFile, "data " + n.toLatin1());
        jobs.append(job);
    }

    void runPass(const QStringList& printers, int printTimeLimitMs = 0, bool logOutput = false)
    {
        Despooler pass(jobs, parsePrinterDefinitions(printers), spool(), log);
        pass.setPrintTimeLimit(printTimeLimitMs);
        pass.setLogSuccessfulOutput(logOutput);
        pass.start();
        ASSERT_TRUE(waitUntil([&] { return pass.isFinished(); }, 10000));
        pass.wait();
        // The pass's log lines wait in this thread's queue.
        QCoreApplication::sendPostedEvents();
    }

    QString script(const char* name, const QByteArray& body)
    {
        const QString path = dir.path() + QLatin1Char('/') + QString::fromLatin1(name);
        writeScript(path, body);
        return path;
    }
};

TEST_F(Despool, CommandPrintsInOrderAndRemovesPrintedJobs)
{
    const QString print = script("print.sh", "printf '%s|%s\\n' \"$PWD\" \"$1\" >> out.txt\n");
    addJob(QStringLiteral("lp"), 1);
    addJob(QStringLiteral("LP"), 2); // another letter case: same definition, same folder
    runPass({QStringLiteral("lp2 /bin/false"),
             QStringLiteral("lp ") + print + QStringLiteral(" %p/%d")});
    const QString queueDir = spool() + QStringLiteral("/lp");
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")),
              (dir.path() + QStringLiteral("|") + queueDir + QStringLiteral("/dfA001h\n") +
               dir.path() + QStringLiteral("|") + queueDir + QStringLiteral("/dfA002h\n"))
                  .toLocal8Bit());
    EXPECT_TRUE(jobs.isEmpty());
    EXPECT_TRUE(jobs.changed());
    EXPECT_TRUE(QDir(queueDir).entryList(QDir::Files).isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("Starting ") + print + QLatin1Char(' ') + queueDir +
                             QStringLiteral("/dfA001h")));
    EXPECT_TRUE(log.contains(QStringLiteral("Successful: ") + print + QLatin1Char(' ') + queueDir +
                             QStringLiteral("/dfA002h")));
}

TEST_F(Despool, FailuresKeepTheJobForTheNextPass)
{
    const QString fails = script("fails.sh", "exit 3\n");
    const QString killed = script("killed.sh", "kill -9 $$\n");
    addJob(QStringLiteral("lp"), 1);
    addJob(QStringLiteral("dead"), 2);
    addJob(QStringLiteral("gone"), 3);
    addJob(QStringLiteral("off"), 4);
    addJob(QStringLiteral("missing"), 5);
    addJob(QStringLiteral("empty"), 6);
    runPass({QStringLiteral("lp ") + fails + QStringLiteral(" %d"),
             QStringLiteral("dead ") + killed, QStringLiteral("-off /bin/true"),
             QStringLiteral("missing /no/such/program %d"), QStringLiteral("empty ")});
    EXPECT_EQ(jobs.count(), 6);
    EXPECT_FALSE(jobs.changed());
    EXPECT_TRUE(log.contains(QStringLiteral("Failed: ") + fails +
                             QStringLiteral(" dfA001h (exit status 3)")));
    EXPECT_TRUE(
        log.contains(QStringLiteral("Failed: ") + killed + QStringLiteral("  (exit status 137)")));
    EXPECT_TRUE(log.contains(QStringLiteral("ERROR: Jobfile-Printer gone not found.")));
    EXPECT_TRUE(log.contains(QStringLiteral("Command not found: /no/such/program dfA005h")));
    EXPECT_TRUE(log.contains(QStringLiteral("Command not found:  ")));
    EXPECT_TRUE(QFile::exists(spool() + QStringLiteral("/lp/dfA001h")));
}

TEST_F(Despool, ClientFileNamesNeverBecomeExtraArgumentsOrShellCode)
{
    const QString args =
        script("args.sh", "for a in \"$@\"; do printf '[%s]' \"$a\" >> args.txt; done\n");
    addJob(QStringLiteral("lp"), 7, QStringLiteral("dfA007 $(touch pwned) ; x %c"));
    runPass({QStringLiteral("lp ") + args + QStringLiteral(" -x %d")});
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/args.txt")),
              QByteArray("[-x][dfA007 $(touch pwned) ; x %c]"));
    EXPECT_FALSE(QFile::exists(dir.path() + QStringLiteral("/pwned")));
    EXPECT_TRUE(jobs.isEmpty());
}

TEST_F(Despool, RawToADeviceCopiesTheDataFile)
{
    const QString device = dir.path() + QStringLiteral("/device");
    ASSERT_TRUE(writeFile(device, {}));
    addJob(QStringLiteral("lp"), 9);
    runPass({QStringLiteral("lp |local port ") + device});
    EXPECT_EQ(readFile(device), QByteArray("data 009"));
    EXPECT_TRUE(
        log.contains(QStringLiteral("Printing to |local port ") + device + QLatin1Char(' ')));
    EXPECT_TRUE(jobs.isEmpty());

    addJob(QStringLiteral("lp"), 10);
    runPass({QStringLiteral("lp |local port ") + dir.path() + QStringLiteral("/no-device")});
    EXPECT_EQ(jobs.count(), 1);
    EXPECT_TRUE(log.lines().last().startsWith(QStringLiteral("Failed: local port ")));
}

TEST_F(Despool, EmptyListEndsAtOnce)
{
    runPass({QStringLiteral("lp /bin/true")});
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(Despool, HangingCommandEndsAtTheLimitAndItsOutputIsLogged)
{
    const QString hang = script("hang", "echo warming up\necho paper jam >&2\nsleep 1000\n");
    addJob(QStringLiteral("lp"), 1);
    runPass({QStringLiteral("lp ") + hang + QStringLiteral(" %d")}, 500);
    const QString prefix = QStringLiteral("Output of lp (") + hang + QStringLiteral("): ");
    EXPECT_TRUE(log.contains(prefix + QStringLiteral("warming up")));
    EXPECT_TRUE(log.contains(prefix + QStringLiteral("paper jam")));
    EXPECT_TRUE(log.contains(QStringLiteral("Failed: ") + hang +
                             QStringLiteral(" dfA001h (ended with its processes at the time limit "
                                            "of 500 ms)")))
        << log.lines().join(u'\n').toStdString();
    // The job stays for the next pass.
    EXPECT_EQ(jobs.count(), 1);
    EXPECT_TRUE(QFile::exists(spool() + QStringLiteral("/lp/dfA001h")));

    // A command that succeeds: its output only with the Printing category.
    const QString chatty = script("chatty", "echo all fine\n");
    const QString fine = QStringLiteral("Output of lp (") + chatty + QStringLiteral("): all fine");
    addJob(QStringLiteral("lp"), 2);
    runPass({QStringLiteral("lp ") + chatty + QStringLiteral(" %d")}, 60000);
    EXPECT_FALSE(log.contains(fine));
    addJob(QStringLiteral("lp"), 3);
    runPass({QStringLiteral("lp ") + chatty + QStringLiteral(" %d")}, 60000, true);
    EXPECT_TRUE(log.contains(fine));
    EXPECT_EQ(jobs.count(), 0);
}

TEST_F(Despool, AJobWithoutItsDataFileNeverReachesTheCommand)
{
    const QString print = script("print.sh", "echo ran >> ran.txt\n");
    addJob(QStringLiteral("lp"), 1);
    QFile::remove(spool() + QStringLiteral("/lp/dfA001h"));
    runPass({QStringLiteral("lp ") + print + QStringLiteral(" %p/%d")});
    EXPECT_FALSE(QFile::exists(dir.path() + QStringLiteral("/ran.txt")));
    EXPECT_TRUE(log.contains(QStringLiteral("Failed: cfA001h has no data file")));
    EXPECT_EQ(jobs.count(), 1);
}

TEST_F(Despool, EachPrintLineOnceInOrderAndAFailedLineDoesNotReprintTheOthers)
{
    // Two files, the first in two copies, a third line of another format: the command runs
    // once per line and sees the line's letter.
    const QString print = script("print.sh", "[ -e fail-b ] && [ \"$2\" = dfB001h ] && exit 1\n"
                                             "printf '%s %s\\n' \"$1\" \"$2\" >> out.txt\n");
    addJob(QStringLiteral("lp"), 1);
    SpoolJob job = *jobs.snapshot().front().job;
    jobs.removeIf([](const PendingJobList::Entry&) { return PendingJobList::Verdict::Remove; });
    job.printLines = {{'l', QStringLiteral("dfA001h")},
                      {'r', QStringLiteral("dfB001h")},
                      {'l', QStringLiteral("dfA001h")}};
    const QString queueDir = spool() + QStringLiteral("/lp");
    writeFile(queueDir + QStringLiteral("/dfB001h"), "b");
    jobs.append(job);
    writeFile(dir.path() + QStringLiteral("/fail-b"), {});
    const QStringList printer{QStringLiteral("lp ") + print + QStringLiteral(" %f %d")};
    runPass(printer);
    // The second line failed: the job stays, the first line is not printed again later.
    EXPECT_EQ(jobs.count(), 1);
    QFile::remove(dir.path() + QStringLiteral("/fail-b"));
    runPass(printer);
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")),
              QByteArray("l dfA001h\nr dfB001h\nl dfA001h\n"));
    EXPECT_TRUE(jobs.isEmpty());
    EXPECT_TRUE(QDir(queueDir).entryList(QDir::Files).isEmpty());

    // A server that died after the first line printed (its record says so) prints the rest.
    addJob(QStringLiteral("lp"), 2);
    writeFile(queueDir + QStringLiteral("/:printing"), "cfA002h/0\nexit 0\n");
    runPass(printer);
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")),
              QByteArray("l dfA001h\nr dfB001h\nl dfA001h\n"));
    EXPECT_TRUE(log.contains(QStringLiteral("Print of cfA002h/0 ended earlier: successful")));
    EXPECT_TRUE(jobs.isEmpty());
}
