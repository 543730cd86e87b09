#include "gui/finishedjobsmodel.h"

#include "spool/accounting.h"

#include <QFileInfo>
#include <QLocale>

#include <algorithm>

FinishedJobsModel::FinishedJobsModel(const Accounting& accounting, QObject* parent)
    : QAbstractTableModel(parent), m_accounting(accounting)
{
    refresh();
}

FinishedJobsModel::~FinishedJobsModel() = default;

int FinishedJobsModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

int FinishedJobsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FinishedJobsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char* const names[ColumnCount] = {"Time",    "Queue",    "User",  "Host",
                                                   "Job",     "Title",    "Size",  "Printed by",
                                                   "Outcome", "Duration", "Reason"};
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return {};
    return QString::fromLatin1(names[section]);
}

QVariant FinishedJobsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_fields.size()))
        return {};
    const QStringList& fields = m_fields[size_t(index.row())];
    const int column = index.column();
    const QString field = column < fields.size() ? fields[column] : QString();
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case TimeColumn: {
            const QDateTime time = QDateTime::fromString(field, Qt::ISODate);
            return time.isValid()
                       ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                       : field;
        }
        case BytesColumn: {
            bool ok = false;
            const qint64 bytes = field.toLongLong(&ok);
            return ok ? QLocale().formattedDataSize(bytes) : field;
        }
        case DurationColumn:
            return field.isEmpty() ? field : field + QStringLiteral(" s");
        default:
            return field;
        }
    case Qt::ToolTipRole:
        return data(index, Qt::DisplayRole);
    case Qt::TextAlignmentRole:
        return column == NumberColumn || column == BytesColumn || column == DurationColumn
                   ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                   : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    default:
        return {};
    }
}

void FinishedJobsModel::refresh()
{
    const QString path = m_accounting.path();
    const QFileInfo file(path);
    const qint64 size = file.exists() ? file.size() : -1;
    const QDateTime modified = file.exists() ? file.lastModified() : QDateTime();
    if (path == m_path && size == m_size && modified == m_modified)
        return;
    const bool samePath = path == m_path;
    m_path = path;
    m_size = size;
    m_modified = modified;

    QStringList lines = m_accounting.lastLines(RowLimit);
    std::reverse(lines.begin(), lines.end());
    // Lines are only appended: what is new is above the newest line already shown. A file
    // that was replaced (rotated, another path) is read from scratch.
    qsizetype added = -1;
    if (samePath && !m_lines.empty()) {
        const qsizetype at = lines.indexOf(m_lines.front());
        if (at >= 0 &&
            at + qsizetype(m_lines.size()) >= std::min<qsizetype>(lines.size(), RowLimit))
            added = at;
    } else if (samePath && m_lines.empty()) {
        added = lines.size();
    }
    if (added < 0) {
        beginResetModel();
        m_lines.assign(lines.cbegin(), lines.cend());
        m_fields.clear();
        for (const QString& line : std::as_const(m_lines))
            m_fields.push_back(line.split(QLatin1Char('\t')));
        endResetModel();
        return;
    }
    if (added == 0)
        return;
    beginInsertRows({}, 0, int(added) - 1);
    for (qsizetype i = added - 1; i >= 0; --i) {
        m_lines.insert(m_lines.begin(), lines[i]);
        m_fields.insert(m_fields.begin(), lines[i].split(QLatin1Char('\t')));
    }
    endInsertRows();
    if (int(m_lines.size()) > RowLimit) {
        beginRemoveRows({}, RowLimit, int(m_lines.size()) - 1);
        m_lines.resize(RowLimit);
        m_fields.resize(RowLimit);
        endRemoveRows();
    }
}
