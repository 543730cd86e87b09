// The listening socket: binding, the texts it resolves, its reports and its events.
#include "loopbackpair.h"
#include "net/eventsocket.h"
#include "net/socketerror.h"
#include "net/socketresolver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Runs fn and returns the report it raised; fails the test when it raised none.
SocketError reportOf(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const SocketError& e) {
        return e;
    }
    ADD_FAILURE() << "no report";
    return SocketError(-1, QString());
}

void listenOn(EventSocket& socket, const QString& addr, const QString& port)
{
    socket.setAddress(addr);
    socket.setPort(port);
    socket.listen();
}

} // namespace

TEST(Listen, PortTakenReportsBindAndLeavesNoSocket)
{
    // Another program listening without SO_REUSEADDR, then another listener of ours.
    const int other = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(other, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &length);
    const QString takenByOther = QString::number(ntohs(address.sin_port));

    EventSocket first;
    listenOn(first, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    const QString takenByUs = QString::number(first.localPort());

    for (const QString& taken : {takenByOther, takenByUs}) {
        EventSocket socket;
        socket.setAddress(QStringLiteral("127.0.0.1"));
        socket.setPort(taken);
        const SocketError e = reportOf([&] { socket.listen(); });
        EXPECT_EQ(e.code(), 10048);
        EXPECT_EQ(e.message(),
                  QStringLiteral("Error 10048 in function Bind\r\nAddress already in use"));
        EXPECT_EQ(socket.lastError(), 10048);
        EXPECT_EQ(socket.state(), EventSocket::State::Closed);
        EXPECT_EQ(socket.handle(), -1);
    }
    ::close(other);
}

TEST(Listen, PortAndAddrMustBeSetAgainAfterClose)
{
    EventSocket socket;
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_EQ(socket.state(), EventSocket::State::Listening);
    EXPECT_NE(socket.localPort(), 0);

    EXPECT_EQ(reportOf([&] { socket.setPort(QStringLiteral("1")); }).message(),
              QStringLiteral("Cannot change Port if not closed"));
    EXPECT_EQ(reportOf([&] { socket.setAddress(QStringLiteral("0.0.0.0")); }).message(),
              QStringLiteral("Cannot change Addr if not closed"));
    socket.setPort(QStringLiteral("0")); // the same value is always accepted

    socket.close();
    EXPECT_EQ(socket.state(), EventSocket::State::Closed);
    EXPECT_EQ(socket.port(), QStringLiteral("0")) << "the text stays";
    SocketError e = reportOf([&] { socket.listen(); });
    EXPECT_EQ(e.code(), 10022);
    EXPECT_EQ(e.message(), QStringLiteral("Error 10022 in function listen: port not assigned\r\n"
                                          "Invalid argument"));
    socket.setPort(QStringLiteral("0"));
    EXPECT_EQ(reportOf([&] { socket.listen(); }).message(),
              QStringLiteral("Error 10022 in function listen: address not assigned\r\n"
                             "Invalid argument"));
    socket.setAddress(QStringLiteral("127.0.0.1"));
    socket.listen();
    EXPECT_EQ(socket.state(), EventSocket::State::Listening);
}

TEST(Listen, ResolvesPortAndAddressTexts)
{
    struct Bad
    {
        QString addr, port, message;
    };
    const Bad bad[] = {
        {QStringLiteral("127.0.0.1"), QString(32, u'1'),
         QStringLiteral("listen: WSocketResolvePort: Invalid Port.")},
        {QStringLiteral("127.0.0.1"), QStringLiteral("70000"),
         QStringLiteral("listen: WSocketResolvePort: Invalid Port.")},
        {QStringLiteral("127.0.0.1"), QStringLiteral("no-such-service"),
         QStringLiteral("listen: WSocketResolvePort: Cannot convert port 'no-such-service', "
                        "Error #11004")},
        {QStringLiteral("1.2.3.256"), QStringLiteral("0"),
         QStringLiteral("listen: WSocketResolveHost: '1.2.3.256' Invalid IP address.")},
        {QStringLiteral("1..2.3"), QStringLiteral("0"),
         QStringLiteral("listen: WSocketResolveHost: '1..2.3' Invalid IP address.")},
        {QString(257, u'h'), QStringLiteral("0"),
         QStringLiteral("listen: WSocketResolveHost: '") + QString(257, u'h') +
             QStringLiteral("' Invalid Hostname.")},
    };
    for (const Bad& b : bad) {
        EventSocket socket;
        socket.setAddress(b.addr);
        socket.setPort(b.port);
        const SocketError e = reportOf([&] { socket.listen(); });
        EXPECT_EQ(e.code(), 0);
        EXPECT_EQ(e.message(), b.message);
        EXPECT_EQ(socket.state(), EventSocket::State::Closed);
    }

    // Leading digits count ("0abc" is port 0: the kernel picks); blanks around the address
    // are trimmed; a host name is looked up.
    for (const QString& addr : {QStringLiteral(" 127.0.0.1 "), QStringLiteral("localhost")}) {
        EventSocket socket;
        listenOn(socket, addr, QStringLiteral("0abc"));
        ASSERT_EQ(socket.state(), EventSocket::State::Listening);
        LoopbackClient client;
        EXPECT_TRUE(client.connectTo(socket.localPort())) << addr.toStdString();
    }
}

TEST(ResolveTexts, NumbersNamesAndAddresses)
{
    quint16 port = 1;
    EXPECT_EQ(resolvePort(QStringLiteral("515x"), false, &port), QString());
    EXPECT_EQ(port, 515);
    EXPECT_EQ(resolvePort(QStringLiteral("0"), false, &port), QString());
    EXPECT_EQ(port, 0);
    EXPECT_EQ(resolvePort(QStringLiteral("65535"), false, &port), QString());
    EXPECT_EQ(port, 65535);
    // The services database names LPD's port "printer".
    EXPECT_EQ(resolvePort(QStringLiteral("printer"), false, &port), QString());
    EXPECT_EQ(port, 515);

    quint32 address = 0;
    EXPECT_EQ(resolveHost(QStringLiteral(" 10.1.2.3 "), &address), QString());
    EXPECT_EQ(address, inet_addr("10.1.2.3"));
    EXPECT_EQ(resolveHost(QStringLiteral("255.255.255.255"), &address), QString());
    EXPECT_EQ(address, 0xffffffffu);
    EXPECT_EQ(resolveHost(QStringLiteral("0.0.0.0"), &address), QString());
    EXPECT_EQ(address, 0u);

    int protocol = 0;
    EXPECT_EQ(resolveProtocol(QStringLiteral("tcp"), &protocol), QString());
    EXPECT_EQ(protocol, IPPROTO_TCP);
    EXPECT_EQ(resolveProtocol(QStringLiteral("17"), &protocol), QString());
    EXPECT_EQ(protocol, IPPROTO_UDP);
}

TEST(Listen, MisuseIsReported)
{
    EventSocket socket;
    SocketError e = reportOf([&] { socket.accept(); });
    EXPECT_EQ(e.code(), 10022);
    EXPECT_EQ(e.message(),
              QStringLiteral("Error 10022 in function not a listening socket\r\nInvalid argument"));
    for (int handle : {0, -1})
        EXPECT_EQ(reportOf([&] { socket.adoptHandle(handle); }).message(),
                  QStringLiteral("Error 10022 in function Dup\r\nInvalid argument"));
    EXPECT_EQ(socket.sendText(QByteArray()), 0);
    e = reportOf([&] { socket.sendText("x"); });
    EXPECT_EQ(e.code(), 10057);
    EXPECT_EQ(e.message(),
              QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));

    // A handle that is not a socket: reported, and left to the caller.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    e = reportOf([&] { socket.adoptHandle(pipeEnds[0]); });
    EXPECT_EQ(e.message(), QStringLiteral("Error 10038 in function setsockopt(SO_LINGER)\r\n"
                                          "Socket operation on non-socket"));
    EXPECT_EQ(socket.handle(), -1);
    EXPECT_NE(::fcntl(pipeEnds[0], F_GETFD), -1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);

    // Nothing pending: no report, only the reason.
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_FALSE(socket.accept().isValid());
    EXPECT_EQ(socket.lastError(), 10035);
    EXPECT_EQ(socket.state(), EventSocket::State::Listening);
}

TEST(Listen, ConnectionNotAcceptedIsAnnouncedOnce)
{
    EventSocket socket;
    int announced = 0;
    socket.setSessionAvailableHandler([&](EventSocket*, quint16 error) {
        EXPECT_EQ(error, 0);
        ++announced;
    });
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    LoopbackClient first;
    ASSERT_TRUE(first.connectTo(socket.localPort()));
    ASSERT_TRUE(waitUntil([&] { return announced == 1; }));
    spinFor(200);
    EXPECT_EQ(announced, 1) << "no repeats until the next Accept";

    EXPECT_TRUE(socket.accept().isValid());
    LoopbackClient second;
    ASSERT_TRUE(second.connectTo(socket.localPort()));
    EXPECT_TRUE(waitUntil([&] { return announced == 2; }));
}

TEST(Listen, FailingSessionAvailableHandlerClosesTheListener)
{
    EventSocket socket;
    int closedEvents = 0;
    socket.setSessionAvailableHandler(
        [](EventSocket*, quint16) { throw std::runtime_error("boom"); });
    socket.setSessionClosedHandler([&](EventSocket*, quint16) { ++closedEvents; });
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    const quint16 port = socket.localPort();

    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port));
    ASSERT_TRUE(waitUntil([&] { return socket.state() == EventSocket::State::Closed; }));
    EXPECT_EQ(socket.handle(), -1);
    EXPECT_EQ(closedEvents, 1);
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(port)) << "nobody listens any more";
}

TEST(Listen, LiveSocketCountFollowsObjects)
{
    const int before = EventSocket::liveSocketCount();
    {
        EventSocket a;
        auto b = std::make_unique<EventSocket>();
        EXPECT_EQ(EventSocket::liveSocketCount(), before + 2);
        b.reset();
        EXPECT_EQ(EventSocket::liveSocketCount(), before + 1);
    }
    EXPECT_EQ(EventSocket::liveSocketCount(), before);
}
