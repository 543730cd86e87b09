#include "shell/desktopshell.h"

#include "config/ui/printercommands.h"
#include "platform/controlchannel.h"
#include "protocol/lpdserver.h"
#include "shell/commandwiring.h"
#include "shell/mainwindow.h"
#include "shell/trayicon.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

DesktopShell::DesktopShell(LpdServer& core, ControlChannel& channel, QString runtimeDir,
                           CommandLine options, QObject* parent)
    : QObject(parent), m_core(core), m_channel(channel), m_runtimeDir(std::move(runtimeDir)),
      m_options(std::move(options)), m_window(std::make_unique<MainWindow>(core)),
      m_tray(std::make_unique<TrayIcon>())
{
    // The window comes and goes while the program runs on: only closing it ends the
    // program, never the last visible dialog closing while the window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setApplicationDisplayName(QString());
    connect(m_window.get(), &MainWindow::closed, this, [] { QCoreApplication::exit(0); });
    connect(m_tray.get(), &TrayIcon::showRequested, m_window.get(), &MainWindow::showAndRaise);
}

DesktopShell::~DesktopShell()
{
    finish();
}

bool DesktopShell::fail(const QString& message)
{
    m_startupError = message;
    QMessageBox::critical(m_window.get(), QStringLiteral("Spoolmere"), message);
    return false;
}

bool DesktopShell::start()
{
    const bool ok = [this] {
        // A broken lpd.ini is logged by the core; with a window the user sees it too.
        const auto problem =
            connect(&m_core, &LpdServer::settingsFileProblem, this, [this](const QString& text) {
                QMessageBox::warning(m_window.get(), QStringLiteral("Spoolmere"), text);
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
        if (!listening)
            return fail(report);
        m_core.recoverSpooledJobs();
        m_tray->setHideMode(m_options.hide);
        if (!m_options.hide)
            m_tray->add();
        // Nothing here registers as a system service.
        m_window->setServiceStatus(QStringLiteral("No Win9X"));
        connect(&m_channel, &ControlChannel::messageReceived, this,
                &DesktopShell::handleControlMessage);
        // Without the socket the window still works; only steering from outside is lost,
        // and protect mode below must not depend on it.
        if (!m_runtimeDir.isEmpty() && !m_channel.isListening() && !m_channel.listen(m_runtimeDir))
            std::fprintf(stderr, "spoolmere: no control messages: %s\n",
                         qPrintable(m_channel.error()));
        if (m_options.protect)
            m_window->setProtectMode(true);
        return true;
    }();
    m_window->createDialogs();
    // The setup dialog and the printer commands take over File and Job > Add....
    m_commands = std::make_unique<PrinterCommands>(m_core, m_window.get());
    attachPrinterCommands(*m_window, *m_commands);
    if (m_options.open)
        m_window->show();
    return ok;
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

void DesktopShell::finish()
{
    if (m_tray)
        m_tray->remove();
    m_channel.close();
}
