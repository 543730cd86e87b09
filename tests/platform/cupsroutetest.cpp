#include "platform/installedprinters.h"
#include "platform/printroutes.h"
#include "privatecups.h"
#include "routedata.h"
#include "networkpeers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class ScopedCupsServer
{
public:
    explicit ScopedCupsServer(const QByteArray& server)
    {
        if (const char* old = std::getenv("CUPS_SERVER"))
            m_old = QByteArray(old);
        ::setenv("CUPS_SERVER", server.constData(), 1);
    }
    ~ScopedCupsServer()
    {
        if (m_old)
            ::setenv("CUPS_SERVER", m_old->constData(), 1);
        else
            ::unsetenv("CUPS_SERVER");
    }
    ScopedCupsServer(const ScopedCupsServer&) = delete;
    ScopedCupsServer& operator=(const ScopedCupsServer&) = delete;

private:
    std::optional<QByteArray> m_old;
};

class CupsRoute : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
        ASSERT_TRUE(cups.addQueue(QStringLiteral("lab"), cups.outputFor(QStringLiteral("lab"))))
            << cups.errorText().toStdString();
    }

    QString dataFile(const QByteArray& bytes)
    {
        return writeDataFile(cups.dir(), QStringLiteral("job%1").arg(++jobs), bytes);
    }

    // Jobs still queued or printing on the queue, as lpstat lists them.
    std::string openJobs()
    {
        QByteArray out;
        EXPECT_TRUE(cups.runTool(QStringLiteral("lpstat"),
                                 {QStringLiteral("-o"), QStringLiteral("lab")}, &out))
            << cups.errorText().toStdString();
        return out.toStdString();
    }

    PrivateCups cups;
    int jobs = 0;
};

TEST_F(CupsRoute, JobsArriveByteExact)
{
    const QString output = cups.outputFor(QStringLiteral("lab"));
    const QByteArray small = everyByteValue();
    RouteResult result = printToCups(QStringLiteral("lab"), dataFile(small));
    ASSERT_TRUE(result.ok) << result.reason.toStdString();
    EXPECT_TRUE(result.reason.isEmpty());
    ASSERT_TRUE(cups.waitForOutput(output, small.size())) << cups.errorLog().toStdString();
    EXPECT_EQ(readFile(output), small);

    // Three MiB and a few bytes: many blocks and a short last one.
    const QByteArray large = noise(3 * 1024 * 1024 + 17);
    result = printToCups(QStringLiteral("lab"), dataFile(large));
    ASSERT_TRUE(result.ok) << result.reason.toStdString();
    ASSERT_TRUE(cups.waitForOutput(output, small.size() + large.size()))
        << cups.errorLog().toStdString();
    EXPECT_TRUE(readFile(output) == small + large);
}

TEST_F(CupsRoute, EmptyJobIsDoneWithoutACupsJob)
{
    // CUPS refuses a document without data; nothing to print is not a failure, as long as
    // the queue exists.
    const QString empty = dataFile(QByteArray());
    const RouteResult result = printToCups(QStringLiteral("lab"), empty);
    EXPECT_TRUE(result.ok) << result.reason.toStdString();
    EXPECT_EQ(openJobs(), "");
    EXPECT_FALSE(printToCups(QStringLiteral("nosuchqueue"), empty).ok);
}

TEST_F(CupsRoute, MissingQueueFails)
{
    const RouteResult result = printToCups(QStringLiteral("nosuchqueue"), dataFile("x"));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("no such printer")))
        << result.reason.toStdString();
}

TEST_F(CupsRoute, QueueRejectingJobsFails)
{
    ASSERT_TRUE(cups.runTool(QStringLiteral("cupsreject"), {QStringLiteral("lab")}))
        << cups.errorText().toStdString();
    const RouteResult result = printToCups(QStringLiteral("lab"), dataFile(everyByteValue()));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("CUPS refused the job")))
        << result.reason.toStdString();
}

TEST_F(CupsRoute, JobCutShortIsCancelled)
{
    // A folder opens like a file but fails on the first read, after the job was created
    // and its document begun: the job must go, not wait or print.
    const QString folder = cups.dir() + QStringLiteral("/notafile");
    ASSERT_TRUE(QDir().mkpath(folder));
    const RouteResult result = printToCups(QStringLiteral("lab"), folder);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("cannot read data file")))
        << result.reason.toStdString();
    EXPECT_EQ(openJobs(), "");

    // The connection is usable again for the next job.
    const RouteResult next = printToCups(QStringLiteral("lab"), dataFile("after"));
    ASSERT_TRUE(next.ok) << next.reason.toStdString();
    const QString output = cups.outputFor(QStringLiteral("lab"));
    ASSERT_TRUE(cups.waitForOutput(output, 5));
    EXPECT_EQ(readFile(output), QByteArray("after"));
}

TEST_F(CupsRoute, StoppedServerFailsPromptly)
{
    const QString file = dataFile(everyByteValue());
    cups.stop();
    // A bound, not a speed check: libcups must give up rather than retry forever.
    auto attempt = onThread([&] { return printToCups(QStringLiteral("lab"), file); });
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const RouteResult result = attempt.get();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(QLatin1String("does not answer")))
        << result.reason.toStdString();
    EXPECT_TRUE(cupsPrinterNames().isEmpty());
}

TEST_F(CupsRoute, PrinterNamesListTheQueues)
{
    ASSERT_TRUE(cups.addQueue(QStringLiteral("second"), cups.outputFor(QStringLiteral("second"))))
        << cups.errorText().toStdString();
    const QStringList names = cupsPrinterNames();
    EXPECT_TRUE(names.contains(QStringLiteral("lab")))
        << names.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("second")));
}

TEST_F(CupsRoute, InstalledPrintersRefreshInTheBackground)
{
    {
        InstalledPrinters printers(1);
        ASSERT_TRUE(
            waitUntil([&] { return printers.names().contains(QStringLiteral("lab")); }, 20000));
        ASSERT_TRUE(cups.addQueue(QStringLiteral("later"), cups.outputFor(QStringLiteral("later"))))
            << cups.errorText().toStdString();
        EXPECT_TRUE(
            waitUntil([&] { return printers.names().contains(QStringLiteral("later")); }, 20000));
    }
    // A long period must not hold up destruction: the worker is woken, not waited out.
    auto printers = std::make_unique<InstalledPrinters>(3600);
    ASSERT_TRUE(
        waitUntil([&] { return printers->names().contains(QStringLiteral("later")); }, 20000));
    auto destroyed = onThread([&] { printers.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    destroyed.wait();

    InstalledPrinters quiet(0);
    spinFor(200);
    EXPECT_TRUE(quiet.names().isEmpty());
    quiet.setNames({QStringLiteral("set by hand")});
    EXPECT_EQ(quiet.names(), QStringList{QStringLiteral("set by hand")});
}

// libcups remembers its server per thread; the despooler thread outlives any one server,
// so the route must follow CUPS_SERVER as it changes.
TEST(CupsRouteServers, SameThreadFollowsANewServer)
{
    auto first = std::make_unique<PrivateCups>();
    ASSERT_TRUE(first->start()) << first->errorText().toStdString();
    ASSERT_TRUE(first->addQueue(QStringLiteral("lab"), first->outputFor(QStringLiteral("lab"))))
        << first->errorText().toStdString();
    QTemporaryDir jobs;
    ASSERT_TRUE(jobs.isValid());
    const QString file = writeDataFile(jobs.path(), QStringLiteral("job"), everyByteValue());
    ASSERT_FALSE(file.isEmpty());

    std::promise<void> secondReady;
    std::promise<RouteResult> firstDone;
    auto firstResult = firstDone.get_future();
    auto worker = onThread([&] {
        firstDone.set_value(printToCups(QStringLiteral("lab"), file));
        secondReady.get_future().wait();
        return printToCups(QStringLiteral("lab"), file);
    });
    const RouteResult one = firstResult.get();
    EXPECT_TRUE(one.ok) << one.reason.toStdString();
    EXPECT_TRUE(first->waitForOutput(first->outputFor(QStringLiteral("lab")), 256));
    first.reset();

    PrivateCups second;
    const bool started = second.start();
    const bool queued =
        started && second.addQueue(QStringLiteral("lab"), second.outputFor(QStringLiteral("lab")));
    secondReady.set_value();
    const RouteResult two = awaitResult(worker, 60000);
    ASSERT_TRUE(started) << second.errorText().toStdString();
    ASSERT_TRUE(queued) << second.errorText().toStdString();
    EXPECT_TRUE(two.ok) << two.reason.toStdString();
    ASSERT_TRUE(second.waitForOutput(second.outputFor(QStringLiteral("lab")), 256));
    EXPECT_EQ(readFile(second.outputFor(QStringLiteral("lab"))), everyByteValue());
}

// libcups alone would wait minutes on a scheduler that never answers; the route gives up
// after half a minute of silence, and a listing in progress ends with its owner.
TEST(CupsRouteSilentServer, RouteGivesUpAndListingIsCutShort)
{
    SilentServer silent;
    ASSERT_NE(silent.port(), 0);
    const QByteArray server = "127.0.0.1:" + QByteArray::number(silent.port());
    ScopedCupsServer env(server);
    QTemporaryDir jobs;
    ASSERT_TRUE(jobs.isValid());
    const QString file = writeDataFile(jobs.path(), QStringLiteral("job"), everyByteValue());

    auto attempt = onThread([&] { return printToCups(QStringLiteral("lab"), file); });
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    const RouteResult result = attempt.get();
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(QString::fromLatin1(server))) << result.reason.toStdString();

    // With a print time limit the route ends at the limit, long before the half minute.
    auto limited = onThread([&] { return printToCups(QStringLiteral("lab"), file, 2000); });
    ASSERT_EQ(limited.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_FALSE(limited.get().ok);

    auto printers = std::make_unique<InstalledPrinters>(1);
    spinFor(1500); // the worker is now waiting on the silent server
    auto destroyed = onThread([&] { printers.reset(); });
    // Far less than the half minute a listing could otherwise wait.
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    destroyed.wait();
}

} // namespace
