#include "gui/waitnotice.h"

#include "gui/appicon.h"
#include "gui/jobtablemodel.h"
#include "platform/instancelock.h"
#include "protocol/lpdserver.h"
#include "spool/pendingjoblist.h"

#include <QBoxLayout>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

WaitNotice::WaitNotice(const QString& title, const QString& text, const QString& cancelText)
{
    setWindowTitle(title);
    setWindowIcon(AppIcon::icon());
    setAttribute(Qt::WA_QuitOnClose, false);
    m_text = new QLabel(text);
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A screen reader reads the window's one message when it comes up.
    m_text->setFocusPolicy(Qt::StrongFocus);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    if (!cancelText.isEmpty()) {
        m_cancel = new QPushButton(cancelText);
        connect(m_cancel, &QPushButton::clicked, this, &WaitNotice::cancelled);
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(m_cancel);
        layout->addLayout(row);
    }
    const QFontMetrics metrics = fontMetrics();
    m_text->setMinimumWidth(std::min(metrics.averageCharWidth() * 50, 600));
    setAccessibleName(title);
    setAccessibleDescription(text);
}

WaitNotice::~WaitNotice() = default;

void WaitNotice::setText(const QString& text)
{
    m_text->setText(text);
    setAccessibleDescription(text);
}

void WaitNotice::closeEvent(QCloseEvent* event)
{
    // The title bar's close is the Cancel of a notice that has one.
    if (m_cancel)
        emit cancelled();
    QWidget::closeEvent(event);
}

QString WaitNotice::text() const
{
    return m_text->text();
}

QString stoppingText(LpdServer& core)
{
    if (core.runningPrints() == 0)
        return {};
    QStringList prints;
    for (const PendingJobList::Entry& e : core.pendingJobs().snapshot()) {
        if (e.printing)
            prints << QStringLiteral("job %1 of %2 from %3 on %4")
                          .arg(QString::number(e.job->jobNumber), e.job->user, jobHost(*e.job),
                               e.job->queue);
    }
    const int seconds = std::max(core.settings().stopWaitSeconds, 0);
    const QString until =
        QDateTime::currentDateTime().addSecs(seconds).toString(QStringLiteral("HH:mm:ss"));
    return QStringLiteral("Spoolmere is stopping. It waits for the print of %1 to end, until %2 "
                          "at the latest (STOPWAIT, %3 s); a print still running then is ended "
                          "and its job prints again at the next start.\n\nStarting Spoolmere "
                          "meanwhile waits for this one and then goes on by itself.")
        .arg(prints.isEmpty() ? QStringLiteral("a job") : prints.join(QStringLiteral(", ")), until,
             QString::number(seconds));
}

bool waitForStoppingServer(InstanceLock& lock, int stopWaitSeconds)
{
    // The stopping server waits STOPWAIT for its print, then a few seconds to end it.
    const int expectedSeconds = std::max(stopWaitSeconds, 0) + 10;
    const QString until =
        QDateTime::currentDateTime().addSecs(expectedSeconds).toString(QStringLiteral("HH:mm:ss"));
    WaitNotice notice(
        QStringLiteral("Waiting for Spoolmere to stop"),
        QStringLiteral("The Spoolmere that was running is still stopping: it lets a running print "
                       "end first. It will have stopped by %1 at the latest; this start goes on "
                       "by itself as soon as it has.")
            .arg(until),
        QStringLiteral("Cancel"));
    QEventLoop loop;
    bool acquired = false;
    bool overdue = false;
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (lock.acquire() == InstanceLock::Result::Acquired) {
            acquired = true;
            loop.quit();
            return;
        }
        if (!overdue && waited.elapsed() > qint64(expectedSeconds) * 1000) {
            overdue = true;
            notice.setText(
                QStringLiteral(
                    "It has not stopped after %1 s and may be stuck. End it (\"spoolmere --send "
                    "lpddown\", or end the process), then this start goes on by itself.")
                    .arg(waited.elapsed() / 1000));
        }
    });
    QObject::connect(&notice, &WaitNotice::cancelled, &loop, &QEventLoop::quit);
    // It may have stopped a moment ago.
    if (lock.acquire() == InstanceLock::Result::Acquired)
        return true;
    poll.start(200);
    notice.show();
    loop.exec();
    return acquired;
}
