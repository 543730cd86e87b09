#include "platform/cupsconnection.h"

#include "platform/cupsapi.h"

#include <cstring>
#include <ctime>

namespace {

const char* noPassword(const char*, http_t*, const char*, const char*, void*)
{
    return nullptr;
}

} // namespace

CupsConnection::CupsConnection(const std::atomic<bool>* cancel) : m_cancel(cancel)
{
    const CupsApi& cups = cupsApi();
    if (!cups.ok())
        return;
    // libcups keeps the server name and the password callback per thread; forget the name
    // this thread read before, the environment may have changed since.
    cups.cupsSetServer(nullptr);
    cups.cupsSetPasswordCB2(noPassword, nullptr);
    open();
}

CupsConnection::~CupsConnection()
{
    close();
}

void CupsConnection::reopen()
{
    close();
    open();
}

QString CupsConnection::serverName() const
{
    const CupsApi& cups = cupsApi();
    const QString server = QString::fromUtf8(cups.cupsServer());
    return server.startsWith(QLatin1Char('/'))
               ? server
               : server + QLatin1Char(':') + QString::number(cups.ippPort());
}

QString CupsConnection::unreachable() const
{
    if (!cupsApi().ok())
        return cupsApi().error;
    return QStringLiteral("the CUPS server %1 does not answer").arg(serverName());
}

QString CupsConnection::lastProblem() const
{
    const CupsApi& cups = cupsApi();
    if (m_http && cups.httpError(m_http) != 0)
        return QStringLiteral("the CUPS server %1: %2")
            .arg(serverName(), QString::fromLocal8Bit(std::strerror(cups.httpError(m_http))));
    return QString::fromUtf8(cups.cupsLastErrorString());
}

void CupsConnection::open()
{
    const CupsApi& cups = cupsApi();
    if ((m_cancel && m_cancel->load()) || !cups.ok())
        return;
    m_http = cups.httpConnect2(cups.cupsServer(), cups.ippPort(), nullptr, AF_UNSPEC,
                               cups.cupsEncryption(), 1, ConnectMs, nullptr);
    // Asked every second of silence whether to go on waiting.
    if (m_http)
        cups.httpSetTimeout(m_http, 1.0, stillWaiting, this);
}

void CupsConnection::close()
{
    if (m_http)
        cupsApi().httpClose(m_http);
    m_http = nullptr;
}

int CupsConnection::stillWaiting(http_t* http, void* self)
{
    const auto* connection = static_cast<const CupsConnection*>(self);
    if ((connection->m_cancel && connection->m_cancel->load()) || connection->pastDeadline())
        return 0;
    return std::time(nullptr) - cupsApi().httpGetActivity(http) < IdleSeconds ? 1 : 0;
}
