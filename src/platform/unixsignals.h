#pragma once
// SIGTERM and SIGINT reach the event loop through a self-pipe and a QSocketNotifier, so
// that nothing of Qt runs inside a signal handler. SIGHUP (the end of a log-in session)
// and SIGPIPE (a client gone while an answer is written) are ignored.

#include <QObject>

class QSocketNotifier;

class UnixSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UnixSignals)

public:
    explicit UnixSignals(QObject* parent = nullptr);
    ~UnixSignals() override;

signals:
    void terminateRequested(int signalNumber);

private:
    QSocketNotifier* m_notifier = nullptr;
};
