#pragma once
// SIGTERM, SIGINT and SIGHUP reach the event loop through a self-pipe and a
// QSocketNotifier, so that nothing of Qt runs inside a signal handler. SIGHUP asks for
// lpd.ini to be read again (systemctl reload); SIGPIPE (a client gone while an answer is
// written) is ignored.

#include <QObject>

class QSocketNotifier;

class UnixSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UnixSignals)

public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;

    // Every signal back to its default and none blocked, whatever the launcher left: with
    // SIGCHLD ignored, for one, the kernel reaps print commands itself and their exit
    // status is lost. Called first thing at start.
    static void resetToDefaults();

signals:
    void terminateRequested(int signalNumber);
    void reloadRequested();

private:
    QSocketNotifier* m_notifier = nullptr;
};
