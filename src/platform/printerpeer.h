#pragma once
// A TCP connection to a network printer or a remote LPD, for the routes that run on the
// despooler thread. Every wait is bounded: connecting by ConnectMs, any wait for progress
// by IdleSeconds, and everything by the print's time limit when it has one. A printer that
// does not answer is a failed print with a reason, never a hang of its queue.

#include <QByteArray>
#include <QString>

#include "net/uniquefd.h"

#include <sys/types.h>

#include <chrono>

class DataBlocks;

class PrinterPeer final
{
public:
    static constexpr int ConnectMs = 10000;
    static constexpr int IdleSeconds = 60;

    // `timeLimitMs`: the whole print's limit, counted from now (0: none beyond the idle one).
    explicit PrinterPeer(int timeLimitMs);
    // A connection not marked done goes with a reset, not a close: a printer or LPD must not
    // take the part it has as a whole job.
    ~PrinterPeer();
    PrinterPeer(const PrinterPeer&) = delete;
    PrinterPeer& operator=(const PrinterPeer&) = delete;

    // Resolves the host and connects to the first of its addresses that answers.
    bool connectTo(const QString& host, quint16 port);
    // Everything or false; a peer that takes nothing for IdleSeconds, or past the time
    // limit, fails.
    bool sendAll(const char* data, size_t size);
    bool sendAll(const QByteArray& bytes) { return sendAll(bytes.constData(), size_t(bytes.size())); }
    // The rest of a data file; a read error fails too (error() says which).
    bool sendFile(DataBlocks& data);
    // Up to `size` bytes: the count, 0 when the peer closed, -1 on an error or a timeout
    // (no byte for idleMs).
    ssize_t receive(char* data, size_t size, int idleMs = IdleSeconds * 1000);
    // The end of what we send (a half-close); the peer may still answer.
    bool finishSending();
    // Reads and drops what the peer sends until it closes (at most `limit` bytes kept for
    // kept()); false on an error or a timeout.
    bool waitForClose(qsizetype limit = 0);
    QByteArray kept() const { return m_kept; }
    // The peer has taken everything: the connection may end with a normal close.
    void markDone() { m_done = true; }

    // "host:port" and why the last step failed: "connection refused", "no answer within
    // the time limit of 30 s", ...
    QString error() const { return m_error; }
    QString peerName() const { return m_peerName; }

private:
    // Waits for `events`; false with error() set when the limit comes first.
    bool waitFor(short events);
    bool waitFor(short events, int idleMs);
    bool fail(const QString& what);
    bool failErrno(const QString& what, int err);

    using Clock = std::chrono::steady_clock;
    UniqueFd m_socket;
    int m_timeLimitMs;
    Clock::time_point m_deadline;
    QString m_peerName;
    QString m_error;
    QByteArray m_kept;
    bool m_done = false;
};
