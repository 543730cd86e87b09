#include "gui/setupdialog.h"

#include "config/printerdefinition.h"

#include "gui/numericedit.h"
#include "gui/setupchecks.h"
#include "platform/printroutes.h"

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
#include <QScrollArea>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// A caption whose access key leads to its control, and after which a screen reader names it.
QLabel* labelFor(const QString& caption, QWidget* buddy)
{
    auto* label = new QLabel(caption);
    label->setBuddy(buddy);
    buddy->setAccessibleName(QString(caption).remove(QLatin1Char('&')));
    return label;
}

// A tab's page that scrolls when the dialog is smaller than the page wants. The area takes
// the keyboard on its way to the page, so a screen reader names it after the page.
QScrollArea* scrolling(QWidget* page, const QString& name)
{
    auto* area = new QScrollArea;
    area->setAccessibleName(name);
    area->setWidget(page);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    return area;
}

NumericEdit* integerField(const QString& text, int maxLength, bool enforce, double min, double max)
{
    auto* field = new NumericEdit;
    field->setText(text);
    if (maxLength > 0)
        field->setMaxLength(maxLength);
    field->setNumericStyle(NumericStyle::Integer);
    field->alert().setActive(false);
    field->range().setMaximum(max);
    field->range().setMinimum(min);
    field->range().setEnforced(enforce);
    return field;
}

} // namespace

SetupDialog::SetupDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);

    m_availablePrinters = [] { return cupsPrinterNames(); };
    m_localPrinters = [] { return cupsPrinterNames(); };
    m_localPorts = [] { return setupcheck::localPortTargets(); };
    m_showMessage = [this](QMessageBox::Icon icon, const QString& caption, const QString& text) {
        QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
        box.exec();
    };

    m_tabs = new QTabWidget;
    m_generalTab = scrolling(buildGeneralTab(), QStringLiteral("General settings"));
    m_printerTab = scrolling(buildPrinterTab(), QStringLiteral("Printer settings"));
    m_tabs->addTab(m_generalTab, QStringLiteral("General"));
    m_tabs->addTab(m_printerTab, QStringLiteral("Printer"));

    m_okButton = new QPushButton(QStringLiteral("OK"));
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"));
    m_helpButton = new QPushButton(QStringLiteral("&Help"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_helpButton);

    // The buttons stay below the tabs whatever the size: at a large scale on a small screen
    // the tabs scroll, the buttons never leave the screen.
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addLayout(buttons);

    connect(m_okButton, &QPushButton::clicked, this, &SetupDialog::onOkClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &SetupDialog::onCancelClicked);
    connect(m_helpButton, &QPushButton::clicked, this, &SetupDialog::onHelpClicked);
    makeDefault(m_okButton);
}

SetupDialog::~SetupDialog() = default;

QWidget* SetupDialog::buildGeneralTab()
{
    auto* page = new QWidget;
    m_spoolDirEdit = new QLineEdit;
    m_spoolDirEdit->setToolTip(QStringLiteral("A folder such as /var/spool/spoolmere"));
    m_hostEdit = new QLineEdit;
    m_hostEdit->setToolTip(QStringLiteral("An IPv4 address, or the start of one"));
    m_hostList = new QListWidget;
    m_addHostButton = new QPushButton(QStringLiteral("&Add"));
    m_removeHostButton = new QPushButton(QStringLiteral("&Remove"));
    // A plain text field: lpd.ini allows a service name ("printer") as well as a number, and
    // a name must stay a name.
    m_portEdit = integerField(QStringLiteral("515"), 0, false, -100.0, 100.0);
    m_portEdit->setNumericStyle(NumericStyle::General);
    m_portEdit->setToolTip(QStringLiteral("A port number (usually 515) or a service name"));
    m_timeoutEdit = integerField(QStringLiteral("1"), 2, true, 1.0, 99.0);
    m_maxConnEdit = integerField(QStringLiteral("10"), 0, true, 1.0, 100.0);

    auto* grid = new QGridLayout(page);
    grid->addWidget(labelFor(QStringLiteral("&Spool directory"), m_spoolDirEdit), 0, 0);
    grid->addWidget(m_spoolDirEdit, 0, 1, 1, 3);
    grid->addWidget(labelFor(QStringLiteral("A&llowed hosts"), m_hostList), 1, 0);
    grid->addWidget(m_hostList, 2, 0, 4, 2);
    grid->addWidget(labelFor(QStringLiteral("H&ost to add"), m_hostEdit), 1, 2);
    grid->addWidget(m_hostEdit, 2, 2, 1, 2);
    grid->addWidget(m_addHostButton, 3, 2);
    grid->addWidget(m_removeHostButton, 3, 3);
    grid->addWidget(labelFor(QStringLiteral("&Port to listen on"), m_portEdit), 6, 0);
    grid->addWidget(m_portEdit, 6, 1);
    grid->addWidget(labelFor(QStringLiteral("&Timeout (minutes)"), m_timeoutEdit), 7, 0);
    grid->addWidget(m_timeoutEdit, 7, 1);
    grid->addWidget(labelFor(QStringLiteral("&Max. connections"), m_maxConnEdit), 8, 0);
    grid->addWidget(m_maxConnEdit, 8, 1);

    connect(m_addHostButton, &QPushButton::clicked, this, &SetupDialog::onAddHostClicked);
    connect(m_removeHostButton, &QPushButton::clicked, this, &SetupDialog::onRemoveHostClicked);
    connect(m_hostEdit, &QLineEdit::textEdited, this, &SetupDialog::onHostEdited);
    connect(m_hostList, &QListWidget::itemClicked, this, &SetupDialog::onHostSelected);
    // Moving through the list with the keys picks an entry as a click does.
    connect(m_hostList, &QListWidget::itemSelectionChanged, this, [this] {
        if (m_hostList->hasFocus())
            onHostSelected();
    });
    return page;
}

QWidget* SetupDialog::buildPrinterTab()
{
    auto* page = new QWidget;
    m_queueEdit = new QLineEdit;
    m_queueEdit->setToolTip(QStringLiteral("The name other computers send their jobs to"));
    m_printingDisabledBox = new QCheckBox(QStringLiteral("Printing &disabled"));
    m_printingDisabledBox->setToolTip(QStringLiteral("Keep received jobs without printing them"));
    m_spoolingDisabledBox = new QCheckBox(QStringLiteral("Sp&ooling disabled"));
    m_spoolingDisabledBox->setToolTip(QStringLiteral("Refuse new jobs"));
    m_commandEdit = new QLineEdit;
    m_commandEdit->setToolTip(
        QStringLiteral("The program that prints a job and its arguments: words are grouped by "
                       "single quotes, double quotes and backslashes as in a shell, nothing is "
                       "expanded; %p/%d is the data file. See Help"));
    m_commandLabel = labelFor(QStringLiteral("&Print command"), m_commandEdit);
    m_rawBox =
        new QCheckBox(QStringLiteral("P&rint raw to a CUPS printer, a local port or an SMB path:"));
    m_rawTargetCombo = new QComboBox;
    m_rawTargetCombo->setEditable(true);
    m_rawTargetCombo->setInsertPolicy(QComboBox::NoInsert);
    // Typed text stays typed: no completion turns it into an entry behind the user's back.
    m_rawTargetCombo->setCompleter(nullptr);
    m_rawTargetCombo->setToolTip(QStringLiteral("Tick \"Print raw\" first"));
    m_rawTargetCombo->setAccessibleName(QStringLiteral("Raw target"));
    m_rawTargetCombo->setMinimumContentsLength(32);
    m_installedPrinterCombo = new QComboBox;
    m_installedPrinterCombo->setEditable(false);
    m_installedPrinterCombo->setToolTip(QStringLiteral("For your information only"));
    m_printerSetupButton = new QPushButton(QStringLiteral("&Set Up in Browser"));
    m_printerSetupButton->setToolTip(QStringLiteral("Opens the printer's page of CUPS"));

    m_printerGroup = new QGroupBox(QStringLiteral("LPD printer"));
    auto* g1 = new QGridLayout(m_printerGroup);
    g1->addWidget(labelFor(QStringLiteral("&LPD printer name"), m_queueEdit), 0, 0);
    g1->addWidget(m_queueEdit, 0, 1);
    g1->addWidget(m_printingDisabledBox, 1, 0);
    g1->addWidget(m_spoolingDisabledBox, 1, 1);
    g1->addWidget(m_commandLabel, 2, 0);
    g1->addWidget(m_commandEdit, 2, 1);
    g1->addWidget(m_rawBox, 3, 0, 1, 2);
    g1->addWidget(m_rawTargetCombo, 4, 0, 1, 2);

    m_installedGroup = new QGroupBox(QStringLiteral("CUPS printers"));
    auto* g2 = new QGridLayout(m_installedGroup);
    g2->addWidget(labelFor(QStringLiteral("&Available printers"), m_installedPrinterCombo), 0, 0);
    g2->addWidget(m_installedPrinterCombo, 0, 1);
    g2->addWidget(m_printerSetupButton, 0, 2);

    auto* column = new QVBoxLayout(page);
    column->addWidget(m_printerGroup);
    column->addWidget(m_installedGroup);

    connect(m_rawBox, &QCheckBox::toggled, this, &SetupDialog::onRawToggled);
    connect(m_installedPrinterCombo, &QComboBox::activated, this,
            &SetupDialog::onInstalledPrinterChanged);
    connect(m_printerSetupButton, &QPushButton::clicked, this, &SetupDialog::onPrinterSetupClicked);
    connect(m_rawTargetCombo, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_targetPicked = index >= 0; });
    connect(m_rawTargetCombo, &QComboBox::activated, this, [this] { m_targetPicked = true; });
    connect(m_rawTargetCombo->lineEdit(), &QLineEdit::textEdited, this,
            [this] { m_targetPicked = false; });
    return page;
}

void SetupDialog::showSetupMode()
{
    m_tabs->setCurrentWidget(m_generalTab);
    m_tabs->setTabVisible(m_tabs->indexOf(m_printerTab), false);
    m_tabs->setTabVisible(m_tabs->indexOf(m_generalTab), true);
}

void SetupDialog::showPrinterMode()
{
    m_tabs->setTabVisible(m_tabs->indexOf(m_printerTab), true);
    m_tabs->setTabVisible(m_tabs->indexOf(m_generalTab), false);
    m_tabs->setCurrentWidget(m_printerTab);
}

bool SetupDialog::printerMode() const
{
    return m_tabs->isTabVisible(m_tabs->indexOf(m_printerTab));
}

int SetupDialog::selectedTarget() const
{
    return m_targetPicked ? m_rawTargetCombo->currentIndex() : -1;
}

void SetupDialog::makeDefault(QPushButton* button)
{
    for (QPushButton* b : {m_okButton, m_addHostButton, m_removeHostButton}) {
        if (b)
            b->setDefault(b == button);
    }
}

void SetupDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    prepareShowing();
    // The size this showing needs (one tab hidden, the other's contents), not the last
    // showing's, at most the screen's; centred on that size.
    if (const QScreen* s = screen()) {
        const QRect available = s->availableGeometry();
        QSize frame = frameGeometry().size() - size();
        // Before the window manager has framed it (the first showing on X11) the frame is not
        // known yet: a title bar of about two lines and thin borders, so that the whole dialog
        // fits (an 800 px screen at scale 2 leaves little room to spare).
        if (frame.isNull())
            frame = QSize(8, 8 + 2 * fontMetrics().height());
        resize(sizeHint().boundedTo(available.size() - frame));
        move(available.center() -
             QPoint((width() + frame.width()) / 2, (height() + frame.height()) / 2));
    }
}

void SetupDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        emit contextHelpRequested(m_tabs->currentWidget() == m_printerTab ? 5 : 4);
        return;
    }
    QDialog::keyPressEvent(event);
}

void SetupDialog::prepareShowing()
{
    m_accepted = false;
    m_shownPort = m_portEdit->text();
    m_installedPrinterCombo->clear();
    m_installedPrinterCombo->addItems(m_availablePrinters ? m_availablePrinters() : QStringList());
    m_rawTargetCombo->clear();
    m_rawTargetCombo->addItems(m_localPrinters ? m_localPrinters() : QStringList());
    m_rawTargetCombo->addItems(m_localPorts ? m_localPorts() : QStringList());
    // Filling an empty box selects its first entry; nothing is chosen until the user does.
    m_rawTargetCombo->setCurrentIndex(-1);
    m_rawTargetCombo->setEnabled(false);
    m_queueEdit->clear();
    m_commandEdit->clear();
    m_hostEdit->clear();
    m_printingDisabledBox->setChecked(false);
    m_spoolingDisabledBox->setChecked(false);
    m_rawBox->setChecked(false);
    onRawToggled();

    const setupcheck::PrinterFields fields = setupcheck::readDefinition(m_definition);
    m_printingDisabledBox->setChecked(fields.printingDisabled);
    m_spoolingDisabledBox->setChecked(fields.spoolingDisabled);
    m_queueEdit->setText(fields.name);
    if (fields.raw) {
        m_rawBox->setChecked(true);
        onRawToggled();
        int match = -1;
        for (int i = 0; i < m_rawTargetCombo->count() && match < 0; ++i) {
            if (m_rawTargetCombo->itemText(i).compare(fields.target, Qt::CaseInsensitive) == 0)
                match = i;
        }
        m_rawTargetCombo->setCurrentIndex(match);
        if (match < 0)
            m_rawTargetCombo->setEditText(fields.target);
        m_targetPicked = match >= 0;
    } else {
        m_commandEdit->setText(fields.command);
    }

    m_installedPrinterCombo->setCurrentIndex(m_installedPrinterCombo->count() > 0 ? 0 : -1);
    // There is no separate printer object here: the printer shown is the current one.
    m_currentPrinter = m_installedPrinterCombo->currentText();
    makeDefault(m_okButton);
    (printerMode() ? m_queueEdit : m_spoolDirEdit)->setFocus(Qt::OtherFocusReason);
}

void SetupDialog::onOkClicked()
{
    // Enter in a number field leaves it only now: its range holds for what OK takes over.
    m_timeoutEdit->commit();
    m_maxConnEdit->commit();
    if (printerMode()) {
        if (!checkPrinterTab())
            return;
    } else {
        // The port the server runs with is not questioned; a port typed here is.
        QString problem = m_portEdit->text() == m_shownPort
                              ? QString()
                              : setupcheck::portProblem(m_portEdit->text());
        if (problem.isEmpty())
            problem = setupcheck::spoolDirProblem(m_spoolDirEdit->text(), m_baseDir);
        if (!problem.isEmpty()) {
            m_showMessage(QMessageBox::Critical, QStringLiteral("Error"), problem);
            return;
        }
    }

    setupcheck::PrinterFields fields;
    fields.printingDisabled = m_printingDisabledBox->isChecked();
    fields.spoolingDisabled = m_spoolingDisabledBox->isChecked();
    fields.name = m_queueEdit->text();
    fields.raw = m_rawBox->isChecked();
    const int picked = selectedTarget();
    fields.target =
        picked >= 0 ? m_rawTargetCombo->itemText(picked) : m_rawTargetCombo->currentText();
    fields.command = m_commandEdit->text();
    m_definition = setupcheck::buildDefinition(fields);
    m_accepted = true;
    accept();
}

bool SetupDialog::checkPrinterTab()
{
    if (!setupcheck::isValidQueueName(m_queueEdit->text())) {
        m_showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                      QStringLiteral("Invalid LPD printer name \"%1\". ").arg(m_queueEdit->text()) +
                          setupcheck::queueNameRule());
        return false;
    }
    if (m_rawBox->isChecked() && selectedTarget() < 0) {
        const QString target = m_rawTargetCombo->currentText();
        if (!setupcheck::isValidRawTarget(target)) {
            const QString problem = setupcheck::networkTargetProblem(target);
            m_showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                          QStringLiteral("Invalid raw target \"%1\". ").arg(target) +
                              (problem.isEmpty() ? setupcheck::rawTargetRule() : problem));
            return false;
        }
        m_showMessage(QMessageBox::Warning, QStringLiteral("Warning"),
                      QStringLiteral("You have entered a port/path manually. Make sure the "
                                     "host/printer exists, or problems may happen."));
    }
    if (!m_rawBox->isChecked()) {
        setupcheck::PrinterFields fields;
        fields.name = m_queueEdit->text();
        fields.command = m_commandEdit->text();
        const QString problem =
            PrinterDefinition::parse(setupcheck::buildDefinition(fields)).problem();
        if (!problem.isEmpty()) {
            m_showMessage(QMessageBox::Critical, QStringLiteral("Error"),
                          QStringLiteral("Invalid print command \"%1\": %2.")
                              .arg(m_commandEdit->text(), problem));
            return false;
        }
    }
    return true;
}

void SetupDialog::onCancelClicked()
{
    m_accepted = false;
    reject();
}

void SetupDialog::onRawToggled()
{
    const bool raw = m_rawBox->isChecked();
    m_commandEdit->setEnabled(!raw);
    m_commandLabel->setEnabled(!raw);
    m_rawTargetCombo->setEnabled(raw);
}

void SetupDialog::onInstalledPrinterChanged()
{
    m_currentPrinter = m_installedPrinterCombo->currentText();
}

void SetupDialog::onPrinterSetupClicked()
{
    if (m_currentPrinter.isEmpty()) {
        m_showMessage(QMessageBox::Information, QStringLiteral("Set Up in Browser"),
                      m_installedPrinterCombo->count() == 0
                          ? QStringLiteral("There is no CUPS printer on this computer to set up "
                                           "(or CUPS does not answer).")
                          : QStringLiteral("Choose a printer under Available printers first."));
        return;
    }
    // The CUPS web interface is this system's printer setup dialog.
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(631);
    url.setPath(QStringLiteral("/printers/") + m_currentPrinter);
    if (!QDesktopServices::openUrl(url))
        m_showMessage(QMessageBox::Warning, QStringLiteral("Set Up in Browser"),
                      QStringLiteral("No browser could be started to open ") + url.toString() +
                          QLatin1Char('.'));
}

void SetupDialog::onAddHostClicked()
{
    m_hostList->addItem(m_hostEdit->text());
    makeDefault(m_okButton);
}

void SetupDialog::onRemoveHostClicked()
{
    const QList<QListWidgetItem*> selected = m_hostList->selectedItems();
    if (!selected.isEmpty())
        delete m_hostList->takeItem(m_hostList->row(selected.first()));
    makeDefault(m_okButton);
}

void SetupDialog::onHostEdited()
{
    makeDefault(m_addHostButton);
}

void SetupDialog::onHostSelected()
{
    makeDefault(m_removeHostButton);
}

void SetupDialog::onHelpClicked()
{
    emit helpTopicRequested(m_tabs->currentWidget() == m_printerTab ? QStringLiteral("IDH_510")
                                                                    : QStringLiteral("IDH_410"));
}
