#include "protocol/listener.h"

#include "config/logsink.h"
#include "net/eventsocket.h"
#include "net/socketerror.h"
#include "net/socketresolver.h"

#include <algorithm>
#include <utility>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Descriptors kept free for what the server itself opens while clients flood it: a print
// thread (whose event loop aborts the process when it cannot make its wake-up pipe), a
// print's pipes, spool files, lpd.ini. A client that would eat into them is closed at once.
constexpr int DescriptorMargin = 32;

// How often accepting is tried again after accept itself failed. Opening after a start that
// found the port taken or the address missing (an interface that comes up later in the boot,
// another server still stopping) is tried after 1 s, then ever less often up to once a
// minute.
constexpr int AcceptRetryMs = 1000;
constexpr int FirstOpenRetryMs = 1000;
constexpr int LastOpenRetryMs = 60000;

// The soft limit is often far below the hard one (1024 under a service manager); a server
// of many connections takes what it is allowed.
int raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    // select()-based code elsewhere in the process (libraries) cannot see beyond this, but the
    // server's own sockets are watched with poll through the event loop.
    return limit.rlim_cur == RLIM_INFINITY ? (1 << 20)
                                           : int(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

UniqueFd openReserveDescriptor()
{
    return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

} // namespace

Listener::Listener(LogSink& log, QObject* parent) : QObject(parent), m_log(log)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_stopped)
            return;
        if (!isListening() && !m_wantedPort.isEmpty()) {
            auto fresh = std::make_unique<EventSocket>();
            QString used;
            QString report;
            if (!listenOn(*fresh, m_wantedAddress, m_wantedPort, &used, &report)) {
                m_openRetryMs = std::min(m_openRetryMs * 2, LastOpenRetryMs);
                m_retry.start(m_openRetryMs);
                return;
            }
            m_socket = std::move(fresh);
            m_address = used;
            m_port = m_wantedPort;
            m_log.append(QStringLiteral("Listening again."));
            takeWaitingClients();
            emit opened();
            return;
        }
        takeWaitingClients();
    });
}

Listener::~Listener()
{
    stop();
}

bool Listener::isListening() const
{
    return m_socket && m_socket->state() == EventSocket::State::Listening;
}

quint16 Listener::port() const
{
    return isListening() ? m_socket->localPort() : 0;
}

bool Listener::listenOn(EventSocket& socket, const QString& address, const QString& port,
                        QString* used, QString* report)
{
    socket.setSessionAvailableHandler([this](EventSocket*, quint16) { takeWaitingClients(); });
    try {
        socket.setAddress(address);
        socket.setPort(port);
        socket.listen();
        *used = address;
        return true;
    } catch (const SocketError& e) {
        // A kernel without IPv6 (booted with ipv6.disable=1, some containers) still serves
        // IPv4 clients on the default address.
        const bool noIpv6 = e.code() == 10047 || e.code() == 10049;
        if (!(noIpv6 && address == QLatin1String("::"))) {
            *report = systemErrorText(e);
            return false;
        }
    }
    try {
        socket.close();
        socket.setAddress(QStringLiteral("0.0.0.0"));
        socket.setPort(port);
        socket.listen();
        *used = QStringLiteral("0.0.0.0");
        m_log.append(QStringLiteral("No IPv6 on this host: listening on 0.0.0.0"));
        return true;
    } catch (const SocketError& e) {
        *report = systemErrorText(e);
        return false;
    }
}

bool Listener::open(const QString& address, const QString& port, QString* reason)
{
    const auto fail = [&](const QString& why) {
        if (reason)
            *reason = QStringLiteral("Cannot listen on ") + endpointText(address, port) +
                      QStringLiteral(": ") + why;
        return false;
    };
    if (m_stopped)
        return fail(QStringLiteral("the server is stopping"));
    if (!m_reserveDescriptor.isValid()) {
        m_descriptorLimit = raiseDescriptorLimit();
        m_reserveDescriptor = openReserveDescriptor();
    }
    auto fresh = std::make_unique<EventSocket>();
    QString used;
    QString report;
    bool bound = listenOn(*fresh, address, port, &used, &report);
    quint16 wanted = 0;
    if (!bound && isListening() && fresh->lastError() == 10048 &&
        resolvePort(port, false, &wanted).isEmpty() && wanted == m_socket->localPort()) {
        // The old socket holds the port the new address needs (a dual-stack "::" covers
        // 0.0.0.0): it gives way, its queued clients taken over first, and comes back if the
        // new address still cannot be bound.
        const QString oldAddress = m_address;
        const QString oldPort = m_port;
        takeOverQueuedClients();
        m_socket->close();
        bound = listenOn(*fresh, address, port, &used, &report);
        if (!bound) {
            QString back;
            QString backReport;
            if (!listenOn(*m_socket, oldAddress, oldPort, &back, &backReport)) {
                m_log.append(QStringLiteral("ERROR: Cannot listen on ") +
                             endpointText(oldAddress, oldPort) + QStringLiteral(" again: ") +
                             backReport);
                m_wantedAddress = oldAddress;
                m_wantedPort = oldPort;
                m_openRetryMs = FirstOpenRetryMs;
                m_retry.start(m_openRetryMs);
            }
        }
    }
    if (!bound) {
        if (!isListening() && m_wantedPort.isEmpty()) {
            // A start that found the port taken keeps trying it.
            m_wantedAddress = address;
            m_wantedPort = port;
            m_openRetryMs = FirstOpenRetryMs;
            m_retry.start(m_openRetryMs);
        }
        return fail(report);
    }
    if (m_socket) {
        // Clients the kernel has queued on the old socket would be reset with it.
        takeOverQueuedClients();
        m_socket->close();
    }
    m_socket = std::move(fresh);
    m_address = used;
    m_port = port;
    m_wantedAddress = address;
    m_wantedPort = port;
    m_retry.stop();
    takeWaitingClients();
    return true;
}

void Listener::takeOverQueuedClients()
{
    if (!isListening())
        return;
    for (;;) {
        QString peer;
        UniqueFd handle;
        try {
            handle = m_socket->accept(&peer);
        } catch (const SocketError&) {
            return;
        }
        if (!handle.isValid())
            return;
        m_room.push_back({std::move(handle), peer});
    }
}

void Listener::stop()
{
    m_stopped = true;
    m_retry.stop();
    if (m_socket)
        m_socket->close();
    m_room.clear();
}

void Listener::setLimits(int maxSessions, int addressShare)
{
    m_maxSessions = std::max(maxSessions, 1);
    m_addressShare = std::max(addressShare, 1);
    takeWaitingClients();
}

void Listener::releaseSlot(const QString& peerAddress)
{
    --m_openSessions;
    const auto it = m_slotsByAddress.find(peerAddress);
    if (it != m_slotsByAddress.end() && --it.value() <= 0)
        m_slotsByAddress.erase(it);
    // From the event loop, not from inside the ending session's own close.
    if (!m_takePending && !m_stopped) {
        m_takePending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_takePending = false;
                takeWaitingClients();
            },
            Qt::QueuedConnection);
    }
}

int Listener::roomCapacity() const
{
    // Each waiting client holds a descriptor: a quarter of what is left above the reserve.
    return std::clamp((m_descriptorLimit - DescriptorMargin) / 4, 1, 128);
}

void Listener::takeWaitingClients()
{
    // A session may end while it is being handed out (a refused peer closes at once).
    if (m_taking || m_stopped)
        return;
    m_taking = true;
    for (;;) {
        if (m_openSessions < m_maxSessions && !m_room.empty()) {
            admit(nextInLine());
            continue;
        }
        if (!isListening() || m_retry.isActive())
            break;
        if (m_openSessions >= m_maxSessions && int(m_room.size()) >= roomCapacity()) {
            m_socket->pauseAccepting();
            break;
        }
        if (!acceptOne())
            break;
    }
    if (m_openSessions < m_maxSessions && m_room.empty())
        m_throttled = false;
    m_taking = false;
}

Listener::Waiting Listener::nextInLine()
{
    // The first client whose address holds less than its share; the first of all when
    // every waiting address is at its share (nobody else is kept out then).
    auto chosen = std::find_if(m_room.begin(), m_room.end(), [&](const Waiting& w) {
        return m_slotsByAddress.value(w.address) < m_addressShare;
    });
    if (chosen == m_room.end())
        chosen = m_room.begin();
    Waiting client = std::move(*chosen);
    m_room.erase(chosen);
    return client;
}

void Listener::admit(Waiting client)
{
    const int n = ++m_openSessions;
    ++m_slotsByAddress[client.address];
    if (n >= m_maxSessions && !m_throttled) {
        m_throttled = true;
        m_log.append(QStringLiteral("Connection limit reached - throttled"));
    }
    emit sessionReady(client.handle.release(), client.address, n);
}

bool Listener::acceptOne()
{
    QString peer;
    UniqueFd handle;
    try {
        handle = m_socket->accept(&peer);
    } catch (const SocketError& e) {
        if (e.code() != 10024 || !m_reserveDescriptor.isValid()) {
            m_log.append(e.message());
            pauseAfterFailure();
            return false;
        }
        // The descriptor kept in reserve makes room to take the client off the queue and
        // close it; otherwise it would wake the listener again and again.
        m_reserveDescriptor.reset();
        UniqueFd taken;
        try {
            taken = m_socket->accept();
        } catch (const SocketError&) {
        }
        const bool took = taken.isValid();
        dropForLackOfDescriptors(std::move(taken), e.message());
        m_reserveDescriptor = openReserveDescriptor();
        if (!m_reserveDescriptor.isValid()) {
            pauseAfterFailure();
            return false;
        }
        return took;
    }
    if (!handle.isValid())
        return false;
    if (const int number = handle.get(); number >= m_descriptorLimit - DescriptorMargin) {
        dropForLackOfDescriptors(
            std::move(handle), QStringLiteral("Descriptor ") + QString::number(number) +
                                   QStringLiteral(" of at most ") +
                                   QString::number(m_descriptorLimit) + QStringLiteral(" in use"));
        return true;
    }
    m_outOfDescriptors = false;
    m_room.push_back({std::move(handle), peer});
    return true;
}

void Listener::dropForLackOfDescriptors(UniqueFd handle, const QString& report)
{
    handle.reset();
    if (!m_outOfDescriptors) {
        m_outOfDescriptors = true;
        m_log.append(report);
        m_log.append(QStringLiteral("Out of file descriptors - connections dropped"));
    }
}

void Listener::pauseAfterFailure()
{
    m_socket->pauseAccepting();
    m_retry.start(AcceptRetryMs);
}
