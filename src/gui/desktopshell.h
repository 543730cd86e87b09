#pragma once
// Start-up and shut-down with a window. The order matters (each step needs the ones before it):
// settings, listening socket, old jobs, switches, tray icon, service status, control
// messages, protect mode; then the dialogs and the window's first state. Without a tray the
// window shows at start and whenever the tray goes away, so the program is never out of reach. When
// the listener cannot open (the port is taken, or needs a privilege), the window is shown whatever
// the arguments, with the reason in a message box, so the user can fix the port in Setup; old jobs
// and protect mode wait, while the tray icon and the control messages work as usual (so "lpdshow"
// and "lpddown" reach the program).

#include "platform/commandline.h"

#include <QObject>
#include <QString>

#include <memory>

class ControlChannel;
class LpdServer;
class MainWindow;
class PrinterCommands;
class TrayIcon;
class WaitNotice;

class DesktopShell final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopShell)

public:
    // `runtimeDir` is where the control socket goes (beside the instance lock).
    DesktopShell(LpdServer& core, ControlChannel& channel, QString runtimeDir, CommandLine options,
                 QObject* parent = nullptr);
    ~DesktopShell() override;

    // Runs the start-up steps and shows the window when "open" came first. False when the
    // listener could not open (shown to the user).
    bool start();
    // The window's end: tray icon gone, control socket closed. The core and the instance
    // lock are the caller's. When a print runs, the window gives way to a notice of what the
    // stop waits for, shown until the shell goes (after the core's stop).
    void finish();
    WaitNotice* stoppingNotice() const { return m_stoppingNotice.get(); }

    MainWindow& window() { return *m_window; }
    TrayIcon& tray() { return *m_tray; }
    QString startupError() const { return m_startupError; }

    // What the control messages do with a window.
    void handleControlMessage(const QString& word);

private:
    void onTrayAvailabilityChanged(bool available);
    void updateToolTip();
    void showStartupError(const QString& message);
    void savePlacement();

    LpdServer& m_core;
    ControlChannel& m_channel;
    QString m_runtimeDir;
    CommandLine m_options;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<PrinterCommands> m_commands;
    std::unique_ptr<WaitNotice> m_stoppingNotice;
    QString m_startupError;
};
