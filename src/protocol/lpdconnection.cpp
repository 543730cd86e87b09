#include "protocol/lpdconnection.h"

#include "config/logsink.h"
#include "net/eventsocket.h"
#include "net/socketerror.h"
#include "net/uniquefd.h"
#include "platform/clock.h"
#include "protocol/operands.h"
#include "protocol/queuecommands.h"
#include "spool/lockfile.h"
#include "spool/pendingjoblist.h"
#include "spool/queuefolder.h"
#include "spool/spool.h"
#include "spool/spooljob.h"
#include "spool/spoolworker.h"

#include <QPointer>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

// File content is read in blocks up to this size, never past the announced count and the
// byte after it. All connections live on the main thread and share it.
constexpr int ReadBlock = 256 * 1024;
char g_readBuffer[ReadBlock];

// Windows' Standard TCP/IP Port without byte counting announces an impossible count, and
// CUPS' lpd backend in stream mode announces 999999999999 (2147483647 without large-file
// support); RFC 1179 lets a client announce 0. Such files end when the client closes.
constexpr qint64 UnknownLengthFrom = 2147483647;

// A command line of this many bytes is accepted; one more byte without a terminator ends
// the connection.
constexpr int MaxLine = 1024;

// No disk holds a file this large, and counts up to here leave room for every sum made
// with them; a larger count is refused like a word that is not a number.
constexpr qint64 MaxByteCount = qint64(1) << 62;

// The idle clock of a session moves with what the client sends, at most this many bytes per
// second of credit and never ahead of now: a client that trickles a byte now and then to
// hold its session slot falls behind and loses it after the timeout, while one that sends
// at any useful speed stays at now.
constexpr qint64 MinimumBytesPerSecond = 1024;

// The characters a printer definition puts before its queue name to disable printing or
// receiving; they are never part of a name a client addresses.
bool startsWithQueueFlag(const QString& name)
{
    return name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('|')) ||
           name.startsWith(QLatin1Char('+'));
}

// The name of a file in its queue folder, from the full path the claims go by.
QString nameOf(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

// A file of a file command, made ready on the worker: the queue folder (made when missing,
// refused when it is not safely the server's own; opened once for the connection, and every
// later file operation of the connection goes through that descriptor), the lock file, then
// the file. The name is claimed, so whatever stands under it is a leftover of a reception
// cut off earlier: it is removed, never opened, and the file is created new. A descriptor
// nobody took is closed.
struct OpenedFile
{
    enum class Failure
    {
        None,
        Directory,
        UnsafeDirectory,
        LockFile,
        File
    };
    Failure failure = Failure::None;
    QString problem;
    // The connection's folder when it had one, else the one opened here.
    std::shared_ptr<const QueueFolder> folder;
    UniqueFd fd;

    void open(const QString& dir, const QString& name, bool control)
    {
        if (!folder) {
            auto opened = std::make_shared<QueueFolder>(QueueFolder::open(dir, true));
            if (!opened->isOpen()) {
                problem = opened->problem();
                failure = problem.isEmpty() ? Failure::Directory : Failure::UnsafeDirectory;
                return;
            }
            folder = std::move(opened);
        }
        const QByteArray file = spoolName(name);
        if (!createLockFile(folder->fd(), file + ".lck")) {
            failure = Failure::LockFile;
            return;
        }
        fd = folder->createFile(name, control ? ControlFileMode : DataFileMode);
        if (!fd) {
            // Refused, so nothing is arriving: its lock goes now, not at the next start.
            folder->remove(name + QStringLiteral(".lck"));
            failure = Failure::File;
        }
    }
};

} // namespace

LpdConnection::LpdConnection(Environment environment, QObject* owner)
    : QObject(owner), m_socket(std::make_unique<EventSocket>()), m_env(std::move(environment)),
      m_lastActivity(Clock::nowMs())
{
    m_socket->setDataAvailableHandler([this](EventSocket* s, quint16 e) { onData(s, e); });
    m_socket->setSessionClosedHandler([this](EventSocket* s, quint16 e) { onSocketClosed(s, e); });
}

bool LpdConnection::adopt(int handle, QString* report)
{
    try {
        m_socket->adoptHandle(handle);
        return true;
    } catch (const SocketError& e) {
        if (report)
            *report = e.message();
        m_session = Session::Ended;
        return false;
    }
}

QString LpdConnection::peerAddress() const
{
    return m_socket->peerAddressText();
}

void LpdConnection::refuse(const QByteArray& answer)
{
    try {
        m_socket->sendText(answer);
    } catch (const SocketError&) {
    }
    if (m_socket->state() == EventSocket::State::Connected) {
        m_session = Session::ClosingByServer;
        m_socket->closeGracefully(m_env.drainTimeoutMs, SocketDrainer::Pool::Refused);
    }
}

LpdConnection::~LpdConnection()
{
    const bool dropped = m_session == Session::Dropped;
    if (!dropped) {
        if (m_env.log)
            m_env.log->appendConnecting(QStringLiteral("Destroy Connection Object"));
        closeIfConnected();
    }
    m_socket.reset();
    if (!dropped && m_env.log)
        m_env.log->appendConnecting(QStringLiteral("gcount= ") +
                                    QString::number(EventSocket::liveSocketCount()));
}

void LpdConnection::dropSilently()
{
    m_session = Session::Dropped;
    if (!m_socket)
        return;
    m_socket->setSessionClosedHandler(nullptr);
    m_socket->setDataAvailableHandler(nullptr);
}

void LpdConnection::log(const QString& line)
{
    if (m_env.log)
        m_env.log->append(line);
}

bool LpdConnection::isUnknownLength(qint64 announced)
{
    return announced == 0 || announced >= UnknownLengthFrom;
}

QString LpdConnection::gotFileLine(const QString& path, qint64 bytes, const QString& queue)
{
    if (bytes / 1024 <= 9)
        return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
               QString::number(bytes) + QStringLiteral(" B for ") + queue + QLatin1Char('.');
    return QStringLiteral("Got file ") + path + QStringLiteral(" with ") +
           QString::number(bytes / 1024) + QStringLiteral(" kB for ") + queue + QLatin1Char('.');
}

void LpdConnection::closeIfConnected()
{
    if (m_socket && m_socket->state() == EventSocket::State::Connected) {
        m_session = Session::ClosingByServer;
        m_socket->closeGracefully(m_env.drainTimeoutMs);
    }
}

void LpdConnection::creditProgress(qint64 bytes)
{
    m_lastActivity =
        std::min(Clock::nowMs(), m_lastActivity + bytes * 1000 / MinimumBytesPerSecond);
}

void LpdConnection::send(const QByteArray& bytes)
{
    if (!m_socket || m_socket->state() != EventSocket::State::Connected)
        return;
    try {
        m_socket->sendText(bytes);
    } catch (const SocketError&) {
        // The peer is gone; the session-closed handling has run or will run.
    }
}

void LpdConnection::sendAck(bool ok)
{
    send(QByteArray(1, ok ? '\0' : '\1'));
}

QStringList LpdConnection::filesInUse() const
{
    return m_claims;
}

bool LpdConnection::claim(const QString& path)
{
    if (m_claims.contains(path))
        return true;
    if (m_env.pendingJobs && !m_env.pendingJobs->claimFile(path))
        return false;
    m_claims << path;
    return true;
}

void LpdConnection::release(const QString& path)
{
    if (m_claims.removeOne(path) && m_env.pendingJobs)
        m_env.pendingJobs->releaseFile(path);
}

void LpdConnection::releaseAll()
{
    for (const QString& path : std::as_const(m_claims)) {
        if (m_env.pendingJobs)
            m_env.pendingJobs->releaseFile(path);
    }
    m_claims.clear();
}

bool LpdConnection::isKnown(const QStringList& forms) const
{
    // The first form is the name as the client sent it: "|spq" must not match the
    // definition of a queue whose receiving is disabled.
    if (forms.isEmpty() || startsWithQueueFlag(forms.first()))
        return false;
    for (const QString& known : m_env.knownQueues) {
        for (const QString& form : forms) {
            if (known.compare(form, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

QString LpdConnection::queueFolder() const
{
    return queueFolderFor(m_env.queueFolders, m_queue);
}

bool LpdConnection::receivingFile() const
{
    return m_receiving != Receiving::DaemonCommand && m_receiving != Receiving::SubCommand &&
           m_receiving != Receiving::Nothing;
}

void LpdConnection::onData(EventSocket*, quint16 error)
{
    if (m_fileWork != FileWork::None || m_receiving == Receiving::Nothing)
        return;
    if (error != 0 && m_env.log && m_env.log->receivedDataEnabled())
        m_env.log->append(QStringLiteral("Data Available called with Error ") +
                          QString::number(error));
    if (receivingFile())
        receiveFileChunk();
    else
        gatherLine();
}

int LpdConnection::lineBytesToTake(const char* bytes, int count, qsizetype lineLength,
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

void LpdConnection::gatherLine()
{
    // With the Received Data category on, every byte has its own log line; so it has its
    // own read as well.
    if (m_env.log->receivedDataEnabled())
        return gatherByte();
    // A line costs two reads instead of two system calls per byte: a look at what waits,
    // then taking exactly the bytes up to the line's end. What follows stays in the socket.
    char bytes[MaxLine + 2];
    const int waiting = m_socket->peek(bytes, int(sizeof bytes));
    if (waiting <= 0)
        return gatherByte(); // end of stream or an error: reported as a one-byte read would
    const int take =
        lineBytesToTake(bytes, waiting, m_line.size(), m_receiving == Receiving::Nothing);
    const int got = m_socket->receive(bytes, take);
    if (got <= 0)
        return;
    for (int i = 0; i < got; ++i) {
        if (takeLineByte(bytes[i]))
            return;
    }
}

void LpdConnection::gatherByte()
{
    char byte = 0;
    const int got = m_socket->receive(&byte, 1);
    if (got == 0) {
        m_env.log->appendReceivedData(QStringLiteral("Strange - got data ready, but no byte."));
        return;
    }
    if (got < 0) {
        if (m_env.log->receivedDataEnabled())
            m_env.log->append(QStringLiteral("Got Error ") +
                              QString::number(m_socket->lastError()));
        return;
    }
    if (m_env.log->receivedDataEnabled())
        m_env.log->append(QStringLiteral("Got Byte ") + QString::number(quint8(byte)));
    takeLineByte(byte);
}

bool LpdConnection::takeLineByte(char byte)
{
    if (m_receiving == Receiving::Nothing)
        return false; // bytes behind a command are read and dropped while its answer goes out
    if (byte != '\r' && byte != '\n') {
        m_line.append(byte);
        if (m_line.size() > MaxLine) {
            sendAck(false);
            log(QStringLiteral("ERROR: Command too long."));
            m_line.clear();
            closeIfConnected();
            return true;
        }
        return false;
    }
    if (m_line.isEmpty())
        return false;
    if (m_env.log->receivedDataEnabled())
        m_env.log->append(QStringLiteral("Timer-Reset, command ") +
                          QString::number(quint8(m_line[0])) + QLatin1Char('.'));
    if (m_receiving == Receiving::DaemonCommand)
        dispatchDaemonCommand();
    else
        dispatchSubCommand();
    return true;
}

void LpdConnection::dispatchDaemonCommand()
{
    const char command = m_line[0];
    creditProgress(m_line.size() + 1);
    switch (command) {
    case 1:
        startCommand();
        break;
    case 2:
        receiveJobCommand();
        break;
    case 3:
    case 4:
        // The report goes out over several steps; a client that shut its side after the
        // request (socat, scripts) still gets all of it, so its end of stream is not taken
        // until the answer is complete.
        m_receiving = Receiving::Nothing;
        m_socket->pauseReceiving();
        QueueCommands::queueReport(*this,
                                   command == 3 ? QStringLiteral("short") : QStringLiteral("long"));
        break;
    case 5:
        m_receiving = Receiving::Nothing;
        QueueCommands::removeJobs(*this);
        break;
    default:
        sendAck(false);
        log(QStringLiteral("ERROR: Unknown command: ") + QString::number(quint8(command)));
        log(QStringLiteral("See RFC1179 for allowed commands in lpd protocol."));
        closeIfConnected();
        m_line.clear();
        break;
    }
}

void LpdConnection::startCommand()
{
    QByteArray rest = m_line.mid(1);
    if (rest.startsWith('-'))
        rest.remove(0, 1);
    const QString q = operandText(rest);
    if (isKnown({q, QLatin1Char('-') + q})) {
        sendAck(true);
        log(QStringLiteral("Start ") + q + QStringLiteral(" successful (not implementerd)."));
    } else {
        sendAck(false);
        log(QStringLiteral("ERROR: Start ") + q + QStringLiteral(" - no such printer."));
    }
    m_line.clear();
    closeIfConnected();
}

void LpdConnection::receiveJobCommand()
{
    const QString q = operandText(m_line.mid(1));
    m_line.clear();
    if (isKnown({q, QLatin1Char('-') + q})) {
        sendAck(true);
        log(QStringLiteral("Receive job for ") + q + QStringLiteral("..."));
        m_queue = q;
        m_receiving = Receiving::SubCommand;
    } else {
        sendAck(false);
        log(QStringLiteral("ERROR: Receive Job for ") + q + QStringLiteral(" - no such printer."));
        closeIfConnected();
    }
}

void LpdConnection::dispatchSubCommand()
{
    const char sub = m_line[0];
    if (sub == 1) {
        if (!m_controlPath.isEmpty())
            removeFiles({m_controlPath});
        release(m_controlPath);
        m_controlPath.clear();
        if (!m_dataPaths.isEmpty())
            removeFiles(m_dataPaths);
        for (const QString& path : std::as_const(m_dataPaths) + m_namedPaths)
            release(path);
        m_dataPaths.clear();
        m_namedPaths.clear();
        sendAck(true);
        log(QStringLiteral("Abort: ") + QString::fromLatin1(m_line) + QLatin1Char('.'));
        m_line.clear();
        return;
    }
    if (sub == 2 || sub == 3) {
        // Only a file command is progress: blank lines, aborts and unknown sub-commands
        // could otherwise hold a session slot for ever without sending a job.
        creditProgress(m_line.size() + 1);
        fileCommand(sub);
        m_line.clear();
        return;
    }
    sendAck(false);
    m_line.clear();
}

void LpdConnection::fileCommand(char sub)
{
    m_receiving = sub == 2 ? Receiving::ControlFile : Receiving::DataFile;
    m_params = splitOperands(m_line.mid(1));
    if (m_params.size() != 2)
        return refuseFile(QStringLiteral("Invalid parameter count in file command"));
    const QString name = QString::fromLatin1(m_params[1]);
    if (!isSafeSpoolName(name))
        return refuseFile(QStringLiteral("Invalid file name"));
    const qint64 count = operandNumber(m_params[0]);
    if (count < 0 || count > MaxByteCount)
        return refuseFile(QStringLiteral("Invalid byte count in file command"));
    m_remaining = count;
    m_fileBytes = count;
    if (m_receiving == Receiving::DataFile && isUnknownLength(count))
        m_receiving = Receiving::StreamedDataFile;

    // Every file has a lock file while it arrives, so that recovery after a crash never
    // takes a half-received file for a whole one.
    // Fixed by the first file: the later ones join it there, even when the spool changes
    // meanwhile.
    if (m_folderPath.isEmpty())
        m_folderPath = m_env.spool->receivingFolderPath(queueFolder());
    const QString dir = m_folderPath;
    const QString path = dir + QLatin1Char('/') + name;
    // A name of a waiting job, or one another connection is receiving, is never opened:
    // two clients sending the same names would write into one file, and a client reusing
    // a waiting job's names would overwrite it. Claimed from now on, so that a rescan
    // leaves the new files alone too.
    // A data file may not take a control file's name, here or at recovery (spooljob.h).
    if (m_receiving != Receiving::ControlFile && !isDataFileName(name))
        return refuseFile(QStringLiteral("Invalid data file name ") + name);
    // Nor may one file of the connection come again as the other kind.
    if (m_receiving == Receiving::ControlFile ? m_dataPaths.contains(path) : path == m_controlPath)
        return refuseFile(QStringLiteral("File name ") + name + QStringLiteral(" in use"));
    if (!claim(path))
        return refuseFile(QStringLiteral("File name ") + name + QStringLiteral(" in use"));
    m_lockPath = path + QStringLiteral(".lck");
    m_currentPath = path;
    auto file = std::make_shared<OpenedFile>();
    file->folder = m_folder;
    const bool control = m_receiving == Receiving::ControlFile;
    afterFileWork([file, dir, name, control] { file->open(dir, name, control); },
                  [this, file, path, dir] {
                      if (!m_folder)
                          m_folder = file->folder;
                      if (file->failure != OpenedFile::Failure::None && path != m_controlPath &&
                          !m_dataPaths.contains(path) && !m_namedPaths.contains(path))
                          release(path);
                      switch (file->failure) {
                      case OpenedFile::Failure::Directory:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Cannot open directory"));
                      case OpenedFile::Failure::UnsafeDirectory:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Queue folder ") + dir +
                                            QLatin1Char(' ') + file->problem);
                      case OpenedFile::Failure::LockFile:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Cannot open lock file"));
                      case OpenedFile::Failure::File:
                          m_lockPath.clear();
                          return refuseFile(QStringLiteral("Cannot open file"));
                      case OpenedFile::Failure::None:
                          break;
                      }
                      m_outFile = std::move(file->fd);
                      m_params.clear();
                      if (m_remaining == 0 && m_receiving == Receiving::ControlFile)
                          m_receiving = Receiving::ControlFileTerminator;
                      else if (m_remaining == 0 && m_receiving == Receiving::DataFile)
                          m_receiving = Receiving::DataFileTerminator;
                      sendAck(true);
                  });
}

void LpdConnection::refuseFile(const QString& what)
{
    sendAck(false);
    log(QStringLiteral("ERROR: ") + what + QStringLiteral(" for ") + m_queue + QLatin1Char('.'));
}

const QueueFolder& LpdConnection::connectionFolder() const
{
    static const QueueFolder none;
    return m_folder ? *m_folder : none;
}

void LpdConnection::afterFileWork(std::function<void()> work, std::function<void()> done)
{
    if (!m_env.worker) {
        work();
        done();
        return;
    }
    m_fileWork = FileWork::Running;
    // Not even the end of the stream is taken meanwhile: a client that sent everything and
    // shut its side still gets every answer.
    if (m_socket)
        m_socket->pauseReceiving();
    QPointer<LpdConnection> self(this);
    m_env.worker->run(std::move(work), [self, done = std::move(done)] {
        if (self)
            self->afterFileWorkDone(done);
    });
}

void LpdConnection::afterFileWorkDone(const std::function<void()>& done)
{
    QPointer<LpdConnection> self(this);
    const bool closed = m_fileWork == FileWork::RunningSocketClosed;
    m_fileWork = FileWork::None;
    done();
    if (!self)
        return;
    if (closed)
        sessionEnded();
    else if (m_socket)
        m_socket->resumeReceiving();
}

void LpdConnection::removeFiles(const QStringList& paths)
{
    // Nothing was made without the folder open.
    if (!m_folder)
        return;
    // A file goes with its lock, whatever stage it was refused at: a lock left behind
    // would stay until the next start.
    auto remove = [folder = m_folder, paths] {
        for (const QString& path : paths) {
            const QString name = nameOf(path);
            folder->remove(name);
            folder->remove(name + QStringLiteral(".lck"));
        }
    };
    if (m_env.worker)
        m_env.worker->post(std::move(remove));
    else
        remove();
}

void LpdConnection::receiveFileChunk()
{
    if (m_env.log->receivedDataEnabled())
        m_env.log->append(QStringLiteral("Timer-Reset, got data at ") +
                          QString::number(m_remaining) + QLatin1Char('.'));
    if (m_receiving == Receiving::ControlFileTerminator ||
        m_receiving == Receiving::DataFileTerminator)
        return receiveTerminator();
    const bool streamed = m_receiving == Receiving::StreamedDataFile;
    // A counted file's last block takes the byte after the count with it, when it has come:
    // one read instead of two for the usual file and its terminator.
    const qint64 want = streamed ? ReadBlock : std::min<qint64>(ReadBlock, m_remaining + 1);
    const int got = m_socket->receive(g_readBuffer, int(want));
    if (got < 0) {
        m_env.log->appendReceivedData(
            QStringLiteral("Strange - got data ready, but error reading."));
        return;
    }
    if (got == 0) {
        m_env.log->appendReceivedData(QStringLiteral("Strange - got data ready, but no byte."));
        return;
    }
    if (!m_outFile) {
        // A refused file command left no file open; a client that sends content anyway
        // meets a failing write.
        writeFailure();
        return;
    }
    creditProgress(got);
    if (streamed) {
        // Every byte up to the end of the stream is the file's, zeros included.
        if (!writeAll(m_outFile.get(), g_readBuffer, got))
            writeFailure();
        return;
    }
    const qint64 data = std::min<qint64>(got, m_remaining);
    if (!writeAll(m_outFile.get(), g_readBuffer, data))
        return writeFailure();
    m_remaining -= data;
    if (m_remaining > 0)
        return;
    const bool control = m_receiving == Receiving::ControlFile;
    if (got == data) {
        // The terminator has not come yet; it is looked at by itself when it does.
        m_receiving = control ? Receiving::ControlFileTerminator : Receiving::DataFileTerminator;
        return;
    }
    takeTerminator(g_readBuffer[got - 1]);
    finishFile(control);
}

void LpdConnection::receiveTerminator()
{
    const bool control = m_receiving == Receiving::ControlFileTerminator;
    char byte = 0;
    if (m_socket->receive(&byte, 1) <= 0)
        return; // the end of the stream: the session-closed handling decides
    if (!m_outFile)
        return writeFailure();
    takeTerminator(byte);
    finishFile(control);
}

void LpdConnection::takeTerminator(char byte)
{
    if (byte == 0)
        return;
    log(QStringLiteral("WARNING: No closing #0 in file for ") + m_queue + QLatin1Char('.'));
    // Not the file's and not a terminator: the first byte of what the client says next.
    if (byte != '\r' && byte != '\n')
        m_line = QByteArray(1, byte);
}

void LpdConnection::finishFile(bool control)
{
    // Handed to the worker below, which closes it (shared: the work is a copyable function).
    const auto file = std::make_shared<UniqueFd>(std::move(m_outFile));
    m_receiving = Receiving::SubCommand;
    auto refused = [this] {
        sendAck(false);
        log(QStringLiteral("ERROR: Cannot write file for ") + m_queue + QLatin1Char('.'));
        discardCurrentFile();
        closeIfConnected();
    };
    auto accepted = [this, control] {
        sendAck(true);
        log(gotFileLine(m_currentPath, m_fileBytes, m_queue));
        if (control)
            keepControlFile(m_currentPath);
        else if (!m_dataPaths.contains(m_currentPath))
            m_dataPaths << m_currentPath;
        m_lockPath.clear();
    };
    const QString lock = m_lockPath;
    if (!m_env.syncFiles || !m_env.worker) {
        if (file->reset() != 0)
            return refused();
        if (control && !admitControlFile())
            return;
        // Each file's lock goes before its answer, on the worker in order with the rest: a
        // lock then always means "incomplete", and a job whose files were all acknowledged
        // is whole for recovery.
        afterFileWork([folder = m_folder, lock] { folder->remove(nameOf(lock)); },
                      std::move(accepted));
        return;
    }
    // An acknowledged job is on the disk: a client that saw its last answer may forget it,
    // and a power cut must not lose it. Only the file that completes a job waits for that.
    // A job's first file is answered at once and written out by the worker meanwhile; the
    // worker keeps their order, so when the file that completes the job has been synced,
    // its lock removed and the folder synced (once for every file finished in the same
    // pass), the whole job is on the disk, and only then is it answered.
    if (control && !admitControlFile())
        return;
    const bool completesJob = control ? !m_dataPaths.isEmpty() : !m_controlPath.isEmpty();
    const auto failed = m_syncFailed;
    // Once the file is on the disk its lock goes; one that did not get there keeps its lock.
    m_env.worker->writeOut(file, [folder = m_folder, lock, failed](bool written) {
        if (written)
            folder->remove(nameOf(lock));
        else
            *failed = true;
    });
    if (!completesJob) {
        accepted();
        return;
    }
    auto written = std::make_shared<bool>(false);
    m_fileWork = FileWork::Running;
    if (m_socket)
        m_socket->pauseReceiving();
    QPointer<LpdConnection> self(this);
    m_env.worker->runSynced(
        [failed, written] { *written = !*failed; }, m_folder,
        [self, written, refused = std::move(refused),
         accepted = std::move(accepted)](bool folderSynced) {
            if (!self)
                return;
            if (*written && folderSynced)
                self->afterFileWorkDone(accepted);
            else
                self->afterFileWorkDone(refused);
        });
}

bool LpdConnection::admitControlFile()
{
    // Some clients send several jobs on one connection: the one before is whole once the
    // next one's control file has come, and takes its files first.
    if (!m_controlPath.isEmpty() && m_controlPath != m_currentPath)
        handOverJob(true);
    // Every data file the control file names is held for it from now on, so no other
    // connection can bring one of them, and recovery after a crash finds beside it only
    // files that came with it. One that another job holds (an earlier job of this
    // connection, a waiting job, another connection) cannot be its file: the job could
    // never print as sent, so it is refused before it is acknowledged.
    const QString name = nameOf(m_currentPath);
    const QString prefix = m_currentPath.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/');
    const QStringList named = readSpoolJob(connectionFolder(), m_queue, name).dataFiles();
    QStringList held;
    for (const QString& file : named) {
        const QString path = prefix + file;
        if (m_claims.contains(path)) {
            held << path;
            continue;
        }
        if (!claim(path)) {
            for (const QString& own : std::as_const(held)) {
                if (!m_dataPaths.contains(own) && own != m_currentPath)
                    release(own);
            }
            sendAck(false);
            log(QStringLiteral("ERROR: Control file ") + name + QStringLiteral(" names ") + file +
                QStringLiteral(", a file of another job; refused for ") + m_queue +
                QLatin1Char('.'));
            // Its lock goes after it: until the control file is gone it says "incomplete".
            removeFiles({m_currentPath});
            release(m_currentPath);
            m_lockPath.clear();
            return false;
        }
        held << path;
    }
    m_namedPaths = held;
    return true;
}

void LpdConnection::keepControlFile(const QString& path)
{
    m_controlPath = path;
}

void LpdConnection::discardCurrentFile()
{
    removeFiles({m_currentPath});
    m_lockPath.clear();
    forgetCurrentFile();
}

void LpdConnection::forgetCurrentFile()
{
    if (m_currentPath != m_controlPath && !m_dataPaths.contains(m_currentPath))
        release(m_currentPath);
}

void LpdConnection::writeFailure()
{
    sendAck(false);
    log(QStringLiteral("ERROR: Cannot write file for ") + m_queue + QLatin1Char('.'));
    if (m_outFile) {
        m_outFile.reset();
        discardCurrentFile();
    }
    closeIfConnected();
}

bool LpdConnection::finishDataFileAtClose()
{
    // The client ended the data file by closing: every byte it sent is the file's.
    const qint64 size = ::lseek(m_outFile.get(), 0, SEEK_END);
    auto taken = [this, size] {
        m_lockPath.clear();
        log(gotFileLine(m_currentPath, size, m_queue));
        if (!m_dataPaths.contains(m_currentPath))
            m_dataPaths << m_currentPath;
        m_receiving = Receiving::SubCommand;
    };
    if (!m_env.syncFiles || !m_env.worker || !m_folder) {
        if (m_outFile.reset() != 0 || size < 0)
            return false;
        // Removed here, not through the worker: the job is handed over in the same close,
        // and listed with its data file's lock still there, a crash would cost the job.
        if (m_folder)
            m_folder->remove(nameOf(m_lockPath));
        taken();
        return false;
    }
    // No answer waits on this file, but the job is printed from it: it reaches the disk, and
    // only then loses its lock and is handed over, or a power cut could print it cut short.
    const auto file = std::make_shared<UniqueFd>(std::move(m_outFile));
    const auto written = std::make_shared<bool>(false);
    m_fileWork = FileWork::RunningSocketClosed;
    QPointer<LpdConnection> self(this);
    m_env.worker->writeOut(file, [folder = m_folder, lock = m_lockPath, written, size](bool ok) {
        *written = ok && size >= 0;
        if (*written)
            folder->remove(nameOf(lock));
    });
    m_env.worker->runSynced(
        [] {}, m_folder,
        [self, written, taken = std::move(taken)](bool folderSynced) {
            if (!self)
                return;
            self->afterFileWorkDone([self, written, folderSynced, taken] {
                if (*written && folderSynced)
                    return taken();
                self->log(QStringLiteral("ERROR: Cannot write file for ") + self->m_queue +
                          QLatin1Char('.'));
                self->discardCurrentFile();
            });
        });
    return true;
}

void LpdConnection::handOverJob(bool more)
{
    const QString controlName = nameOf(m_controlPath);
    const QString prefix = m_controlPath.section(QLatin1Char('/'), 0, -2) + QLatin1Char('/');
    // A control file prints only data files that came with it: naming another job's file
    // would print that job's document as this one.
    QStringList missing;
    SpoolJob job = readSpoolJob(
        connectionFolder(), m_queue, controlName,
        [&](const QString& name) { return m_dataPaths.contains(prefix + name); }, &missing);
    if (job.printLines.isEmpty()) {
        log(QStringLiteral("ERROR: Control file ") + controlName +
            QStringLiteral(" names no data file received with it; job for ") + m_queue +
            QStringLiteral(" dropped."));
        // The data files received may be the next job's, or go at the end of the session.
        removeFiles({m_controlPath});
        release(m_controlPath);
    } else {
        for (const QString& name : std::as_const(missing))
            log(QStringLiteral("WARNING: Control file ") + controlName + QStringLiteral(" names ") +
                name + QStringLiteral(", which did not come with it; that file is not printed."));
        // The claims on the job's names pass to its entry.
        QStringList files{m_controlPath};
        for (const QString& name : job.dataFiles())
            files << prefix + name;
        for (const QString& path : std::as_const(files)) {
            m_claims.removeOne(path);
            m_dataPaths.removeOne(path);
        }
        if (m_env.pendingJobs && !m_env.pendingJobs->addIfNew(std::move(job), files)) {
            for (const QString& path : std::as_const(files))
                m_env.pendingJobs->releaseFile(path);
        }
    }
    m_controlPath.clear();
    m_namedPaths.clear();
    if (more)
        return;
    // What no control file of the connection named can never print.
    if (!m_dataPaths.isEmpty()) {
        for (const QString& path : std::as_const(m_dataPaths))
            log(QStringLiteral("WARNING: Data file ") + path.section(QLatin1Char('/'), -1) +
                QStringLiteral(" for ") + m_queue +
                QStringLiteral(" named by no control file; removed."));
        removeFiles(m_dataPaths);
    }
    releaseAll();
    m_queue.clear();
    m_dataPaths.clear();
}

void LpdConnection::onSocketClosed(EventSocket*, quint16 error)
{
    // Only the client's normal end of stream ends a file of unknown length; a reset or the
    // server's own close (the idle timeout) cuts it off.
    m_session = error == 0 && m_session != Session::ClosingByServer ? Session::EndedByClient
                                                                    : Session::CutOff;
    // A file being made ready or finished is taken into account first.
    if (m_fileWork == FileWork::Running) {
        m_fileWork = FileWork::RunningSocketClosed;
        return;
    }
    sessionEnded();
}

void LpdConnection::sessionEnded()
{
    // A data file of unknown length ends with the connection. So does one whose announced
    // bytes all arrived: a client may close instead of sending the terminator.
    if (m_outFile &&
        ((m_receiving == Receiving::StreamedDataFile && m_session == Session::EndedByClient) ||
         m_receiving == Receiving::DataFileTerminator) &&
        finishDataFileAtClose())
        return; // the session ends once the file is on the disk
    if (!m_controlPath.isEmpty() && m_dataPaths.isEmpty()) {
        removeFiles({m_controlPath});
    } else if (!m_dataPaths.isEmpty() && m_controlPath.isEmpty()) {
        removeFiles(m_dataPaths);
    } else if (!m_controlPath.isEmpty() && !m_dataPaths.isEmpty()) {
        handOverJob(false);
    }
    if (m_outFile) {
        // Cut off in the middle: the partial file and its lock file stay for recovery,
        // which removes a file that still has its lock.
        m_outFile.reset();
        log(QStringLiteral("ERROR: File ") + m_currentPath + QStringLiteral(" for ") + m_queue +
            QStringLiteral(" cut off."));
    }
    releaseAll();
    m_session = Session::Ended;
    if (m_onClosed)
        m_onClosed(this);
    // The closed session waits in the list for the next tick, up to five seconds while a
    // pass prints; its socket object is of no more use, and under load thousands waited.
    // Not destroyed here: the socket is still calling this handler.
    QMetaObject::invokeMethod(
        this, [this] { m_socket.reset(); }, Qt::QueuedConnection);
}
