#pragma once
// One accepted LPD connection (RFC 1179). A command line is taken off the socket exactly up
// to its terminator and no further, so the bytes behind it (file content after a
// sub-command line, the LF of a CR LF pair) are read in whatever state the line leaves
// behind, as if the line had been read one byte at a time; the waiting bytes are looked at
// first (MSG_PEEK) to find where the line ends. The connection parses and answers; the files
// a client sends belong to a ReceivedJob, which writes them to the spool as they arrive and
// hands each job to the pending list. A connection carries one daemon command.

#include "spool/receivedjob.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class Accounting;
class LogSink;
class PendingJobList;
class Spool;
class SpoolWorker;
class QTimer;
class EventSocket;

class LpdConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LpdConnection)

public:
    // What the server hands every connection when it is accepted.
    struct Environment
    {
        QStringList knownQueues;
        // Queue folders in the spelling they take on disk: a queue addressed in another
        // letter case still lands in its one folder.
        QStringList queueFolders;
        // Read when a job's first file arrives (receivingFolderPath), so a job begun before
        // a change of SPOOLDIR lands in the new spool.
        const Spool* spool = nullptr;
        LogSink* log = nullptr;
        PendingJobList* pendingJobs = nullptr;
        // Where removed jobs are recorded; none in tests of the connection alone.
        Accounting* accounting = nullptr;
        // Where the connection's files are created and removed; without one (tests of the
        // connection alone) that happens here, at once.
        SpoolWorker* worker = nullptr;
        // How long a graceful close may wait for the client to take the last answer: a few
        // seconds, not the idle timeout, so finished and refused peers cannot pin descriptors.
        int drainTimeoutMs = 5000;
        // Each finished file and its queue folder reach the disk before the file is
        // acknowledged (lpd.ini's SYNC).
        bool syncFiles = true;
    };

    LpdConnection(Environment environment, QObject* owner = nullptr);
    ~LpdConnection() override;

    // Takes over an accepted handle. False with the socket's report when it cannot; the
    // handle then stays the caller's and the connection is inactive.
    bool adopt(int handle, QString* report);
    // The peer's dotted IPv4 address, empty when it cannot be read.
    QString peerAddress() const;
    // Sends a refusal and closes gracefully, before any command was read.
    void refuse(const QByteArray& answer);

    // Called once, when the socket closes (not at dropSilently).
    void setClosedHandler(std::function<void(LpdConnection*)> handler)
    {
        m_onClosed = std::move(handler);
    }
    // The Connections list's description of the peer.
    QString peer() const { return m_peer; }
    void setPeer(const QString& description) { m_peer = description; }
    // The reverse lookup of the peer is still running; a close meanwhile is reported once
    // the peer is known, so the Connections list and the log keep their order.
    bool peerPending() const { return m_peerPending; }
    void setPeerPending(bool pending) { m_peerPending = pending; }
    bool closeDeferred() const { return m_closeDeferred; }
    void setCloseDeferred(bool deferred) { m_closeDeferred = deferred; }
    // Open: its socket has not closed yet.
    bool isActive() const { return m_session != Session::Ended; }
    // ms since the epoch (Clock); moved on by the bytes that bring a command or a
    // file nearer (see creditProgress); blank lines and aborts earn nothing.
    // While the server owes the client (file work under way, or bytes it sent that the
    // event loop has not read yet: a stall of the server) the client is not idle: now.
    qint64 lastActivity() const;

    void closeIfConnected();
    // Sends while connected; a peer gone meanwhile is not an error here.
    void send(const QByteArray& bytes);
    void sendAck(bool ok);
    // Whether one of the forms of a queue name is a name clients may address (any case).
    bool isKnown(const QStringList& forms) const;
    // The file names this connection holds: the ones it may still be writing or has not
    // handed over yet.
    QStringList filesInUse() const;
    // Whether this connection may still create or hold files in the spool at `spoolDir`:
    // from its first file command until its files are handed over or removed. Cheap.
    bool holdsFilesIn(const QString& spoolDir) const;
    // Drop the connection at shut-down: no session-closed handling, partial files stay.
    void dropSilently();

    // Pure helpers, shared with the tests.
    static bool isUnknownLength(qint64 announced);
    // How many of the `count` waiting bytes belong to the command line being gathered: up
    // to and including the byte that ends it (a CR or LF behind at least one byte) or makes
    // it longer than 1024 bytes; all of them when none does. `lineLength` is the length
    // gathered so far; while an answer goes out (`dropping`) every byte is taken.
    static int lineBytesToTake(const char* bytes, int count, qsizetype lineLength, bool dropping);

private:
    // What the next bytes from the client are. A counted file is exactly its count of bytes;
    // the byte after them is its terminator. A data file of unknown length is every byte
    // until the client ends the stream.
    enum class Receiving
    {
        DaemonCommand,
        SubCommand,
        ControlFile,
        DataFile,
        StreamedDataFile,
        ControlFileTerminator,
        DataFileTerminator,
        // An answer goes out over several steps; what the client sends meanwhile is dropped.
        Nothing
    };
    // Where the socket stands, as far as the job's files care: only the client's own end of
    // the stream ends a file of unknown length; a reset or the server's close cuts it off.
    enum class Session
    {
        Open,
        ClosingByServer,
        EndedByClient,
        CutOff,
        Ended,
        // Dropped at shut-down: no session-closed handling, no log lines.
        Dropped
    };
    // File work on the spool worker, during which nothing is read from the client.
    enum class FileWork
    {
        None,
        Running,
        // The socket closed meanwhile; the session ends when the work is done.
        RunningSocketClosed
    };

    void onData(EventSocket* socket, quint16 error);
    void onSocketClosed(EventSocket* socket, quint16 error);
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
    void receiveTerminator();
    // The byte after a counted file: the zero byte ends it, anything else breaks the job.
    void takeTerminator(char byte);
    void finishFile();
    bool receivingFile() const;
    // Runs a step of the received job; its answer `then` may come at once or from the
    // worker. Until it comes nothing is read from the client, not even the end of the
    // stream: the bytes behind a sub-command wait for the state its answer leaves.
    void jobStep(const std::function<void(ReceivedJob::Done)>& start, ReceivedJob::Done then);
    void afterFileWorkDone(const std::function<void()>& done);
    void sessionEnded();
    void writeFailure();
    QString queueFolder() const;
    void log(const QString& line);
    void creditProgress(qint64 bytes);

    std::unique_ptr<EventSocket> m_socket;
    const Environment m_env;
    std::function<void(LpdConnection*)> m_onClosed;
    Receiving m_receiving = Receiving::DaemonCommand;
    Session m_session = Session::Open;
    FileWork m_fileWork = FileWork::None;
    QList<QByteArray> m_params;
    QByteArray m_line;
    qint64 m_remaining = 0;
    qint64 m_fileBytes = 0;
    QString m_peer;
    QString m_queue;
    qint64 m_lastActivity = 0;
    bool m_peerPending = false;
    bool m_closeDeferred = false;
    // The files of the job: made at the first file command, in the spool of that moment.
    std::unique_ptr<ReceivedJob> m_job;

    friend class QueueCommands;
};
