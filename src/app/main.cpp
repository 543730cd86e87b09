// Thin main: parse the command line, take the instance lock, build the core, add the window
// when there is a display, run the loop, end in order.

#include "config/logsink.h"
#include "config/settings.h"
#include "net/socketresolver.h"
#include "platform/commandline.h"
#include "platform/controlchannel.h"
#include "platform/cupsconnection.h"
#include "platform/instancelock.h"
#include "platform/printroutes.h"
#include "platform/servicemanager.h"
#include "platform/unixsignals.h"
#include "protocol/listener.h"
#include "protocol/lpdserver.h"
#include "protocol/serverstatus.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef SPOOLMERE_HAVE_GUI
#include "gui/desktopshell.h"
#include "gui/waitnotice.h"
#include <QApplication>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

QStringList rawArguments(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

bool noDisplay()
{
    return qEnvironmentVariableIsEmpty("DISPLAY") &&
           qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariable("QT_QPA_PLATFORM") != QLatin1String("offscreen");
}

void printError(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

int usageFault(const QString& error)
{
    printError(QStringLiteral("spoolmere: ") + error);
    return 2;
}

// `spoolmere --send WORD`: hands the word to the running server. It never takes the lock,
// so it is never a second instance.
int sendWord(int argc, char** argv, const CommandLine& options)
{
    QCoreApplication app(argc, argv);
    if (!options.error.isEmpty())
        return usageFault(options.error);
    QString error;
    const QString dir = InstanceLock::runtimeDir(&error);
    if (dir.isEmpty() || !ControlChannel::send(dir, options.sendWord, &error)) {
        printError(QStringLiteral("spoolmere: ") + error);
        return ControlChannel::isControlWord(options.sendWord) ? 1 : 2;
    }
    return 0;
}

// The runtime folders where a running server may answer: this user's, then the service's
// (its control socket is open to root and the service's user).
QStringList serverRuntimeDirs()
{
    QStringList dirs;
    const QString own = InstanceLock::runtimeDir();
    if (!own.isEmpty())
        dirs << own;
    const QString service = QStringLiteral(SPOOLMERE_SERVICE_RUNTIME_DIR);
    if (!dirs.contains(service))
        dirs << service;
    return dirs;
}

// The port a running server listens on, asked over its control channel; 0 when none answers.
quint16 runningServerPort()
{
    for (const QString& dir : serverRuntimeDirs()) {
        QByteArray answer;
        if (!ControlChannel::requestStatus(dir, &answer, nullptr, 3000))
            continue;
        const QJsonObject status = QJsonDocument::fromJson(answer).object();
        if (status.value(QStringLiteral("listening")).toBool())
            return quint16(status.value(QStringLiteral("port")).toInt());
    }
    return 0;
}

// Whether the address and port can be had, tried with a socket of our own that is closed at
// once: a port that a running spoolmere holds is fine (a reload keeps it), one that another
// program holds is not. Empty when fine; `note` gets what is worth saying but no fault.
QString listenProblem(const Settings& settings, QString* note)
{
    QString reason;
    {
        LogSink quiet;
        Listener probe(quiet);
        if (probe.open(settings.listenAddress, settings.port, &reason)) {
            probe.stop();
            return {};
        }
        probe.stop();
    }
    quint16 wanted = 0;
    resolvePort(settings.port, false, &wanted);
    if (reason.endsWith(QString::fromLocal8Bit(std::strerror(EADDRINUSE))) &&
        runningServerPort() == wanted) {
        *note = QStringLiteral("port %1 is the running server's").arg(wanted);
        return {};
    }
    if (reason.endsWith(QString::fromLocal8Bit(std::strerror(EACCES))) && ::geteuid() != 0) {
        // The service has CAP_NET_BIND_SERVICE; whoever runs the check may not.
        *note = reason + QStringLiteral(" (the service may: it has CAP_NET_BIND_SERVICE)");
        return {};
    }
    return reason;
}

// `spoolmere --check-config [FILE]`: lpd.ini read and judged as a reload would, so that a
// broken file is caught before it is sent to the running server.
int checkConfig(int argc, char** argv, const CommandLine& options)
{
    QCoreApplication app(argc, argv);
    if (!options.error.isEmpty())
        return usageFault(options.error);
    const QString path = options.configFile.isEmpty() ? locateSettingsFile() : options.configFile;
    Settings settings;
    QStringList problems;
    QString warning;
    bool usable = readUsableSettings(path, settings, &problems, &warning);
    QString note;
    if (usable) {
        if (const QString problem = listenProblem(settings, &note); !problem.isEmpty()) {
            problems << problem;
            usable = false;
        }
    }
    if (!warning.isEmpty())
        printError(path + QStringLiteral(": warning: ") + warning);
    for (const QString& problem : std::as_const(problems))
        printError(path + QStringLiteral(": ") + problem);
    if (!usable)
        return 1;
    if (!note.isEmpty())
        printError(path + QStringLiteral(": note: ") + note);
    std::printf("%s: usable: listens on %s port %s, spool folder %s, %d printer(s), %d host "
                "entr%s\n",
                path.toLocal8Bit().constData(), settings.listenAddress.toLocal8Bit().constData(),
                settings.port.toLocal8Bit().constData(),
                effectiveSpoolDir(settings.spoolDir, path).toLocal8Bit().constData(),
                int(settings.printers.size()), int(settings.hosts.size()),
                settings.hosts.size() == 1 ? "y" : "ies");
    return 0;
}

// `spoolmere --reload`: the running server reads lpd.ini again and answers whether it took
// it; the exit status is that verdict (the service's ExecReload, so that `systemctl reload`
// fails when the server refused the file).
int requestReload(int argc, char** argv, const CommandLine& options)
{
    QCoreApplication app(argc, argv);
    if (!options.error.isEmpty())
        return usageFault(options.error);
    QStringList errors;
    for (const QString& dir : serverRuntimeDirs()) {
        if (!QFileInfo::exists(ControlChannel::socketPath(dir))) {
            errors << QStringLiteral("no running spoolmere at ") + ControlChannel::socketPath(dir);
            continue;
        }
        QString error;
        if (ControlChannel::requestReload(dir, &error))
            return 0;
        printError(QStringLiteral("spoolmere: reload refused: ") + error);
        return 1;
    }
    printError(QStringLiteral("spoolmere: ") + errors.join(QStringLiteral("; ")));
    return 1;
}

// `spoolmere --status`: asks this user's server, else the system service (its control
// socket is open to root and the service's user), what it is doing.
int showStatus(int argc, char** argv, const CommandLine& options)
{
    QCoreApplication app(argc, argv);
    if (!options.error.isEmpty())
        return usageFault(options.error);
    QStringList errors;
    for (const QString& dir : serverRuntimeDirs()) {
        QByteArray answer;
        QString error;
        if (!ControlChannel::requestStatus(dir, &answer, &error)) {
            errors << error;
            continue;
        }
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(answer, &parseError);
        if (!document.isObject()) {
            printError(QStringLiteral("spoolmere: the status from ") +
                       ControlChannel::socketPath(dir) +
                       QStringLiteral(" is not a JSON document: ") + parseError.errorString());
            return 1;
        }
        const QByteArray out = options.json ? document.toJson(QJsonDocument::Indented)
                                            : ServerStatus::text(document.object()).toUtf8();
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        return 0;
    }
    printError(QStringLiteral("spoolmere: ") + errors.join(QStringLiteral("; ")));
    return 1;
}

// A second start. With a display it brings the running server's window up, as a launcher
// click on a running program does elsewhere, and says so on the terminal. A server that does
// not answer is stopping (it lets a print end first): this start waits for it, on screen,
// and returns -1 once the lock is its own, to go on as the server.
int alreadyRunning(int argc, char** argv, bool headless, InstanceLock& lock)
{
    const QString text = QStringLiteral("Spoolmere is already running");
    if (headless) {
        printError(text + QLatin1Char('.'));
        return 0;
    }
    QString error;
    const QString dir = InstanceLock::runtimeDir(&error);
    if (!dir.isEmpty() && ControlChannel::send(dir, QStringLiteral("lpdshow"), &error)) {
        printError(text + QStringLiteral("; its window was brought to the front."));
        return 0;
    }
    printError(text + QStringLiteral(" and does not answer (") + error +
               QStringLiteral("); waiting for it to stop."));
#ifdef SPOOLMERE_HAVE_GUI
    Settings settings;
    loadSettingsFile(locateSettingsFile(), settings);
    QApplication app(argc, argv);
    if (waitForStoppingServer(lock, settings.stopWaitSeconds))
        return -1;
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    Q_UNUSED(lock);
#endif
    return 0;
}

#ifndef SPOOLMERE_HAVE_GUI
// The window lives in a program of its own beside this one, so a server without a display
// never maps the GUI libraries (several MiB resident). Returns only if that program cannot
// be started; the server then runs without a window rather than not at all.
void runDesktopProgram(char** argv)
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    std::string path(self, size_t(n));
    path = path.substr(0, path.rfind('/') + 1) + "spoolmere-desktop";
    ::execv(path.c_str(), argv);
    std::fprintf(stderr, "spoolmere: cannot start %s (%s); running without a window\n",
                 path.c_str(), std::strerror(errno));
}
#endif

void printLogLine(const QString& line)
{
    // Under systemd each line carries its priority, so `journalctl -p err` finds failures.
    static const bool journal = servicemanager::standardOutputIsJournal();
    QByteArray bytes;
    if (journal) {
        bytes = servicemanager::journalLine(line);
    } else {
        bytes = line.toLocal8Bit();
        bytes += '\n';
    }
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    // Before any thread exists, so that every thread and every program started later has
    // no ambient capability; the server itself keeps what it needs for its port.
    clearInheritedCapabilities();
    // The print supervisor: nothing of the server, not even Qt, is set up for it.
    if (argc == 2 && std::strcmp(argv[1], SuperviseOption) == 0)
        return runSupervisor();
    UnixSignals::resetToDefaults();
    if (argc == 2 && std::strcmp(argv[1], CupsListOption) == 0)
        return printCupsPrinterNames();
    const CommandLine raw = CommandLine::parse(rawArguments(argc, argv));
    if (raw.help || raw.version) {
        const QString program = QString::fromLocal8Bit(argc > 0 ? argv[0] : "spoolmere");
        const QString text = raw.help ? CommandLine::usage(program.section(QLatin1Char('/'), -1))
                                      : QStringLiteral("spoolmere " SPOOLMERE_VERSION "\n");
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (raw.send)
        return sendWord(argc, argv, raw);
    if (raw.checkConfig)
        return checkConfig(argc, argv, raw);
    if (raw.status)
        return showStatus(argc, argv, raw);
    if (raw.reload)
        return requestReload(argc, argv, raw);
#ifdef SPOOLMERE_HAVE_GUI
    const bool headless = raw.headless || noDisplay();
#else
    if (!raw.headless && !noDisplay())
        runDesktopProgram(argv);
    const bool headless = true;
#endif
    // With a window, Qt's own options (-platform, -style, ...) are taken out of the
    // arguments by QApplication; the fault is judged once that has happened.
    if (headless && !raw.error.isEmpty())
        return usageFault(raw.error);

    // First of all, before any window: one server per user.
    InstanceLock lock;
    switch (lock.acquire()) {
    case InstanceLock::Result::AlreadyRunning:
        if (const int rc = alreadyRunning(argc, argv, headless, lock); rc >= 0)
            return rc;
        break;
    case InstanceLock::Result::Failed:
        // Without its own folder another user could steer this server or start a second one
        // beside it: it runs so only when told to.
        if (!raw.withoutControl) {
            printError(QStringLiteral("spoolmere: no instance lock: ") + lock.error() +
                       QStringLiteral("; not started (--without-control starts it without "
                                      "instance lock and control messages)"));
            return 1;
        }
        printError(QStringLiteral("spoolmere: no instance lock: ") + lock.error() +
                   QStringLiteral("; running without instance lock and control messages"));
        break;
    case InstanceLock::Result::Acquired:
        break;
    }
    const QString runtimeDir = lock.held() ? InstanceLock::runtimeDir() : QString();

    // Headless never creates a QGuiApplication: without a display it would abort.
    std::unique_ptr<QCoreApplication> app;
#ifdef SPOOLMERE_HAVE_GUI
    if (headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
#else
    app = std::make_unique<QCoreApplication>(argc, argv);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("spoolmere"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SPOOLMERE_VERSION));
    setCupsListHelper(QCoreApplication::applicationFilePath());
    const QString supervisor =
        QCoreApplication::applicationDirPath() + QStringLiteral("/spoolmere-supervise");
    setSupervisorProgram(QFileInfo(supervisor).isExecutable()
                             ? supervisor
                             : QCoreApplication::applicationFilePath());
    // Qt has taken its own options out of the arguments by now.
    const CommandLine options = CommandLine::parse(QCoreApplication::arguments().mid(1));
    if (!options.error.isEmpty())
        return usageFault(options.error);

    UnixSignals signals_;
    QObject::connect(&signals_, &UnixSignals::terminateRequested, app.get(),
                     [](int) { QCoreApplication::exit(0); });

    LpdServer server(locateSettingsFile());
    const auto reload = [&server] {
        // During the stop the reload is only logged as ignored; systemd hears nothing of it.
        const bool stopping = server.isStopping();
        if (!stopping)
            servicemanager::notify("RELOADING=1");
        QString refusal;
        server.reloadSettings(&refusal);
        if (!stopping)
            servicemanager::notify(server.isListening() ? "READY=1" : "STATUS=Not listening");
        return refusal;
    };
    QObject::connect(&signals_, &UnixSignals::reloadRequested, &server, [reload] { reload(); });
    ControlChannel channel;
    channel.setStatusProvider([&server] { return ServerStatus::document(server); });
    channel.setReloadHandler(reload);
    int rc = 0;
#ifdef SPOOLMERE_HAVE_GUI
    // It outlives the stop below: its notice says what the stop waits for.
    std::unique_ptr<DesktopShell> shell;
#endif
    if (headless) {
        // Every line goes to standard output; with no window to show them, holding the
        // last twenty thousand in memory as well would only cost a few MiB.
        server.log().setCapacity(1000);
        QObject::connect(&server.log(), &LogSink::lineAppended, &printLogLine);
        // No window to show or protect: only "lpddown" has something to do.
        QObject::connect(&channel, &ControlChannel::downRequested, app.get(),
                         [] { QCoreApplication::exit(0); });
        if (!runtimeDir.isEmpty() && !channel.listen(runtimeDir))
            printError(QStringLiteral("spoolmere: no control messages: ") + channel.error());
        // An address that comes up later in the boot, or a port another server still holds,
        // is tried again and again (the listener's back-off); systemd hears "ready" only once
        // jobs can come in, and its start timeout decides how long that may take.
        if (server.start()) {
            // Listening and old jobs recovered: systemd may start what comes after us.
            servicemanager::notify("READY=1");
        } else {
            servicemanager::notify("STATUS=Waiting for the listening address or port");
            QObject::connect(&server, &LpdServer::listeningStarted, app.get(), [] {
                servicemanager::notify("READY=1\nSTATUS=");
            });
        }
        rc = QCoreApplication::exec();
        servicemanager::notify("STOPPING=1");
        channel.close();
    }
#ifdef SPOOLMERE_HAVE_GUI
    else {
        shell = std::make_unique<DesktopShell>(server, channel, runtimeDir, options);
        shell->start();
        rc = QCoreApplication::exec();
        shell->finish();
    }
#endif

    // The end, in order: no more connections, the lock free for the next start, then
    // "lpdshow" to whoever listens now (a server started a moment after this one let go).
    server.shutdown();
#ifdef SPOOLMERE_HAVE_GUI
    shell.reset();
#endif
    lock.release();
    if (!runtimeDir.isEmpty())
        ControlChannel::send(runtimeDir, QStringLiteral("lpdshow"), nullptr, 1000);
    std::fflush(stdout);
    // A print still running (one that ignored its end) is not waited for: its job keeps its
    // files and is taken up again at the next start.
    if (server.printing())
        ::_exit(rc);
    return rc;
}
