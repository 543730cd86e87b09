#pragma once
// Ends a connection the polite way after the server has said its last word. The owner
// hands over the handle and whatever is still queued; the drainer sends the rest, ends the
// stream with a FIN, reads and throws away what the peer still sends until it closes too,
// and only then releases the handle. Closing with unread bytes in the receive buffer, or
// with the abortive linger setting the connection sockets use, would send a reset that can
// destroy the answer before the client reads it. A timer bounds the whole drain, so a
// client that never reads or never closes cannot hold the handle. The drainer deletes
// itself when done and belongs to no socket, so the socket can be destroyed meanwhile.
// Draining handles are counted in pools with a cap each: when a pool is full its oldest
// drain with nothing left to deliver is cut short with a reset, so peers that never close
// cannot pile up descriptors faster than the timeout releases them; an answered peer that
// is still reading its answer is never cut for another. The timeout counts from the last
// progress of the answer. Refused peers have a small pool of
// their own, so they cannot take the places of answered clients.

#include "net/sendqueue.h"
#include "net/uniquefd.h"

#include <QObject>
#include <QTimer>

#include <limits>
#include <list>

class QSocketNotifier;

class SocketDrainer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketDrainer)

public:
    enum class Pool
    {
        Answered,
        Refused,
    };
    // Runs on the calling thread's event loop.
    static void start(UniqueFd handle, SendQueue queue, int timeoutMs, Pool pool = Pool::Answered);
    // Drainers that have not finished yet (for tests and shutdown diagnostics).
    static int liveCount();
    static int liveCount(Pool pool);
    static int capacity(Pool pool);
    static void setCapacity(Pool pool, int drains);

private:
    SocketDrainer(UniqueFd handle, SendQueue queue, int timeoutMs, Pool pool);
    ~SocketDrainer() override;

    void onWritable();
    void onDeadline();
    // Answer bytes not yet acknowledged by the peer: still queued here or in the kernel.
    qint64 outstandingBytes() const;
    void onReadable();
    void endSending();
    void finish();
    // Gives up at once: the peer gets a reset instead of what was still queued.
    void cutShort();

    UniqueFd m_handle;
    SendQueue m_queue;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer m_deadline;
    qint64 m_outstandingAtDeadline = std::numeric_limits<qint64>::max();
    bool m_sentFin = false;
    bool m_peerDone = false;
    Pool m_pool;
    // This drain's place in its pool's list, oldest first; end() once it has left.
    std::list<SocketDrainer*>::iterator m_place;
    bool m_inPool = false;
};
