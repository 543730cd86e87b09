// The setup dialog shown and typed into: its checks, messages, the definition it builds,
// the host list and the buttons that leave the program.

#include "gui/setupdialog.h"
#include "gui/helpopener.h"
#include "gui/numericedit.h"
#include "gui/setupchecks.h"

#include "privatecups.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

class UrlRecorder final : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl& url) { urls << url; }
};

namespace {

struct Message
{
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

// Each refusal names what was refused and states the rule.
const QString illegalName = QStringLiteral("Invalid LPD printer name");
const QString illegalTarget = QStringLiteral("Invalid raw target");
const QString typedByHand = QStringLiteral(
    "You have entered a port/path manually. Make sure the host/printer exists, or problems "
    "may happen.");

// A temporary folder whose path holds no reserved word (a random "con" would fail the
// spool folder check for the wrong reason).
std::unique_ptr<QTemporaryDir> cleanTempDir()
{
    for (;;) {
        auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/sm-XXXXXX"));
        if (dir->isValid())
            return dir;
    }
}

class PagesDlg : public ::testing::Test
{
protected:
    SetupDialog dlg;
    std::vector<Message> messages;

    void SetUp() override
    {
        dlg.setAvailablePrinters([] {
            return QStringList{QStringLiteral("Office"), QStringLiteral("Lab")};
        });
        dlg.setLocalPrinters([] {
            return QStringList{QStringLiteral("Office"), QStringLiteral("Lab")};
        });
        dlg.setLocalPorts([] {
            return QStringList{QStringLiteral("local port /dev/ttyS0"),
                               QStringLiteral("local port /dev/usb/lp0")};
        });
        dlg.setMessageHandler(
            [this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
                messages.push_back({icon, caption, text});
            });
    }

    void showDialog()
    {
        dlg.show();
        QApplication::setActiveWindow(&dlg);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    }
    void showPrinter(const QString& definition)
    {
        messages.clear();
        dlg.setDefinition(definition);
        dlg.showPrinterMode();
        showDialog();
    }
    void showSetup()
    {
        messages.clear();
        dlg.showSetupMode();
        showDialog();
    }
    static void retype(QWidget* field, const QString& text)
    {
        field->setFocus(Qt::TabFocusReason);
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    // Enter reaches OK, the default button.
    void pressEnter(QWidget* in) { QTest::keyClick(in, Qt::Key_Return); }
    void tickPrintRaw()
    {
        dlg.rawBox()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(dlg.rawBox(), Qt::Key_Space);
    }
    bool lastMessageIs(QMessageBox::Icon icon, const QString& caption, const QString& text) const
    {
        return !messages.empty() && messages.back().icon == icon &&
               messages.back().caption == caption &&
               (messages.back().text == text ||
                (icon == QMessageBox::Critical && messages.back().text.startsWith(text) &&
                 messages.back().text.contains(QStringLiteral(" has 1 to "))));
    }
};

} // namespace

TEST_F(PagesDlg, QueueNamesFollowTheRules)
{
    struct Case
    {
        QString name;
        bool ok;
    };
    const Case cases[] = {
        {QString(31, QLatin1Char('a')), true},
        {QString(32, QLatin1Char('a')), false},
        {QStringLiteral("lp1"), true},
        {QStringLiteral("Printer.2"), true},
        {QStringLiteral("lp-1"), true},
        {QStringLiteral("-lp"), false},
        {QStringLiteral(".lp"), false},
        {QStringLiteral("lp_1"), false},
        {QStringLiteral("lp 1"), false},
        {QStringLiteral("Conan"), true}, // contains a device name, is none
        {QStringLiteral("comp"), true},
        {QStringLiteral("null"), true},
        {QStringLiteral("con"), true}, // a device only on another system
        {QStringLiteral("COM1"), true},
        {QStringLiteral("Lpt.q"), true},
        {QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        showPrinter(QString());
        retype(dlg.queueEdit(), c.name);
        QTest::keyClicks(dlg.commandEdit(), QStringLiteral("/bin/true"));
        pressEnter(dlg.queueEdit());
        EXPECT_EQ(dlg.acceptedFlag(), c.ok);
        EXPECT_EQ(dlg.isVisible(), !c.ok);
        if (c.ok) {
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(dlg.definition(), c.name + QStringLiteral(" /bin/true"));
        } else {
            EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalName));
            EXPECT_EQ(messages.size(), 1u);
        }
        dlg.hide();
    }
}

TEST_F(PagesDlg, ShowingReadsTheDefinitionAndOkBuildsItAgain)
{
    showPrinter(QStringLiteral("+lp1 \t /usr/bin/print %p/%d"));
    EXPECT_TRUE(dlg.tabs()->isTabVisible(1));
    EXPECT_FALSE(dlg.tabs()->isTabVisible(0));
    EXPECT_EQ(dlg.queueEdit()->text(), QStringLiteral("lp1"));
    EXPECT_TRUE(dlg.printingDisabledBox()->isChecked());
    EXPECT_TRUE(dlg.spoolingDisabledBox()->isChecked());
    EXPECT_FALSE(dlg.rawBox()->isChecked());
    EXPECT_TRUE(dlg.commandEdit()->isEnabled());
    EXPECT_FALSE(dlg.rawTargetCombo()->isEnabled());
    EXPECT_EQ(dlg.commandEdit()->text(), QStringLiteral("/usr/bin/print %p/%d"));
    EXPECT_EQ(dlg.rawTargetCombo()->count(), 4);
    EXPECT_EQ(dlg.installedPrinterCombo()->currentText(), QStringLiteral("Office"));

    // Alt+D is "Printing &Disabled" (an access key clicks after a short flash): off leaves
    // spooling disabled only.
    QTest::keyClick(&dlg, Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return !dlg.printingDisabledBox()->isChecked(); }, 2000));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition(), QStringLiteral("|lp1 /usr/bin/print %p/%d"));

    // "-" alone; Alt+O is "Sp&ooling Disabled".
    showPrinter(QStringLiteral("-lp1 x"));
    EXPECT_TRUE(dlg.printingDisabledBox()->isChecked());
    EXPECT_FALSE(dlg.spoolingDisabledBox()->isChecked());
    QTest::keyClick(&dlg, Qt::Key_O, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return dlg.spoolingDisabledBox()->isChecked(); }, 2000));
    pressEnter(dlg.queueEdit());
    EXPECT_EQ(dlg.definition(), QStringLiteral("+lp1 x"));

    // A flag counts only in the first position.
    showPrinter(QStringLiteral("|-lp1"));
    EXPECT_EQ(dlg.queueEdit()->text(), QStringLiteral("-lp1"));
    EXPECT_TRUE(dlg.spoolingDisabledBox()->isChecked());
    dlg.hide();
}

TEST_F(PagesDlg, NewPrinterStartsEmptyAndNeedsAUsableCommand)
{
    showPrinter(QStringLiteral("old 1"));
    dlg.hide();
    showPrinter(QString());
    EXPECT_TRUE(dlg.queueEdit()->text().isEmpty());
    EXPECT_TRUE(dlg.commandEdit()->text().isEmpty());
    EXPECT_FALSE(dlg.printingDisabledBox()->isChecked() || dlg.spoolingDisabledBox()->isChecked() ||
                 dlg.rawBox()->isChecked());
    EXPECT_TRUE(dlg.commandEdit()->isEnabled());
    EXPECT_FALSE(dlg.rawTargetCombo()->isEnabled());
    EXPECT_TRUE(dlg.rawTargetCombo()->currentText().isEmpty());
    EXPECT_EQ(dlg.selectedTarget(), -1);
    QTest::keyClicks(dlg.queueEdit(), QStringLiteral("lp1"));
    // Its jobs could never print: no command, or a quote that is not closed.
    pressEnter(dlg.queueEdit());
    EXPECT_FALSE(dlg.acceptedFlag());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"),
                              QStringLiteral("Invalid print command \"\": no print command.")));
    QTest::keyClicks(dlg.commandEdit(), QStringLiteral("/bin/sh -c 'cat %p/%d"));
    pressEnter(dlg.queueEdit());
    EXPECT_FALSE(dlg.acceptedFlag());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"),
                              QStringLiteral("Invalid print command \"/bin/sh -c 'cat %p/%d\": a "
                                             "quote is not closed in the print command.")));
    QTest::keyClicks(dlg.commandEdit(), QStringLiteral(" >> out'"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp1 /bin/sh -c 'cat %p/%d >> out'"));
}

TEST_F(PagesDlg, PrintRawSwapsCommandAndTargetKeepingBoth)
{
    showPrinter(QStringLiteral("lp1 /bin/cmd"));
    tickPrintRaw();
    EXPECT_TRUE(dlg.rawBox()->isChecked());
    EXPECT_FALSE(dlg.commandEdit()->isEnabled());
    EXPECT_FALSE(dlg.commandLabel()->isEnabled());
    EXPECT_TRUE(dlg.rawTargetCombo()->isEnabled());
    EXPECT_EQ(dlg.commandEdit()->text(), QStringLiteral("/bin/cmd"));
    // Pick the first entry with the keyboard: chosen from the list, it is not checked.
    dlg.rawTargetCombo()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.rawTargetCombo(), Qt::Key_Down);
    EXPECT_EQ(dlg.selectedTarget(), 0);
    tickPrintRaw();
    EXPECT_TRUE(dlg.commandEdit()->isEnabled());
    EXPECT_FALSE(dlg.rawTargetCombo()->isEnabled());
    EXPECT_EQ(dlg.rawTargetCombo()->currentText(), QStringLiteral("Office"));
    tickPrintRaw();
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp1 |Office"));
}

TEST_F(PagesDlg, HandTypedTargetsAreCheckedAndWarnedAbout)
{
    showPrinter(QStringLiteral("lp1 "));
    tickPrintRaw();
    QTest::keyClicks(dlg.rawTargetCombo(), QStringLiteral("LPT1:"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    // Print raw with nothing chosen or typed is an empty target.
    retype(dlg.rawTargetCombo()->lineEdit(), QString());
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));

    retype(dlg.rawTargetCombo()->lineEdit(), QStringLiteral("\\\\server\\laser"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp1 |\\\\server\\laser"));

    // Shown again, the typed target is still typed: the warning comes again.
    showPrinter(dlg.definition());
    EXPECT_EQ(dlg.selectedTarget(), -1);
    EXPECT_EQ(dlg.rawTargetCombo()->currentText(), QStringLiteral("\\\\server\\laser"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_TRUE(dlg.acceptedFlag());

    // CUPS queue names take "_", device paths "/", and the documented SMB forms pass; any
    // other colon, a leading "-" or a device name as a whole component does not.
    struct Target
    {
        const char* text;
        bool ok;
    };
    for (const Target t :
         {Target{"HP_LaserJet", true}, Target{"local port /dev/ttyUSB3", true},
          Target{"smb://host/p", true}, Target{"SMB://host/print-com1", true},
          Target{"print-com1", true}, Target{"smb:/host/p", false}, Target{"host:p", false},
          Target{"\\\\srv\\COM1", true}, Target{"smb://host/nul.prn", true}, Target{"-x", false}}) {
        SCOPED_TRACE(t.text);
        showPrinter(QStringLiteral("lp1 |") + QString::fromLatin1(t.text));
        pressEnter(dlg.queueEdit());
        EXPECT_EQ(dlg.acceptedFlag(), t.ok);
        EXPECT_TRUE(lastMessageIs(t.ok ? QMessageBox::Warning : QMessageBox::Critical,
                                  t.ok ? QStringLiteral("Warning") : QStringLiteral("Error"),
                                  t.ok ? typedByHand : illegalTarget));
        dlg.hide();
    }
}

TEST_F(PagesDlg, ListedTargetIsMatchedIgnoringCaseAndStoredInItsOwnSpelling)
{
    showPrinter(QStringLiteral("lp2 |LOCAL PORT /DEV/TTYS0"));
    EXPECT_TRUE(dlg.rawBox()->isChecked());
    EXPECT_FALSE(dlg.commandEdit()->isEnabled());
    EXPECT_TRUE(dlg.rawTargetCombo()->isEnabled());
    EXPECT_EQ(dlg.selectedTarget(), 2);
    EXPECT_EQ(dlg.rawTargetCombo()->currentText(), QStringLiteral("local port /dev/ttyS0"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp2 |local port /dev/ttyS0"));
}

TEST_F(PagesDlg, TargetTheSystemNoLongerListsMustBeChosenAgain)
{
    showPrinter(QStringLiteral("lp2 |local port LPT1:"));
    EXPECT_EQ(dlg.selectedTarget(), -1);
    EXPECT_EQ(dlg.rawTargetCombo()->currentText(), QStringLiteral("local port LPT1:"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));
    EXPECT_TRUE(dlg.isVisible());
    dlg.rawTargetCombo()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.rawTargetCombo(), Qt::Key_End);
    QTest::keyClick(dlg.rawTargetCombo(), Qt::Key_Down); // past the text into the list
    messages.clear();
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_TRUE(dlg.definition().startsWith(QStringLiteral("lp2 |")));
    EXPECT_NE(dlg.definition(), QStringLiteral("lp2 |local port LPT1:"));

    // Typing into a chosen entry makes it typed again.
    showPrinter(QStringLiteral("lp2 |Lab"));
    EXPECT_EQ(dlg.selectedTarget(), 1);
    dlg.rawTargetCombo()->lineEdit()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.rawTargetCombo()->lineEdit(), Qt::Key_End);
    QTest::keyClicks(dlg.rawTargetCombo()->lineEdit(), QStringLiteral("2"));
    EXPECT_EQ(dlg.selectedTarget(), -1);
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp2 |Lab2"));
}

TEST_F(PagesDlg, SpoolFolderMustExistOrBeCreatedOneLevelDeep)
{
    auto tmp = cleanTempDir();
    const QString base = tmp->path();
    struct Case
    {
        QString path;
        bool ok;
    };
    const Case cases[] = {
        {base, true},                                 // exists
        {base + QStringLiteral("/lpdspool"), true},   // created
        {base + QStringLiteral("/new/spool"), false}, // parent missing
        {base + QStringLiteral("/con"), true},        // a device only on another system
        {base + QStringLiteral("/COM1.d"), true},     // the same with an extension
        {base + QStringLiteral("/common"), true},     // only contains one
        {QStringLiteral(".config"), true},            // ~/.config's kind of name
        {QString(), true},                            // "spool" beside lpd.ini
        {QStringLiteral("relative"), true},           // beside lpd.ini
    };
    dlg.setBaseDir(base);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        showSetup();
        EXPECT_TRUE(dlg.tabs()->isTabVisible(0));
        EXPECT_FALSE(dlg.tabs()->isTabVisible(1));
        retype(dlg.spoolDirEdit(), c.path);
        pressEnter(dlg.spoolDirEdit());
        EXPECT_EQ(dlg.acceptedFlag(), c.ok);
        if (!c.ok) {
            // What failed, where, and the system's reason.
            EXPECT_TRUE(lastMessageIs(
                QMessageBox::Critical, QStringLiteral("Error"),
                QStringLiteral("The spool folder %1 cannot be created: No such file or directory.")
                    .arg(c.path)));
        }
        dlg.hide();
    }
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/lpdspool")).isDir());
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/relative")).isDir());
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/new")));
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/common")).isDir());
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/.config")).isDir());
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/spool")).isDir());
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/con")).isDir());

    // A file of that name is no folder.
    writeFile(base + QStringLiteral("/file"), "x");
    showSetup();
    retype(dlg.spoolDirEdit(), base + QStringLiteral("/file"));
    pressEnter(dlg.spoolDirEdit());
    EXPECT_FALSE(dlg.acceptedFlag());
    dlg.hide();
}

TEST_F(PagesDlg, HostListIsEditedWithTheDefaultButtonFollowingTheUser)
{
    auto tmp = cleanTempDir();
    dlg.hostList()->addItems({QStringLiteral("127.0.0.1"), QStringLiteral("10.")});
    dlg.spoolDirEdit()->setText(tmp->path());
    showSetup();
    EXPECT_TRUE(dlg.okButton()->isDefault());
    dlg.hostEdit()->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(dlg.hostEdit(), QStringLiteral("192.168.1."));
    EXPECT_TRUE(dlg.addHostButton()->isDefault());
    pressEnter(dlg.hostEdit()); // adds, does not close
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.hostList()->count(), 3);
    EXPECT_EQ(dlg.hostList()->item(2)->text(), QStringLiteral("192.168.1."));
    EXPECT_EQ(dlg.hostEdit()->text(), QStringLiteral("192.168.1."));
    EXPECT_TRUE(dlg.okButton()->isDefault());

    // Clicking an entry makes Remove the default: Enter removes it.
    const QRect first = dlg.hostList()->visualItemRect(dlg.hostList()->item(0));
    QTest::mouseClick(dlg.hostList()->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_TRUE(dlg.removeHostButton()->isDefault());
    pressEnter(dlg.hostList());
    EXPECT_EQ(dlg.hostList()->count(), 2);
    EXPECT_EQ(dlg.hostList()->item(0)->text(), QStringLiteral("10."));
    EXPECT_TRUE(dlg.okButton()->isDefault());

    // Nothing selected: Remove removes nothing. An empty host field adds an empty entry.
    dlg.hostList()->clearSelection();
    QTest::mouseClick(dlg.removeHostButton(), Qt::LeftButton);
    EXPECT_EQ(dlg.hostList()->count(), 2);
    retype(dlg.hostEdit(), QString());
    QTest::mouseClick(dlg.addHostButton(), Qt::LeftButton);
    EXPECT_EQ(dlg.hostList()->count(), 3);
    EXPECT_TRUE(dlg.hostList()->item(2)->text().isEmpty());

    // Showing again empties the host field only.
    dlg.hide();
    showSetup();
    EXPECT_TRUE(dlg.hostEdit()->text().isEmpty());
    EXPECT_EQ(dlg.hostList()->count(), 3);
    pressEnter(dlg.spoolDirEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
}

TEST_F(PagesDlg, NumericFieldsKeepTheirRanges)
{
    auto tmp = cleanTempDir();
    dlg.spoolDirEdit()->setText(tmp->path());
    showSetup();
    EXPECT_EQ(dlg.portEdit()->text(), QStringLiteral("515"));
    EXPECT_EQ(dlg.timeoutEdit()->text(), QStringLiteral("1"));
    EXPECT_EQ(dlg.maxConnEdit()->text(), QStringLiteral("10"));
    // Alt+T reaches the timeout field and selects it; 0 is not a timeout, once left.
    QTest::keyClick(&dlg, Qt::Key_T, Qt::AltModifier);
    ASSERT_TRUE(dlg.timeoutEdit()->hasFocus());
    QTest::keyClicks(dlg.timeoutEdit(), QStringLiteral("0"));
    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    EXPECT_EQ(dlg.timeoutEdit()->text(), QStringLiteral("1"));
    // x is refused and a third digit does not fit.
    QTest::keyClick(&dlg, Qt::Key_T, Qt::AltModifier);
    QTest::keyClick(dlg.timeoutEdit(), Qt::Key_End);
    QTest::keyClicks(dlg.timeoutEdit(), QStringLiteral("5x7"));
    EXPECT_EQ(dlg.timeoutEdit()->text(), QStringLiteral("15"));
    // Enter (OK) from inside a field out of range: the range holds for what OK takes.
    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    QTest::keyClicks(dlg.maxConnEdit(), QStringLiteral("250"));
    pressEnter(dlg.maxConnEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.maxConnEdit()->text(), QStringLiteral("100"));
    // A service name stays a name, on entering the field and through OK.
    dlg.portEdit()->setText(QStringLiteral("redis"));
    showSetup();
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    EXPECT_EQ(dlg.portEdit()->text(), QStringLiteral("redis"));
    pressEnter(dlg.portEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.portEdit()->text(), QStringLiteral("redis"));
    showSetup();
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    QTest::keyClicks(dlg.portEdit(), QStringLiteral("5515"));
    pressEnter(dlg.portEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.portEdit()->text(), QStringLiteral("5515"));
    EXPECT_DOUBLE_EQ(dlg.timeoutEdit()->value(), 15.0);
    EXPECT_DOUBLE_EQ(dlg.maxConnEdit()->value(), 100.0);
}

TEST_F(PagesDlg, LeavingWithoutOkIsNotAccepted)
{
    showPrinter(QStringLiteral("lp1 x"));
    QTest::keyClick(dlg.queueEdit(), Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    showPrinter(QStringLiteral("lp1 x"));
    pressEnter(dlg.queueEdit());
    EXPECT_TRUE(dlg.acceptedFlag());
    showPrinter(QStringLiteral("lp1 x"));
    EXPECT_FALSE(dlg.acceptedFlag()); // a new showing starts unconfirmed
    QTest::mouseClick(dlg.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    showPrinter(QStringLiteral("lp1 x"));
    dlg.close();
    EXPECT_FALSE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition(), QStringLiteral("lp1 x"));
}

TEST_F(PagesDlg, EachShowingIsCentredOnItsOwnSizeAndStaysOnTheScreen)
{
    const QRect available = dlg.screen()->availableGeometry();
    const auto centred = [&] {
        const QPoint off = dlg.frameGeometry().center() - available.center();
        return std::abs(off.x()) <= 2 && std::abs(off.y()) <= 2;
    };
    // Setup, Printer, Setup again: each lands in the middle at the size it has now.
    showSetup();
    EXPECT_TRUE(centred()) << dlg.frameGeometry().center().x() << ","
                           << dlg.frameGeometry().center().y();
    dlg.hide();
    showPrinter(QStringLiteral("lp1 |Lab"));
    EXPECT_TRUE(centred());
    EXPECT_EQ(dlg.size(), dlg.sizeHint().boundedTo(available.size()));
    dlg.hide();
    showSetup();
    EXPECT_TRUE(centred());
    // However small the screen, OK, Cancel and Help stay on it: the tabs scroll instead.
    EXPECT_LE(dlg.minimumSizeHint().height(), 300);
    for (QPushButton* b : {dlg.okButton(), dlg.cancelButton(), dlg.helpButton()})
        EXPECT_TRUE(available.contains(QRect(b->mapToGlobal(QPoint(0, 0)), b->size())));
    dlg.hide();
}

TEST_F(PagesDlg, HelpAndSetupOpenTheirPages)
{
    // The dialog asks its owner for help; the owner here opens it as the program does.
    UrlRecorder recorder;
    HelpOpener::setBrowser([&recorder](const QUrl& url, std::function<void()>) {
        recorder.open(url);
        return true;
    });
    const auto asked = QObject::connect(&dlg, &SetupDialog::helpTopicRequested, &dlg,
                                        [](const QString& topic) { HelpOpener::showTopic(topic); });
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");

    showPrinter(QString());
    QTest::mouseClick(dlg.helpButton(), Qt::LeftButton);
    // "Lab", picked with the keyboard, is the printer whose CUPS page opens.
    dlg.installedPrinterCombo()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.installedPrinterCombo(), Qt::Key_Down);
    QTest::keyClick(&dlg, Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return recorder.urls.size() == 2; }, 2000));
    dlg.hide();
    showSetup();
    QTest::mouseClick(dlg.helpButton(), Qt::LeftButton);
    dlg.hide();
    dlg.setAvailablePrinters([] { return QStringList(); });
    showPrinter(QString());
    // No printer: nothing opens, and a box says why.
    QTest::mouseClick(dlg.printerSetupButton(), Qt::LeftButton);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Information, QStringLiteral("Set Up in Browser"),
                              QStringLiteral("There is no CUPS printer on this computer to set "
                                             "up (or CUPS does not answer).")));
    dlg.hide();

    HelpOpener::resetBrowser();
    QObject::disconnect(asked);
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(recorder.urls.size(), 3);
    EXPECT_TRUE(recorder.urls[0].isLocalFile());
    EXPECT_TRUE(recorder.urls[0].path().endsWith(QStringLiteral("/index.html")));
    EXPECT_EQ(recorder.urls[0].fragment(), QStringLiteral("IDH_510"));
    EXPECT_EQ(recorder.urls[1], QUrl(QStringLiteral("http://localhost:631/printers/Lab")));
    EXPECT_EQ(recorder.urls[2].fragment(), QStringLiteral("IDH_410"));
}

TEST(PagesDlgCups, ListsTheQueuesOfARealCupsAndTheDevicesThatExist)
{
    PrivateCups cups;
    ASSERT_TRUE(cups.start()) << cups.errorText().toStdString();
    ASSERT_TRUE(cups.addQueue(QStringLiteral("lab"), cups.outputFor(QStringLiteral("lab"))))
        << cups.errorText().toStdString();
    ASSERT_TRUE(cups.addQueue(QStringLiteral("office_2"), cups.outputFor(QStringLiteral("o"))))
        << cups.errorText().toStdString();

    SetupDialog dlg; // the default sources
    dlg.setDefinition(QStringLiteral("lp |office_2"));
    dlg.showPrinterMode();
    dlg.show();
    QStringList available;
    for (int i = 0; i < dlg.installedPrinterCombo()->count(); ++i)
        available << dlg.installedPrinterCombo()->itemText(i);
    available.sort();
    EXPECT_EQ(available, (QStringList{QStringLiteral("lab"), QStringLiteral("office_2")}));
    QStringList targets;
    for (int i = 0; i < dlg.rawTargetCombo()->count(); ++i)
        targets << dlg.rawTargetCombo()->itemText(i);
    EXPECT_TRUE(targets.contains(QStringLiteral("lab")));
    EXPECT_EQ(targets.mid(2), setupcheck::localPortTargets());
    for (const QString& port : targets.mid(2))
        EXPECT_TRUE(QFileInfo::exists(port.mid(11))) << port.toStdString();
    EXPECT_EQ(dlg.rawTargetCombo()->itemText(dlg.selectedTarget()), QStringLiteral("office_2"));
    dlg.hide();
}

TEST(SetupChecks, LocalPortsAreTheDevicesThatExistInNaturalOrder)
{
    QTemporaryDir dev;
    QDir().mkpath(dev.path() + QStringLiteral("/usb"));
    QDir().mkpath(dev.path() + QStringLiteral("/lpdir"));
    for (const char* name : {"lp10", "lp2", "lp0", "usb/lp0", "ttyS1", "ttyACM0", "ttyUSB0",
                             "loop0", "tty1", "ttyprintk"})
        writeFile(dev.path() + QLatin1Char('/') + QString::fromLatin1(name), QByteArray());
    const QString p = QStringLiteral("local port ") + dev.path() + QLatin1Char('/');
    EXPECT_EQ(setupcheck::localPortTargets(dev.path()),
              (QStringList{p + QStringLiteral("lp0"), p + QStringLiteral("lp2"),
                           p + QStringLiteral("lp10"), p + QStringLiteral("usb/lp0"),
                           p + QStringLiteral("ttyS1"), p + QStringLiteral("ttyUSB0"),
                           p + QStringLiteral("ttyACM0")}));
    EXPECT_TRUE(setupcheck::localPortTargets(dev.path() + QStringLiteral("/none")).isEmpty());
}

TEST(SetupChecks, DeviceNamesOfAnotherSystemAreOrdinaryNamesAndPortsMayBeServiceNames)
{
    for (const char* text : {"con", "LPT1", "nul", "COM1.d", "Console"}) {
        EXPECT_TRUE(setupcheck::isValidQueueName(QString::fromLatin1(text))) << text;
        EXPECT_TRUE(setupcheck::isValidRawTarget(QString::fromLatin1(text))) << text;
    }
    EXPECT_TRUE(setupcheck::isValidRawTarget(QString(255, QLatin1Char('a'))));
    EXPECT_FALSE(setupcheck::isValidRawTarget(QString(256, QLatin1Char('a'))));
    EXPECT_FALSE(setupcheck::isValidRawTarget(QStringLiteral("a$b")));
    EXPECT_FALSE(setupcheck::isValidQueueName(QStringLiteral("lp\u00e9")));
    // Network printers by URI, checked as the server reads them.
    for (const char* uri : {"socket://10.0.0.20:9100", "lpd://printsrv/raw", "ipp://[::1]:631/ipp/print"})
        EXPECT_TRUE(setupcheck::isValidRawTarget(QString::fromLatin1(uri))) << uri;
    EXPECT_FALSE(setupcheck::isValidRawTarget(QStringLiteral("socket://printer:70000")));
    EXPECT_TRUE(setupcheck::networkTargetProblem(QStringLiteral("lpd://printsrv"))
                    .endsWith(QStringLiteral("no queue (lpd://host[:port]/queue)")));
    EXPECT_TRUE(setupcheck::networkTargetProblem(QStringLiteral("http://printer/"))
                    .contains(QStringLiteral("unknown scheme 'http'")));

    // A port is a number in range or a name the system knows; the refusal says which.
    for (const char* good : {"515", "1", "65535", "printer"})
        EXPECT_EQ(setupcheck::portProblem(QString::fromLatin1(good)), QString()) << good;
    for (const char* bad : {"0", "65536", "99999", "-1", "", "no-such-service"}) {
        const QString problem = setupcheck::portProblem(QString::fromLatin1(bad));
        EXPECT_TRUE(problem.contains(QStringLiteral("\"%1\"").arg(QString::fromLatin1(bad))) &&
                    problem.contains(QStringLiteral("1 to 65535")))
            << bad << problem.toStdString();
    }
    // A file where the folder should be.
    QTemporaryDir dir;
    writeFile(dir.path() + QStringLiteral("/file"), "x");
    EXPECT_EQ(setupcheck::spoolDirProblem(QStringLiteral("file"), dir.path()),
              QStringLiteral("The spool folder %1/file cannot be used: it is a file, not a folder.")
                  .arg(dir.path()));
}

#include "setupdialogtest.moc"
