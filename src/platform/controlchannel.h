#pragma once
// The control messages "lpdshow", "lpddown", "lpdprot" and "lpduprot" reach the running
// server through a local socket beside the instance lock, so only the user who runs the
// server (and root) can steer it. One connection carries one word and a newline; the
// receiver answers "ok" or "unknown" and hangs up. Any program can send a word: the server's
// own `--send WORD` does, and so would `printf 'lpdshow\n' | socat - UNIX:<socket>`.
// The word "status" is answered by "ok", a newline and the server's state as a JSON
// document (`spoolmere --status`), then the end of the stream. The word "reload" reads
// lpd.ini again and is answered when that is done: "ok", or "refused", a newline and why
// (`spoolmere --reload`, the service's ExecReload).

#include "net/uniquefd.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <sys/types.h>

class QSocketNotifier;

class ControlChannel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlChannel)

public:
    explicit ControlChannel(QObject* parent = nullptr);
    ~ControlChannel() override;

    // Listens on socketPath(dir). The caller holds the instance lock, so a socket file found
    // there is left over from a run that died and is replaced.
    bool listen(const QString& dir);
    void close();
    bool isListening() const;
    QString error() const { return m_error; }
    // How long a sender may take to finish its line before it is hung up on.
    void setIdleTimeout(int ms) { m_idleMs = ms; }

    static QString socketPath(const QString& dir);
    static bool isControlWord(const QString& word);
    // Delivers one word to the receiver listening in `dir` and waits for its answer; false
    // with the reason when nobody listens or the word was not taken. Blocking; safe on any
    // thread.
    static bool send(const QString& dir, const QString& word, QString* error = nullptr,
                     int timeoutMs = 3000);
    // Asks the receiver in `dir` for its status document. Blocking.
    static bool requestStatus(const QString& dir, QByteArray* answer, QString* error = nullptr,
                              int timeoutMs = 5000);
    // What answers "status"; without one the word is unknown.
    void setStatusProvider(std::function<QByteArray()> provider)
    {
        m_statusProvider = std::move(provider);
    }
    // Asks the receiver in `dir` to reload its settings and waits for its verdict: false with
    // the server's reason when it refused them, or why it could not be asked. Blocking.
    static bool requestReload(const QString& dir, QString* error = nullptr,
                              int timeoutMs = 60000);
    // What carries out "reload": an empty text when the settings were taken, else why not.
    // Without one the word is unknown.
    void setReloadHandler(std::function<QString()> handler)
    {
        m_reloadHandler = std::move(handler);
    }

signals:
    // Every word taken, then the signal of its meaning.
    void messageReceived(const QString& word);
    void showRequested();
    void downRequested();
    void protectRequested(bool on);

private:
    class Peer;

    void acceptPeers();
    void readWord(Peer* peer);
    void answer(Peer* peer, const char* reply);
    void sendAnswer(Peer* peer);
    static bool exchange(const QString& dir, const QString& word, QByteArray* body,
                         QString* error, int timeoutMs);
    void drop(Peer* peer);

    UniqueFd m_fd;
    QSocketNotifier* m_notifier = nullptr;
    QList<Peer*> m_peers;
    QString m_path;
    // The socket file this channel made; close() removes no file another listener put there.
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    int m_idleMs = 5000;
    std::function<QByteArray()> m_statusProvider;
    std::function<QString()> m_reloadHandler;
    QString m_error;
};
