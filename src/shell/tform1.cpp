#include "shell/tform1.h"

#include "protocol/lpdserver.h"
#include "shell/appicon.h"
#include "shell/helpopener.h"
#include "shell/taboutbox1.h"
#include "shell/tokrightdlg.h"

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

TForm1::TForm1(LpdServer& core, QWidget* parent) : QMainWindow(parent), m_core(core)
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

    connect(&m_core.log, &LogSink::lineAppended, this, &TForm1::appendLog);
    connect(&m_core, &LpdServer::jobsChanged, this, &TForm1::refreshJobs);
    connect(&m_core, &LpdServer::connectionsChanged, this, &TForm1::refreshConnections);
    connect(&m_core, &LpdServer::sessionCountChanged, this,
            [this](int n) { Label1->setText(QString::number(n)); });
    connect(ListBox1, &QListWidget::activated, this, [this](const QModelIndex& index) {
        if (!m_protect)
            emit printerActivated(index.row());
    });

    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, &TForm1::showContextHelp);

    for (const QString& line : m_core.log.lines())
        appendLog(line);
    refreshPrinters();
    refreshJobs();
    refreshConnections();
}

TForm1::~TForm1() = default;

void TForm1::buildControls()
{
    auto* client = new QWidget(this);
    client->setFixedSize(444, 325);
    setCentralWidget(client);

    ListBox1 = new QListWidget(client);
    ListBox1->setGeometry(16, 16, 193, 97);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setToolTip(QStringLiteral("All lpd printers, double click to set up"));
    ListBox1->setProperty(HelpContext, 5);
    labelAt(client, QStringLiteral("&Printers"), 16, 0, ListBox1);

    Memo1 = new QPlainTextEdit(client);
    Memo1->setGeometry(16, 144, 193, 153);
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setMaximumBlockCount(m_core.log.capacity());
    // Read-only text is still reachable by keyboard so it can be scrolled and copied.
    Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    labelAt(client, QStringLiteral("&Log"), 16, 128, Memo1);

    ListBox2 = new QListWidget(client);
    ListBox2->setGeometry(232, 16, 193, 153);
    ListBox2->setSelectionMode(QAbstractItemView::ExtendedSelection);
    labelAt(client, QStringLiteral("&Jobs"), 232, 0, ListBox2);

    ListBox3 = new QListWidget(client);
    ListBox3->setGeometry(232, 200, 193, 97);
    ListBox3->setFocusPolicy(Qt::ClickFocus);
    labelAt(client, QStringLiteral("Connections"), 232, 184, nullptr);

    Label1 = new QLabel(QStringLiteral("0"), client);
    Label1->move(112, 304);
    Label1->setMinimumWidth(60);

    setTabOrder(ListBox1, Memo1);
    setTabOrder(Memo1, ListBox2);
}

void TForm1::buildMenus()
{
    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    Setup1 = File1->addAction(QStringLiteral("&Setup"));
    AddPrinter1 = File1->addAction(QStringLiteral("&Add Printer"));
    EditPrinter1 = File1->addAction(QStringLiteral("&Edit Printer"));
    RemovePrinter1 = File1->addAction(QStringLiteral("&Remove Printer"));
    for (QAction* a : {Setup1, AddPrinter1, EditPrinter1})
        a->setProperty(HelpContext, 4);

    Job1 = menuBar()->addMenu(QStringLiteral("&Job"));
    Dequeue1 = Job1->addAction(QStringLiteral("&Dequeue"));
    Add1 = Job1->addAction(QStringLiteral("Add..."));
    connect(Dequeue1, &QAction::triggered, this, &TForm1::Dequeue1Click);

    Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
    Info1 = Help1->addAction(QStringLiteral("&Contents"));
    Info2 = Help1->addAction(QStringLiteral("&Info"));
    ExtendedLog1 = Help1->addAction(QStringLiteral("&Extended Log"));
    connect(Info1, &QAction::triggered, this, &TForm1::Info1Click);
    connect(Info2, &QAction::triggered, this, &TForm1::Info2Click);
    connect(ExtendedLog1, &QAction::triggered, this, &TForm1::ExtendedLog1Click);

    // An open menu takes the keyboard, so F1 on a highlighted entry is caught there.
    for (QMenu* m : {File1, Job1, Help1})
        m->installEventFilter(this);
}

void TForm1::createDialogs()
{
    if (!AboutBox1)
        AboutBox1 = new TAboutBox1(this);
    if (!OKRightDlg) {
        OKRightDlg = new TOKRightDlg(this);
        OKRightDlg->setLogView(Memo1);
    }
}

void TForm1::setProtectMode(bool on)
{
    m_protect = on;
    setCloseButtonEnabled(!on);
    File1->menuAction()->setEnabled(!on);
    File1->setEnabled(!on);
    ExtendedLog1->setEnabled(!on);
}

void TForm1::setCloseButtonEnabled(bool enabled)
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

void TForm1::refreshPrinters()
{
    const int row = ListBox1->currentRow();
    ListBox1->clear();
    ListBox1->addItems(m_core.settings.printers);
    if (ListBox1->count() > 0)
        ListBox1->setCurrentRow(row >= 0 && row < ListBox1->count() ? row : 0);
}

void TForm1::refreshJobs()
{
    QStringList selected;
    for (const QListWidgetItem* item : ListBox2->selectedItems())
        selected << item->text();
    ListBox2->clear();
    ListBox2->addItems(m_core.pendingJobs.displayStrings());
    for (int i = 0; i < ListBox2->count(); ++i) {
        if (selected.contains(ListBox2->item(i)->text()))
            ListBox2->item(i)->setSelected(true);
    }
}

void TForm1::refreshConnections()
{
    ListBox3->clear();
    ListBox3->addItems(m_core.connections);
}

void TForm1::appendLog(const QString& line)
{
    Memo1->appendPlainText(line);
    // The caret goes to the start of the newest line: the view follows the log down without
    // scrolling sideways to the end of a long line.
    Memo1->moveCursor(QTextCursor::End);
    Memo1->moveCursor(QTextCursor::StartOfBlock);
}

void TForm1::Dequeue1Click()
{
    QStringList selected;
    for (const QListWidgetItem* item : ListBox2->selectedItems())
        selected << item->text();
    if (selected.isEmpty())
        return;
    // The core passes over the job being printed and deletes the others' files.
    m_core.dequeue(selected);
}

void TForm1::Info1Click()
{
    HelpOpener::showContents();
}

void TForm1::Info2Click()
{
    createDialogs();
    AboutBox1->Label1->setText(m_serviceStatus);
    AboutBox1->exec();
}

void TForm1::ExtendedLog1Click()
{
    if (m_protect)
        return;
    createDialogs();
    OKRightDlg->loadFlags(m_core.log);
    if (OKRightDlg->exec() != QDialog::Accepted)
        return;
    OKRightDlg->storeFlags(m_core.log);
    if (!m_core.savesettings())
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("Failure writing ini file"));
}

void TForm1::showAndRaise()
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

bool TForm1::closeAllowed(bool active, Qt::KeyboardModifiers modifiers) const
{
    return !(m_protect && active && modifiers.testFlag(Qt::AltModifier));
}

int TForm1::helpContextOf(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        const QVariant context = w->property(HelpContext);
        if (context.isValid())
            return context.toInt();
    }
    return 1;
}

void TForm1::showContextHelp()
{
    HelpOpener::showContext(helpContextOf(focusWidget() ? focusWidget() : this));
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!closeAllowed(isActiveWindow(), QGuiApplication::queryKeyboardModifiers())) {
        event->ignore();
        return;
    }
    QGuiApplication::setApplicationDisplayName(QString());
    event->accept();
    emit closed();
}

void TForm1::changeEvent(QEvent* event)
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
void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    updateApplicationTitle();
}

void TForm1::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    updateApplicationTitle();
}

void TForm1::updateApplicationTitle()
{
    const bool shown = isVisible() && !isMinimized();
    QGuiApplication::setApplicationDisplayName(shown ? QStringLiteral("Spoolmere") : QString());
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
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
