// Connection sockets: the order and repetition of their events, closing, and sending.
#include "loopbackpair.h"
#include "net/socketerror.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

// Makes the client's close a reset, as a crashed or impatient client's would be.
void resetOnClose(LoopbackClient& client)
{
    linger abortive{1, 0};
    ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

// Waits, without running any event handler, until the kernel has news for handle.
bool kernelHasNews(int handle)
{
    pollfd p{handle, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
}

} // namespace

using Connection = LoopbackPair;

TEST_F(Connection, OneByteReadsSeeEveryByteThenTheCloseOnce)
{
    LoopbackClient client;
    connectClient(client);
    QByteArray received;
    QString events; // d: a byte, e: end of stream seen, c: closed
    int closedError = -1;
    server->setDataAvailableHandler([&](EventSocket* s, quint16 error) {
        EXPECT_EQ(error, 0);
        char byte;
        const int n = s->receive(&byte, 1);
        if (n == 1)
            received.append(byte);
        events += n == 1 ? u'd' : n == 0 ? u'e' : u'?';
    });
    server->setSessionClosedHandler([&](EventSocket* s, quint16 error) {
        closedError = error;
        events += u'c';
        EXPECT_EQ(s->state(), EventSocket::State::Connected) << "the handle is still there";
    });
    ASSERT_TRUE(client.send("0123456789"));
    client.close();

    ASSERT_TRUE(waitUntil([&] { return events.contains(u'c'); }));
    spinFor(100);
    EXPECT_EQ(received, "0123456789");
    EXPECT_EQ(closedError, 0);
    // Ten bytes, at least one more call at the close, then exactly one closed event.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^d{10}e+c$")).match(events).hasMatch())
        << events.toStdString();
    EXPECT_EQ(server->state(), EventSocket::State::Closed);
    EXPECT_EQ(server->handle(), -1);
}

TEST_F(Connection, CloseFiresClosedBeforeReturningAndOnlyOnce)
{
    LoopbackClient client;
    connectClient(client);
    int closedEvents = 0;
    int closedEventsWhenCloseReturned = -1;
    server->setDataAvailableHandler([&](EventSocket* s, quint16) {
        char buffer[16];
        s->receive(buffer, sizeof buffer);
        s->close();
        closedEventsWhenCloseReturned = closedEvents;
        s->close();
    });
    server->setSessionClosedHandler([&](EventSocket*, quint16 error) {
        EXPECT_EQ(error, 0);
        ++closedEvents;
    });
    ASSERT_TRUE(client.send("hello"));
    ASSERT_TRUE(waitUntil([&] { return closedEventsWhenCloseReturned >= 0; }));
    EXPECT_EQ(closedEventsWhenCloseReturned, 1);
    EXPECT_TRUE(client.waitClosed());
    client.close();
    spinFor(100);
    EXPECT_EQ(closedEvents, 1);
    EXPECT_EQ(server->state(), EventSocket::State::Closed);
}

TEST_F(Connection, DestroyingAConnectedSocketFiresNothing)
{
    LoopbackClient client;
    connectClient(client);
    bool closedEvent = false;
    server->setSessionClosedHandler([&](EventSocket*, quint16) { closedEvent = true; });
    const int live = EventSocket::liveSocketCount();
    server.reset();
    EXPECT_FALSE(closedEvent);
    EXPECT_EQ(EventSocket::liveSocketCount(), live - 1);
    EXPECT_TRUE(client.waitClosed());
}

TEST_F(Connection, PeerResetIsReportedWithItsCode)
{
    // Noticed by reading...
    LoopbackClient client;
    connectClient(client);
    QList<int> errors;
    server->setSessionClosedHandler([&](EventSocket*, quint16 error) { errors.append(error); });
    resetOnClose(client);
    client.close();
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    spinFor(50);
    EXPECT_EQ(errors, QList<int>{10054});

    // ...and by sending, before any readiness was handled.
    connectClient(client);
    errors.clear();
    server->setSessionClosedHandler([&](EventSocket*, quint16 error) { errors.append(error); });
    resetOnClose(client);
    client.close();
    ASSERT_TRUE(kernelHasNews(server->handle()));
    EXPECT_EQ(server->sendText("answer"), 6);
    EXPECT_EQ(errors, QList<int>{10054});
    EXPECT_EQ(server->state(), EventSocket::State::Closed);
    EXPECT_EQ(server->pendingSendBytes(), 0);
    spinFor(50);
    EXPECT_EQ(errors.size(), 1);
}

TEST_F(Connection, EmptyTextSendsNothing)
{
    LoopbackClient client;
    connectClient(client);
    EXPECT_EQ(server->sendText(QByteArray()), 0);
    EXPECT_EQ(server->sendText("ok"), 2);
    EXPECT_EQ(client.read(3, 300), "ok");
}

TEST_F(Connection, LargeSendArrivesIntactWhileThePeerReadsSlowly)
{
    LoopbackClient client;
    connectClient(client);
    const QByteArray answer = patternBytes(16 << 20);
    EXPECT_EQ(server->send(answer.constData(), int(answer.size())), answer.size());
    EXPECT_GT(server->pendingSendBytes(), 0) << "more than the kernel takes at once";

    auto reader = onThread([&client, size = answer.size()] {
        QByteArray got;
        while (got.size() < size) {
            const QByteArray part = client.read(16384, 5000);
            if (part.isEmpty())
                break;
            got += part;
            if (got.size() % (1 << 20) < 16384)
                QThread::msleep(20); // a slow reader, now and then
        }
        return got;
    });
    const QByteArray got = awaitResult(reader, 120000);
    EXPECT_EQ(got.size(), answer.size());
    EXPECT_TRUE(got == answer);
    EXPECT_TRUE(waitUntil([&] { return server->pendingSendBytes() == 0; }));
    EXPECT_EQ(server->state(), EventSocket::State::Connected);
}

TEST_F(Connection, FailingDataHandlerIsSwallowed)
{
    LoopbackClient client;
    connectClient(client);
    QByteArray request;
    int calls = 0;
    server->setDataAvailableHandler([&](EventSocket* s, quint16) {
        char buffer[2];
        const int n = s->receive(buffer, ++calls == 1 ? 1 : 2);
        if (n > 0)
            request.append(buffer, n);
        if (calls == 1)
            throw std::runtime_error("handler failed");
        if (request == "abc")
            s->sendText("done");
    });
    ASSERT_TRUE(client.send("abc"));
    ASSERT_TRUE(waitUntil([&] { return request == "abc"; }));
    EXPECT_EQ(client.read(4), "done");
    EXPECT_GE(calls, 2);
    EXPECT_EQ(server->state(), EventSocket::State::Connected);
}

TEST_F(Connection, PeerNameIsTheClientsAddress)
{
    LoopbackClient client;
    connectClient(client, "127.0.0.2");
    sockaddr_in clientAddress{};
    socklen_t length = sizeof clientAddress;
    ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&clientAddress), &length);

    sockaddr_in peer{};
    ASSERT_EQ(server->peerAddress(peer), 0);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("127.0.0.2"));
    EXPECT_EQ(peer.sin_port, clientAddress.sin_port);
    server->close();
    EXPECT_EQ(server->peerAddress(peer), -1);
}

TEST_F(Connection, HandlersMayDestroyTheirSocket)
{
    LoopbackClient client;
    connectClient(client);
    server->setSessionClosedHandler([&](EventSocket*, quint16) { server.reset(); });
    client.close();
    EXPECT_TRUE(waitUntil([&] { return server == nullptr; }));

    connectClient(client);
    server->setDataAvailableHandler([&](EventSocket*, quint16) { server.reset(); });
    ASSERT_TRUE(client.send("x"));
    EXPECT_TRUE(waitUntil([&] { return server == nullptr; }));
    EXPECT_TRUE(client.waitClosed());
}
