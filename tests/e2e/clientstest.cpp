// The built program against LPD clients that nobody here wrote: rlpr, rlpq, rlprm and
// CUPS' lpd backend.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

QByteArray allBytes(int repeat = 1)
{
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b.append(char(i));
    return b.repeated(repeat);
}

QStringList spoolFiles(const RunningServer& s)
{
    return QDir(s.spool()).entryList(QDir::Files);
}

CommandResult rlpqOrRm(const QString& tool, const RunningServer& s, const QStringList& extra = {})
{
    return runCommand(tool,
                      QStringList{QStringLiteral("-N"), QStringLiteral("--port=%1").arg(s.port()),
                                  QStringLiteral("-H"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("-P"), QStringLiteral("lp")} +
                          extra);
}

// CUPS' lpd backend must run as root and ignores SIGTERM; runCommand ends it with SIGKILL.
CommandResult cupsLpd(const RunningServer& s, const QString& options, const QString& file)
{
    return runCommand(QStringLiteral("/usr/lib/cups/backend/lpd"),
                      {QStringLiteral("1"), QStringLiteral("alice"), QStringLiteral("a title"),
                       QStringLiteral("1"), QString(), file},
                      120000,
                      {QStringLiteral("DEVICE_URI=lpd://127.0.0.1:%1/lp?reserve=none%2")
                           .arg(s.port())
                           .arg(options)});
}

} // namespace

TEST(Clients, HeadlessProgramAdmitsAllowedPeersAndRefusesOthers)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp /bin/true")}, {QStringLiteral("127.0.0.1")}));
    LoopbackClient allowed;
    ASSERT_TRUE(allowed.connectTo(s.port()));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Remote localhost 127.0.0.1 connected")));
    LoopbackClient stranger;
    ASSERT_TRUE(stranger.connectTo(s.port(), "127.0.0.2"));
    EXPECT_EQ(stranger.readAll(3000), QByteArray("No permission!\n"));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Remote 127.0.0.2 no permission.")));
    s.stop();
}

TEST(Clients, RlprJobIsPrintedByteExactAndLeavesNothingInTheSpool)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const QString file = s.dir() + QStringLiteral("/job.bin");
    ASSERT_TRUE(writeFile(file, allBytes(3)));
    const CommandResult sent = rlpr(s.port(), QStringLiteral("lp"), file);
    ASSERT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == allBytes(3); }, 4000))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return spoolFiles(s).isEmpty(); }, 2000))
        << spoolFiles(s).join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(waitUntil(
        [&] { return s.log().contains(QStringLiteral("Successful: ") + s.appendScript()); }));
}

TEST(Clients, RlprSeveralFilesCopiesAndEveryFormatLetterPrintEachLineOnce)
{
    RunningServer s;
    const QString print = s.dir() + QStringLiteral("/letter.sh");
    ASSERT_TRUE(writeScript(print, "{ printf '%s:' \"$1\"; cat \"$2\"; echo; } >> \"$(dirname "
                                   "\"$0\")/out.bin\"\n"));
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + print + QStringLiteral(" %f %p/%d")}));
    QStringList files;
    for (const char* text : {"one", "two", "three"}) {
        files << s.dir() + QLatin1Char('/') + QString::fromLatin1(text);
        ASSERT_TRUE(writeFile(files.last(), text));
    }
    auto send = [&](const QStringList& args) {
        const CommandResult sent = rlpr(s.port(), QStringLiteral("lp"), files[0], args);
        ASSERT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    };
    // Several files: the last operand is the first file, the others go before it.
    send({files[1], files[2]});
    send({QStringLiteral("-#3")});
    for (const char* format : {"-c", "-d", "-f", "-t"})
        send({QString::fromLatin1(format)});
    const QByteArray expected = "f:two\nf:three\nf:one\nf:one\nf:one\nf:one\n"
                                "c:one\nd:one\nr:one\nt:one\n";
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == expected; }, 20000))
        << readFile(s.outFile()).toStdString() << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return spoolFiles(s).isEmpty(); }, 5000))
        << spoolFiles(s).join(QLatin1Char(' ')).toStdString();
}

TEST(Clients, RlpqListsAndRlprmRemoves)
{
    RunningServer s;
    // Printing disabled: the jobs stay so the queue can be listed and emptied.
    ASSERT_TRUE(s.start({QStringLiteral("-lp /bin/true")}));
    const QString file = s.dir() + QStringLiteral("/report.txt");
    ASSERT_TRUE(writeFile(file, QByteArray(1234, 'r')));
    for (const char* user : {"alice", "bob", "root"})
        ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file,
                       {QStringLiteral("-U"), QString::fromLatin1(user)})
                      .exitCode,
                  0);
    ASSERT_TRUE(s.waitForLog(QStringLiteral("Remote localhost 127.0.0.1 (was) closed.")));

    const CommandResult listed = rlpqOrRm(QStringLiteral("rlpq"), s);
    ASSERT_EQ(listed.exitCode, 0);
    const QStringList lines = QString::fromLatin1(listed.output).split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 5) << listed.output.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("short queue for printer lp"));
    EXPECT_EQ(
        lines[1],
        QStringLiteral("User            Job File                                           Size"));
    // Each job line: user, number, title (the file's name), size.
    const QRegularExpression jobLine(
        QStringLiteral("^(alice|bob|root) +(\\d{3}) (.{38}) +1234 bytes$"));
    QStringList numbers;
    for (int i = 2; i < 5; ++i) {
        const auto m = jobLine.match(lines[i]);
        ASSERT_TRUE(m.hasMatch()) << lines[i].toStdString();
        numbers << m.captured(2);
        EXPECT_TRUE(m.captured(3).trimmed().endsWith(QStringLiteral("report.txt")));
    }
    EXPECT_EQ(lines.mid(5).join(QString()), QString());

    const CommandResult longList = rlpqOrRm(QStringLiteral("rlpq"), s, {QStringLiteral("-l")});
    EXPECT_TRUE(longList.output.startsWith("long queue for printer lp\n"))
        << longList.output.toStdString();
    const CommandResult bobs = rlpqOrRm(QStringLiteral("rlpq"), s, {QStringLiteral("bob")});
    EXPECT_EQ(bobs.output.count('\n'), 3) << bobs.output.toStdString();
    const CommandResult byNumber = rlpqOrRm(QStringLiteral("rlpq"), s, {numbers[0]});
    EXPECT_EQ(byNumber.output.count('\n'), 3) << byNumber.output.toStdString();

    // rlprm as root (the test runs as root): by number, by user, and "-", which rlprm sends
    // as agent root with the user operand root.
    const CommandResult rmNumber = rlpqOrRm(QStringLiteral("rlprm"), s, {numbers[0]});
    EXPECT_EQ(rmNumber.exitCode, 0) << rmNumber.output.toStdString();
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Dequeue lp successful.")));
    EXPECT_EQ(rlpqOrRm(QStringLiteral("rlpq"), s).output.count('\n'), 4);
    rlpqOrRm(QStringLiteral("rlprm"), s, {QStringLiteral("bob")});
    EXPECT_EQ(rlpqOrRm(QStringLiteral("rlpq"), s).output.count('\n'), 3);
    rlpqOrRm(QStringLiteral("rlprm"), s, {QStringLiteral("-")});
    const CommandResult empty = rlpqOrRm(QStringLiteral("rlpq"), s);
    EXPECT_EQ(empty.output, QByteArray("short queue for printer lp\nUser            Job File  "
                                       "                                         Size\n"));
    EXPECT_TRUE(waitUntil([&] { return spoolFiles(s).isEmpty(); }, 2000))
        << spoolFiles(s).join(QLatin1Char(' ')).toStdString();
}

TEST(Clients, CupsLpdBackendInEveryOrderAndMode)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const QString file = s.dir() + QStringLiteral("/cups.bin");
    QByteArray expected;
    const QStringList options = {QString(), QStringLiteral("&order=data,control"),
                                 QStringLiteral("&banner=on"), QStringLiteral("&mode=stream")};
    for (const QString& option : options) {
        const QByteArray body = allBytes(5) + option.toLatin1();
        ASSERT_TRUE(writeFile(file, body));
        const CommandResult r = cupsLpd(s, option, file);
        EXPECT_EQ(r.exitCode, 0) << option.toStdString() << r.output.toStdString();
        expected += body;
        EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == expected; }, 5000))
            << option.toStdString();
    }
    EXPECT_TRUE(waitUntil([&] { return spoolFiles(s).isEmpty(); }, 2000));
}

TEST(Clients, CupsLpdBackendStreamsFiftyMebibytes)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d")}));
    const QString file = s.dir() + QStringLiteral("/big.bin");
    const QByteArray body = allBytes(50 * 4096);
    ASSERT_TRUE(writeFile(file, body));
    const CommandResult r = cupsLpd(s, QStringLiteral("&mode=stream"), file);
    EXPECT_EQ(r.exitCode, 0) << r.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return QFileInfo(s.outFile()).size() >= body.size(); }, 20000));
    EXPECT_TRUE(readFile(s.outFile()) == body);
}
