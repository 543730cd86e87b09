// Queue state (03, 04) and job removal (05) against jobs received over the wire.

#include "serverfixture.h"

#include "protocol/queuecommands.h"
#include "spool/spooljob.h"

#include <QDir>
#include <QFile>

class QueueCommandsTest : public ServerFixture
{
protected:
    void addJob(const QByteArray& user, int number, const QByteArray& title = "t")
    {
        const QByteArray n = QByteArray::number(number).rightJustified(3, '0');
        const QByteArray cf = "cfA" + n + "host";
        const QByteArray df = "dfA" + n + "host";
        const int before = server->pendingJobs().count();
        client([&] {
            return sendJob(port, "lp", cf, "P" + user + "\nJ" + title + "\nl" + df + "\n", df,
                           QByteArray(100, 'd'));
        });
        ASSERT_TRUE(waitUntil([&] { return server->pendingJobs().count() == before + 1; }));
    }

    QByteArray ask(const QByteArray& line)
    {
        return client([&] {
            LoopbackClient c;
            c.connectTo(port);
            c.send(line);
            return c.readAll(5000);
        });
    }
};

TEST(QueueReport, AbbreviateAndJobLineLayout)
{
    EXPECT_EQ(abbreviate(QStringLiteral("short"), 15), QStringLiteral("short"));
    const QString forty = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789ABCD");
    const QString cut = abbreviate(forty, 38);
    EXPECT_EQ(cut, forty.left(17) + QStringLiteral("...") + forty.right(18));
    EXPECT_EQ(abbreviate(QStringLiteral("0123456789abcdefg"), 15),
              QStringLiteral("012345...bcdefg"));
    SpoolJob job;
    job.user = QStringLiteral("alice");
    job.jobNumber = 7;
    job.title = QStringLiteral("report.txt");
    job.size = 1234;
    EXPECT_EQ(reportLine(job), "alice" + QByteArray(10, ' ') + " 007 report.txt" +
                                   QByteArray(28, ' ') + "       1234 bytes\n");
    // UTF-8 from the client (held as Latin-1, a character per byte): columns count
    // characters and a cut never splits one; other bytes stay one character each.
    const QByteArray grusse = "Gr\xC3\xBC\xC3\x9F"
                              "e \xE2\x80\x93 ";
    job.user = QString::fromLatin1("J\xC3\xBCrgen");
    job.title = QString::fromLatin1(grusse.repeated(5));
    EXPECT_EQ(reportLine(job), "J\xC3\xBCrgen" + QByteArray(9, ' ') + " 007 " + grusse.repeated(2) +
                                   "G..." + grusse.mid(8) + grusse.repeated(2) +
                                   "       1234 bytes\n");
    job.title = QString::fromLatin1("caf\xE9");
    EXPECT_TRUE(reportLine(job).contains(" caf\xE9" + QByteArray(34, ' ') + ' '));
}

TEST_F(QueueCommandsTest, ShortAndLongReportsWithFilters)
{
    startServer();
    EXPECT_EQ(ask("\x03lp\n"),
              QByteArray("short queue for printer lp\n") + QueueCommands::HeaderLine);
    EXPECT_TRUE(logHas(QStringLiteral("List lp successful.")));
    addJob("alice", 7, "report.txt");
    addJob("bob", 8);
    addJob("carol", 9);
    const QByteArray all = ask("\x04lp\n");
    EXPECT_TRUE(
        all.startsWith("long queue for printer lp\n" + QByteArray(QueueCommands::HeaderLine)));
    EXPECT_EQ(all.count('\n'), 5);
    const QByteArray filtered = ask("\x04lp alice 009\n");
    EXPECT_EQ(filtered.count('\n'), 4);
    EXPECT_TRUE(filtered.contains("alice           007 report.txt"));
    EXPECT_TRUE(filtered.contains("carol           009 t "));
    EXPECT_FALSE(filtered.contains("bob"));
    // RFC 1179's white space separates operands (SP, HT, VT, FF), and a blank after the
    // last one adds no empty filter that would list nothing.
    EXPECT_EQ(ask("\x04lp\talice\v\f009 \t\n"), filtered);
    EXPECT_EQ(ask("\x03lp \t\n").count('\n'), 5);
    // Another letter case is the same queue.
    EXPECT_EQ(ask("\x03LP\n").count('\n'), 5);
    // A spooling-disabled printer can be listed; an unknown queue cannot, and the client
    // is told so in words.
    EXPECT_EQ(ask("\x03nospool\n").count('\n'), 2);
    EXPECT_EQ(ask("\x03nosuch\n"), QByteArray("no such printer: nosuch\n"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: List nosuch - no such printer.")));
    EXPECT_EQ(ask("\x04\n"), QByteArray("no such printer: \n"));
}

TEST_F(QueueCommandsTest, RemovalRulesForAgentsUsersAndNumbers)
{
    startServer();
    addJob("alice", 1);
    addJob("bob", 2);
    addJob("alice", 3);
    // Two words: only the first job of the queue is considered.
    EXPECT_EQ(ask("\x05lp bob\n"), QByteArray("Dequeue:\n"));
    EXPECT_EQ(server->pendingJobs().count(), 3);
    // bob may not remove alice's jobs.
    EXPECT_EQ(ask("\x05lp bob alice\n"), QByteArray("Dequeue:\n"));
    EXPECT_EQ(server->pendingJobs().count(), 3);
    // By number: answered without " dequeued."; a tab separates, a trailing blank is none.
    EXPECT_EQ(ask("\x05lp\tbob\t002 \n"), QByteArray("Dequeue:\nbob 2\n"));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/cfA002host")));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA002host")));
    // root removes every job of alice.
    EXPECT_EQ(ask("\x05lp root alice\n"),
              QByteArray("Dequeue:\nalice 1 dequeued.\nalice 3 dequeued.\n"));
    EXPECT_TRUE(server->pendingJobs().isEmpty());
    EXPECT_TRUE(logHas(QStringLiteral("Dequeue lp successful.")));
    addJob("carol", 4);
    EXPECT_EQ(ask("\x05lp carol\n"), QByteArray("Dequeue:\ncarol 4 dequeued.\n"));
    // LPRng's "lprm all": every job the agent may remove, in any letter case of the queue.
    addJob("alice", 5);
    addJob("bob", 6);
    addJob("carol", 7);
    EXPECT_EQ(ask("\x05LP bob all\n"), QByteArray("Dequeue:\nbob 6 dequeued.\n"));
    EXPECT_EQ(ask("\x05Lp root all\n"),
              QByteArray("Dequeue:\nalice 5 dequeued.\ncarol 7 dequeued.\n"));
    EXPECT_TRUE(server->pendingJobs().isEmpty());
    EXPECT_TRUE(QDir(queueDir()).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(ask("\x05nospool root\n"), QByteArray("no such printer: nospool\n"));
    EXPECT_TRUE(logHas(QStringLiteral("ERROR: Dequeue nospool - no such printer.")));
}

TEST_F(QueueCommandsTest, ReportPausesDoNotHoldUpOtherConnections)
{
    Settings s = defaults();
    s.maxConn = 100;
    startServer(s);
    // Many reports at once all complete; each one's pauses run on timers.
    auto futures = std::vector<std::future<QByteArray>>();
    for (int i = 0; i < 20; ++i)
        futures.push_back(onThread([this] { return queueState(port); }));
    for (auto& f : futures)
        EXPECT_EQ(awaitResult(f),
                  QByteArray("short queue for printer lp\n") + QueueCommands::HeaderLine);
}
