#include "shell/mainwindow.h"

#include "protocol/lpdserver.h"
#include "shell/aboutdialog.h"
#include "shell/appicon.h"
#include "shell/extendedlogdialog.h"
#include "shell/helpopener.h"

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
#include <QShortcut>
#include <QTimer>

namespace {

const char* const HelpContext = "helpContext";

QLabel* labelAt(QWidget* parent, const QString& text, int x, int y, QWidget* buddy)
{
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

} // namespace

MainWindow::MainWindow(LpdServer& core, QWidget* parent) : QMainWindow(parent), m_core(core)
{
    setWindowTitle(QStringLiteral("Spoolmere"));
    setWindowIcon(AppIcon::icon());
    // Fixed single border: no maximise, no resize; the close button comes and goes with
    // protect mode.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setProperty(HelpContext, 1);
    buildControls();
    buildMenus();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    connect(&m_core.log(), &LogSink::lineAppended, this, &MainWindow::appendLog);
    connect(&m_core, &LpdServer::jobsChanged, this, &MainWindow::refreshJobs);
    connect(&m_core, &LpdServer::connectionsChanged, this, &MainWindow::refreshConnections);
    connect(&m_core, &LpdServer::sessionCountChanged, this,
            [this](int n) { m_sessionCount->setText(QString::number(n)); });
    connect(m_printerList, &QListWidget::activated, this, [this](const QModelIndex& index) {
        if (!m_protect)
            emit printerActivated(index.row());
    });

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
    auto* client = new QWidget(this);
    client->setFixedSize(444, 325);
    setCentralWidget(client);

    m_printerList = new QListWidget(client);
    m_printerList->setGeometry(16, 16, 193, 97);
    m_printerList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_printerList->setToolTip(QStringLiteral("All lpd printers, double click to set up"));
    m_printerList->setProperty(HelpContext, 5);
    labelAt(client, QStringLiteral("&Printers"), 16, 0, m_printerList);

    m_logView = new QPlainTextEdit(client);
    m_logView->setGeometry(16, 144, 193, 153);
    m_logView->setReadOnly(true);
    m_logView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_logView->setMaximumBlockCount(m_core.log().capacity());
    // Read-only text is still reachable by keyboard so it can be scrolled and copied.
    m_logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    labelAt(client, QStringLiteral("&Log"), 16, 128, m_logView);

    m_jobList = new QListWidget(client);
    m_jobList->setGeometry(232, 16, 193, 153);
    m_jobList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    labelAt(client, QStringLiteral("&Jobs"), 232, 0, m_jobList);

    m_connectionList = new QListWidget(client);
    m_connectionList->setGeometry(232, 200, 193, 97);
    m_connectionList->setFocusPolicy(Qt::ClickFocus);
    labelAt(client, QStringLiteral("Connections"), 232, 184, nullptr);

    m_sessionCount = new QLabel(QStringLiteral("0"), client);
    m_sessionCount->move(112, 304);
    m_sessionCount->setMinimumWidth(60);

    setTabOrder(m_printerList, m_logView);
    setTabOrder(m_logView, m_jobList);
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
    setCloseButtonEnabled(!on);
    m_fileMenu->menuAction()->setEnabled(!on);
    m_fileMenu->setEnabled(!on);
    m_extendedLogAction->setEnabled(!on);
    emit protectModeChanged(on);
}

void MainWindow::setCloseButtonEnabled(bool enabled)
{
    if (windowFlags().testFlag(Qt::WindowCloseButtonHint) == enabled)
        return;
    // Changing window flags re-creates the native window, which hides it.
    const bool visible = isVisible();
    const QPoint where = pos();
    setWindowFlag(Qt::WindowCloseButtonHint, enabled);
    if (visible) {
        move(where);
        show();
    }
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
    m_logView->appendPlainText(line);
    // The caret goes to the start of the newest line: the view follows the log down without
    // scrolling sideways to the end of a long line.
    m_logView->moveCursor(QTextCursor::End);
    m_logView->moveCursor(QTextCursor::StartOfBlock);
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
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

bool MainWindow::closeAllowed(bool active, Qt::KeyboardModifiers modifiers) const
{
    return !(m_protect && active && modifiers.testFlag(Qt::AltModifier));
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
    if (!closeAllowed(isActiveWindow(), QGuiApplication::queryKeyboardModifiers())) {
        event->ignore();
        return;
    }
    QGuiApplication::setApplicationDisplayName(QString());
    event->accept();
    emit closed();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Minimising puts the window away: off the screen and off the taskbar, back by the
    // tray icon or "lpdshow".
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        QTimer::singleShot(0, this, [this] {
            hide();
            setWindowState(windowState() & ~Qt::WindowMinimized);
        });
    }
}

// The window system also reports minimising and restoring as hide and show, sometimes
// after the fact; the title follows what the window is now.
void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    updateApplicationTitle();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    updateApplicationTitle();
}

void MainWindow::updateApplicationTitle()
{
    const bool shown = isVisible() && !isMinimized();
    QGuiApplication::setApplicationDisplayName(shown ? QStringLiteral("Spoolmere") : QString());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
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
