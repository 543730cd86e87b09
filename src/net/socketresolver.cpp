#include "net/socketresolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Name service failures in the Winsock numbering.
int lookupErrorCode(int eaiError)
{
    switch (eaiError) {
    case EAI_AGAIN:
        return 11002;
    case EAI_FAIL:
        return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return 11004;
#endif
    default:
        return 11001;
    }
}

// "a.b.c.d" with parts 0..255, or nullopt when the text has the shape of a dotted address
// but not its values. Texts of another shape are host names: *isDotted tells which.
std::optional<quint32> parseDotted(const QString& text, bool* isDotted)
{
    *isDotted =
        text.count(u'.') == 3 && !text.startsWith(u'.') &&
        std::all_of(text.begin(), text.end(), [](QChar c) { return isAsciiDigit(c) || c == u'.'; });
    if (!*isDotted)
        return std::nullopt;
    quint32 address = 0;
    for (const QString& part : text.split(u'.')) {
        bool ok = false;
        const uint value = part.toUInt(&ok);
        if (!ok || part.isEmpty() || part.size() > 3 || value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    return htonl(address);
}

} // namespace

QString resolveProtocol(const QString& text, int* protocol)
{
    int number = -1;
    if (text.isEmpty()) {
        // falls through to the error below
    } else if (isAsciiDigit(text.front())) {
        number = text.toInt();
    } else if (text.compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0) {
        number = IPPROTO_TCP;
    } else if (text.compare(QLatin1String("udp"), Qt::CaseInsensitive) == 0) {
        number = IPPROTO_UDP;
    } else {
        protoent entry{};
        protoent* found = nullptr;
        char scratch[1024];
        if (::getprotobyname_r(text.toUtf8().constData(), &entry, scratch, sizeof scratch,
                               &found) == 0 &&
            found)
            number = found->p_proto;
    }
    if (number < 0)
        return QStringLiteral("WSocketResolveProto: Cannot convert protocol '") + text +
               QStringLiteral("', Error #11004");
    *protocol = number;
    return {};
}

QString resolvePort(const QString& text, bool datagram, quint16* port)
{
    const QString invalid = QStringLiteral("WSocketResolvePort: Invalid Port.");
    if (text.isEmpty() || text.size() > 31)
        return invalid;
    if (isAsciiDigit(text.front())) {
        quint32 value = 0;
        for (QChar c : text) {
            if (!isAsciiDigit(c))
                break;
            value = value * 10 + quint32(c.unicode() - u'0');
            // Beyond the port range: refused rather than cut to 16 bits, which would
            // listen on a port nobody asked for.
            if (value > 65535)
                return invalid;
        }
        *port = quint16(value);
        return {};
    }
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (::getservbyname_r(text.toUtf8().constData(), datagram ? "udp" : "tcp", &entry, scratch,
                          sizeof scratch, &found) != 0 ||
        !found)
        return QStringLiteral("WSocketResolvePort: Cannot convert port '") + text +
               QStringLiteral("', Error #11004");
    *port = ntohs(quint16(found->s_port));
    return {};
}

QString resolveHost(const QString& text, quint32* address)
{
    if (text.isEmpty() || text.size() > 256)
        return QStringLiteral("WSocketResolveHost: '") + text +
               QStringLiteral("' Invalid Hostname.");
    const QString trimmed = text.trimmed();
    bool isDotted = false;
    const std::optional<quint32> dotted = parseDotted(trimmed, &isDotted);
    if (isDotted) {
        if (!dotted)
            return QStringLiteral("WSocketResolveHost: '") + text +
                   QStringLiteral("' Invalid IP address.");
        *address = *dotted;
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(trimmed.toUtf8().constData(), nullptr, &hints, &found);
    if (rc != 0)
        return QStringLiteral("WSocketResolveHost: Cannot convert host address '") + text +
               QStringLiteral("', Error #") + QString::number(lookupErrorCode(rc));
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return {};
}
