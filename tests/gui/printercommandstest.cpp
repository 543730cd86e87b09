// The setup and printer commands on a running core and its window: the dialog is driven by
// key presses while it is shown modally, clients are real (blocking loopback clients and
// rlpr), and lpd.ini is read back from disk.

#include "gui/printercommands.h"
#include "config/settings.h"
#include "gui/commandwiring.h"
#include "gui/mainwindow.h"
#include "gui/numericedit.h"
#include "gui/setupchecks.h"
#include "gui/setupdialog.h"
#include "jobrows.h"
#include "platform/installedprinters.h"
#include "protocol/lpdserver.h"

#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

#include <sys/stat.h>

namespace {

std::unique_ptr<QTemporaryDir> cleanTempDir()
{
    for (;;) {
        auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/sm-XXXXXX"));
        if (dir->isValid())
            return dir;
    }
}

// The acknowledgement bytes of the second half of a job: control file, then data file.
QByteArray finishJob(LoopbackClient& c, const QByteArray& name, const QByteArray& data)
{
    return sendJobFiles(c, "cfA" + name, "Hclient\nPuser\nldfA" + name + "\n", "dfA" + name, data);
}

class Commands : public ::testing::Test
{
protected:
    std::unique_ptr<QTemporaryDir> dir = cleanTempDir();
    std::unique_ptr<LpdServer> core;
    std::unique_ptr<MainWindow> form;
    std::unique_ptr<PrinterCommands> cmds;
    QStringList errors;
    QStringList questions;
    QStringList notices;
    bool agree = true;
    int dialogsShown = 0;

    QString ini() const { return dir->path() + QStringLiteral("/lpd.ini"); }
    QString spool() const { return dir->path() + QStringLiteral("/spool"); }

    Settings defaults() const
    {
        Settings s;
        s.spoolDir = spool();
        s.port = QString::number(freePort());
        s.hosts = {QStringLiteral("127.0.0.1")};
        // "-": received and kept, never printed.
        s.printers = {QStringLiteral("-lp /bin/true"), QStringLiteral("lp2 /bin/true"),
                      QStringLiteral("lp3 /bin/true")};
        return s;
    }

    void start(const Settings& s)
    {
        QDir().mkpath(s.spoolDir);
        ASSERT_TRUE(saveSettingsFile(ini(), s));
        core = std::make_unique<LpdServer>(ini(), nullptr, 0);
        ASSERT_TRUE(core->start());
        form = std::make_unique<MainWindow>(*core);
        cmds = std::make_unique<PrinterCommands>(*core, form.get());
        attachPrinterCommands(*form, *cmds);
        cmds->setErrorReporter([this](const QString& text) { errors << text; });
        cmds->setNotice([this](const QString& caption, const QString& text) {
            notices << caption + QStringLiteral(": ") + text;
        });
        cmds->setConfirmation([this](const QString& question, const QString&) {
            questions << question;
            return agree;
        });
        // The dialog lists the core's installed printers and (here) one port.
        core->installedPrinters().setNames({QStringLiteral("Office")});
        cmds->dialog().setLocalPorts(
            [] { return QStringList{QStringLiteral("local port /dev/ttyS0")}; });
        form->show();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    }
    void start() { start(defaults()); }

    void TearDown() override
    {
        cmds.reset();
        form.reset();
        if (core) {
            spinFor(20);
            core.reset();
        }
    }

    Settings saved() const
    {
        Settings s;
        EXPECT_TRUE(loadSettingsFile(ini(), s));
        return s;
    }

    // Runs `drive` on the setup dialog once a command has shown it (modally, in its own
    // event loop).
    void onDialog(std::function<void(SetupDialog&)> drive)
    {
        auto* timer = new QTimer(form.get());
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, timer, [this, timer, drive] {
            SetupDialog& dlg = cmds->dialog();
            if (!dlg.isVisible())
                return;
            timer->stop();
            timer->deleteLater();
            ++dialogsShown;
            drive(dlg);
        });
        timer->start();
    }
    // Selects the field's text with the keys and types over it (an emptied numeric field
    // with a range would take its minimum back at once).
    static void retype(QWidget* field, const QString& text)
    {
        field->setFocus(Qt::TabFocusReason);
        QTest::keyClick(field, Qt::Key_End);
        QTest::keyClick(field, Qt::Key_Home, Qt::ShiftModifier);
        if (text.isEmpty())
            QTest::keyClick(field, Qt::Key_Backspace);
        else
            QTest::keyClicks(field, text);
    }
    // A double click as the window system delivers it: press, release, double click,
    // release.
    static void doubleClick(QWidget* target, QPoint at)
    {
        QTest::mousePress(target, Qt::LeftButton, {}, at);
        QTest::mouseRelease(target, Qt::LeftButton, {}, at);
        QTest::mouseDClick(target, Qt::LeftButton, {}, at);
        QTest::mouseRelease(target, Qt::LeftButton, {}, at);
    }
    static void enter(QWidget* field) { QTest::keyClick(field, Qt::Key_Return); }

    QStringList listed() const
    {
        QStringList items;
        for (int i = 0; i < form->printerList()->count(); ++i)
            items << form->printerList()->item(i)->data(Qt::UserRole).toString();
        return items;
    }
    int selectedRow() const
    {
        const auto selected = form->printerList()->selectedItems();
        return selected.isEmpty() ? -1 : form->printerList()->row(selected.first());
    }
    void select(int row) { form->printerList()->setCurrentRow(row); }
};

struct ToolRun
{
    int exitCode = -1;
    QByteArray output;
};

ToolRun runTool(const QString& program, const QStringList& args)
{
    auto future = onThread([=] {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        ToolRun r;
        if (p.waitForFinished(20000))
            r.exitCode = p.exitCode();
        r.output = p.readAll();
        return r;
    });
    return awaitResult(future, 25000);
}

} // namespace

TEST_F(Commands, SetupMovesTheListenerWhileAnOpenConnectionFinishesOnTheOldPort)
{
    start();
    const quint16 oldPort = core->listeningPort();
    auto early = std::make_shared<LoopbackClient>();
    auto opened = onThread([early, oldPort] {
        if (!early->connectTo(oldPort))
            return QByteArray("connect failed");
        early->send("\x02lp\n");
        return early->read(1);
    });
    ASSERT_EQ(awaitResult(opened), QByteArray(1, '\0'));

    const quint16 newPort = freePort();
    onDialog([&](SetupDialog& dlg) {
        EXPECT_EQ(dlg.portEdit()->text(), QString::number(oldPort));
        EXPECT_EQ(dlg.spoolDirEdit()->text(), spool());
        retype(dlg.portEdit(), QString::number(newPort));
        enter(dlg.portEdit());
    });
    form->setupAction()->trigger();
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_TRUE(errors.isEmpty()) << errors.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(core->isListening());
    EXPECT_EQ(core->listeningPort(), newPort);
    EXPECT_EQ(saved().port, QString::number(newPort));
    EXPECT_TRUE(readFile(ini()).contains("PORT\r\n" + QByteArray::number(newPort) + "\r\n"));

    // The connection opened before goes on to the end of its job.
    auto finished = onThread([early] { return finishJob(*early, "001client", "early"); });
    EXPECT_EQ(awaitResult(finished), QByteArray(4, '\0'));
    EXPECT_TRUE(waitUntil(
        [&] { return core->pendingJobs().containsDisplay(QStringLiteral("lp user 1")); }));

    // Nobody listens on the old port any more; rlpr reaches the new one.
    auto refused =
        onThread([oldPort] { return LoopbackClient().connectTo(oldPort, nullptr, 1000); });
    EXPECT_FALSE(awaitResult(refused));
    const QString file = dir->path() + QStringLiteral("/late.txt");
    writeFile(file, "late job\n");
    const ToolRun sent = runTool(QStringLiteral("rlpr"),
                                 {QStringLiteral("-N"), QStringLiteral("--port=%1").arg(newPort),
                                  QStringLiteral("-H"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("-P"), QStringLiteral("lp"), file});
    EXPECT_EQ(sent.exitCode, 0) << sent.output.toStdString();
    EXPECT_TRUE(waitUntil([&] { return core->pendingJobs().count() == 2; }))
        << core->pendingJobs().displayStrings().join(QLatin1Char('|')).toStdString();
}

TEST_F(Commands, SetupTakesOverEveryFieldSavesAndScansWithoutTouchingTheSamePort)
{
    start();
    const quint16 port = core->listeningPort();
    // A job left in the spool of lp3 is found by the scan after setup.
    QDir().mkpath(spool() + QStringLiteral("/lp3"));
    writeFile(spool() + QStringLiteral("/lp3/cfA007old"), "Pold\nldfA007old\n");
    writeFile(spool() + QStringLiteral("/lp3/dfA007old"), "old");
    const QString newSpool = spool(); // same folder, typed again
    onDialog([&](SetupDialog& dlg) {
        EXPECT_EQ(dlg.hostList()->count(), 1);
        EXPECT_DOUBLE_EQ(dlg.timeoutEdit()->value(), 1.0);
        EXPECT_DOUBLE_EQ(dlg.maxConnEdit()->value(), 10.0);
        retype(dlg.spoolDirEdit(), newSpool);
        retype(dlg.hostEdit(), QStringLiteral("192.168.0."));
        enter(dlg.hostEdit()); // Add is the default while typing a host
        retype(dlg.timeoutEdit(), QStringLiteral("5"));
        retype(dlg.maxConnEdit(), QStringLiteral("20"));
        enter(dlg.maxConnEdit());
    });
    cmds->onSetup();
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_TRUE(core->isListening());
    EXPECT_EQ(core->listeningPort(), port);
    EXPECT_EQ(core->settings().timeoutMinutes, 5);
    EXPECT_EQ(core->settings().maxConn, 20);
    EXPECT_EQ(core->settings().hosts,
              (QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("192.168.0.")}));
    const Settings onDisk = saved();
    EXPECT_EQ(onDisk.timeoutMinutes, 5);
    EXPECT_EQ(onDisk.maxConn, 20);
    EXPECT_EQ(onDisk.hosts, core->settings().hosts);
    EXPECT_EQ(onDisk.spoolDir, newSpool);
    EXPECT_TRUE(core->pendingJobs().containsDisplay(QStringLiteral("lp3 old 7")));
    EXPECT_TRUE(core->log().contains(QStringLiteral("found cfA007old")));
    // Still one listener, on the same port, for a new client.
    auto c = onThread([port] { return LoopbackClient().connectTo(port); });
    EXPECT_TRUE(awaitResult(c));
}

TEST_F(Commands, SetupSavesEveryCharacterAsUtf8AndReadsItBack)
{
    start();
    // Typed into the dialog: nothing of it is Latin-1 but the letters.
    const QString newSpool = spool() + QStringLiteral("/sp\u00f6\u00f6l \u20ac \u6253\u5370");
    onDialog([&](SetupDialog& dlg) {
        // Pasted: QTest types ASCII only.
        dlg.spoolDirEdit()->setText(newSpool);
        retype(dlg.hostEdit(), QStringLiteral("2001:DB8:"));
        enter(dlg.hostEdit());
        enter(dlg.maxConnEdit());
    });
    cmds->onSetup();
    EXPECT_EQ(core->settings().spoolDir, newSpool);
    EXPECT_TRUE(readFile(ini()).contains("SPOOLDIR\r\n" + newSpool.toUtf8() + "\r\n"));
    EXPECT_EQ(saved().spoolDir, newSpool);
    EXPECT_TRUE(saved().hosts.contains(QStringLiteral("2001:DB8:")));
    // The folder on disk has the name's UTF-8 bytes, not a re-encoding of them.
    struct stat st
    {
    };
    EXPECT_EQ(::stat(newSpool.toUtf8().constData(), &st), 0);
}

TEST_F(Commands, SetupCancelledChangesAndSavesNothing)
{
    start();
    const QByteArray before = readFile(ini());
    onDialog([&](SetupDialog& dlg) {
        retype(dlg.timeoutEdit(), QStringLiteral("9"));
        QTest::keyClick(dlg.timeoutEdit(), Qt::Key_Escape);
    });
    cmds->onSetup();
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_EQ(core->settings().timeoutMinutes, 1);
    EXPECT_EQ(readFile(ini()), before);
}

TEST_F(Commands, ListenerThatCannotOpenIsReportedAndNothingIsSaved)
{
    start();
    // Another listener already holds the port.
    LpdServer other(dir->path() + QStringLiteral("/other.ini"), nullptr, 0);
    {
        Settings s = other.settings();
        s.port = QString::number(freePort());
        other.applySettings(s);
    }
    ASSERT_TRUE(other.startListening());
    const QString taken = QString::number(other.listeningPort());
    const QByteArray before = readFile(ini());
    bool editsKept = false;
    onDialog([&](SetupDialog& dlg) {
        retype(dlg.portEdit(), taken);
        retype(dlg.hostEdit(), QStringLiteral("10."));
        enter(dlg.hostEdit());
        // After the box the dialog comes back with the edits, to be mended or cancelled.
        onDialog([&](SetupDialog& again) {
            editsKept = again.portEdit()->text() == taken && again.hostList()->count() == 2 &&
                        again.hostList()->item(1)->text() == QStringLiteral("10.");
            again.reject();
        });
        enter(dlg.spoolDirEdit());
    });
    const quint16 oldPort = core->listeningPort();
    cmds->onSetup();
    EXPECT_EQ(dialogsShown, 2);
    EXPECT_TRUE(editsKept);
    // Nothing changed: the old listener goes on, and the box names port and reason.
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QStringLiteral("Cannot listen on [::]:") + taken +
                             QStringLiteral(": Address already in use"));
    EXPECT_TRUE(core->isListening());
    EXPECT_EQ(core->listeningPort(), oldPort);
    EXPECT_EQ(core->settings().port, QString::number(oldPort));
    EXPECT_EQ(core->settings().hosts, QStringList{QStringLiteral("127.0.0.1")});
    EXPECT_EQ(readFile(ini()), before);
}

TEST_F(Commands, AddedPrintersAreInLpdIniAtOnceDuplicatesToo)
{
    start();
    select(1);
    for (int i = 0; i < 2; ++i) {
        onDialog([&](SetupDialog& dlg) {
            EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Add Printer"));
            EXPECT_TRUE(dlg.queueEdit()->text().isEmpty());
            QTest::keyClicks(dlg.queueEdit(), QStringLiteral("laser"));
            QTest::keyClicks(dlg.commandEdit(), QStringLiteral("/usr/bin/lp -d laser %p/%d"));
            enter(dlg.queueEdit());
        });
        form->addPrinterAction()->trigger();
    }
    EXPECT_EQ(dialogsShown, 2);
    const QString def = QStringLiteral("laser /usr/bin/lp -d laser %p/%d");
    const QStringList expected = defaults().printers + QStringList{def, def};
    EXPECT_EQ(core->settings().printers, expected);
    EXPECT_EQ(listed(), expected);
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(saved().printers, expected);

    // A new connection is told about the new queue at once: a job for it is received.
    const QByteArray acks = [&] {
        auto f = onThread([port = core->listeningPort()] {
            LoopbackClient c;
            if (!c.connectTo(port))
                return QByteArray("connect failed");
            c.send("\x02laser\n");
            const QByteArray first = c.read(1);
            return first + finishJob(c, "002client", "for laser");
        });
        return awaitResult(f);
    }();
    EXPECT_EQ(acks, QByteArray(5, '\0'));
}

TEST_F(Commands, EditByDoubleClickOrEnterReplacesInPlace)
{
    start();
    select(1);
    onDialog([&](SetupDialog& dlg) {
        EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Edit Printer"));
        EXPECT_EQ(dlg.queueEdit()->text(), QStringLiteral("lp2"));
        dlg.rawBox()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(dlg.rawBox(), Qt::Key_Space);
        EXPECT_EQ(dlg.installedPrinterCombo()->currentText(), QStringLiteral("Office"));
        dlg.rawTargetCombo()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(dlg.rawTargetCombo(), Qt::Key_Down);
        QTest::keyClick(dlg.rawTargetCombo(), Qt::Key_Down);
        enter(dlg.queueEdit());
    });
    const QRect second = form->printerList()->visualItemRect(form->printerList()->item(1));
    doubleClick(form->printerList()->viewport(), second.center());
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_EQ(core->settings().printers.at(1), QStringLiteral("lp2 |local port /dev/ttyS0"));
    EXPECT_EQ(listed().at(1), QStringLiteral("lp2 |local port /dev/ttyS0"));
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(saved().printers, core->settings().printers);

    select(2);
    onDialog([&](SetupDialog& dlg) {
        retype(dlg.queueEdit(), QStringLiteral("lp4"));
        enter(dlg.queueEdit());
    });
    form->printerList()->setFocus();
    QTest::keyClick(form->printerList(), Qt::Key_Return);
    EXPECT_EQ(dialogsShown, 2);
    EXPECT_EQ(saved().printers.at(2), QStringLiteral("lp4 /bin/true"));
    EXPECT_EQ(selectedRow(), 2);

    // Cancelled: nothing changes.
    const QByteArray before = readFile(ini());
    onDialog([&](SetupDialog& dlg) {
        retype(dlg.queueEdit(), QStringLiteral("other"));
        QTest::mouseClick(dlg.cancelButton(), Qt::LeftButton);
    });
    cmds->onEditPrinter();
    EXPECT_EQ(dialogsShown, 3);
    EXPECT_EQ(readFile(ini()), before);
    EXPECT_EQ(core->settings().printers.at(2), QStringLiteral("lp4 /bin/true"));
}

TEST_F(Commands, RemoveAsksAndSelectsTheEntryBefore)
{
    start();
    select(2);
    // Asked first; no keeps it.
    agree = false;
    form->removePrinterAction()->trigger();
    EXPECT_EQ(questions, QStringList{QStringLiteral("Remove the printer \"lp3\"?")});
    EXPECT_EQ(listed().size(), 3);
    agree = true;
    form->removePrinterAction()->trigger();
    EXPECT_EQ(listed(),
              (QStringList{QStringLiteral("-lp /bin/true"), QStringLiteral("lp2 /bin/true")}));
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(saved().printers, core->settings().printers);
    select(0);
    form->removePrinterAction()->trigger();
    EXPECT_EQ(listed(), QStringList{QStringLiteral("lp2 /bin/true")});
    // The first one removed: the new first one is selected.
    EXPECT_EQ(selectedRow(), 0);
    // Nothing selected: each command says why it does nothing.
    form->showPrinters(-1);
    form->removePrinterAction()->trigger();
    form->editPrinterAction()->trigger();
    form->addJobAction()->trigger();
    const QString noSelection =
        QStringLiteral(": No printer is selected. Select one in the Printers list first.");
    EXPECT_EQ(notices, (QStringList{QStringLiteral("Remove Printer") + noSelection,
                                    QStringLiteral("Edit Printer") + noSelection,
                                    QStringLiteral("Add Job") + noSelection}));
    EXPECT_EQ(saved().printers, QStringList{QStringLiteral("lp2 /bin/true")});
    select(0);
    form->removePrinterAction()->trigger();
    EXPECT_TRUE(saved().printers.isEmpty());
    notices.clear();
    form->editPrinterAction()->trigger();
    form->addJobAction()->trigger();
    EXPECT_EQ(notices,
              (QStringList{QStringLiteral("Edit Printer: There is no printer yet. Add one with "
                                          "File > Add Printer first."),
                           QStringLiteral("Add Job: There is no printer yet. Add one with File > "
                                          "Add Printer first.")}));
    spinFor(50);
    EXPECT_EQ(dialogsShown, 0);
}

TEST_F(Commands, ProtectModeBlocksAllFourCommands)
{
    start();
    form->setProtectMode(true);
    select(1);
    const QByteArray before = readFile(ini());
    onDialog([&](SetupDialog& dlg) { dlg.reject(); });
    const QRect second = form->printerList()->visualItemRect(form->printerList()->item(1));
    doubleClick(form->printerList()->viewport(), second.center());
    cmds->onSetup();
    cmds->onAddPrinter();
    cmds->onEditPrinter();
    cmds->onRemovePrinter();
    spinFor(50);
    EXPECT_EQ(dialogsShown, 0);
    EXPECT_EQ(listed().size(), 3);
    EXPECT_EQ(readFile(ini()), before);
}

TEST_F(Commands, FailedSaveIsReportedAndTheChangeStays)
{
    Settings s = defaults();
    start(s);
    // A folder stands where lpd.ini should be: nothing can be renamed over it.
    ASSERT_TRUE(QFile::remove(ini()));
    ASSERT_TRUE(QDir().mkdir(ini()));
    select(0);
    form->removePrinterAction()->trigger();
    EXPECT_EQ(errors, QStringList{QStringLiteral("Failure writing ini file")});
    EXPECT_EQ(core->settings().printers.size(), 2);
    EXPECT_TRUE(core->log().contains(QStringLiteral("Failure writing ini file")));
}

TEST_F(Commands, DialogMessagesAreRealMessageBoxes)
{
    start();
    QString seen;
    onDialog([&](SetupDialog& dlg) {
        QTimer::singleShot(20, &dlg, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen = box->windowTitle() + QLatin1Char('|') + box->text() + QLatin1Char('|') +
                   QString::number(box->icon());
            box->accept();
            retype(dlg.queueEdit(), QStringLiteral("lp9"));
            QTest::keyClicks(dlg.commandEdit(), QStringLiteral("/bin/true"));
            enter(dlg.queueEdit());
        });
        QTest::keyClicks(dlg.queueEdit(), QStringLiteral("lp_9"));
        enter(dlg.queueEdit());
    });
    cmds->onAddPrinter();
    EXPECT_TRUE(seen.startsWith(QStringLiteral("Error|Invalid LPD printer name \"lp_9\". A name "
                                               "has 1 to 31 characters")))
        << seen.toStdString();
    EXPECT_TRUE(seen.endsWith(QLatin1Char('|') + QString::number(QMessageBox::Critical)));
    EXPECT_EQ(core->settings().printers.last(), QStringLiteral("lp9 /bin/true"));
}

TEST_F(Commands, LocalFilePrintsLikeAReceivedJob)
{
    Settings s = defaults();
    const QString out = dir->path() + QStringLiteral("/printed.bin");
    const QString script = dir->path() + QStringLiteral("/print.sh");
    ASSERT_TRUE(writeScript(script, "cat \"$1\" > '" + out.toLocal8Bit() + "'\n"));
    s.printers = {QStringLiteral("lp ") + script + QStringLiteral(" %p/%d")};
    start(s);
    select(0);
    QByteArray data;
    for (int i = 0; i < 3000; ++i)
        data.append(char(i));
    const QString file = dir->path() + QStringLiteral("/page.pcl");
    writeFile(file, data);

    // The real file dialog, first where the user's documents are (or at home); its name
    // field takes the path, Enter opens it.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    EXPECT_EQ(cmds->openDialog()->directory().absolutePath(),
              QDir(QFileInfo(documents).isDir() ? documents : QDir::homePath()).absolutePath());
    EXPECT_EQ(cmds->openDialog()->nameFilters().size(), 7);
    EXPECT_EQ(cmds->openDialog()->nameFilters().first(),
              QStringLiteral("Printable files (*.pdf *.ps *.pcl *.txt *.raw)"));
    QTimer::singleShot(50, cmds->openDialog(), [&] {
        auto* name = cmds->openDialog()->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        QTest::keyClicks(name, file);
        QTest::keyClick(name, Qt::Key_Return);
    });
    // What the Jobs table showed at each change: the job prints at once and may be gone
    // again before the test looks.
    QStringList listed;
    QObject::connect(form->jobTable()->model(), &QAbstractItemModel::rowsInserted, form.get(),
                     [&] { listed << jobRows(*form); });
    form->addJobAction()->trigger();
    // The copy runs on a worker: the job is listed once it is complete, never before the
    // command has returned to the event loop.
    EXPECT_TRUE(jobRows(*form).isEmpty());
    EXPECT_TRUE(waitUntil([&] { return !listed.isEmpty(); }));
    // The next time, the dialog starts where this file was picked.
    EXPECT_EQ(cmds->openDialog()->directory().absolutePath(), QDir(dir->path()).absolutePath());
    EXPECT_EQ(listed.first(), QStringLiteral("lp default 0"));
    EXPECT_TRUE(waitUntil([&] { return readFile(out) == data; }, 15000))
        << core->log().lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(waitUntil([&] { return jobRows(*form).isEmpty(); }, 5000));
    EXPECT_TRUE(core->log().contains(QStringLiteral("Successful: ") + script + QLatin1Char(' ') +
                                     spool() + QStringLiteral("/lp/dfA000localhost")));
    EXPECT_TRUE(QDir(spool() + QStringLiteral("/lp")).entryList(QDir::Files).isEmpty());

    // Cancelling the file dialog adds nothing and logs nothing.
    const int lines = core->log().lines().size();
    QTimer::singleShot(50, cmds->openDialog(), [&] { cmds->openDialog()->reject(); });
    form->addJobAction()->trigger();
    EXPECT_EQ(core->log().lines().size(), lines);
    EXPECT_TRUE(core->pendingJobs().isEmpty());

    // A file that cannot be read is logged, not listed, and the box says why.
    errors.clear();
    cmds->setFileChooser([&] { return dir->path() + QStringLiteral("/gone.ps"); });
    form->addJobAction()->trigger();
    EXPECT_TRUE(core->log().contains(QStringLiteral("ERROR: Cannot open ") + dir->path() +
                                     QStringLiteral("/gone.ps for lp.")));
    EXPECT_EQ(errors.value(0), QStringLiteral("Cannot add %1/gone.ps as a job: No such file or "
                                              "directory.")
                                   .arg(dir->path()));
    EXPECT_TRUE(core->pendingJobs().isEmpty());

    // A FIFO would hang the copy, a device would never end: neither is taken, and nothing
    // waits on them (a blocked open would stop this test here).
    const QString fifo = dir->path() + QStringLiteral("/pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& special : {fifo, QStringLiteral("/dev/zero")}) {
        cmds->setFileChooser([special] { return special; });
        form->addJobAction()->trigger();
        EXPECT_TRUE(core->log().contains(QStringLiteral("ERROR: Cannot open ") + special +
                                         QStringLiteral(" for lp.")))
            << special.toStdString();
    }
    ASSERT_EQ(errors.size(), 3);
    EXPECT_TRUE(errors[1].contains(QStringLiteral("it is a pipe (FIFO)")))
        << errors[1].toStdString();
    EXPECT_TRUE(errors[2].contains(QStringLiteral("/dev/zero as a job: it is a device")));
    spinFor(50);
    EXPECT_TRUE(core->pendingJobs().isEmpty());
    EXPECT_TRUE(QDir(spool() + QStringLiteral("/lp")).entryList(QDir::Files).isEmpty());
}
