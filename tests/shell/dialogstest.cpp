// The extended-log dialog (flags, lpd.ini, Save Log) and the about box, driven through
// their real modal loops.

#include "shellfixture.h"

#include "shell/taboutbox1.h"
#include "shell/tform1.h"
#include "shell/tokrightdlg.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

class Dialogs : public ShellFixture
{
};

TEST_F(Dialogs, ExtendedLogOkWritesLoggingAndCancelChangesNothing)
{
    Settings s = defaults();
    s.logReceivedData = true;
    makeCore(s);
    core->loadsettings();
    TForm1 w(*core);
    w.createDialogs();
    TOKRightDlg& d = *w.OKRightDlg;

    // Cancel after ticking a box: flags and file stay as they were.
    const QByteArray before = readFile(ini());
    bool seen = false;
    answerModals([&](QWidget* modal) {
        if (modal != &d)
            return false;
        seen = d.CheckBox1->isChecked() && !d.CheckBox1->isEnabled() && d.CheckBox3->isChecked() &&
               !d.CheckBox2->isChecked() && !d.CheckBox4->isChecked();
        d.CheckBox2->setChecked(true);
        d.CancelBtn->click();
        return true;
    });
    w.ExtendedLog1Click();
    EXPECT_TRUE(seen) << "the boxes did not show the flags";
    EXPECT_FALSE(core->log.connecting);
    EXPECT_EQ(readFile(ini()), before);

    // OK: Connecting and Printing on, Received Data off; LOGGING = 1 + 4.
    answerModals([&](QWidget* modal) {
        if (modal != &d)
            return false;
        d.CheckBox2->setChecked(true);
        d.CheckBox3->setChecked(false);
        d.CheckBox4->setChecked(true);
        d.OKBtn->click();
        return true;
    });
    w.ExtendedLog1Click();
    EXPECT_TRUE(core->log.connecting);
    EXPECT_FALSE(core->log.receivedData);
    EXPECT_TRUE(core->log.printing);
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
    TForm1 w(*broken);
    w.createDialogs();
    QString boxText, boxTitle;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    answerModals([&](QWidget* modal) {
        if (modal == w.OKRightDlg) {
            w.OKRightDlg->CheckBox3->setChecked(true);
            w.OKRightDlg->OKBtn->click();
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
    w.ExtendedLog1Click();
    EXPECT_EQ(boxText, QStringLiteral("Failure writing ini file"));
    EXPECT_EQ(boxTitle, QStringLiteral("Error"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_TRUE(broken->log.receivedData);
    EXPECT_TRUE(broken->log.contains(QStringLiteral("Failure writing ini file")));
}

TEST_F(Dialogs, SaveDialogIsSetUpAsTheClassicOne)
{
    TOKRightDlg d;
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Extended Log"));
    EXPECT_EQ(d.SaveDialog1->windowTitle(), QStringLiteral("Save Logfile To"));
    EXPECT_EQ(d.SaveDialog1->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(d.SaveDialog1->defaultSuffix(), QStringLiteral("txt"));
    EXPECT_EQ(d.SaveDialog1->nameFilters(),
              (QStringList{QStringLiteral("Textfile (*.txt)"), QStringLiteral("All files (*)")}));
    EXPECT_FALSE(d.SaveDialog1->testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_TRUE(d.OKBtn->isDefault());
    EXPECT_FALSE(d.Button1->isDefault());
}

TEST_F(Dialogs, SaveLogWritesTheViewWithCrLfAddsTxtAndAsksBeforeReplacing)
{
    makeCore();
    TForm1 w(*core);
    w.createDialogs();
    TOKRightDlg& d = *w.OKRightDlg;
    const QString target = dir.path() + QStringLiteral("/saved.txt");

    // An empty log gives an empty file.
    ASSERT_TRUE(d.saveLogTo(target));
    EXPECT_TRUE(QFile::exists(target));
    EXPECT_EQ(readFile(target), QByteArray());

    core->log.append(QStringLiteral("Remote 127.0.0.1 connected"));
    core->log.append(QString());
    core->log.append(QStringLiteral("Scanning for old jobs for printer lp"));
    const QByteArray expected =
        "Remote 127.0.0.1 connected\r\n\r\nScanning for old jobs for printer lp\r\n";

    // Through the file dialog: a name typed without extension gets ".txt"; the file exists
    // now, so the dialog asks before replacing it.
    d.SaveDialog1->setDirectory(dir.path());
    bool asked = false;
    answerModals([&](QWidget* modal) {
        if (modal == d.SaveDialog1) {
            // Typed by the user, without extension.
            auto* name = d.SaveDialog1->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name) {
                ADD_FAILURE() << "no file name field";
                d.SaveDialog1->reject();
                return true;
            }
            name->clear();
            QTest::keyClicks(name, QStringLiteral("saved"));
            // Later, from the dialog's own loop: accepting may open the overwrite question.
            QDialog* dialog = d.SaveDialog1;
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
    d.Button1Click();
    EXPECT_TRUE(asked);
    EXPECT_EQ(readFile(target), expected);
    // The chosen name is offered again.
    EXPECT_TRUE(d.SaveDialog1->selectedFiles().value(0).endsWith(QStringLiteral("saved.txt")));

    // Cancel writes nothing.
    const QString other = dir.path() + QStringLiteral("/other.txt");
    answerModals([&](QWidget* modal) {
        if (modal != d.SaveDialog1)
            return false;
        d.SaveDialog1->reject();
        return true;
    });
    d.Button1Click();
    EXPECT_FALSE(QFile::exists(other));
}

TEST_F(Dialogs, SaveLogToAPlaceThatCannotBeCreatedSaysSo)
{
    makeCore();
    TForm1 w(*core);
    w.createDialogs();
    core->log.append(QStringLiteral("a line"));
    const QString target = dir.path() + QStringLiteral("/no/such/folder/log.txt");
    QString shown;
    acceptNextMessageBox(&shown);
    EXPECT_FALSE(w.OKRightDlg->saveLogTo(target));
    EXPECT_EQ(shown, QStringLiteral("Cannot create file %1").arg(target));
    EXPECT_EQ(core->log.lines(), QStringList{QStringLiteral("a line")});
}

TEST_F(Dialogs, AboutBoxShowsVersionAndServiceStatus)
{
    EXPECT_EQ(TAboutBox1::versionText(QStringLiteral("2.10.3.7")),
              QStringLiteral("Version 2.10.3"));
    EXPECT_EQ(TAboutBox1::versionText(QStringLiteral("0.1.0")), QStringLiteral("Version 0.1.0"));
    EXPECT_EQ(TAboutBox1::versionText(QString()), QStringLiteral("Version 0.0.0"));
    EXPECT_EQ(TAboutBox1::versionText(QStringLiteral("70000.2")), QStringLiteral("Version 0.2.0"));

    makeCore();
    TForm1 w(*core);
    w.createDialogs();
    EXPECT_EQ(w.AboutBox1->windowTitle(), QStringLiteral("Info"));
    EXPECT_EQ(w.AboutBox1->ProductName->text(), QStringLiteral("Spoolmere"));
    EXPECT_EQ(w.AboutBox1->Version->text(),
              TAboutBox1::versionText(QStringLiteral(SPOOLMERE_VERSION)));
    EXPECT_EQ(w.AboutBox1->Label1->text(), QStringLiteral("unknown OS"));
    EXPECT_EQ(w.AboutBox1->ProgramIcon->pixmap().size(), QSize(64, 64));

    w.setServiceStatus(QStringLiteral("No Win9X"));
    QString shown;
    answerModals([&](QWidget* modal) {
        if (modal != w.AboutBox1)
            return false;
        shown = w.AboutBox1->Label1->text();
        w.AboutBox1->OKButton->click();
        return true;
    });
    w.Info2Click();
    EXPECT_EQ(shown, QStringLiteral("No Win9X"));
    // Info stays available in protect mode.
    w.setProtectMode(true);
    EXPECT_TRUE(w.Info2->isEnabled());
}
