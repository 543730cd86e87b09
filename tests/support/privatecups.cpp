#include "privatecups.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cups/cups.h>

#include <cstdlib>

namespace {

// Appends the job to the file named by the device URI. Mode 0700 makes cupsd run it as
// root, so the output file may live anywhere the test likes.
const char backendScript[] = R"(#!/bin/sh
if [ $# -eq 0 ]; then
    echo 'direct testfile "Unknown" "Test file backend"'
    exit 0
fi
out="${DEVICE_URI#testfile:}"
umask 022
# Who and what each job was, beside its bytes: user, title, format.
printf '%s\t%s\t%s\n' "$2" "$3" "$CONTENT_TYPE" >> "$out.jobs"
if [ -n "$6" ]; then
    cat "$6" >> "$out" || exit 1
else
    cat >> "$out" || exit 1
fi
exit 0
)";

QString findProgram(const QString& name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            name,
            {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
    return path.isEmpty() ? name : path;
}

// Where the system keeps cupsd's helpers (cups-exec, filters); the private ServerBin links
// to them and adds its own backend folder.
QString systemServerBin()
{
    QProcess config;
    config.start(QStringLiteral("cups-config"), {QStringLiteral("--serverbin")});
    if (config.waitForFinished(5000) && config.exitCode() == 0) {
        const QString dir = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
        if (QFileInfo(dir).isDir())
            return dir;
    }
    return QStringLiteral("/usr/lib/cups");
}

bool writeText(const QString& path, const QString& text)
{
    return writeFile(path, text.toUtf8());
}

} // namespace

PrivateCups::PrivateCups() = default;

PrivateCups::~PrivateCups()
{
    stop();
    if (m_serverSet) {
        if (m_savedServer)
            ::setenv("CUPS_SERVER", m_savedServer->constData(), 1);
        else
            ::unsetenv("CUPS_SERVER");
        cupsSetServer(nullptr);
    }
}

QString PrivateCups::server() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString PrivateCups::outputFor(const QString& queue) const
{
    return m_dir.filePath(QStringLiteral("out/") + queue + QStringLiteral(".out"));
}

bool PrivateCups::writeConfig()
{
    const QDir root(m_dir.path());
    // cupsd drops to user lp for its helpers; they must be able to pass through the folder.
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther);
    for (const char* sub : {"etc", "spool/tmp", "cache", "state", "log", "bin/backend", "out"}) {
        if (!root.mkpath(QString::fromLatin1(sub))) {
            m_error = QStringLiteral("cannot create ") + root.filePath(QString::fromLatin1(sub));
            return false;
        }
    }
    // Open to all, should a backend ever run as lp.
    QFile::setPermissions(root.filePath(QStringLiteral("out")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                              QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                              QFile::ReadOther | QFile::WriteOther | QFile::ExeOther);

    const QString serverBin = systemServerBin();
    const QStringList entries = QDir(serverBin).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (entry == QLatin1String("backend"))
            continue;
        QFile::link(serverBin + QLatin1Char('/') + entry,
                    root.filePath(QStringLiteral("bin/") + entry));
    }
    const QString backend = root.filePath(QStringLiteral("bin/backend/testfile"));
    if (!writeFile(backend, backendScript) ||
        !QFile::setPermissions(backend, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        m_error = QStringLiteral("cannot write the test backend");
        return false;
    }

    const QString conf = QStringLiteral("LogLevel warn\n"
                                        "MaxLogSize 0\n"
                                        "Listen 127.0.0.1:%1\n"
                                        "Browsing No\n"
                                        "BrowseLocalProtocols none\n"
                                        "DefaultShared No\n"
                                        "WebInterface No\n"
                                        "DefaultAuthType None\n"
                                        "ErrorPolicy abort-job\n"
                                        "<Location />\n"
                                        "  Order allow,deny\n"
                                        "  Allow all\n"
                                        "</Location>\n"
                                        "<Policy default>\n"
                                        "  JobPrivateAccess all\n"
                                        "  JobPrivateValues none\n"
                                        "  SubscriptionPrivateAccess all\n"
                                        "  SubscriptionPrivateValues none\n"
                                        "  <Limit All>\n"
                                        "    Order deny,allow\n"
                                        "  </Limit>\n"
                                        "</Policy>\n")
                             .arg(m_port);
    const QString d = m_dir.path();
    const QString files = QStringLiteral("ServerRoot %1/etc\n"
                                         "RequestRoot %1/spool\n"
                                         "TempDir %1/spool/tmp\n"
                                         "CacheDir %1/cache\n"
                                         "StateDir %1/state\n"
                                         "ServerBin %1/bin\n"
                                         "ErrorLog %1/log/error_log\n"
                                         "AccessLog %1/log/access_log\n"
                                         "PageLog %1/log/page_log\n"
                                         "SystemGroup root\n"
                                         "Sandboxing Relaxed\n"
                                         "FileDevice No\n")
                              .arg(d);
    if (!writeText(root.filePath(QStringLiteral("etc/cupsd.conf")), conf) ||
        !writeText(root.filePath(QStringLiteral("etc/cups-files.conf")), files)) {
        m_error = QStringLiteral("cannot write the cupsd configuration");
        return false;
    }
    return true;
}

bool PrivateCups::launch()
{
    const QString why =
        m_cupsd.start(findProgram(QStringLiteral("cupsd")),
                      {QStringLiteral("-f"), QStringLiteral("-c"),
                       m_dir.filePath(QStringLiteral("etc/cupsd.conf")), QStringLiteral("-s"),
                       m_dir.filePath(QStringLiteral("etc/cups-files.conf"))},
                      m_dir.filePath(QStringLiteral("log/cupsd.out")), m_port);
    if (why.isEmpty())
        return true;
    m_error = QStringLiteral("cupsd on %1 %2: ").arg(server(), why) +
              QString::fromLocal8Bit(errorLog() +
                                     readFile(m_dir.filePath(QStringLiteral("log/cupsd.out"))));
    return false;
}

bool PrivateCups::start()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    if (!DaemonProcess::onFreePort(
            m_port, [this] { return writeConfig(); }, [this] { return launch(); }))
        return false;

    if (!m_serverSet) {
        if (const char* old = std::getenv("CUPS_SERVER"))
            m_savedServer = QByteArray(old);
        m_serverSet = true;
    }
    ::setenv("CUPS_SERVER", server().toUtf8().constData(), 1);
    cupsSetServer(nullptr);

    QByteArray status;
    if (!runTool(QStringLiteral("lpstat"), {QStringLiteral("-r")}, &status) ||
        !status.contains("scheduler is running")) {
        m_error = QStringLiteral("cupsd on %1 does not report running: %2 %3")
                      .arg(server(), QString::fromLocal8Bit(status), m_error);
        return false;
    }
    return true;
}

void PrivateCups::stop()
{
    m_cupsd.stop();
}

bool PrivateCups::isRunning() const
{
    return m_cupsd.isRunning();
}

bool PrivateCups::addQueue(const QString& name, const QString& outputFile)
{
    return runTool(QStringLiteral("lpadmin"),
                   {QStringLiteral("-p"), name, QStringLiteral("-E"), QStringLiteral("-v"),
                    QStringLiteral("testfile:") + QFileInfo(outputFile).absoluteFilePath(),
                    QStringLiteral("-m"), QStringLiteral("raw")});
}

bool PrivateCups::runTool(const QString& tool, const QStringList& args, QByteArray* output)
{
    QProcess process;
    process.start(findProgram(tool), QStringList{QStringLiteral("-h"), server()} + args);
    const bool finished = process.waitForFinished(30000);
    const QByteArray out = process.readAllStandardOutput();
    if (output)
        *output = out;
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (!finished)
            process.kill();
        m_error = QStringLiteral("%1 %2 failed: %3 %4")
                      .arg(tool, args.join(QLatin1Char(' ')), QString::fromLocal8Bit(out),
                           QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool PrivateCups::waitForOutput(const QString& file, qint64 bytes, int timeoutMs) const
{
    return waitUntil([&] { return QFileInfo(file).size() >= bytes; }, timeoutMs);
}

QByteArray PrivateCups::errorLog() const
{
    return readFile(m_dir.filePath(QStringLiteral("log/error_log")));
}
