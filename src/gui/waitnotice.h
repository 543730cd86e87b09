#pragma once
// The small windows of a stop that takes time, so that nothing happens without a word on
// screen:
//  - the server that is stopping shows which print it waits for and until when;
//  - a start meanwhile shows that it waits for that server, and goes on by itself once it
//    has stopped (a second server could not run beside it: the instance lock and the port).

#include <QWidget>

class InstanceLock;
class LpdServer;
class QLabel;
class QPushButton;

class WaitNotice final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WaitNotice)

public:
    // `cancelText` empty: no button.
    WaitNotice(const QString& title, const QString& text, const QString& cancelText = {});
    ~WaitNotice() override;

    void setText(const QString& text);
    QString text() const;
    QPushButton* cancelButton() const { return m_cancel; }

signals:
    void cancelled();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_text = nullptr;
    QPushButton* m_cancel = nullptr;
};

// What the stopping server says, or empty when no print runs (the stop is then immediate).
QString stoppingText(LpdServer& core);

// A start that found the instance lock held and the running server deaf to "lpdshow": that
// server is stopping (or stuck). Shows so and waits until `lock` is ours; false when the user
// cancelled. `stopWaitSeconds`: how long a stopping server waits for its print (STOPWAIT).
bool waitForStoppingServer(InstanceLock& lock, int stopWaitSeconds);
