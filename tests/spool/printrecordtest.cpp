// The print record of a queue folder through the real supervisor: how each print ended,
// what a print that never recorded its end counts as, and entries of jobs that are gone.

#include "spool/printrecord.h"
#include "config/logsink.h"
#include "spool/jobprint.h"
#include "platform/printroutes.h"
#include "spool/queuefolder.h"

#include "testsupport.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

TEST(PrintRecord, TellsHowEachPrintEndedAndForgetsJobsThatAreGone)
{
    QTemporaryDir dir;
    const QueueFolder folder = QueueFolder::open(dir.path() + QStringLiteral("/lp"), true);
    ASSERT_TRUE(folder.isOpen());
    const QString queueDir = dir.path() + QStringLiteral("/lp");
    ASSERT_TRUE(writeFile(queueDir + QStringLiteral("/cfA001h"), "Pann\n"));
    setSupervisorProgram(QStringLiteral(SPOOLMERE_SUPERVISOR));
    const auto print = [&](const QString& job, const QStringList& command) {
        const UniqueFd record = PrintRecord::begin(folder, job);
        EXPECT_TRUE(record.isValid());
        return runProcess(command.first(), command.mid(1), dir.path(), 0, 4096, record.get());
    };
    QString detail;

    EXPECT_EQ(print(QStringLiteral("cfA001h"),
                    {QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("exit 3")})
                  .exitStatus,
              3);
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA001h"), &detail),
              PrintRecord::Outcome::Failed);
    EXPECT_EQ(detail, QStringLiteral("exit 3"));

    EXPECT_TRUE(print(QStringLiteral("cfA001h"), {QStringLiteral("/bin/true")}).exited);
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA001h"), nullptr),
              PrintRecord::Outcome::Succeeded);

    // Held while it runs; no end written and nobody holding it: unknown.
    UniqueFd running = PrintRecord::begin(folder, QStringLiteral("cfA001h"));
    ASSERT_TRUE(running.isValid());
    EXPECT_EQ(PrintRecord::tidy(folder), QStringLiteral("cfA001h"));
    running.reset();
    EXPECT_EQ(PrintRecord::tidy(folder), QString());
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA001h"), nullptr),
              PrintRecord::Outcome::Unknown);

    // A job whose control file is gone leaves the record with the next print.
    PrintRecord::recordSuccess(folder, QStringLiteral("cfA002h"));
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA002h"), nullptr),
              PrintRecord::Outcome::Succeeded);
    print(QStringLiteral("cfA001h"), {QStringLiteral("/bin/true")});
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA002h"), nullptr),
              PrintRecord::Outcome::None);
    PrintRecord::forget(folder, QStringLiteral("cfA001h"));
    EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA001h"), nullptr),
              PrintRecord::Outcome::None);
    // The record stays for the next print: no new inode per print.
    const QByteArray record = QFile::encodeName(queueDir + QStringLiteral("/.:printing"));
    auto inode = [&] {
        struct stat st
        {
        };
        return ::stat(record.constData(), &st) == 0 ? st.st_ino : 0;
    };
    const ino_t before = inode();
    ASSERT_NE(before, 0u);
    PrintRecord::tidy(folder);
    print(QStringLiteral("cfA001h"), {QStringLiteral("/bin/true")});
    EXPECT_EQ(inode(), before);

    // An end without its entry, a last line cut off: unusable, never written over.
    for (const QByteArray& torn :
         {QByteArray("exit 0\ncfA001h/0@1.2\n"), QByteArray("cfA001h/0@1.2")}) {
        ASSERT_TRUE(writeFile(QString::fromLocal8Bit(record), torn));
        QString problem;
        EXPECT_FALSE(PrintRecord::begin(folder, QStringLiteral("cfA001h"), &problem).isValid());
        EXPECT_EQ(errno, EBADMSG);
        EXPECT_EQ(problem,
                  QString::fromLatin1(torn.startsWith("exit")
                                          ? "does not parse: line 1 is an end without its entry"
                                          : "does not parse: line 1 is cut off"));
        EXPECT_EQ(PrintRecord::earlier(folder, QStringLiteral("cfA001h"), nullptr),
                  PrintRecord::Outcome::Unusable);
        PrintRecord::tidy(folder);
        PrintRecord::forget(folder, QStringLiteral("cfA001h"));
        EXPECT_EQ(readFile(QString::fromLocal8Bit(record)), torn);
    }
    setSupervisorProgram(QString());
}

TEST(PrintRecord, APrintWithoutDescriptorsSaysSoAndLeavesTheJobAlone)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/lp");
    ASSERT_TRUE(QueueFolder::open(folder, true).isOpen());
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/cfA001h"), "Pz\nldfA001h\n"));
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/dfA001h"), "data"));
    auto job = std::make_shared<SpoolJob>();
    job->controlFile = QStringLiteral("cfA001h");
    job->printLines = {{'l', QStringLiteral("dfA001h")}};
    LogSink log;
    JobPrint print(job, parsePrinterDefinitions({QStringLiteral("lp /bin/true")}).first(), folder,
                   {}, log);

    // Every descriptor the process may have is taken, as under a flood of connections.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        held.push_back(fd);
    const JobPrint::Result result = print.run();
    for (int fd : held)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_EQ(result.outcome, JobPrint::Outcome::Deferred);
    EXPECT_EQ(result.reason,
              QStringLiteral("cannot open ") + folder + QStringLiteral(": Too many open files"));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/cfA001h")));
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/dfA001h")));
}
