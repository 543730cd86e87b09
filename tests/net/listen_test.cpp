// The listening socket: binding, the texts it resolves, its reports and its events.
#include "loopbackpair.h"
#include "net/esocketexception.h"
#include "net/socketresolver.h"
#include "net/twsocket.h"
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
ESocketException reportOf(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const ESocketException& e) {
        return e;
    }
    ADD_FAILURE() << "no report";
    return ESocketException(-1, QString());
}

void listenOn(TWSocket& socket, const QString& addr, const QString& port)
{
    socket.setAddr(addr);
    socket.setPort(port);
    socket.Listen();
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

    TWSocket first;
    listenOn(first, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    const QString takenByUs = QString::number(first.LocalPort());

    for (const QString& taken : {takenByOther, takenByUs}) {
        TWSocket socket;
        socket.setAddr(QStringLiteral("127.0.0.1"));
        socket.setPort(taken);
        const ESocketException e = reportOf([&] { socket.Listen(); });
        EXPECT_EQ(e.Code(), 10048);
        EXPECT_EQ(e.Message(),
                  QStringLiteral("Error 10048 in function Bind\r\nAddress already in use"));
        EXPECT_EQ(socket.LastError(), 10048);
        EXPECT_EQ(socket.State(), TSocketState::wsClosed);
        EXPECT_EQ(socket.Handle(), -1);
    }
    ::close(other);
}

TEST(Listen, PortAndAddrMustBeSetAgainAfterClose)
{
    TWSocket socket;
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_EQ(socket.State(), TSocketState::wsListening);
    EXPECT_NE(socket.LocalPort(), 0);

    EXPECT_EQ(reportOf([&] { socket.setPort(QStringLiteral("1")); }).Message(),
              QStringLiteral("Cannot change Port if not closed"));
    EXPECT_EQ(reportOf([&] { socket.setAddr(QStringLiteral("0.0.0.0")); }).Message(),
              QStringLiteral("Cannot change Addr if not closed"));
    socket.setPort(QStringLiteral("0")); // the same value is always accepted

    socket.Close();
    EXPECT_EQ(socket.State(), TSocketState::wsClosed);
    EXPECT_EQ(socket.Port(), QStringLiteral("0")) << "the text stays";
    ESocketException e = reportOf([&] { socket.Listen(); });
    EXPECT_EQ(e.Code(), 10022);
    EXPECT_EQ(e.Message(), QStringLiteral("Error 10022 in function listen: port not assigned\r\n"
                                          "Invalid argument"));
    socket.setPort(QStringLiteral("0"));
    EXPECT_EQ(reportOf([&] { socket.Listen(); }).Message(),
              QStringLiteral("Error 10022 in function listen: address not assigned\r\n"
                             "Invalid argument"));
    socket.setAddr(QStringLiteral("127.0.0.1"));
    socket.Listen();
    EXPECT_EQ(socket.State(), TSocketState::wsListening);
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
        TWSocket socket;
        socket.setAddr(b.addr);
        socket.setPort(b.port);
        const ESocketException e = reportOf([&] { socket.Listen(); });
        EXPECT_EQ(e.Code(), 0);
        EXPECT_EQ(e.Message(), b.message);
        EXPECT_EQ(socket.State(), TSocketState::wsClosed);
    }

    // Leading digits count ("0abc" is port 0: the kernel picks); blanks around the address
    // are trimmed; a host name is looked up.
    for (const QString& addr : {QStringLiteral(" 127.0.0.1 "), QStringLiteral("localhost")}) {
        TWSocket socket;
        listenOn(socket, addr, QStringLiteral("0abc"));
        ASSERT_EQ(socket.State(), TSocketState::wsListening);
        LoopbackClient client;
        EXPECT_TRUE(client.connectTo(socket.LocalPort())) << addr.toStdString();
    }
}

TEST(ResolveTexts, NumbersNamesAndAddresses)
{
    quint16 port = 1;
    EXPECT_EQ(resolvePortText(QStringLiteral("515x"), false, &port), QString());
    EXPECT_EQ(port, 515);
    EXPECT_EQ(resolvePortText(QStringLiteral("0"), false, &port), QString());
    EXPECT_EQ(port, 0);
    EXPECT_EQ(resolvePortText(QStringLiteral("65535"), false, &port), QString());
    EXPECT_EQ(port, 65535);
    // The services database names LPD's port "printer".
    EXPECT_EQ(resolvePortText(QStringLiteral("printer"), false, &port), QString());
    EXPECT_EQ(port, 515);

    quint32 address = 0;
    EXPECT_EQ(resolveHostText(QStringLiteral(" 10.1.2.3 "), &address), QString());
    EXPECT_EQ(address, inet_addr("10.1.2.3"));
    EXPECT_EQ(resolveHostText(QStringLiteral("255.255.255.255"), &address), QString());
    EXPECT_EQ(address, 0xffffffffu);
    EXPECT_EQ(resolveHostText(QStringLiteral("0.0.0.0"), &address), QString());
    EXPECT_EQ(address, 0u);

    int protocol = 0;
    EXPECT_EQ(resolveProtoText(QStringLiteral("tcp"), &protocol), QString());
    EXPECT_EQ(protocol, IPPROTO_TCP);
    EXPECT_EQ(resolveProtoText(QStringLiteral("17"), &protocol), QString());
    EXPECT_EQ(protocol, IPPROTO_UDP);
}

TEST(Listen, MisuseIsReported)
{
    TWSocket socket;
    ESocketException e = reportOf([&] { socket.Accept(); });
    EXPECT_EQ(e.Code(), 10022);
    EXPECT_EQ(e.Message(),
              QStringLiteral("Error 10022 in function not a listening socket\r\nInvalid argument"));
    for (int handle : {0, -1})
        EXPECT_EQ(reportOf([&] { socket.Dup(handle); }).Message(),
                  QStringLiteral("Error 10022 in function Dup\r\nInvalid argument"));
    EXPECT_EQ(socket.SendText(QByteArray()), 0);
    e = reportOf([&] { socket.SendText("x"); });
    EXPECT_EQ(e.Code(), 10057);
    EXPECT_EQ(e.Message(),
              QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));

    // A handle that is not a socket: reported, and left to the caller.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    e = reportOf([&] { socket.Dup(pipeEnds[0]); });
    EXPECT_EQ(e.Message(), QStringLiteral("Error 10038 in function setsockopt(SO_LINGER)\r\n"
                                          "Socket operation on non-socket"));
    EXPECT_EQ(socket.Handle(), -1);
    EXPECT_NE(::fcntl(pipeEnds[0], F_GETFD), -1);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);

    // Nothing pending: no report, only the reason.
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    EXPECT_EQ(socket.Accept(), -1);
    EXPECT_EQ(socket.LastError(), 10035);
    EXPECT_EQ(socket.State(), TSocketState::wsListening);
}

TEST(Listen, ConnectionNotAcceptedIsAnnouncedOnce)
{
    TWSocket socket;
    int announced = 0;
    socket.OnSessionAvailable = [&](TWSocket*, quint16 error) {
        EXPECT_EQ(error, 0);
        ++announced;
    };
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    LoopbackClient first;
    ASSERT_TRUE(first.connectTo(socket.LocalPort()));
    ASSERT_TRUE(waitUntil([&] { return announced == 1; }));
    spinFor(200);
    EXPECT_EQ(announced, 1) << "no repeats until the next Accept";

    const int handle = socket.Accept();
    EXPECT_GE(handle, 0);
    ::close(handle);
    LoopbackClient second;
    ASSERT_TRUE(second.connectTo(socket.LocalPort()));
    EXPECT_TRUE(waitUntil([&] { return announced == 2; }));
}

TEST(Listen, FailingSessionAvailableHandlerClosesTheListener)
{
    TWSocket socket;
    int closedEvents = 0;
    socket.OnSessionAvailable = [](TWSocket*, quint16) { throw std::runtime_error("boom"); };
    socket.OnSessionClosed = [&](TWSocket*, quint16) { ++closedEvents; };
    listenOn(socket, QStringLiteral("127.0.0.1"), QStringLiteral("0"));
    const quint16 port = socket.LocalPort();

    LoopbackClient client;
    ASSERT_TRUE(client.connectTo(port));
    ASSERT_TRUE(waitUntil([&] { return socket.State() == TSocketState::wsClosed; }));
    EXPECT_EQ(socket.Handle(), -1);
    EXPECT_EQ(closedEvents, 1);
    LoopbackClient late;
    EXPECT_FALSE(late.connectTo(port)) << "nobody listens any more";
}

TEST(Listen, LiveSocketCountFollowsObjects)
{
    const int before = TWSocket::liveSocketCount();
    {
        TWSocket a;
        auto b = std::make_unique<TWSocket>();
        EXPECT_EQ(TWSocket::liveSocketCount(), before + 2);
        b.reset();
        EXPECT_EQ(TWSocket::liveSocketCount(), before + 1);
    }
    EXPECT_EQ(TWSocket::liveSocketCount(), before);
}
