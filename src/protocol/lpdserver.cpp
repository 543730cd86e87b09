#include "protocol/lpdserver.h"

#include "config/printerdefinition.h"
#include "net/eventsocket.h"
#include "net/socketerror.h"
#include "net/uniquefd.h"
#include "platform/clock.h"
#include "platform/installedprinters.h"
#include "platform/printroutes.h"
#include "protocol/listener.h"
#include "protocol/lpdconnection.h"
#include "spool/printrecord.h"
#include "spool/printscheduler.h"
#include "spool/queuefolder.h"
#include "spool/spoolmove.h"
#include "spool/spoolrecovery.h"
#include "spool/spoolworker.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <climits>

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

// How long a finished or refused connection may take to read its answer and close.
constexpr int DrainTimeoutMs = 5000;

} // namespace

// The end of admission once the peer's name is known (or known to be missing).
void LpdServer::peerResolved(LpdConnection* c, const QString& ip, const QString& name)
{
    c->setPeerPending(false);
    QString description = ip;
    if (!name.isEmpty()) {
        m_log.appendConnecting(QStringLiteral("Session available, got peer name ") + name);
        description = name + QLatin1Char(' ') + ip;
    }
    m_connections << description;
    c->setPeer(description);
    m_log.append(QStringLiteral("Remote ") + description + QStringLiteral(" connected"));
    emit connectionsChanged();
    if (c->closeDeferred())
        onConnectionClosed(c);
}

// Switching a timer on leaves it alone when it already runs, and a new period restarts it
// only when the period really changes. Restarting on every event would starve it: with a
// client closing every few milliseconds, a restarted 1000 ms timer would never fire, and
// nothing would be printed or disposed of while the load lasts.
void LpdServer::startHousekeeping()
{
    if (!m_housekeeping.isActive())
        m_housekeeping.start();
}

void LpdServer::setHousekeepingInterval(int ms)
{
    if (m_housekeeping.interval() != ms)
        m_housekeeping.setInterval(ms);
}

void LpdServer::addLocalJob(SpoolJob job)
{
    // Its names are taken like a received job's, so no client can write over them.
    const QString folder =
        m_spool.folderPath(queueFolderFor(queueFolders(), job.queue)) + QLatin1Char('/');
    QStringList files{folder + job.controlFile};
    for (const QString& name : job.dataFiles())
        files << folder + name;
    m_pendingJobs.append(std::move(job), files);
    emit jobsChanged();
    m_scheduler->wake();
}

LpdServer::LpdServer(QString path, QObject* parent, int installedPrintersRefreshSeconds)
    : QObject(parent), m_settingsPath(std::move(path)),
      m_installed(std::make_unique<InstalledPrinters>(installedPrintersRefreshSeconds)),
      m_spoolWorker(std::make_unique<SpoolWorker>()), m_listener(std::make_unique<Listener>(m_log)),
      m_scheduler(std::make_unique<PrintScheduler>(m_pendingJobs, m_spool, m_log))
{
    connect(m_scheduler.get(), &PrintScheduler::jobsChanged, this, &LpdServer::jobsChanged);
    m_scheduler->setAccounting(&m_accounting);
    // A spool change that waited for the prints goes on when the last one ends.
    connect(m_scheduler.get(), &PrintScheduler::idle, this, &LpdServer::finishSpoolChange);
    connect(m_scheduler.get(), &PrintScheduler::jobStarted, this, &LpdServer::jobsChanged);
    // Every print that ended, in the accounting file; one that could not be tried is no end.
    connect(m_scheduler.get(), &PrintScheduler::jobFinished, this,
            [this](const SpoolJob& job, JobPrint::Outcome outcome, qint64 ms, const QString& why) {
                QString error;
                // A job that could not be tried has no print to account for; a printed one
                // was accounted for by its print, before its files went.
                if (outcome == JobPrint::Outcome::Failed &&
                    !m_accounting.recordPrint(job, outcome == JobPrint::Outcome::Printed, ms, why,
                                              &error))
                    m_log.append(QStringLiteral("ERROR: Accounting file ") + m_accounting.path() +
                                 QStringLiteral(": ") + error);
            });
    m_housekeeping.setInterval(5000);
    connect(&m_housekeeping, &QTimer::timeout, this, &LpdServer::onHousekeepingTick);
    // The spool's own record of where its jobs are, beside the settings it follows.
    if (!m_settingsPath.isEmpty())
        m_spool.setStateFile(m_settingsPath + QStringLiteral(".spool"));
    connect(m_listener.get(), &Listener::sessionReady, this, &LpdServer::startSession);
    connect(m_listener.get(), &Listener::opened, this, [this] {
        logListening();
        emit listeningStarted();
    });
}

LpdServer::~LpdServer()
{
    shutdown();
}

void LpdServer::shutdown()
{
    // First of all: nothing is accepted, and nothing reopens, once the stop has begun.
    m_shuttingDown = true;
    m_listener->stop();
    m_housekeeping.stop();
    for (auto& session : m_sessions)
        session->dropSilently();
    m_sessions.clear();
    m_scheduler->stop(
        int(std::min<qint64>(qint64(std::max(m_settings.stopWaitSeconds, 0)) * 1000, INT_MAX)));
    // Lock files still to be removed: recovery would take their jobs for cut off.
    m_spoolWorker->drain();
}

quint16 LpdServer::listeningPort() const
{
    return m_listener->port();
}

bool LpdServer::isListening() const
{
    return m_listener->isListening();
}

int LpdServer::openSessions() const
{
    return m_listener->openSessions();
}

int LpdServer::waitingClients() const
{
    return m_listener->waitingClients();
}

void LpdServer::loadSettings()
{
    Settings fresh;
    QString problem;
    QString oddity;
    QStringList faults;
    const bool read = loadSettingsFile(m_settingsPath, fresh, &problem, &oddity, &faults);
    if (!read && !problem.isEmpty()) {
        const QString text = QStringLiteral("ERROR: Cannot use settings file ") + m_settingsPath +
                             QStringLiteral(": ") + problem + QStringLiteral(" - using defaults.");
        m_log.append(text);
        emit settingsFileProblem(text);
    } else if (!read) {
        // The first start has none; a file named on purpose (SPOOLMERE_CONFIG) that is not
        // there is a typing error the operator must hear of.
        const QString line = qEnvironmentVariableIsSet("SPOOLMERE_CONFIG")
                                 ? QStringLiteral("WARNING: Settings file ") + m_settingsPath +
                                       QStringLiteral(" (SPOOLMERE_CONFIG) does not exist - "
                                                      "using defaults.")
                                 : QStringLiteral("No settings file ") + m_settingsPath +
                                       QStringLiteral(" yet - using defaults.");
        m_log.append(line);
    } else {
        m_log.append(QStringLiteral("Settings from ") + m_settingsPath);
        if (QFileInfo(m_settingsPath).size() == 0)
            m_log.append(QStringLiteral("WARNING: Settings file ") + m_settingsPath +
                         QStringLiteral(" is empty - using defaults."));
    }
    if (!oddity.isEmpty())
        m_log.append(QStringLiteral("WARNING: Settings file ") + m_settingsPath +
                     QStringLiteral(": ") + oddity);
    // At start the server runs whatever the file gets wrong (a reload refuses it): each
    // fault is a warning, the value that has one keeps its default.
    QStringList changes;
    fresh = clampedSettings(fresh, &changes);
    faults += unusableSettings(fresh);
    if (const QString spool = spoolFolderProblem(effectiveSpoolDir(fresh.spoolDir, m_settingsPath));
        !spool.isEmpty())
        faults << spool;
    faults += changes;
    for (const QString& fault : std::as_const(faults))
        m_log.append(QStringLiteral("WARNING: Settings file ") + m_settingsPath +
                     QStringLiteral(": ") + fault);
    commitSettings(fresh);
    m_spool.open(effectiveSpoolDir(m_settings.spoolDir, m_settingsPath), m_log);
    configureAccounting();
    m_log.setConnectingEnabled(m_settings.logConnecting);
    m_log.setReceivedDataEnabled(m_settings.logReceivedData);
    m_log.setPrintingEnabled(m_settings.logPrinting);
    m_log.append(QStringLiteral("Spool folder ") + spoolDir());
}

bool LpdServer::applySettings(const Settings& settings, QString* reason)
{
    const QString newSpool = effectiveSpoolDir(settings.spoolDir, m_settingsPath);
    const bool spoolMoves = !m_spool.isHeadedFor(newSpool);
    bool listenerMoved = false;
    QString problem;
    if (m_shuttingDown) {
        problem = QStringLiteral("the server is stopping");
    } else if (const QStringList faults = unusableSettings(settings); !faults.isEmpty()) {
        problem = faults.join(QStringLiteral("; "));
    } else if (m_listenerWanted && (settings.port != m_settings.port ||
                                    settings.listenAddress != m_settings.listenAddress)) {
        // Bound before the old listener closes: a port or address that cannot be had
        // leaves the server listening where it was.
        listenerMoved = m_listener->open(settings.listenAddress, settings.port, &problem);
        if (listenerMoved)
            logListening();
        else
            m_log.append(QStringLiteral("ERROR: ") + problem);
    }
    if (problem.isEmpty() && spoolMoves && !m_spool.beginChange(newSpool, &problem)) {
        m_log.append(QStringLiteral("ERROR: Waiting jobs stay in ") + spoolDir() +
                     QStringLiteral(": ") + problem);
        QString ignored;
        if (listenerMoved && m_listener->open(m_settings.listenAddress, m_settings.port, &ignored))
            logListening();
    }
    if (!problem.isEmpty()) {
        if (reason)
            *reason = problem;
        return false;
    }
    commitSettings(settings);
    if (spoolMoves && m_spool.isChanging()) {
        // Files being printed or written cannot move under their reader or writer: the old
        // spool's jobs wait for them, new jobs go to the new spool meanwhile, under names
        // no waiting job will need there.
        m_spoolChangeWait.clear();
        for (const PendingJobList::Entry& e : m_pendingJobs.snapshot()) {
            for (const QString& path : e.claimedFiles) {
                if (!path.startsWith(spoolDir() + QLatin1Char('/')))
                    continue;
                const QString moved = m_spool.receivingPath() + path.mid(spoolDir().size());
                if (m_pendingJobs.claimFile(moved))
                    m_spoolChangeClaims << moved;
            }
        }
        finishSpoolChange();
    } else if (spoolMoves) {
        configureAccounting();
        m_log.append(QStringLiteral("Spool folder ") + spoolDir());
    }
    return true;
}

void LpdServer::finishSpoolChange()
{
    if (!m_spool.isChanging() || m_shuttingDown)
        return;
    const QString old = spoolDir() + QLatin1Char('/');
    const QStringList inUse = filesInUse();
    const qsizetype arriving = std::count_if(inUse.cbegin(), inUse.cend(),
                                             [&](const QString& f) { return f.startsWith(old); });
    QString wait;
    if (runningPrints() > 0 || arriving > 0) {
        wait = QStringLiteral("Spool folder change to ") + m_spool.receivingPath() +
               QStringLiteral(" waits for ") + QString::number(runningPrints()) +
               QStringLiteral(" print(s) and ") + QString::number(arriving) +
               QStringLiteral(" file(s) arriving in ") + spoolDir() +
               QStringLiteral("; new jobs arrive there meanwhile");
    } else {
        // Lock files the connections gave up are gone before the files move.
        m_spoolWorker->drain();
        const QString from = spoolDir();
        QString problem;
        if (m_spool.finishChange(&problem)) {
            for (const QString& claim : std::as_const(m_spoolChangeClaims))
                m_pendingJobs.releaseFile(claim);
            m_spoolChangeClaims.clear();
            m_spoolChangeWait.clear();
            // Listed again, from the new folders, in arrival order, by the scan below.
            const int moved = m_pendingJobs.removeIf(
                [](const PendingJobList::Entry&) { return PendingJobList::Verdict::Remove; });
            m_log.append(QString::number(moved) + QStringLiteral(" waiting job(s) moved to ") +
                         spoolDir());
            m_log.append(QStringLiteral("Spool folder ") + spoolDir());
            configureAccounting();
            recoverSpooledJobs();
            return;
        }
        wait = QStringLiteral("ERROR: Waiting jobs stay in ") + from + QStringLiteral(": ") +
               problem + QStringLiteral("; the move is tried again");
    }
    if (wait != m_spoolChangeWait)
        m_log.append(wait);
    m_spoolChangeWait = wait;
    startHousekeeping();
}

void LpdServer::configureAccounting()
{
    m_accounting.configure(Accounting::pathFor(m_settings.accounting, spoolDir(), m_settingsPath),
                           m_printers);
}

void LpdServer::commitSettings(const Settings& settings)
{
    m_settings = settings;
    m_printers = parsePrinterDefinitions(m_settings.printers);
    m_listener->setLimits(m_settings.maxConn, m_settings.maxPerHost);
    m_scheduler->configure(
        m_printers,
        int(std::min<qint64>(qint64(std::max(m_settings.printTimeoutMinutes, 0)) * 60000,
                             INT_MAX)));
    configureAccounting();
}

void LpdServer::logListening()
{
    m_log.append(QStringLiteral("Listening on ") + m_listener->address() +
                 QStringLiteral(" port ") + QString::number(m_listener->port()));
}

bool LpdServer::saveSettings()
{
    m_settings.logConnecting = m_log.connectingEnabled();
    m_settings.logReceivedData = m_log.receivedDataEnabled();
    m_settings.logPrinting = m_log.printingEnabled();
    if (saveSettingsFile(m_settingsPath, m_settings))
        return true;
    m_log.append(QStringLiteral("Failure writing ini file"));
    return false;
}

bool LpdServer::reloadSettings(QString* reason)
{
    if (m_shuttingDown) {
        m_log.append(QStringLiteral("WARNING: Reload of ") + m_settingsPath +
                     QStringLiteral(" ignored: the server is stopping"));
        if (reason)
            *reason = QStringLiteral("the server is stopping");
        return false;
    }
    Settings fresh;
    QStringList problems;
    QString oddity;
    QString problem;
    if (!readUsableSettings(m_settingsPath, fresh, &problems, &oddity))
        problem = problems.join(QStringLiteral("; "));
    if (!oddity.isEmpty())
        m_log.append(QStringLiteral("WARNING: Settings file ") + m_settingsPath +
                     QStringLiteral(": ") + oddity);
    if (problem.isEmpty()) {
        m_log.append(QStringLiteral("Reloading ") + m_settingsPath);
        applySettings(fresh, &problem);
    }
    if (!problem.isEmpty()) {
        m_log.append(QStringLiteral("ERROR: Reload of ") + m_settingsPath +
                     QStringLiteral(" failed, the running settings stay: ") + problem);
        if (reason)
            *reason = problem;
        return false;
    }
    m_log.setConnectingEnabled(m_settings.logConnecting);
    m_log.setReceivedDataEnabled(m_settings.logReceivedData);
    m_log.setPrintingEnabled(m_settings.logPrinting);
    emit settingsApplied();
    // The scan waits for the lock removals handed to the spool worker so far, not on this
    // thread: behind them may be the flushes of large files, and a reload on a busy server
    // froze every client (queue-state requests included) for as long as they took.
    m_spoolWorker->run([] {}, [this] { scanSpool(); });
    return true;
}

bool LpdServer::start()
{
    loadSettings();
    const bool listening = startListening();
    recoverSpooledJobs();
    if (!m_pendingJobs.isEmpty())
        startHousekeeping();
    return listening;
}

bool LpdServer::startListening()
{
    m_listenerWanted = true;
    QString problem;
    if (!m_listener->open(m_settings.listenAddress, m_settings.port, &problem)) {
        // The listener keeps trying (listeningStarted says when it succeeds).
        m_log.append(QStringLiteral("WARNING: ") + problem +
                     QStringLiteral(" - trying again until it can be had"));
        return false;
    }
    logListening();
    return true;
}

QStringList LpdServer::knownQueues() const
{
    QStringList known = m_installed->names();
    for (const PrinterDefinition& printer : m_printers) {
        if (!printer.queueToken.isEmpty())
            known << printer.queueToken;
    }
    return known;
}

QStringList LpdServer::queueFolders() const
{
    QStringList folders;
    for (const PrinterDefinition& printer : m_printers) {
        if (!printer.queue.isEmpty())
            folders << printer.queue;
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

void LpdServer::startSession(int handle, const QString& ip, int n)
{
    UniqueFd client(handle);
    m_log.appendConnecting(QStringLiteral("Session available, starting"));
    LpdConnection::Environment environment;
    environment.knownQueues = knownQueues();
    environment.queueFolders = queueFolders();
    environment.spool = &m_spool;
    environment.log = &m_log;
    environment.pendingJobs = &m_pendingJobs;
    environment.accounting = &m_accounting;
    environment.worker = m_spoolWorker.get();
    environment.drainTimeoutMs = DrainTimeoutMs;
    environment.syncFiles = m_settings.syncReceivedFiles;
    m_sessions.push_back(std::make_unique<LpdConnection>(std::move(environment)));
    LpdConnection* c = m_sessions.back().get();
    m_log.appendConnecting(QStringLiteral("Session available, object allocated, number is ") +
                           QString::number(n) + QLatin1Char('.'));
    startHousekeeping();
    m_log.appendConnecting(QStringLiteral("Session available, timer started"));
    c->setClosedHandler([this, ip](LpdConnection* conn) {
        onConnectionClosed(conn);
        m_listener->releaseSlot(ip);
    });
    QString report;
    if (!c->adopt(client.get(), &report)) {
        m_log.append(report);
        client.reset();
        m_listener->releaseSlot(ip);
        return;
    }
    client.release(); // the connection's socket has it now
    m_log.appendConnecting(QStringLiteral("Session available, getting peer name"));
    m_log.appendConnecting(QStringLiteral("Session available, got peer ") + ip);
    admit(c, ip);
}

void LpdServer::admit(LpdConnection* c, const QString& ip)
{
    bool allowed = false;
    for (const QString& host : m_settings.hosts) {
        // IPv6 text is lower case; an entry written "2001:DB8:" still means it.
        if (!host.isEmpty() && !ip.isEmpty() && ip.startsWith(host, Qt::CaseInsensitive)) {
            allowed = true;
            break;
        }
    }
    if (!allowed) {
        m_log.append(QStringLiteral("Remote ") + ip + QStringLiteral(" no permission."));
        c->setPeer(ip);
        c->refuse(QByteArrayLiteral("No permission!\n"));
        return;
    }
    m_log.appendConnecting(QStringLiteral("Session available, try to get peer name "));
    c->setPeer(ip);
    c->setPeerPending(true);
    resolvePeer(c, ip);
}

void LpdServer::resolvePeer(LpdConnection* c, const QString& ip)
{
    const auto known = knownPeers().constFind(ip);
    if (known != knownPeers().cend() && known->untilMs > Clock::nowMs())
        return peerResolved(c, ip, known->name);
    QPointer<LpdConnection> guard(c);
    QPointer<LpdServer> self(this);
    lookupPool().start([guard, self, ip] {
        QString name;
        try {
            name = reverseLookup(ip);
        } catch (const SocketError&) {
        }
        QMetaObject::invokeMethod(
            self.data(),
            [guard, self, ip, name] {
                if (!self)
                    return;
                rememberPeer(ip, name);
                if (!guard || !guard->peerPending())
                    return;
                self->peerResolved(guard.data(), ip, name);
            },
            Qt::QueuedConnection);
    });
}

void LpdServer::onConnectionClosed(LpdConnection* c)
{
    if (m_shuttingDown)
        return;
    if (c->peerPending()) {
        c->setCloseDeferred(true);
        return;
    }
    for (qsizetype i = 0; i < m_connections.size(); ++i) {
        if (m_connections[i].compare(c->peer(), Qt::CaseInsensitive) == 0) {
            m_connections.removeAt(i);
            break;
        }
    }
    m_log.append(QStringLiteral("Remote ") + c->peer() + QStringLiteral(" (was) closed."));
    emit connectionsChanged();
    emit jobsChanged();
    // The job it handed over prints now if its queue is free; the timer disposes of the
    // session.
    finishSpoolChange();
    m_scheduler->wake();
    setHousekeepingInterval(1000);
    startHousekeeping();
    m_log.appendConnecting(QStringLiteral("Session closed, timer started "));
}

void LpdServer::onHousekeepingTick()
{
    finishSpoolChange();
    m_spool.clearLeftSpools();
    if (!m_pendingJobs.isEmpty()) {
        setHousekeepingInterval(5000);
        m_scheduler->wake();
    }
    if (!m_pendingJobs.isEmpty() || !m_sessions.empty() || m_spool.isChanging()) {
        sessionHalf();
        if (m_pendingJobs.isEmpty() && m_sessions.empty() && !m_spool.isChanging()) {
            setHousekeepingInterval(5000);
            m_housekeeping.stop();
            m_log.appendConnecting(QStringLiteral("Timer1: nothing to do, disabeling timer"));
        }
    } else {
        setHousekeepingInterval(5000);
        m_housekeeping.stop();
        m_log.appendConnecting(QStringLiteral("Timer1: Nothing to do, timer disabled"));
    }
}

void LpdServer::sessionHalf()
{
    const qint64 limitMs = qint64(m_settings.timeoutMinutes) * 60000;
    int n = 0;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        ++n;
        LpdConnection* c = it->get();
        const bool idle = Clock::nowMs() > c->lastActivity() + limitMs;
        // A closed session whose peer name is still being looked up waits for it.
        if ((c->isActive() && !idle) || (!c->isActive() && c->peerPending() && !idle)) {
            ++it;
            continue;
        }
        if (c->isActive())
            m_log.append(c->peer() + QStringLiteral(" Timeout - closed."));
        m_log.appendConnecting(QStringLiteral("Timer1: Session ") + QString::number(n) +
                               QStringLiteral(" to be disposed"));
        if (c->peerPending()) {
            c->setPeerPending(false);
            if (c->closeDeferred())
                onConnectionClosed(c);
        }
        // Destroys the connection, closing it first. The walk goes on behind it: the nodes
        // before it were kept a moment ago, and walking them again for every node disposed
        // of would take quadratic time with a second's worth of closed sessions.
        it = m_sessions.erase(it);
        --n;
    }
    m_sessionCount = n;
    emit sessionCountChanged(n);
}

int LpdServer::runningPrints() const
{
    return m_scheduler->runningPrints();
}

bool LpdServer::printing() const
{
    return m_scheduler->runningPrints() > 0;
}

void LpdServer::recoverSpooledJobs()
{
    // The scan sees the folders as the connections left them, lock files removed.
    m_spoolWorker->drain();
    scanSpool();
}

void LpdServer::scanSpool()
{
    for (const PrinterDefinition& printer : m_printers) {
        const QString& queue = printer.queue;
        m_log.append(QStringLiteral("Scanning for old jobs for printer ") + queue);
        if (!queue.isEmpty())
            SpoolRecovery(m_pendingJobs, m_spool, m_log).recoverQueue(queue);
    }
    // A job for a CUPS printer without a definition of its own waits in a folder named after
    // that printer; it prints there too (see PrintScheduler), so it is found again. The list
    // of CUPS printers may not have arrived yet: every such folder counts.
    for (const QString& queue :
         QDir(m_spool.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (queue.startsWith(QLatin1Char('.')) || findPrinter(m_printers, queue))
            continue;
        m_log.append(QStringLiteral("Scanning for old jobs for printer ") + queue);
        SpoolRecovery(m_pendingJobs, m_spool, m_log).recoverQueue(queue);
    }
    emit jobsChanged();
    if (!m_pendingJobs.isEmpty()) {
        m_scheduler->wake();
        startHousekeeping();
    }
}

void LpdServer::recordRemoval(const SpoolJob& job, const QString& by)
{
    QString error;
    if (!m_accounting.recordRemoval(job, by, &error))
        m_log.append(QStringLiteral("ERROR: Accounting file ") + m_accounting.path() +
                     QStringLiteral(": ") + error);
}

QStringList LpdServer::dequeue(const QStringList& jobKeys)
{
    const QStringList folders = queueFolders();
    const QSet<QString> selected(jobKeys.cbegin(), jobKeys.cend());
    m_pendingJobs.removeIf(
        [&](const PendingJobList::Entry& e) {
            return selected.contains(jobKey(*e.job)) ? PendingJobList::Verdict::Remove
                                                     : PendingJobList::Verdict::Keep;
        },
        [&](const SpoolJob& job) {
            const QString dir = m_spool.folderPath(queueFolderFor(folders, job.queue));
            if (const QString why = deleteJobFiles(dir, job); !why.isEmpty())
                m_log.append(QStringLiteral("ERROR: Files of ") + job.controlFile +
                             QStringLiteral(" not removed: ") + dir + QLatin1Char(' ') + why);
            recordRemoval(job, QStringLiteral("by Dequeue"));
        });
    emit jobsChanged();
    // A queue that waited for a removed job goes on.
    m_scheduler->wake();
    QStringList printing;
    for (const QString& key : jobKeys) {
        if (m_pendingJobs.containsJob(key))
            printing << key;
    }
    return printing;
}

QHash<QString, PendingJobList::RetryingHead> LpdServer::jobsAwaitingRetry() const
{
    QHash<QString, PendingJobList::RetryingHead> waiting;
    for (const PendingJobList::RetryingHead& head : m_pendingJobs.retryingHeads())
        waiting.insert(head.display, head);
    return waiting;
}
