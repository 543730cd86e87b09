#pragma once
// The LPD port: the listening socket, the session slots, the clients waiting for one, and the
// descriptor held in reserve.
//
// Design note. At the session limit the socket stays open and is no longer accepted from:
// clients wait in the kernel's queue as they would for any busy server and are taken in order
// as slots free. (Closing the socket instead reset every client already queued on it and
// refused the rest.) A few waiting clients are taken off the kernel's queue into a waiting
// room only so that their addresses are known: while clients wait, a free slot goes first to
// one whose address holds fewer than its share of the slots, so one host that reconnects in a
// loop cannot keep the others out. Nobody is refused for that; a host alone in the queue
// takes every slot.
//
// A new address or port is bound before the old socket closes; when it cannot be, the old one
// stays. After stop() nothing opens or accepts again.

#include "net/uniquefd.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

class EventSocket;
class LogSink;

class Listener final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Listener)

public:
    explicit Listener(LogSink& log, QObject* parent = nullptr);
    ~Listener() override;

    // Listens on `address` and `port` (a number or a service name). An open socket is replaced
    // only once the new one is bound; on failure it stays and `reason` names the address, the
    // port and the socket's report. A "::" that the host cannot give (no IPv6) falls back to
    // 0.0.0.0.
    bool open(const QString& address, const QString& port, QString* reason);
    // The server's stop: the socket and the waiting clients are closed for good.
    void stop();
    bool isListening() const;
    bool isStopped() const { return m_stopped; }
    // The bound port (the one the kernel picked for "0"); 0 when not listening.
    quint16 port() const;
    // The address it listens on, as given to open (or its fallback).
    QString address() const { return m_address; }

    // MAXCONN, and the slots one address may hold while clients of others wait.
    void setLimits(int maxSessions, int addressShare);
    int openSessions() const { return m_openSessions; }
    // Clients taken off the kernel's queue that wait for a slot.
    int waitingClients() const { return int(m_room.size()); }
    // A session given out by sessionReady has ended: its slot goes to the next client.
    void releaseSlot(const QString& peerAddress);

signals:
    // Listening at last, after a start that could not open the socket.
    void opened();
    // A client has a slot; `openSessions` counts it. The handle is the receiver's: when it
    // cannot use it, it closes it and calls releaseSlot.
    void sessionReady(int handle, const QString& peerAddress, int openSessions);

private:
    struct Waiting
    {
        UniqueFd handle;
        QString address;
    };
    // Hands free slots to waiting clients and takes more off the kernel's queue.
    void takeWaitingClients();
    // One client off the kernel's queue into the waiting room; false when none was taken.
    bool acceptOne();
    Waiting nextInLine();
    void admit(Waiting client);
    void dropForLackOfDescriptors(UniqueFd handle, const QString& report);
    // Stops accepting for a moment after a failure of accept itself.
    void pauseAfterFailure();
    // `used` gets the address it listens on, `report` the socket's report of a failure.
    bool listenOn(EventSocket& socket, const QString& address, const QString& port,
                  QString* used, QString* report);
    // Clients queued on the socket about to close move to the waiting room.
    void takeOverQueuedClients();
    int roomCapacity() const;

    LogSink& m_log;
    std::unique_ptr<EventSocket> m_socket;
    QString m_address;
    QString m_port;
    bool m_stopped = false;
    bool m_taking = false;
    bool m_takePending = false;
    bool m_outOfDescriptors = false; // logged once until a client is taken again
    bool m_throttled = false;        // the limit was logged; clients may be waiting
    int m_maxSessions = 10;
    int m_addressShare = 3;
    int m_openSessions = 0;
    QHash<QString, int> m_slotsByAddress;
    std::deque<Waiting> m_room;
    UniqueFd m_reserveDescriptor;
    int m_descriptorLimit = 1024;
    // Retries accepting after a failure, or opening after a start that could not listen.
    QTimer m_retry;
    int m_openRetryMs = 1000;
    QString m_wantedAddress;
    QString m_wantedPort;
};
