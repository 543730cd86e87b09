#pragma once
// The Jobs table as the user sees it.

#include "gui/jobtablemodel.h"
#include "gui/mainwindow.h"

#include <QAbstractItemModel>
#include <QStringList>
#include <QTableView>

// Row `row` of the table (in its current sort order) as "queue user number".
inline QString jobRow(const MainWindow& w, int row)
{
    const QAbstractItemModel* m = w.jobTable()->model();
    return m->index(row, JobTableModel::QueueColumn).data().toString() + QLatin1Char(' ') +
           m->index(row, JobTableModel::UserColumn).data().toString() + QLatin1Char(' ') +
           m->index(row, JobTableModel::NumberColumn).data().toString();
}

// Every row, top to bottom.
inline QStringList jobRows(const MainWindow& w)
{
    QStringList out;
    for (int row = 0; row < w.jobTable()->model()->rowCount(); ++row)
        out << jobRow(w, row);
    return out;
}

// The rows selected, top to bottom.
inline QStringList selectedJobRows(const MainWindow& w)
{
    QStringList out;
    for (int row = 0; row < w.jobTable()->model()->rowCount(); ++row) {
        if (w.jobTable()->selectionModel()->isRowSelected(row, {}))
            out << jobRow(w, row);
    }
    return out;
}
