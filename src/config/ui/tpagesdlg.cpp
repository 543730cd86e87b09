#include "config/ui/tpagesdlg.h"

#include "config/ui/setupchecks.h"
#include "config/ui/textendedit.h"
#include "platform/printroutes.h"
#include "shell/helpopener.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QLabel* labelFor(const QString& caption, QWidget* buddy)
{
    auto* label = new QLabel(caption);
    label->setBuddy(buddy);
    return label;
}

TExtendEdit* integerField(const QString& text, int maxLength, bool enforce, double min, double max)
{
    auto* field = new TExtendEdit;
    field->setText(text);
    if (maxLength > 0)
        field->setMaxLength(maxLength);
    field->setEditStyle(esInteger);
    field->Alert().setActive(false);
    field->Range().setMaxValue(max);
    field->Range().setMinValue(min);
    field->Range().setEnforce(enforce);
    return field;
}

} // namespace

TPagesDlg::TPagesDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);

    availablePrinters = [] { return cupsPrinterNames(); };
    localPrinters = [] { return cupsPrinterNames(); };
    localPorts = [] { return setupcheck::localPortTargets(); };
    showMessage = [this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
        QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
        box.exec();
    };

    PageControl1 = new QTabWidget;
    TabSheet1 = buildGeneralTab();
    TabSheet2 = buildPrinterTab();
    PageControl1->addTab(TabSheet1, QStringLiteral("General"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Printer"));

    OKBtn = new QPushButton(QStringLiteral("OK"));
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    HelpBtn = new QPushButton(QStringLiteral("&Help"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addWidget(HelpBtn);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(buttons);
    // A fixed dialog border.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(OKBtn, &QPushButton::clicked, this, &TPagesDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &TPagesDlg::CancelBtnClick);
    connect(HelpBtn, &QPushButton::clicked, this, &TPagesDlg::HelpBtnClick);
    makeDefault(OKBtn);
}

TPagesDlg::~TPagesDlg() = default;

QWidget* TPagesDlg::buildGeneralTab()
{
    auto* page = new QWidget;
    Edit3 = new QLineEdit;
    Edit3->setToolTip(QStringLiteral("Enter a directory as c:\\lpdspool."));
    Edit4 = new QLineEdit;
    Edit4->setToolTip(QStringLiteral("Enter IP numbers!"));
    ListBox1 = new QListWidget;
    Button1 = new QPushButton(QStringLiteral("&Add"));
    Button2 = new QPushButton(QStringLiteral("&Remove"));
    ExtendEdit1 = integerField(QStringLiteral("515"), 0, false, -100.0, 100.0);
    ExtendEdit1->setToolTip(QStringLiteral("Enter port (515, usually)"));
    ExtendEdit2 = integerField(QStringLiteral("1"), 2, true, 1.0, 99.0);
    ExtendEdit3 = integerField(QStringLiteral("10"), 0, true, 1.0, 100.0);

    auto* grid = new QGridLayout(page);
    grid->addWidget(labelFor(QStringLiteral("&Spool Directory"), Edit3), 0, 0);
    grid->addWidget(Edit3, 0, 1, 1, 3);
    grid->addWidget(labelFor(QStringLiteral("A&llowed Hosts"), ListBox1), 1, 0);
    grid->addWidget(ListBox1, 2, 0, 4, 2);
    grid->addWidget(labelFor(QStringLiteral("&Host"), Edit4), 1, 2);
    grid->addWidget(Edit4, 2, 2, 1, 2);
    grid->addWidget(Button1, 3, 2);
    grid->addWidget(Button2, 3, 3);
    grid->addWidget(labelFor(QStringLiteral("&Port to listen on"), ExtendEdit1), 6, 0);
    grid->addWidget(ExtendEdit1, 6, 1);
    grid->addWidget(labelFor(QStringLiteral("&Timeout (Minutes)"), ExtendEdit2), 7, 0);
    grid->addWidget(ExtendEdit2, 7, 1);
    grid->addWidget(labelFor(QStringLiteral("&Max. Connections"), ExtendEdit3), 8, 0);
    grid->addWidget(ExtendEdit3, 8, 1);

    connect(Button1, &QPushButton::clicked, this, &TPagesDlg::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TPagesDlg::Button2Click);
    connect(Edit4, &QLineEdit::textEdited, this, &TPagesDlg::Edit4Change);
    connect(ListBox1, &QListWidget::itemClicked, this, &TPagesDlg::ListBox1Click);
    // Moving through the list with the keys picks an entry as a click does.
    connect(ListBox1, &QListWidget::itemSelectionChanged, this, [this] {
        if (ListBox1->hasFocus())
            ListBox1Click();
    });
    return page;
}

QWidget* TPagesDlg::buildPrinterTab()
{
    auto* page = new QWidget;
    Edit1 = new QLineEdit;
    Edit1->setToolTip(QStringLiteral("This is the name for the remote computer."));
    CheckBox1 = new QCheckBox(QStringLiteral("Printing &Disabled"));
    CheckBox1->setToolTip(QStringLiteral("Don't print jobs (store them)."));
    CheckBox2 = new QCheckBox(QStringLiteral("Sp&ooling Disabled"));
    CheckBox2->setToolTip(QStringLiteral("Don't recieve jobs."));
    Edit2 = new QLineEdit;
    Edit2->setToolTip(QStringLiteral("See help for details!"));
    Label5 = labelFor(QStringLiteral("&Print Command"), Edit2);
    CheckBox3 = new QCheckBox(
        QStringLiteral("print raw directly to win printer or local port or SMB path:"));
    ComboBox2 = new QComboBox;
    ComboBox2->setEditable(true);
    ComboBox2->setInsertPolicy(QComboBox::NoInsert);
    // Typed text stays typed: no completion turns it into an entry behind the user's back.
    ComboBox2->setCompleter(nullptr);
    ComboBox2->setToolTip(QStringLiteral("Check \"print raw\" first!"));
    ComboBox2->setMinimumContentsLength(32);
    ComboBox1 = new QComboBox;
    ComboBox1->setEditable(false);
    ComboBox1->setToolTip(QStringLiteral("For your information only!"));
    Button3 = new QPushButton(QStringLiteral("&Setup..."));
    Button3->setToolTip(QStringLiteral("For easy access only."));

    GroupBox1 = new QGroupBox(QStringLiteral("LPD Printer Setup"));
    auto* g1 = new QGridLayout(GroupBox1);
    g1->addWidget(labelFor(QStringLiteral("&LPD Printer Name"), Edit1), 0, 0);
    g1->addWidget(Edit1, 0, 1);
    g1->addWidget(CheckBox1, 1, 0);
    g1->addWidget(CheckBox2, 1, 1);
    g1->addWidget(Label5, 2, 0);
    g1->addWidget(Edit2, 2, 1);
    g1->addWidget(CheckBox3, 3, 0, 1, 2);
    g1->addWidget(ComboBox2, 4, 0, 1, 2);

    GroupBox2 = new QGroupBox(QStringLiteral("Windows"));
    auto* g2 = new QGridLayout(GroupBox2);
    g2->addWidget(labelFor(QStringLiteral("&Available Printers"), ComboBox1), 0, 0);
    g2->addWidget(ComboBox1, 0, 1);
    g2->addWidget(Button3, 0, 2);

    auto* column = new QVBoxLayout(page);
    column->addWidget(GroupBox1);
    column->addWidget(GroupBox2);

    connect(CheckBox3, &QCheckBox::toggled, this, &TPagesDlg::CheckBox3Click);
    connect(ComboBox1, &QComboBox::activated, this, &TPagesDlg::ComboBox1Change);
    connect(Button3, &QPushButton::clicked, this, &TPagesDlg::Button3Click);
    connect(ComboBox2, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_targetPicked = index >= 0; });
    connect(ComboBox2, &QComboBox::activated, this, [this] { m_targetPicked = true; });
    connect(ComboBox2->lineEdit(), &QLineEdit::textEdited, this,
            [this] { m_targetPicked = false; });
    return page;
}

void TPagesDlg::showSetupMode()
{
    PageControl1->setCurrentWidget(TabSheet1);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet2), false);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet1), true);
}

void TPagesDlg::showPrinterMode()
{
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet2), true);
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet1), false);
    PageControl1->setCurrentWidget(TabSheet2);
}

bool TPagesDlg::printerMode() const
{
    return PageControl1->isTabVisible(PageControl1->indexOf(TabSheet2));
}

int TPagesDlg::selectedTarget() const
{
    return m_targetPicked ? ComboBox2->currentIndex() : -1;
}

void TPagesDlg::makeDefault(QPushButton* button)
{
    for (QPushButton* b : {OKBtn, Button1, Button2}) {
        if (b)
            b->setDefault(b == button);
    }
}

void TPagesDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
}

void TPagesDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        HelpOpener::showContext(PageControl1->currentWidget() == TabSheet2 ? 5 : 4);
        return;
    }
    QDialog::keyPressEvent(event);
}

void TPagesDlg::FormShow()
{
    m_accepted = false;
    ComboBox1->clear();
    ComboBox1->addItems(availablePrinters ? availablePrinters() : QStringList());
    ComboBox2->clear();
    ComboBox2->addItems(localPrinters ? localPrinters() : QStringList());
    ComboBox2->addItems(localPorts ? localPorts() : QStringList());
    // Filling an empty box selects its first entry; nothing is chosen until the user does.
    ComboBox2->setCurrentIndex(-1);
    ComboBox2->setEnabled(false);
    Edit1->clear();
    Edit2->clear();
    Edit4->clear();
    CheckBox1->setChecked(false);
    CheckBox2->setChecked(false);
    CheckBox3->setChecked(false);
    CheckBox3Click();

    const setupcheck::PrinterFields fields = setupcheck::readDefinition(definition);
    CheckBox1->setChecked(fields.printingDisabled);
    CheckBox2->setChecked(fields.spoolingDisabled);
    Edit1->setText(fields.name);
    if (fields.raw) {
        CheckBox3->setChecked(true);
        CheckBox3Click();
        int match = -1;
        for (int i = 0; i < ComboBox2->count() && match < 0; ++i) {
            if (ComboBox2->itemText(i).compare(fields.target, Qt::CaseInsensitive) == 0)
                match = i;
        }
        ComboBox2->setCurrentIndex(match);
        if (match < 0)
            ComboBox2->setEditText(fields.target);
        m_targetPicked = match >= 0;
    } else {
        Edit2->setText(fields.command);
    }

    ComboBox1->setCurrentIndex(ComboBox1->count() > 0 ? 0 : -1);
    // There is no separate printer object here: the printer shown is the current one.
    m_currentPrinter = ComboBox1->currentText();
    makeDefault(OKBtn);
    (printerMode() ? Edit1 : Edit3)->setFocus(Qt::OtherFocusReason);
}

void TPagesDlg::OKBtnClick()
{
    if (printerMode()) {
        if (!checkPrinterTab())
            return;
    } else if (!setupcheck::spoolDirUsable(Edit3->text(), baseDir)) {
        showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                    QStringLiteral("Error creating path"));
        return;
    }

    setupcheck::PrinterFields fields;
    fields.printingDisabled = CheckBox1->isChecked();
    fields.spoolingDisabled = CheckBox2->isChecked();
    fields.name = Edit1->text();
    fields.raw = CheckBox3->isChecked();
    const int picked = selectedTarget();
    fields.target = picked >= 0 ? ComboBox2->itemText(picked) : ComboBox2->currentText();
    fields.command = Edit2->text();
    definition = setupcheck::buildDefinition(fields);
    m_accepted = true;
    accept();
}

bool TPagesDlg::checkPrinterTab()
{
    if (!setupcheck::isValidQueueName(Edit1->text())) {
        showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                    QStringLiteral("Illegal LPD printer name"));
        return false;
    }
    if (CheckBox3->isChecked() && selectedTarget() < 0) {
        if (!setupcheck::isValidRawTarget(ComboBox2->currentText())) {
            showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                        QStringLiteral("Illegal Win queue/port name"));
            return false;
        }
        showMessage(QMessageBox::Warning, QStringLiteral("Warning"),
                    QStringLiteral("You have entered a port/path manually. Make sure the "
                                   "host/printer exists, or problems may happen."));
    }
    return true;
}

void TPagesDlg::CancelBtnClick()
{
    m_accepted = false;
    reject();
}

void TPagesDlg::CheckBox3Click()
{
    const bool raw = CheckBox3->isChecked();
    Edit2->setEnabled(!raw);
    Label5->setEnabled(!raw);
    ComboBox2->setEnabled(raw);
}

void TPagesDlg::ComboBox1Change()
{
    m_currentPrinter = ComboBox1->currentText();
}

void TPagesDlg::Button3Click()
{
    if (m_currentPrinter.isEmpty())
        return;
    // The CUPS web interface is this system's printer setup dialog.
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(631);
    url.setPath(QStringLiteral("/printers/") + m_currentPrinter);
    QDesktopServices::openUrl(url);
}

void TPagesDlg::Button1Click()
{
    ListBox1->addItem(Edit4->text());
    makeDefault(OKBtn);
}

void TPagesDlg::Button2Click()
{
    const QList<QListWidgetItem*> selected = ListBox1->selectedItems();
    if (!selected.isEmpty())
        delete ListBox1->takeItem(ListBox1->row(selected.first()));
    makeDefault(OKBtn);
}

void TPagesDlg::Edit4Change()
{
    makeDefault(Button1);
}

void TPagesDlg::ListBox1Click()
{
    makeDefault(Button2);
}

void TPagesDlg::HelpBtnClick()
{
    HelpOpener::showTopic(PageControl1->currentWidget() == TabSheet2 ? QStringLiteral("IDH_510")
                                                                     : QStringLiteral("IDH_410"));
}
