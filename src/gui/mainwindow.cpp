#include "gui/mainwindow.h"

#include "gui/aboutdialog.h"
#include "gui/appicon.h"
#include "gui/extendedlogdialog.h"
#include "gui/helpopener.h"
#include "protocol/lpdserver.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>

#include <algorithm>

namespace {

const char* const HelpContext = "helpContext";

const QSize ClientSize(444, 325);

QLabel* labelFor(QWidget* parent, const QString& text, QWidget* buddy)
{
    auto* label = new QLabel(text, parent);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

} // namespace

MainWindow::MainWindow(LpdServer& core, QWidget* parent) : QMainWindow(parent), m_core(core)
{
    setWindowTitle(QStringLiteral("Spoolmere"));
    setWindowIcon(AppIcon::icon());
    setProperty(HelpContext, 1);
    buildControls();
    buildMenus();
    // Opens at the size of its controls' first layout, never smaller: the lists and the log
    // grow with the window.
    resize(sizeHint());
    setMinimumSize(sizeHint());

    connect(&m_core.log(), &LogSink::lineAppended, this, &MainWindow::appendLog);
    connect(&m_core, &LpdServer::jobsChanged, this, &MainWindow::refreshJobs);
    connect(&m_core, &LpdServer::settingsApplied, this, &MainWindow::refreshPrinters);
    connect(&m_core, &LpdServer::connectionsChanged, this, &MainWindow::refreshConnections);
    connect(&m_core, &LpdServer::sessionCountChanged, this,
            [this](int n) { m_sessionCount->setText(QString::number(n)); });
    // Not `activated`: desktops that activate items on a single click would open the editor
    // on every selection. Enter is caught by the event filter.
    connect(m_printerList, &QListWidget::doubleClicked, this,
            [this](const QModelIndex& index) { activatePrinter(index.row()); });
    m_printerList->installEventFilter(this);

    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &MainWindow::showContextHelp);

    for (const QString& line : m_core.log().lines())
        appendLog(line);
    refreshPrinters();
    refreshJobs();
    refreshConnections();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    m_client = new QWidget(this);
    m_client->resize(ClientSize);
    m_client->setMinimumSize(ClientSize);
    setCentralWidget(m_client);

    m_printerList = new QListWidget(m_client);
    m_printerList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_printerList->setToolTip(QStringLiteral("All lpd printers, double click to set up"));
    m_printerList->setProperty(HelpContext, 5);
    m_printersLabel = labelFor(m_client, QStringLiteral("&Printers"), m_printerList);

    m_logView = new QPlainTextEdit(m_client);
    m_logView->setReadOnly(true);
    m_logView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setMaximumBlockCount(m_core.log().capacity());
    // Read-only text is still reachable by keyboard so it can be scrolled and copied.
    m_logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_logLabel = labelFor(m_client, QStringLiteral("&Log"), m_logView);

    m_jobList = new QListWidget(m_client);
    m_jobList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_jobsLabel = labelFor(m_client, QStringLiteral("&Jobs"), m_jobList);

    m_connectionList = new QListWidget(m_client);
    m_connectionList->setFocusPolicy(Qt::ClickFocus);
    m_connectionsLabel = labelFor(m_client, QStringLiteral("Connections"), nullptr);

    m_sessionCountCaption = new QLabel(QStringLiteral("Sessions:"), m_client);
    m_sessionCountCaption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_sessionCount = new QLabel(QStringLiteral("0"), m_client);
    m_sessionCount->setMinimumWidth(60);

    setTabOrder(m_printerList, m_logView);
    setTabOrder(m_logView, m_jobList);
    m_client->installEventFilter(this);
    layoutControls();
}

// The first layout is the one users of this program know (its places in pixels at 444 x
// 325); what the window gains beyond it goes to the lists and the log: half the width to each
// column, a third of the height to the printers and two thirds to the log on the left, half
// to each list on the right.
void MainWindow::layoutControls()
{
    const int dw = std::max(0, m_client->width() - ClientSize.width());
    const int dh = std::max(0, m_client->height() - ClientSize.height());
    const int half = dw / 2;
    const int column = 193 + half;
    const int right = 232 + half;
    const int printersGrow = dh / 3;
    const int jobsGrow = dh / 2;

    m_printersLabel->move(16, 0);
    m_printerList->setGeometry(16, 16, column, 97 + printersGrow);
    m_logLabel->move(16, 128 + printersGrow);
    m_logView->setGeometry(16, 144 + printersGrow, column, 153 + dh - printersGrow);
    m_jobsLabel->move(right, 0);
    m_jobList->setGeometry(right, 16, 193 + dw - half, 153 + jobsGrow);
    m_connectionsLabel->move(right, 184 + jobsGrow);
    m_connectionList->setGeometry(right, 200 + jobsGrow, 193 + dw - half, 97 + dh - jobsGrow);
    m_sessionCount->move(112, 304 + dh);
    m_sessionCountCaption->setGeometry(16, 304 + dh, 92, m_sessionCount->sizeHint().height());
}

void MainWindow::buildMenus()
{
    m_fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    m_setupAction = m_fileMenu->addAction(QStringLiteral("&Setup"));
    m_addPrinterAction = m_fileMenu->addAction(QStringLiteral("&Add Printer"));
    m_editPrinterAction = m_fileMenu->addAction(QStringLiteral("&Edit Printer"));
    m_removePrinterAction = m_fileMenu->addAction(QStringLiteral("&Remove Printer"));
    for (QAction* a : {m_setupAction, m_addPrinterAction, m_editPrinterAction})
        a->setProperty(HelpContext, 4);

    m_jobMenu = menuBar()->addMenu(QStringLiteral("&Job"));
    m_dequeueAction = m_jobMenu->addAction(QStringLiteral("&Dequeue"));
    m_addJobAction = m_jobMenu->addAction(QStringLiteral("Add..."));
    connect(m_dequeueAction, &QAction::triggered, this, &MainWindow::onDequeue);

    m_helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    m_helpContentsAction = m_helpMenu->addAction(QStringLiteral("&Contents"));
    m_aboutAction = m_helpMenu->addAction(QStringLiteral("&Info"));
    m_extendedLogAction = m_helpMenu->addAction(QStringLiteral("&Extended Log"));
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
    m_fileMenu->menuAction()->setEnabled(!on);
    m_fileMenu->setEnabled(!on);
    m_extendedLogAction->setEnabled(!on);
    emit protectModeChanged(on);
}

void MainWindow::refreshPrinters()
{
    const int row = m_printerList->currentRow();
    m_printerList->clear();
    m_printerList->addItems(m_core.settings().printers);
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
    QStringList selected;
    for (const QListWidgetItem* item : m_jobList->selectedItems())
        selected << item->text();
    m_jobList->clear();
    m_jobList->addItems(m_core.pendingJobs().displayStrings());
    for (int i = 0; i < m_jobList->count(); ++i) {
        if (selected.contains(m_jobList->item(i)->text()))
            m_jobList->item(i)->setSelected(true);
    }
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
    m_logView->appendPlainText(line);
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
    QStringList selected;
    for (const QListWidgetItem* item : m_jobList->selectedItems())
        selected << item->text();
    if (selected.isEmpty())
        return;
    // The core passes over the job being printed and deletes the others' files.
    m_core.dequeue(selected);
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

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!closeAllowed()) {
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Minimising puts the window away: off the screen and off the taskbar, back by the
    // tray icon or "lpdshow".
    // The minimised state stays until the window is shown again: clearing it on X11 maps
    // the window at once, and a hidden widget would stay on screen as an unpainted frame.
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_client && event->type() == QEvent::Resize) {
        layoutControls();
        return false;
    }
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
