#pragma once
// The server: it wires the listener, the sessions, the pending jobs, the housekeeping timer
// and the log, and is the one place where settings are applied. The same object runs with a
// window and without one; a window only shows this state and calls its operations.

#include "config/logsink.h"
#include "config/printerdefinition.h"
#include "config/settings.h"
#include "spool/accounting.h"
#include "spool/pendingjoblist.h"
#include "spool/spool.h"
#include "spool/spooljob.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <list>
#include <memory>

class InstalledPrinters;
class SpoolWorker;
class PrintScheduler;
class LpdConnection;
class Listener;

class LpdServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LpdServer)

public:
    // installedPrintersRefreshSeconds 0: no CUPS look-ups (tests set the names themselves).
    explicit LpdServer(QString settingsPath, QObject* parent = nullptr,
                       int installedPrintersRefreshSeconds = 30);
    ~LpdServer() override;

    // Reads lpd.ini, listens, recovers old jobs and starts the housekeeping timer when jobs
    // wait. A failure to listen is logged and returned; the rest of the start still happens.
    bool start();
    // Stops taking clients for good, then drops connections without their session-closed
    // handling; files stay for recovery. A running print may end first (for STOPWAIT seconds).
    void shutdown();
    bool isStopping() const { return m_shuttingDown; }

    // Reads lpd.ini at start: values the server cannot use are replaced, with a warning.
    void loadSettings();
    bool saveSettings();
    // SIGHUP: reads lpd.ini again and applies it as Setup's OK does, then the recovery scan
    // (soon after, once the spool worker has done what it was given).
    // A file that cannot be read, is empty or holds a value the server cannot use changes
    // nothing, and neither does a listener that cannot be opened; the log says why, and so
    // does `reason`.
    bool reloadSettings(QString* reason = nullptr);
    void recoverSpooledJobs();
    // Opens the listener on the configured address and port; false with an ERROR line.
    bool startListening();

    // Job > Add...: a job already in its queue folder; it prints when its queue is free.
    void addLocalJob(SpoolJob job);
    // Job > Dequeue: removes exactly the jobs named by their jobKey (queue and control file),
    // except those being printed: a print is never cut off half-way. Returns the keys of
    // those still listed because they print.
    QStringList dequeue(const QStringList& jobKeys);

    // The state a window shows.
    const Settings& settings() const { return m_settings; }
    // Takes new settings into effect for what comes next (new connections, the next print
    // pass), all or nothing: values the server cannot use, or a new address or port that
    // cannot be listened on, change nothing, and `reason` says why (the ERROR line of a
    // listener is logged too). Open connections go on. A new spool folder takes the waiting
    // jobs' files along: at once when nothing prints or arrives in the old one, else new
    // jobs arrive in the new one from now on and the move follows when the old one is quiet
    // (no print starts meanwhile). The caller saves the settings.
    bool applySettings(const Settings& settings, QString* reason = nullptr);
    // The printer definitions of the settings, parsed.
    const QList<PrinterDefinition>& printers() const { return m_printers; }
    const QString& settingsPath() const { return m_settingsPath; }
    LogSink& log() { return m_log; }
    PendingJobList& pendingJobs() { return m_pendingJobs; }
    // What the window lists: the waiting jobs, oldest first, as "queue user number".
    QStringList waitingJobs() const { return m_pendingJobs.displayStrings(); }
    // The waiting jobs that wait for another attempt (the first job of a queue in back-off),
    // by their display string, with the attempt's time and why.
    QHash<QString, PendingJobList::RetryingHead> jobsAwaitingRetry() const;
    Accounting& accounting() { return m_accounting; }
    // A removed job's line in the accounting file (or the reason it could not be written
    // in the log).
    void recordRemoval(const SpoolJob& job, const QString& by);
    // The Connections list: one peer description per session.
    const QStringList& connections() const { return m_connections; }
    // For the window's tests: a Connections list without real clients.
    QStringList& connectionsForTesting() { return m_connections; }
    int sessionCount() const { return m_sessionCount; } // as last counted by the tick
    int runningPrints() const;
    PrintScheduler& scheduler() { return *m_scheduler; }
    // Disposes of closed sessions and wakes the scheduler; runs while there is work.
    const QTimer& housekeepingTimer() const { return m_housekeeping; }

    const QString& spoolDir() const { return m_spool.path(); }
    const Spool& spool() const { return m_spool; }
    quint16 listeningPort() const;
    bool isListening() const;
    bool printing() const;
    InstalledPrinters& installedPrinters() { return *m_installed; }
    int liveSessions() const { return int(m_sessions.size()); }
    // Sessions holding a slot, and clients taken off the kernel's queue waiting for one.
    int openSessions() const;
    int waitingClients() const;
    // Every file that an open connection is still writing or has not handed over.
    QStringList filesInUse() const;

    void onConnectionClosed(LpdConnection* connection);
    void onHousekeepingTick();

signals:
    // The listener is open after a start that found its address or port not yet available.
    void listeningStarted();
    void jobsChanged();
    void connectionsChanged();
    void sessionCountChanged(int count);
    // lpd.ini is there but could not be read or parsed; the server goes on with defaults.
    void settingsFileProblem(const QString& text);
    void settingsApplied();

private:
    // The recovery scan of every queue's folder, as the folders are now.
    void scanSpool();
    void startHousekeeping();
    void setHousekeepingInterval(int ms);
    void sessionHalf();
    // A spool change under way is done once nothing prints and no connection holds files in
    // the old spool: every job moves, all or none, and is listed again from the new one.
    void finishSpoolChange();
    // Accounting follows the spool when its file lives there.
    void configureAccounting();
    // Takes settings the server can use into effect (no check, the listener not moved).
    void commitSettings(const Settings& settings);
    void logListening();
    // A client got a session slot from the listener.
    void startSession(int handle, const QString& ip, int openSessions);
    void admit(LpdConnection* connection, const QString& ip);
    void resolvePeer(LpdConnection* connection, const QString& ip);
    QStringList knownQueues() const;
    QStringList queueFolders() const;
    // The end of admission once the peer's name is known (or known to be missing).
    void peerResolved(LpdConnection* connection, const QString& ip, const QString& name);

    Settings m_settings;
    QList<PrinterDefinition> m_printers;
    const QString m_settingsPath;
    LogSink m_log;
    // Before everything that holds it.
    Spool m_spool;
    PendingJobList m_pendingJobs;
    Accounting m_accounting;
    QStringList m_connections;
    int m_sessionCount = 0;
    QTimer m_housekeeping;

    std::unique_ptr<InstalledPrinters> m_installed;
    // Before the sessions: it outlives every connection that hands it work.
    std::unique_ptr<SpoolWorker> m_spoolWorker;
    std::unique_ptr<Listener> m_listener;
    std::list<std::unique_ptr<LpdConnection>> m_sessions;
    std::unique_ptr<PrintScheduler> m_scheduler;
    bool m_shuttingDown = false;
    // start() opened the listener: from then on a new address or port moves it.
    bool m_listenerWanted = false;
    // Why the spool change under way could not be done yet, as last logged.
    QString m_spoolChangeWait;
    // The new spool's names of the jobs that wait in the old one: no new job takes them.
    QStringList m_spoolChangeClaims;
};
