#include "gui/trayicon.h"

#include "gui/appicon.h"

#include <QMenu>

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), m_menu(new QMenu)
{
    m_probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    m_retryTimer.setInterval(5000);
    connect(&m_retryTimer, &QTimer::timeout, this, &TrayIcon::onRetryTick);
    connect(m_menu->addAction(QStringLiteral("&Show Spoolmere")), &QAction::triggered, this,
            &TrayIcon::showRequested);
    m_menu->addSeparator();
    m_quitAction = m_menu->addAction(QStringLiteral("&Quit"));
    connect(m_quitAction, &QAction::triggered, this, &TrayIcon::quitRequested);
}

TrayIcon::~TrayIcon()
{
    remove();
    // QSystemTrayIcon does not own its menu.
    delete m_icon;
    delete m_menu;
}

bool TrayIcon::add()
{
    if (m_hide)
        return false;
    m_retryTimer.start();
    m_lastAvailable = trayAvailable();
    if (!m_lastAvailable)
        return false;
    if (!m_icon) {
        m_icon = new QSystemTrayIcon(AppIcon::icon());
        m_icon->setToolTip(m_toolTip);
        m_icon->setContextMenu(m_menu);
        connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activate);
    }
    m_icon->show();
    return true;
}

void TrayIcon::remove()
{
    m_retryTimer.stop();
    if (m_icon)
        m_icon->hide();
}

bool TrayIcon::isShown() const
{
    return m_icon && m_icon->isVisible() && m_lastAvailable;
}

void TrayIcon::setToolTip(const QString& text)
{
    m_toolTip = text;
    if (m_icon)
        m_icon->setToolTip(text);
}

void TrayIcon::onRetryTick()
{
    if (m_hide) {
        m_retryTimer.stop();
        return;
    }
    const bool available = trayAvailable();
    if (available == m_lastAvailable)
        return;
    if (available) {
        add();
    } else {
        m_lastAvailable = false;
        // Qt would put the icon back by itself when a tray returns; the next tick does it
        // here, so the owner hears of it.
        if (m_icon)
            m_icon->hide();
    }
    emit trayAvailabilityChanged(available);
}

void TrayIcon::activate(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        emit showRequested();
}
