#include "privatesmb.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QFile::Permissions openToAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;

QString findSmbd()
{
    QString path = QStandardPaths::findExecutable(QStringLiteral("smbd"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            QStringLiteral("smbd"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return path.isEmpty() ? QStringLiteral("smbd") : path;
}

// Share names may hold blanks; the output file gets a plain name.
QString fileNameFor(const QString& share)
{
    QString name;
    for (const QChar c : share)
        name += c.isLetterOrNumber() ? c : QLatin1Char('_');
    return name + QStringLiteral(".out");
}

// smbd starts samba-dcerpcd (and its rpcd_* workers) on demand, in a session of its own,
// so they outlive smbd's process group. They are known by the configuration file they
// were given, which is this server's alone.
void stopHelpersOf(const QString& configFile)
{
    const QByteArray mark = "--configfile=" + QFile::encodeName(configFile);
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& pid : pids) {
        bool isPid = false;
        const int n = pid.toInt(&isPid);
        if (!isPid || n == ::getpid())
            continue;
        const QList<QByteArray> args =
            readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
        if (args.contains(mark))
            ::kill(n, SIGTERM);
    }
}

} // namespace

PrivateSmb::PrivateSmb(const QStringList& printers) : m_printers(printers) {}

PrivateSmb::~PrivateSmb()
{
    stop();
}

QString PrivateSmb::url(const QString& printer) const
{
    return QStringLiteral("smb://127.0.0.1:%1/%2")
        .arg(m_port)
        .arg(QString::fromLatin1(QUrl::toPercentEncoding(printer)));
}

QString PrivateSmb::outputFile(const QString& printer) const
{
    return m_dir.filePath(QStringLiteral("out/") + fileNameFor(printer));
}

bool PrivateSmb::writeConfig()
{
    const QDir root(m_dir.path());
    // The print command runs as the guest account (nobody), which must reach the spool
    // and output folders.
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther);
    for (const char* sub :
         {"lock", "state", "cache", "private", "pid", "ncalrpc", "log", "spool", "out"}) {
        if (!root.mkpath(QString::fromLatin1(sub))) {
            m_error = QStringLiteral("cannot create ") + root.filePath(QString::fromLatin1(sub));
            return false;
        }
    }
    QFile::setPermissions(root.filePath(QStringLiteral("out")), openToAll);
    // Sticky and open to all, as a shared spool folder should be.
    ::chmod(QFile::encodeName(root.filePath(QStringLiteral("spool"))).constData(), 01777);

    const QString d = m_dir.path();
    QString conf = QStringLiteral("[global]\n"
                                  "server role = standalone server\n"
                                  "smb ports = %1\n"
                                  "interfaces = 127.0.0.1\n"
                                  "bind interfaces only = yes\n"
                                  "disable netbios = yes\n"
                                  "lock directory = %2/lock\n"
                                  "state directory = %2/state\n"
                                  "cache directory = %2/cache\n"
                                  "private dir = %2/private\n"
                                  "pid directory = %2/pid\n"
                                  "ncalrpc dir = %2/ncalrpc\n"
                                  "log file = %2/log/log.%m\n"
                                  "log level = 1\n"
                                  "usershare path =\n"
                                  "map to guest = Bad User\n"
                                  "guest account = nobody\n"
                                  "load printers = no\n"
                                  "printcap name = /dev/null\n"
                                  "disable spoolss = yes\n"
                                  "printing = bsd\n"
                                  "lpq command = /bin/true\n"
                                  "lprm command = /bin/true\n")
                       .arg(m_port)
                       .arg(d);
    for (const QString& share : m_printers) {
        // Samba runs the print command through /bin/sh; %s is the spooled job file.
        conf += QStringLiteral("[%1]\n"
                               "printable = yes\n"
                               "guest ok = yes\n"
                               "path = %2/spool\n"
                               "print command = cat %s >> '%3'; rm -f %s\n")
                    .arg(share, d, outputFile(share));
    }
    conf += QStringLiteral("[locked]\n"
                           "printable = yes\n"
                           "guest ok = no\n"
                           "valid users = nosuchuser\n"
                           "path = %1/spool\n"
                           "print command = rm -f %s\n")
                .arg(d);
    if (!writeFile(root.filePath(QStringLiteral("smb.conf")), conf.toUtf8())) {
        m_error = QStringLiteral("cannot write smb.conf");
        return false;
    }
    return true;
}

bool PrivateSmb::launch()
{
    // No --no-process-group: smbd signals its whole process group when it ends, and
    // without a group of its own that group would be the test program's.
    const QString why = m_smbd.start(findSmbd(),
                                     {QStringLiteral("--foreground"), QStringLiteral("-s"),
                                      m_dir.filePath(QStringLiteral("smb.conf"))},
                                     m_dir.filePath(QStringLiteral("log/smbd.out")), m_port);
    if (why.isEmpty())
        return true;
    m_error =
        QStringLiteral("smbd on port %1 %2: ").arg(m_port).arg(why) + QString::fromLocal8Bit(log());
    return false;
}

bool PrivateSmb::start()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    return DaemonProcess::onFreePort(
        m_port, [this] { return writeConfig(); }, [this] { return launch(); });
}

void PrivateSmb::stop()
{
    m_smbd.stop();
    stopHelpersOf(m_dir.filePath(QStringLiteral("smb.conf")));
}

bool PrivateSmb::isRunning() const
{
    return m_smbd.isRunning();
}

bool PrivateSmb::waitForOutput(const QString& printer, qint64 bytes, int timeoutMs) const
{
    const QString file = outputFile(printer);
    return waitUntil([&] { return QFileInfo(file).size() >= bytes; }, timeoutMs);
}

QByteArray PrivateSmb::log() const
{
    return readFile(m_dir.filePath(QStringLiteral("log/log.smbd"))) +
           readFile(m_dir.filePath(QStringLiteral("log/smbd.out")));
}

// libsmbclient (Samba 4.17) leaks the name of its debug log each time a context is made
// (smbc_new_context -> reopen_logs -> debug_set_logfile), and the SMB route makes one per
// job. Not ours to fix: keep sanitizer runs of the programs that use this server about our
// own leaks. Samba's libraries have no frame pointers, so the fast unwinder sees only the
// talloc frame; only Samba allocates through talloc here.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:debug_set_logfile\nleak:libtalloc.so\n";
}
