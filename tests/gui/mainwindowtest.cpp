// The main window against a real core: what it shows, Dequeue, protect mode, the close
// query, minimising, the application title and context help.

#include "jobrows.h"
#include "layoutcheck.h"
#include "shellfixture.h"

#include "gui/finishedjobsdialog.h"
#include "gui/finishedjobsmodel.h"
#include "gui/helpopener.h"
#include "gui/logtime.h"
#include "gui/mainwindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QUrl>
#include <QWindow>

namespace {

// A line of the log view without the time it shows in front.
QString shownLine(const QTextBlock& block)
{
    return logtime::withoutTime(block.text());
}

QStringList texts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// Stands in for the browser: records the help pages the window asks for.
class UrlRecorder final : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;
    Q_INVOKABLE void open(const QUrl& url) { opened << url; }
};

} // namespace

class Window : public ShellFixture
{
};

TEST_F(Window, LayoutFollowsTheFontEveryListIsNamedAndAccessKeysAreUnique)
{
    makeCore();
    // A 16 pt font, as a user with large text has it.
    const QFont before = QApplication::font();
    QFont large = before;
    large.setPointSize(16);
    QApplication::setFont(large);
    MainWindow w(*core);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    // At its smallest and larger: nothing overlaps, no caption is cut, the lists take the room.
    w.resize(w.minimumSizeHint());
    EXPECT_TRUE(waitUntil([&] { return w.size() == w.minimumSizeHint(); }));
    EXPECT_EQ(layoutcheck::problems(&w), QStringList());
    const QSize small = w.printerList()->size();
    w.resize(w.width() + 200, w.height() + 150);
    EXPECT_TRUE(waitUntil([&] { return w.printerList()->width() > small.width(); }));
    EXPECT_GT(w.printerList()->height(), small.height());
    EXPECT_GT(w.jobTable()->width(), small.width());
    EXPECT_EQ(layoutcheck::problems(&w), QStringList());
    QApplication::setFont(before);

    EXPECT_EQ(w.windowTitle(), QStringLiteral("Spoolmere"));
    EXPECT_EQ(w.jobTable()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(w.jobTable()->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(w.printerList()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(w.connectionList()->focusPolicy(), Qt::ClickFocus);
    // Each caption leads to its control, and a screen reader names the control after it.
    QMap<QWidget*, QString> named;
    for (QLabel* label : w.centralWidget()->findChildren<QLabel*>()) {
        if (label->buddy())
            named[label->buddy()] = label->buddy()->accessibleName();
    }
    EXPECT_EQ(named.value(w.printerList()), QStringLiteral("Printers"));
    EXPECT_EQ(named.value(w.logView()), QStringLiteral("Log"));
    EXPECT_EQ(named.value(w.jobTable()), QStringLiteral("Jobs"));
    EXPECT_EQ(named.value(w.connectionList()), QStringLiteral("Connections"));
    EXPECT_EQ(w.sessionCountLabel()->accessibleName(), QStringLiteral("Sessions: 0"));

    auto entries = [](QMenu* m) {
        QStringList out;
        for (QAction* a : m->actions()) {
            if (!a->isSeparator())
                out << a->text() + (a->shortcut().isEmpty()
                                        ? QString()
                                        : QLatin1Char('\t') + a->shortcut().toString());
        }
        return out;
    };
    EXPECT_EQ(entries(w.fileMenu()),
              (QStringList{QStringLiteral("&Setup..."), QStringLiteral("&Add Printer..."),
                           QStringLiteral("&Edit Printer..."), QStringLiteral("&Remove Printer..."),
                           QStringLiteral("&Quit\tCtrl+Q")}));
    EXPECT_EQ(entries(w.jobMenu()),
              (QStringList{QStringLiteral("&Dequeue\tDel"), QStringLiteral("&Add..."),
                           QStringLiteral("&Finished Jobs...")}));
    EXPECT_EQ(entries(w.helpMenu()),
              (QStringList{QStringLiteral("&Contents\tF1"), QStringLiteral("&Extended Log..."),
                           QStringLiteral("&About Spoolmere")}));
    EXPECT_EQ(layoutcheck::clashes(&w), QStringList());
    w.hide();
}

TEST_F(Window, ShowsPrintersJobsConnectionsCountAndLog)
{
    writeOldJob("001");
    writeOldJob("002", "y");
    makeCore();
    core->loadSettings();
    MainWindow w(*core);
    // In words; the definition itself is the item's data.
    EXPECT_EQ(texts(w.printerList()),
              (QStringList{QStringLiteral("lp: /bin/true (printing disabled)"),
                           QStringLiteral("other: /bin/true (printing disabled)")}));
    EXPECT_EQ(w.printerList()->item(0)->data(Qt::UserRole).toString(),
              core->settings().printers.first());
    EXPECT_EQ(MainWindow::readablePrinter(QStringLiteral("+raw |smb://server/printer")),
              QStringLiteral("raw: raw to smb://server/printer (printing and receiving disabled)"));
    EXPECT_EQ(w.printerList()->currentRow(), 0);
    EXPECT_EQ(w.sessionCountLabel()->text(), QStringLiteral("Sessions: 0"));

    core->recoverSpooledJobs();
    EXPECT_TRUE(waitUntil([&] {
        return jobRows(w) == QStringList{QStringLiteral("lp z 1"), QStringLiteral("lp y 2")};
    }));
    // Recovery logged its lines; the view holds them in order, the newest last.
    // Each with the time it came, in the view only.
    QStringList shown = w.logView()->toPlainText().split(QLatin1Char('\n'));
    for (QString& line : shown)
        line = logtime::withoutTime(line);
    EXPECT_EQ(shown, core->log().lines());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  "))
                    .match(w.logView()->document()->firstBlock().text())
                    .hasMatch());
    EXPECT_TRUE(w.logView()->isReadOnly());
    EXPECT_EQ(w.logView()->lineWrapMode(), QPlainTextEdit::NoWrap);

    core->connectionsForTesting() << QStringLiteral("client.example 127.0.0.1");
    emit core->connectionsChanged();
    EXPECT_EQ(texts(w.connectionList()), core->connections());
    emit core->sessionCountChanged(3);
    EXPECT_EQ(w.sessionCountLabel()->text(), QStringLiteral("Sessions: 3"));

    // A real connection through the core's listener shows up and goes again.
    {
        Settings s = core->settings();
        s.port = QString::number(freePort());
        core->applySettings(s);
    }
    ASSERT_TRUE(core->startListening());
    LoopbackClient c;
    ASSERT_TRUE(c.connectTo(core->listeningPort()));
    EXPECT_TRUE(waitUntil([&] { return w.connectionList()->count() == 2; }));
    c.close();
    EXPECT_TRUE(waitUntil([&] { return w.connectionList()->count() == 1; }));

    core->log().append(QStringLiteral("last line"));
    EXPECT_EQ(shownLine(w.logView()->document()->lastBlock()), QStringLiteral("last line"));
    EXPECT_EQ(w.logView()->textCursor().block(), w.logView()->document()->lastBlock());
    EXPECT_EQ(w.logView()->textCursor().positionInBlock(), 0);
}

TEST_F(Window, LogViewIsBoundedLikeTheLog)
{
    makeCore();
    MainWindow w(*core);
    const int cap = core->log().capacity();
    for (int i = 0; i < cap + 5; ++i)
        core->log().append(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(w.logView()->blockCount(), cap);
    EXPECT_EQ(shownLine(w.logView()->document()->firstBlock()), QStringLiteral("line 5"));
    EXPECT_EQ(shownLine(w.logView()->document()->lastBlock()),
              QStringLiteral("line %1").arg(cap + 4));
}

TEST_F(Window, JobsTableTellsJobsApartAndDeleteRemovesExactlyTheSelectedOnes)
{
    for (const char* n : {"001", "002", "003"})
        writeOldJob(n);
    makeCore(); // its printers have printing disabled: the jobs stay as the test made them
    core->loadSettings();
    core->recoverSpooledJobs();
    ASSERT_TRUE(core->startListening());
    MainWindow w(*core);
    // Two hosts each send job 0 for ann: two rows that the host tells apart.
    const quint16 port = core->listeningPort();
    for (const char* name : {"alpha", "beta"}) {
        const QByteArray host(name);
        auto sent = onThread([port, host] {
            return sendJob(port, "lp", "cfA000" + host,
                           "H" + host + "\nPann\nJreport\nldfA000" + host + "\n", "dfA000" + host,
                           "data");
        });
        ASSERT_EQ(awaitResult(sent), QByteArray(5, '\0'));
    }
    ASSERT_TRUE(waitUntil([&] { return jobRows(w).size() == 5; }));
    const QAbstractItemModel* table = w.jobTable()->model();
    auto cell = [&](int row, int column) { return table->index(row, column).data().toString(); };
    EXPECT_EQ(jobRows(w), (QStringList{QStringLiteral("lp z 1"), QStringLiteral("lp z 2"),
                                       QStringLiteral("lp z 3"), QStringLiteral("lp ann 0"),
                                       QStringLiteral("lp ann 0")}));
    EXPECT_EQ(cell(3, JobTableModel::HostColumn), QStringLiteral("alpha"));
    EXPECT_EQ(cell(4, JobTableModel::HostColumn), QStringLiteral("beta"));
    EXPECT_EQ(cell(4, JobTableModel::TitleColumn), QStringLiteral("report"));
    EXPECT_EQ(cell(4, JobTableModel::SizeColumn), QLocale().formattedDataSize(4));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                    .match(cell(4, JobTableModel::ArrivedColumn))
                    .hasMatch());
    EXPECT_EQ(cell(4, JobTableModel::StateColumn), QStringLiteral("Printing disabled"));
    // Whatever cell the keyboard is on, a screen reader hears what the job is doing.
    EXPECT_EQ(table->index(4, JobTableModel::QueueColumn).data(Qt::AccessibleDescriptionRole),
              QStringLiteral("Printing disabled"));
    EXPECT_EQ(table->headerData(JobTableModel::StateColumn, Qt::Horizontal),
              QStringLiteral("State"));
    // Sorted by a column, then back to the order of arrival.
    w.jobTable()->sortByColumn(JobTableModel::NumberColumn, Qt::DescendingOrder);
    EXPECT_EQ(jobRows(w).mid(0, 3), (QStringList{QStringLiteral("lp z 3"), QStringLiteral("lp z 2"),
                                                 QStringLiteral("lp z 1")}));
    w.jobTable()->sortByColumn(-1, Qt::AscendingOrder);
    EXPECT_EQ(jobRow(w, 0), QStringLiteral("lp z 1"));

    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.jobTable()->setFocus();
    EXPECT_FALSE(w.dequeueAction()->isEnabled()); // nothing selected yet
    // Shift+Down extends from where the keyboard started, also after a job before it left.
    w.jobTable()->setCurrentIndex(table->index(0, 0));
    QTest::keyClick(w.jobTable(), Qt::Key_Down);
    QTest::keyClick(w.jobTable(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(selectedJobRows(w),
              (QStringList{QStringLiteral("lp z 2"), QStringLiteral("lp z 3")}));
    EXPECT_TRUE(w.dequeueAction()->isEnabled());
    EXPECT_EQ(core->dequeue({QStringLiteral("lp/cfA001h")}), QStringList());
    ASSERT_TRUE(waitUntil([&] { return jobRows(w).size() == 4; }));
    QTest::keyClick(w.jobTable(), Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(selectedJobRows(w), (QStringList{QStringLiteral("lp z 2"), QStringLiteral("lp z 3"),
                                               QStringLiteral("lp ann 0")}));

    // One of the two equal-looking rows stays one row through a refresh, and Delete takes
    // only that job.
    w.jobTable()->selectionModel()->setCurrentIndex(
        table->index(3, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    emit core->jobsChanged();
    w.refreshJobs();
    ASSERT_EQ(selectedJobRows(w), QStringList{QStringLiteral("lp ann 0")});
    EXPECT_EQ(w.selectedJobRows().size(), 1);
    QTest::keyClick(w.jobTable(), Qt::Key_Delete);
    EXPECT_EQ(jobRows(w), (QStringList{QStringLiteral("lp z 2"), QStringLiteral("lp z 3"),
                                       QStringLiteral("lp ann 0")}));
    EXPECT_EQ(cell(2, JobTableModel::HostColumn), QStringLiteral("alpha"));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA000beta")));
    EXPECT_TRUE(QFile::exists(queueDir() + QStringLiteral("/dfA000alpha")));

    // Delete on the job being printed says that it stays, and removes the others.
    const auto printing = core->pendingJobs().beginJob(0);
    ASSERT_TRUE(printing);
    w.refreshJobs();
    EXPECT_EQ(cell(0, JobTableModel::StateColumn), QStringLiteral("Printing"));
    w.jobTable()->selectAll();
    QString told;
    acceptNextMessageBox(&told);
    w.dequeueAction()->trigger();
    EXPECT_EQ(told, QStringLiteral("Job 2 of z from h is being printed and stays."));
    EXPECT_EQ(jobRows(w), QStringList{QStringLiteral("lp z 2")});
    EXPECT_EQ(core->pendingJobs().displayStrings(), jobRows(w));
    EXPECT_TRUE(QFile::exists(queueDir() + QStringLiteral("/dfA002h")));
    EXPECT_FALSE(QFile::exists(queueDir() + QStringLiteral("/dfA003h")));
    core->pendingJobs().endPrint(printing.get(), false);
    w.hide();
}

TEST_F(Window, FinishedJobsIsATableOfTheAccountingFileNewestFirstAndLive)
{
    writeOldJob("005", "ann");
    writeOldJob("006", "bob");
    makeCore();
    core->loadSettings();
    core->recoverSpooledJobs();
    MainWindow w(*core);
    w.finishedJobsAction()->trigger();
    FinishedJobsDialog* dialog = w.finishedJobsDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->sourceLabel()->text().startsWith(QStringLiteral("No job has finished")));
    const QAbstractItemModel* table = dialog->table()->model();
    EXPECT_EQ(table->columnCount(), 11);
    EXPECT_EQ(table->headerData(FinishedJobsModel::OutcomeColumn, Qt::Horizontal),
              QStringLiteral("Outcome"));
    // Lines written while it is open come in at the top, without a click.
    core->dequeue({QStringLiteral("lp/cfA005h")});
    ASSERT_TRUE(waitUntil([&] { return table->rowCount() == 1; }));
    core->dequeue({QStringLiteral("lp/cfA006h")});
    ASSERT_TRUE(waitUntil([&] { return table->rowCount() == 2; }, 5000));
    auto cell = [&](int row, int column) { return table->index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, FinishedJobsModel::UserColumn), QStringLiteral("bob"));
    EXPECT_EQ(cell(1, FinishedJobsModel::UserColumn), QStringLiteral("ann"));
    EXPECT_EQ(cell(0, FinishedJobsModel::OutcomeColumn), QStringLiteral("removed"));
    EXPECT_EQ(cell(0, FinishedJobsModel::ReasonColumn), QStringLiteral("by Dequeue"));
    EXPECT_EQ(cell(0, FinishedJobsModel::NumberColumn), QStringLiteral("6"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(cell(0, FinishedJobsModel::TimeColumn))
                    .hasMatch())
        << cell(0, FinishedJobsModel::TimeColumn).toStdString();
    EXPECT_TRUE(dialog->sourceLabel()->text().startsWith(QStringLiteral("Newest first, from ")));
    // A line another process appends (the file is opened for every line) shows too.
    const QString path = core->accounting().path();
    QByteArray line = readFile(path).split('\n').at(1);
    line.replace("\tbob\t", "\tcarl\t");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(line + '\n');
    file.close();
    EXPECT_TRUE(waitUntil(
        [&] { return cell(0, FinishedJobsModel::UserColumn) == QStringLiteral("carl"); }, 5000));
    EXPECT_EQ(table->rowCount(), 3);
    dialog->close();
}

TEST_F(Window, AJobThatWaitsForAnotherAttemptSaysWhyAndWhen)
{
    // One whose print failed, one that could not be tried: its queue's print record is a
    // folder, which only the operator can mend.
    writeOldJob("006", "bob");
    writeOldJob("007", "eve", QStringLiteral("other"));
    ASSERT_TRUE(QDir().mkpath(queueDir(QStringLiteral("other")) + QStringLiteral("/.:printing")));
    Settings s = defaults();
    s.printers = {QStringLiteral("lp /bin/false"), QStringLiteral("other /bin/true")};
    makeCore(s);
    core->loadSettings();
    MainWindow w(*core);
    core->recoverSpooledJobs();
    auto state = [&](int row) {
        return jobRows(w).size() == 2
                   ? w.jobTable()->model()->index(row, JobTableModel::StateColumn).data().toString()
                   : QString();
    };
    const QRegularExpression failed(
        QStringLiteral("^Waiting for a retry at \\d\\d:\\d\\d:\\d\\d: exit status 1$"));
    const QString deferred = QStringLiteral(": print record ") + queueDir(QStringLiteral("other")) +
                             QStringLiteral("/.:printing is not a regular file");
    ASSERT_TRUE(waitUntil(
        [&] {
            return failed.match(state(0)).hasMatch() &&
                   state(1).startsWith(QStringLiteral("Waiting for a retry at ")) &&
                   state(1).endsWith(deferred);
        },
        20000))
        << state(0).toStdString() << '\n'
        << state(1).toStdString() << '\n'
        << core->log().lines().join(u'\n').toStdString();
    EXPECT_EQ(jobRows(w), (QStringList{QStringLiteral("lp bob 6"), QStringLiteral("other eve 7")}));
}

TEST_F(Window, ProtectModeLocksConfigurationButNotJobsOrHelp)
{
    makeCore();
    core->loadSettings();
    MainWindow w(*core);
    QSignalSpy activated(&w, &MainWindow::printerActivated);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));

    w.setProtectMode(true);
    EXPECT_TRUE(w.protectMode());
    for (QAction* a : {w.setupAction(), w.addPrinterAction(), w.editPrinterAction(),
                       w.removePrinterAction(), w.extendedLogAction()})
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_FALSE(w.quitAction()->isEnabled()); // locked with the close button
    // The native window stays the same one: no flicker, no jump.
    const WId native = w.winId();
    const QPoint where = w.pos();
    for (QAction* a : {w.addJobAction(), w.helpContentsAction(), w.aboutAction()})
        EXPECT_TRUE(a->isEnabled() && w.jobMenu()->menuAction()->isEnabled());
    // A double click on a printer does nothing.
    const QRect first = w.printerList()->visualItemRect(w.printerList()->item(0));
    QTest::mouseDClick(w.printerList()->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(activated.count(), 0);

    w.setProtectMode(true); // twice on is still on; one off switches it off
    w.setProtectMode(false);
    EXPECT_TRUE(w.setupAction()->isEnabled());
    EXPECT_TRUE(w.extendedLogAction()->isEnabled());
    EXPECT_TRUE(w.quitAction()->isEnabled());
    EXPECT_EQ(w.winId(), native);
    EXPECT_EQ(w.pos(), where);
    EXPECT_TRUE(w.isVisible());
    QTest::mouseDClick(w.printerList()->viewport(), Qt::LeftButton, {}, first.center());
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(activated.first().first().toInt(), 0);
}

TEST_F(Window, InProtectModeEveryCloseIsRefused)
{
    makeCore();
    MainWindow w(*core);
    QSignalSpy closed(&w, &MainWindow::closed);
    EXPECT_TRUE(w.closeAllowed());
    w.setProtectMode(true);
    EXPECT_FALSE(w.closeAllowed());

    // Whether Alt is held or not, on the active window or not: the window stays.
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyPress(w.windowHandle(), Qt::Key_Alt, Qt::AltModifier);
    EXPECT_FALSE(w.windowHandle()->close());
    QTest::keyRelease(w.windowHandle(), Qt::Key_Alt, Qt::NoModifier);
    EXPECT_FALSE(w.close());
    QApplication::setActiveWindow(nullptr);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(closed.count(), 0);

    // Without protect mode a close asks first: Cancel leaves the window, Keep Running puts
    // it on the taskbar (no tray here), Stop Server ends the program.
    w.setProtectMode(false);
    const auto answer = [](const QString& button) {
        answerModals([button](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return false;
            EXPECT_EQ(box->text(), QStringLiteral("Stop the print server?"));
            for (QAbstractButton* b : box->buttons()) {
                if (b->text().remove(QLatin1Char('&')) == button)
                    b->click();
            }
            return true;
        });
    };
    answer(QStringLiteral("Cancel"));
    EXPECT_FALSE(w.windowHandle()->close());
    EXPECT_TRUE(w.isVisible());
    answer(QStringLiteral("Keep Running"));
    EXPECT_FALSE(w.windowHandle()->close());
    EXPECT_TRUE(waitUntil([&] { return w.isMinimized(); }));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(closed.count(), 0);
    w.showAndRaise();
    answer(QStringLiteral("Stop Server"));
    EXPECT_TRUE(w.windowHandle()->close());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(w.applicationTitle().isEmpty());
}

TEST_F(Window, MinimisingHidesOnlyWithATrayAndTheTitleFollowsVisibility)
{
    makeCore();
    MainWindow w(*core);
    // No tray: minimised to the taskbar like any window.
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.showMinimized();
    EXPECT_TRUE(waitUntil([&] { return w.isMinimized(); }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isVisible());
    w.setTrayAvailable(true);
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.applicationTitle(), QStringLiteral("Spoolmere"));
    w.showMinimized();
    EXPECT_TRUE(waitUntil([&] { return !w.isVisible(); }));
    EXPECT_TRUE(w.applicationTitle().isEmpty());
    w.showAndRaise();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    EXPECT_EQ(w.applicationTitle(), QStringLiteral("Spoolmere"));
    // No window-wide display name: dialogs keep their own captions.
    EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty() ||
                QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName());
    w.hide();
}

TEST_F(Window, TheLogFollowsOnlyAtTheBottomAndKeepsTheReadersPlaceAndSelection)
{
    makeCore();
    MainWindow w(*core);
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (int i = 0; i < 200; ++i)
        core->log().append(QStringLiteral("line %1 ").arg(i) + QString(300, QLatin1Char('x')));
    QScrollBar* v = w.logView()->verticalScrollBar();
    EXPECT_EQ(v->value(), v->maximum()); // following
    EXPECT_EQ(w.logView()->horizontalScrollBar()->value(), 0);

    // Scrolled up with a selection: new lines change neither.
    v->setValue(v->maximum() / 2);
    const int place = v->value();
    QTextCursor selection(w.logView()->document()->findBlockByNumber(place + 1));
    selection.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    w.logView()->setTextCursor(selection);
    const QString selected = w.logView()->textCursor().selectedText();
    for (int i = 0; i < 20; ++i)
        core->log().append(QStringLiteral("more %1").arg(i));
    EXPECT_EQ(v->value(), place);
    EXPECT_EQ(w.logView()->textCursor().selectedText(), selected);

    // Back at the bottom it follows again.
    w.logView()->setTextCursor(QTextCursor(w.logView()->document()));
    v->setValue(v->maximum());
    core->log().append(QStringLiteral("newest"));
    EXPECT_EQ(v->value(), v->maximum());
    EXPECT_EQ(shownLine(w.logView()->document()->lastBlock()), QStringLiteral("newest"));
    w.hide();
}

TEST_F(Window, APrinterOpensOnDoubleClickOrEnterNeverOnASingleClick)
{
    makeCore();
    core->loadSettings();
    MainWindow w(*core);
    // A desktop whose style activates items on a single click.
    class SingleClickStyle final : public QProxyStyle
    {
    public:
        int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                      QStyleHintReturn* data) const override
        {
            if (hint == QStyle::SH_ItemView_ActivateItemOnSingleClick)
                return 1;
            return QProxyStyle::styleHint(hint, option, widget, data);
        }
    };
    SingleClickStyle style;
    w.printerList()->setStyle(&style);
    QSignalSpy activated(&w, &MainWindow::printerActivated);
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const QRect second = w.printerList()->visualItemRect(w.printerList()->item(1));
    QTest::mouseClick(w.printerList()->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(w.printerList()->currentRow(), 1);
    EXPECT_EQ(activated.count(), 0);
    w.printerList()->setFocus();
    QTest::keyClick(w.printerList(), Qt::Key_Enter);
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(activated.first().first().toInt(), 1);
    w.printerList()->setStyle(nullptr);
    w.hide();
}

TEST_F(Window, F1OpensHelpAtTheFocusedControlsContext)
{
    makeCore();
    MainWindow w(*core);
    UrlRecorder browser;
    HelpOpener::setBrowser([&browser](const QUrl& url, std::function<void()>) {
        browser.open(url);
        return true;
    });
    w.showAndRaise();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    w.printerList()->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_F1);
    w.jobTable()->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_F1);
    w.helpContentsAction()->trigger(); // Help > Contents
    HelpOpener::resetBrowser();

    ASSERT_EQ(browser.opened.size(), 3);
    EXPECT_EQ(browser.opened[0].fragment(), QStringLiteral("context-5"));
    EXPECT_EQ(browser.opened[1].fragment(), QStringLiteral("context-1"));
    EXPECT_TRUE(browser.opened[2].fragment().isEmpty());
    EXPECT_EQ(browser.opened[2].toLocalFile(), HelpOpener::indexPath());
    // The menu entries of the File menu carry their own context.
    EXPECT_EQ(w.setupAction()->property("helpContext").toInt(), 4);
    w.hide();
}

#include "mainwindowtest.moc"
