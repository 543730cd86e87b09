#include "runningserver.h"

#include "testsupport.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

RunningServer::RunningServer() = default;

RunningServer::~RunningServer()
{
    kill();
}

QString RunningServer::spool(const QString& queue) const
{
    return dir() + QStringLiteral("/spool/") + queue;
}

QString RunningServer::appendScript()
{
    const QString path = dir() + QStringLiteral("/append.sh");
    writeScript(path, "cat \"$1\" >> \"$(dirname \"$0\")/out.bin\"\n");
    return path;
}

QByteArray RunningServer::settingsText(const QString& dir, quint16 port,
                                       const QStringList& printers, const QStringList& hosts,
                                       const QByteArray& extra)
{
    QByteArray text = "SPOOLDIR\r\n" + QFile::encodeName(dir) + "/spool\r\n\r\nPORT\r\n" +
                      QByteArray::number(port) + "\r\n\r\n" + extra + "PRINTERS\r\n";
    for (const QString& p : printers)
        text += p.toUtf8() + "\r\n";
    text += "\r\nHOSTS\r\n";
    for (const QString& h : hosts)
        text += h.toUtf8() + "\r\n";
    return text;
}

bool RunningServer::start(const QStringList& printers, const QStringList& hosts,
                          const QByteArray& extra)
{
    if (m_port == 0)
        m_port = freePort();
    writeFile(dir() + QStringLiteral("/lpd.ini"),
              settingsText(dir(), m_port, printers, hosts, extra));
    return launch();
}

bool RunningServer::startWithoutWaiting(const QStringList& printers, const QStringList& hosts,
                                        const QByteArray& extra)
{
    if (m_port == 0)
        m_port = freePort();
    writeFile(dir() + QStringLiteral("/lpd.ini"),
              settingsText(dir(), m_port, printers, hosts, extra));
    return launch(false);
}

bool RunningServer::reload(const QStringList& printers, const QStringList& hosts,
                           const QByteArray& extra)
{
    return writeFile(dir() + QStringLiteral("/lpd.ini"),
                     settingsText(dir(), m_port, printers, hosts, extra)) &&
           pid() > 0 && ::kill(pid_t(pid()), SIGHUP) == 0;
}

bool RunningServer::restart()
{
    kill();
    return launch();
}

void RunningServer::setArguments(const QStringList& args, bool display)
{
    m_args = args;
    m_display = display;
}

bool RunningServer::launch(bool waitForListener)
{
    m_log.clear();
    m_errors.clear();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPOOLMERE_CONFIG"), dir() + QStringLiteral("/lpd.ini"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir());
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    for (const QString& variable : std::as_const(m_environment))
        env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    if (m_display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setWorkingDirectory(dir());
    if (m_ignoreChildSignal)
        m_process.setChildProcessModifier([] { ::signal(SIGCHLD, SIG_IGN); });
    else
        m_process.setChildProcessModifier({});
    if (m_launcher.isEmpty())
        m_process.start(QStringLiteral(SPOOLMERE_BINARY), m_args);
    else
        m_process.start(m_launcher.first(),
                        m_launcher.mid(1) + QStringList{QStringLiteral(SPOOLMERE_BINARY)} + m_args);
    if (!m_process.waitForStarted(5000))
        return false;
    if (!waitForListener)
        return true;
    return waitUntil(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            const bool up = probe.waitForConnected(100);
            probe.abort();
            return up;
        },
        10000);
}

void RunningServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    m_process.waitForFinished(10000);
    log();
}

void RunningServer::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
    log();
}

QString RunningServer::log()
{
    m_log += m_process.readAllStandardOutput();
    return QString::fromLocal8Bit(m_log);
}

QString RunningServer::errors()
{
    m_errors += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_errors);
}

bool RunningServer::waitForExit(int timeoutMs)
{
    const bool ended =
        waitUntil([&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    log();
    errors();
    return ended;
}

bool RunningServer::waitForLog(const QString& line, int timeoutMs)
{
    return waitUntil(
        [&] {
            m_process.waitForReadyRead(10);
            return log().split(QLatin1Char('\n')).contains(line);
        },
        timeoutMs);
}

bool RunningServer::waitForLogStart(const QString& start, int timeoutMs)
{
    return waitUntil(
        [&] {
            m_process.waitForReadyRead(10);
            const QStringList lines = logLines(start);
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QString& line) { return line.startsWith(start); });
        },
        timeoutMs);
}

QStringList RunningServer::logLines(const QString& text)
{
    return log().split(QLatin1Char('\n')).filter(text);
}

CommandResult RunningServer::status(bool json)
{
    QStringList args{QStringLiteral("--status")};
    if (json)
        args << QStringLiteral("--json");
    return command(args);
}

CommandResult RunningServer::command(const QStringList& args)
{
    return runCommand(QStringLiteral(SPOOLMERE_BINARY), args, 20000,
                      {QStringLiteral("XDG_RUNTIME_DIR=") + dir(),
                       QStringLiteral("SPOOLMERE_CONFIG=") + dir() + QStringLiteral("/lpd.ini")});
}

CommandResult runCommand(const QString& program, const QStringList& args, int timeoutMs,
                         const QStringList& extraEnv)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : extraEnv)
        env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    CommandResult r;
    if (!p.waitForStarted(5000))
        return r;
    // The event loop keeps turning: the server under test may live in this process.
    if (!waitUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) {
        p.kill();
        p.waitForFinished(3000);
        r.output = p.readAll();
        return r;
    }
    r.output = p.readAll();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

void expectEachPrintedOnce(const QMap<int, int>& count, const QList<int>& acked)
{
    EXPECT_FALSE(count.contains(-1)) << "a job was printed cut off or mangled";
    for (auto it = count.begin(); it != count.end(); ++it)
        EXPECT_EQ(it.value(), 1) << "job " << it.key();
    for (int id : acked)
        EXPECT_EQ(count.value(id), 1) << "acknowledged job " << id;
}

QStringList rlprArguments(quint16 port, const QString& queue)
{
    return {QStringLiteral("-N"), QStringLiteral("--port=%1").arg(port),
            QStringLiteral("-H"), QStringLiteral("127.0.0.1"),
            QStringLiteral("-P"), queue};
}

CommandResult rlpr(quint16 port, const QString& queue, const QString& file,
                   const QStringList& extra)
{
    return runCommand(QStringLiteral("rlpr"),
                      rlprArguments(port, queue) + extra + QStringList{file});
}
