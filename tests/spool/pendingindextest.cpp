// The pending list finds duplicates through an index of jobs (queue in any letter case and
// control file name) and display strings through one of case-folded display strings; both
// must answer exactly as a walk comparing every entry would.

#include "spool/pendingjoblist.h"
#include "spool/spooljob.h"

#include <gtest/gtest.h>

namespace {

SpoolJob job(const char* queue, const QString& user, int number, const char* host = "h")
{
    SpoolJob j;
    j.queue = QString::fromLatin1(queue);
    j.user = user;
    j.jobNumber = number;
    j.controlFile = QStringLiteral("cfA%1%2")
                        .arg(number, 3, 10, QLatin1Char('0'))
                        .arg(QString::fromLatin1(host));
    return j;
}

} // namespace

TEST(PendingIndex, DuplicatesIgnoreCaseAndLeaveWithTheirEntries)
{
    PendingJobList list;
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("Bob"), 1)));
    EXPECT_FALSE(list.addIfNew(job("LP", QStringLiteral("bOB"), 1)));
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("bob"), 2)));
    // Letters beyond ASCII fold too, as QString::compare folds them.
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("J\u00d6RG"), 3)));
    EXPECT_FALSE(list.addIfNew(job("LP", QStringLiteral("J\u00d6RG"), 3)));
    EXPECT_TRUE(list.containsDisplay(QStringLiteral("LP j\u00f6rg 3")));
    EXPECT_EQ(list.count(), 3);
    // The same queue, user and number from another host is another job.
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("bob"), 2, "other")));
    auto printed = list.beginJob(3);
    ASSERT_TRUE(printed);
    list.endPrint(printed.get(), true);

    // Claimed names are held by one owner at a time; a listed job's go with its entry.
    const QString cf = QStringLiteral("/spool/lp/cfA004h");
    EXPECT_TRUE(list.claimFile(cf));
    EXPECT_FALSE(list.claimFile(cf));
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("claims"), 4), {cf}));
    EXPECT_TRUE(list.isClaimed(cf));
    printed = list.beginJob(3);
    ASSERT_TRUE(printed);
    list.endPrint(printed.get(), true);
    EXPECT_FALSE(list.isClaimed(cf));

    // Local jobs are appended without the check; the name stays taken until the last goes.
    list.append(job("lp", QStringLiteral("bob"), 1));
    EXPECT_EQ(list.count(), 4);
    printed = list.beginJob(0);
    ASSERT_TRUE(printed);
    list.endPrint(printed.get(), true); // prints and removes the first "lp Bob 1"
    EXPECT_TRUE(list.containsDisplay(QStringLiteral("lp bob 1")));
    EXPECT_FALSE(list.addIfNew(job("lp", QStringLiteral("BOB"), 1)));
    EXPECT_EQ(list.removeIf([](const PendingJobList::Entry& e) {
        return e.display == QStringLiteral("lp bob 1") ? PendingJobList::Verdict::Remove
                                                       : PendingJobList::Verdict::Keep;
    }),
              1);
    EXPECT_FALSE(list.containsDisplay(QStringLiteral("lp bob 1")));
    EXPECT_TRUE(list.addIfNew(job("lp", QStringLiteral("Bob"), 1)));

    // A job that is not printed keeps its name.
    printed = list.beginJob(0);
    ASSERT_TRUE(printed);
    list.endPrint(printed.get(), false);
    EXPECT_TRUE(list.containsDisplay(QStringLiteral("lp bob 2")));
    EXPECT_EQ(list.displayStrings(),
              QStringList({QStringLiteral("lp bob 2"), QStringLiteral("lp J\u00d6RG 3"),
                           QStringLiteral("lp Bob 1")}));
}

// Every queue keeps its own list: its first job is offered until it prints, the queues are
// offered in the order of their first jobs, and a removal anywhere (a print's end, Dequeue,
// a remote removal of one queue) leaves the other queues and the order of arrival as they were.
TEST(PendingIndex, QueuesKeepTheirOwnOrderAndFirstJobs)
{
    PendingJobList list;
    list.append(job("a", QStringLiteral("u"), 1));
    list.append(job("B", QStringLiteral("u"), 2));
    list.append(job("A", QStringLiteral("u"), 3));
    list.append(job("c", QStringLiteral("u"), 4));
    list.append(job("b", QStringLiteral("u"), 5));
    auto numbers = [](const auto& jobs) {
        QList<int> out;
        for (const auto& j : jobs)
            out << j->jobNumber;
        return out;
    };
    auto entryNumbers = [](const std::vector<PendingJobList::Entry>& entries) {
        QList<int> out;
        for (const auto& e : entries)
            out << e.job->jobNumber;
        return out;
    };
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({1, 2, 4}));
    EXPECT_EQ(numbers(list.queueHeads({}, 2)), QList<int>({1, 2}));
    EXPECT_EQ(numbers(list.queueHeads({queueKey(QStringLiteral("A"))}, 2)), QList<int>({2, 4}));
    EXPECT_EQ(entryNumbers(list.queueEntries(queueKey(QStringLiteral("B")))), QList<int>({2, 5}));
    EXPECT_TRUE(list.queueEntries(queueKey(QStringLiteral("none"))).empty());

    // A queue whose first job prints offers nothing; after a failed print it offers the same
    // job again, after a good one the next.
    auto first = list.queueHeads({}, 1).front();
    ASSERT_TRUE(list.beginPrint(first.get()));
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({2, 4}));
    list.endPrint(first.get(), false);
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({1, 2, 4}));
    ASSERT_TRUE(list.beginPrint(first.get()));
    list.endPrint(first.get(), true);
    EXPECT_FALSE(list.beginPrint(first.get()));
    // Queue a now starts with 3, which arrived after b's and c's first jobs.
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({2, 3, 4}));

    // Removing one queue's jobs walks that queue only and keeps the job being printed.
    auto b = list.queueHeads({}, 1).front();
    ASSERT_EQ(b->jobNumber, 2);
    ASSERT_TRUE(list.beginPrint(b.get()));
    QList<int> asked;
    EXPECT_EQ(list.removeIf(queueKey(QStringLiteral("b")),
                            [&](const PendingJobList::Entry& e) {
                                asked << e.job->jobNumber;
                                return PendingJobList::Verdict::Remove;
                            }),
              1);
    EXPECT_EQ(asked, QList<int>({5}));
    EXPECT_EQ(list.displayStrings(),
              QStringList({QStringLiteral("B u 2"), QStringLiteral("A u 3"),
                           QStringLiteral("c u 4")}));
    list.endPrint(b.get(), true);
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({3, 4}));
    // Emptied queues are gone, and come back at the end of the order.
    list.append(job("b", QStringLiteral("u"), 6));
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({3, 4, 6}));
    EXPECT_EQ(list.removeIf([](const PendingJobList::Entry& e) {
        return e.job->jobNumber == 4 ? PendingJobList::Verdict::Remove
                                     : PendingJobList::Verdict::Keep;
    }),
              1);
    EXPECT_EQ(numbers(list.queueHeads({})), QList<int>({3, 6}));
    EXPECT_EQ(list.count(), 2);
}
