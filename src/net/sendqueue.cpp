#include "net/sendqueue.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {
// Blocks handed to one sendmsg: about 90 KiB, enough to fill a loopback window quickly.
constexpr int MaxBlocksPerCall = 64;
} // namespace

void appendToSendQueue(SendQueue& queue, const char* data, qint64 length)
{
    while (length > 0) {
        if (queue.empty() || queue.back()->freeSpace() == 0)
            queue.push_back(std::make_unique<SendBuffer>());
        const int taken =
            queue.back()->write(data, int(std::min<qint64>(length, SendBuffer::Size)));
        data += taken;
        length -= taken;
    }
}

qint64 queuedBytes(const SendQueue& queue)
{
    qint64 total = 0;
    for (const auto& block : queue)
        total += block->peek().size();
    return total;
}

int flushSendQueue(int handle, SendQueue& queue)
{
    for (;;) {
        while (!queue.empty() && queue.front()->peek().isEmpty())
            queue.pop_front();
        if (queue.empty())
            return 0;

        iovec iov[MaxBlocksPerCall];
        int count = 0;
        qint64 offered = 0;
        for (const auto& block : queue) {
            if (count == MaxBlocksPerCall)
                break;
            const QByteArrayView part = block->peek();
            if (part.isEmpty())
                continue;
            iov[count].iov_base = const_cast<char*>(part.data());
            iov[count].iov_len = size_t(part.size());
            offered += part.size();
            ++count;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        const ssize_t sent = ::sendmsg(handle, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        }
        qint64 left = sent;
        while (left > 0 && !queue.empty()) {
            SendBuffer& block = *queue.front();
            const int chunk = int(std::min<qint64>(left, block.peek().size()));
            block.remove(chunk);
            left -= chunk;
            if (block.peek().isEmpty())
                queue.pop_front();
        }
        if (sent < offered) {
            while (!queue.empty() && queue.front()->peek().isEmpty())
                queue.pop_front();
            return queue.empty() ? 0 : EAGAIN;
        }
    }
}
