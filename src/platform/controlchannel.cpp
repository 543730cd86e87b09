#include "platform/controlchannel.h"

#include "net/uniquefd.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

// The channel is plain AF_UNIX stream sockets watched by QSocketNotifier: the server then
// needs no Qt Network library for four words. A peer can hold at most MaxLine + 1 bytes and
// IdleMs of time, and only MaxPeers connections are served at once.

namespace {

constexpr qsizetype MaxLine = 64;
constexpr int MaxPeers = 16;
constexpr int Backlog = 16;

const QString Show = QStringLiteral("lpdshow");
const QString Down = QStringLiteral("lpddown");
const QString Protect = QStringLiteral("lpdprot");
const QString Unprotect = QStringLiteral("lpduprot");
const QString Status = QStringLiteral("status");
const QString Reload = QStringLiteral("reload");
// The most a status answer may be; the server keeps its own well below.
constexpr qsizetype MaxAnswer = 16 * 1024 * 1024;

QString errnoText(int error)
{
    if (error == EAGAIN || error == EWOULDBLOCK)
        return QStringLiteral("timed out");
    return QString::fromLocal8Bit(std::strerror(error));
}

// False when the name does not fit a socket address.
bool makeAddress(const QByteArray& name, sockaddr_un* addr)
{
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) >= sizeof(addr->sun_path))
        return false;
    std::memcpy(addr->sun_path, name.constData(), size_t(name.size()));
    return true;
}

sockaddr* asSockaddr(sockaddr_un* addr)
{
    return reinterpret_cast<sockaddr*>(addr);
}

// A blocking call on `fd` waits at most what is left until `deadline`; false when nothing is.
bool armTimeout(int fd, int option, const QDeadlineTimer& deadline)
{
    timeval tv{};
    if (!deadline.isForever()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            errno = EAGAIN;
            return false;
        }
        tv.tv_sec = time_t(left / 1000);
        tv.tv_usec = suseconds_t((left % 1000) * 1000);
    }
    return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

} // namespace

class ControlChannel::Peer final : public QObject
{
public:
    Peer(UniqueFd socket, QObject* parent)
        : QObject(parent), fd(std::move(socket)), notifier(fd.get(), QSocketNotifier::Read, this)
    {
        idle.setSingleShot(true);
    }
    ~Peer() override
    {
        notifier.setEnabled(false);
        fd.reset();
    }
    Q_DISABLE_COPY_MOVE(Peer)

    UniqueFd fd;
    QSocketNotifier notifier;
    QTimer idle{this};
    QByteArray line;
    // A status answer that did not fit the socket's buffer at once.
    QByteArray out;
    qsizetype sent = 0;
    QSocketNotifier* writable = nullptr;
};

ControlChannel::ControlChannel(QObject* parent) : QObject(parent) {}

ControlChannel::~ControlChannel()
{
    close();
}

QString ControlChannel::socketPath(const QString& dir)
{
    return dir + QStringLiteral("/spoolmere.ctl");
}

bool ControlChannel::isControlWord(const QString& word)
{
    return word == Show || word == Down || word == Protect || word == Unprotect;
}

bool ControlChannel::listen(const QString& dir)
{
    close();
    m_error.clear();
    const QString path = socketPath(dir);
    const QByteArray name = QFile::encodeName(path);
    auto fail = [&](const QString& reason) {
        m_error = path + QStringLiteral(": ") + reason;
        return false;
    };
    sockaddr_un addr;
    if (!makeAddress(name, &addr))
        return fail(QStringLiteral("name too long for a local socket"));

    // Bound in a private folder beside the final name, made owner-only there and then
    // renamed into place: the file is never reachable with wider rights, and a socket left
    // by a run that died is replaced in one step. The folder's name is shorter than the
    // final one, so it fits wherever the final one does.
    QByteArray folder = QFile::encodeName(dir) + "/.ctlXXXXXX";
    if (!::mkdtemp(folder.data()))
        return fail(errnoText(errno));
    const QByteArray staged = folder + "/s";
    auto cleanUp = [&] {
        ::unlink(staged.constData());
        ::rmdir(folder.constData());
    };
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un stagedAddr;
    makeAddress(staged, &stagedAddr);
    if (fd.get() < 0 || ::bind(fd.get(), asSockaddr(&stagedAddr), sizeof stagedAddr) != 0 ||
        ::chmod(staged.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), Backlog) != 0 ||
        ::rename(staged.constData(), name.constData()) != 0) {
        const int error = errno;
        cleanUp();
        return fail(errnoText(error));
    }
    cleanUp();
    struct stat st
    {
    };
    if (::stat(name.constData(), &st) == 0) {
        m_dev = st.st_dev;
        m_ino = st.st_ino;
    }
    m_path = path;
    m_fd = std::move(fd);
    m_notifier = new QSocketNotifier(m_fd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ControlChannel::acceptPeers);
    return true;
}

void ControlChannel::close()
{
    for (Peer* peer : std::exchange(m_peers, {}))
        delete peer;
    if (!m_fd.isValid())
        return;
    delete m_notifier;
    m_notifier = nullptr;
    m_fd.reset();
    const QByteArray name = QFile::encodeName(m_path);
    struct stat st
    {
    };
    if (::stat(name.constData(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino)
        ::unlink(name.constData());
    m_path.clear();
}

bool ControlChannel::isListening() const
{
    return m_fd.isValid();
}

void ControlChannel::acceptPeers()
{
    for (;;) {
        UniqueFd fd(::accept4(m_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.isValid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        // More senders than this at once is a flood, not a user: they get no answer.
        if (m_peers.size() >= MaxPeers)
            continue;
        auto* peer = new Peer(std::move(fd), this);
        m_peers.append(peer);
        connect(&peer->notifier, &QSocketNotifier::activated, this,
                [this, peer] { readWord(peer); });
        // A sender that never finishes its line does not keep the socket forever.
        connect(&peer->idle, &QTimer::timeout, this, [this, peer] { drop(peer); });
        peer->idle.start(m_idleMs);
    }
}

void ControlChannel::readWord(Peer* peer)
{
    char buffer[MaxLine + 1];
    const qsizetype room = MaxLine + 1 - peer->line.size();
    ssize_t n;
    do
        n = ::recv(peer->fd.get(), buffer, size_t(room), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            drop(peer);
        return;
    }
    // One word per connection: whatever follows its line is not read.
    peer->line.append(buffer, n);
    const qsizetype end = peer->line.indexOf('\n');
    if (end < 0) {
        // Too long to be a word, or the sender stopped before the end of its line.
        if (n == 0 || peer->line.size() > MaxLine)
            answer(peer, "unknown\n");
        return;
    }
    const QString word = QString::fromLatin1(peer->line.left(end).trimmed());
    if (word == Status && m_statusProvider) {
        peer->notifier.setEnabled(false);
        peer->out = "ok\n" + m_statusProvider();
        sendAnswer(peer);
        return;
    }
    if (word == Reload && m_reloadHandler) {
        peer->notifier.setEnabled(false);
        // The handler may take a while (a listener moved, jobs moved along): the peer's
        // clock starts again for the answer.
        const QPointer<ControlChannel> alive(this);
        const QString refusal = m_reloadHandler();
        if (!alive || !m_peers.contains(peer))
            return;
        peer->out = refusal.isEmpty() ? QByteArray("ok\n")
                                      : "refused\n" + refusal.toUtf8() + '\n';
        peer->idle.start(m_idleMs);
        sendAnswer(peer);
        return;
    }
    const bool known = isControlWord(word);
    answer(peer, known ? "ok\n" : "unknown\n");
    if (!known)
        return;
    // A receiver may close or delete the channel on any of these.
    const QPointer<ControlChannel> alive(this);
    emit messageReceived(word);
    if (!alive)
        return;
    if (word == Show)
        emit showRequested();
    else if (word == Down)
        emit downRequested();
    else if (word == Protect)
        emit protectRequested(true);
    else if (word == Unprotect)
        emit protectRequested(false);
}

void ControlChannel::answer(Peer* peer, const char* reply)
{
    // A few bytes into an empty send buffer; a sender that has gone loses nothing.
    ssize_t n;
    do
        n = ::send(peer->fd.get(), reply, std::strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    drop(peer);
}

void ControlChannel::sendAnswer(Peer* peer)
{
    while (peer->sent < peer->out.size()) {
        const ssize_t n =
            ::send(peer->fd.get(), peer->out.constData() + peer->sent,
                   size_t(peer->out.size() - peer->sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The rest when the reader has made room; the idle timer still bounds a reader
            // that never reads.
            if (!peer->writable) {
                peer->writable = new QSocketNotifier(peer->fd.get(), QSocketNotifier::Write, peer);
                connect(peer->writable, &QSocketNotifier::activated, this,
                        [this, peer] { sendAnswer(peer); });
            }
            return;
        }
        if (n <= 0)
            break;
        peer->sent += n;
    }
    drop(peer);
}

void ControlChannel::drop(Peer* peer)
{
    if (!m_peers.removeOne(peer))
        return;
    peer->notifier.setEnabled(false);
    if (peer->writable)
        peer->writable->setEnabled(false);
    peer->idle.stop();
    peer->fd.reset();
    // Its notifier may be the one calling here.
    peer->deleteLater();
}

bool ControlChannel::send(const QString& dir, const QString& word, QString* error, int timeoutMs)
{
    if (!isControlWord(word)) {
        if (error)
            *error = QStringLiteral("not a control message: ") + word;
        return false;
    }
    return exchange(dir, word, nullptr, error, timeoutMs);
}

bool ControlChannel::requestStatus(const QString& dir, QByteArray* answer, QString* error,
                                   int timeoutMs)
{
    return exchange(dir, Status, answer, error, timeoutMs);
}

bool ControlChannel::requestReload(const QString& dir, QString* error, int timeoutMs)
{
    QByteArray ignored;
    return exchange(dir, Reload, &ignored, error, timeoutMs);
}

bool ControlChannel::exchange(const QString& dir, const QString& word, QByteArray* body,
                              QString* error, int timeoutMs)
{
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    const QString path = socketPath(dir);
    auto notRunning = [&](const QString& reason) {
        return fail(QStringLiteral("no running spoolmere at ") + path + QStringLiteral(" (") +
                    reason + QLatin1Char(')'));
    };
    sockaddr_un addr;
    if (!makeAddress(QFile::encodeName(path), &addr))
        return notRunning(QStringLiteral("name too long for a local socket"));
    const QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                : QDeadlineTimer(timeoutMs));

    // Blocking calls with the time left as their timeout: a listener whose backlog is full
    // or that never answers costs the caller timeoutMs, no more.
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return notRunning(errnoText(errno));
    int rc;
    do
        rc = armTimeout(fd.get(), SO_SNDTIMEO, deadline)
                 ? ::connect(fd.get(), asSockaddr(&addr), sizeof addr)
                 : -1;
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return notRunning(errnoText(errno));

    const QByteArray line = word.toLatin1() + '\n';
    qsizetype sent = 0;
    while (sent < line.size()) {
        if (!armTimeout(fd.get(), SO_SNDTIMEO, deadline))
            return fail(errnoText(errno));
        const ssize_t n =
            ::send(fd.get(), line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errnoText(errno));
        sent += n;
    }

    // A word is answered by one line; a status by that line and the document after it, up
    // to the end of the stream.
    QByteArray answer;
    bool ended = false;
    while (body ? answer.size() <= MaxAnswer : !answer.contains('\n') && answer.size() <= MaxLine) {
        if (!armTimeout(fd.get(), SO_RCVTIMEO, deadline))
            break;
        char buffer[4096];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = n == 0;
            break;
        }
        answer.append(buffer, n);
    }
    const qsizetype lineEnd = answer.indexOf('\n');
    if (answer.left(lineEnd).trimmed() == "ok") {
        if (!body)
            return true;
        if (!ended)
            return fail(QStringLiteral("the answer from ") + path +
                        QStringLiteral(" was cut short"));
        *body = answer.mid(lineEnd + 1);
        return true;
    }
    if (answer.isEmpty())
        return fail(QStringLiteral("no answer from ") + path);
    if (ended && answer.left(lineEnd).trimmed() == "refused")
        return fail(QString::fromUtf8(answer.mid(lineEnd + 1).trimmed()));
    return fail(QStringLiteral("not taken: ") + word);
}
