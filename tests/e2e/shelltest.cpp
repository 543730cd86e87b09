// The built program as a desktop user meets it headless: one server per runtime folder, and
// the control messages sent with `spoolmere --send WORD`.

#include "runningserver.h"

#include "testsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace {

struct ProgramRun
{
    int exitCode = -1;
    bool normal = false;
    QByteArray out;
    QByteArray err;
};

// The program with `args`, in the given server's runtime folder and lpd.ini, to its end.
ProgramRun runBeside(RunningServer& s, const QStringList& args,
                     const QString& program = QStringLiteral(SPOOLMERE_BINARY))
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLMERE_CONFIG"), s.dir() + QStringLiteral("/lpd.ini"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), s.dir());
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProgramRun r;
    if (!p.waitForStarted(5000))
        return r;
    // The event loop keeps turning while it runs, as in runCommand.
    if (!waitUntil([&] { return p.state() == QProcess::NotRunning; }, 20000)) {
        p.kill();
        p.waitForFinished(3000);
    }
    r.exitCode = p.exitCode();
    r.normal = p.exitStatus() == QProcess::NormalExit;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

TEST(Shell, SecondInstanceSaysLpdAlreadyRunningAndLeavesTheFirstAlone)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("-lp /bin/true")}));
    // The start-up probe's connection has come and gone.
    ASSERT_TRUE(waitUntil([&] { return s.log().contains(QStringLiteral(" (was) closed.")); }));
    const QString before = s.log();

    const ProgramRun second = runBeside(s, {QStringLiteral("--headless")});
    EXPECT_TRUE(second.normal);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.err, QByteArray("Spoolmere is already running.\n"));
    EXPECT_TRUE(second.out.isEmpty()); // it never got as far as the log

    // The first saw nothing of it and still serves.
    spinFor(200);
    EXPECT_EQ(s.log().toStdString(), before.toStdString());
    LoopbackClient c;
    ASSERT_TRUE(c.connectTo(s.port()));
    c.send("\x04lp\n");
    EXPECT_FALSE(c.readAll().isEmpty());
}

TEST(Shell, SendLpddownEndsTheHeadlessServerInOrder)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("-lp /bin/true")}));
    ASSERT_TRUE(s.waitForLog(QStringLiteral("Scanning for old jobs for printer lp")));

    // The other words are taken too and leave it running.
    for (const char* word : {"lpdprot", "lpduprot", "lpdshow"}) {
        const ProgramRun r = runBeside(s, {QStringLiteral("--send"), QString::fromLatin1(word)});
        EXPECT_EQ(r.exitCode, 0) << word << r.err.constData();
        // Sending is not a second instance.
        EXPECT_FALSE(r.err.contains("already running"));
    }
    EXPECT_FALSE(s.waitForExit(300));

    const ProgramRun down = runBeside(s, {QStringLiteral("--send"), QStringLiteral("lpddown")});
    EXPECT_EQ(down.exitCode, 0) << down.err.constData();
    ASSERT_TRUE(s.waitForExit(10000));
    EXPECT_TRUE(s.exitedNormally());
    EXPECT_EQ(s.exitCode(), 0);
    EXPECT_TRUE(s.errors().isEmpty()) << s.errors().toStdString();

    // Everything was let go: nobody answers, and a new server takes the folder and port.
    const ProgramRun none = runBeside(s, {QStringLiteral("--send"), QStringLiteral("lpdshow")});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.err.contains("no running spoolmere")) << none.err.constData();
    EXPECT_TRUE(s.restart());
}

TEST(Shell, SendRefusesWordsThatAreNotControlMessages)
{
    RunningServer s;
    ASSERT_TRUE(s.start({QStringLiteral("-lp /bin/true")}));
    for (const QStringList& args :
         {QStringList{QStringLiteral("--send"), QStringLiteral("shutdown")},
          QStringList{QStringLiteral("--send")}}) {
        const ProgramRun r = runBeside(s, args);
        EXPECT_EQ(r.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
    EXPECT_FALSE(s.waitForExit(200));
}

TEST(Shell, HelpAndVersionEndAtOnceAndAnUnknownOptionIsAUsageFault)
{
    RunningServer s; // only its folder: nothing may start a server here
    const QString desktop = QStringLiteral(SPOOLMERE_BINARY "-desktop");
    for (const QString& program : {QStringLiteral(SPOOLMERE_BINARY), desktop}) {
        const QString name = program.section(QLatin1Char('/'), -1);
        const CommandResult help = runCommand(program, {QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0) << name.toStdString();
        EXPECT_TRUE(help.output.contains("--send")) << help.output.constData();
        const CommandResult version =
            runCommand(program, {QStringLiteral("open"), QStringLiteral("--version")});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_EQ(version.output, QByteArray("spoolmere " SPOOLMERE_VERSION "\n"));
        const ProgramRun bad =
            runBeside(s, {QStringLiteral("--headless"), QStringLiteral("--bogus")}, program);
        EXPECT_EQ(bad.exitCode, 2);
        EXPECT_TRUE(bad.err.contains("unknown option --bogus")) << bad.err.constData();
        EXPECT_TRUE(bad.out.isEmpty());
    }
    EXPECT_FALSE(QFile::exists(s.dir() + QStringLiteral("/spoolmere")));
}

TEST(Shell, WithADisplayTheServerHandsOverToTheDesktopProgram)
{
    const auto programOf = [](qint64 pid) {
        return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    };
    RunningServer headless;
    ASSERT_TRUE(headless.start({QStringLiteral("-lp /bin/true")}));
    EXPECT_TRUE(programOf(headless.pid()).endsWith(QStringLiteral("/spoolmere")))
        << programOf(headless.pid()).toStdString();
    // No GUI library in the server without a display.
    EXPECT_FALSE(readFile(QStringLiteral("/proc/%1/maps").arg(headless.pid())).contains("Widgets"));

    RunningServer desktop;
    desktop.setArguments({}, true);
    ASSERT_TRUE(desktop.start({QStringLiteral("-lp /bin/true")})) << desktop.errors().toStdString();
    // The same process, now the desktop program beside the server, serving the port.
    EXPECT_TRUE(programOf(desktop.pid()).endsWith(QStringLiteral("/spoolmere-desktop")))
        << programOf(desktop.pid()).toStdString();
    EXPECT_TRUE(readFile(QStringLiteral("/proc/%1/maps").arg(desktop.pid())).contains("Widgets"));
    LoopbackClient c;
    ASSERT_TRUE(c.connectTo(desktop.port()));
    c.send("\x04lp\n");
    EXPECT_FALSE(c.readAll().isEmpty());

    const ProgramRun down =
        runBeside(desktop, {QStringLiteral("--send"), QStringLiteral("lpddown")});
    EXPECT_EQ(down.exitCode, 0) << down.err.constData();
    ASSERT_TRUE(desktop.waitForExit(10000));
    EXPECT_EQ(desktop.exitCode(), 0);
}
