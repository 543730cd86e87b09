#include "shell/trayicon.h"

#include "shell/appicon.h"

TrayIcon::TrayIcon(QObject* parent) : QObject(parent)
{
    Timer2.setInterval(5000);
    connect(&Timer2, &QTimer::timeout, this, &TrayIcon::Timer2Timer);
}

TrayIcon::~TrayIcon()
{
    remove();
}

bool TrayIcon::add()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        Timer2.start();
        return false;
    }
    if (!m_icon) {
        m_icon = new QSystemTrayIcon(AppIcon::icon(), this);
        m_icon->setToolTip(QStringLiteral("Spoolmere"));
        connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activate);
    }
    m_icon->show();
    Timer2.stop();
    return true;
}

void TrayIcon::remove()
{
    if (m_icon)
        m_icon->hide();
}

bool TrayIcon::isShown() const
{
    return m_icon && m_icon->isVisible();
}

void TrayIcon::Timer2Timer()
{
    if (m_hide) {
        Timer2.stop();
        return;
    }
    add();
}

void TrayIcon::activate(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        emit showRequested();
}
