#include "platform/printroutes.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

class Process : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString script(const QString& name, const QByteArray& body)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeScript(path, body));
        return path;
    }

    QTemporaryDir dir;
};

TEST_F(Process, ExitStatusIsReported)
{
    const ProcessResult ok = runProcess(script(QStringLiteral("ok"), "exit 0\n"), {}, dir.path());
    EXPECT_TRUE(ok.started);
    EXPECT_TRUE(ok.exited);
    EXPECT_EQ(ok.exitStatus, 0);

    const ProcessResult three =
        runProcess(script(QStringLiteral("three"), "exit 3\n"), {}, dir.path());
    EXPECT_TRUE(three.started);
    EXPECT_TRUE(three.exited);
    EXPECT_EQ(three.exitStatus, 3);
}

TEST_F(Process, DeathBySignalIsReported)
{
    const ProcessResult killed =
        runProcess(script(QStringLiteral("killed"), "kill -KILL $$\nexit 0\n"), {}, dir.path());
    EXPECT_TRUE(killed.started);
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.exitStatus, SIGKILL);
}

TEST_F(Process, ChildStartsWithDefaultSignals)
{
    // This test program ignores SIGPIPE, as the server does; a child that inherited that
    // would survive the signal and exit 0.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_IGN), SIG_IGN);
    const ProcessResult piped =
        runProcess(script(QStringLiteral("piped"), "kill -PIPE $$\nexit 0\n"), {}, dir.path());
    EXPECT_TRUE(piped.started);
    EXPECT_FALSE(piped.exited);
    EXPECT_EQ(piped.exitStatus, SIGPIPE);
}

TEST_F(Process, ProgramThatCannotRunIsNotStarted)
{
    const ProcessResult missing =
        runProcess(dir.filePath(QStringLiteral("no-such-program")), {}, dir.path());
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.startErrno, ENOENT);

    const QString plain = dir.filePath(QStringLiteral("not-executable"));
    ASSERT_TRUE(writeFile(plain, "exit 0\n"));
    const ProcessResult denied = runProcess(plain, {}, dir.path());
    EXPECT_FALSE(denied.started);
    EXPECT_EQ(denied.startErrno, EACCES);
}

TEST_F(Process, RunsInTheWorkingDirectory)
{
    const QString work = dir.filePath(QStringLiteral("work dir"));
    ASSERT_TRUE(QDir().mkpath(work));
    const ProcessResult result =
        runProcess(script(QStringLiteral("where"), "pwd -P > here.txt\n"), {}, work);
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(readFile(work + QStringLiteral("/here.txt")).trimmed(),
              QFile::encodeName(QDir(work).canonicalPath()));
}

TEST_F(Process, ArgumentsPassUnchangedWithoutAShell)
{
    const QString out = dir.filePath(QStringLiteral("args.txt"));
    const QString echo = script(QStringLiteral("echoargs"),
                                "out=\"$1\"; shift\n"
                                "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > \"$out\"\n");
    const QStringList args = {QStringLiteral("two words"),
                              QStringLiteral("\"quoted\""),
                              QStringLiteral("it's"),
                              QStringLiteral("$HOME"),
                              QStringLiteral("*"),
                              QString(),
                              QStringLiteral("; touch injected"),
                              QStringLiteral("`id`")};
    const ProcessResult result = runProcess(echo, QStringList{out} + args, dir.path());
    ASSERT_TRUE(result.started);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    QByteArray expected;
    for (const QString& arg : args)
        expected += '[' + arg.toUtf8() + "]\n";
    EXPECT_EQ(readFile(out), expected);
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("injected"))));
}

TEST_F(Process, InheritsTheEnvironment)
{
    ::setenv("SPOOLMERE_PROCESS_TEST", "from the server", 1);
    const QString out = dir.filePath(QStringLiteral("env.txt"));
    const ProcessResult result = runProcess(
        script(QStringLiteral("env"), "printf '%s' \"$SPOOLMERE_PROCESS_TEST\" > \"$1\"\n"), {out},
        dir.path());
    ::unsetenv("SPOOLMERE_PROCESS_TEST");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(readFile(out), QByteArray("from the server"));
}

bool processGone(const QString& pid)
{
    // A zombie waiting for a reaper that is not there counts as gone.
    const QByteArray stat = readFile(QStringLiteral("/proc/") + pid + QStringLiteral("/stat"));
    return stat.isEmpty() || stat.contains(") Z ");
}

TEST_F(Process, OutputIsCapturedBoundedAndStdinIsEmpty)
{
    const ProcessResult both = runProcess(
        script(QStringLiteral("both"), "echo out; echo err >&2; readlink /proc/$$/fd/0; cat\n"), {},
        dir.path());
    EXPECT_EQ(both.exitStatus, 0);
    EXPECT_EQ(both.output, QByteArray("out\nerr\n/dev/null\n"));
    EXPECT_FALSE(both.outputCut);

    // 40 MB of output: only the last few KiB are kept.
    const ProcessResult flood =
        runProcess(script(QStringLiteral("flood"),
                          "head -c 41943040 /dev/zero | tr '\\0' x; echo; echo last line\n"),
                   {}, dir.path(), 0, 4096);
    EXPECT_EQ(flood.exitStatus, 0);
    EXPECT_EQ(flood.output.size(), 4096);
    EXPECT_TRUE(flood.output.endsWith("x\nlast line\n"));
    EXPECT_TRUE(flood.outputCut);
}

TEST_F(Process, CommandPastItsTimeLimitIsEndedWithItsGroup)
{
    // A child in the background, then a wait that never ends; the TERM is ignored, so the
    // KILL a few seconds later is what ends it.
    const QString hang =
        script(QStringLiteral("hang"), "trap '' TERM\nsleep 1000 &\necho $! > bg.pid\n"
                                       "echo waiting\nwhile :; do sleep 1; done\n");
    const ProcessResult result = runProcess(hang, {}, dir.path(), 300);
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.timedOut);
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.exitStatus, SIGKILL);
    EXPECT_EQ(result.output, QByteArray("waiting\n"));
    const QString background =
        QString::fromLatin1(readFile(dir.filePath(QStringLiteral("bg.pid"))).trimmed());
    ASSERT_FALSE(background.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return processGone(background); }));

    // A quick command is not touched by the limit.
    const ProcessResult quick =
        runProcess(script(QStringLiteral("quick"), "exit 0\n"), {}, dir.path(), 60000);
    EXPECT_FALSE(quick.timedOut);
    EXPECT_TRUE(quick.exited);
}

} // namespace

// A command whose supervisor is gone is ended: nothing would record its end, and a print
// that went on would be printed again.
TEST_F(Process, CommandWhoseSupervisorDiesIsEndedAndItsEndIsUnknown)
{
    const QString pidFile = dir.filePath(QStringLiteral("pid"));
    const QString orphan =
        script(QStringLiteral("orphan.sh"), "echo $$ > \"$1\"\nkill -9 $PPID\nexec sleep 60\n");
    setSupervisorProgram(QStringLiteral(SPOOLMERE_SUPERVISOR));
    QFile record(dir.filePath(QStringLiteral("record")));
    ASSERT_TRUE(record.open(QIODevice::ReadWrite));
    const ProcessResult result =
        runProcess(orphan, {pidFile}, dir.path(), 0, 4096, record.handle());
    setSupervisorProgram(QString());
    // It may die before it has said "started": then the command counts as never started.
    EXPECT_TRUE(!result.started || (result.exited && result.exitStatus == -1));
    const QByteArray pid = readFile(pidFile).trimmed();
    ASSERT_FALSE(pid.isEmpty());
    // Gone, or a zombie waiting for whoever adopted it.
    EXPECT_TRUE(waitUntil([&] {
        const QByteArray stat =
            readFile(QStringLiteral("/proc/") + QString::fromLatin1(pid) + QStringLiteral("/stat"));
        return stat.isEmpty() || stat.contains(") Z ");
    }));
    EXPECT_TRUE(record.readAll().isEmpty());
}

// What a supervised command starts in sessions of its own, three deep and deaf to SIGTERM, is
// ended at the command's time limit; a chain a finished command left running is counted
// for it, and ended at the time limit of a later command.
TEST_F(Process, SetsidChainsAreEndedAtTimeLimitsAndCounted)
{
    // chain.sh DIR N: N processes, each the parent of the next, each in a session of its own.
    const QString chain = script(QStringLiteral("chain.sh"),
                                 "trap '' TERM\necho $$ > \"$1/level$2.pid\"\n"
                                 "[ \"$2\" -gt 1 ] && setsid \"$0\" \"$1\" $(($2 - 1)) &\n"
                                 "exec sleep 1000\n");
    const auto starter = [&](const QString& name, const QByteArray& then) {
        return script(name, "mkdir \"$1\"\nsetsid \"$(dirname \"$0\")/chain.sh\" \"$1\" 3 &\n"
                            "while [ ! -s \"$1/level1.pid\" ]; do sleep 0.02; done\n" +
                                then);
    };
    const QString hangs = starter(QStringLiteral("hangs.sh"), "exec sleep 1000\n");
    const QString leaves = starter(QStringLiteral("leaves.sh"), "exit 0\n");
    const auto levels = [&](const QString& sub) {
        QStringList pids;
        for (int level = 1; level <= 3; ++level)
            pids << QString::fromLatin1(
                readFile(dir.filePath(sub + QStringLiteral("/level%1.pid").arg(level))).trimmed());
        return pids;
    };
    const auto allGone = [&](const QStringList& pids) {
        return std::all_of(pids.begin(), pids.end(),
                           [](const QString& pid) { return !pid.isEmpty() && processGone(pid); });
    };
    setSupervisorProgram(QStringLiteral(SPOOLMERE_SUPERVISOR));
    QFile record(dir.filePath(QStringLiteral("record")));
    ASSERT_TRUE(record.open(QIODevice::ReadWrite));

    const ProcessResult hung = runProcess(hangs, {dir.filePath(QStringLiteral("a"))}, dir.path(),
                                          1500, 4096, record.handle());
    EXPECT_TRUE(hung.timedOut);
    const QStringList first = levels(QStringLiteral("a"));
    EXPECT_TRUE(waitUntil([&] { return allGone(first); }, 15000)) << first.join(u' ').toStdString();

    const ProcessResult left = runProcess(leaves, {dir.filePath(QStringLiteral("b"))}, dir.path(),
                                          60000, 4096, record.handle());
    EXPECT_TRUE(left.exited);
    EXPECT_EQ(left.exitStatus, 0);
    EXPECT_EQ(left.leftRunning, 3);
    const QStringList second = levels(QStringLiteral("b"));
    EXPECT_FALSE(allGone(second));
    const ProcessResult later = runProcess(script(QStringLiteral("later.sh"), "exec sleep 1000\n"),
                                           {}, dir.path(), 500, 4096, record.handle());
    EXPECT_TRUE(later.timedOut);
    EXPECT_EQ(later.leftRunning, 0);
    EXPECT_TRUE(waitUntil([&] { return allGone(second); }, 15000))
        << second.join(u' ').toStdString();
    setSupervisorProgram(QString());
}
