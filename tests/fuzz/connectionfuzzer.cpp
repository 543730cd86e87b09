// libFuzzer target: arbitrary bytes, cut into arbitrary reads, reach one connection over a
// real stream socket pair, with a temporary spool. The input's first bytes choose how the
// client ends (end of stream or dropping the connection with answers unread) and whether
// every byte is logged; the rest alternates between a read size and that many bytes. As in
// the server, the connection's files are made and removed by the spool worker, so it pauses
// receiving while that work runs and a close that comes meanwhile is taken after it.
// Anything the sanitizers see, a hang, or a file outside the spool is a finding.

#include "config/logsink.h"
#include "net/socketdrainer.h"
#include "protocol/lpdconnection.h"
#include "spool/pendingjoblist.h"
#include "spool/spool.h"
#include "spool/spoolworker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QCoreApplication* makeApplication()
{
    static int argc = 1;
    static char name[] = "connectionfuzzer";
    static char* argv[] = {name, nullptr};
    return new QCoreApplication(argc, argv);
}

// Lives for the whole run: one application, one spool folder, one log.
struct Harness
{
    QCoreApplication* app = makeApplication();
    // In memory where the system has it: every finished file is synced before its answer,
    // as in the server, and on a disk each sync would cost milliseconds per input.
    QTemporaryDir dir{QDir(QStringLiteral("/dev/shm")).exists()
                          ? QStringLiteral("/dev/shm/connectionfuzzer-XXXXXX")
                          : QDir::tempPath() + QStringLiteral("/connectionfuzzer-XXXXXX")};
    Spool spool{dir.path() + QStringLiteral("/spool")};
    LogSink log;
    PendingJobList pending;
    SpoolWorker worker;
};

Harness& harness()
{
    static Harness* h = [] {
        auto* made = new Harness;
        // The harness lives to the end of the process; its folder goes with it.
        static const QByteArray folder = QFile::encodeName(made->dir.path());
        std::atexit([] {
            ::nftw(
                folder.constData(),
                [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
                FTW_DEPTH | FTW_PHYS);
        });
        return made;
    }();
    return *h;
}

void drainAnswers(int fd)
{
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

// Turns the event loop until the connection has taken every byte waiting for it (or has
// closed), with a bound so that a connection that stops reading shows up as a slow unit.
// The spool worker's work is waited for first: receiving stays paused until it is done.
void settle(LpdConnection& c, SpoolWorker& worker, int serverFd, int clientFd)
{
    const QDeadlineTimer deadline(200);
    while (!deadline.hasExpired()) {
        worker.drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        drainAnswers(clientFd);
        int waiting = 0;
        if (!c.isActive() || ::ioctl(serverFd, FIONREAD, &waiting) != 0 || waiting == 0)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Harness& h = harness();
    FuzzedDataProvider input(data, size);
    const bool dropAtEnd = input.ConsumeBool();
    h.log.setReceivedDataEnabled(input.ConsumeBool());

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    const QString spool = h.dir.path() + QStringLiteral("/spool");

    LpdConnection::Environment environment;
    environment.knownQueues = {QStringLiteral("lp"), QStringLiteral("-held"),
                               QStringLiteral("|nospool"), QStringLiteral("+both")};
    environment.queueFolders = {QStringLiteral("lp"), QStringLiteral("held"),
                                QStringLiteral("nospool"), QStringLiteral("both")};
    environment.spool = &h.spool;
    environment.log = &h.log;
    environment.pendingJobs = &h.pending;
    environment.worker = &h.worker;
    environment.drainTimeoutMs = 50;
    auto connection = std::make_unique<LpdConnection>(environment);
    if (!connection->adopt(pair[0], nullptr))
        std::abort();
    const int serverFd = pair[0];
    const int clientFd = pair[1];

    while (input.remaining_bytes() > 0 && connection->isActive()) {
        const size_t chunk = input.ConsumeIntegralInRange<size_t>(1, 4096);
        const std::string bytes = input.ConsumeBytesAsString(chunk);
        size_t sent = 0;
        while (sent < bytes.size() && connection->isActive()) {
            const ssize_t n =
                ::send(clientFd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT);
            if (n <= 0)
                break;
            sent += size_t(n);
            settle(*connection, h.worker, serverFd, clientFd);
        }
        if (sent < bytes.size())
            break;
    }
    if (dropAtEnd) {
        ::close(clientFd);
    } else {
        ::shutdown(clientFd, SHUT_WR);
    }
    // The queue report finishes from timers; the close hands the handle to a drainer. A
    // connection that never notices its client is gone holds a session slot for good.
    const QDeadlineTimer deadline(5000);
    while (connection->isActive() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!dropAtEnd)
            drainAnswers(clientFd);
    }
    if (connection->isActive())
        std::abort();
    connection.reset();
    // Removals handed to the worker at the close run before the spool is checked.
    h.worker.drain();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (!dropAtEnd)
        ::close(clientFd);
    const QDeadlineTimer drained(500);
    while (SocketDrainer::liveCount() > 0 && !drained.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // Everything the connection wrote stays under the spool; nothing is kept between runs.
    h.pending.removeIf(
        [](const PendingJobList::Entry&) { return PendingJobList::Verdict::Remove; });
    // By the bytes of the names: a client's names need not be UTF-8, and QDir skips those.
    ::nftw(
        QFile::encodeName(spool).constData(),
        [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
    const QStringList left =
        QDir(h.dir.path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    if (!left.isEmpty())
        std::abort();
    return 0;
}
