#include "gui/jobtablemodel.h"

#include "config/printerdefinition.h"
#include "protocol/lpdserver.h"
#include "spool/pendingjoblist.h"
#include "spool/printscheduler.h"
#include "spool/spooljob.h"

#include <QApplication>
#include <QDateTime>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QStyle>

#include <algorithm>

namespace {

QString clockTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
}

QString arrivalText(qint64 ms)
{
    if (ms <= 0)
        return {};
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(ms);
    return at.date() == QDate::currentDate() ? at.toString(QStringLiteral("HH:mm:ss"))
                                             : at.toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

QString jobHost(const SpoolJob& job)
{
    return job.host.isEmpty() ? job.controlFile.mid(6) : job.host;
}

JobTableModel::JobTableModel(LpdServer& core, QObject* parent)
    : QAbstractTableModel(parent), m_core(core)
{
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &JobTableModel::refresh);
    refresh();
}

JobTableModel::~JobTableModel() = default;

int JobTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int JobTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant JobTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case QueueColumn:
        return QStringLiteral("Queue");
    case NumberColumn:
        return QStringLiteral("Job");
    case UserColumn:
        return QStringLiteral("User");
    case HostColumn:
        return QStringLiteral("Host");
    case TitleColumn:
        return QStringLiteral("Title");
    case SizeColumn:
        return QStringLiteral("Size");
    case ArrivedColumn:
        return QStringLiteral("Arrived");
    case StateColumn:
        return QStringLiteral("State");
    default:
        return {};
    }
}

QVariant JobTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const Row& row = m_rows[size_t(index.row())];
    const SpoolJob& job = *row.job;
    const int column = index.column();
    if (role == SortRole) {
        switch (column) {
        case NumberColumn:
            return job.jobNumber;
        case SizeColumn:
            return job.size;
        case ArrivedColumn:
            return job.arrivedMs;
        case StateColumn:
            return int(row.state);
        default:
            return data(index, Qt::DisplayRole).toString().toCaseFolded();
        }
    }
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case QueueColumn:
            return job.queue;
        case NumberColumn:
            return QString::number(job.jobNumber);
        case UserColumn:
            return job.user;
        case HostColumn:
            return jobHost(job);
        case TitleColumn:
            return job.title;
        case SizeColumn:
            return QLocale().formattedDataSize(qint64(job.size));
        case ArrivedColumn:
            return arrivalText(job.arrivedMs);
        case StateColumn:
            return row.stateText;
        default:
            return {};
        }
    case Qt::ToolTipRole:
        // A cell too narrow for its text shows it whole here; the state says which job.
        return column == StateColumn ? QStringLiteral("%1 %2 (%3): %4")
                                           .arg(job.queue, QString::number(job.jobNumber),
                                                job.controlFile, row.stateText)
                                     : data(index, Qt::DisplayRole);
    case Qt::AccessibleDescriptionRole:
        // Whatever cell the keyboard is on, a screen reader can tell what the job is doing.
        return row.stateText;
    case Qt::TextAlignmentRole:
        return column == NumberColumn || column == SizeColumn
                   ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                   : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::DecorationRole:
        if (column == StateColumn && row.state == State::Retry)
            return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
        return {};
    default:
        return {};
    }
}

QString JobTableModel::jobKeyAt(int row) const
{
    return row >= 0 && row < int(m_rows.size()) ? m_rows[size_t(row)].key : QString();
}

const SpoolJob& JobTableModel::jobAt(int row) const
{
    return *m_rows.at(size_t(row)).job;
}

JobTableModel::State JobTableModel::stateAt(int row) const
{
    return m_rows.at(size_t(row)).state;
}

QString JobTableModel::stateTextAt(int row) const
{
    return m_rows.at(size_t(row)).stateText;
}

int JobTableModel::rowOf(const QString& jobKey) const
{
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].key == jobKey)
            return int(i);
    }
    return -1;
}

void JobTableModel::scheduleRefresh()
{
    if (m_refreshTimer.isActive())
        return;
    const qint64 since = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : RefreshIntervalMs;
    m_refreshTimer.start(int(std::clamp<qint64>(RefreshIntervalMs - since, 0, RefreshIntervalMs)));
}

void JobTableModel::refresh()
{
    m_refreshTimer.stop();
    m_sinceRefresh.start();
    apply(currentRows());
}

std::vector<JobTableModel::Row> JobTableModel::currentRows() const
{
    PendingJobList& pending = m_core.pendingJobs();
    QHash<const SpoolJob*, PendingJobList::RetryingHead> retries;
    for (PendingJobList::RetryingHead& head : pending.retryingHeads())
        retries.insert(head.job.get(), std::move(head));
    QHash<QString, PrintScheduler::QueueState> queues;
    for (const PrintScheduler::QueueState& state : m_core.scheduler().queueStates())
        queues.insert(queueKey(state.queue), state);
    const QList<PrinterDefinition>& printers = m_core.printers();

    const std::vector<PendingJobList::Entry> entries = pending.snapshot();
    std::vector<Row> rows;
    rows.reserve(entries.size());
    const QString waiting = QStringLiteral("Waiting");
    for (const PendingJobList::Entry& e : entries) {
        Row row{e.job, jobKey(*e.job), State::Waiting, waiting};
        const auto queue = queues.constFind(queueKey(e.job->queue));
        if (e.printing) {
            row.state = State::Printing;
            row.stateText = QStringLiteral("Printing");
            if (queue != queues.constEnd() && queue->runningJob == e.job->controlFile &&
                queue->runningSinceMs > 0)
                row.stateText += QStringLiteral(" since ") + clockTime(queue->runningSinceMs);
        } else if (const auto retry = retries.constFind(e.job.get()); retry != retries.constEnd()) {
            // A job that could not be tried says why; a failed print's reason is its queue's.
            QString why = retry->waitReason;
            if (why.isEmpty() && queue != queues.constEnd())
                why = queue->lastReason;
            row.state = State::Retry;
            row.stateText = QStringLiteral("Waiting for a retry at ") +
                            clockTime(retry->retryAtMs) +
                            (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
        } else if (const PrinterDefinition* printer = findPrinter(printers, e.job->queue);
                   printer && printer->printingDisabled) {
            row.state = State::PrintingDisabled;
            row.stateText = QStringLiteral("Printing disabled");
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void JobTableModel::apply(std::vector<Row> fresh)
{
    // The core's list only appends and removes; it never reorders. So the rows that stay are
    // in the same order in both, and the change is removals, then insertions between them.
    QHash<const SpoolJob*, qsizetype> freshAt;
    freshAt.reserve(qsizetype(fresh.size()));
    for (size_t i = 0; i < fresh.size(); ++i)
        freshAt.insert(fresh[i].job.get(), qsizetype(i));

    for (int last = int(m_rows.size()) - 1; last >= 0;) {
        if (freshAt.contains(m_rows[size_t(last)].job.get())) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !freshAt.contains(m_rows[size_t(first - 1)].job.get()))
            --first;
        beginRemoveRows({}, first, last);
        m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    qsizetype previous = -1;
    for (const Row& row : m_rows) {
        const qsizetype at = freshAt.value(row.job.get());
        if (at <= previous) {
            // Not the order the list keeps; start over rather than show a wrong table.
            beginResetModel();
            m_rows = std::move(fresh);
            endResetModel();
            return;
        }
        previous = at;
    }

    size_t row = 0;
    for (size_t j = 0; j < fresh.size();) {
        if (row < m_rows.size() && m_rows[row].job == fresh[j].job) {
            Row& kept = m_rows[row];
            if (kept.state != fresh[j].state || kept.stateText != fresh[j].stateText) {
                kept.state = fresh[j].state;
                kept.stateText = std::move(fresh[j].stateText);
                emit dataChanged(index(int(row), 0), index(int(row), StateColumn));
            }
            ++row;
            ++j;
            continue;
        }
        const SpoolJob* next = row < m_rows.size() ? m_rows[row].job.get() : nullptr;
        size_t end = j;
        while (end < fresh.size() && fresh[end].job.get() != next)
            ++end;
        beginInsertRows({}, int(row), int(row + end - j) - 1);
        m_rows.insert(m_rows.begin() + qsizetype(row),
                      std::make_move_iterator(fresh.begin() + qsizetype(j)),
                      std::make_move_iterator(fresh.begin() + qsizetype(end)));
        endInsertRows();
        row += end - j;
        j = end;
    }
}
