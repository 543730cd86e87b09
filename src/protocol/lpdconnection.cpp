#include "protocol/lpdconnection.h"

#include "config/logsink.h"
#include "net/eventsocket.h"
#include "net/socketerror.h"
#include "platform/clock.h"
#include "protocol/operands.h"
#include "protocol/queuecommands.h"
#include "spool/spool.h"
#include "spool/spooljob.h"

#include <QDir>
#include <QPointer>

#include <optional>

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

void LpdConnection::closeIfConnected()
{
    if (m_socket && m_socket->state() == EventSocket::State::Connected) {
        m_session = Session::ClosingByServer;
        m_socket->closeGracefully(m_env.drainTimeoutMs);
    }
}

qint64 LpdConnection::lastActivity() const
{
    if (m_fileWork != FileWork::None ||
        (m_socket && m_socket->state() == EventSocket::State::Connected &&
         m_socket->bytesWaiting() > 0))
        return Clock::nowMs();
    return m_lastActivity;
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
    return m_job ? m_job->claimedFiles() : QStringList();
}

bool LpdConnection::holdsFilesIn(const QString& spoolDir) const
{
    if (!m_job || !m_job->holdsFiles())
        return false;
    const QString folder = QDir::cleanPath(m_job->folderPath());
    const QString spool = QDir::cleanPath(spoolDir);
    return folder.startsWith(spool + QLatin1Char('/'));
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
        if (m_job)
            m_job->abortJob();
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
    // A refused file command leaves the connection reading commands: nothing of a file is
    // expected until the answer to its command is 0.
    m_params = splitOperands(m_line.mid(1));
    if (m_params.size() != 2)
        return refuseFile(QStringLiteral("Invalid parameter count in file command"));
    const QString name = QString::fromLatin1(m_params[1]);
    if (!isSafeSpoolName(name))
        return refuseFile(QStringLiteral("Invalid file name"));
    const qint64 count = operandNumber(m_params[0]);
    if (count < 0 || count > MaxByteCount)
        return refuseFile(QStringLiteral("Invalid byte count in file command"));
    const bool control = sub == 2;
    // The job's folder is the one of the spool current at its first file: a session that
    // began before a SPOOLDIR change writes into the new spool.
    if (!m_job) {
        ReceivedJob::Context context;
        context.log = m_env.log;
        context.pendingJobs = m_env.pendingJobs;
        context.worker = m_env.worker;
        context.syncFiles = m_env.syncFiles;
        m_job = std::make_unique<ReceivedJob>(context, m_queue,
                                              m_env.spool->receivingFolderPath(queueFolder()));
    }
    using Kind = ReceivedJob::FileKind;
    jobStep(
        [&](ReceivedJob::Done done) {
            m_job->openFile(control ? Kind::Control : Kind::Data, name, std::move(done));
        },
        [this, control, count](const ReceivedJob::Outcome& opened) {
            if (!opened.ok())
                return refuseFile(opened.refusal);
            m_params.clear();
            m_remaining = count;
            m_fileBytes = count;
            if (control)
                m_receiving =
                    count == 0 ? Receiving::ControlFileTerminator : Receiving::ControlFile;
            else
                m_receiving =
                    isUnknownLength(count) ? Receiving::StreamedDataFile : Receiving::DataFile;
            sendAck(true);
        });
}

void LpdConnection::refuseFile(const QString& what)
{
    sendAck(false);
    log(QStringLiteral("ERROR: ") + what + QStringLiteral(" for ") + m_queue + QLatin1Char('.'));
}

void LpdConnection::jobStep(const std::function<void(ReceivedJob::Done)>& start,
                            ReceivedJob::Done then)
{
    if (m_fileWork == FileWork::None)
        m_fileWork = FileWork::Running;
    // A step that answers before it returns needs no pause of the socket.
    auto early = std::make_shared<std::optional<ReceivedJob::Outcome>>();
    auto started = std::make_shared<bool>(false);
    start([this, early, started, then](const ReceivedJob::Outcome& outcome) {
        if (!*started) {
            *early = outcome;
            return;
        }
        afterFileWorkDone([&] { then(outcome); });
    });
    *started = true;
    if (*early) {
        afterFileWorkDone([&] { then(**early); });
        return;
    }
    if (m_socket)
        m_socket->pauseReceiving();
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
    if (!m_job || !m_job->hasOpenFile()) {
        // No file open; a client that sends content anyway meets a failing write.
        writeFailure();
        return;
    }
    creditProgress(got);
    if (streamed) {
        // Every byte up to the end of the stream is the file's, zeros included.
        if (!m_job->write(g_readBuffer, got))
            writeFailure();
        return;
    }
    const qint64 data = std::min<qint64>(got, m_remaining);
    if (!m_job->write(g_readBuffer, data))
        return writeFailure();
    m_remaining -= data;
    if (m_remaining > 0)
        return;
    if (got == data) {
        // The terminator has not come yet; it is looked at by itself when it does.
        m_receiving = m_receiving == Receiving::ControlFile ? Receiving::ControlFileTerminator
                                                            : Receiving::DataFileTerminator;
        return;
    }
    takeTerminator(g_readBuffer[got - 1]);
}

void LpdConnection::receiveTerminator()
{
    char byte = 0;
    if (m_socket->receive(&byte, 1) <= 0)
        return; // the end of the stream: the session-closed handling decides
    if (!m_job || !m_job->hasOpenFile())
        return writeFailure();
    takeTerminator(byte);
}

void LpdConnection::takeTerminator(char byte)
{
    if (byte == 0)
        return finishFile();
    // The count was not the file's length (too small, most likely, and the rest of the file
    // would be read as commands). LPRng's lpd refuses such a file too: printed, it would
    // be a good-looking job cut short.
    sendAck(false);
    log(QStringLiteral("ERROR: File ") + m_job->currentName() +
        QStringLiteral(" not ended by a zero byte after its ") + QString::number(m_fileBytes) +
        QStringLiteral(" bytes; job refused for ") + m_queue + QLatin1Char('.'));
    m_receiving = Receiving::SubCommand;
    m_job->discardFile();
    m_job->abortJob();
    closeIfConnected();
}

void LpdConnection::finishFile()
{
    m_receiving = Receiving::SubCommand;
    jobStep([this](ReceivedJob::Done done) { m_job->finishFile(m_fileBytes, std::move(done)); },
            [this](const ReceivedJob::Outcome& finished) {
                if (!finished.ok()) {
                    refuseFile(finished.refusal);
                    if (finished.endsSession)
                        closeIfConnected();
                    return;
                }
                sendAck(true);
                log(ReceivedJob::gotFileLine(finished.path, finished.bytes, m_queue));
            });
}

void LpdConnection::writeFailure()
{
    sendAck(false);
    log(QStringLiteral("ERROR: Cannot write file for ") + m_queue + QLatin1Char('.'));
    if (m_job && m_job->hasOpenFile())
        m_job->discardFile();
    closeIfConnected();
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
    // bytes all arrived: a client may close instead of sending the terminator. The session
    // ends once the file is taken (on the disk first, where SYNC asks).
    if (m_job && m_job->hasOpenFile() &&
        ((m_receiving == Receiving::StreamedDataFile && m_session == Session::EndedByClient) ||
         m_receiving == Receiving::DataFileTerminator)) {
        m_receiving = Receiving::SubCommand;
        m_fileWork = FileWork::RunningSocketClosed;
        jobStep([this](ReceivedJob::Done done) { m_job->finishAtClose(std::move(done)); },
                [](const ReceivedJob::Outcome&) {});
        return;
    }
    if (m_job)
        m_job->end();
    m_session = Session::Ended;
    if (m_onClosed)
        m_onClosed(this);
    // The closed session waits in the list for the next tick, up to five seconds while a
    // pass prints; its socket object is of no more use, and under load thousands waited.
    // Not destroyed here: the socket is still calling this handler.
    QMetaObject::invokeMethod(
        this, [this] { m_socket.reset(); }, Qt::QueuedConnection);
}
