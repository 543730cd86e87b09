#include "protocol/lpdserver.h"

#include "config/printerdefinition.h"
#include "net/esocketexception.h"
#include "net/twsocket.h"
#include "platform/clock.h"
#include "platform/installedprinters.h"
#include "protocol/tlpdconnection.h"
#include "spool/spoolworker.h"
#include "spool/tdespool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThreadPool>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

// Reverse lookups run here so a slow name service never holds up other connections.
QThreadPool& lookupPool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(8);
        p->setExpiryTimeout(30000);
        return p;
    }();
    return *pool;
}

// Reverse lookups answered a short while ago, by address (main thread only). Under a burst
// of connections from one host, every connection would otherwise cost a look-up on the
// pool and a round trip back to the main thread, and its admission would finish only then.
struct KnownPeer
{
    QString name;
    qint64 untilMs;
};
constexpr qint64 PeerNameTtlMs = 10000;
constexpr qsizetype PeerNameCacheLimit = 4096;

QHash<QString, KnownPeer>& knownPeers()
{
    static QHash<QString, KnownPeer> peers;
    return peers;
}

void rememberPeer(const QString& ip, const QString& name)
{
    QHash<QString, KnownPeer>& peers = knownPeers();
    if (peers.size() >= PeerNameCacheLimit)
        peers.clear();
    peers.insert(ip, {name, Clock::nowMs() + PeerNameTtlMs});
}

// The end of admission once the peer's name is known (or known to be missing).
void peerResolved(LpdServer* server, Tlpdconnection* c, const QString& ip, const QString& name)
{
    c->PeerPending = false;
    QString description = ip;
    if (!name.isEmpty()) {
        server->log.appendConnecting(QStringLiteral("Session available, got peer name ") + name);
        description = name + QLatin1Char(' ') + ip;
    }
    server->connections << description;
    c->Peer = description;
    server->log.append(QStringLiteral("Remote ") + description + QStringLiteral(" connected"));
    emit server->connectionsChanged();
    if (c->CloseDeferred)
        server->endeproz(c);
}

} // namespace

// Switching a timer on leaves it alone when it already runs, and a new period restarts it
// only when the period really changes. Restarting on every event would starve it: with a
// client closing every few milliseconds, a restarted 1000 ms timer would never fire, and
// nothing would be printed or disposed of while the load lasts.
void LpdServer::enableTimer1()
{
    if (!Timer1.isActive())
        Timer1.start();
}

void LpdServer::setTimer1Interval(int ms)
{
    if (Timer1.interval() != ms)
        Timer1.setInterval(ms);
}

LpdServer::LpdServer(QString path, QObject* parent, int installedPrintersRefreshSeconds)
    : QObject(parent), settingsPath(std::move(path)),
      m_installed(std::make_unique<InstalledPrinters>(installedPrintersRefreshSeconds)),
      m_spoolWorker(std::make_unique<SpoolWorker>()), WSocket1(std::make_unique<TWSocket>())
{
    Timer1.setInterval(5000);
    connect(&Timer1, &QTimer::timeout, this, &LpdServer::Timer1Timer);
    WSocket1->OnSessionAvailable = [this](TWSocket* s, quint16 e) {
        WSocket1SessionAvailable(s, e);
    };
}

LpdServer::~LpdServer()
{
    shutdown();
}

void LpdServer::shutdown()
{
    m_shuttingDown = true;
    Timer1.stop();
    for (auto& session : m_sessions)
        session->dropSilently();
    m_sessions.clear();
    m_activeSessions = 0;
    if (WSocket1)
        WSocket1->Close();
    // Lock files still to be removed: recovery would take their jobs for cut off.
    m_spoolWorker->drain();
}

QString LpdServer::spoolDir() const
{
    return effectiveSpoolDir(settings.spoolDir, settingsPath);
}

quint16 LpdServer::listeningPort() const
{
    return WSocket1->LocalPort();
}

bool LpdServer::isListening() const
{
    return WSocket1->State() == TSocketState::wsListening;
}

void LpdServer::loadsettings()
{
    Settings fresh;
    loadSettingsFile(settingsPath, fresh);
    settings = fresh;
    log.connecting = settings.logConnecting;
    log.receivedData = settings.logReceivedData;
    log.printing = settings.logPrinting;
}

bool LpdServer::savesettings()
{
    settings.logConnecting = log.connecting;
    settings.logReceivedData = log.receivedData;
    settings.logPrinting = log.printing;
    if (saveSettingsFile(settingsPath, settings))
        return true;
    log.append(QStringLiteral("Failure writing ini file"));
    return false;
}

bool LpdServer::start()
{
    loadsettings();
    const bool listening = startListening();
    loadoldjobs();
    if (!pendingJobs.isEmpty())
        enableTimer1();
    return listening;
}

bool LpdServer::startListening()
{
    try {
        WSocket1->setAddr(QStringLiteral("0.0.0.0"));
        WSocket1->setPort(settings.port.isEmpty() ? QStringLiteral("515") : settings.port);
        WSocket1->Listen();
        return true;
    } catch (const ESocketException& e) {
        log.append(e.Message());
        return false;
    }
}

bool LpdServer::restartListening()
{
    WSocket1->Close();
    return startListening();
}

QStringList LpdServer::knownQueues() const
{
    QStringList known = m_installed->names();
    for (const QString& def : settings.printers) {
        const QString token = printerdef::queueToken(def);
        if (!token.isEmpty())
            known << token;
    }
    return known;
}

QStringList LpdServer::queueFolders() const
{
    QStringList folders;
    for (const QString& def : settings.printers) {
        const QString name = printerdef::queueName(def);
        if (!name.isEmpty())
            folders << name;
    }
    return folders + m_installed->names();
}

QStringList LpdServer::filesInUse() const
{
    QStringList files;
    for (const auto& session : m_sessions)
        files += session->filesInUse();
    return files;
}

void LpdServer::WSocket1SessionAvailable(TWSocket*, quint16)
{
    int handle = -1;
    try {
        handle = WSocket1->Accept();
    } catch (const ESocketException& e) {
        // Out of descriptors, most likely: stop listening for now; Timer1 listens again.
        log.append(e.Message());
        WSocket1->Close();
        enableTimer1();
        return;
    }
    if (handle < 0) {
        enableTimer1();
        return;
    }
    log.appendConnecting(QStringLiteral("Session available, starting"));
    m_sessions.push_back(std::make_unique<Tlpdconnection>());
    Tlpdconnection* c = m_sessions.back().get();
    // Sessions that have closed wait in the list for the next tick; they no longer hold a
    // connection, so they do not count towards the limit. Under load a second's worth of
    // finished jobs would otherwise close the listener on clients that are long gone. The
    // open ones are counted as they open and close: walking the list at every connection
    // cost a tenth of the main thread with thousands of closed sessions waiting.
    const int n = ++m_activeSessions;
    log.appendConnecting(QStringLiteral("Session available, object allocated, number is ") +
                         QString::number(n) + QLatin1Char('.'));
    c->Sender = c;
    c->Active = true;
    c->LastActivity = Clock::nowMs();
    if (n >= settings.maxConn) {
        log.append(QStringLiteral("Connection limit reached - throttled"));
        WSocket1->Close();
    }
    enableTimer1();
    log.appendConnecting(QStringLiteral("Session available, timer started"));
    c->OnClosed = [this](Tlpdconnection* conn) {
        --m_activeSessions;
        endeproz(conn);
    };
    c->KnownQueues = knownQueues();
    c->QueueFolders = queueFolders();
    c->SpoolDir = spoolDir();
    c->LogLines = &log;
    c->PendingJobs = &pendingJobs;
    c->Worker = m_spoolWorker.get();
    c->DrainTimeoutMs = std::max(1, settings.timeoutMinutes) * 60000;
    try {
        c->Socket->Dup(handle);
    } catch (const ESocketException& e) {
        log.append(e.Message());
        ::close(handle);
        c->Active = false;
        --m_activeSessions;
        return;
    }
    log.appendConnecting(QStringLiteral("Session available, getting peer name"));
    sockaddr_in peer{};
    QString ip;
    if (c->Socket->GetPeerName(peer) == 0) {
        const quint8* b = reinterpret_cast<const quint8*>(&peer.sin_addr.s_addr);
        ip = QStringLiteral("%1.%2.%3.%4").arg(b[0]).arg(b[1]).arg(b[2]).arg(b[3]);
    }
    log.appendConnecting(QStringLiteral("Session available, got peer ") + ip);
    admit(c, ip);
}

void LpdServer::admit(Tlpdconnection* c, const QString& ip)
{
    bool allowed = false;
    for (const QString& host : settings.hosts) {
        if (!host.isEmpty() && !ip.isEmpty() && ip.startsWith(host)) {
            allowed = true;
            break;
        }
    }
    if (!allowed) {
        log.append(QStringLiteral("Remote ") + ip + QStringLiteral(" no permission."));
        c->Peer = ip;
        try {
            c->Socket->SendText(QByteArrayLiteral("No permission!\n"));
        } catch (const ESocketException&) {
        }
        c->closeIfConnected();
        return;
    }
    log.appendConnecting(QStringLiteral("Session available, try to get peer name "));
    c->Peer = ip;
    c->PeerPending = true;
    resolvePeer(c, ip);
}

void LpdServer::resolvePeer(Tlpdconnection* c, const QString& ip)
{
    const auto known = knownPeers().constFind(ip);
    if (known != knownPeers().cend() && known->untilMs > Clock::nowMs())
        return peerResolved(this, c, ip, known->name);
    QPointer<Tlpdconnection> guard(c);
    QPointer<LpdServer> self(this);
    lookupPool().start([guard, self, ip] {
        QString name;
        try {
            name = WSocketGetHostByAddr(ip);
        } catch (const ESocketException&) {
        }
        QMetaObject::invokeMethod(
            self.data(),
            [guard, self, ip, name] {
                if (!self)
                    return;
                rememberPeer(ip, name);
                if (!guard || !guard->PeerPending)
                    return;
                peerResolved(self.data(), guard.data(), ip, name);
            },
            Qt::QueuedConnection);
    });
}

void LpdServer::endeproz(Tlpdconnection* c)
{
    if (m_shuttingDown)
        return;
    if (c->PeerPending) {
        c->CloseDeferred = true;
        return;
    }
    for (qsizetype i = 0; i < connections.size(); ++i) {
        if (connections[i].compare(c->Peer, Qt::CaseInsensitive) == 0) {
            connections.removeAt(i);
            break;
        }
    }
    log.append(QStringLiteral("Remote ") + c->Peer + QStringLiteral(" (was) closed."));
    emit connectionsChanged();
    emit jobsChanged();
    if (runningDespoolers == 0)
        setTimer1Interval(1000);
    enableTimer1();
    log.appendConnecting(QStringLiteral("Session closed, timer started "));
}

void LpdServer::Timer1Timer()
{
    if (runningDespoolers == 0 && !pendingJobs.isEmpty()) {
        pendingJobs.jobListChanged = false;
        ++runningDespoolers;
        setTimer1Interval(5000);
        log.appendPrinting(QStringLiteral("Timer1: forked job, ") +
                           QString::number(runningDespoolers) + QStringLiteral(" jobs running"));
        auto* pass = new Tdespool(pendingJobs, settings.printers, spoolDir(), log);
        connect(pass, &QThread::finished, this, &LpdServer::despoolended);
        connect(pass, &QThread::finished, pass, &QObject::deleteLater);
        m_despool = pass;
        pass->start();
    }
    if (!pendingJobs.isEmpty() || !m_sessions.empty()) {
        sessionHalf();
        if (pendingJobs.isEmpty() && m_sessions.empty()) {
            setTimer1Interval(5000);
            Timer1.stop();
            log.appendConnecting(QStringLiteral("Timer1: nothing to do, disabeling timer"));
        }
    } else {
        setTimer1Interval(5000);
        Timer1.stop();
        log.appendConnecting(QStringLiteral("Timer1: Nothing to do, timer disabled"));
    }
}

void LpdServer::sessionHalf()
{
    const qint64 limitMs = qint64(settings.timeoutMinutes) * 60000;
    int n = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        ++n;
        Tlpdconnection* c = it->get();
        const bool idle = Clock::nowMs() > c->LastActivity + limitMs;
        // A closed session whose peer name is still being looked up waits for it.
        if ((c->Active && !idle) || (!c->Active && c->PeerPending && !idle)) {
            ++it;
            continue;
        }
        if (c->Active)
            log.append(c->Peer + QStringLiteral(" Timeout - closed."));
        log.appendConnecting(QStringLiteral("Timer1: Session ") + QString::number(n) +
                             QStringLiteral(" to be disposed"));
        if (c->PeerPending) {
            c->PeerPending = false;
            if (c->CloseDeferred)
                endeproz(c);
        }
        // Destroys the connection, closing it first. The walk goes on behind it: the nodes
        // before it were kept a moment ago, and walking them again for every node disposed
        // of would take quadratic time with a second's worth of closed sessions.
        it = m_sessions.erase(it);
        --n;
    }
    sessionCount = n;
    emit sessionCountChanged(n);
    if (n < settings.maxConn && WSocket1->State() != TSocketState::wsListening) {
        if (startListening())
            log.append(QStringLiteral("Listening again."));
    }
}

void LpdServer::despoolended()
{
    --runningDespoolers;
    log.appendPrinting(QStringLiteral("Job terminated, ") + QString::number(runningDespoolers) +
                       QStringLiteral(" jobs still running"));
    if (pendingJobs.jobListChanged.exchange(false))
        emit jobsChanged();
}

bool LpdServer::despoolerRunning() const
{
    return runningDespoolers > 0;
}

void LpdServer::loadoldjobs()
{
    // The scan sees the folders as the connections left them, lock files removed.
    m_spoolWorker->drain();
    const QString spool = spoolDir();
    const QStringList inUse = filesInUse();
    for (const QString& def : settings.printers) {
        const QString queue = printerdef::queueName(def);
        log.append(QStringLiteral("Scanning for old jobs for printer ") + queue);
        if (queue.isEmpty())
            continue;
        const QString dir = spool + QLatin1Char('/') + queue + QLatin1Char('/');
        const QStringList files = QDir(dir).entryList(QDir::Files, QDir::Unsorted);
        for (const QString& file : files) {
            if (!file.startsWith(QLatin1String("cfA"), Qt::CaseInsensitive) ||
                file.endsWith(QLatin1String(".lck")) || inUse.contains(dir + file))
                continue;
            Tlpdjob job = buildJob(spool, queue, queue, file);
            log.append(QStringLiteral("found ") + job.ControlFile);
            const QString dataPath = dir + job.DataFile;
            // A data file that still has its lock was cut off while arriving.
            const bool haveData = !job.DataFile.isEmpty() && QFileInfo(dataPath).isFile() &&
                                  !QFile::exists(dataPath + QStringLiteral(".lck")) &&
                                  !inUse.contains(dataPath);
            if (haveData) {
                if (QFile::remove(dir + job.ControlFile + QStringLiteral(".lck")))
                    log.append(QStringLiteral("Lockfile removed for printer ") + queue +
                               QStringLiteral(": ") + job.ControlFile + QStringLiteral(".lck"));
                pendingJobs.addIfNew(std::move(job));
            } else if (!inUse.contains(dataPath)) {
                QFile::remove(dir + job.ControlFile);
                log.append(QStringLiteral("c-File without d-File removed for printer ") + queue +
                           QStringLiteral(": ") + job.ControlFile);
            }
        }
    }
    emit jobsChanged();
    if (!pendingJobs.isEmpty())
        enableTimer1();
}

void LpdServer::dequeue(const QStringList& selected)
{
    const QString spool = spoolDir();
    const QStringList folders = queueFolders();
    pendingJobs.removeIf(
        [&](const PendingJobList::Entry& e) {
            return selected.contains(e.display, Qt::CaseInsensitive)
                       ? PendingJobList::Verdict::Remove
                       : PendingJobList::Verdict::Keep;
        },
        [&](const Tlpdjob& job) {
            deleteJobFiles(spool + QLatin1Char('/') + queueFolderFor(folders, job.Queue), job);
        });
    emit jobsChanged();
}
