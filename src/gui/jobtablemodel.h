#pragma once
// The Jobs table: one row per waiting job, in the order the jobs arrived, with what tells two
// jobs apart (host, title, when it came) and what each one is doing.
//
// It follows the core by changes, never by a rebuild: the rows of jobs that left are removed,
// new ones inserted, and a row whose state changed is updated in place. A view on it keeps its
// selection, its current row and the anchor Shift extends from, and a screen reader is not
// told of a new table (and reads the focused row again) at every change. Changes that come
// in a burst, a client sending thousands of jobs, cost one pass per interval, not one per job.
//
// A row is a job by its identity, jobKey (queue folder and control file), never by its
// "queue user number": two hosts sending job 0 for one user are two rows.

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class LpdServer;
struct SpoolJob;

class JobTableModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(JobTableModel)

public:
    enum Column
    {
        QueueColumn,
        NumberColumn,
        UserColumn,
        HostColumn,
        TitleColumn,
        SizeColumn,
        ArrivedColumn,
        StateColumn,
        ColumnCount
    };
    // Numbers and times as numbers, for sorting.
    static constexpr int SortRole = Qt::UserRole + 1;

    enum class State
    {
        Waiting,
        Printing,
        Retry, // its print failed or could not be tried; tried again at a set time
        PrintingDisabled
    };

    // The shortest time between two passes over the core's list.
    static constexpr int RefreshIntervalMs = 100;

    explicit JobTableModel(LpdServer& core, QObject* parent = nullptr);
    ~JobTableModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Brings the rows up to the core's list now.
    void refresh();
    // A refresh within RefreshIntervalMs.
    void scheduleRefresh();

    QString jobKeyAt(int row) const;
    const SpoolJob& jobAt(int row) const;
    State stateAt(int row) const;
    // "Waiting", "Printing since 10:02:03", "Waiting for a retry at 10:02:08: exit status 1",
    // "Printing disabled".
    QString stateTextAt(int row) const;
    // The row of the job with this jobKey, or -1.
    int rowOf(const QString& jobKey) const;

private:
    struct Row
    {
        std::shared_ptr<const SpoolJob> job;
        QString key;
        State state = State::Waiting;
        QString stateText;
    };
    std::vector<Row> currentRows() const;
    void apply(std::vector<Row> fresh);

    LpdServer& m_core;
    std::vector<Row> m_rows;
    QTimer m_refreshTimer;
    QElapsedTimer m_sinceRefresh;
};

// The host a job came from: its control file's H line, else the host its name carries
// (RFC 1179: "cfA", three digits, the host).
QString jobHost(const SpoolJob& job);
