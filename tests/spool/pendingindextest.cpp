// The pending list finds duplicates through an index of case-folded display strings; it
// must answer exactly as a walk comparing every entry ignoring case would.

#include "spool/pendingjoblist.h"
#include "spool/spooljob.h"

#include <gtest/gtest.h>

namespace {

SpoolJob job(const char* queue, const QString& user, int number)
{
    SpoolJob j;
    j.queue = QString::fromLatin1(queue);
    j.user = user;
    j.jobNumber = number;
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
    EXPECT_FALSE(list.addIfNew(job("lp", QStringLiteral("j\u00f6rg"), 3)));
    EXPECT_TRUE(list.containsDisplay(QStringLiteral("LP JÖRG 3")));
    EXPECT_EQ(list.count(), 3);

    // Local jobs are appended without the check; the name stays taken until the last goes.
    list.append(job("lp", QStringLiteral("bob"), 1));
    EXPECT_EQ(list.count(), 4);
    ASSERT_TRUE(list.beginJob(0));
    EXPECT_EQ(list.finishJob(true), 0); // prints and removes the first "lp Bob 1"
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
    ASSERT_TRUE(list.beginJob(0));
    list.finishJob(false);
    EXPECT_TRUE(list.containsDisplay(QStringLiteral("lp bob 2")));
    EXPECT_EQ(list.displayStrings(),
              QStringList({QStringLiteral("lp bob 2"), QStringLiteral("lp J\u00d6RG 3"),
                           QStringLiteral("lp Bob 1")}));
}
