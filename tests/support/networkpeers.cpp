#include "networkpeers.h"

#include "testsupport.h"

SocketPrinter::SocketPrinter() = default;

bool SocketPrinter::start()
{
    const QString log = m_dir.filePath(QStringLiteral("socat.log"));
    const auto launch = [&] {
            m_error = m_socat.start(
                QStringLiteral("socat"),
                {QStringLiteral("-u"),
                 QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(m_port),
                 QStringLiteral("OPEN:%1,creat,append").arg(outputFile())},
                log, m_port);
            if (!m_error.isEmpty())
                m_error = QStringLiteral("socat ") + m_error;
            return m_error.isEmpty();
    };
    if (m_port != 0)
        return launch();
    return DaemonProcess::onFreePort(m_port, [] { return true; }, launch);
}

QString SocketPrinter::uri() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_port);
}
