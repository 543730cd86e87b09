#include "platform/controlchannel.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace {

constexpr qint64 MaxLine = 64;
constexpr int IdleMs = 5000;

const QString Show = QStringLiteral("lpdshow");
const QString Down = QStringLiteral("lpddown");
const QString Protect = QStringLiteral("lpdprot");
const QString Unprotect = QStringLiteral("lpduprot");

} // namespace

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
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        m_error = path + QStringLiteral(": ") + m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            // A sender that never finishes its line does not keep the socket forever.
            auto* idle = new QTimer(socket);
            idle->setSingleShot(true);
            connect(idle, &QTimer::timeout, socket, &QLocalSocket::abort);
            idle->start(IdleMs);
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readWord(socket); });
            if (socket->bytesAvailable() > 0)
                readWord(socket);
        }
    });
    return true;
}

void ControlChannel::close()
{
    if (!m_server)
        return;
    m_server->close();
    delete m_server;
    m_server = nullptr;
}

bool ControlChannel::isListening() const
{
    return m_server && m_server->isListening();
}

void ControlChannel::readWord(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MaxLine) {
            disconnect(socket, nullptr, this, nullptr);
            socket->write("unknown\n");
            socket->disconnectFromServer();
        }
        return;
    }
    // One word per connection: whatever follows it is not read.
    disconnect(socket, nullptr, this, nullptr);
    const QByteArray line = socket->readLine(MaxLine + 1).trimmed();
    const QString word = QString::fromLatin1(line);
    const bool known = isControlWord(word);
    socket->write(known ? "ok\n" : "unknown\n");
    socket->flush();
    socket->disconnectFromServer();
    if (!known)
        return;
    emit messageReceived(word);
    if (word == Show)
        emit showRequested();
    else if (word == Down)
        emit downRequested();
    else if (word == Protect)
        emit protectRequested(true);
    else if (word == Unprotect)
        emit protectRequested(false);
}

bool ControlChannel::send(const QString& dir, const QString& word, QString* error, int timeoutMs)
{
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!isControlWord(word))
        return fail(QStringLiteral("not a control message: ") + word);
    QLocalSocket socket;
    socket.connectToServer(socketPath(dir));
    if (!socket.waitForConnected(timeoutMs))
        return fail(QStringLiteral("no running spoolmere at ") + socketPath(dir) +
                    QStringLiteral(" (") + socket.errorString() + QLatin1Char(')'));
    socket.write(word.toLatin1() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return fail(socket.errorString());
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(timeoutMs))
        answer += socket.readAll();
    answer += socket.readAll();
    if (answer.trimmed() == "ok")
        return true;
    if (answer.isEmpty())
        return fail(QStringLiteral("no answer from ") + socketPath(dir));
    return fail(QStringLiteral("not taken: ") + word);
}
