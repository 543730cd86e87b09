#pragma once
// Peers for the network routes' tests, on 127.0.0.1.

#include "daemonprocess.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// Takes connections (the kernel completes them) and never answers: a hung scheduler or a printer
// that stops answering. Its kernel takes a few hundred KiB before a sender blocks.
class SilentServer
{
public:
    SilentServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(m_fd, 64) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            m_port = ntohs(addr.sin_port);
    }
    ~SilentServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// An AppSocket printer: socat on a free port appending each connection's bytes to a file.
class SocketPrinter final
{
public:
    SocketPrinter();
    // Starts socat on a free port, or again on the port it had; false with errorText() when
    // it does not answer.
    bool start();
    void stop() { m_socat.stop(); }
    quint16 port() const { return m_port; }
    QString outputFile() const { return m_dir.filePath(QStringLiteral("printed.bin")); }
    QString errorText() const { return m_error; }
    // "socket://127.0.0.1:PORT"
    QString uri() const;

private:
    QTemporaryDir m_dir;
    DaemonProcess m_socat;
    quint16 m_port = 0;
    QString m_error;
};
