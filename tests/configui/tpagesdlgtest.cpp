// The setup dialog shown and typed into: its checks, messages, the definition it builds,
// the host list and the buttons that leave the program.

#include "config/ui/tpagesdlg.h"
#include "config/ui/setupchecks.h"
#include "config/ui/textendedit.h"

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

const QString illegalName = QStringLiteral("Illegal LPD printer name");
const QString illegalTarget = QStringLiteral("Illegal Win queue/port name");
const QString typedByHand = QStringLiteral(
    "You have entered a port/path manually. Make sure the host/printer exists, or problems "
    "may happen.");

// A temporary folder whose path holds no reserved word (a random "con" would fail the
// spool folder check for the wrong reason).
std::unique_ptr<QTemporaryDir> cleanTempDir()
{
    for (;;) {
        auto dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/sm-XXXXXX"));
        if (dir->isValid() && !setupcheck::isReserved(dir->path()))
            return dir;
    }
}

class PagesDlg : public ::testing::Test
{
protected:
    TPagesDlg dlg;
    std::vector<Message> messages;

    void SetUp() override
    {
        dlg.availablePrinters = [] {
            return QStringList{QStringLiteral("Office"), QStringLiteral("Lab")};
        };
        dlg.localPrinters = [] {
            return QStringList{QStringLiteral("Office"), QStringLiteral("Lab")};
        };
        dlg.localPorts = [] {
            return QStringList{QStringLiteral("local port /dev/ttyS0"),
                               QStringLiteral("local port /dev/usb/lp0")};
        };
        dlg.showMessage = [this](QMessageBox::Icon icon, const QString& caption,
                                 const QString& text) {
            messages.push_back({icon, caption, text});
        };
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
        dlg.definition = definition;
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
        dlg.CheckBox3->setFocus(Qt::TabFocusReason);
        QTest::keyClick(dlg.CheckBox3, Qt::Key_Space);
    }
    bool lastMessageIs(QMessageBox::Icon icon, const QString& caption, const QString& text) const
    {
        return !messages.empty() && messages.back().icon == icon &&
               messages.back().caption == caption && messages.back().text == text;
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
        {QStringLiteral("Conan"), false},
        {QStringLiteral("comp"), false},
        {QStringLiteral("null"), false},
        {QString(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        showPrinter(QString());
        retype(dlg.Edit1, c.name);
        QTest::keyClicks(dlg.Edit2, QStringLiteral("/bin/true"));
        pressEnter(dlg.Edit1);
        EXPECT_EQ(dlg.acceptedFlag(), c.ok);
        EXPECT_EQ(dlg.isVisible(), !c.ok);
        if (c.ok) {
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(dlg.definition, c.name + QStringLiteral(" /bin/true"));
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
    EXPECT_TRUE(dlg.PageControl1->isTabVisible(1));
    EXPECT_FALSE(dlg.PageControl1->isTabVisible(0));
    EXPECT_EQ(dlg.Edit1->text(), QStringLiteral("lp1"));
    EXPECT_TRUE(dlg.CheckBox1->isChecked());
    EXPECT_TRUE(dlg.CheckBox2->isChecked());
    EXPECT_FALSE(dlg.CheckBox3->isChecked());
    EXPECT_TRUE(dlg.Edit2->isEnabled());
    EXPECT_FALSE(dlg.ComboBox2->isEnabled());
    EXPECT_EQ(dlg.Edit2->text(), QStringLiteral("/usr/bin/print %p/%d"));
    EXPECT_EQ(dlg.ComboBox2->count(), 4);
    EXPECT_EQ(dlg.ComboBox1->currentText(), QStringLiteral("Office"));

    // Alt+D is "Printing &Disabled" (an access key clicks after a short flash): off leaves
    // spooling disabled only.
    QTest::keyClick(&dlg, Qt::Key_D, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return !dlg.CheckBox1->isChecked(); }, 2000));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition, QStringLiteral("|lp1 /usr/bin/print %p/%d"));

    // "-" alone; Alt+O is "Sp&ooling Disabled".
    showPrinter(QStringLiteral("-lp1 x"));
    EXPECT_TRUE(dlg.CheckBox1->isChecked());
    EXPECT_FALSE(dlg.CheckBox2->isChecked());
    QTest::keyClick(&dlg, Qt::Key_O, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return dlg.CheckBox2->isChecked(); }, 2000));
    pressEnter(dlg.Edit1);
    EXPECT_EQ(dlg.definition, QStringLiteral("+lp1 x"));

    // A flag counts only in the first position.
    showPrinter(QStringLiteral("|-lp1"));
    EXPECT_EQ(dlg.Edit1->text(), QStringLiteral("-lp1"));
    EXPECT_TRUE(dlg.CheckBox2->isChecked());
    dlg.hide();
}

TEST_F(PagesDlg, NewPrinterStartsEmptyAndMayHaveNoCommand)
{
    showPrinter(QStringLiteral("old 1"));
    dlg.hide();
    showPrinter(QString());
    EXPECT_TRUE(dlg.Edit1->text().isEmpty());
    EXPECT_TRUE(dlg.Edit2->text().isEmpty());
    EXPECT_FALSE(dlg.CheckBox1->isChecked() || dlg.CheckBox2->isChecked() ||
                 dlg.CheckBox3->isChecked());
    EXPECT_TRUE(dlg.Edit2->isEnabled());
    EXPECT_FALSE(dlg.ComboBox2->isEnabled());
    EXPECT_TRUE(dlg.ComboBox2->currentText().isEmpty());
    EXPECT_EQ(dlg.selectedTarget(), -1);
    QTest::keyClicks(dlg.Edit1, QStringLiteral("lp1"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition, QStringLiteral("lp1 "));
}

TEST_F(PagesDlg, PrintRawSwapsCommandAndTargetKeepingBoth)
{
    showPrinter(QStringLiteral("lp1 /bin/cmd"));
    tickPrintRaw();
    EXPECT_TRUE(dlg.CheckBox3->isChecked());
    EXPECT_FALSE(dlg.Edit2->isEnabled());
    EXPECT_FALSE(dlg.Label5->isEnabled());
    EXPECT_TRUE(dlg.ComboBox2->isEnabled());
    EXPECT_EQ(dlg.Edit2->text(), QStringLiteral("/bin/cmd"));
    // Pick the first entry with the keyboard: chosen from the list, it is not checked.
    dlg.ComboBox2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.ComboBox2, Qt::Key_Down);
    EXPECT_EQ(dlg.selectedTarget(), 0);
    tickPrintRaw();
    EXPECT_TRUE(dlg.Edit2->isEnabled());
    EXPECT_FALSE(dlg.ComboBox2->isEnabled());
    EXPECT_EQ(dlg.ComboBox2->currentText(), QStringLiteral("Office"));
    tickPrintRaw();
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dlg.definition, QStringLiteral("lp1 |Office"));
}

TEST_F(PagesDlg, HandTypedTargetsAreCheckedAndWarnedAbout)
{
    showPrinter(QStringLiteral("lp1 "));
    tickPrintRaw();
    QTest::keyClicks(dlg.ComboBox2, QStringLiteral("LPT1:"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    // Print raw with nothing chosen or typed is an empty target.
    retype(dlg.ComboBox2->lineEdit(), QString());
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));

    retype(dlg.ComboBox2->lineEdit(), QStringLiteral("\\\\server\\laser"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.definition, QStringLiteral("lp1 |\\\\server\\laser"));

    // Shown again, the typed target is still typed: the warning comes again.
    showPrinter(dlg.definition);
    EXPECT_EQ(dlg.selectedTarget(), -1);
    EXPECT_EQ(dlg.ComboBox2->currentText(), QStringLiteral("\\\\server\\laser"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_TRUE(dlg.acceptedFlag());

    // CUPS queue names take "_", device paths "/"; a colon or a reserved word does not pass.
    for (const char* target :
         {"HP_LaserJet", "local port /dev/ttyUSB3", "smb://host/p", "print-com1", "-x"}) {
        const bool ok = QByteArray(target).contains("Jet") || QByteArray(target).contains("USB");
        SCOPED_TRACE(target);
        showPrinter(QStringLiteral("lp1 |") + QString::fromLatin1(target));
        pressEnter(dlg.Edit1);
        EXPECT_EQ(dlg.acceptedFlag(), ok);
        EXPECT_TRUE(lastMessageIs(ok ? QMessageBox::Warning : QMessageBox::Critical,
                                  ok ? QStringLiteral("Warning") : QStringLiteral("Error"),
                                  ok ? typedByHand : illegalTarget));
        dlg.hide();
    }
}

TEST_F(PagesDlg, ListedTargetIsMatchedIgnoringCaseAndStoredInItsOwnSpelling)
{
    showPrinter(QStringLiteral("lp2 |LOCAL PORT /DEV/TTYS0"));
    EXPECT_TRUE(dlg.CheckBox3->isChecked());
    EXPECT_FALSE(dlg.Edit2->isEnabled());
    EXPECT_TRUE(dlg.ComboBox2->isEnabled());
    EXPECT_EQ(dlg.selectedTarget(), 2);
    EXPECT_EQ(dlg.ComboBox2->currentText(), QStringLiteral("local port /dev/ttyS0"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(dlg.definition, QStringLiteral("lp2 |local port /dev/ttyS0"));
}

TEST_F(PagesDlg, TargetTheSystemNoLongerListsMustBeChosenAgain)
{
    showPrinter(QStringLiteral("lp2 |local port LPT1:"));
    EXPECT_EQ(dlg.selectedTarget(), -1);
    EXPECT_EQ(dlg.ComboBox2->currentText(), QStringLiteral("local port LPT1:"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"), illegalTarget));
    EXPECT_TRUE(dlg.isVisible());
    dlg.ComboBox2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.ComboBox2, Qt::Key_End);
    QTest::keyClick(dlg.ComboBox2, Qt::Key_Down); // past the text into the list
    messages.clear();
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_TRUE(dlg.definition.startsWith(QStringLiteral("lp2 |")));
    EXPECT_NE(dlg.definition, QStringLiteral("lp2 |local port LPT1:"));

    // Typing into a chosen entry makes it typed again.
    showPrinter(QStringLiteral("lp2 |Lab"));
    EXPECT_EQ(dlg.selectedTarget(), 1);
    dlg.ComboBox2->lineEdit()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.ComboBox2->lineEdit(), Qt::Key_End);
    QTest::keyClicks(dlg.ComboBox2->lineEdit(), QStringLiteral("2"));
    EXPECT_EQ(dlg.selectedTarget(), -1);
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(lastMessageIs(QMessageBox::Warning, QStringLiteral("Warning"), typedByHand));
    EXPECT_EQ(dlg.definition, QStringLiteral("lp2 |Lab2"));
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
        {base + QStringLiteral("/common"), false},    // reserved
        {QString(), false},                           // empty
        {QStringLiteral("relative"), true},           // beside lpd.ini
    };
    dlg.baseDir = base;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        showSetup();
        EXPECT_TRUE(dlg.PageControl1->isTabVisible(0));
        EXPECT_FALSE(dlg.PageControl1->isTabVisible(1));
        retype(dlg.Edit3, c.path);
        pressEnter(dlg.Edit3);
        EXPECT_EQ(dlg.acceptedFlag(), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(lastMessageIs(QMessageBox::Critical, QStringLiteral("Error"),
                                      QStringLiteral("Error creating path")));
        }
        dlg.hide();
    }
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/lpdspool")).isDir());
    EXPECT_TRUE(QFileInfo(base + QStringLiteral("/relative")).isDir());
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/new")));
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral("/common")));

    // A file of that name is no folder.
    writeFile(base + QStringLiteral("/file"), "x");
    showSetup();
    retype(dlg.Edit3, base + QStringLiteral("/file"));
    pressEnter(dlg.Edit3);
    EXPECT_FALSE(dlg.acceptedFlag());
    dlg.hide();
}

TEST_F(PagesDlg, HostListIsEditedWithTheDefaultButtonFollowingTheUser)
{
    auto tmp = cleanTempDir();
    dlg.ListBox1->addItems({QStringLiteral("127.0.0.1"), QStringLiteral("10.")});
    dlg.Edit3->setText(tmp->path());
    showSetup();
    EXPECT_TRUE(dlg.OKBtn->isDefault());
    dlg.Edit4->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(dlg.Edit4, QStringLiteral("192.168.1."));
    EXPECT_TRUE(dlg.Button1->isDefault());
    pressEnter(dlg.Edit4); // adds, does not close
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.ListBox1->count(), 3);
    EXPECT_EQ(dlg.ListBox1->item(2)->text(), QStringLiteral("192.168.1."));
    EXPECT_EQ(dlg.Edit4->text(), QStringLiteral("192.168.1."));
    EXPECT_TRUE(dlg.OKBtn->isDefault());

    // Clicking an entry makes Remove the default: Enter removes it.
    const QRect first = dlg.ListBox1->visualItemRect(dlg.ListBox1->item(0));
    QTest::mouseClick(dlg.ListBox1->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_TRUE(dlg.Button2->isDefault());
    pressEnter(dlg.ListBox1);
    EXPECT_EQ(dlg.ListBox1->count(), 2);
    EXPECT_EQ(dlg.ListBox1->item(0)->text(), QStringLiteral("10."));
    EXPECT_TRUE(dlg.OKBtn->isDefault());

    // Nothing selected: Remove removes nothing. An empty host field adds an empty entry.
    dlg.ListBox1->clearSelection();
    QTest::mouseClick(dlg.Button2, Qt::LeftButton);
    EXPECT_EQ(dlg.ListBox1->count(), 2);
    retype(dlg.Edit4, QString());
    QTest::mouseClick(dlg.Button1, Qt::LeftButton);
    EXPECT_EQ(dlg.ListBox1->count(), 3);
    EXPECT_TRUE(dlg.ListBox1->item(2)->text().isEmpty());

    // Showing again empties the host field only.
    dlg.hide();
    showSetup();
    EXPECT_TRUE(dlg.Edit4->text().isEmpty());
    EXPECT_EQ(dlg.ListBox1->count(), 3);
    pressEnter(dlg.Edit3);
    EXPECT_TRUE(dlg.acceptedFlag());
}

TEST_F(PagesDlg, NumericFieldsKeepTheirRanges)
{
    auto tmp = cleanTempDir();
    dlg.Edit3->setText(tmp->path());
    showSetup();
    EXPECT_EQ(dlg.ExtendEdit1->text(), QStringLiteral("515"));
    EXPECT_EQ(dlg.ExtendEdit2->text(), QStringLiteral("1"));
    EXPECT_EQ(dlg.ExtendEdit3->text(), QStringLiteral("10"));
    // Alt+T reaches the timeout field and selects it; 0 is not a timeout.
    QTest::keyClick(&dlg, Qt::Key_T, Qt::AltModifier);
    ASSERT_TRUE(dlg.ExtendEdit2->hasFocus());
    QTest::keyClicks(dlg.ExtendEdit2, QStringLiteral("0"));
    EXPECT_EQ(dlg.ExtendEdit2->text(), QStringLiteral("1"));
    // The 1 written back stays; x is refused and a third digit does not fit.
    QTest::keyClicks(dlg.ExtendEdit2, QStringLiteral("5x7"));
    EXPECT_EQ(dlg.ExtendEdit2->text(), QStringLiteral("15"));
    QTest::keyClick(&dlg, Qt::Key_M, Qt::AltModifier);
    QTest::keyClicks(dlg.ExtendEdit3, QStringLiteral("250"));
    EXPECT_EQ(dlg.ExtendEdit3->text(), QStringLiteral("100"));
    QTest::keyClick(&dlg, Qt::Key_P, Qt::AltModifier);
    QTest::keyClicks(dlg.ExtendEdit1, QStringLiteral("5515"));
    pressEnter(dlg.ExtendEdit1);
    EXPECT_TRUE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.ExtendEdit1->text(), QStringLiteral("5515"));
    EXPECT_DOUBLE_EQ(dlg.ExtendEdit2->Value(), 15.0);
    EXPECT_DOUBLE_EQ(dlg.ExtendEdit3->Value(), 100.0);
}

TEST_F(PagesDlg, LeavingWithoutOkIsNotAccepted)
{
    showPrinter(QStringLiteral("lp1 x"));
    QTest::keyClick(dlg.Edit1, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    showPrinter(QStringLiteral("lp1 x"));
    pressEnter(dlg.Edit1);
    EXPECT_TRUE(dlg.acceptedFlag());
    showPrinter(QStringLiteral("lp1 x"));
    EXPECT_FALSE(dlg.acceptedFlag()); // a new showing starts unconfirmed
    QTest::mouseClick(dlg.CancelBtn, Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.acceptedFlag());

    showPrinter(QStringLiteral("lp1 x"));
    dlg.close();
    EXPECT_FALSE(dlg.acceptedFlag());
    EXPECT_EQ(dlg.definition, QStringLiteral("lp1 x"));
}

TEST_F(PagesDlg, HelpAndSetupOpenTheirPages)
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");

    showPrinter(QString());
    QTest::mouseClick(dlg.HelpBtn, Qt::LeftButton);
    // "Lab", picked with the keyboard, is the printer whose CUPS page opens.
    dlg.ComboBox1->setFocus(Qt::TabFocusReason);
    QTest::keyClick(dlg.ComboBox1, Qt::Key_Down);
    QTest::keyClick(&dlg, Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(waitUntil([&] { return recorder.urls.size() == 2; }, 2000));
    dlg.hide();
    showSetup();
    QTest::mouseClick(dlg.HelpBtn, Qt::LeftButton);
    dlg.hide();
    dlg.availablePrinters = [] { return QStringList(); };
    showPrinter(QString());
    QTest::mouseClick(dlg.Button3, Qt::LeftButton); // no printer: nothing
    dlg.hide();

    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
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

    TPagesDlg dlg; // the default sources
    dlg.definition = QStringLiteral("lp |office_2");
    dlg.showPrinterMode();
    dlg.show();
    QStringList available;
    for (int i = 0; i < dlg.ComboBox1->count(); ++i)
        available << dlg.ComboBox1->itemText(i);
    available.sort();
    EXPECT_EQ(available, (QStringList{QStringLiteral("lab"), QStringLiteral("office_2")}));
    QStringList targets;
    for (int i = 0; i < dlg.ComboBox2->count(); ++i)
        targets << dlg.ComboBox2->itemText(i);
    EXPECT_TRUE(targets.contains(QStringLiteral("lab")));
    EXPECT_EQ(targets.mid(2), setupcheck::localPortTargets());
    for (const QString& port : targets.mid(2))
        EXPECT_TRUE(QFileInfo::exists(port.mid(11))) << port.toStdString();
    EXPECT_EQ(dlg.ComboBox2->itemText(dlg.selectedTarget()), QStringLiteral("office_2"));
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

TEST(SetupChecks, ReservedWordsCountAnywhere)
{
    using setupcheck::isReserved;
    for (const char* text : {"Console", "print-com1", "/srv/common", "LPT1", "nul", "xCoNx"})
        EXPECT_TRUE(isReserved(QString::fromLatin1(text))) << text;
    for (const char* text : {"lp1", "/var/spool/lpd", "Cosmo", "co-n", "L P T"})
        EXPECT_FALSE(isReserved(QString::fromLatin1(text))) << text;
    EXPECT_TRUE(setupcheck::isValidRawTarget(QString(255, QLatin1Char('a'))));
    EXPECT_FALSE(setupcheck::isValidRawTarget(QString(256, QLatin1Char('a'))));
    EXPECT_FALSE(setupcheck::isValidRawTarget(QStringLiteral("a$b")));
    EXPECT_FALSE(setupcheck::isValidQueueName(QStringLiteral("lp\u00e9")));
}

#include "tpagesdlgtest.moc"
