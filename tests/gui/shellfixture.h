#pragma once
// A core on a temporary lpd.ini and spool (port chosen by the kernel, no CUPS look-ups) for
// the window to show, and a way to answer the modal dialogs the code under test opens.

#include "config/settings.h"
#include "protocol/lpdserver.h"

#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

class ShellFixture : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    std::unique_ptr<LpdServer> core;

    QString ini() const { return dir.path() + QStringLiteral("/lpd.ini"); }
    QString queueDir(const QString& q = QStringLiteral("lp")) const
    {
        return dir.path() + QStringLiteral("/spool/") + q;
    }

    Settings defaults() const
    {
        Settings s;
        s.spoolDir = dir.path() + QStringLiteral("/spool");
        s.port = QString::number(freePort());
        s.hosts = {QStringLiteral("127.0.0.1")};
        // "-": kept, never printed, so the job list stays as the test made it.
        s.printers = {QStringLiteral("-lp /bin/true"), QStringLiteral("-other /bin/true")};
        return s;
    }

    void makeCore(const Settings& s)
    {
        ASSERT_TRUE(saveSettingsFile(ini(), s));
        core = std::make_unique<LpdServer>(ini(), nullptr, 0);
    }
    void makeCore() { makeCore(defaults()); }

    // A job left in the spool by an earlier run: "<queue> <user> <number>".
    void writeOldJob(const char* number, const char* user = "z",
                     const QString& queue = QStringLiteral("lp"))
    {
        QDir().mkpath(queueDir(queue));
        const QByteArray n(number);
        const QByteArray cf = "P" + QByteArray(user) + "\nldfA" + n + "h\n";
        ASSERT_TRUE(writeFile(queueDir(queue) + QStringLiteral("/cfA") + QString::fromLatin1(n) +
                                  QStringLiteral("h"),
                              cf));
        ASSERT_TRUE(writeFile(queueDir(queue) + QStringLiteral("/dfA") + QString::fromLatin1(n) +
                                  QStringLiteral("h"),
                              "data"));
    }

    void TearDown() override
    {
        spinFor(10);
        if (core)
            core->shutdown();
    }
};

// Calls act() on every modal window that comes up, until act() returns true or the time is
// up. The dialogs under test run their own loops, so this polls from a timer.
inline void answerModals(const std::function<bool(QWidget*)>& act, int timeoutMs = 10000)
{
    auto* timer = new QTimer;
    auto handled = std::make_shared<QPointer<QWidget>>();
    auto left = std::make_shared<int>(timeoutMs / 10);
    QObject::connect(timer, &QTimer::timeout, [timer, act, handled, left] {
        QWidget* modal = QApplication::activeModalWidget();
        if (--*left <= 0) {
            timer->deleteLater();
            timer->stop();
            return;
        }
        if (!modal || modal == handled->data() || !modal->isVisible())
            return;
        *handled = modal;
        if (act(modal)) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

// Accepts the next message box that comes up and keeps its text in *shown (and its title
// in *caption).
inline void acceptNextMessageBox(QString* shown, QString* caption = nullptr)
{
    answerModals([shown, caption](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box)
            return false;
        *shown = box->text();
        if (caption)
            *caption = box->windowTitle();
        box->accept();
        return true;
    });
}
