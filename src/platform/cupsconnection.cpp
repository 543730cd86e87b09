#include "platform/cupsconnection.h"

#include <cups/cups.h>

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
    // libcups keeps the server name and the password callback per thread; forget the name
    // this thread read before, the environment may have changed since.
    cupsSetServer(nullptr);
    cupsSetPasswordCB2(noPassword, nullptr);
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
    const QString server = QString::fromUtf8(cupsServer());
    return server.startsWith(QLatin1Char('/'))
               ? server
               : server + QLatin1Char(':') + QString::number(ippPort());
}

QString CupsConnection::unreachable() const
{
    return QStringLiteral("the CUPS server %1 does not answer").arg(serverName());
}

QString CupsConnection::lastProblem() const
{
    if (m_http && httpError(m_http) != 0)
        return QStringLiteral("the CUPS server %1: %2")
            .arg(serverName(), QString::fromLocal8Bit(std::strerror(httpError(m_http))));
    return QString::fromUtf8(cupsLastErrorString());
}

void CupsConnection::open()
{
    if (m_cancel && m_cancel->load())
        return;
    m_http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                          ConnectMs, nullptr);
    // Asked every second of silence whether to go on waiting.
    if (m_http)
        httpSetTimeout(m_http, 1.0, stillWaiting, this);
}

void CupsConnection::close()
{
    if (m_http)
        httpClose(m_http);
    m_http = nullptr;
}

int CupsConnection::stillWaiting(http_t* http, void* self)
{
    const auto* connection = static_cast<const CupsConnection*>(self);
    if (connection->m_cancel && connection->m_cancel->load())
        return 0;
    return std::time(nullptr) - httpGetActivity(http) < IdleSeconds ? 1 : 0;
}
