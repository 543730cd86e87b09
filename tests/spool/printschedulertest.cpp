// The print scheduler with real print commands (shell scripts written here).

#include "spool/printscheduler.h"
#include "config/logsink.h"
#include "spool/pendingjoblist.h"
#include "spool/spool.h"

#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

class Despool : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    LogSink log;
    PendingJobList jobs;
    Spool spoolFolder{dir.path() + QStringLiteral("/spool")};
    PrintScheduler scheduler{jobs, spoolFolder, log};

    QString spool() const { return spoolFolder.path(); }

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

    // Prints with these printers until every waiting queue has been tried: nothing runs,
    // and what is left waits for a retry or has printing disabled.
    void runPass(const QStringList& printers, int printTimeLimitMs = 0, bool logOutput = false)
    {
        const QList<PrinterDefinition> definitions = parsePrinterDefinitions(printers);
        log.setPrintingEnabled(logOutput);
        scheduler.configure(definitions, printTimeLimitMs);
        ASSERT_TRUE(waitUntil([&] { return settled(definitions); }, 10000));
        // The prints' log lines wait in this thread's queue.
        QCoreApplication::sendPostedEvents();
    }

    bool settled(const QList<PrinterDefinition>& printers)
    {
        if (scheduler.runningPrints() > 0)
            return false;
        QSet<QString> waiting;
        for (const PrintScheduler::QueueState& state : scheduler.queueStates()) {
            if (state.nextAttemptMs > 0)
                waiting << queueKey(state.queue);
        }
        for (const auto& job : jobs.queueHeads(waiting)) {
            const PrinterDefinition* printer = findPrinter(printers, job->queue);
            if (!printer || !printer->printingDisabled)
                return false;
        }
        return true;
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
    // %p leads to the folder that was checked, by a name no rename can turn elsewhere.
    const QString print =
        script("print.sh", "printf '%s|%s\\n' \"$PWD\" \"$(readlink -f \"$1\")\" >> out.txt\n");
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
    // A queue without a definition is a CUPS printer's: raw to it, here with no CUPS to take it.
    EXPECT_FALSE(log.lines().filter(QStringLiteral("Failed: gone (")).isEmpty())
        << log.lines().join(u'\n').toStdString();
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
    EXPECT_EQ(log.lines().filter(QStringLiteral("Failed: local port ")).size(), 1);
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

    // A server that died after the first line printed (its record says so, for this very
    // control file) prints the rest; an entry left by another job of the same name (removed
    // after a crash) counts for nothing.
    auto identity = [&](const char* controlFile) {
        struct stat st
        {
        };
        ::stat(QFile::encodeName(queueDir + QLatin1Char('/') + QLatin1String(controlFile)), &st);
        return QByteArray::number(quint64(st.st_ino)) + '.' +
               QByteArray::number(qint64(st.st_mtim.tv_sec)) +
               QByteArray::number(qint64(st.st_mtim.tv_nsec)).rightJustified(9, '0');
    };
    addJob(QStringLiteral("lp"), 2);
    addJob(QStringLiteral("lp"), 3);
    writeFile(queueDir + QStringLiteral("/.:printing"),
              "cfA002h/0@1.1\nexit 0\ncfA003h/0@" + identity("cfA003h") + "\nexit 0\n");
    runPass(printer);
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")),
              QByteArray("l dfA001h\nr dfB001h\nl dfA001h\nl dfA002h\n"));
    EXPECT_TRUE(log.contains(
        QStringLiteral("Print of cfA003h/0 ended earlier: successful; not printed again")));
    EXPECT_FALSE(log.lines().join(u'\n').contains(QStringLiteral("Successful: ") + print +
                                                  QStringLiteral(" l dfA003h")));
    EXPECT_TRUE(jobs.isEmpty());

    // A record that does not parse (here an entry cut off) may have held the end of a print
    // that finished: the queue waits, says why in one line, and leaves the record for the
    // operator; mended, the job prints.
    addJob(QStringLiteral("lp"), 5);
    const QString record = queueDir + QStringLiteral("/.:printing");
    writeFile(record, "cfA005h/0@" + identity("cfA005h").left(4) + "\n");
    runPass(printer);
    EXPECT_EQ(jobs.count(), 1);
    const QStringList waiting = log.lines().filter(QStringLiteral("cfA005h"));
    ASSERT_EQ(waiting.size(), 1) << waiting.join(u'\n').toStdString();
    EXPECT_TRUE(waiting[0].startsWith(QStringLiteral("Waiting: cfA005h for lp (print record ") +
                                      record +
                                      QStringLiteral(" does not parse: line 1 is not an entry); "
                                                     "next attempt at ")));
    EXPECT_EQ(readFile(record), "cfA005h/0@" + identity("cfA005h").left(4) + "\n");
    writeFile(record, "\n");
    runPass(printer);
    EXPECT_TRUE(jobs.isEmpty());
    EXPECT_TRUE(readFile(dir.path() + QStringLiteral("/out.txt")).endsWith("l dfA005h\n"));

    // A job removed (lprm, Dequeue) takes its entries with it.
    addJob(QStringLiteral("lp"), 4);
    writeFile(queueDir + QStringLiteral("/.:printing"),
              "cfA004h/0@" + identity("cfA004h") + "\nexit 0\n");
    jobs.removeIf([&](const PendingJobList::Entry& e) {
        deleteJobFiles(queueDir, *e.job);
        return PendingJobList::Verdict::Remove;
    });
    EXPECT_FALSE(readFile(queueDir + QStringLiteral("/.:printing")).contains("cfA004h"));
}

// A queue whose command hangs holds only itself: the other queue prints its jobs in order,
// each leaving the list when its own print ends; the stop ends the hung print and keeps
// its job.
TEST_F(Despool, AHungQueueDelaysOnlyItselfAndPrintedJobsLeaveTheListAtOnce)
{
    const QString hang = script("hang", "sleep 1000\n");
    const QString print = script("print.sh", "echo \"$1\" >> out.txt\n");
    addJob(QStringLiteral("slow"), 1);
    for (int n = 2; n <= 4; ++n)
        addJob(QStringLiteral("lp"), n);
    QList<int> listed;
    QObject::connect(&scheduler, &PrintScheduler::jobsChanged, [&] { listed << jobs.count(); });
    scheduler.configure(
        parsePrinterDefinitions({QStringLiteral("slow ") + hang,
                                 QStringLiteral("lp ") + print + QStringLiteral(" %d")}),
        60000);
    ASSERT_TRUE(waitUntil([&] { return jobs.count() == 1; }, 10000));
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")),
              QByteArray("dfA002h\ndfA003h\ndfA004h\n"));
    EXPECT_EQ(listed, (QList<int>{3, 2, 1}));
    EXPECT_EQ(scheduler.runningPrints(), 1);
    bool slowRuns = false;
    for (const PrintScheduler::QueueState& state : scheduler.queueStates())
        slowRuns |=
            state.queue == QStringLiteral("slow") && state.runningJob == QStringLiteral("cfA001h");
    EXPECT_TRUE(slowRuns);

    scheduler.stop(0);
    EXPECT_EQ(scheduler.runningPrints(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral(
        "Stopping: the print still ran after 0 s; ended, its job stays for the next start")));
    EXPECT_EQ(jobs.displayStrings(), QStringList{QStringLiteral("slow u 1")});
}

// A failing queue waits longer after each failure, says when it tries again, and lets
// other queues print meanwhile; a success resets its back-off.
TEST_F(Despool, AFailingQueueBacksOffAndASuccessResetsIt)
{
    scheduler.setRetryDelays(200, 800);
    const QString flaky =
        script("flaky.sh", "test -e \"$(dirname \"$0\")/ok\" || exit 1\necho \"$1\" >> out.txt\n");
    const QString print = script("print.sh", "echo \"$1\" >> other.txt\n");
    addJob(QStringLiteral("lp"), 1);
    scheduler.configure(
        parsePrinterDefinitions({QStringLiteral("lp ") + flaky + QStringLiteral(" %d"),
                                 QStringLiteral("other ") + print + QStringLiteral(" %d")}),
        0);
    const QString next = QStringLiteral("Next attempt for lp (cfA001h) at ");
    auto attempts = [&] {
        QStringList seen;
        for (const QString& line : log.lines()) {
            if (line.startsWith(next))
                seen << line.section(QStringLiteral(", "), -1);
            else if (line.startsWith(QStringLiteral("Starting ") + flaky))
                seen << QStringLiteral("start");
            else if (line.startsWith(QStringLiteral("Failed: ") + flaky))
                seen << QStringLiteral("failed");
        }
        return seen;
    };
    ASSERT_TRUE(waitUntil([&] { return attempts().count(QStringLiteral("failed")) >= 1; }));
    addJob(QStringLiteral("other"), 2);
    scheduler.wake();
    ASSERT_TRUE(waitUntil([&] { return attempts().count(QStringLiteral("in 800 ms")) >= 2; }));
    EXPECT_EQ(attempts().mid(0, 12),
              (QStringList{
                  QStringLiteral("start"), QStringLiteral("failed"), QStringLiteral("in 200 ms"),
                  QStringLiteral("start"), QStringLiteral("failed"), QStringLiteral("in 400 ms"),
                  QStringLiteral("start"), QStringLiteral("failed"), QStringLiteral("in 800 ms"),
                  QStringLiteral("start"), QStringLiteral("failed"), QStringLiteral("in 800 ms")}));
    // The other queue did not wait for lp's retries.
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/other.txt")), QByteArray("dfA002h\n"));

    ASSERT_TRUE(writeFile(dir.path() + QStringLiteral("/ok"), {}));
    ASSERT_TRUE(waitUntil([&] { return jobs.isEmpty(); }));
    EXPECT_EQ(readFile(dir.path() + QStringLiteral("/out.txt")), QByteArray("dfA001h\n"));
    QFile::remove(dir.path() + QStringLiteral("/ok"));
    addJob(QStringLiteral("lp"), 3);
    addJob(QStringLiteral("lp"), 4);
    scheduler.wake();
    ASSERT_TRUE(waitUntil([&] {
        return log.lines().last().startsWith(QStringLiteral("Next attempt for lp (cfA003h)"));
    }));
    EXPECT_TRUE(log.lines().last().endsWith(QStringLiteral(", in 200 ms")));
    // Only the queue's first job is marked as waiting for its retry.
    const auto retrying = jobs.retryingHeads();
    ASSERT_EQ(retrying.size(), 1u);
    EXPECT_EQ(retrying[0].job->controlFile, QStringLiteral("cfA003h"));
    EXPECT_EQ(retrying[0].retryAtMs, jobs.retryAt(queueKey(QStringLiteral("lp"))));
    scheduler.retryNow();
    EXPECT_TRUE(jobs.retryingHeads().empty());
}
