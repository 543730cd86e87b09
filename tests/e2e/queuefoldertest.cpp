// A queue folder swapped for a link while a print runs: the print, the removal of the printed
// job and a removal by lprm all keep to the folder the server checked, a job whose print
// starts after the swap waits for its own folder, and a spool that another user could swap
// so is refused outright.

#include "runningserver.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray sendNumberedJob(quint16 port, const QByteArray& queue, const QByteArray& number,
                           const QByteArray& data)
{
    return sendJob(port, queue, "cfA" + number + "h", "Proot\nldfA" + number + "h\n",
                   "dfA" + number + "h", data);
}

} // namespace

TEST(QueueFolder, ASwappedFolderIsNeverPrintedOrEmptiedThroughTheLink)
{
    RunningServer s;
    const QString dir = s.dir();
    // The print starts, then waits for the file "go": the swap happens while it runs.
    const QString slow = dir + QStringLiteral("/slow.sh");
    writeScript(slow, "here=$(dirname \"$0\")\n"
                      "while [ ! -e \"$here/go\" ]; do sleep 0.05; done\n"
                      "cat \"$1\" >> \"$here/out.bin\"\n");
    // Let go however the test ends, or the print would wait for ever.
    const auto release = qScopeGuard([&] { writeFile(dir + QStringLiteral("/go"), ""); });
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + slow + QStringLiteral(" %p/%d"),
                         QStringLiteral("-held /bin/true")}));
    ASSERT_EQ(sendNumberedJob(s.port(), "held", "002", "held job\n"), QByteArray(5, '\0'));
    ASSERT_EQ(sendNumberedJob(s.port(), "lp", "001", "the job\n"), QByteArray(5, '\0'));
    // Waits behind the first: its print starts only after the swap.
    ASSERT_EQ(sendNumberedJob(s.port(), "lp", "004", "next job\n"), QByteArray(5, '\0'));
    const QString shown = slow + QLatin1Char(' ') + s.spool() + QStringLiteral("/dfA001h");
    ASSERT_TRUE(s.waitForLog(QStringLiteral("Starting ") + shown, 10000)) << s.log().toStdString();

    // Another folder with files of the same names, the data readable by its owner only.
    const QString victim = dir + QStringLiteral("/victim");
    for (const char* queue : {"lp", "held"}) {
        const QString folder = victim + QLatin1Char('/') + QString::fromLatin1(queue);
        ASSERT_TRUE(QDir().mkpath(folder));
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    }
    const QStringList victimFiles{QStringLiteral("lp/cfA001h"),   QStringLiteral("lp/dfA001h"),
                                  QStringLiteral("lp/cfA004h"),   QStringLiteral("lp/dfA004h"),
                                  QStringLiteral("held/cfA002h"), QStringLiteral("held/dfA002h")};
    for (const QString& file : victimFiles) {
        const QString path = victim + QLatin1Char('/') + file;
        ASSERT_TRUE(writeFile(
            path, file.contains(QLatin1String("/cf"))
                      ? "Proot\nldf" + file.section(QLatin1String("/cf"), 1).toLatin1() + "\n"
                      : QByteArray("secret of ") + file.toLatin1()));
        ::chmod(QFile::encodeName(path).constData(), 0600);
    }
    // The swap, by the server's own user: the server refuses a spool that anyone else could
    // swap so (the end of this test).
    const QString spool = dir + QStringLiteral("/spool");
    ASSERT_TRUE(QDir().rename(spool, dir + QStringLiteral("/spool.away")));
    ASSERT_TRUE(QFile::link(victim, spool));

    // lprm of the held job through the swapped path removes nothing there.
    LoopbackClient c;
    ASSERT_TRUE(c.connectTo(s.port()));
    c.send("\x05held root 2\n");
    c.readAll();
    EXPECT_TRUE(s.waitForLog(QStringLiteral("ERROR: Files of cfA002h not removed: ") + spool +
                             QStringLiteral("/held is not the folder the job arrived in")))
        << s.log().toStdString();

    ASSERT_TRUE(writeFile(dir + QStringLiteral("/go"), ""));
    ASSERT_TRUE(s.waitForLog(QStringLiteral("Successful: ") + shown, 10000))
        << s.log().toStdString();
    // The job printed from the folder that was checked, and its files went from there.
    EXPECT_EQ(readFile(s.outFile()), QByteArray("the job\n"));
    EXPECT_TRUE(waitUntil([&] {
        return QDir(dir + QStringLiteral("/spool.away/lp")).entryList(QDir::Files) ==
               QStringList{QStringLiteral("cfA004h"), QStringLiteral("dfA004h")};
    }));
    for (const QString& file : victimFiles)
        EXPECT_TRUE(QFile::exists(victim + QLatin1Char('/') + file)) << file.toStdString();
    EXPECT_EQ(readFile(victim + QStringLiteral("/lp/dfA001h")), QByteArray("secret of lp/dfA001h"));

    // The next job's print finds another folder under the path: it waits, printing nothing,
    // until its own folder is back.
    EXPECT_TRUE(s.waitForLogStart(QStringLiteral("Waiting: cfA004h for lp (queue folder ") + spool +
                                      QStringLiteral("/lp is not the folder the job arrived in); "
                                                     "next attempt at "),
                                  10000))
        << s.log().toStdString();
    EXPECT_EQ(readFile(s.outFile()), QByteArray("the job\n"));
    for (const QString& file : victimFiles)
        EXPECT_TRUE(QFile::exists(victim + QLatin1Char('/') + file)) << file.toStdString();
    ASSERT_TRUE(QFile::remove(spool));
    ASSERT_TRUE(QDir().rename(dir + QStringLiteral("/spool.away"), spool));
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "the job\nnext job\n"; }, 30000))
        << s.log().toStdString();

    // A spool whose parent another user owns could be swapped by that user at any time: it is
    // refused, with the reason, before anything is written there.
    ASSERT_EQ(::chown(QFile::encodeName(dir).constData(), 65534, 65534), 0); // nobody
    EXPECT_EQ(sendNumberedJob(s.port(), "lp", "003", "refused\n").left(2), QByteArray("\0\1", 2));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("ERROR: Queue folder ") + spool +
                             QStringLiteral("/lp is reached through ") + dir +
                             QStringLiteral(", which another user can change for lp.")))
        << s.log().toStdString();
    EXPECT_FALSE(QFile::exists(spool + QStringLiteral("/lp/cfA003h")));
}
