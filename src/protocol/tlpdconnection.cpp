#include "protocol/tlpdconnection.h"

#include "config/logsink.h"
#include "net/esocketexception.h"
#include "net/twsocket.h"
#include "platform/clock.h"
#include "protocol/operands.h"
#include "protocol/queuecommands.h"
#include "spool/lockfile.h"
#include "spool/pendingjoblist.h"
#include "spool/spoolworker.h"
#include "spool/tlpdjob.h"

#include <QDir>
#include <QFile>
#include <QPointer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// File content is read in blocks up to this size, but never past the announced count and
// its closing zero, so a block ends exactly where a 2047-byte read would have ended the
// file. All connections live on the main thread and share it.
constexpr int ReadBlock = 256 * 1024;
char g_readBuffer[ReadBlock];

// Windows' Standard TCP/IP Port without byte counting announces an impossible count, and
// CUPS' lpd backend in stream mode announces 999999999999 (2147483647 without large-file
// support); RFC 1179 lets a client announce 0. Such files end when the client closes.
constexpr qint64 UnknownLengthFrom = 2147483647;

// A command line of this many bytes is accepted; one more byte without a terminator ends
// the connection.
constexpr int MaxLine = 1024;

bool writeAll(int fd, const char* data, qint64 length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= n;
    }
    return true;
}

// A file of a file command, made ready on the worker: the lock file first (the queue folder
// only when the lock cannot be made: a lock file that could be made proves the folder is
// there, and every other case takes the same steps, with the same answers, as making the
// folder first), then the file. A descriptor nobody took is closed.
struct OpenedFile
{
    enum class Failure
    {
        None,
        Directory,
        LockFile,
        File
    };
    Failure failure = Failure::None;
    int fd = -1;

    OpenedFile() = default;
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    ~OpenedFile()
    {
        if (fd >= 0)
            ::close(fd);
    }

    void open(const QString& dir, const QString& path, const QString& lockPath)
    {
        if (!createLockFile(dir, lockPath)) {
            if (!QDir().mkpath(dir)) {
                failure = Failure::Directory;
                return;
            }
            if (!createLockFile(dir, lockPath)) {
                failure = Failure::LockFile;
                return;
            }
        }
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                    0644);
        if (fd < 0)
            failure = Failure::File;
    }
};

} // namespace

Tlpdconnection::Tlpdconnection(QObject* owner)
    : QObject(owner), Socket(std::make_unique<TWSocket>()), LastActivity(Clock::nowMs())
{
    Socket->OnDataAvailable = [this](TWSocket* s, quint16 e) { onData(s, e); };
    Socket->OnSessionClosed = [this](TWSocket* s, quint16 e) { onSocketClosed(s, e); };
}

Tlpdconnection::~Tlpdconnection()
{
    if (!m_dropping) {
        if (LogLines)
            LogLines->appendConnecting(QStringLiteral("Destroy Connection Object"));
        closeIfConnected();
    }
    if (m_outFile >= 0)
        ::close(m_outFile);
    Socket.reset();
    Active = false;
    if (!m_dropping && LogLines)
        LogLines->appendConnecting(QStringLiteral("gcount= ") +
                                   QString::number(TWSocket::liveSocketCount()));
}

void Tlpdconnection::dropSilently()
{
    m_dropping = true;
    if (!Socket)
        return;
    Socket->OnSessionClosed = nullptr;
    Socket->OnDataAvailable = nullptr;
}

void Tlpdconnection::log(const QString& line)
{
    if (LogLines)
        LogLines->append(line);
}

bool Tlpdconnection::isUnknownLength(qint64 announced)
{
    return announced == 0 || announced >= UnknownLengthFrom;
}

QString Tlpdconnection::gotFileLine(const QString& path, qint64 bytes, const QString& queue)
{
    if (bytes / 1024 <= 9)
        return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
               QString::number(bytes) + QStringLiteral(" B for ") + queue + QLatin1Char('.');
    return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
           QString::number(bytes / 1024) + QStringLiteral(" kB for ") + queue + QLatin1Char('.');
}

void Tlpdconnection::closeIfConnected()
{
    if (Socket && Socket->State() == TSocketState::wsConnected)
        Socket->CloseGracefully(DrainTimeoutMs);
}

void Tlpdconnection::send(const QByteArray& bytes)
{
    if (!Socket || Socket->State() != TSocketState::wsConnected)
        return;
    try {
        Socket->SendText(bytes);
    } catch (const ESocketException&) {
        // The peer is gone; the session-closed handling has run or will run.
    }
}

void Tlpdconnection::sendAck(bool ok)
{
    send(QByteArray(1, ok ? '\0' : '\1'));
}

QStringList Tlpdconnection::filesInUse() const
{
    QStringList files;
    if (m_outFile >= 0 || State == 2 || State == 3) {
        if (!CurrentPath.isEmpty())
            files << CurrentPath << CurrentPath + QStringLiteral(".lck");
    }
    if (!ControlPath.isEmpty())
        files << ControlPath << ControlPath + QStringLiteral(".lck");
    if (!DataPath.isEmpty())
        files << DataPath;
    return files;
}

bool Tlpdconnection::isKnown(const QStringList& forms) const
{
    for (const QString& known : KnownQueues) {
        for (const QString& form : forms) {
            if (known.compare(form, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

QString Tlpdconnection::queueFolder() const
{
    return queueFolderFor(QueueFolders, Queue);
}

void Tlpdconnection::onData(TWSocket*, quint16 error)
{
    if (m_waitingForFiles)
        return;
    if (error != 0 && LogLines && LogLines->receivedData)
        LogLines->append(QStringLiteral("Data Available called with Error ") +
                         QString::number(error));
    if (State == 2 || State == 3)
        receiveFileChunk();
    else
        gatherLine();
}

int Tlpdconnection::lineBytesToTake(const char* bytes, int count, qsizetype lineLength,
                                    bool dropping)
{
    if (dropping)
        return count;
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') {
            if (++lineLength > MaxLine)
                return i + 1;
        } else if (lineLength > 0) {
            return i + 1;
        }
    }
    return count;
}

void Tlpdconnection::gatherLine()
{
    // With the Received Data category on, every byte has its own log line; so it has its
    // own read as well.
    if (LogLines->receivedData)
        return gatherByte();
    // A line costs two reads instead of two system calls per byte: a look at what waits,
    // then taking exactly the bytes up to the line's end. What follows stays in the socket.
    char bytes[MaxLine + 2];
    const int waiting = Socket->Peek(bytes, int(sizeof bytes));
    if (waiting <= 0)
        return gatherByte(); // end of stream or an error: reported as a one-byte read would
    const int take = lineBytesToTake(bytes, waiting, Line.size(), m_replying);
    const int got = Socket->Receive(bytes, take);
    if (got <= 0)
        return;
    for (int i = 0; i < got; ++i) {
        if (takeLineByte(bytes[i]))
            return;
    }
}

void Tlpdconnection::gatherByte()
{
    char byte = 0;
    const int got = Socket->Receive(&byte, 1);
    if (got == 0) {
        LogLines->appendReceivedData(QStringLiteral("Strange - got data ready, but no byte."));
        return;
    }
    if (got < 0) {
        if (LogLines->receivedData)
            LogLines->append(QStringLiteral("Got Error ") + QString::number(Socket->LastError()));
        return;
    }
    if (LogLines->receivedData)
        LogLines->append(QStringLiteral("Got Byte ") + QString::number(quint8(byte)));
    takeLineByte(byte);
}

bool Tlpdconnection::takeLineByte(char byte)
{
    if (m_replying)
        return false; // bytes behind a command are read and dropped while its answer goes out
    if (byte != '\r' && byte != '\n') {
        Line.append(byte);
        if (Line.size() > MaxLine) {
            sendAck(false);
            log(QStringLiteral("ERROR: Command too long."));
            Line.clear();
            closeIfConnected();
            return true;
        }
        return false;
    }
    if (Line.isEmpty())
        return false;
    LastActivity = Clock::nowMs();
    if (LogLines->receivedData)
        LogLines->append(QStringLiteral("Timer-Reset, command ") +
                         QString::number(quint8(Line[0])) + QLatin1Char('.'));
    if (State == 0)
        dispatchDaemonCommand();
    else
        dispatchSubCommand();
    return true;
}

void Tlpdconnection::dispatchDaemonCommand()
{
    const char command = Line[0];
    switch (command) {
    case 1:
        startCommand();
        break;
    case 2:
        receiveJobCommand();
        break;
    case 3:
    case 4:
        m_replying = true;
        QueueCommands::queueReport(*this,
                                   command == 3 ? QStringLiteral("short") : QStringLiteral("long"));
        break;
    case 5:
        m_replying = true;
        QueueCommands::removeJobs(*this);
        break;
    default:
        sendAck(false);
        log(QStringLiteral("ERROR: Unknown command: ") + QString::number(quint8(command)));
        log(QStringLiteral("See RFC1179 for allowed commands in lpd protocol."));
        closeIfConnected();
        Line.clear();
        break;
    }
}

void Tlpdconnection::startCommand()
{
    QByteArray rest = Line.mid(1);
    if (rest.startsWith('-'))
        rest.remove(0, 1);
    const QString q = QString::fromLatin1(rest);
    if (isKnown({q, QLatin1Char('-') + q})) {
        sendAck(true);
        log(QStringLiteral("Start ") + q + QStringLiteral(" successful (not implementerd)."));
    } else {
        sendAck(false);
        log(QStringLiteral("ERROR: Start ") + q + QStringLiteral(" - no such printer."));
    }
    Line.clear();
    closeIfConnected();
}

void Tlpdconnection::receiveJobCommand()
{
    const QString q = QString::fromLatin1(Line.mid(1));
    Line.clear();
    if (isKnown({q, QLatin1Char('-') + q})) {
        sendAck(true);
        log(QStringLiteral("Receive job for ") + q + QStringLiteral("..."));
        Queue = q;
        State = 1;
    } else {
        sendAck(false);
        log(QStringLiteral("ERROR: Receive Job for ") + q + QStringLiteral(" - no such printer."));
        closeIfConnected();
    }
}

void Tlpdconnection::dispatchSubCommand()
{
    const char sub = Line[0];
    if (sub == 1) {
        if (!ControlPath.isEmpty())
            removeFiles({ControlPath, ControlPath + QStringLiteral(".lck")});
        ControlPath.clear();
        if (!DataPath.isEmpty())
            removeFiles({DataPath});
        DataPath.clear();
        sendAck(true);
        log(QStringLiteral("Abort: ") + QString::fromLatin1(Line) + QLatin1Char('.'));
        Line.clear();
        return;
    }
    if (sub == 2 || sub == 3) {
        fileCommand(sub);
        Line.clear();
        return;
    }
    sendAck(false);
    Line.clear();
}

void Tlpdconnection::fileCommand(char sub)
{
    State = sub == 2 ? 3 : 2;
    Params = splitOperands(Line.mid(1));
    if (Params.size() != 2)
        return refuseFile(QStringLiteral("Invalid parameter count in file command"));
    const QString name = QString::fromLatin1(Params[1]);
    if (!isSafeSpoolName(name))
        return refuseFile(QStringLiteral("Invalid file name"));
    const qint64 count = operandNumber(Params[0]);
    if (count < 0)
        return refuseFile(QStringLiteral("Invalid byte count in file command"));
    Remaining = count;
    FileBytes = count;
    m_unknownLength = State == 2 && isUnknownLength(count);
    m_lastByteZero = false;

    // Every file has a lock file while it arrives, so that recovery after a crash never
    // takes a half-received file for a whole one.
    const QString dir = SpoolDir + QLatin1Char('/') + queueFolder();
    const QString path = dir + QLatin1Char('/') + name;
    m_lockPath = path + QStringLiteral(".lck");
    // Known as in use from now on, so that a rescan leaves the new files alone.
    CurrentPath = path;
    auto file = std::make_shared<OpenedFile>();
    afterFileWork([file, dir, path, lock = m_lockPath] { file->open(dir, path, lock); },
                  [this, file] {
                      switch (file->failure) {
                      case OpenedFile::Failure::Directory:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Cannot open directory"));
                      case OpenedFile::Failure::LockFile:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Cannot open lock file"));
                      case OpenedFile::Failure::File:
                          return refuseFile(QStringLiteral("Cannot open file"));
                      case OpenedFile::Failure::None:
                          break;
                      }
                      m_outFile = std::exchange(file->fd, -1);
                      Params.clear();
                      sendAck(true);
                  });
}

void Tlpdconnection::refuseFile(const QString& what)
{
    sendAck(false);
    log(QStringLiteral("ERROR: ") + what + QStringLiteral(" for ") + Queue + QLatin1Char('.'));
}

void Tlpdconnection::afterFileWork(std::function<void()> work, std::function<void()> done)
{
    if (!Worker) {
        work();
        done();
        return;
    }
    m_waitingForFiles = true;
    // Not even the end of the stream is taken meanwhile: a client that sent everything and
    // shut its side still gets every answer.
    if (Socket)
        Socket->PauseReceiving();
    QPointer<Tlpdconnection> self(this);
    Worker->run(std::move(work), [self, done = std::move(done)] {
        if (!self)
            return;
        self->m_waitingForFiles = false;
        done();
        if (!self)
            return;
        if (std::exchange(self->m_closedWhileWaiting, false))
            self->sessionEnded();
        else if (self->Socket)
            self->Socket->ResumeReceiving();
    });
}

void Tlpdconnection::removeFiles(const QStringList& paths)
{
    auto remove = [paths] {
        for (const QString& path : paths)
            QFile::remove(path);
    };
    if (Worker)
        Worker->post(std::move(remove));
    else
        remove();
}

void Tlpdconnection::receiveFileChunk()
{
    if (LogLines->receivedData)
        LogLines->append(QStringLiteral("Timer-Reset, got data at ") + QString::number(Remaining) +
                         QLatin1Char('.'));
    LastActivity = Clock::nowMs();
    const qint64 want = Remaining > 0 ? std::min<qint64>(ReadBlock, Remaining + 1) : 2047;
    const int got = Socket->Receive(g_readBuffer, int(want));
    if (got < 0) {
        LogLines->appendReceivedData(
            QStringLiteral("Strange - got data ready, but error reading."));
        return;
    }
    if (got == 0) {
        LogLines->appendReceivedData(QStringLiteral("Strange - got data ready, but no byte."));
        return;
    }
    if (m_outFile < 0) {
        // A refused file command left no file open; a client that sends content anyway
        // meets a failing write.
        writeFailure();
        return;
    }
    if (Remaining > 0)
        Remaining -= got;
    else
        FileBytes += got;
    const bool lastIsZero = g_readBuffer[got - 1] == 0;
    const bool complete = Remaining < 0 || (Remaining == 0 && lastIsZero);
    if (!complete) {
        if (!writeAll(m_outFile, g_readBuffer, got))
            return writeFailure();
        m_lastByteZero = lastIsZero;
        return;
    }
    if (!writeAll(m_outFile, g_readBuffer, got - 1))
        return writeFailure();
    if (!lastIsZero) {
        log(QStringLiteral("WARNING: No closing #0 in file for ") + Queue + QLatin1Char('.'));
        if (!writeAll(m_outFile, g_readBuffer + got - 1, 1))
            return writeFailure();
    }
    finishFile();
}

void Tlpdconnection::finishFile()
{
    const int fd = m_outFile;
    m_outFile = -1;
    if (::close(fd) != 0) {
        sendAck(false);
        log(QStringLiteral("ERROR: Cannot write file for ") + Queue + QLatin1Char('.'));
        removeFiles({CurrentPath});
        if (!m_lockPath.isEmpty())
            removeFiles({m_lockPath});
        m_lockPath.clear();
        closeIfConnected();
        return;
    }
    auto accepted = [this] {
        sendAck(true);
        log(gotFileLine(CurrentPath, FileBytes, Queue));
        if (State == 3)
            ControlPath = CurrentPath;
        else
            DataPath = CurrentPath;
        m_lockPath.clear();
        m_unknownLength = false;
        State = 1;
    };
    // The control file keeps its lock file until the job is handed over. A data file's lock
    // goes before the answer: a job whose files were all acknowledged is whole for recovery.
    if (State == 3)
        accepted();
    else
        afterFileWork([lock = m_lockPath] { QFile::remove(lock); }, std::move(accepted));
}

void Tlpdconnection::writeFailure()
{
    sendAck(false);
    log(QStringLiteral("ERROR: Cannot write file for ") + Queue + QLatin1Char('.'));
    if (m_outFile >= 0) {
        const int fd = m_outFile;
        m_outFile = -1;
        if (::close(fd) == 0)
            removeFiles({CurrentPath});
    }
    if (!m_lockPath.isEmpty() && State == 2)
        removeFiles({m_lockPath});
    closeIfConnected();
}

void Tlpdconnection::finishDataFileAtClose()
{
    // The client ended the data file by closing. For a file of unknown length a closing
    // zero that came as the last byte is dropped, as the end rule drops it.
    qint64 size = ::lseek(m_outFile, 0, SEEK_END);
    if (m_unknownLength && m_lastByteZero && size > 0 && ::ftruncate(m_outFile, size - 1) == 0)
        --size;
    const int fd = m_outFile;
    m_outFile = -1;
    if (::close(fd) != 0 || size < 0)
        return;
    // Removed here, not through the worker: the job is handed over in the same close, and
    // listed with its data file's lock still there, a crash would cost the job.
    QFile::remove(m_lockPath);
    m_lockPath.clear();
    log(gotFileLine(CurrentPath, size, Queue));
    DataPath = CurrentPath;
    m_unknownLength = false;
    State = 1;
}

void Tlpdconnection::handOverJob()
{
    const QString controlName = ControlPath.section(QLatin1Char('/'), -1);
    Tlpdjob job = buildJob(SpoolDir, queueFolder(), Queue, controlName);
    removeFiles({ControlPath + QStringLiteral(".lck")});
    if (PendingJobs)
        PendingJobs->addIfNew(std::move(job));
    Queue.clear();
    ControlPath.clear();
    DataPath.clear();
}

void Tlpdconnection::onSocketClosed(TWSocket*, quint16)
{
    // A file being made ready or finished is taken into account first.
    if (m_waitingForFiles) {
        m_closedWhileWaiting = true;
        return;
    }
    sessionEnded();
}

void Tlpdconnection::sessionEnded()
{
    // A data file of unknown length ends with the connection. So does one whose announced
    // bytes all arrived: CUPS' lpd backend in stream mode sends an honest count, then no
    // closing zero, and closes without waiting for the answer.
    if (m_outFile >= 0 && State == 2 && (m_unknownLength || Remaining == 0))
        finishDataFileAtClose();
    if (!ControlPath.isEmpty() && DataPath.isEmpty()) {
        removeFiles({ControlPath, ControlPath + QStringLiteral(".lck")});
    } else if (!DataPath.isEmpty() && ControlPath.isEmpty()) {
        removeFiles({DataPath});
    } else if (!ControlPath.isEmpty() && !DataPath.isEmpty()) {
        handOverJob();
    }
    if (m_outFile >= 0) {
        // Cut off in the middle: the partial file and its lock file stay for recovery,
        // which never prints a file that still has its lock.
        ::close(m_outFile);
        m_outFile = -1;
    }
    Active = false;
    if (OnClosed)
        OnClosed(Sender);
    // The closed session waits in the list for the next tick, up to five seconds while a
    // pass prints; its socket object is of no more use, and under load thousands waited.
    // Not destroyed here: the socket is still calling this handler.
    QMetaObject::invokeMethod(
        this, [this] { Socket.reset(); }, Qt::QueuedConnection);
}
