#pragma once
// Event-driven, non-blocking TCP socket on POSIX sockets. Readiness comes from
// QSocketNotifiers on the thread that owns the component (the main thread), and is turned
// into the events the protocol code relies on: OnSessionAvailable on a listening socket,
// OnDataAvailable repeated by the receive loop while bytes wait (FIONREAD), and
// OnSessionClosed at most once per connection. Errors are reported as ESocketException
// carrying the classic numbering (errno mapped, see esocketexception.h).

#include "net/tbuffer.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;
struct sockaddr_in;

enum class TSocketState : quint8
{
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};

enum class TSocketLingerOnOff
{
    wsLingerOff,
    wsLingerOn,
    wsLingerNoSet
};

class TWSocket;
using TSessionAvailable = std::function<void(TWSocket* sender, quint16 error)>;
using TDataAvailable = std::function<void(TWSocket* sender, quint16 error)>;
using TSessionClosed = std::function<void(TWSocket* sender, quint16 error)>;
using TDataSent = std::function<void(TWSocket* sender, quint16 error)>;

class TWSocket final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TWSocket)

public:
    explicit TWSocket(QObject* owner = nullptr);
    ~TWSocket() override;

    // Setting a different value while not closed throws "Cannot change Port if not closed".
    void setPort(const QString& port);
    void setAddr(const QString& addr);
    void setProto(const QString& proto);
    QString Port() const { return m_port; }
    QString Addr() const { return m_addr; }
    TSocketState State() const { return m_state; }
    int LastError() const { return m_lastError; }
    qint64 ReadCount() const { return m_readCount; }
    int Handle() const { return m_handle; }
    // Bytes accepted by Send that the kernel has not taken yet.
    qint64 PendingSendBytes() const;
    // The local port the socket is bound to (the one the kernel picked for Port "0"); 0 when
    // there is no socket.
    quint16 LocalPort() const;

    TSocketLingerOnOff LingerOnOff = TSocketLingerOnOff::wsLingerOn;
    int LingerTimeout = 0;

    TSessionAvailable OnSessionAvailable;
    TDataAvailable OnDataAvailable;
    TSessionClosed OnSessionClosed;
    TDataSent OnDataSent;

    void Listen();
    // The new handle; -1 when the pending connection vanished before it was taken
    // (LastError tells why), which is not reported.
    int Accept();
    // Takes over an accepted handle. When it reports, the handle stays the caller's.
    void Dup(int handle);
    // Fills the peer's IPv4 address; 0 on success, -1 when not connected or on failure.
    int GetPeerName(sockaddr_in& address) const;
    int Receive(void* buffer, int length);
    // Copies up to `length` waiting bytes without taking them: the next Receive gets them
    // again. 0 at the end of the stream, -1 on error (LastError tells which).
    int Peek(void* buffer, int length);
    // No OnDataAvailable, and no end of the stream noticed, until ResumeReceiving: for a
    // handler that must finish something elsewhere before it takes the next bytes.
    void PauseReceiving();
    // Reports waiting bytes (or the end of the stream) again, after PauseReceiving or after
    // an OnDataAvailable that read nothing (the socket then waits for the next Receive).
    void ResumeReceiving();
    int Send(const void* data, int length);
    int SendText(const QByteArray& text);
    void Close();
    void Abort();

    // The close the server uses after an answer: OnSessionClosed runs at once as in Close,
    // but the handle is handed to a background drainer that sends what is still queued,
    // then ends the stream normally (FIN), reads and discards until the peer closes, and
    // releases the handle. The drain gives up after drainTimeoutMs.
    void CloseGracefully(int drainTimeoutMs);

    // Number of TWSocket objects alive in the process.
    static int liveSocketCount();

private:
    void assignText(QString& field, bool& assigned, bool& resolved, const QString& value,
                    const char* name);
    void handleReadable();
    void handleWritable();
    void receiveLoop(quint16 error);
    void tryToSend();
    void setState(TSocketState state);
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
    void resolveProto();
    void resolvePort();
    void resolveAddr();
    void updateWriteNotifier();
    template <class F> void guardedEvent(F handler);

    int m_handle = -1;
    TSocketState m_state = TSocketState::wsClosed;
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
    int m_lastError = 0;
    qint64 m_readCount = 0;
    bool m_closedEventFired = false;
    bool m_allSent = true;
    bool m_destroying = false;
    // A listener that got no Accept for a pending connection hears nothing more until the
    // next Accept, and a connection whose handler read nothing hears nothing more until the
    // next Receive; a level-triggered notifier would otherwise spin on the same readiness.
    bool m_acceptCalled = false;
    bool m_receiveCalled = false;
    std::deque<std::unique_ptr<TBuffer>> m_sendQueue;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
};

// Reverse lookup of a dotted IPv4 address; empty when nothing is found. Throws
// ESocketException "WSocketGetHostByAddr: Invalid address." for an empty or over-long text.
// Blocking: callers on the main thread run it on a worker.
QString WSocketGetHostByAddr(const QString& dottedAddress);
