#pragma once
// Job > Finished Jobs: the accounting file's newest lines in a table that follows the file
// while the window is open. Not modal: the main window goes on beside it.

#include <QDialog>
#include <QTimer>

class Accounting;
class FinishedJobsModel;
class QLabel;
class QTableView;

class FinishedJobsDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FinishedJobsDialog)

public:
    FinishedJobsDialog(const Accounting& accounting, QWidget* parent = nullptr);
    ~FinishedJobsDialog() override;

    FinishedJobsModel* model() const { return m_model; }
    QTableView* table() const { return m_table; }
    // Where the lines come from, or why there are none.
    QLabel* sourceLabel() const { return m_source; }

    // Reads the file again if it changed (the window calls it when jobs change).
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    const Accounting& m_accounting;
    FinishedJobsModel* m_model = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_source = nullptr;
    QTimer m_poll;
};
