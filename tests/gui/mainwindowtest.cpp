// The main window against a real core: what it shows, Dequeue, protect mode, the close
// query, minimising, the application title and context help.

#include "layoutcheck.h"
#include "shellfixture.h"

#include "gui/helpopener.h"
#include "gui/logtime.h"
#include "gui/mainwindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QListWidget>
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
    EXPECT_GT(w.jobList()->width(), small.width());
    EXPECT_EQ(layoutcheck::problems(&w), QStringList());
    QApplication::setFont(before);

    EXPECT_EQ(w.windowTitle(), QStringLiteral("Spoolmere"));
    EXPECT_EQ(w.jobList()->selectionMode(), QAbstractItemView::ExtendedSelection);
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
    EXPECT_EQ(named.value(w.jobList()), QStringLiteral("Jobs"));
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
    EXPECT_EQ(texts(w.printerList()), core->settings().printers);
    EXPECT_EQ(w.printerList()->currentRow(), 0);
    EXPECT_EQ(w.sessionCountLabel()->text(), QStringLiteral("Sessions: 0"));

    core->recoverSpooledJobs();
    EXPECT_EQ(texts(w.jobList()),
              (QStringList{QStringLiteral("lp z 1"), QStringLiteral("lp y 2")}));
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

TEST_F(Window, DequeueRemovesSelectedJobsButNotTheOneBeingPrinted)
{
    for (const char* n : {"001", "002", "003", "004"})
        writeOldJob(n);
    makeCore();
    core->loadSettings();
    core->recoverSpooledJobs();
    MainWindow w(*core);
    ASSERT_EQ(w.jobList()->count(), 4);
    auto row = [&](const char* display) {
        return int(texts(w.jobList()).indexOf(QLatin1String(display)));
    };
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.jobList()->setFocus();
    // A refresh keeps the keyboard's place: Shift+Up then extends from the same job.
    w.jobList()->setCurrentRow(row("lp z 4"));
    emit core->jobsChanged();
    QTest::keyClick(w.jobList(), Qt::Key_Up, Qt::ShiftModifier);
    QStringList extended;
    for (const QListWidgetItem* item : w.jobList()->selectedItems())
        extended << item->text();
    extended.sort();
    EXPECT_EQ(extended, (QStringList{QStringLiteral("lp z 3"), QStringLiteral("lp z 4")}));
    w.jobList()->clearSelection();

    // A print is on "lp z 2".
    const auto printing = core->pendingJobs().beginJob(row("lp z 2"));
    ASSERT_TRUE(printing);
    for (const char* display : {"lp z 1", "lp z 2", "lp z 4"})
        w.jobList()->item(row(display))->setSelected(true);
    w.dequeueAction()->trigger();

    QStringList left = texts(w.jobList());
    left.sort();
    EXPECT_EQ(left, (QStringList{QStringLiteral("lp z 2"), QStringLiteral("lp z 3")}));
    EXPECT_EQ(core->pendingJobs().displayStrings(), texts(w.jobList()));
    for (const char* gone : {"cfA001h", "dfA001h", "cfA004h", "dfA004h"})
        EXPECT_FALSE(QFile::exists(queueDir() + QLatin1Char('/') + QLatin1String(gone))) << gone;
    for (const char* kept : {"cfA002h", "dfA002h", "cfA003h", "dfA003h"})
        EXPECT_TRUE(QFile::exists(queueDir() + QLatin1Char('/') + QLatin1String(kept))) << kept;
    // The job being printed stays selected: a second Dequeue once it is done takes it.
    ASSERT_GE(row("lp z 2"), 0);
    EXPECT_TRUE(w.jobList()->item(row("lp z 2"))->isSelected());
    EXPECT_FALSE(w.jobList()->item(row("lp z 3"))->isSelected());
    core->pendingJobs().endPrint(printing.get(), false);
    // Delete in the list is Dequeue.
    QTest::keyClick(w.jobList(), Qt::Key_Delete);
    EXPECT_EQ(texts(w.jobList()), QStringList{QStringLiteral("lp z 3")});
}

TEST_F(Window, FinishedJobsShowTheAccountingOfADequeuedJob)
{
    writeOldJob("005", "ann");
    makeCore();
    core->loadSettings();
    core->recoverSpooledJobs();
    MainWindow w(*core);
    w.finishedJobsAction()->trigger();
    EXPECT_TRUE(
        w.finishedJobsView()->toPlainText().startsWith(QStringLiteral("No job has finished")));
    core->dequeue({QStringLiteral("lp ann 5")});
    ASSERT_TRUE(core->pendingJobs().isEmpty());
    w.finishedJobsAction()->trigger();
    const QString shown = w.finishedJobsView()->toPlainText();
    EXPECT_TRUE(shown.contains(QStringLiteral("ann")) && shown.contains(QStringLiteral("removed")))
        << shown.toStdString();
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
    auto tip = [&](int row) {
        return w.jobList()->count() == 2 ? w.jobList()->item(row)->toolTip() : QString();
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            return tip(0).startsWith(QStringLiteral("Printing failed; next attempt at ")) &&
                   tip(1).startsWith(QStringLiteral("Waiting (print record ") +
                                     queueDir(QStringLiteral("other")) +
                                     QStringLiteral("/.:printing is not a regular file); "
                                                    "next attempt at "));
        },
        20000))
        << tip(0).toStdString() << '\n'
        << tip(1).toStdString() << '\n'
        << core->log().lines().join(u'\n').toStdString();
    // The text stays the job's name, so Dequeue still finds it.
    EXPECT_EQ(texts(w.jobList()),
              (QStringList{QStringLiteral("lp bob 6"), QStringLiteral("other eve 7")}));
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
    EXPECT_TRUE(w.quitAction()->isEnabled());
    // The native window stays the same one: no flicker, no jump.
    const WId native = w.winId();
    const QPoint where = w.pos();
    for (QAction* a :
         {w.dequeueAction(), w.addJobAction(), w.helpContentsAction(), w.aboutAction()})
        EXPECT_TRUE(a->isEnabled() && w.jobMenu()->menuAction()->isEnabled());
    // A double click on a printer does nothing.
    const QRect first = w.printerList()->visualItemRect(w.printerList()->item(0));
    QTest::mouseDClick(w.printerList()->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(activated.count(), 0);

    w.setProtectMode(true); // twice on is still on; one off switches it off
    w.setProtectMode(false);
    EXPECT_TRUE(w.setupAction()->isEnabled());
    EXPECT_TRUE(w.extendedLogAction()->isEnabled());
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
    w.jobList()->setFocus();
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
