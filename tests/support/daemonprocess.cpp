#include "daemonprocess.h"

#include "testsupport.h"

QString DaemonProcess::start(const QString& program, const QStringList& args,
                             const QString& outputFile, quint16 port)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(outputFile);
    m_process->start(program, args);
    if (!m_process->waitForStarted(10000))
        return QStringLiteral("did not start: ") + m_process->errorString();
    LoopbackClient probe;
    const bool listening =
        waitUntil([&] { return !isRunning() || probe.connectTo(port, nullptr, 500); }, 20000);
    if (!listening || !isRunning()) {
        stop();
        return QStringLiteral("does not answer");
    }
    return QString();
}

void DaemonProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(15000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
}

bool DaemonProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool DaemonProcess::onFreePort(quint16& port, const std::function<bool()>& writeConfig,
                               const std::function<bool()>& launch)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freePort();
        if (!writeConfig())
            return false;
        if (launch())
            return true;
    }
    return false;
}
