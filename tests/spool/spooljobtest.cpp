#include "spool/spooljob.h"
#include "config/printerdefinition.h"
#include "platform/supervisor.h"
#include "spool/pendingjoblist.h"
#include "spool/printaction.h"

#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

SpoolJob fromControl(const QByteArray& text, const QString& name = QStringLiteral("cfA123host"))
{
    SpoolJob job;
    job.controlFile = name;
    applyControlFile(job, text);
    return job;
}

} // namespace

TEST(ControlFile, TitleRulesFirstJWinsAndNAlwaysWins)
{
    EXPECT_EQ(fromControl("Ja\nNb\n").title, QStringLiteral("b"));
    EXPECT_EQ(fromControl("Nb\nJa\n").title, QStringLiteral("b"));
    EXPECT_EQ(fromControl("Ja\nJc\n").title, QStringLiteral("a"));
}

TEST(ControlFile, EveryPrintLineInOrderAndLineEndsVary)
{
    const SpoolJob job = fromControl("Hhost\r\nPalice\rldfA001host\r\n\r\nfdfA002host\nUdfA001host\n"
                                     "cdfA003host\ndA\nrB\ntC\ngD\nnE\noF\npG\nvH\nzI\nldfA001host\n");
    QByteArray letters;
    for (const PrintLine& line : job.printLines)
        letters += line.letter;
    EXPECT_EQ(letters, QByteArray("lfcdrtgnopvzl"));
    EXPECT_EQ(job.printLines.first().dataFile, QStringLiteral("dfA001host"));
    EXPECT_EQ(job.printLines.last().dataFile, QStringLiteral("dfA001host"));
    // A repeated line is a copy; its file is one of the job's files once.
    EXPECT_EQ(job.dataFiles().size(), 12);
    EXPECT_EQ(job.user, QStringLiteral("alice"));
    // Each file's source name, once, in the listing's title.
    EXPECT_EQ(fromControl("Jjob\nNa.txt\nldfA1\nNb.txt\nldfB1\nNa.txt\n").title,
              QStringLiteral("a.txt, b.txt"));
}

TEST(ControlFile, OperandsKeptWholeAndUserDefaultsToRoot)
{
    EXPECT_EQ(fromControl("P bob\n").user, QStringLiteral(" bob"));
    EXPECT_EQ(fromControl("Hhost\nldfA1\n").user, QStringLiteral("root"));
}

TEST(ControlFile, JobNumberFromCharactersFourToSix)
{
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfA123host")), 123);
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfA12xhost")), 12);
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfA7")), 7);
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfAq12host")), 0);
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfA 42h")), 42);
    EXPECT_EQ(jobNumberFromName(QStringLiteral("cfA1000localhost")), 100);
}

TEST(SpoolNames, RefusesSeparatorsWildcardsAndDotNames)
{
    EXPECT_TRUE(isSafeSpoolName(QStringLiteral("cfA001")));
    EXPECT_FALSE(isSafeSpoolName(QStringLiteral("cfA01")));
    for (const char* bad : {"../../etc/passwd", "cfA001/x", "cfA0:1", "cfA0?1", "cfA0*1",
                            "cfA\\001", "..", ".", "cfA001host.lck"})
        EXPECT_FALSE(isSafeSpoolName(QString::fromLatin1(bad))) << bad;
    // A data file may not take a control file's name, in any letter case.
    EXPECT_TRUE(isDataFileName(QStringLiteral("dfA001host")));
    EXPECT_TRUE(isDataFileName(QStringLiteral("job004dat")));
    EXPECT_FALSE(isDataFileName(QStringLiteral("cfA001host")));
    EXPECT_FALSE(isDataFileName(QStringLiteral("CfB002alpha")));
}

TEST(BuildJob, ReadsControlFileAndDataSizeAndDropsUnsafeDataNames)
{
    QTemporaryDir spool;
    ASSERT_TRUE(QDir(spool.path()).mkpath(QStringLiteral("lp")));
    const QString dir = spool.path() + QStringLiteral("/lp/");
    ASSERT_TRUE(writeFile(dir + QStringLiteral("cfA007host"),
                          "Hhost\nPalice\nJreport\nldfA007host\nldfA007host\nldfB007host\n"));
    ASSERT_TRUE(writeFile(dir + QStringLiteral("dfA007host"), QByteArray(1234, 'x')));
    ASSERT_TRUE(writeFile(dir + QStringLiteral("dfB007host"), QByteArray(766, 'y')));
    SpoolJob job = readSpoolJob(spool.path(), QStringLiteral("lp"), QStringLiteral("LP"),
                                QStringLiteral("cfA007host"));
    EXPECT_EQ(job.queue, QStringLiteral("LP"));
    EXPECT_EQ(job.user, QStringLiteral("alice"));
    EXPECT_EQ(job.title, QStringLiteral("report"));
    EXPECT_EQ(job.jobNumber, 7);
    EXPECT_EQ(job.size, 2000u); // each distinct file once
    EXPECT_EQ(displayString(job), QStringLiteral("LP alice 7"));

    ASSERT_TRUE(writeFile(dir + QStringLiteral("cfA008host"), "Pbob\nl../../../etc/passwd\n"));
    job = readSpoolJob(spool.path(), QStringLiteral("lp"), QStringLiteral("lp"),
                       QStringLiteral("cfA008host"));
    EXPECT_TRUE(job.printLines.isEmpty());
    EXPECT_EQ(job.size, 0u);

    job = readSpoolJob(spool.path(), QStringLiteral("lp"), QStringLiteral("lp"),
                       QStringLiteral("cfA009missing"));
    EXPECT_EQ(job.user, QStringLiteral("root"));
    EXPECT_EQ(job.jobNumber, 9);
}

TEST(PrintAction, SplittingRules)
{
    auto split = [](const char* s) { return printerdef::splitActionPart(QString::fromLatin1(s)); };
    printerdef::ActionSplit a = split("|local port /dev/lp0");
    EXPECT_EQ(a.firstElement, QStringLiteral("|local port /dev/lp0"));
    EXPECT_TRUE(a.argumentText.isEmpty());
    a = split("\"/opt/my tools/pr\"   -q %p/%d");
    EXPECT_EQ(a.firstElement, QStringLiteral("/opt/my tools/pr"));
    EXPECT_EQ(a.argumentText, QStringLiteral("-q %p/%d"));
    a = split("'/opt/my tools/pr' -x");
    EXPECT_EQ(a.firstElement, QStringLiteral("/opt/my tools/pr"));
    EXPECT_EQ(a.argumentText, QStringLiteral("-x"));
    a = split("/bin/cat \t %p/%d");
    EXPECT_EQ(a.firstElement, QStringLiteral("/bin/cat"));
    EXPECT_EQ(a.argumentText, QStringLiteral("%p/%d"));
    a = split("/bin/true");
    EXPECT_EQ(a.firstElement, QStringLiteral("/bin/true"));
    EXPECT_TRUE(a.argumentText.isEmpty());
}

TEST(PrintAction, PlaceholdersFilledOnceAndClientNamesStayOneArgument)
{
    const Placeholders v{QStringLiteral("dfA1 %c; rm -rf x"), QStringLiteral("cfA1%d"),
                         QStringLiteral("/spool/lp"), QStringLiteral("r")};
    EXPECT_EQ(fillPlaceholders(QStringLiteral("%d %d|%c|%p|%x|-%f"), v),
              QStringLiteral("dfA1 %c; rm -rf x dfA1 %c; rm -rf x|cfA1%d|/spool/lp|%x|-r"));
    const QStringList words = argumentWords(QStringLiteral("-o \"media=A4 sheet\" %p/%d  %c"), v);
    ASSERT_EQ(words.size(), 4);
    EXPECT_EQ(words[0], QStringLiteral("-o"));
    EXPECT_EQ(words[1], QStringLiteral("media=A4 sheet"));
    EXPECT_EQ(words[2], QStringLiteral("/spool/lp/dfA1 %c; rm -rf x"));
    EXPECT_EQ(words[3], QStringLiteral("cfA1%d"));
    EXPECT_TRUE(argumentWords(QString(), v).isEmpty());
    EXPECT_EQ(argumentWords(QStringLiteral("\"\""), v), QStringList{QString()});
}

TEST(PrintAction, ArgumentBytesCarryTheClientsNameBesideAUtf8Folder)
{
    // A name is Latin-1 text, one character per byte; the folder and the words are UTF-8.
    const Placeholders v{QString::fromLatin1("dfA1h\xE9\xC3\xA9"), QString::fromLatin1("cfA1h\xFF"),
                         QString::fromUtf8("/sp\xC3\xB6ol/lp"), QStringLiteral("l")};
    EXPECT_EQ(
        nativeArguments({QString::fromUtf8("%p/%d"), QString::fromUtf8("\xE2\x82\xAC%c%%d%x")}, v),
        (QList<QByteArray>{"/sp\xC3\xB6ol/lp/dfA1h\xE9\xC3\xA9", "\xE2\x82\xAC"
                                                                 "cfA1h\xFF%dfA1h\xE9\xC3\xA9%x"}));
}

TEST(PrintAction, TheFolderMarkStandsOnlyForTheFolder)
{
    // A client's name may hold the mark's byte: it stays that byte, never the folder.
    const Placeholders v{QString::fromLatin1("dfA\x01p\x01"), QStringLiteral("cfA1h"),
                         QStringLiteral("/spool/lp"), QStringLiteral("l")};
    const QList<QByteArray> marked =
        markedArguments({QStringLiteral("%p/%d"), QString::fromLatin1("-\x01p")}, v);
    ASSERT_EQ(marked.size(), 2);
    EXPECT_EQ(unmarkFolder(marked[0].constData(), "/proc/1/fd/5"), "/proc/1/fd/5/dfA\x01p\x01");
    EXPECT_EQ(unmarkFolder(marked[1].constData(), "/proc/1/fd/5"), "-\x01p");
}

TEST(PendingJobList, AddsOnlyNewJobsIgnoringTheQueuesCase)
{
    PendingJobList list;
    SpoolJob a;
    a.queue = QStringLiteral("lp");
    a.user = QStringLiteral("alice");
    a.jobNumber = 1;
    a.controlFile = QStringLiteral("cfA001host");
    EXPECT_TRUE(list.addIfNew(a));
    SpoolJob b = a;
    b.queue = QStringLiteral("LP");
    EXPECT_FALSE(list.addIfNew(b));
    list.append(b);
    EXPECT_EQ(list.displayStrings(),
              (QStringList{QStringLiteral("lp alice 1"), QStringLiteral("LP alice 1")}));
}

TEST(PendingJobList, PrintsKeepTheirEntriesAndEachQueueHasOneHead)
{
    PendingJobList list;
    for (int i = 0; i < 6; ++i) {
        SpoolJob j;
        j.queue = i % 2 ? QStringLiteral("lp") : QStringLiteral("LASER");
        j.jobNumber = i;
        j.controlFile = QStringLiteral("cfA00%1h").arg(i);
        list.append(j);
    }
    // The first job of each queue, in list order; a queue whose first job prints has none.
    auto heads = list.queueHeads({});
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0]->jobNumber, 0);
    EXPECT_EQ(heads[1]->jobNumber, 1);
    ASSERT_TRUE(list.beginPrint(heads[0].get()));
    ASSERT_TRUE(list.beginPrint(heads[1].get()));
    EXPECT_TRUE(list.queueHeads({}).empty());
    EXPECT_TRUE(list.isPrinting(QStringLiteral("laser root 0")));
    // Removing everything from the main thread leaves the jobs being printed alone.
    EXPECT_EQ(
        list.removeIf([](const PendingJobList::Entry&) { return PendingJobList::Verdict::Remove; }),
        4);
    list.endPrint(heads[0].get(), true);
    list.endPrint(heads[1].get(), false);
    EXPECT_EQ(list.displayStrings(), QStringList{QStringLiteral("lp root 1")});
    heads = list.queueHeads({queueKey(QStringLiteral("LP"))});
    EXPECT_TRUE(heads.empty());
    EXPECT_FALSE(list.beginPrint(nullptr));
}
