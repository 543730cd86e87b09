#include "net/eventsocket.h"

#include "net/sendqueue.h"
#include "net/socketdrainer.h"
#include "net/socketerror.h"
#include "net/socketresolver.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

// Design note. Readiness is level-triggered, but the protocol code expects edge-like
// events that are re-armed by the next accept or read. The
// difference shows only when a handler does not consume what it was told about: the
// listener then stops listening for readiness until the next accept, a connection until the
// next receive (see m_acceptCalled, m_receiveCalled), instead of spinning. The peer's close
// has no notification of its own: a readable socket with nothing to read is probed with
// MSG_PEEK, which tells end of stream (0) and a reset (error) from a spurious wake-up.

namespace {

std::atomic<int> s_liveSockets{0};

[[noreturn]] void raiseText(const QString& text)
{
    throw SocketError(0, text);
}

// Errors accept() passes on from a connection that died before it was taken; the listener
// itself is fine, so they are not worth a report (which would close it).
bool isTransientAcceptError(int err)
{
    switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// Dotted text for IPv4, also when it reached a dual-stack listener; RFC 5952 text for IPv6.
QString addressText(const sockaddr_storage& peer)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        // Allow-lists such as "127." were written for dotted text.
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

} // namespace

EventSocket::EventSocket(QObject* owner) : QObject(owner)
{
    ++s_liveSockets;
}

EventSocket::~EventSocket()
{
    m_destroying = true;
    try {
        closeHandle(true, false);
    } catch (...) {
        // Nothing can be reported from a destructor; the handle is released either way.
    }
    --s_liveSockets;
}

int EventSocket::liveSocketCount()
{
    return s_liveSockets.load();
}

// port, address and Proto follow one rule: the same value again is always accepted, a new
// one only while closed; an empty text leaves the property unassigned.
void EventSocket::assignText(QString& field, bool& assigned, bool& resolved, const QString& value,
                             const char* name)
{
    const QString text = value.trimmed();
    if (assigned && text == field)
        return;
    if (m_state != EventSocket::State::Closed)
        raiseText(QStringLiteral("Cannot change ") + QLatin1String(name) +
                  QStringLiteral(" if not closed"));
    field = text;
    assigned = !text.isEmpty();
    resolved = false;
}

void EventSocket::setPort(const QString& port)
{
    assignText(m_port, m_portAssigned, m_portResolved, port, "Port");
}

void EventSocket::setAddress(const QString& addr)
{
    assignText(m_addr, m_addrAssigned, m_addrResolved, addr, "Addr");
}

void EventSocket::setProtocol(const QString& proto)
{
    assignText(m_proto, m_protoAssigned, m_protoResolved, proto, "Proto");
}

qint64 EventSocket::pendingSendBytes() const
{
    return queuedBytes(m_sendQueue);
}

quint16 EventSocket::localPort() const
{
    if (!m_handle.isValid())
        return 0;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_handle.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}

// ---- resolving ------------------------------------------------------------------------

void EventSocket::lookUpProtocol()
{
    if (m_protoResolved)
        return;
    const QString error = resolveProtocol(m_proto, &m_protoNumber);
    if (!error.isEmpty())
        raiseText(QStringLiteral("listen: ") + error);
    m_socketType = m_protoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    m_protoResolved = true;
}

void EventSocket::lookUpPort()
{
    if (m_portResolved)
        return;
    const QString error = resolvePort(m_port, m_socketType == SOCK_DGRAM, &m_portNumber);
    if (!error.isEmpty())
        raiseText(QStringLiteral("listen: ") + error);
    m_portResolved = true;
}

void EventSocket::lookUpAddress()
{
    if (m_addrResolved)
        return;
    m_addrIsV6 = m_addr.contains(QLatin1Char(':'));
    if (m_addrIsV6) {
        if (::inet_pton(AF_INET6, m_addr.trimmed().toLatin1().constData(), m_addr6) != 1)
            raiseText(QStringLiteral("listen: WSocketResolveHost: '") + m_addr +
                      QStringLiteral("' Invalid IP address."));
        m_addrResolved = true;
        return;
    }
    const QString error = resolveHost(m_addr, &m_addrNumber);
    if (!error.isEmpty())
        raiseText(QStringLiteral("listen: ") + error);
    m_addrResolved = true;
}

// ---- listening and accepting ----------------------------------------------------------

void EventSocket::listen()
{
    if (!m_portAssigned)
        raiseErrorCheckClose(10022, QStringLiteral("listen: port not assigned"));
    if (!m_protoAssigned)
        raiseErrorCheckClose(10022, QStringLiteral("listen: protocol not assigned"));
    if (!m_addrAssigned)
        raiseErrorCheckClose(10022, QStringLiteral("listen: address not assigned"));
    lookUpProtocol();
    lookUpPort();
    lookUpAddress();

    m_sendQueue.clear();
    m_allSent = true;
    if (m_handle.isValid()) {
        // Listening again replaces the socket instead of leaking it.
        unwatch();
        m_handle.reset();
        setState(EventSocket::State::Closed);
    }

    m_handle.reset(::socket(m_addrIsV6 ? AF_INET6 : AF_INET,
                            m_socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, m_protoNumber));
    if (!m_handle.isValid())
        raiseErrorCheckClose(socketErrorFromErrno(errno), QStringLiteral("socket"));
    const int handle = m_handle.get();
    m_closedEventFired = false;

    // Lets a restarted server bind while its old connections sit in TIME_WAIT. On Linux
    // it does not let a second socket listen on the port, so "Bind" still reports 10048
    // when another program is listening there.
    const int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_storage local{};
    socklen_t localLength = sizeof(sockaddr_in);
    if (m_addrIsV6) {
        // IPv4 clients too, whatever net.ipv6.bindv6only says: they appear as mapped
        // addresses, which peerAddressText turns back into dotted text.
        const int off = 0;
        ::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(m_portNumber);
        std::memcpy(&v6->sin6_addr, m_addr6, sizeof m_addr6);
        localLength = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(m_portNumber);
        v4->sin_addr.s_addr = m_addrNumber;
    }
    if (::bind(handle, reinterpret_cast<sockaddr*>(&local), localLength) != 0) {
        const int err = errno;
        m_handle.reset();
        setState(EventSocket::State::Closed);
        raiseErrorCheckClose(socketErrorFromErrno(err), QStringLiteral("Bind"));
    }
    setState(EventSocket::State::Bound);

    // Hundreds of clients may connect at the same moment; a short backlog would drop
    // their SYNs and make each of them wait for a retransmission.
    if (::listen(handle, SOMAXCONN) != 0) {
        const int err = errno;
        m_handle.reset();
        setState(EventSocket::State::Closed);
        raiseErrorCheckClose(socketErrorFromErrno(err), QStringLiteral("Listen"));
    }
    setState(EventSocket::State::Listening);
    watch(true);
}

UniqueFd EventSocket::accept(QString* peer)
{
    if (m_state != EventSocket::State::Listening)
        raiseErrorCheckClose(10022, QStringLiteral("not a listening socket"));
    m_acceptCalled = true;
    if (m_readNotifier && !m_readNotifier->isEnabled())
        m_readNotifier->setEnabled(true);
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        // The address comes with the connection: a peer that resets right after its
        // connect is still known by it, where a later getpeername finds nothing.
        UniqueFd handle(::accept4(m_handle.get(), reinterpret_cast<sockaddr*>(&address), &length,
                                  SOCK_CLOEXEC));
        if (handle.isValid()) {
            if (peer)
                *peer = addressText(address);
            return handle;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        m_lastError = socketErrorFromErrno(err);
        if (isTransientAcceptError(err))
            return {};
        raiseErrorCheckClose(m_lastError, QStringLiteral("Accept"));
    }
}

void EventSocket::pauseAccepting()
{
    if (m_state == EventSocket::State::Listening && m_readNotifier)
        m_readNotifier->setEnabled(false);
}

void EventSocket::adoptHandle(int handle)
{
    if (handle <= 0)
        raiseErrorCheckClose(10022, QStringLiteral("Dup"));
    if (m_handle.isValid() || m_state != EventSocket::State::Closed) {
        unwatch();
        UniqueFd old = std::move(m_handle);
        setState(EventSocket::State::Closed);
        if (old.reset() != 0 && errno == EBADF)
            raiseErrorCheckClose(10009, QStringLiteral("Dup (closesocket)"));
    }
    m_sendQueue.clear();
    m_allSent = true;
    // Until it is connected the handle stays the caller's: a report gives it back unclosed.
    m_handle.reset(handle);
    try {
        applyLinger();
    } catch (...) {
        m_handle.release();
        throw;
    }
    // close-on-exec too: print commands are spawned from this process, and a connection
    // they inherited would stay open on the client's side for as long as they run.
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(handle, F_SETFD, FD_CLOEXEC) != 0) {
        const int err = errno;
        m_handle.release();
        raiseErrorCheckClose(socketErrorFromErrno(err), QStringLiteral("Dup"));
    }
    m_closedEventFired = false;
    watch(false);
    setState(EventSocket::State::Connected);
}

void EventSocket::applyLinger()
{
    if (m_lingerMode == EventSocket::Linger::NotSet)
        return;
    if (!m_handle.isValid())
        raiseText(QStringLiteral("Cannot set linger option at this time"));
    linger option{};
    option.l_onoff = m_lingerMode == EventSocket::Linger::On ? 1 : 0;
    option.l_linger = m_lingerTimeout;
    if (::setsockopt(m_handle.get(), SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0)
        raiseErrorCheckClose(socketErrorFromErrno(errno), QStringLiteral("setsockopt(SO_LINGER)"));
}

int EventSocket::peerAddress(sockaddr_in& address) const
{
    std::memset(&address, 0, sizeof address);
    if (m_state != EventSocket::State::Connected || !m_handle.isValid())
        return -1;
    socklen_t length = sizeof address;
    if (::getpeername(m_handle.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return -1;
    return 0;
}

QString EventSocket::peerAddressText() const
{
    if (m_state != EventSocket::State::Connected || !m_handle.isValid())
        return {};
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(m_handle.get(), reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return {};
    return addressText(peer);
}

// ---- readiness ------------------------------------------------------------------------

template <class F> void EventSocket::guardedEvent(F handler)
{
    // Nothing may escape into the event loop. A failing event handler costs the socket,
    // as a failing handler always has; the receive loop has its own, milder rule.
    QPointer<EventSocket> self(this);
    try {
        handler();
    } catch (...) {
        if (!self)
            return;
        try {
            abort();
        } catch (...) {
        }
    }
}

void EventSocket::watch(bool listening)
{
    unwatch();
    m_readNotifier = new QSocketNotifier(qintptr(m_handle.get()), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this,
            [this] { guardedEvent([this] { handleReadable(); }); });
    if (!listening) {
        m_writeNotifier =
            new QSocketNotifier(qintptr(m_handle.get()), QSocketNotifier::Write, this);
        // Write readiness matters only while something waits; otherwise it never ends.
        m_writeNotifier->setEnabled(false);
        connect(m_writeNotifier, &QSocketNotifier::activated, this,
                [this] { guardedEvent([this] { handleWritable(); }); });
    }
}

void EventSocket::unwatch()
{
    // Disabled at once (the handle is about to be closed and its number reused); deleted
    // later because this may run inside the notifier's own signal.
    for (QSocketNotifier** notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
}

void EventSocket::updateWriteNotifier()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_handle.isValid() && !m_sendQueue.empty());
}

void EventSocket::handleReadable()
{
    if (!m_handle.isValid())
        return;
    if (m_state == EventSocket::State::Listening) {
        QPointer<EventSocket> self(this);
        const int handle = m_handle.get();
        m_acceptCalled = false;
        if (m_onSessionAvailable)
            m_onSessionAvailable(this, 0);
        if (self && m_handle.get() == handle && !m_acceptCalled && m_readNotifier)
            m_readNotifier->setEnabled(false);
        return;
    }

    int waiting = 0;
    if (::ioctl(m_handle.get(), FIONREAD, &waiting) == 0 && waiting > 0) {
        receiveLoop(0);
        return;
    }
    char probe = 0;
    ssize_t got;
    do {
        got = ::recv(m_handle.get(), &probe, 1, MSG_PEEK);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        receiveLoop(0);
    else if (got == 0)
        closeEvent(0);
    else if (errno != EAGAIN && errno != EWOULDBLOCK)
        closeEvent(quint16(socketErrorFromErrno(errno)));
}

void EventSocket::receiveLoop(quint16 error)
{
    QPointer<EventSocket> self(this);
    const int handle = m_handle.get();
    try {
        for (;;) {
            m_lastError = 0;
            m_receiveCalled = false;
            const qint64 before = m_readCount;
            if (m_onDataAvailable) {
                m_onDataAvailable(this, error);
                if (!self || m_handle.get() != handle)
                    return;
            } else {
                char discard[1024];
                if (receive(discard, sizeof discard) < 0 && m_lastError == 10035) {
                    m_lastError = 0;
                    return;
                }
            }
            if (m_lastError != 0)
                return;
            int waiting = 0;
            if (::ioctl(handle, FIONREAD, &waiting) != 0) {
                m_lastError = socketErrorFromErrno(errno);
                return;
            }
            if (waiting <= 0)
                return;
            if (m_readCount == before) {
                // The handler left the bytes where they are; ask again after its next read.
                if (!m_receiveCalled && m_readNotifier)
                    m_readNotifier->setEnabled(false);
                return;
            }
        }
    } catch (...) {
        // A failing data handler ends this round only; the connection stays as it was left.
    }
}

void EventSocket::closeEvent(quint16 error)
{
    QPointer<EventSocket> self(this);
    const int handle = m_handle.get();
    // The remaining bytes are offered once more, and the handler learns of the end from a
    // receive that returns 0.
    receiveLoop(0);
    if (!self || m_handle.get() != handle)
        return;
    if (!fireSessionClosed(error) || m_handle.get() != handle)
        return;
    if (m_state != EventSocket::State::Closed)
        close();
}

bool EventSocket::fireSessionClosed(quint16 error)
{
    if (m_destroying || m_closedEventFired)
        return true;
    m_closedEventFired = true;
    if (!m_onSessionClosed)
        return true;
    QPointer<EventSocket> self(this);
    m_onSessionClosed(this, error);
    return !self.isNull();
}

void EventSocket::handleWritable()
{
    if (!m_handle.isValid())
        return;
    QPointer<EventSocket> self(this);
    tryToSend();
    if (self && m_handle.isValid() && m_allSent && m_onDataSent)
        m_onDataSent(this, 0);
}

// ---- sending and receiving ------------------------------------------------------------

void EventSocket::pauseReceiving()
{
    if (m_readNotifier && m_state == EventSocket::State::Connected)
        m_readNotifier->setEnabled(false);
}

void EventSocket::resumeReceiving()
{
    if (m_readNotifier && !m_readNotifier->isEnabled() && m_state == EventSocket::State::Connected)
        m_readNotifier->setEnabled(true);
}

int EventSocket::bytesWaiting() const
{
    int waiting = 0;
    if (!m_handle.isValid() || ::ioctl(m_handle.get(), FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

int EventSocket::receive(void* buffer, int length)
{
    m_receiveCalled = true;
    if (!m_handle.isValid()) {
        m_lastError = 10038;
        return -1;
    }
    if (m_readNotifier && !m_readNotifier->isEnabled() && m_state == EventSocket::State::Connected)
        m_readNotifier->setEnabled(true);
    ssize_t got;
    do {
        got = ::recv(m_handle.get(), buffer, size_t(std::max(length, 0)), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        m_lastError = socketErrorFromErrno(errno);
        return -1;
    }
    m_readCount += got;
    return int(got);
}

int EventSocket::peek(void* buffer, int length)
{
    if (!m_handle.isValid()) {
        m_lastError = 10038;
        return -1;
    }
    ssize_t got;
    do {
        got = ::recv(m_handle.get(), buffer, size_t(std::max(length, 0)), MSG_PEEK);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        m_lastError = socketErrorFromErrno(errno);
        return -1;
    }
    return int(got);
}

int EventSocket::send(const void* data, int length)
{
    if (m_state != EventSocket::State::Connected)
        raiseErrorCheckClose(10057, QStringLiteral("Send"));
    m_allSent = false;
    if (length > 0)
        appendToSendQueue(m_sendQueue, static_cast<const char*>(data), length);
    QPointer<EventSocket> self(this);
    tryToSend();
    if (self && m_allSent && m_onDataSent && m_handle.isValid()) {
        const int handle = m_handle.get();
        QMetaObject::invokeMethod(
            this,
            [this, handle] {
                if (m_handle.get() == handle)
                    guardedEvent([this] { handleWritable(); });
            },
            Qt::QueuedConnection);
    }
    return length;
}

int EventSocket::sendText(const QByteArray& text)
{
    if (text.isEmpty())
        return 0;
    return send(text.constData(), int(text.size()));
}

void EventSocket::tryToSend()
{
    if (!m_handle.isValid() || m_sendQueue.empty()) {
        m_allSent = m_sendQueue.empty();
        updateWriteNotifier();
        return;
    }
    const int result = flushSendQueue(m_handle.get(), m_sendQueue);
    if (result == 0 || result == EAGAIN) {
        m_allSent = result == 0;
        updateWriteNotifier();
        return;
    }
    const int code = socketErrorFromErrno(result);
    switch (code) {
    case 10022:
    case 10038:
    case 10053:
    case 10054:
    case 10057: {
        // The peer is gone: the close is reported with the reason, not as our own.
        m_closedEventFired = true;
        QPointer<EventSocket> self(this);
        close();
        if (self && m_onSessionClosed)
            m_onSessionClosed(this, quint16(code));
        return;
    }
    default:
        updateWriteNotifier();
        raiseErrorCheckClose(code, QStringLiteral("TryToSend failed"));
    }
}

// ---- closing --------------------------------------------------------------------------

void EventSocket::close()
{
    closeHandle(true, true);
}

void EventSocket::abort()
{
    m_sendQueue.clear();
    m_allSent = true;
    if (m_state == EventSocket::State::Connected && m_handle.isValid()) {
        linger off{0, 0};
        ::setsockopt(m_handle.get(), SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
    closeHandle(false, true);
}

void EventSocket::closeHandle(bool shutdownFirst, bool fireEvent)
{
    if (!m_handle.isValid()) {
        if (m_state != EventSocket::State::Closed) {
            setState(EventSocket::State::Closed);
            restoreDefaults();
        }
        return;
    }
    unwatch();
    UniqueFd handle = std::move(m_handle);
    m_sendQueue.clear();
    if (shutdownFirst)
        ::shutdown(handle.get(), SHUT_WR);
    if (handle.reset() != 0 && errno == EBADF)
        raiseErrorCheckClose(10009, QStringLiteral("Disconnect (closesocket)"));
    setState(EventSocket::State::Closed);
    if (fireEvent)
        fireClosedThenRestoreDefaults();
    else
        restoreDefaults();
}

void EventSocket::closeGracefully(int drainTimeoutMs, SocketDrainer::Pool pool)
{
    if (!m_handle.isValid() || m_state != EventSocket::State::Connected) {
        close();
        return;
    }
    unwatch();
    SocketDrainer::start(std::move(m_handle), std::exchange(m_sendQueue, {}), drainTimeoutMs, pool);
    setState(EventSocket::State::Closed);
    fireClosedThenRestoreDefaults();
}

// m_onSessionClosed(0) of a close the server made, then the defaults. The handler may destroy
// this socket (then nothing more is touched) or throw (the defaults are restored first).
void EventSocket::fireClosedThenRestoreDefaults()
{
    QPointer<EventSocket> self(this);
    try {
        if (!fireSessionClosed(0))
            return;
    } catch (...) {
        if (self)
            restoreDefaults();
        throw;
    }
    restoreDefaults();
}

void EventSocket::setState(EventSocket::State state)
{
    m_state = state;
}

void EventSocket::restoreDefaults()
{
    // port and address keep their texts but must be set again before the next listen.
    m_portAssigned = false;
    m_portResolved = false;
    m_addrAssigned = false;
    m_addrResolved = false;
    m_proto = QStringLiteral("tcp");
    m_protoAssigned = true;
    m_protoResolved = false;
    m_lingerMode = EventSocket::Linger::On;
    m_lingerTimeout = 0;
    m_handle.reset();
    setState(EventSocket::State::Closed);
    m_readCount = 0;
    m_closedEventFired = false;
    m_allSent = true;
    m_sendQueue.clear();
}

// ---- reports --------------------------------------------------------------------------

void EventSocket::raiseError(int code, const QString& reportName)
{
    m_lastError = code;
    throw SocketError(code, socketErrorReport(code, reportName));
}

void EventSocket::raiseErrorCheckClose(int code, const QString& reportName)
{
    m_lastError = code;
    if (code == 10054 || code == 10057) {
        // A connection that is reset or gone is closed on the spot, and its owner hears of
        // it before the report reaches the caller.
        const QString text = socketErrorReport(code, reportName);
        // A closed socket that holds a handle is half way through adoptHandle: that handle is
        // still the caller's.
        if (m_state != EventSocket::State::Closed) {
            unwatch();
            m_handle.reset();
            m_sendQueue.clear();
            setState(EventSocket::State::Closed);
            if (!fireSessionClosed(quint16(code)))
                throw SocketError(code, text);
        }
    }
    raiseError(code, reportName);
}

// ---- name service ---------------------------------------------------------------------

QString reverseLookup(const QString& address)
{
    if (address.isEmpty() || address.size() > 256)
        raiseText(QStringLiteral("WSocketGetHostByAddr: Invalid address."));
    const QByteArray text = address.trimmed().toLatin1();
    sockaddr_storage peer{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
    if (::inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        length = sizeof(sockaddr_in6);
    } else {
        return {};
    }
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return {};
    return QString::fromUtf8(host);
}
