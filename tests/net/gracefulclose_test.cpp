// The close the server uses after an answer: everything queued arrives, then a normal end.
#include "loopbackpair.h"
#include "net/socketdrainer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace {

struct Received
{
    QByteArray bytes;
    int end = -1; // 0: end of stream, else the errno that ended it, -1: time ran out
};

// Reads until the stream ends and tells how it ended.
Received readToEnd(int fd, int timeoutMs)
{
    Received r;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return r;
        char buffer[65536];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            r.bytes.append(buffer, got);
            continue;
        }
        r.end = got == 0 ? 0 : errno;
        return r;
    }
}

} // namespace

using GracefulClose = LoopbackPair;

TEST_F(GracefulClose, DeliversTheQueuedAnswerThenEndOfStream)
{
    const QByteArray answer = patternBytes(8 << 20);
    for (const bool peerSendsMore : {false, true}) {
        LoopbackClient client;
        connectClient(client);
        int closedEvents = 0;
        bool closedAtOnce = false;
        server->setSessionClosedHandler([&](EventSocket*, quint16 error) {
            EXPECT_EQ(error, 0);
            ++closedEvents;
        });
        server->setDataAvailableHandler([&](EventSocket* s, quint16) {
            char request[8];
            if (s->receive(request, sizeof request) <= 0)
                return;
            s->sendText(answer);
            s->closeGracefully(30000);
            closedAtOnce = closedEvents == 1 && s->state() == EventSocket::State::Closed &&
                           s->handle() == -1 && s->pendingSendBytes() == 0;
        });
        // The extra bytes are never read by the server: closing with them unread, or with
        // the abortive linger setting, would reset the connection under the answer.
        const QByteArray request = "request\n" + (peerSendsMore ? QByteArray(65536, 'j') : "");
        ASSERT_TRUE(client.send(request));
        ASSERT_TRUE(waitUntil([&] { return closedEvents == 1; }));
        EXPECT_TRUE(closedAtOnce);
        server.reset(); // the drainer does not depend on the socket object
        EXPECT_GE(SocketDrainer::liveCount(), 1);

        auto reader = onThread([fd = client.fd()] { return readToEnd(fd, 30000); });
        const Received got = awaitResult(reader, 60000);
        EXPECT_EQ(got.end, 0) << "errno " << got.end;
        EXPECT_EQ(got.bytes.size(), answer.size());
        EXPECT_TRUE(got.bytes == answer);
        client.close();
        EXPECT_TRUE(waitUntil([] { return SocketDrainer::liveCount() == 0; }));
        spinFor(20);
        EXPECT_EQ(closedEvents, 1);
    }
}

TEST_F(GracefulClose, PeerThatNeverReadsIsCutOffAtTheDeadline)
{
    LoopbackClient client;
    connectClient(client);
    const QByteArray answer = patternBytes(16 << 20);
    server->sendText(answer);
    server->closeGracefully(300);
    server.reset();
    EXPECT_EQ(SocketDrainer::liveCount(), 1);
    EXPECT_TRUE(waitUntil([] { return SocketDrainer::liveCount() == 0; }, 10000));
    const Received got = readToEnd(client.fd(), 5000);
    EXPECT_NE(got.end, -1) << "the connection ended";
    EXPECT_LT(got.bytes.size(), answer.size());
}

TEST_F(GracefulClose, NothingQueuedEndsTheStreamAtOnce)
{
    LoopbackClient client;
    connectClient(client);
    server->sendText("short answer\n");
    ASSERT_EQ(server->pendingSendBytes(), 0);
    server->closeGracefully(30000);
    EXPECT_EQ(server->state(), EventSocket::State::Closed);
    // The client still talks after our FIN; the drainer swallows it and ends on its close.
    const Received got = readToEnd(client.fd(), 5000);
    EXPECT_EQ(got.bytes, "short answer\n");
    EXPECT_EQ(got.end, 0);
    ASSERT_TRUE(client.send("late words"));
    spinFor(50);
    EXPECT_EQ(SocketDrainer::liveCount(), 1);
    client.close();
    EXPECT_TRUE(waitUntil([] { return SocketDrainer::liveCount() == 0; }));
}
