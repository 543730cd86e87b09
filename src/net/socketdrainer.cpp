#include "net/socketdrainer.h"

#include "net/sendqueue.h"

#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {
std::atomic<int> s_liveDrainers{0};
} // namespace

void SocketDrainer::start(int handle, SendQueue queue, int timeoutMs)
{
    new SocketDrainer(handle, std::move(queue), timeoutMs);
}

int SocketDrainer::liveCount()
{
    return s_liveDrainers.load();
}

SocketDrainer::SocketDrainer(int handle, SendQueue queue, int timeoutMs)
    : m_handle(handle), m_queue(std::move(queue))
{
    ++s_liveDrainers;
    // The connection sockets carry the abortive linger setting (on, 0 s); the final close
    // here must be an ordinary one.
    linger off{0, 0};
    ::setsockopt(m_handle, SOL_SOCKET, SO_LINGER, &off, sizeof off);

    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &SocketDrainer::finish);
    m_deadline.start(std::max(timeoutMs, 0));

    m_readNotifier = new QSocketNotifier(qintptr(m_handle), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SocketDrainer::onReadable);
    m_writeNotifier = new QSocketNotifier(qintptr(m_handle), QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SocketDrainer::onWritable);
    if (m_queue.empty())
        endSending();
}

SocketDrainer::~SocketDrainer()
{
    if (m_handle >= 0) {
        delete m_readNotifier;
        delete m_writeNotifier;
        ::close(m_handle);
    }
    --s_liveDrainers;
}

void SocketDrainer::onWritable()
{
    const int result = flushSendQueue(m_handle, m_queue);
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
        ::shutdown(m_handle, SHUT_WR);
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
        const ssize_t got = ::recv(m_handle, sink, sizeof sink, 0);
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

void SocketDrainer::finish()
{
    if (m_handle < 0)
        return;
    m_deadline.stop();
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    ::close(m_handle);
    m_handle = -1;
    deleteLater();
}
