// An acknowledged file is on the disk: the built program runs under strace, and the trace
// shows each file's data synced, its lock removed and its folder synced before the answer
// that accepts it goes to the client. With SYNC 0 nothing is synced.

#include "runningserver.h"

#include "testsupport.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// The server runs as strace's child. It is stopped itself, so that strace ends with it and
// the trace is complete; a test that fails on the way still ends it (strace killed would
// leave it running).
class TracedServer
{
public:
    explicit TracedServer(qint64 tracer)
    {
        waitUntil([&] {
            const QByteArray children =
                readFile(QStringLiteral("/proc/%1/task/%1/children").arg(tracer));
            m_pid = children.trimmed().split(' ').first().toLongLong();
            return m_pid > 0;
        });
    }
    ~TracedServer() { stop(); }
    bool running() const { return m_pid > 0; }
    void stop()
    {
        if (m_pid > 0)
            ::kill(pid_t(m_pid), SIGTERM);
        m_pid = 0;
    }

private:
    qint64 m_pid = 0;
};

quint16 localPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// One job on its own connection, the two files in the given order; the client's port.
quint16 sendJob(quint16 port, const QByteArray& number, bool dataFirst)
{
    LoopbackClient c;
    c.connectTo(port);
    const QByteArray control = "Hh\nPsync\nldfA" + number + "h\n";
    auto file = [&](char sub, const QByteArray& name, const QByteArray& bytes) {
        c.send(QByteArray(1, sub) + QByteArray::number(bytes.size()) + ' ' + name + '\n');
        c.read(1);
        c.send(bytes + '\0');
        c.read(1);
    };
    c.send("\x02lp\n");
    c.read(1);
    for (int i = 0; i < 2; ++i) {
        if ((i == 0) == dataFirst)
            file(3, "dfA" + number + "h", QByteArray(5000, 'd'));
        else
            file(2, "cfA" + number + "h", control);
    }
    return localPort(c.fd());
}

// The trace's lines, with a call that another thread interrupted joined to its end: the
// line of a call is where it returned.
QStringList traceLines(const QString& path)
{
    QStringList lines;
    QMap<QString, QString> unfinished;
    static const QRegularExpression resumed(QStringLiteral("^(\\d+)\\s+<\\.\\.\\. \\w+ resumed>"));
    for (const QByteArray& raw : readFile(path).split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const QString pid = line.section(QLatin1Char(' '), 0, 0);
        if (line.endsWith(QStringLiteral("<unfinished ...>"))) {
            unfinished[pid] = line;
            continue;
        }
        if (const auto m = resumed.match(line); m.hasMatch())
            lines << unfinished.take(pid).chopped(17) + line.mid(m.capturedEnd());
        else
            lines << line;
    }
    return lines;
}

int firstAt(const QStringList& lines, const QString& pattern, int from = 0)
{
    const QRegularExpression re(pattern);
    for (int i = from; i < lines.size(); ++i) {
        if (re.match(lines[i]).hasMatch())
            return i;
    }
    return -1;
}

} // namespace

TEST(Durability, EachFileIsOnDiskBeforeItsAnswer)
{
    RunningServer s;
    const QString trace = s.dir() + QStringLiteral("/trace.txt");
    s.setLauncher({QStringLiteral("strace"), QStringLiteral("-f"), QStringLiteral("-yy"),
                   QStringLiteral("-e"), QStringLiteral("trace=fdatasync,fsync,unlinkat,sendmsg"),
                   QStringLiteral("-o"), trace});
    ASSERT_TRUE(s.start({QStringLiteral("-lp /bin/true")}));
    TracedServer server(s.pid());
    ASSERT_TRUE(server.running());
    const quint16 dataFirst = sendJob(s.port(), "101", true);
    const quint16 controlFirst = sendJob(s.port(), "102", false);
    server.stop();
    ASSERT_TRUE(s.waitForExit());

    const QStringList lines = traceLines(trace);
    const QString folder = QRegularExpression::escape(s.spool());
    // A job's first file is answered at once; the answer to the file that completes it
    // (the fifth on the connection: queue, command, file, command, file) waits until both
    // files are synced, both locks removed and the folder synced after that.
    for (const auto& [client, number] : {std::pair{dataFirst, "101"}, {controlFirst, "102"}}) {
        QList<int> answers;
        const QString toClient = QStringLiteral("^\\d+\\s+sendmsg\\(\\d+<TCP.*:%1\\]>").arg(client);
        for (int at = firstAt(lines, toClient); at >= 0; at = firstAt(lines, toClient, at + 1))
            answers << at;
        ASSERT_EQ(answers.size(), 5) << number;
        int lastUnlock = -1;
        for (const QString& kind : {QStringLiteral("cfA"), QStringLiteral("dfA")}) {
            const QString name = kind + QLatin1String(number) + QLatin1Char('h');
            const int synced = firstAt(
                lines, QStringLiteral("fdatasync\\(\\d+<%1/%2>\\)\\s*= 0").arg(folder, name));
            const int unlocked = firstAt(
                lines,
                QStringLiteral("unlinkat\\(\\d+<%1>, \"%2\\.lck\", 0\\)\\s*= 0").arg(folder, name));
            EXPECT_GE(synced, 0) << name.toStdString() << " in " << trace.toStdString();
            EXPECT_GT(unlocked, synced) << name.toStdString() << " in " << trace.toStdString();
            lastUnlock = std::max(lastUnlock, unlocked);
        }
        const int folderSynced =
            firstAt(lines, QStringLiteral("fsync\\(\\d+<%1>\\)\\s*= 0").arg(folder), lastUnlock);
        EXPECT_GT(folderSynced, lastUnlock) << number << " in " << trace.toStdString();
        EXPECT_LT(folderSynced, answers[4]) << number << " in " << trace.toStdString();
        if (HasFailure())
            s.keepFolder();
    }

    // Switched off: the same job, answered without a sync.
    const QString offTrace = s.dir() + QStringLiteral("/trace-off.txt");
    s.setLauncher({QStringLiteral("strace"), QStringLiteral("-f"), QStringLiteral("-yy"),
                   QStringLiteral("-e"), QStringLiteral("trace=fdatasync,unlinkat"),
                   QStringLiteral("-o"), offTrace});
    ASSERT_TRUE(
        s.start({QStringLiteral("-lp /bin/true")}, {QStringLiteral("127.")}, "SYNC\r\n0\r\n\r\n"));
    TracedServer unsynced(s.pid());
    ASSERT_TRUE(unsynced.running());
    sendJob(s.port(), "103", true);
    ASSERT_TRUE(s.waitForLog(QStringLiteral("Got file ") + s.spool() +
                             QStringLiteral("/cfA103h with 18 B for lp.")));
    unsynced.stop();
    ASSERT_TRUE(s.waitForExit());
    const QStringList off = traceLines(offTrace);
    EXPECT_GE(
        firstAt(off,
                QStringLiteral("unlinkat\\(\\d+<%1>, \"cfA103h\\.lck\", 0\\)\\s*= 0").arg(folder)),
        0);
    EXPECT_EQ(firstAt(off, QStringLiteral("fdatasync\\(")), -1);
}
