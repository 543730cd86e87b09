// Error numbering, report texts, the send blocks and the reverse lookup.
#include "net/eventsocket.h"
#include "net/sendqueue.h"
#include "net/socketerror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

TEST(SocketErrors, ErrnoMapsToWinsockNumbers)
{
    const std::pair<int, int> table[] = {
        {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},
        {EACCES, 10013},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOTCONN, 10057},
        {EINVAL, 10022},
        {ENOTSOCK, 10038},
        {EMFILE, 10024},
        {EINTR, 10004},
        {EBADF, 10009},
        {EFAULT, 10014},
        {EINPROGRESS, 10036},
        {EALREADY, 10037},
        {EMSGSIZE, 10040},
        {EPROTOTYPE, 10041},
        {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044},
        {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047},
        {ENETDOWN, 10050},
        {ENETUNREACH, 10051},
        {ENETRESET, 10052},
        {ENOBUFS, 10055},
        {EISCONN, 10056},
        {ESHUTDOWN, 10058},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {ELOOP, 10062},
        {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064},
        {EHOSTUNREACH, 10065},
        {ENOTEMPTY, 10066},
        {EDQUOT, 10069},
        {ESTALE, 10070},
        {0, 0},
    };
    for (const auto& [err, code] : table)
        EXPECT_EQ(socketErrorFromErrno(err), code) << "errno " << err;
}

TEST(SocketErrors, ReportTextsAndDescriptions)
{
    EXPECT_EQ(socketErrorText(0), QStringLiteral("No Error"));
    EXPECT_EQ(socketErrorText(10035), QStringLiteral("Operation would block"));
    EXPECT_EQ(socketErrorText(10054), QStringLiteral("Connection reset by peer"));
    EXPECT_EQ(socketErrorText(10058), QStringLiteral("Can't send after socket shutdown"));
    EXPECT_EQ(socketErrorText(11004), QStringLiteral("No Data"));
    EXPECT_EQ(socketErrorText(10000), QStringLiteral("Not a WinSock error"));
    EXPECT_EQ(socketErrorText(ENOMSG), QStringLiteral("Not a WinSock error"));
    EXPECT_EQ(socketErrorReport(10048, QStringLiteral("Bind")),
              QStringLiteral("Error 10048 in function Bind\r\nAddress already in use"));

    const SocketError e(10057, socketErrorReport(10057, QStringLiteral("Send")));
    EXPECT_EQ(e.code(), 10057);
    EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
}

TEST(SendBlocks, BufferTakesWhatFitsAndResetsWhenRead)
{
    SendBuffer buffer;
    const QByteArray bytes(2000, 'a');
    EXPECT_EQ(buffer.write(bytes.constData(), int(bytes.size())), SendBuffer::Size);
    EXPECT_EQ(buffer.freeSpace(), 0);
    EXPECT_EQ(buffer.write("x", 1), 0);
    buffer.remove(460);
    EXPECT_EQ(buffer.peek().size(), 1000);
    EXPECT_EQ(buffer.freeSpace(), 0) << "reading does not make room until everything is read";
    buffer.remove(1000);
    EXPECT_TRUE(buffer.peek().isEmpty());
    EXPECT_EQ(buffer.freeSpace(), SendBuffer::Size);
    EXPECT_EQ(buffer.write("xyz", 3), 3);
    EXPECT_EQ(buffer.peek(), QByteArrayView("xyz"));
}

TEST(SendBlocks, QueueGoesOutAsTheKernelTakesIt)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    SendQueue queue;
    appendToSendQueue(queue, "head", 4);
    const QByteArray big(4 << 20, 'b');
    appendToSendQueue(queue, big.constData(), big.size());
    EXPECT_EQ(queue.front()->peek().size(), SendBuffer::Size) << "the last block is filled first";
    EXPECT_EQ(queuedBytes(queue), big.size() + 4);

    // The peer does not read yet: the kernel takes part and the rest waits.
    EXPECT_EQ(flushSendQueue(pair[0], queue), EAGAIN);
    EXPECT_GT(queuedBytes(queue), 0);

    QByteArray received;
    char chunk[65536];
    int result = EAGAIN;
    while (result == EAGAIN || received.size() < big.size() + 4) {
        const ssize_t got = ::read(pair[1], chunk, sizeof chunk);
        if (got > 0)
            received.append(chunk, got);
        else
            ASSERT_TRUE(got < 0 && errno == EAGAIN);
        result = flushSendQueue(pair[0], queue);
        ASSERT_TRUE(result == 0 || result == EAGAIN) << result;
    }
    EXPECT_EQ(received, "head" + big);
    EXPECT_EQ(queuedBytes(queue), 0);

    ::close(pair[1]);
    appendToSendQueue(queue, "late", 4);
    EXPECT_EQ(socketErrorFromErrno(flushSendQueue(pair[0], queue)), 10054);
    ::close(pair[0]);
}

TEST(ReverseLookup, RefusesBadTextsAndFindsLoopback)
{
    for (const QString& bad : {QString(), QString(257, u'1')}) {
        try {
            reverseLookup(bad);
            ADD_FAILURE() << "no report for " << bad.size() << " characters";
        } catch (const SocketError& e) {
            EXPECT_EQ(e.message(), QStringLiteral("WSocketGetHostByAddr: Invalid address."));
        }
    }
    EXPECT_FALSE(reverseLookup(QStringLiteral("127.0.0.1")).isEmpty());
    EXPECT_TRUE(reverseLookup(QStringLiteral("not an address")).isEmpty());
}
