// The built program as a service: IPv4 and IPv6 clients on the one dual-stack listener,
// admitted by the text of their address, and lpd.ini read again on SIGHUP.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// rlpr knows IPv4 only; CUPS' lpd backend speaks IPv6 (it must run as root).
CommandResult cupsLpdOverIpv6(quint16 port, const QString& queue, const QString& file)
{
    return runCommand(
        QStringLiteral("/usr/lib/cups/backend/lpd"),
        {QStringLiteral("1"), QStringLiteral("alice"), QStringLiteral("v6"), QStringLiteral("1"),
         QString(), file},
        60000, {QStringLiteral("DEVICE_URI=lpd://[::1]:%1/%2?reserve=none").arg(port).arg(queue)});
}

// Whatever the server says to an IPv6 client that sends nothing.
CommandResult socatFromIpv6(quint16 port)
{
    return runCommand(QStringLiteral("socat"),
                      {QStringLiteral("-u"), QStringLiteral("TCP6:[::1]:%1").arg(port),
                       QStringLiteral("STDOUT")});
}

bool reload(RunningServer& s, const QByteArray& text, const QString& expectedLine)
{
    const qsizetype before = s.log().size();
    if (!writeFile(s.dir() + QStringLiteral("/lpd.ini"), text) || ::kill(s.pid(), SIGHUP) != 0)
        return false;
    return waitUntil([&] { return s.log().mid(before).contains(expectedLine); });
}

} // namespace

TEST(Service, IPv4AndIPv6ClientsOnOneListenerAreAdmittedByTheirAddressText)
{
    RunningServer s;
    const QString print = QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({print}, {QStringLiteral("127."), QStringLiteral("::1")}));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "over IPv4\n"));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0);
    ASSERT_TRUE(writeFile(file, "over IPv6\n"));
    const CommandResult v6 = cupsLpdOverIpv6(s.port(), QStringLiteral("lp"), file);
    ASSERT_EQ(v6.exitCode, 0) << v6.output.toStdString() << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()).size() == 20; }, 8000));
    EXPECT_TRUE(readFile(s.outFile()).contains("over IPv4\n"));
    EXPECT_TRUE(readFile(s.outFile()).contains("over IPv6\n"));
    // IPv4 peers read as before, never as mapped IPv6 text.
    EXPECT_TRUE(s.log().contains(QStringLiteral(" 127.0.0.1 connected")));
    EXPECT_FALSE(s.log().contains(QStringLiteral("::ffff:")));
    EXPECT_TRUE(s.log().contains(QStringLiteral(" ::1 connected"))) << s.log().toStdString();

    // Without the IPv6 entry ::1 is a stranger; "0.0.0.0" leaves IPv6 out altogether.
    ASSERT_TRUE(
        reload(s, RunningServer::settingsText(s.dir(), s.port(), {print}, {QStringLiteral("127.")}),
               QStringLiteral("Reloading ")));
    const CommandResult stranger = socatFromIpv6(s.port());
    EXPECT_EQ(stranger.output, QByteArray("No permission!\n"));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Remote ::1 no permission.")));
    ASSERT_TRUE(
        reload(s,
               RunningServer::settingsText(s.dir(), s.port(), {print}, {QStringLiteral("127.")},
                                           "LISTEN\r\n0.0.0.0\r\n\r\n"),
               QStringLiteral("Reloading ")));
    LoopbackClient v4;
    EXPECT_TRUE(v4.connectTo(s.port()));
    EXPECT_NE(socatFromIpv6(s.port()).exitCode, 0);
}

TEST(Service, SighupAppliesAnEditedLpdIniAndKeepsTheRunningOneWhenItIsBroken)
{
    RunningServer s;
    const QString print = QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({print}));
    const quint16 oldPort = s.port();
    LoopbackClient open;
    ASSERT_TRUE(open.connectTo(oldPort));

    // New port, a second printer and a spool folder whose names are UTF-8.
    const quint16 newPort = freePort();
    const QString second =
        QStringLiteral("b\u00fcro ") + s.appendScript() + QStringLiteral(" %p/%d");
    QByteArray edited =
        RunningServer::settingsText(s.dir(), newPort, {print, second}, {QStringLiteral("127.")});
    edited.replace("/spool\r\n", "/sp\xC3\xB6\xC3\xB6l\r\n");
    ASSERT_TRUE(reload(s, edited, QStringLiteral("Scanning for old jobs for printer b\u00fcro")))
        << s.log().toStdString();
    LoopbackClient gone;
    EXPECT_FALSE(gone.connectTo(oldPort));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "after reload\n"));
    ASSERT_EQ(rlpr(newPort, QStringLiteral("b\u00fcro"), file).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "after reload\n"; }, 8000))
        << s.log().toStdString();
    EXPECT_TRUE(QDir(s.dir() + QStringLiteral("/sp\u00f6\u00f6l/b\u00fcro")).exists());
    // A Latin-1 client names the same queue, and hears its own bytes back.
    LoopbackClient latin1;
    ASSERT_TRUE(latin1.connectTo(newPort));
    ASSERT_TRUE(latin1.send("\x03"
                            "b\xfcro\n"));
    EXPECT_TRUE(latin1.readAll(3000).startsWith("short queue for printer b\xfcro\n"));
    // The connection opened before the reload is still served.
    ASSERT_TRUE(open.send("\x03lp\n")) << s.log().toStdString();
    EXPECT_TRUE(open.readAll(3000).startsWith("short queue for printer lp"));

    // A file the server cannot use, or a listener it cannot open, changes nothing and says
    // why; the old listener goes on answering, with the old hosts.
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::AnyIPv4, 0));
    const QString ini = s.dir() + QStringLiteral("/lpd.ini");
    const struct
    {
        QByteArray text;
        QString reason;
    } broken[] = {
        {RunningServer::settingsText(s.dir(), 0, {print}, {})
             .replace("PORT\r\n0", "PORT\r\nfivefifteen"),
         QStringLiteral("PORT 'fivefifteen' is not a port")},
        {RunningServer::settingsText(s.dir(), newPort, {print, QStringLiteral("- /bin/true")}, {}),
         QStringLiteral("printer definition '- /bin/true': no queue name")},
        {"", QStringLiteral("it is empty")},
        {RunningServer::settingsText(s.dir(), 0, {print}, {}),
         QStringLiteral("PORT 0 would be a port the kernel picks")},
        {RunningServer::settingsText(s.dir(), newPort, {print}, {}, "MAXCONN\r\n0\r\n\r\n"),
         QStringLiteral("MAXCONN 0 is below 1")},
        {RunningServer::settingsText(s.dir(), busy.serverPort(), {print}, {}),
         QStringLiteral("Cannot listen on [::]:%1: Address already in use")
             .arg(busy.serverPort())},
        {RunningServer::settingsText(s.dir(), newPort + 1, {print}, {},
                                     "LISTEN\r\n10.255.255.1\r\n\r\n"),
         QStringLiteral("Cannot listen on 10.255.255.1:%1: Cannot assign requested address")
             .arg(newPort + 1)},
    };
    for (const auto& k : broken) {
        // Each on the spool folder in use, so only the fault named differs.
        ASSERT_TRUE(reload(s, QByteArray(k.text).replace("/spool\r\n", "/sp\xC3\xB6\xC3\xB6l\r\n"),
                           QStringLiteral("ERROR: Reload of ") + ini +
                               QStringLiteral(" failed, the running settings stay: ") + k.reason))
            << s.log().toStdString();
        ASSERT_TRUE(writeFile(file, "still served\n"));
        ASSERT_EQ(rlpr(newPort, QStringLiteral("b\u00fcro"), file).exitCode, 0)
            << k.reason.toStdString();
    }
    EXPECT_TRUE(s.log().contains(QStringLiteral("ERROR: Cannot listen on 10.255.255.1:")));
    ASSERT_TRUE(QFile::remove(ini));
    ASSERT_EQ(::kill(s.pid(), SIGHUP), 0);
    EXPECT_TRUE(waitUntil([&] { return s.log().count(QStringLiteral("ERROR: Reload of ")) == 8; }));
    ASSERT_TRUE(writeFile(file, "still served\n"));
    ASSERT_EQ(rlpr(newPort, QStringLiteral("b\u00fcro"), file).exitCode, 0);
    const QByteArray printed = "after reload\n" + QByteArray("still served\n").repeated(8);
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == printed; }, 15000))
        << readFile(s.outFile()).toStdString();
}

TEST(Service, ReadyIsReportedOnlyWithAListenerAndATakenPortIsWaitedFor)
{
    QTemporaryDir notifyDir;
    const QByteArray path = QFile::encodeName(notifyDir.path()) + "/notify";
    const int notifySocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(notifySocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QStringList environment{QStringLiteral("NOTIFY_SOCKET=") + QFile::decodeName(path)};
    const auto nextMessage = [&](int waitMs) {
        pollfd p{notifySocket, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, waitMs) != 1)
            return QByteArray();
        const ssize_t n = ::recv(notifySocket, buffer, sizeof buffer, 0);
        return QByteArray(buffer, n > 0 ? int(n) : 0);
    };

    RunningServer first;
    first.setEnvironment(environment);
    ASSERT_TRUE(first.start({}));
    EXPECT_EQ(nextMessage(10000), QByteArray("READY=1"));

    // The port is taken (another server still stopping, say): no ready, the reason at
    // warning, and tries again until the port is free; then ready.
    RunningServer second;
    second.setEnvironment(environment);
    second.setPort(first.port());
    ASSERT_TRUE(second.startWithoutWaiting({}));
    EXPECT_TRUE(second.waitForLog(
        QStringLiteral("WARNING: Cannot listen on [::]:%1: Address already in use - trying again "
                       "until it can be had")
            .arg(first.port())));
    EXPECT_EQ(nextMessage(5000), QByteArray("STATUS=Waiting for the listening address or port"));
    first.stop();
    EXPECT_EQ(nextMessage(5000), QByteArray("STOPPING=1")); // the first server's
    EXPECT_EQ(nextMessage(20000), QByteArray("READY=1\nSTATUS="));
    EXPECT_TRUE(second.waitForLog(QStringLiteral("Listening on :: port %1").arg(first.port())));
    LoopbackClient client;
    EXPECT_TRUE(client.connectTo(first.port()));
    ::close(notifySocket);
}

TEST(Service, StartSaysWhereItListensAndTheStopTakesNoReloadNorClient)
{
    RunningServer s;
    const QString marker = s.dir() + QStringLiteral("/started");
    const QString slow = s.dir() + QStringLiteral("/slow.sh");
    writeScript(slow, "touch \"$(dirname \"$0\")/started\"; sleep 60\n");
    // The stop gives the print a few seconds, then ends it and its job stays.
    ASSERT_TRUE(
        s.start({QStringLiteral("lp ") + slow}, {QStringLiteral("127.")}, "STOPWAIT\r\n5\r\n\r\n"));
    const QString ini = s.dir() + QStringLiteral("/lpd.ini");
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Settings from ") + ini));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Spool folder ") + s.dir() + QStringLiteral("/spool")));
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Listening on :: port %1").arg(s.port())));

    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "long print\n"));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(marker); }, 15000)) << s.log().toStdString();
    ASSERT_EQ(::kill(s.pid(), SIGTERM), 0);
    ASSERT_TRUE(
        waitUntil([&] { return s.log().contains(QStringLiteral("Stopping: waiting up to")); }));
    // A reload meanwhile neither reopens the listener nor takes a job.
    ASSERT_EQ(::kill(s.pid(), SIGHUP), 0);
    EXPECT_TRUE(s.waitForLog(QStringLiteral("WARNING: Reload of ") + ini +
                             QStringLiteral(" ignored: the server is stopping")))
        << s.log().toStdString();
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(s.port()));
    EXPECT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode == 0, false);
    EXPECT_TRUE(s.waitForExit(30000));
    EXPECT_TRUE(s.log().contains(QStringLiteral("Stopping: the print still ran after 5 s; ended, "
                                                "its job stays for the next start")))
        << s.log().toStdString();
}

TEST(Service, CheckConfigJudgesLpdIniAsAReloadWould)
{
    QTemporaryDir dir;
    const QString ini = dir.path() + QStringLiteral("/lpd.ini");
    const auto check = [&] {
        return runCommand(QStringLiteral(SPOOLMERE_BINARY),
                          {QStringLiteral("--check-config"), ini});
    };
    ASSERT_TRUE(writeFile(ini, RunningServer::settingsText(dir.path(), 5515,
                                                           {QStringLiteral("lp /bin/true")},
                                                           {QStringLiteral("127.")})));
    const CommandResult good = check();
    EXPECT_EQ(good.exitCode, 0) << good.output.toStdString();
    EXPECT_TRUE(good.output.contains("usable: listens on :: port 5515"))
        << good.output.toStdString();

    ASSERT_TRUE(
        writeFile(ini, RunningServer::settingsText(dir.path(), 0, {}, {}, "MAXCONN\r\n0\r\n\r\n")));
    const CommandResult broken = check();
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_TRUE(broken.output.contains(ini.toUtf8() + ": PORT 0 would be a port the kernel picks"))
        << broken.output.toStdString();
    EXPECT_TRUE(broken.output.contains(ini.toUtf8() + ": MAXCONN 0 is below 1"));

    ASSERT_TRUE(QFile::remove(ini));
    const CommandResult missing = check();
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.output.contains(ini.toUtf8() + ": it is missing"));
}

TEST(Service, ANewSpoolFolderTakesTheWaitingJobsAlongAndTheNextStartFindsThem)
{
    RunningServer s;
    const QString append = s.appendScript() + QStringLiteral(" %p/%d");
    // Both queues keep their jobs ("-": printing off) until the reload switches lp on.
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + append, QStringLiteral("-hold ") + append}));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    for (const char* queue : {"lp", "hold"}) {
        ASSERT_TRUE(writeFile(file, QByteArray("waited in ") + queue + '\n'));
        ASSERT_EQ(rlpr(s.port(), QString::fromLatin1(queue), file).exitCode, 0);
    }
    const auto files = [](const QString& folder) {
        return QDir(folder).entryList(QDir::Files).size();
    };
    ASSERT_TRUE(waitUntil([&] { return files(s.spool(QStringLiteral("hold"))) == 2; }));

    const auto settings = [&](const QString& lpFlag, const QString& holdFlag) {
        return RunningServer::settingsText(s.dir(), s.port(),
                                           {lpFlag + QStringLiteral("lp ") + append,
                                            holdFlag + QStringLiteral("hold ") + append},
                                           {QStringLiteral("127.")})
            .replace("/spool\r\n", "/spool2\r\n");
    };
    ASSERT_TRUE(
        reload(s, settings({}, QStringLiteral("-")),
               QStringLiteral("2 waiting job(s) moved to ") + s.dir() + QStringLiteral("/spool2")))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "waited in lp\n"; }, 10000))
        << s.log().toStdString();
    EXPECT_EQ(files(s.spool(QStringLiteral("hold"))), 0);
    EXPECT_EQ(files(s.dir() + QStringLiteral("/spool2/hold")), 2);

    // The next start reads only the new folder, and finds the job that still waits.
    s.stop();
    ASSERT_TRUE(writeFile(s.dir() + QStringLiteral("/lpd.ini"), settings({}, {})));
    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(
        waitUntil([&] { return readFile(s.outFile()) == "waited in lp\nwaited in hold\n"; }, 10000))
        << s.log().toStdString();
}

TEST(Service, TypingErrorsAreRefusedByCheckConfigAndByTheRunningServersReload)
{
    RunningServer s;
    const QString print = QStringLiteral("lp ") + s.appendScript() + QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start({print}));
    const QStringList hosts{QStringLiteral("127.")};
    const QByteArray good = RunningServer::settingsText(s.dir(), s.port(), {print}, hosts);
    const QByteArray portLine = "PORT\r\n" + QByteArray::number(s.port()) + "\r\n";
    const auto withPort = [&](const QByteArray& value) {
        return QByteArray(good).replace(portLine, "PORT\r\n" + value + "\r\n");
    };
    const auto withPrinter = [&](const char* definition) {
        return RunningServer::settingsText(s.dir(), s.port(), {QString::fromUtf8(definition)},
                                           hosts);
    };
    QTcpServer busy;
    ASSERT_TRUE(busy.listen(QHostAddress::Any, 0));
    const struct
    {
        QByteArray text;
        const char* reason;
    } typos[] = {
        {withPort("5l5"), "PORT '5l5' is not a port"},
        {withPort("5 15"), "PORT '5 15' is not a port"},
        {withPort("515x"), "PORT '515x' is not a port"},
        {withPort("51.5"), "PORT '51.5' is not a port"},
        {withPort("6338 6339"), "PORT '6338 6339' is not a port"},
        {withPort(QByteArray("62\0 10", 6)), "PORT '62\\x00 10' is not a port"},
        {QByteArray(good).replace("PRINTERS\r\n", "PRINTER\r\n"),
         "line 7: unknown keyword 'PRINTER' (did you mean PRINTERS?)"},
        {QByteArray(good).replace("PORT\r\n", "PORTS\r\n"),
         "line 4: unknown keyword 'PORTS' (did you mean PORT?)"},
        {QByteArray(good).replace("PRINTERS", "TIMEOUT\r\n5x\r\n\r\nPRINTERS"),
         "line 8: TIMEOUT '5x' is not a whole number"},
        {withPrinter("lp  "), "printer definition 'lp  ': no print command"},
        {withPrinter("lp /bin/sh -c 'cat \"$0\" >> /srv/out %p/%d"),
         "a quote is not closed in the print command"},
        {withPrinter("../.../esc /bin/true"),
         "the queue name '../.../esc' cannot be a folder's name"},
        {QByteArray(good).replace(QFile::encodeName(s.dir()) + "/spool", "/etc/passwd/spool"),
         "spool folder /etc/passwd/spool (to make it in /etc/passwd): not a folder"},
        {withPort(QByteArray::number(busy.serverPort())), "Address already in use"},
    };
    const QString ini = s.dir() + QStringLiteral("/lpd.ini");
    for (const auto& typo : typos) {
        ASSERT_TRUE(writeFile(ini, typo.text));
        const CommandResult check = s.command({QStringLiteral("--check-config")});
        EXPECT_EQ(check.exitCode, 1) << typo.reason;
        EXPECT_TRUE(check.output.contains(ini.toUtf8() + ": ")) << check.output.toStdString();
        EXPECT_TRUE(check.output.contains(typo.reason)) << check.output.toStdString();
        // What ExecReload runs: the running server's own verdict, with its reason.
        const CommandResult reload = s.command({QStringLiteral("--reload")});
        EXPECT_EQ(reload.exitCode, 1) << typo.reason;
        EXPECT_TRUE(reload.output.startsWith("spoolmere: reload refused: ")) << typo.reason;
        EXPECT_TRUE(reload.output.contains(typo.reason)) << reload.output.toStdString();
    }
    EXPECT_EQ(s.log().count(QStringLiteral("ERROR: Reload of ")), int(std::size(typos)));
    // The port the server holds is its own: usable, and a reload takes it.
    ASSERT_TRUE(writeFile(
        ini, QByteArray(good).replace("PRINTERS\r\n", "TIMEOUT\r\n2\r\n\r\nPRINTERS\r\n")));
    const CommandResult check = s.command({QStringLiteral("--check-config")});
    EXPECT_EQ(check.exitCode, 0) << check.output.toStdString();
    EXPECT_TRUE(check.output.contains(QStringLiteral("note: port %1 is the running server's")
                                          .arg(s.port())
                                          .toUtf8()))
        << check.output.toStdString();
    const CommandResult reload = s.command({QStringLiteral("--reload")});
    EXPECT_EQ(reload.exitCode, 0) << reload.output.toStdString();
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Reloading ") + ini));
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "still served\n"));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == "still served\n"; }, 8000));
}

TEST(Service, AListenAddressThatAppearsLaterIsListenedOnThen)
{
    // A private network namespace whose loopback lacks the address until the test adds it,
    // as an interface that comes up late in the boot.
    ASSERT_EQ(::geteuid(), 0u) << "a network namespace needs root";
    RunningServer s;
    s.setLauncher({QStringLiteral("unshare"), QStringLiteral("--net"), QStringLiteral("--"),
                   QStringLiteral("sh"), QStringLiteral("-c"),
                   QStringLiteral("ip link set lo up && exec \"$0\" \"$@\"")});
    ASSERT_TRUE(s.startWithoutWaiting({QStringLiteral("lp /bin/true")}, {QStringLiteral("10.")},
                                      "LISTEN\r\n10.77.0.1\r\n\r\n"));
    ASSERT_TRUE(s.waitForLog(QStringLiteral("WARNING: Cannot listen on 10.77.0.1:%1: Cannot assign "
                                            "requested address - trying again until it can be had")
                                 .arg(s.port())))
        << s.log().toStdString();
    const QString pid = QString::number(s.pid());
    const auto inNamespace = [&](const QStringList& command) {
        return runCommand(QStringLiteral("nsenter"),
                          QStringList{QStringLiteral("-t"), pid, QStringLiteral("-n"),
                                      QStringLiteral("--")} +
                              command);
    };
    ASSERT_EQ(inNamespace({QStringLiteral("ip"), QStringLiteral("addr"), QStringLiteral("add"),
                           QStringLiteral("10.77.0.1/32"), QStringLiteral("dev"), QStringLiteral("lo")})
                  .exitCode,
              0);
    EXPECT_TRUE(s.waitForLog(QStringLiteral("Listening on 10.77.0.1 port %1").arg(s.port()), 15000))
        << s.log().toStdString();
    const CommandResult answer =
        inNamespace({QStringLiteral("sh"), QStringLiteral("-c"),
                     QStringLiteral("printf '\\003lp\\n' | socat -t5 - TCP:10.77.0.1:%1")
                         .arg(s.port())});
    EXPECT_TRUE(answer.output.startsWith("short queue for printer lp")) << answer.output.toStdString();
}

TEST(Service, PrintCommandsInheritNoCapability)
{
    // As under the service: a user without rights of its own, CAP_NET_BIND_SERVICE ambient.
    ASSERT_EQ(::geteuid(), 0u) << "taking another user's ids needs root";
    RunningServer s;
    ASSERT_EQ(::chown(QFile::encodeName(s.dir()).constData(), 65534, 65534), 0);
    const QString report = s.dir() + QStringLiteral("/caps.sh");
    writeScript(report, "grep ^Cap /proc/self/status > \"$(dirname \"$0\")/caps.txt\"\n");
    s.setLauncher({QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                   QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
                   QStringLiteral("--inh-caps=+net_bind_service"),
                   QStringLiteral("--ambient-caps=+net_bind_service")});
    ASSERT_TRUE(s.start({QStringLiteral("lp ") + report + QStringLiteral(" %p/%d")}))
        << s.log().toStdString() << s.errors().toStdString();
    const QString file = s.dir() + QStringLiteral("/job.txt");
    ASSERT_TRUE(writeFile(file, "x\n"));
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0) << s.log().toStdString();
    const QString caps = s.dir() + QStringLiteral("/caps.txt");
    ASSERT_TRUE(waitUntil([&] { return readFile(caps).contains("CapAmb"); }, 15000))
        << s.log().toStdString();
    const QByteArray text = readFile(caps);
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        EXPECT_TRUE(text.contains(QByteArray(set) + ":\t0000000000000000")) << text.toStdString();
    // The server itself kept what it needs: it moves to another port below 1024.
    const quint16 low = 1000 + quint16(s.port() % 23);
    ASSERT_TRUE(writeFile(s.dir() + QStringLiteral("/lpd.ini"),
                          RunningServer::settingsText(s.dir(), low, {QStringLiteral("lp ") + report},
                                                      {QStringLiteral("127.")})));
    const CommandResult reload = s.command({QStringLiteral("--reload")});
    EXPECT_EQ(reload.exitCode, 0) << reload.output.toStdString() << s.log().toStdString();
}
