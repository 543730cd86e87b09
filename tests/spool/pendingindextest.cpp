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
