#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs)
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(500);
    }
    return true;
}

void spinFor(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
}

LoopbackClient::~LoopbackClient()
{
    close();
}

bool LoopbackClient::connectTo(quint16 port, const char* bindAddress, int timeoutMs)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (bindAddress) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, bindAddress, &local.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

bool LoopbackClient::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray LoopbackClient::read(int n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < n) {
        int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            break;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
        char buf[65536];
        ssize_t got = ::recv(m_fd, buf, size_t(std::min<qsizetype>(n - out.size(), sizeof buf)), 0);
        if (got <= 0)
            break;
        out.append(buf, got);
    }
    return out;
}

QByteArray LoopbackClient::readAll(int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            break;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
        char buf[65536];
        ssize_t got = ::recv(m_fd, buf, sizeof buf, 0);
        if (got <= 0)
            break;
        out.append(buf, got);
    }
    return out;
}

bool LoopbackClient::waitClosed(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            return false;
        char buf[4096];
        ssize_t got = ::recv(m_fd, buf, sizeof buf, 0);
        if (got <= 0)
            return true;
    }
}

void LoopbackClient::shutdownWrite()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

void LoopbackClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void LoopbackClient::reset()
{
    if (m_fd < 0)
        return;
    linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size() && f.flush();
}

bool writeScript(const QString& path, const QByteArray& body)
{
    if (!writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                           QFile::ExeOther);
}

quint16 freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

QByteArray sendJobFiles(LoopbackClient& c, const QByteArray& cfName, const QByteArray& control,
                        const QByteArray& dfName, const QByteArray& data)
{
    QByteArray acks;
    c.send("\x02" + QByteArray::number(control.size()) + " " + cfName + "\n");
    acks += c.read(1);
    c.send(control + QByteArray(1, '\0'));
    acks += c.read(1);
    c.send("\x03" + QByteArray::number(data.size()) + " " + dfName + "\n");
    acks += c.read(1);
    c.send(data + QByteArray(1, '\0'));
    acks += c.read(1);
    c.close();
    return acks;
}

QByteArray sendJob(quint16 port, const QByteArray& queue, const QByteArray& cfName,
                   const QByteArray& control, const QByteArray& dfName, const QByteArray& data)
{
    LoopbackClient c;
    if (!c.connectTo(port))
        return "connect failed";
    c.send("\x02" + queue + "\n");
    const QByteArray first = c.read(1);
    return first + sendJobFiles(c, cfName, control, dfName, data);
}

bool waitForFileSize(const QString& path, qint64 size, int timeoutMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (QFileInfo(path).size() >= size)
            return true;
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
