#include "gui/mainwindow.h"

#include "config/printerdefinition.h"
#include "gui/aboutdialog.h"
#include "gui/appicon.h"
#include "gui/extendedlogdialog.h"
#include "gui/finishedjobsdialog.h"
#include "gui/helpopener.h"
#include "gui/jobtablemodel.h"
#include "gui/logtime.h"
#include "protocol/lpdserver.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QTableView>
#include <QTimer>

#include <algorithm>

namespace {

const char* const HelpContext = "helpContext";

// A caption above its control: its access key leads there, and a screen reader names the
// control after it.
QLabel* labelFor(const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    buddy->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    return label;
}

// A caption and its control, the control taking what room the column gives it.
QVBoxLayout* captioned(QLabel* label, QWidget* control)
{
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->addWidget(label);
    column->addWidget(control, 1);
    return column;
}

} // namespace

MainWindow::MainWindow(LpdServer& core, QWidget* parent) : QMainWindow(parent), m_core(core)
{
    setWindowTitle(QStringLiteral("Spoolmere"));
    setWindowIcon(AppIcon::icon());
    setProperty(HelpContext, 1);
    buildControls();
    buildMenus();
    updateJobActions();
    // What the layout needs at the current font and scale, room for the Jobs table's columns,
    // and never more than the screen: the lists and the log grow with the window.
    const QFontMetrics metrics = fontMetrics();
    QSize start =
        sizeHint().expandedTo(QSize(metrics.averageCharWidth() * 110, metrics.height() * 30));
    if (const QScreen* s = screen())
        start = start.boundedTo(s->availableGeometry().size() * 9 / 10);
    resize(start);

    connect(&m_core.log(), &LogSink::lineAppended, this, &MainWindow::appendLog);
    connect(&m_core, &LpdServer::jobsChanged, m_jobModel, &JobTableModel::scheduleRefresh);
    connect(&m_core, &LpdServer::settingsApplied, this, &MainWindow::refreshPrinters);
    // A printer whose printing was switched off or on changes its jobs' state.
    connect(&m_core, &LpdServer::settingsApplied, m_jobModel, &JobTableModel::scheduleRefresh);
    connect(&m_core, &LpdServer::connectionsChanged, this, &MainWindow::refreshConnections);
    connect(&m_core, &LpdServer::sessionCountChanged, this, &MainWindow::showSessionCount);
    // Not `activated`: desktops that activate items on a single click would open the editor
    // on every selection. Enter is caught by the event filter.
    connect(m_printerList, &QListWidget::doubleClicked, this,
            [this](const QModelIndex& index) { activatePrinter(index.row()); });
    m_printerList->installEventFilter(this);

    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &MainWindow::showContextHelp);
    // Delete in the Jobs table dequeues, as the menu entry shows.
    auto* dequeue =
        new QShortcut(QKeySequence::Delete, m_jobTable, nullptr, nullptr, Qt::WidgetShortcut);
    connect(dequeue, &QShortcut::activated, this, &MainWindow::onDequeue);

    for (const QString& line : m_core.log().lines())
        appendLog(line);
    refreshPrinters();
    refreshJobs();
    refreshConnections();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    auto* client = new QWidget(this);
    setCentralWidget(client);

    m_printerList = new QListWidget;
    m_printerList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_printerList->setToolTip(QStringLiteral("All LPD printers; double-click one to set it up"));
    m_printerList->setProperty(HelpContext, 5);

    m_logView = new QPlainTextEdit;
    m_logView->setReadOnly(true);
    m_logView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setMaximumBlockCount(m_core.log().capacity());
    // Read-only text is still reachable by keyboard so it can be scrolled and copied.
    m_logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_jobModel = new JobTableModel(m_core, this);
    m_jobProxy = new QSortFilterProxyModel(this);
    m_jobProxy->setSourceModel(m_jobModel);
    m_jobProxy->setSortRole(JobTableModel::SortRole);
    m_jobTable = new QTableView;
    m_jobTable->setModel(m_jobProxy);
    m_jobTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_jobTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_jobTable->setWordWrap(false);
    m_jobTable->setShowGrid(false);
    m_jobTable->setAlternatingRowColors(true);
    m_jobTable->setTabKeyNavigation(false);
    m_jobTable->verticalHeader()->hide();
    // Rows of one height: measuring each of thousands of rows at every change would cost
    // more than the change.
    m_jobTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    QHeaderView* columns = m_jobTable->horizontalHeader();
    columns->setStretchLastSection(true);
    columns->setHighlightSections(false);
    // Arrival order until a column is chosen; a third click on it goes back to it.
    columns->setSortIndicatorClearable(true);
    columns->setSortIndicator(-1, Qt::AscendingOrder);
    m_jobTable->setSortingEnabled(true);
    m_jobTable->installEventFilter(this);
    fitJobRowsToFont();
    connect(m_jobTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::updateJobActions);
    connect(m_jobProxy, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateJobActions);

    m_connectionList = new QListWidget;
    // Only looked at: Tab passes it by, its caption's access key still reaches it.
    m_connectionList->setFocusPolicy(Qt::ClickFocus);

    m_sessionCount = new QLabel;
    showSessionCount(0);

    // The printers beside the connections on top, then the Jobs table and the log across the
    // whole width (the table's columns need it); each caption sits on its control whatever
    // the font, and the count below them all.
    auto* top = new QHBoxLayout;
    top->addLayout(captioned(labelFor(QStringLiteral("&Printers"), m_printerList), m_printerList),
                   1);
    top->addLayout(
        captioned(labelFor(QStringLiteral("&Connections"), m_connectionList), m_connectionList), 1);
    auto* layout = new QVBoxLayout(client);
    layout->addLayout(top, 2);
    layout->addLayout(captioned(labelFor(QStringLiteral("Jo&bs"), m_jobTable), m_jobTable), 3);
    layout->addLayout(captioned(labelFor(QStringLiteral("&Log"), m_logView), m_logView), 3);
    layout->addWidget(m_sessionCount);

    setTabOrder(m_printerList, m_jobTable);
    setTabOrder(m_jobTable, m_logView);
}

void MainWindow::fitJobRowsToFont()
{
    const QFontMetrics metrics = m_jobTable->fontMetrics();
    m_jobTable->verticalHeader()->setDefaultSectionSize(metrics.height() + 6);
    const int x = metrics.averageCharWidth();
    const int widths[] = {10, 6, 10, 14, 18, 9, 10};
    for (int column = 0; column < int(std::size(widths)); ++column)
        m_jobTable->horizontalHeader()->resizeSection(column, widths[column] * x);
}

void MainWindow::updateJobActions()
{
    m_dequeueAction->setEnabled(m_jobTable->selectionModel()->hasSelection());
}

QList<int> MainWindow::selectedJobRows() const
{
    QModelIndexList selected = m_jobTable->selectionModel()->selectedRows();
    std::sort(selected.begin(), selected.end());
    QList<int> rows;
    for (const QModelIndex& index : std::as_const(selected))
        rows << m_jobProxy->mapToSource(index).row();
    return rows;
}

void MainWindow::showSessionCount(int count)
{
    const QString text = QStringLiteral("Sessions: ") + QString::number(count);
    m_sessionCount->setText(text);
    m_sessionCount->setAccessibleName(text);
}

void MainWindow::buildMenus()
{
    m_fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    m_setupAction = m_fileMenu->addAction(QStringLiteral("&Setup..."));
    m_addPrinterAction = m_fileMenu->addAction(QStringLiteral("&Add Printer..."));
    m_editPrinterAction = m_fileMenu->addAction(QStringLiteral("&Edit Printer..."));
    m_removePrinterAction = m_fileMenu->addAction(QStringLiteral("&Remove Printer..."));
    for (QAction* a : {m_setupAction, m_addPrinterAction, m_editPrinterAction})
        a->setProperty(HelpContext, 4);
    m_fileMenu->addSeparator();
    m_quitAction = m_fileMenu->addAction(QStringLiteral("&Quit"));
    // Not QKeySequence::Quit: some platforms have none, and Linux desktops agree on Ctrl+Q.
    m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    addAction(m_quitAction);
    connect(m_quitAction, &QAction::triggered, this, &MainWindow::requestQuit);

    m_jobMenu = menuBar()->addMenu(QStringLiteral("&Job"));
    m_dequeueAction = m_jobMenu->addAction(QStringLiteral("&Dequeue"));
    // Shown in the menu; the key itself is the Jobs list's own shortcut.
    m_dequeueAction->setShortcut(QKeySequence::Delete);
    m_dequeueAction->setShortcutContext(Qt::WidgetShortcut);
    m_addJobAction = m_jobMenu->addAction(QStringLiteral("&Add..."));
    m_jobMenu->addSeparator();
    m_finishedJobsAction = m_jobMenu->addAction(QStringLiteral("&Finished Jobs..."));
    connect(m_dequeueAction, &QAction::triggered, this, &MainWindow::onDequeue);
    connect(m_finishedJobsAction, &QAction::triggered, this, &MainWindow::onFinishedJobs);

    m_helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    m_helpContentsAction = m_helpMenu->addAction(QStringLiteral("&Contents"));
    // Shown in the menu; F1 itself asks for the help of the focused control.
    m_helpContentsAction->setShortcut(QKeySequence::HelpContents);
    m_helpContentsAction->setShortcutContext(Qt::WidgetShortcut);
    m_extendedLogAction = m_helpMenu->addAction(QStringLiteral("&Extended Log..."));
    m_helpMenu->addSeparator();
    m_aboutAction = m_helpMenu->addAction(QStringLiteral("&About Spoolmere"));
    connect(m_helpContentsAction, &QAction::triggered, this, &MainWindow::onHelpContents);
    connect(m_aboutAction, &QAction::triggered, this, &MainWindow::onAbout);
    connect(m_extendedLogAction, &QAction::triggered, this, &MainWindow::onExtendedLog);

    // An open menu takes the keyboard, so F1 on a highlighted entry is caught there.
    for (QMenu* m : {m_fileMenu, m_jobMenu, m_helpMenu})
        m->installEventFilter(this);
}

void MainWindow::createDialogs()
{
    if (!m_aboutDialog)
        m_aboutDialog = new AboutDialog(this);
    if (!m_extendedLogDialog) {
        m_extendedLogDialog = new ExtendedLogDialog(this);
        m_extendedLogDialog->setLogView(m_logView);
    }
}

void MainWindow::setProtectMode(bool on)
{
    m_protect = on;
    // The File menu stays open for Quit; its configuration entries are what is locked.
    for (QAction* a :
         {m_setupAction, m_addPrinterAction, m_editPrinterAction, m_removePrinterAction})
        a->setEnabled(!on);
    m_extendedLogAction->setEnabled(!on);
    // Quit ends the program as the close button does, so it is locked with it; "lpddown"
    // from outside still ends it.
    m_quitAction->setEnabled(!on);
    emit protectModeChanged(on);
}

QString MainWindow::readablePrinter(const QString& definition)
{
    const PrinterDefinition printer = PrinterDefinition::parse(definition);
    QString text = printer.queue + QStringLiteral(": ");
    text += printer.route.isRaw()
                ? QStringLiteral("raw to ") + printer.route.target
                : printer.route.program + (printer.route.argumentText.isEmpty()
                                               ? QString()
                                               : QLatin1Char(' ') + printer.route.argumentText);
    if (printer.printingDisabled && printer.spoolingDisabled)
        text += QStringLiteral(" (printing and receiving disabled)");
    else if (printer.printingDisabled)
        text += QStringLiteral(" (printing disabled)");
    else if (printer.spoolingDisabled)
        text += QStringLiteral(" (receiving disabled)");
    return text;
}

void MainWindow::refreshPrinters()
{
    const int row = m_printerList->currentRow();
    m_printerList->clear();
    // Each line in words; the definition as lpd.ini holds it is the item's data and tip.
    for (const QString& definition : m_core.settings().printers) {
        auto* item = new QListWidgetItem(readablePrinter(definition), m_printerList);
        item->setData(Qt::UserRole, definition);
        item->setToolTip(definition);
    }
    if (m_printerList->count() > 0)
        m_printerList->setCurrentRow(row >= 0 && row < m_printerList->count() ? row : 0);
}

void MainWindow::showPrinters(int row)
{
    refreshPrinters();
    if (row >= 0) {
        m_printerList->setCurrentRow(row);
    } else {
        m_printerList->clearSelection();
        m_printerList->setCurrentRow(-1);
    }
}

int MainWindow::selectedPrinterRow() const
{
    const QList<QListWidgetItem*> selected = m_printerList->selectedItems();
    return selected.isEmpty() ? -1 : m_printerList->row(selected.first());
}

void MainWindow::refreshJobs()
{
    m_jobModel->refresh();
}

void MainWindow::refreshConnections()
{
    m_connectionList->clear();
    m_connectionList->addItems(m_core.connections());
}

void MainWindow::appendLog(const QString& line)
{
    // The view follows new lines only while it shows the newest; someone reading further up
    // or selecting text keeps the place and the selection.
    QScrollBar* vertical = m_logView->verticalScrollBar();
    const bool following = vertical->value() == vertical->maximum();
    const int value = vertical->value();
    const bool full = m_logView->blockCount() >= m_logView->maximumBlockCount();
    const int horizontal = m_logView->horizontalScrollBar()->value();
    m_logView->appendPlainText(logtime::withTime(line, QTime::currentTime()));
    if (following && !m_logView->textCursor().hasSelection()) {
        // The caret goes to the start of the newest line: the view follows the log down
        // without scrolling sideways to the end of a long line.
        m_logView->moveCursor(QTextCursor::End);
        m_logView->moveCursor(QTextCursor::StartOfBlock);
        vertical->setValue(vertical->maximum());
    } else {
        // The oldest line went when the view was full: the lines shown moved up by one.
        vertical->setValue(full && !following ? std::max(0, value - 1) : value);
        m_logView->horizontalScrollBar()->setValue(horizontal);
    }
}

void MainWindow::onDequeue()
{
    QStringList keys;
    for (int row : selectedJobRows())
        keys << m_jobModel->jobKeyAt(row);
    if (keys.isEmpty())
        return;
    // The core passes over a job being printed and deletes the others' files.
    const QStringList printing = m_core.dequeue(keys);
    QStringList names;
    for (const QString& key : printing) {
        const int row = m_jobModel->rowOf(key);
        if (row >= 0) {
            const SpoolJob& job = m_jobModel->jobAt(row);
            names << QStringLiteral("Job %1 of %2 from %3")
                         .arg(QString::number(job.jobNumber), job.user, jobHost(job));
        }
    }
    m_jobModel->refresh();
    if (names.isEmpty())
        return;
    // A print is never cut off half-way: the printer would be left with a torn page, and
    // a print command cannot be undone. Say so instead of doing nothing.
    QMessageBox box(QMessageBox::Information, QStringLiteral("Dequeue"),
                    (names.size() == 1
                         ? names.first() + QStringLiteral(" is being printed and stays.")
                         : QStringLiteral("These jobs are being printed and "
                                          "stay: ") +
                               names.join(QStringLiteral("; ")) + QLatin1Char('.')),
                    QMessageBox::Ok, this);
    box.setInformativeText(QStringLiteral(
        "A print that has begun is not stopped. The job leaves the list when its print has "
        "ended; if the print fails, the job waits for a retry and Dequeue removes it then."));
    box.exec();
}

void MainWindow::onHelpContents()
{
    HelpOpener::showContents();
}

void MainWindow::onAbout()
{
    createDialogs();
    m_aboutDialog->serviceStatusLabel()->setText(m_serviceStatus);
    m_aboutDialog->exec();
}

void MainWindow::onFinishedJobs()
{
    if (!m_finishedJobsDialog) {
        m_finishedJobsDialog = new FinishedJobsDialog(m_core.accounting(), this);
        // A print's end or a removal writes its line: the table follows at once.
        connect(&m_core, &LpdServer::jobsChanged, m_finishedJobsDialog, [this] {
            if (m_finishedJobsDialog->isVisible())
                m_finishedJobsDialog->refresh();
        });
    }
    m_finishedJobsDialog->show();
    m_finishedJobsDialog->raise();
    m_finishedJobsDialog->activateWindow();
}

void MainWindow::onExtendedLog()
{
    if (m_protect)
        return;
    createDialogs();
    m_extendedLogDialog->loadFlags(m_core.log());
    if (m_extendedLogDialog->exec() != QDialog::Accepted)
        return;
    m_extendedLogDialog->storeFlags(m_core.log());
    if (!m_core.saveSettings())
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("Failure writing ini file"));
}

void MainWindow::showAndRaise()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

QString MainWindow::applicationTitle() const
{
    return isVisible() && !isMinimized() ? QStringLiteral("Spoolmere") : QString();
}

void MainWindow::activatePrinter(int row)
{
    if (!m_protect && row >= 0)
        emit printerActivated(row);
}

int MainWindow::helpContextOf(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        const QVariant context = w->property(HelpContext);
        if (context.isValid())
            return context.toInt();
    }
    return 1;
}

void MainWindow::showContextHelp()
{
    HelpOpener::showContext(helpContextOf(focusWidget() ? focusWidget() : this));
}

void MainWindow::requestQuit()
{
    if (!closeAllowed())
        return;
    if (askBeforeClosing(false) == CloseChoice::StopServer)
        emit quitRequested();
}

MainWindow::CloseChoice MainWindow::askBeforeClosing(bool offerKeepRunning)
{
    const int waiting = m_core.pendingJobs().count();
    QString detail = QStringLiteral("Clients cannot send jobs to this computer while it is "
                                    "stopped.");
    if (waiting > 0)
        detail +=
            QStringLiteral(" %1 waiting job(s) stay in the spool and print at the next start.")
                .arg(waiting);
    if (const int running = m_core.runningPrints(); running > 0)
        detail += QStringLiteral(" The print running now may end first: the server waits up to "
                                 "%1 s for it (STOPWAIT).")
                      .arg(std::max(m_core.settings().stopWaitSeconds, 0));
    QMessageBox box(QMessageBox::Question, QStringLiteral("Close Spoolmere"),
                    QStringLiteral("Stop the print server?"), QMessageBox::NoButton, this);
    box.setInformativeText(detail);
    QPushButton* stop = box.addButton(QStringLiteral("&Stop Server"), QMessageBox::AcceptRole);
    QPushButton* keep = nullptr;
    if (offerKeepRunning)
        keep = box.addButton(m_trayAvailable ? QStringLiteral("&Keep Running in Tray")
                                             : QStringLiteral("&Keep Running"),
                             QMessageBox::RejectRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    // Enter keeps the server: stopping it is never the answer a stray key gives.
    box.setDefaultButton(keep ? keep : cancel);
    box.exec();
    if (box.clickedButton() == stop)
        return CloseChoice::StopServer;
    if (keep && box.clickedButton() == keep)
        return CloseChoice::KeepRunning;
    return CloseChoice::Cancel;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (!closeAllowed())
        return;
    switch (askBeforeClosing()) {
    case CloseChoice::StopServer:
        event->accept();
        emit closed();
        break;
    case CloseChoice::KeepRunning:
        if (m_trayAvailable)
            hide();
        else
            showMinimized();
        break;
    case CloseChoice::Cancel:
        break;
    }
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // With a tray, minimising puts the window away: off the screen and off the taskbar, back
    // by the tray icon or "lpdshow". Without one it stays on the taskbar.
    // The minimised state stays until the window is shown again: clearing it on X11 maps
    // the window at once, and a hidden widget would stay on screen as an unpainted frame.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && m_trayAvailable)
        QTimer::singleShot(0, this, [this] {
            if (isMinimized() && m_trayAvailable)
                hide();
        });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_jobTable &&
        (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange))
        fitJobRowsToFont();
    if (watched == m_printerList && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            activatePrinter(m_printerList->currentRow());
            return true;
        }
    }
    auto* menu = qobject_cast<QMenu*>(watched);
    if (menu && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::HelpContents)) {
        const QAction* entry = menu->activeAction();
        const QVariant context = entry ? entry->property(HelpContext) : QVariant();
        HelpOpener::showContext(context.isValid() ? context.toInt() : 1);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
