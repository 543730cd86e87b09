#pragma once
// One accepted LPD connection (RFC 1179). A command line is taken off the socket exactly up
// to its terminator and no further, so the bytes behind it (file content after a
// sub-command line, the LF of a CR LF pair) are read in whatever state the line leaves
// behind, as if the line had been read one byte at a time; the waiting bytes are looked at
// first (MSG_PEEK) to find where the line ends. File content is written straight to the
// spool as it arrives. A connection carries one daemon command; a received job is handed
// to the pending list only when the client closes the connection.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class LogSink;
class PendingJobList;
class SpoolWorker;
class QTimer;
class TWSocket;

class Tlpdconnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Tlpdconnection)

public:
    explicit Tlpdconnection(QObject* owner = nullptr);
    ~Tlpdconnection() override;

    std::unique_ptr<TWSocket> Socket;
    quint8 State = 0;
    QList<QByteArray> Params;
    QByteArray Line;
    std::function<void(Tlpdconnection*)> OnClosed;
    Tlpdconnection* Sender = nullptr;
    qint64 Remaining = 0;
    qint64 FileBytes = 0;
    QString CurrentPath;
    QString Peer;
    QStringList KnownQueues;
    // Queue folders in the spelling they take on disk: a queue addressed in another letter
    // case still lands in its one folder.
    QStringList QueueFolders;
    QString SpoolDir;
    LogSink* LogLines = nullptr;
    QString Queue;
    QString ControlPath;
    QString DataPath;
    PendingJobList* PendingJobs = nullptr;
    // Where the connection's files are created and removed; without one (tests of the
    // connection alone) that happens here, at once.
    SpoolWorker* Worker = nullptr;
    bool Active = true;
    qint64 LastActivity = 0; // ms since the epoch (Clock)
    // The reverse lookup of the peer is still running; a close meanwhile is reported once
    // the peer is known, so the Connections list and the log keep their order.
    bool PeerPending = false;
    bool CloseDeferred = false;
    // How long a graceful close may wait for the client to take the last answer.
    int DrainTimeoutMs = 60000;

    void closeIfConnected();
    // Sends while connected; a peer gone meanwhile is not an error here.
    void send(const QByteArray& bytes);
    void sendAck(bool ok);
    // Whether one of the forms of a queue name is a name clients may address (any case).
    bool isKnown(const QStringList& forms) const;
    // The files this connection may still be writing or has not handed over yet.
    QStringList filesInUse() const;
    // Drop the connection at shut-down: no session-closed handling, partial files stay.
    void dropSilently();

    // Pure helpers, shared with the tests.
    static QString gotFileLine(const QString& path, qint64 bytes, const QString& queue);
    static bool isUnknownLength(qint64 announced);
    // How many of the `count` waiting bytes belong to the command line being gathered: up
    // to and including the byte that ends it (a CR or LF behind at least one byte) or makes
    // it longer than 1024 bytes; all of them when none does. `lineLength` is the length
    // gathered so far; while an answer goes out (`dropping`) every byte is taken.
    static int lineBytesToTake(const char* bytes, int count, qsizetype lineLength, bool dropping);

private:
    void onData(TWSocket* socket, quint16 error);
    void onSocketClosed(TWSocket* socket, quint16 error);
    void gatherLine();
    void gatherByte();
    bool takeLineByte(char byte);
    void dispatchDaemonCommand();
    void dispatchSubCommand();
    void startCommand();
    void receiveJobCommand();
    void fileCommand(char subCommand);
    void refuseFile(const QString& what);
    void receiveFileChunk();
    void finishFile();
    // Runs `work` on the worker and `done` back here, not reading from the client meanwhile:
    // the bytes behind a sub-command wait for the state its answer leaves.
    void afterFileWork(std::function<void()> work, std::function<void()> done);
    // Removes files through the worker, in order with its other work.
    void removeFiles(const QStringList& paths);
    void sessionEnded();
    void writeFailure();
    void finishDataFileAtClose();
    void handOverJob();
    QString queueFolder() const;
    void log(const QString& line);

    int m_outFile = -1;
    bool m_unknownLength = false;
    bool m_lastByteZero = false;
    bool m_replying = false; // an answer is being sent over several steps
    bool m_dropping = false;
    bool m_waitingForFiles = false;
    bool m_closedWhileWaiting = false;
    QString m_lockPath; // lock file of the file being received

    friend class QueueCommands;
};
