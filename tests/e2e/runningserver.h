#pragma once
// The built program, started headless on a temporary lpd.ini and port, with its log read
// from standard output.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class RunningServer
{
public:
    RunningServer();
    ~RunningServer();

    QString dir() const { return m_dir.path(); }
    // Leaves the folder (spool, log, traces) in place for a look after a failure.
    void keepFolder() { m_dir.setAutoRemove(false); }
    QString spool(const QString& queue = QStringLiteral("lp")) const;
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    // An lpd.ini spooling under `dir`/spool, PRINTERS and HOSTS given as lines, `extra`
    // sections before them.
    static QByteArray settingsText(const QString& dir, quint16 port, const QStringList& printers,
                                   const QStringList& hosts, const QByteArray& extra = {});
    // Writes lpd.ini (see settingsText) and starts the program; true when it listens.
    bool start(const QStringList& printers, const QStringList& hosts = {QStringLiteral("127.")},
               const QByteArray& extra = {});
    // The same without waiting for the listener (one that is to wait for its address).
    bool startWithoutWaiting(const QStringList& printers,
                             const QStringList& hosts = {QStringLiteral("127.")},
                             const QByteArray& extra = {});
    // Starts again on the same folder and port.
    bool restart();
    // Writes lpd.ini anew and has the running program read it again (SIGHUP).
    bool reload(const QStringList& printers, const QStringList& hosts = {QStringLiteral("127.")},
                const QByteArray& extra = {});
    // The program's arguments from the next start on ("--headless" unless set), and whether
    // it sees a display (Qt's offscreen one).
    void setArguments(const QStringList& args, bool display);
    // Variables ("NAME=value") added to the program's environment from the next start on.
    void setEnvironment(const QStringList& variables) { m_environment = variables; }
    // The port of the next start (instead of a free one).
    void setPort(quint16 port) { m_port = port; }
    // Starts the program with SIGCHLD ignored, as some launchers leave it.
    void setChildSignalIgnored(bool ignored) { m_ignoreChildSignal = ignored; }
    // A command that runs the program (its arguments first), e.g. prlimit with a limit.
    void setLauncher(const QStringList& launcher) { m_launcher = launcher; }
    void stop(); // SIGTERM, waits
    void kill(); // SIGKILL, waits
    // The log so far (standard output).
    QString log();
    // Standard error so far.
    QString errors();
    // Waits for the program to end by itself; true when it did. Then its exit code and
    // whether it ended normally (not by a signal).
    bool waitForExit(int timeoutMs = 10000);
    int exitCode() const { return m_process.exitCode(); }
    bool exitedNormally() const { return m_process.exitStatus() == QProcess::NormalExit; }
    bool waitForLog(const QString& line, int timeoutMs = 5000);
    // Waits for a line that begins with `start` (one that goes on with a time, say).
    bool waitForLogStart(const QString& start, int timeoutMs = 5000);
    // The log's lines that contain `text`.
    QStringList logLines(const QString& text);
    // A print command: a script that appends each data file ($1) to out.bin.
    QString appendScript();
    QString outFile() const { return dir() + QStringLiteral("/out.bin"); }
    // `spoolmere --status` (with --json) asked of this server, as its user would.
    struct CommandResult status(bool json);
    // The program run with `args` as this server's user would run it (its runtime folder and
    // lpd.ini): `--reload`, `--check-config`.
    struct CommandResult command(const QStringList& args);

private:
    bool launch(bool waitForListener = true);
    QTemporaryDir m_dir;
    QStringList m_args{QStringLiteral("--headless")};
    QStringList m_launcher;
    QStringList m_environment;
    bool m_display = false;
    bool m_ignoreChildSignal = false;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_log;
    QByteArray m_errors;
};

// Runs a command line to its end with a time limit (SIGKILL after it); returns its exit code
// (-1 when it had to be killed) and its output.
struct CommandResult
{
    int exitCode = -1;
    QByteArray output;
};
CommandResult runCommand(const QString& program, const QStringList& args, int timeoutMs = 20000,
                         const QStringList& extraEnv = {});
// rlpr's options for a job to `queue` of the server on 127.0.0.1 at `port`; the file follows.
QStringList rlprArguments(quint16 port, const QString& queue);
// Sends `file` with rlpr (`extra` options before it) and waits for rlpr to end.
CommandResult rlpr(quint16 port, const QString& queue, const QString& file,
                   const QStringList& extra = {});

// How often each job was printed (-1: one printed cut off or mangled): every job, and every
// acknowledged one, exactly once.
void expectEachPrintedOnce(const QMap<int, int>& count, const QList<int>& acked);
