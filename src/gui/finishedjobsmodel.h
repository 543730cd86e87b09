#pragma once
// Finished Jobs: the accounting file as a table, newest first, with named columns. It reads
// the file's last lines again whenever the file changed (looked at on `refresh`, which the
// window calls at every change of the job list and once a second while it is shown): new
// lines come in as rows at the top, so a view keeps its place and selection.

#include <QAbstractTableModel>
#include <QDateTime>
#include <QStringList>

#include <vector>

class Accounting;

class FinishedJobsModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FinishedJobsModel)

public:
    // The fields of an accounting line, in the file's order.
    enum Column
    {
        TimeColumn,
        QueueColumn,
        UserColumn,
        HostColumn,
        NumberColumn,
        TitleColumn,
        BytesColumn,
        RouteColumn,
        OutcomeColumn,
        DurationColumn,
        ReasonColumn,
        ColumnCount
    };
    // The most lines shown (the newest).
    static constexpr int RowLimit = 500;

    explicit FinishedJobsModel(const Accounting& accounting, QObject* parent = nullptr);
    ~FinishedJobsModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Reads the file again when it changed since the last look.
    void refresh();
    // The line a row was read from, as in the file.
    QString lineAt(int row) const { return m_lines.at(size_t(row)); }

private:
    const Accounting& m_accounting;
    std::vector<QString> m_lines; // newest first
    std::vector<QStringList> m_fields;
    QString m_path;
    qint64 m_size = -1;
    QDateTime m_modified;
};
