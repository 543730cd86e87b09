#include "gui/finishedjobsdialog.h"

#include "gui/finishedjobsmodel.h"
#include "gui/screenfit.h"
#include "spool/accounting.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>

FinishedJobsDialog::FinishedJobsDialog(const Accounting& accounting, QWidget* parent)
    : QDialog(parent), m_accounting(accounting)
{
    setWindowTitle(QStringLiteral("Finished Jobs"));
    m_model = new FinishedJobsModel(accounting, this);
    m_source = new QLabel(this);
    m_source->setWordWrap(true);
    m_source->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_table = new QTableView(this);
    m_table->setModel(m_model);
    m_table->setAccessibleName(QStringLiteral("Finished jobs"));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->setTabKeyNavigation(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    const int x = fontMetrics().averageCharWidth();
    const int widths[] = {20, 8, 8, 12, 5, 16, 9, 16, 8, 9};
    for (int column = 0; column < int(std::size(widths)); ++column)
        m_table->horizontalHeader()->resizeSection(column, widths[column] * x);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_source);
    layout->addWidget(m_table, 1);
    layout->addWidget(buttons);
    // While it is shown it follows the file, also lines written by another process.
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, &FinishedJobsDialog::refresh);
    resize(screenfit::bounded(this, QSize(x * 120, fontMetrics().height() * 24)));
    refresh();
}

FinishedJobsDialog::~FinishedJobsDialog() = default;

void FinishedJobsDialog::refresh()
{
    m_model->refresh();
    const QString path = m_accounting.path();
    QString text;
    if (path.isEmpty())
        text = QStringLiteral("Accounting is off (ACCOUNTING in lpd.ini).");
    else if (m_model->rowCount() == 0)
        text = QStringLiteral("No job has finished yet (") + path + QStringLiteral(").");
    else
        text = QStringLiteral("Newest first, from ") + path;
    if (m_source->text() != text)
        m_source->setText(text);
}

void FinishedJobsDialog::showEvent(QShowEvent* event)
{
    refresh();
    m_poll.start();
    QDialog::showEvent(event);
}

void FinishedJobsDialog::hideEvent(QHideEvent* event)
{
    m_poll.stop();
    QDialog::hideEvent(event);
}
