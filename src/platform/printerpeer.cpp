#include "platform/printerpeer.h"

#include "platform/datablocks.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

PrinterPeer::PrinterPeer(int timeLimitMs)
    : m_timeLimitMs(timeLimitMs),
      m_deadline(timeLimitMs > 0 ? Clock::now() + std::chrono::milliseconds(timeLimitMs)
                                 : Clock::time_point::max())
{
}

PrinterPeer::~PrinterPeer()
{
    if (m_socket && !m_done) {
        const linger reset{1, 0};
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
}

bool PrinterPeer::fail(const QString& what)
{
    m_error = m_peerName + QStringLiteral(": ") + what;
    return false;
}

bool PrinterPeer::failErrno(const QString& what, int err)
{
    return fail(what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(err)));
}

bool PrinterPeer::waitFor(short events)
{
    return waitFor(events, IdleSeconds * 1000);
}

bool PrinterPeer::waitFor(short events, int idleMs)
{
    const Clock::time_point idleEnd = Clock::now() + std::chrono::milliseconds(idleMs);
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point end = std::min(idleEnd, m_deadline);
        if (now >= end) {
            if (end == m_deadline)
                return fail(QStringLiteral("not done within the time limit of %1 s")
                                .arg((m_timeLimitMs + 999) / 1000));
            return fail(QStringLiteral("no answer for %1 s").arg(idleMs / 1000));
        }
        pollfd p{m_socket.get(), events, 0};
        const auto waitMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
        const int n = ::poll(&p, 1, int(std::min<long long>(waitMs, 1000)));
        if (n < 0 && errno != EINTR)
            return failErrno(QStringLiteral("poll"), errno);
        if (n > 0)
            return true;
    }
}

bool PrinterPeer::connectTo(const QString& host, quint16 port)
{
    m_peerName = (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const QByteArray service = QByteArray::number(port);
    const int lookup = ::getaddrinfo(host.toUtf8().constData(), service.constData(), &hints, &found);
    if (lookup != 0)
        return fail(QStringLiteral("cannot resolve the host: ") +
                    QString::fromLocal8Bit(::gai_strerror(lookup)));
    QString lastProblem = QStringLiteral("no address");
    for (addrinfo* a = found; a; a = a->ai_next) {
        UniqueFd s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            a->ai_protocol));
        if (!s) {
            lastProblem = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            lastProblem = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        m_socket = std::move(s);
        if (!waitFor(POLLOUT, ConnectMs)) {
            lastProblem = QStringLiteral("no answer to the connection within %1 s")
                              .arg(ConnectMs / 1000);
            m_socket.reset();
            continue;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(m_socket.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            lastProblem = QString::fromLocal8Bit(std::strerror(err));
            m_socket.reset();
            continue;
        }
        ::freeaddrinfo(found);
        // Printers see each block as soon as it is written; the last short one too.
        const int one = 1;
        ::setsockopt(m_socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    ::freeaddrinfo(found);
    return fail(QStringLiteral("cannot connect: ") + lastProblem);
}

bool PrinterPeer::sendAll(const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(m_socket.get(), data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failErrno(QStringLiteral("sending failed"), errno);
        if (!waitFor(POLLOUT))
            return false;
    }
    return true;
}

bool PrinterPeer::sendFile(DataBlocks& data)
{
    // Whole blocks gathered into one write: a send per 1024 bytes costs a system call and
    // a segment each.
    constexpr size_t Blocks = 64;
    QByteArray chunk(qsizetype(DataBlocks::BlockSize * Blocks), Qt::Uninitialized);
    bool end = false;
    while (!end) {
        size_t filled = 0;
        while (filled + DataBlocks::BlockSize <= size_t(chunk.size())) {
            const ssize_t n = data.next(chunk.data() + filled);
            if (n < 0) {
                m_error = data.error();
                return false;
            }
            filled += size_t(n);
            if (size_t(n) < DataBlocks::BlockSize) {
                end = true;
                break;
            }
        }
        if (!sendAll(chunk.constData(), filled))
            return false;
    }
    return true;
}

ssize_t PrinterPeer::receive(char* data, size_t size, int idleMs)
{
    for (;;) {
        const ssize_t n = ::recv(m_socket.get(), data, size, 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            failErrno(QStringLiteral("receiving failed"), errno);
            return -1;
        }
        if (!waitFor(POLLIN, idleMs))
            return -1;
    }
}

bool PrinterPeer::finishSending()
{
    if (::shutdown(m_socket.get(), SHUT_WR) != 0)
        return failErrno(QStringLiteral("cannot end the data"), errno);
    return true;
}

bool PrinterPeer::waitForClose(qsizetype limit)
{
    char buf[4096];
    for (;;) {
        const ssize_t n = receive(buf, sizeof buf);
        if (n < 0)
            return false;
        if (n == 0) {
            m_done = true;
            return true;
        }
        const qsizetype room = limit - m_kept.size();
        if (room > 0)
            m_kept.append(buf, std::min<qsizetype>(room, n));
    }
}
