#pragma once
// Helpers shared by every test folder: the event loop, loopback clients, files.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <future>

// Runs the Qt event loop until pred() is true or the time is up; returns pred().
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
// Runs the event loop for about ms milliseconds.
void spinFor(int ms);

// Runs fn on its own thread (for blocking clients against an in-process server) and
// returns its future; awaitResult spins the event loop until it is ready.
template <class F> auto onThread(F fn)
{
    return std::async(std::launch::async, std::move(fn));
}
template <class T> T awaitResult(std::future<T>& f, int timeoutMs = 10000)
{
    waitUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              timeoutMs);
    return f.get();
}

// A blocking TCP client on 127.0.0.1 with timeouts; safe on any thread.
class LoopbackClient
{
public:
    LoopbackClient() = default;
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // bindAddress e.g. "127.0.0.2" to appear as another host.
    bool connectTo(quint16 port, const char* bindAddress = nullptr, int timeoutMs = 3000);
    bool send(const QByteArray& bytes);
    // Exactly n bytes, or fewer if the peer closed or the time ran out.
    QByteArray read(int n, int timeoutMs = 5000);
    // Everything until the peer closes (or the time runs out).
    QByteArray readAll(int timeoutMs = 5000);
    // True when the peer closed (EOF or reset) within the time.
    bool waitClosed(int timeoutMs = 5000);
    void shutdownWrite();
    void close();
    // Drops the connection with a reset instead of an end of stream.
    void reset();
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// The files of a job on a connection that has sent its receive-job command: control file,
// then data file, each with its closing zero; then the connection is closed. Returns the
// four acknowledgement bytes that came back.
QByteArray sendJobFiles(LoopbackClient& c, const QByteArray& cfName, const QByteArray& control,
                        const QByteArray& dfName, const QByteArray& data);
// One complete job on a new connection: the five acknowledgement bytes the server sent.
QByteArray sendJob(quint16 port, const QByteArray& queue, const QByteArray& cfName,
                   const QByteArray& control, const QByteArray& dfName, const QByteArray& data);

QByteArray readFile(const QString& path);
// Waits, on any thread and without the event loop, until the file holds at least `size`
// bytes: a client thread's way to know the server has taken what it sent so far.
bool waitForFileSize(const QString& path, qint64 size, int timeoutMs = 10000);
bool writeFile(const QString& path, const QByteArray& bytes);
// Writes an executable /bin/sh script.
bool writeScript(const QString& path, const QByteArray& body);
// A free TCP port on 127.0.0.1 (bound and released).
quint16 freePort();
