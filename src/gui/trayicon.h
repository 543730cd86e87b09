#pragma once
// The tray icon: the way to the window while it is hidden. A left click asks for the window;
// every other click is ignored and there is no menu. When no system tray is there yet (a
// desktop still starting, or none at all), the retry timer tries again every 5 s until one appears.
// A tray that restarts later is Qt's business: it puts a shown icon back by itself.

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

class TrayIcon final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    // Hide mode: no icon is added, re-added or retried. Fixed once start-up has set it.
    bool hideMode() const { return m_hide; }
    void setHideMode(bool on) { m_hide = on; }

    // Shows the icon when a tray is available; otherwise arms the retry timer. True when shown.
    bool add();
    void remove();
    bool isShown() const;

    void onRetryTick();
    // What a click on the icon does.
    void activate(QSystemTrayIcon::ActivationReason reason);

    QTimer& retryTimer() { return m_retryTimer; }

signals:
    void showRequested();

private:
    QTimer m_retryTimer;

    QSystemTrayIcon* m_icon = nullptr;
    bool m_hide = false;
};
