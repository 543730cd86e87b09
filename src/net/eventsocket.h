#pragma once
// Event-driven, non-blocking TCP socket on POSIX sockets. Readiness comes from
// QSocketNotifiers on the thread that owns the component (the main thread), and is turned
// into the events the protocol code relies on: session available on a listening socket,
// data available, repeated by the receive loop while bytes wait (FIONREAD), and
// session closed, at most once per connection. Errors are reported as SocketError
// carrying the Winsock numbering log readers know (errno mapped, see socketerror.h).

#include "net/sendbuffer.h"
#include "net/socketdrainer.h"
#include "net/uniquefd.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
struct sockaddr_in;

class EventSocket final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventSocket)

public:
    enum class State : quint8
    {
        Invalid = 0,
        Opened = 1,
        Bound = 2,
        Connecting = 3,
        Connected = 4,
        Accepting = 5,
        Listening = 6,
        Closed = 7,
    };
    // SO_LINGER as applied when the socket is created or adopted; NotSet leaves the
    // system's default.
    enum class Linger
    {
        Off,
        On,
        NotSet
    };
    // Every event: the socket it concerns and an error number (0 for none).
    using Handler = std::function<void(EventSocket* sender, quint16 error)>;

    explicit EventSocket(QObject* owner = nullptr);
    ~EventSocket() override;

    // Setting a different value while not closed throws "Cannot change port if not closed".
    void setPort(const QString& port);
    void setAddress(const QString& addr);
    void setProtocol(const QString& proto);
    QString port() const { return m_port; }
    QString address() const { return m_addr; }
    EventSocket::State state() const { return m_state; }
    int lastError() const { return m_lastError; }
    qint64 readCount() const { return m_readCount; }
    int handle() const { return m_handle.get(); }
    // Bytes accepted by send that the kernel has not taken yet.
    qint64 pendingSendBytes() const;
    // The local port the socket is bound to (the one the kernel picked for port "0"); 0 when
    // there is no socket.
    quint16 localPort() const;

    Linger lingerMode() const { return m_lingerMode; }
    void setLingerMode(Linger mode) { m_lingerMode = mode; }
    int lingerTimeout() const { return m_lingerTimeout; }
    void setLingerTimeout(int seconds) { m_lingerTimeout = seconds; }

    // A pending connection on a listening socket.
    void setSessionAvailableHandler(Handler handler) { m_onSessionAvailable = std::move(handler); }
    // Bytes (or the end of the stream) wait; repeated while they do.
    void setDataAvailableHandler(Handler handler) { m_onDataAvailable = std::move(handler); }
    // At most once per connection.
    void setSessionClosedHandler(Handler handler) { m_onSessionClosed = std::move(handler); }
    // The send queue ran empty.
    void setDataSentHandler(Handler handler) { m_onDataSent = std::move(handler); }

    void listen();
    // The new handle; none when the pending connection vanished before it was taken
    // (lastError tells why), which is not reported. `peer` gets the client's address as
    // peerAddressText would give it.
    UniqueFd accept(QString* peer = nullptr);
    // A listener hears of waiting clients again only at its next accept: they stay in the
    // kernel's queue meanwhile, where they wait as for any busy server.
    void pauseAccepting();
    // Takes over an accepted handle. When it reports, the handle stays the caller's.
    void adoptHandle(int handle);
    // Fills the peer's IPv4 address; 0 on success, -1 when not connected or on failure.
    int peerAddress(sockaddr_in& address) const;
    // The peer's address as text: dotted for IPv4, also when it reached a dual-stack
    // listener (never "::ffff:a.b.c.d"), RFC 5952 text for IPv6; empty when unknown.
    QString peerAddressText() const;
    int receive(void* buffer, int length);
    // How many received bytes wait to be read (FIONREAD); 0 when none or not connected.
    int bytesWaiting() const;
    // Copies up to `length` waiting bytes without taking them: the next receive gets them
    // again. 0 at the end of the stream, -1 on error (lastError tells which).
    int peek(void* buffer, int length);
    // No data-available event, and no end of the stream noticed, until resumeReceiving: for a
    // handler that must finish something elsewhere before it takes the next bytes.
    void pauseReceiving();
    // Reports waiting bytes (or the end of the stream) again, after pauseReceiving or after
    // a data-available event that read nothing (the socket then waits for the next receive).
    void resumeReceiving();
    int send(const void* data, int length);
    int sendText(const QByteArray& text);
    void close();
    void abort();

    // The close the server uses after an answer: the session-closed handler runs at once as in
    // close, but the handle is handed to a background drainer that sends what is still queued, then
    // ends the stream normally (FIN), reads and discards until the peer closes, and releases the
    // handle. The drain gives up after drainTimeoutMs.
    void closeGracefully(int drainTimeoutMs,
                         SocketDrainer::Pool pool = SocketDrainer::Pool::Answered);

    // Number of EventSocket objects alive in the process.
    static int liveSocketCount();

private:
    void assignText(QString& field, bool& assigned, bool& resolved, const QString& value,
                    const char* name);
    void handleReadable();
    void handleWritable();
    void receiveLoop(quint16 error);
    void tryToSend();
    void setState(EventSocket::State state);
    void restoreDefaults();
    void applyLinger();
    void watch(bool listening);
    void unwatch();
    [[noreturn]] void raiseError(int code, const QString& reportName);
    [[noreturn]] void raiseErrorCheckClose(int code, const QString& reportName);
    void closeHandle(bool shutdownFirst, bool fireEvent);
    void fireClosedThenRestoreDefaults();
    void closeEvent(quint16 error);
    bool fireSessionClosed(quint16 error);
    void lookUpProtocol();
    void lookUpPort();
    void lookUpAddress();
    void updateWriteNotifier();
    template <class F> void guardedEvent(F handler);

    Linger m_lingerMode = Linger::On;
    int m_lingerTimeout = 0;
    Handler m_onSessionAvailable;
    Handler m_onDataAvailable;
    Handler m_onSessionClosed;
    Handler m_onDataSent;

    UniqueFd m_handle;
    EventSocket::State m_state = EventSocket::State::Closed;
    QString m_port;
    QString m_addr;
    QString m_proto = QStringLiteral("tcp");
    bool m_portAssigned = false;
    bool m_addrAssigned = false;
    bool m_protoAssigned = true;
    bool m_protoResolved = false;
    bool m_portResolved = false;
    bool m_addrResolved = false;
    int m_protoNumber = 6;
    int m_socketType = 1;
    quint16 m_portNumber = 0; // host order
    quint32 m_addrNumber = 0; // network order
    // An address with a colon is IPv6; "::" listens for IPv4 too (dual-stack).
    bool m_addrIsV6 = false;
    unsigned char m_addr6[16] = {};
    int m_lastError = 0;
    qint64 m_readCount = 0;
    bool m_closedEventFired = false;
    bool m_allSent = true;
    bool m_destroying = false;
    // A listener that got no accept for a pending connection hears nothing more until the
    // next accept, and a connection whose handler read nothing hears nothing more until the
    // next receive; a level-triggered notifier would otherwise spin on the same readiness.
    bool m_acceptCalled = false;
    bool m_receiveCalled = false;
    std::deque<std::unique_ptr<SendBuffer>> m_sendQueue;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
};

// Reverse lookup of a dotted IPv4 or a textual IPv6 address; empty when nothing is found. Throws
// SocketError "reverseLookup: Invalid address." for an empty or over-long text.
// Blocking: callers on the main thread run it on a worker.
QString reverseLookup(const QString& address);
