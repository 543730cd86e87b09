#include "net/socketdrainer.h"

#include "net/sendqueue.h"

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
std::atomic<int> s_liveDrainers{0};

struct DrainPool
{
    std::list<SocketDrainer*> drains; // oldest first
    int capacity;
};

// Drains live on the event loop of the main thread, as the sockets that start them.
DrainPool& pool(SocketDrainer::Pool which)
{
    static DrainPool answered{{}, 64};
    static DrainPool refused{{}, 8};
    return which == SocketDrainer::Pool::Refused ? refused : answered;
}

} // namespace

void SocketDrainer::start(UniqueFd handle, SendQueue queue, int timeoutMs, Pool which)
{
    DrainPool& p = pool(which);
    // A full pool makes room by cutting its oldest drains. An answered client whose answer
    // is still on its way is never cut for another: the pool of answers may hold more while
    // such readers last (each still bounded by its deadline). A refusal is not worth that.
    for (auto it = p.drains.begin(); it != p.drains.end() && int(p.drains.size()) >= p.capacity;) {
        SocketDrainer* drain = *it++;
        if (which == Pool::Refused || drain->outstandingBytes() == 0)
            drain->cutShort();
    }
    new SocketDrainer(std::move(handle), std::move(queue), timeoutMs, which);
}

int SocketDrainer::liveCount()
{
    return s_liveDrainers.load();
}

int SocketDrainer::liveCount(Pool which)
{
    return int(pool(which).drains.size());
}

int SocketDrainer::capacity(Pool which)
{
    return pool(which).capacity;
}

void SocketDrainer::setCapacity(Pool which, int drains)
{
    pool(which).capacity = std::max(drains, 1);
}

SocketDrainer::SocketDrainer(UniqueFd handle, SendQueue queue, int timeoutMs, Pool which)
    : m_handle(std::move(handle)), m_queue(std::move(queue)), m_pool(which)
{
    ++s_liveDrainers;
    DrainPool& p = pool(which);
    m_place = p.drains.insert(p.drains.end(), this);
    m_inPool = true;
    // The connection sockets carry the abortive linger setting (on, 0 s); the final close
    // here must be an ordinary one.
    linger off{0, 0};
    ::setsockopt(m_handle.get(), SOL_SOCKET, SO_LINGER, &off, sizeof off);

    m_outstandingAtDeadline = outstandingBytes();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SocketDrainer::onDeadline);
    m_deadline.start(std::max(timeoutMs, 0));

    m_readNotifier = new QSocketNotifier(qintptr(m_handle.get()), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SocketDrainer::onReadable);
    m_writeNotifier = new QSocketNotifier(qintptr(m_handle.get()), QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SocketDrainer::onWritable);
    if (m_queue.empty())
        endSending();
}

SocketDrainer::~SocketDrainer()
{
    if (m_inPool)
        pool(m_pool).drains.erase(m_place);
    if (m_handle.isValid()) {
        delete m_readNotifier;
        delete m_writeNotifier;
        m_handle.reset();
    }
    --s_liveDrainers;
}

qint64 SocketDrainer::outstandingBytes() const
{
    if (!m_handle.isValid())
        return 0;
    int inKernel = 0;
    if (::ioctl(m_handle.get(), TIOCOUTQ, &inKernel) != 0)
        inKernel = 0;
    return queuedBytes(m_queue) + inKernel;
}

void SocketDrainer::onDeadline()
{
    // The deadline bounds a drain without progress: a peer that is still taking its answer,
    // however slowly, gets all of it.
    const qint64 outstanding = outstandingBytes();
    if (outstanding > 0 && outstanding < m_outstandingAtDeadline) {
        m_outstandingAtDeadline = outstanding;
        m_deadline.start();
        return;
    }
    finish();
}

void SocketDrainer::onWritable()
{
    const int result = flushSendQueue(m_handle.get(), m_queue);
    if (result == EAGAIN)
        return;
    if (result != 0) {
        finish(); // the peer is gone: nothing left to deliver
        return;
    }
    endSending();
}

void SocketDrainer::endSending()
{
    m_writeNotifier->setEnabled(false);
    if (!m_sentFin) {
        m_sentFin = true;
        ::shutdown(m_handle.get(), SHUT_WR);
    }
    if (m_peerDone)
        finish();
}

void SocketDrainer::onReadable()
{
    char sink[16384];
    // A bounded number of reads per readiness, so a peer that keeps sending cannot hold
    // the event loop; the notifier calls again while bytes wait.
    for (int round = 0; round < 16; ++round) {
        const ssize_t got = ::recv(m_handle.get(), sink, sizeof sink, 0);
        if (got > 0)
            continue;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got < 0) {
            finish(); // reset: nothing more can reach the peer
            return;
        }
        // End of stream. A peer that only shut down its sending side may still be
        // reading the rest of the answer, so the handle stays open until our FIN is out.
        m_peerDone = true;
        m_readNotifier->setEnabled(false);
        if (m_sentFin)
            finish();
        return;
    }
}

void SocketDrainer::cutShort()
{
    if (m_handle.isValid()) {
        linger abortive{1, 0};
        ::setsockopt(m_handle.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    finish();
}

void SocketDrainer::finish()
{
    if (m_inPool) {
        pool(m_pool).drains.erase(m_place);
        m_inPool = false;
    }
    if (!m_handle.isValid())
        return;
    m_deadline.stop();
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_handle.reset();
    deleteLater();
}
