#include "platform/printroutes.h"
#include "routedata.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads up to n bytes from fd until the writer closes or nothing comes for timeoutMs.
QByteArray drain(int fd, qsizetype n, int timeoutMs = 10000)
{
    QByteArray out;
    char buf[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t got =
            ::read(fd, buf, size_t(std::min<qsizetype>(sizeof buf, n - out.size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        out.append(buf, got);
    }
    return out;
}

// A FIFO's reading end, opened without waiting for a writer. Until a writer comes, poll()
// waits rather than reporting the end.
int openReader(const QString& fifo)
{
    return ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// A pseudo-terminal in raw mode stands in for a serial printer: no byte may be translated.
class Pty
{
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        path = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master = -1;
    int slave = -1; // held open so the terminal keeps its raw settings between writers
    QString path;
};

class DevicePath : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QTemporaryDir dir;
};

TEST_F(DevicePath, PseudoTerminalReceivesEveryByteUnchanged)
{
    for (const QByteArray& data : {everyByteValue(), noise(8 * 1024), noise(70000)}) {
        Pty pty;
        ASSERT_FALSE(pty.path.isEmpty());
        const QString file = writeDataFile(dir.path(), QStringLiteral("job"), data);
        auto received = onThread([&] { return drain(pty.master, data.size()); });
        const RouteResult result = printToDevice(pty.path, file);
        EXPECT_TRUE(result.ok) << result.reason.toStdString();
        EXPECT_TRUE(result.reason.isEmpty());
        EXPECT_EQ(awaitResult(received, 20000), data) << "size " << data.size();
    }
}

TEST_F(DevicePath, FifoReceivesExactBytesAndAnEmptyJobSendsNothing)
{
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QByteArray& data : {noise(3 * 1024), QByteArray()}) {
        const QString file = writeDataFile(dir.path(), QStringLiteral("job"), data);
        // The reader is there before the route opens the FIFO; the route does not wait.
        const int fd = openReader(fifo);
        auto received = onThread([&] {
            QByteArray got = drain(fd, data.size() + 1); // until the writer closes
            ::close(fd);
            return got;
        });
        const RouteResult result = printToDevice(fifo, file);
        EXPECT_TRUE(result.ok) << result.reason.toStdString();
        EXPECT_EQ(awaitResult(received, 20000), data) << "size " << data.size();
    }
}

TEST_F(DevicePath, MissingDeviceFailsAndIsNotCreated)
{
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), everyByteValue());
    const QString device = dir.filePath(QStringLiteral("lp9"));
    const RouteResult result = printToDevice(device, file);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(device)) << result.reason.toStdString();
    EXPECT_FALSE(QFile::exists(device));
}

TEST_F(DevicePath, MissingDataFileFails)
{
    Pty pty;
    ASSERT_FALSE(pty.path.isEmpty());
    const RouteResult result = printToDevice(pty.path, dir.filePath(QStringLiteral("gone")));
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.reason.isEmpty());
}

TEST_F(DevicePath, DeviceThatRefusesWritesFails)
{
    // /dev/full fails every write with ENOSPC, as a printer out of order would.
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), noise(5000));
    const RouteResult result = printToDevice(QStringLiteral("/dev/full"), file);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QLatin1String("write failed")))
        << result.reason.toStdString();
}

TEST_F(DevicePath, DeviceThatNeverReadsFailsAtTheTimeLimit)
{
    const QString fifo = dir.filePath(QStringLiteral("stuck"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // More than the FIFO holds, and a reader that never reads.
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), noise(1024 * 1024));
    const int fd = openReader(fifo);
    const RouteResult result = printToDevice(fifo, file, 300);
    ::close(fd);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(QLatin1String("time limit"))) << result.reason.toStdString();
}

TEST_F(DevicePath, FifoWithoutReaderFailsAtOnce)
{
    const QString fifo = dir.filePath(QStringLiteral("lonely"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), noise(10));
    const RouteResult result = printToDevice(fifo, file);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.startsWith(QStringLiteral("cannot open ")))
        << result.reason.toStdString();
}

TEST_F(DevicePath, ReaderGoneFailsWithoutKillingTheProcess)
{
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // More than a pipe holds, so the route is still writing when the reader leaves.
    const QString file = writeDataFile(dir.path(), QStringLiteral("job"), noise(1024 * 1024));
    const int fd = openReader(fifo);
    auto reader = onThread([&] {
        QByteArray got = drain(fd, 100);
        ::close(fd);
        return got.size();
    });
    // With SIGPIPE at its default, a write to the abandoned FIFO would end this test
    // program unless the route keeps the signal away.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    const RouteResult result = printToDevice(fifo, file);
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(awaitResult(reader), 100);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.reason.contains(QLatin1String("write failed")))
        << result.reason.toStdString();
}

} // namespace
