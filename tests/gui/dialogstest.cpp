// The extended-log dialog (flags, lpd.ini, Save Log) and the about box, driven through
// their real modal loops.

#include "layoutcheck.h"
#include "shellfixture.h"

#include "gui/aboutdialog.h"
#include "gui/extendedlogdialog.h"
#include "gui/mainwindow.h"
#include "gui/setupdialog.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QStandardPaths>
#include <QTest>

class Dialogs : public ShellFixture
{
};

TEST_F(Dialogs, ExtendedLogOkWritesLoggingAndCancelChangesNothing)
{
    Settings s = defaults();
    s.logReceivedData = true;
    makeCore(s);
    core->loadSettings();
    MainWindow w(*core);
    w.createDialogs();
    ExtendedLogDialog& d = *w.extendedLogDialog();

    // Cancel after ticking a box: flags and file stay as they were.
    const QByteArray before = readFile(ini());
    bool seen = false;
    answerModals([&](QWidget* modal) {
        if (modal != &d)
            return false;
        seen = d.standardBox()->isChecked() && !d.standardBox()->isEnabled() &&
               d.receivedDataBox()->isChecked() && !d.connectingBox()->isChecked() &&
               !d.printingBox()->isChecked();
        d.connectingBox()->setChecked(true);
        d.cancelButton()->click();
        return true;
    });
    w.onExtendedLog();
    EXPECT_TRUE(seen) << "the boxes did not show the flags";
    EXPECT_FALSE(core->log().connectingEnabled());
    EXPECT_EQ(readFile(ini()), before);

    // OK: Connecting and Printing on, Received Data off; LOGGING = 1 + 4.
    answerModals([&](QWidget* modal) {
        if (modal != &d)
            return false;
        d.connectingBox()->setChecked(true);
        d.receivedDataBox()->setChecked(false);
        d.printingBox()->setChecked(true);
        d.okButton()->click();
        return true;
    });
    w.onExtendedLog();
    EXPECT_TRUE(core->log().connectingEnabled());
    EXPECT_FALSE(core->log().receivedDataEnabled());
    EXPECT_TRUE(core->log().printingEnabled());
    Settings written;
    ASSERT_TRUE(loadSettingsFile(ini(), written));
    EXPECT_EQ(written.loggingBits(), 5);
    EXPECT_TRUE(readFile(ini()).contains("LOGGING\r\n5\r\n"));
    // The rest of the file is kept.
    EXPECT_EQ(written.printers, s.printers);
    EXPECT_EQ(written.spoolDir, s.spoolDir);
}

TEST_F(Dialogs, OkWhenTheIniCannotBeWrittenSaysSoAndKeepsTheNewFlags)
{
    // lpd.ini's place is taken by a folder: the write after OK fails.
    const QString blocked = dir.path() + QStringLiteral("/lpd.ini");
    ASSERT_TRUE(QDir().mkpath(blocked));
    auto broken = std::make_unique<LpdServer>(blocked, nullptr, 0);
    MainWindow w(*broken);
    w.createDialogs();
    QString boxText, boxTitle;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    answerModals([&](QWidget* modal) {
        if (modal == w.extendedLogDialog()) {
            w.extendedLogDialog()->receivedDataBox()->setChecked(true);
            w.extendedLogDialog()->okButton()->click();
            return false;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxText = box->text();
            boxTitle = box->windowTitle();
            icon = box->icon();
            box->accept();
            return true;
        }
        return false;
    });
    w.onExtendedLog();
    EXPECT_EQ(boxText, QStringLiteral("Failure writing ini file"));
    EXPECT_EQ(boxTitle, QStringLiteral("Error"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(broken->log().receivedDataEnabled());
    EXPECT_TRUE(broken->log().contains(QStringLiteral("Failure writing ini file")));
}

TEST_F(Dialogs, AtALargeFontNothingOverlapsAndAccessKeysAreUnique)
{
    const QFont before = QApplication::font();
    QFont large = before;
    large.setPointSize(16);
    QApplication::setFont(large);
    {
        ExtendedLogDialog log;
        AboutDialog about;
        SetupDialog setup;
        setup.setAvailablePrinters([] { return QStringList{QStringLiteral("Office")}; });
        setup.setLocalPrinters([] { return QStringList(); });
        setup.setLocalPorts([] { return QStringList(); });
        const auto check = [](QDialog& d) {
            d.show();
            EXPECT_TRUE(QTest::qWaitForWindowExposed(&d));
            EXPECT_EQ(layoutcheck::problems(&d), QStringList()) << d.windowTitle().toStdString();
            EXPECT_EQ(layoutcheck::clashes(&d), QStringList()) << d.windowTitle().toStdString();
            d.hide();
        };
        check(log);
        check(about);
        setup.showSetupMode();
        check(setup);
        setup.showPrinterMode();
        check(setup);
        // Every field a screen reader reaches has a name.
        for (QWidget* w : setup.findChildren<QWidget*>()) {
            const bool field =
                (qobject_cast<QLineEdit*>(w) && !qobject_cast<QComboBox*>(w->parentWidget())) ||
                qobject_cast<QAbstractItemView*>(w) || qobject_cast<QComboBox*>(w) ||
                qobject_cast<QScrollArea*>(w); // a Tab stop on the way to the page
            if (field && w->isVisibleTo(&setup)) {
                EXPECT_FALSE(w->accessibleName().isEmpty()) << w->toolTip().toStdString();
            }
        }
    }
    QApplication::setFont(before);
}

TEST_F(Dialogs, SaveDialogIsSetUpForLogFiles)
{
    ExtendedLogDialog d;
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Extended Log"));
    EXPECT_EQ(d.saveDialog()->windowTitle(), QStringLiteral("Save Log"));
    EXPECT_EQ(d.saveDialog()->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(d.saveDialog()->defaultSuffix(), QStringLiteral("txt"));
    EXPECT_EQ(d.saveDialog()->nameFilters(),
              (QStringList{QStringLiteral("Text files (*.txt)"), QStringLiteral("All files (*)")}));
    EXPECT_EQ(QDir(d.saveDialog()->directory()).absolutePath(),
              QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)).exists()
                  ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                  : QDir::homePath());
    EXPECT_FALSE(d.saveDialog()->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_TRUE(d.okButton()->isDefault());
    EXPECT_FALSE(d.saveLogButton()->isDefault());
}

TEST_F(Dialogs, SaveLogWritesTheViewWithCrLfAddsTxtAndAsksBeforeReplacing)
{
    makeCore();
    MainWindow w(*core);
    w.createDialogs();
    ExtendedLogDialog& d = *w.extendedLogDialog();
    const QString target = dir.path() + QStringLiteral("/saved.txt");

    // An empty log gives an empty file.
    ASSERT_TRUE(d.saveLogTo(target));
    EXPECT_TRUE(QFile::exists(target));
    EXPECT_EQ(readFile(target), QByteArray());

    core->log().append(QStringLiteral("Remote 127.0.0.1 connected"));
    core->log().append(QString());
    core->log().append(QStringLiteral("Scanning for old jobs for printer lp"));
    // Each line with the time the view shows for it: a saved log is what a user sends when
    // asking for help.
    const QRegularExpression expected(QStringLiteral(
        "^\\d\\d:\\d\\d:\\d\\d  Remote 127.0.0.1 connected\r\n\\d\\d:\\d\\d:\\d\\d  \r\n"
        "\\d\\d:\\d\\d:\\d\\d  Scanning for old jobs for printer lp\r\n$"));

    // Through the file dialog: a name typed without extension gets ".txt"; the file exists
    // now, so the dialog asks before replacing it.
    d.saveDialog()->setDirectory(dir.path());
    bool asked = false;
    answerModals([&](QWidget* modal) {
        if (modal == d.saveDialog()) {
            // Typed by the user, without extension.
            auto* name = d.saveDialog()->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) {
                ADD_FAILURE() << "no file name field";
                d.saveDialog()->reject();
                return true;
            }
            name->clear();
            QTest::keyClicks(name, QStringLiteral("saved"));
            // Later, from the dialog's own loop: accepting may open the overwrite question.
            QDialog* dialog = d.saveDialog();
            QTimer::singleShot(0, dialog, [dialog] { dialog->accept(); });
            return false;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            asked = box->text().contains(QStringLiteral("saved.txt"));
            box->button(QMessageBox::Yes)->click();
            return true;
        }
        return false;
    });
    d.onSaveLogClicked();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(expected.match(QString::fromLocal8Bit(readFile(target))).hasMatch())
        << readFile(target).toStdString();
    // The chosen name is offered again.
    EXPECT_TRUE(d.saveDialog()->selectedFiles().value(0).endsWith(QStringLiteral("saved.txt")));

    // Cancel writes nothing.
    const QString other = dir.path() + QStringLiteral("/other.txt");
    answerModals([&](QWidget* modal) {
        if (modal != d.saveDialog())
            return false;
        d.saveDialog()->reject();
        return true;
    });
    d.onSaveLogClicked();
    EXPECT_FALSE(QFile::exists(other));
}

TEST_F(Dialogs, SaveLogToAPlaceThatCannotBeCreatedSaysSo)
{
    makeCore();
    MainWindow w(*core);
    w.createDialogs();
    core->log().append(QStringLiteral("a line"));
    const QString target = dir.path() + QStringLiteral("/no/such/folder/log.txt");
    QString shown;
    QString caption;
    acceptNextMessageBox(&shown, &caption);
    EXPECT_FALSE(w.extendedLogDialog()->saveLogTo(target));
    // What failed and why, under the caption every error box has.
    EXPECT_EQ(caption, QStringLiteral("Error"));
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Cannot create file %1: ").arg(target)))
        << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("No such file or directory"))) << shown.toStdString();
    EXPECT_EQ(core->log().lines(), QStringList{QStringLiteral("a line")});
}

TEST_F(Dialogs, AboutBoxShowsVersionAndServiceStatus)
{
    EXPECT_EQ(AboutDialog::versionText(QStringLiteral("2.10.3.7")),
              QStringLiteral("Version 2.10.3"));
    EXPECT_EQ(AboutDialog::versionText(QStringLiteral("0.1.0")), QStringLiteral("Version 0.1.0"));
    EXPECT_EQ(AboutDialog::versionText(QString()), QStringLiteral("Version 0.0.0"));
    EXPECT_EQ(AboutDialog::versionText(QStringLiteral("70000.2")), QStringLiteral("Version 0.2.0"));

    makeCore();
    MainWindow w(*core);
    w.createDialogs();
    EXPECT_EQ(w.aboutDialog()->windowTitle(), QStringLiteral("About Spoolmere"));
    EXPECT_EQ(w.aboutDialog()->productName()->text(), QStringLiteral("Spoolmere"));
    EXPECT_EQ(w.aboutDialog()->versionLabel()->text(),
              AboutDialog::versionText(QStringLiteral(SPOOLMERE_VERSION)));
    EXPECT_EQ(w.aboutDialog()->serviceStatusLabel()->text(), QStringLiteral("unknown OS"));
    EXPECT_EQ(w.aboutDialog()->programIcon()->pixmap().size(), QSize(64, 64));

    w.setServiceStatus(QStringLiteral("Running in this desktop session"));
    QString shown;
    answerModals([&](QWidget* modal) {
        if (modal != w.aboutDialog())
            return false;
        shown = w.aboutDialog()->serviceStatusLabel()->text();
        w.aboutDialog()->okButton()->click();
        return true;
    });
    w.onAbout();
    EXPECT_EQ(shown, QStringLiteral("Running in this desktop session"));
    // Info stays available in protect mode.
    w.setProtectMode(true);
    EXPECT_TRUE(w.aboutAction()->isEnabled());
}
