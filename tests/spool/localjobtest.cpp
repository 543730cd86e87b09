// A local file queued as a job: names, numbers, the control file, and every failure
// leaving nothing behind.

#include "spool/localjob.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace {

class LocalJob : public ::testing::Test
{
protected:
    QTemporaryDir dir;

    QString queueDir() const { return dir.path() + QStringLiteral("/spool/lp"); }
    QString source(const QByteArray& bytes, const char* name = "doc.ps") const
    {
        const QString path = dir.path() + QLatin1Char('/') + QString::fromLatin1(name);
        writeFile(path, bytes);
        return path;
    }
    QStringList files() const { return QDir(queueDir()).entryList(QDir::Files, QDir::Name); }
};

} // namespace

TEST_F(LocalJob, FirstJobIsNumberZeroWithFourControlLines)
{
    const QByteArray data("%!PS\r\nshowpage\n\0binary", 22);
    const LocalJobResult r = submitLocalJob(queueDir(), QStringLiteral("lp"), source(data));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_TRUE(r.error.isEmpty());
    EXPECT_EQ(r.job.controlFile, QStringLiteral("cfA000localhost"));
    EXPECT_EQ(r.job.dataFiles(), QStringList{QStringLiteral("dfA000localhost")});
    EXPECT_EQ(r.job.user, QStringLiteral("default"));
    EXPECT_EQ(r.job.jobNumber, 0);
    EXPECT_EQ(r.job.queue, QStringLiteral("lp"));
    EXPECT_TRUE(r.job.title.isEmpty());
    EXPECT_EQ(r.job.size, 22u);
    EXPECT_EQ(displayString(r.job), QStringLiteral("lp default 0"));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA000localhost")), data);
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/cfA000localhost")),
              QByteArray("Hlocalhost\r\nPdefault\r\nUdfA000localhost\r\nldfA000localhost\r\n"));
    EXPECT_EQ(files(),
              (QStringList{QStringLiteral("cfA000localhost"), QStringLiteral("dfA000localhost")}));
    // The record recovery would build from these files is the same job.
    const SpoolJob rebuilt =
        readSpoolJob(dir.path() + QStringLiteral("/spool"), QStringLiteral("lp"),
                     QStringLiteral("lp"), r.job.controlFile);
    EXPECT_EQ(rebuilt.dataFiles(), r.job.dataFiles());
    EXPECT_EQ(rebuilt.user, r.job.user);
    EXPECT_EQ(rebuilt.jobNumber, 0);
}

TEST_F(LocalJob, NumbersFillGapsAndOnlyControlFilesCount)
{
    QDir().mkpath(queueDir());
    writeFile(queueDir() + QStringLiteral("/cfA001localhost"), "x");
    writeFile(queueDir() + QStringLiteral("/dfA000localhost"), "stale");
    const LocalJobResult first = submitLocalJob(queueDir(), QStringLiteral("lp"), source("new"));
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.job.jobNumber, 0);
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA000localhost")), QByteArray("new"));
    const LocalJobResult next = submitLocalJob(queueDir(), QStringLiteral("lp"), source("n2"));
    ASSERT_TRUE(next.ok);
    EXPECT_EQ(next.job.controlFile, QStringLiteral("cfA002localhost"));
    EXPECT_EQ(displayString(next.job), QStringLiteral("lp default 2"));
}

TEST_F(LocalJob, FromAThousandTheNamesGrowADigit)
{
    QDir().mkpath(queueDir());
    for (int n = 0; n < 1000; ++n)
        writeFile(queueDir() + QLatin1Char('/') + localControlFileName(n), QByteArray());
    EXPECT_EQ(localControlFileName(7), QStringLiteral("cfA007localhost"));
    const LocalJobResult r = submitLocalJob(queueDir(), QStringLiteral("lp"), source(""));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.job.controlFile, QStringLiteral("cfA1000localhost"));
    EXPECT_EQ(r.job.dataFiles(), QStringList{QStringLiteral("dfA1000localhost")});
    EXPECT_EQ(r.job.jobNumber, 1000);
    EXPECT_EQ(r.job.size, 0u); // an empty file is a job like any other
    // Recovery reads characters 4 to 6 of the name.
    EXPECT_EQ(jobNumberFromName(r.job.controlFile), 100);
}

TEST_F(LocalJob, LargeFileIsCopiedWhole)
{
    QByteArray data;
    for (int i = 0; i < 300000; ++i)
        data.append(char(i * 7));
    const LocalJobResult r = submitLocalJob(queueDir(), QStringLiteral("lp"), source(data));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.job.size, quint64(data.size()));
    EXPECT_EQ(readFile(queueDir() + QStringLiteral("/dfA000localhost")), data);
}

TEST_F(LocalJob, FailuresAreReportedAndLeaveNothing)
{
    // The queue folder cannot be made: a file stands where the spool folder should be.
    writeFile(dir.path() + QStringLiteral("/spool"), "in the way");
    LocalJobResult r = submitLocalJob(queueDir(), QStringLiteral("lp"), source("x"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, QStringLiteral("ERROR: Cannot open directory for lp."));
    QFile::remove(dir.path() + QStringLiteral("/spool"));

    // A definition without a queue name has no folder.
    r = submitLocalJob(dir.path() + QStringLiteral("/spool/"), QString(), source("x"));
    EXPECT_EQ(r.error, QStringLiteral("ERROR: Cannot open directory for ."));
    EXPECT_TRUE(QDir(dir.path() + QStringLiteral("/spool")).entryList(QDir::Files).isEmpty());

    // The data file cannot be created: a folder has its name.
    QDir().mkpath(queueDir() + QStringLiteral("/dfA000localhost"));
    r = submitLocalJob(queueDir(), QStringLiteral("lp"), source("x"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, QStringLiteral("ERROR: Cannot open dfA000localhost for lp."));
    QDir(queueDir() + QStringLiteral("/dfA000localhost")).removeRecursively();

    // The chosen file cannot be opened: the data file goes again.
    const QString missing = dir.path() + QStringLiteral("/missing.ps");
    r = submitLocalJob(queueDir(), QStringLiteral("lp"), missing);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error,
              QStringLiteral("ERROR: Cannot open ") + missing + QStringLiteral(" for lp."));
    r = submitLocalJob(queueDir(), QStringLiteral("lp"), dir.path());
    EXPECT_EQ(r.error,
              QStringLiteral("ERROR: Cannot open ") + dir.path() + QStringLiteral(" for lp."));
    EXPECT_TRUE(files().isEmpty());
}

TEST_F(LocalJob, ShortWriteRemovesTheDataFile)
{
    const QString big = source(QByteArray(5000, 'x'));
    // A file size limit makes the disk take fewer bytes than a block holds: the kernel
    // then cuts the write short, as on a full disk.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 1500;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const LocalJobResult r = submitLocalJob(queueDir(), QStringLiteral("lp"), big);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, QStringLiteral("ERROR: Error writing dfA000localhost for lp."));
    EXPECT_TRUE(files().isEmpty());
}
