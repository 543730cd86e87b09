#include "platform/printroutes.h"
#include "privatesmb.h"
#include "routedata.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

TEST(SmbUrl, PrinterPathsBecomeUrls)
{
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("\\\\server\\laser")),
              QStringLiteral("smb://server/laser"));
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("//server/laser")),
              QStringLiteral("smb://server/laser"));
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("\\\\server\\Lab Printer")),
              QStringLiteral("smb://server/Lab%20Printer"));
    // "?" and "%" are URL syntax to libsmbclient; in a share name they are escaped.
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("\\\\server\\what?100%")),
              QStringLiteral("smb://server/what%3F100%25"));
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("smb://server:4450/laser")),
              QStringLiteral("smb://server:4450/laser"));
    EXPECT_EQ(smbUrlFromTarget(QStringLiteral("SMB://server/laser")),
              QStringLiteral("SMB://server/laser"));
}

TEST(SmbUrl, OtherTextIsNoPrinterPath)
{
    for (const char* text :
         {"", "laser", "\\\\server", "\\\\server\\", "\\server\\laser", "/dev/usb/lp0", "smb://"}) {
        EXPECT_TRUE(smbUrlFromTarget(QString::fromLatin1(text)).isEmpty()) << text;
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), "x");
    const RouteResult result = printToSmb(QStringLiteral("laser"), file);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("not an SMB printer path")));
}

class SmbRoute : public ::testing::Test
{
protected:
    SmbRoute() : smb({QStringLiteral("printer"), QStringLiteral("lab printer")}) {}

    void SetUp() override
    {
        ASSERT_TRUE(jobs.isValid());
        ASSERT_TRUE(smb.start()) << smb.errorText().toStdString();
    }

    QString dataFile(const QByteArray& bytes)
    {
        return writeDataFile(jobs.path(), QStringLiteral("job%1").arg(++count), bytes);
    }

    QTemporaryDir jobs;
    PrivateSmb smb;
    int count = 0;
};

TEST_F(SmbRoute, JobsArriveByteExact)
{
    const QString output = smb.outputFile();
    const QByteArray small = everyByteValue();
    RouteResult result = printToSmb(smb.url(), dataFile(small));
    ASSERT_TRUE(result.ok) << result.reason.toStdString();
    EXPECT_TRUE(result.reason.isEmpty());
    ASSERT_TRUE(smb.waitForOutput(QStringLiteral("printer"), small.size()))
        << smb.log().toStdString();
    EXPECT_EQ(readFile(output), small);

    const QByteArray large = noise(3 * 1024 * 1024 + 17);
    result = printToSmb(smb.url(), dataFile(large));
    ASSERT_TRUE(result.ok) << result.reason.toStdString();
    ASSERT_TRUE(smb.waitForOutput(QStringLiteral("printer"), small.size() + large.size()))
        << smb.log().toStdString();
    EXPECT_TRUE(readFile(output) == small + large);
}

TEST_F(SmbRoute, BackslashPathReachesAShareWithABlank)
{
    // A backslash path has no port of its own; the host part carries it here.
    const QString target = QStringLiteral("\\\\127.0.0.1:%1\\lab printer").arg(smb.port());
    const QByteArray data = everyByteValue();
    const RouteResult result = printToSmb(target, dataFile(data));
    ASSERT_TRUE(result.ok) << result.reason.toStdString();
    ASSERT_TRUE(smb.waitForOutput(QStringLiteral("lab printer"), data.size()))
        << smb.log().toStdString();
    EXPECT_EQ(readFile(smb.outputFile(QStringLiteral("lab printer"))), data);
}

TEST_F(SmbRoute, RefusedSharesFail)
{
    const QString file = dataFile(everyByteValue());
    const RouteResult missing = printToSmb(smb.url(QStringLiteral("nosuchprinter")), file);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.reason.startsWith(QLatin1String("cannot open a print job")))
        << missing.reason.toStdString();

    const RouteResult locked = printToSmb(smb.url(QStringLiteral("locked")), file);
    EXPECT_FALSE(locked.ok);
    EXPECT_TRUE(locked.reason.startsWith(QLatin1String("cannot open a print job")))
        << locked.reason.toStdString();
}

TEST_F(SmbRoute, MissingDataFileFailsBeforeConnecting)
{
    const RouteResult result = printToSmb(smb.url(), jobs.filePath(QStringLiteral("gone")));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("cannot open data file")));
    spinFor(300);
    EXPECT_FALSE(QFile::exists(smb.outputFile()));
}

TEST_F(SmbRoute, StoppedServerFailsPromptly)
{
    const QString file = dataFile(everyByteValue());
    const QString url = smb.url();
    smb.stop();
    // A bound, not a speed check.
    auto attempt = onThread([&] { return printToSmb(url, file); });
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const RouteResult result = attempt.get();
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.reason.isEmpty());
}

} // namespace
