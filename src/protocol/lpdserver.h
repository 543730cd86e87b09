#pragma once
// The server's run-time state in one owner: settings, the listening socket, the session
// list, the pending jobs, Timer1 and the log. The same object runs with a window and
// without one; a window only shows this state and calls its operations.

#include "config/logsink.h"
#include "config/settings.h"
#include "spool/pendingjoblist.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <list>
#include <memory>

class InstalledPrinters;
class SpoolWorker;
class Tdespool;
class Tlpdconnection;
class TWSocket;

class LpdServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LpdServer)

public:
    // installedPrintersRefreshSeconds 0: no CUPS look-ups (tests set the names themselves).
    explicit LpdServer(QString settingsPath, QObject* parent = nullptr,
                       int installedPrintersRefreshSeconds = 30);
    ~LpdServer() override;

    // Reads lpd.ini, listens, recovers old jobs and starts Timer1 when jobs wait. A failure
    // to listen is logged and returned; the rest of the start still happens.
    bool start();
    // Drops connections without their session-closed handling; files stay for recovery.
    void shutdown();

    void loadsettings();
    bool savesettings();
    void loadoldjobs();
    // (Re)opens the listener on the configured port; false with the report in the log.
    bool startListening();
    // Closes the listening socket and opens it again on the configured port (after the
    // port setting changed). Open connections are sockets of their own and go on.
    bool restartListening();

    // Job > Dequeue: removes the selected jobs except the one being printed.
    void dequeue(const QStringList& selectedDisplayStrings);

    // The state a window shows.
    Settings settings;
    const QString settingsPath;
    LogSink log;
    PendingJobList pendingJobs;
    QStringList connections; // the Connections list: one peer description per session
    int sessionCount = 0;    // as last counted by Timer1
    int runningDespoolers = 0;
    QTimer Timer1;

    QString spoolDir() const;
    quint16 listeningPort() const;
    bool isListening() const;
    bool despoolerRunning() const;
    InstalledPrinters& installedPrinters() { return *m_installed; }
    int liveSessions() const { return int(m_sessions.size()); }
    // Every file that an open connection is still writing or has not handed over.
    QStringList filesInUse() const;

    // Handlers kept under their classic names.
    void WSocket1SessionAvailable(TWSocket* sender, quint16 error);
    void endeproz(Tlpdconnection* connection);
    void Timer1Timer();
    void despoolended();

signals:
    void jobsChanged();
    void connectionsChanged();
    void sessionCountChanged(int count);

private:
    void enableTimer1();
    void setTimer1Interval(int ms);
    void sessionHalf();
    void admit(Tlpdconnection* connection, const QString& ip);
    void resolvePeer(Tlpdconnection* connection, const QString& ip);
    QStringList knownQueues() const;
    QStringList queueFolders() const;

    std::unique_ptr<InstalledPrinters> m_installed;
    // Before the sessions: it outlives every connection that hands it work.
    std::unique_ptr<SpoolWorker> m_spoolWorker;
    std::unique_ptr<TWSocket> WSocket1;
    std::list<std::unique_ptr<Tlpdconnection>> m_sessions;
    // Sessions in m_sessions whose connection is still open (Active). A connection stops
    // being active once, when its socket closes and its OnClosed runs, or when taking over
    // its handle fails.
    int m_activeSessions = 0;
    QPointer<Tdespool> m_despool;
    bool m_shuttingDown = false;
};
