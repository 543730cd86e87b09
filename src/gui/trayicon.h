#pragma once
// The tray icon: the way to the window while it is hidden. A left click asks for the window;
// its context menu offers Show and Quit; its tooltip says what the server is doing.
//
// Whether a tray is there is watched all the time, every 5 s: GNOME has none unless an
// extension adds one, a panel may start after the program or go away while it runs. The
// owner learns of each change (trayAvailabilityChanged) and keeps the window reachable
// without one; when a tray appears, the icon appears on it.

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>

class QAction;
class QMenu;

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

    // Shows the icon when a tray is available. True when shown. The watch timer runs either
    // way (except in hide mode).
    bool add();
    void remove();
    bool isShown() const;

    // Whether a system tray is there; the platform's answer unless replaced (tests).
    void setTrayProbe(std::function<bool()> probe) { m_probe = std::move(probe); }
    bool trayAvailable() const { return m_probe(); }

    void setToolTip(const QString& text);
    QString toolTip() const { return m_toolTip; }
    QMenu* contextMenu() const { return m_menu; }
    // The menu's Quit (locked with the window's in protect mode).
    QAction* quitAction() const { return m_quitAction; }

    void onRetryTick();
    // What a click on the icon does.
    void activate(QSystemTrayIcon::ActivationReason reason);

    QTimer& retryTimer() { return m_retryTimer; }

signals:
    void showRequested();
    void quitRequested();
    // A tray appeared (the icon is on it) or went away.
    void trayAvailabilityChanged(bool available);

private:
    QTimer m_retryTimer;
    std::function<bool()> m_probe;
    QString m_toolTip = QStringLiteral("Spoolmere");
    QMenu* m_menu = nullptr;
    QAction* m_quitAction = nullptr;

    QSystemTrayIcon* m_icon = nullptr;
    bool m_hide = false;
    bool m_lastAvailable = false;
};
