#include "gui/trayicon.h"

#include "gui/appicon.h"

TrayIcon::TrayIcon(QObject* parent) : QObject(parent)
{
    m_retryTimer.setInterval(5000);
    connect(&m_retryTimer, &QTimer::timeout, this, &TrayIcon::onRetryTick);
}

TrayIcon::~TrayIcon()
{
    remove();
}

bool TrayIcon::add()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        m_retryTimer.start();
        return false;
    }
    if (!m_icon) {
        m_icon = new QSystemTrayIcon(AppIcon::icon(), this);
        m_icon->setToolTip(QStringLiteral("Spoolmere"));
        connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activate);
    }
    m_icon->show();
    m_retryTimer.stop();
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

void TrayIcon::onRetryTick()
{
    if (m_hide) {
        m_retryTimer.stop();
        return;
    }
    add();
}

void TrayIcon::activate(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        emit showRequested();
}
