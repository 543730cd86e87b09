// Slots under contention: hostile shapes hold every slot with data trickled just above the
// progress rate, from one address, from many, and as a crowd that reconnects; a client of an
// address that holds no slot is still served, and the log says whose slot it took.

#include "serverfixture.h"

#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// Clients that each send a data file 120 bytes every 100 ms (1.2 kB/s) on the test's event
// loop, and (when they reconnect) connect again when the server closes them.
class Tricklers
{
public:
    explicit Tricklers(quint16 port) : m_port(port)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(100);
    }
    ~Tricklers()
    {
        for (Client& c : m_clients)
            if (c.fd >= 0)
                ::close(c.fd);
    }
    void add(const QByteArray& from, int count, bool reconnect = true)
    {
        for (int i = 0; i < count; ++i)
            m_clients.push_back({from, int(m_clients.size()), -1, reconnect, false, {}});
    }
    struct Client
    {
        QByteArray from;
        int number;
        int fd;
        bool reconnect;
        bool closed = false; // by the server
        QByteArray answers;
    };
    const std::vector<Client>& clients() const { return m_clients; }
    static QByteArray dataFile(const Client& c)
    {
        return "dfA" + QByteArray::number(c.number % 1000).rightJustified(3, '0') + "t" +
               QByteArray::number(c.number);
    }

private:
    void connectClient(Client& c)
    {
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, c.from.constData(), &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(m_port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            (::connect(c.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 &&
             errno != EINPROGRESS)) {
            ::close(c.fd);
            c.fd = -1;
            return;
        }
        m_pending.push_back(&c - m_clients.data());
    }
    void tick()
    {
        static const QByteArray chunk(120, 'x');
        for (Client& c : m_clients) {
            if (c.fd < 0) {
                if (!c.closed || c.reconnect)
                    connectClient(c);
                continue;
            }
            char answers[256];
            const ssize_t n = ::recv(c.fd, answers, sizeof answers, MSG_DONTWAIT);
            if (n > 0)
                c.answers.append(answers, n);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != ENOTCONN)) {
                ::close(c.fd);
                c.fd = -1;
                c.closed = true;
                continue;
            }
            const bool fresh = std::erase(m_pending, &c - m_clients.data()) > 0;
            const QByteArray bytes = fresh ? "\x02lp\n\x03"
                                             "1000000 " +
                                                 dataFile(c) + "\n" + chunk
                                           : chunk;
            if (::send(c.fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) < 0 &&
                errno != EAGAIN && errno != ENOTCONN && fresh)
                m_pending.push_back(&c - m_clients.data());
        }
    }

    quint16 m_port;
    QTimer m_timer;
    std::vector<Client> m_clients;
    std::vector<std::ptrdiff_t> m_pending; // connected, the job's commands not sent yet
};

class Contention : public ServerFixture
{
protected:
    // A queue-state request from an address that holds no slot, on a thread; true when the
    // answer came (the test's own generous limit, not a measure of the wait).
    bool probeServed(const char* from)
    {
        auto answer = onThread([this, from] { return queueState(port, 150000, from); });
        return awaitResult(answer, 160000).contains("lp");
    }
};

} // namespace

TEST_F(Contention, AClientOfAnotherAddressIsServedWhateverHoldsTheSlots)
{
    Settings s = defaults();
    s.hosts = {QStringLiteral("127.")};
    startServer(s);
    const auto shape = [&](const char* name, const std::function<void(Tricklers&)>& load,
                           const std::function<void(const Tricklers&)>& check = {}) {
        SCOPED_TRACE(name);
        int givenUp = 0;
        const QMetaObject::Connection counting =
            QObject::connect(&server->log(), &LogSink::lineAppended, [&](const QString& line) {
                givenUp += line.endsWith(u" Slot given to a waiting client - closed.");
            });
        {
            Tricklers tricklers(port);
            load(tricklers);
            ASSERT_TRUE(waitUntil([&] { return server->openSessions() == 10; }, 20000));
            EXPECT_TRUE(probeServed("127.0.9.1"));
            if (check)
                check(tricklers);
        }
        QObject::disconnect(counting);
        EXPECT_GE(givenUp, 1);
        // The tricklers gone, their slots free again.
        ASSERT_TRUE(waitUntil([&] { return server->openSessions() == 0; }, 20000));
    };
    // Ten slow senders from one address hold every slot. One that gave its slot up was told
    // (a negative acknowledgement after the two positive ones of its commands), and the file
    // it had half sent is gone.
    shape(
        "one address", [](Tricklers& t) { t.add("127.0.1.1", 10, false); },
        [&](const Tricklers& t) {
            const auto firstClosed = [&] {
                return std::find_if(t.clients().begin(), t.clients().end(),
                                    [](const auto& c) { return c.closed; });
            };
            ASSERT_TRUE(waitUntil([&] { return firstClosed() != t.clients().end(); }));
            const auto closed = firstClosed();
            EXPECT_EQ(closed->answers, QByteArray("\0\0\1", 3));
            const QString file =
                queueDir() + u'/' + QString::fromLatin1(Tricklers::dataFile(*closed));
            EXPECT_TRUE(waitUntil([&] {
                return !QFile::exists(file) && !QFile::exists(file + QStringLiteral(".lck"));
            }));
        });
    // Thirty addresses with three each, and one with fifty: every address within MAXPERHOST.
    shape("many addresses", [](Tricklers& t) {
        for (int a = 1; a <= 30; ++a)
            t.add("127.0.2." + QByteArray::number(a), 3);
        t.add("127.0.3.1", 50);
    });
    // Two hundred of one host, reconnecting when closed: its backlog must not hide the probe.
    shape("a crowd of one host", [](Tricklers& t) { t.add("127.0.4.1", 200); });
}
