#include "gui/desktopshell.h"

#include "gui/commandwiring.h"
#include "gui/mainwindow.h"
#include "gui/printercommands.h"
#include "gui/screenfit.h"
#include "gui/trayicon.h"
#include "gui/waitnotice.h"
#include "platform/controlchannel.h"
#include "protocol/lpdserver.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>

#include <QSettings>
#include <QString>
#include <QTimer>

#include <cstdio>

namespace {

const QString PlacementKey = QStringLiteral("MainWindow/geometry");

// The window's size and place between runs: the desktop's business, not lpd.ini's, so
// beside it in the user's configuration folder ($XDG_CONFIG_HOME/spoolmere/desktop.ini).
QSettings placementStore()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("spoolmere"),
                     QStringLiteral("desktop"));
}

} // namespace

DesktopShell::DesktopShell(LpdServer& core, ControlChannel& channel, QString runtimeDir,
                           CommandLine options, QObject* parent)
    : QObject(parent), m_core(core), m_channel(channel), m_runtimeDir(std::move(runtimeDir)),
      m_options(std::move(options)), m_window(std::make_unique<MainWindow>(core)),
      m_tray(std::make_unique<TrayIcon>())
{
    // The window comes and goes while the program runs on: only closing it ends the
    // program, never the last visible dialog closing while the window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    // At scale 2 or with large text a dialog's own size can exceed a small screen.
    screenfit::fitEveryWindow();
    const auto quit = [this] {
        // Now, while the native window still exists: a closed window loses it.
        savePlacement();
        QCoreApplication::exit(0);
    };
    connect(m_window.get(), &MainWindow::closed, this, quit);
    connect(m_window.get(), &MainWindow::quitRequested, this, quit);
    // The tray's Quit asks and is locked as the window's is.
    connect(m_tray.get(), &TrayIcon::quitRequested, m_window.get(), &MainWindow::requestQuit);
    connect(m_window.get(), &MainWindow::protectModeChanged, m_tray->quitAction(),
            [this](bool on) { m_tray->quitAction()->setEnabled(!on); });
    connect(m_tray.get(), &TrayIcon::showRequested, m_window.get(), &MainWindow::showAndRaise);
    connect(m_tray.get(), &TrayIcon::trayAvailabilityChanged, this,
            &DesktopShell::onTrayAvailabilityChanged);
    // The tooltip says what the server does; the watch tick catches a listener that moved.
    connect(&m_core, &LpdServer::jobsChanged, this, &DesktopShell::updateToolTip);
    connect(&m_core, &LpdServer::settingsApplied, this, &DesktopShell::updateToolTip);
    connect(&m_tray->retryTimer(), &QTimer::timeout, this, &DesktopShell::updateToolTip);
}

DesktopShell::~DesktopShell()
{
    finish();
}

bool DesktopShell::start()
{
    // A broken lpd.ini is logged by the core; with a window the user sees it too.
    const auto problem =
        connect(&m_core, &LpdServer::settingsFileProblem, this, [this](const QString& text) {
            QMessageBox::warning(m_window.get(), QStringLiteral("Error"), text);
        });
    m_core.loadSettings();
    disconnect(problem);
    m_window->refreshPrinters();
    // The socket layer's report is the line it logs; the same text goes in the box.
    QString report;
    const auto capture = connect(&m_core.log(), &LogSink::lineAppended, this,
                                 [&report](const QString& line) { report = line; });
    const bool listening = m_core.startListening();
    disconnect(capture);
    // Without a listener the old jobs wait: Setup's OK scans for them once the port is fixed.
    if (listening)
        m_core.recoverSpooledJobs();
    m_tray->setHideMode(m_options.hide);
    const bool tray = !m_options.hide && m_tray->add();
    m_window->setTrayAvailable(tray);
    updateToolTip();
    // Nothing here registers as a system service.
    m_window->setServiceStatus(QStringLiteral("Running in this desktop session"));
    connect(&m_channel, &ControlChannel::messageReceived, this,
            &DesktopShell::handleControlMessage);
    // Without the socket the window still works; only steering from outside is lost, and
    // protect mode below must not depend on it.
    if (!m_runtimeDir.isEmpty() && !m_channel.isListening() && !m_channel.listen(m_runtimeDir))
        std::fprintf(stderr, "spoolmere: no control messages: %s\n", qPrintable(m_channel.error()));
    // A server that cannot listen must be fixable in Setup, so the File menu stays open.
    if (m_options.protect && listening)
        m_window->setProtectMode(true);
    m_window->createDialogs();
    // The setup dialog and the printer commands take over File and Job > Add....
    m_commands = std::make_unique<PrinterCommands>(m_core, m_window.get());
    attachPrinterCommands(*m_window, *m_commands);
    m_window->restoreGeometry(placementStore().value(PlacementKey).toByteArray());
    if (!listening) {
        // Whatever the arguments: the user sees what the failure means and can fix it.
        m_window->showAndRaise();
        // The listener's line names address, port and the system's reason; the box adds
        // what it means and where to fix it.
        QString reason = report.section(QLatin1Char(' '), 1);
        const QString port =
            m_core.settings().port.isEmpty() ? QStringLiteral("515") : m_core.settings().port;
        if (!reason.startsWith(QLatin1String("Cannot listen on ")))
            reason = QStringLiteral("Cannot listen on port %1: ").arg(port) + reason;
        showStartupError(reason + QStringLiteral("\n\nNo jobs can arrive; choose another port "
                                                 "in File > Setup."));
        return false;
    }
    // Without a tray (GNOME's default) a hidden window could not be reached at all. Hide mode
    // asked for no icon; there "lpdshow" is the way in.
    if (m_options.open || (!tray && !m_options.hide))
        m_window->show();
    return true;
}

void DesktopShell::onTrayAvailabilityChanged(bool available)
{
    m_window->setTrayAvailable(available);
    // The way back to a hidden window went with the tray.
    if (!available && (!m_window->isVisible() || m_window->isMinimized()))
        m_window->showAndRaise();
}

void DesktopShell::updateToolTip()
{
    QString text = QStringLiteral("Spoolmere\n");
    if (m_core.isListening())
        text += QStringLiteral("Listening on port %1").arg(m_core.listeningPort());
    else
        text += QStringLiteral("Not listening");
    const int waiting = m_core.pendingJobs().count();
    text += waiting == 1 ? QStringLiteral("\n1 job waiting")
                         : QStringLiteral("\n%1 jobs waiting").arg(waiting);
    m_tray->setToolTip(text);
}

// Not a nested loop: "lpddown" while the box is up must end the program, and the control
// channel is served by the main loop.
void DesktopShell::showStartupError(const QString& message)
{
    m_startupError = message;
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"), message,
                                QMessageBox::Ok, m_window.get());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    // Once the loop runs and the window is up, so the box lands in front of it.
    QTimer::singleShot(0, box, [box] { box->show(); });
}

void DesktopShell::handleControlMessage(const QString& word)
{
    if (word == QLatin1String("lpdshow")) {
        m_window->showAndRaise();
    } else if (word == QLatin1String("lpddown")) {
        // Other receivers get "lpdshow" when the program has ended (see main).
        QCoreApplication::exit(0);
    } else if (word == QLatin1String("lpduprot")) {
        m_window->setProtectMode(false);
    } else if (word == QLatin1String("lpdprot")) {
        m_window->setProtectMode(true);
    }
}

void DesktopShell::savePlacement()
{
    // A window never shown (or already closed) has no place of its own to remember.
    if (m_window && m_window->testAttribute(Qt::WA_WState_Created))
        placementStore().setValue(PlacementKey, m_window->saveGeometry());
}

void DesktopShell::finish()
{
    savePlacement();
    if (m_tray)
        m_tray->remove();
    m_channel.close();
    if (m_stoppingNotice || !m_window)
        return;
    if (const QString text = stoppingText(m_core); !text.isEmpty()) {
        m_window->hide();
        m_stoppingNotice =
            std::make_unique<WaitNotice>(QStringLiteral("Spoolmere is stopping"), text);
        m_stoppingNotice->show();
    }
}
