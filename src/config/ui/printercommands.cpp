#include "config/ui/printercommands.h"

#include "config/printerdefinition.h"
#include "config/ui/textendedit.h"
#include "config/ui/tpagesdlg.h"
#include "platform/installedprinters.h"
#include "protocol/lpdserver.h"
#include "shell/tform1.h"
#include "spool/localjob.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>

PrinterCommands::PrinterCommands(TForm1& form, QObject* parent)
    : QObject(parent), m_form(form), m_dialog(new TPagesDlg(&form))
{
    OpenDialog1 = new QFileDialog(&form);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setNameFilters(
        {QStringLiteral("printable Files (*.raw *.pdf *.ps *.pcl)"),
         QStringLiteral("PostScript files (*.ps)"), QStringLiteral("PDF files (*.pdf)"),
         QStringLiteral("raw files (*.raw)"), QStringLiteral("PCL files (*.pcl)"),
         QStringLiteral("all files (*)")});
    OpenDialog1->setDirectory(QCoreApplication::applicationDirPath());

    chooseFile = [this] {
        if (OpenDialog1->exec() != QDialog::Accepted)
            return QString();
        return OpenDialog1->selectedFiles().value(0);
    };
    // The core's cached list: showing the dialog never waits for CUPS while connections
    // are being served on this thread.
    m_dialog->availablePrinters = [this] { return m_form.core().installedPrinters().names(); };
    m_dialog->localPrinters = m_dialog->availablePrinters;
    reportError = [this](const QString& text) {
        QMessageBox::critical(&m_form, QStringLiteral("Error"), text);
    };

    connect(form.Setup1, &QAction::triggered, this, &PrinterCommands::Setup1Click);
    connect(form.AddPrinter1, &QAction::triggered, this, &PrinterCommands::AddPrinter1Click);
    connect(form.EditPrinter1, &QAction::triggered, this, &PrinterCommands::EditPrinter1Click);
    connect(form.RemovePrinter1, &QAction::triggered, this, &PrinterCommands::RemovePrinter1Click);
    connect(form.Add1, &QAction::triggered, this, &PrinterCommands::Add1Click);
    connect(&form, &TForm1::printerActivated, this, &PrinterCommands::EditPrinter1Click);
}

PrinterCommands::~PrinterCommands()
{
    delete m_dialog.data();
    delete OpenDialog1.data();
}

int PrinterCommands::selectedPrinter() const
{
    const QList<QListWidgetItem*> selected = m_form.ListBox1->selectedItems();
    if (selected.isEmpty())
        return -1;
    const int row = m_form.ListBox1->row(selected.first());
    return row < m_form.core().settings.printers.size() ? row : -1;
}

bool PrinterCommands::showDialog()
{
    m_dialog->exec();
    return m_dialog->acceptedFlag();
}

void PrinterCommands::save()
{
    if (!m_form.core().savesettings())
        reportError(QStringLiteral("Failure writing ini file"));
}

QString PrinterCommands::portText() const
{
    const QString& port = m_form.core().settings.port;
    return port.isEmpty() ? QStringLiteral("515") : port;
}

void PrinterCommands::Setup1Click()
{
    if (m_form.protectMode())
        return;
    LpdServer& core = m_form.core();
    Settings& settings = core.settings;
    TPagesDlg& dlg = *m_dialog;
    dlg.ListBox1->clear();
    dlg.ListBox1->addItems(settings.hosts);
    dlg.Edit3->setText(settings.spoolDir);
    dlg.ExtendEdit2->setValue(settings.timeoutMinutes);
    dlg.ExtendEdit3->setValue(settings.maxConn);
    dlg.ExtendEdit1->setText(portText());
    dlg.baseDir = QFileInfo(core.settingsPath).absolutePath();
    dlg.showSetupMode();
    if (!showDialog())
        return;

    settings.spoolDir = dlg.Edit3->text();
    settings.timeoutMinutes = qRound(dlg.ExtendEdit2->Value());
    settings.maxConn = qRound(dlg.ExtendEdit3->Value());
    const QString port = dlg.ExtendEdit1->text();
    if (port != portText()) {
        settings.port = port;
        // The socket layer's report is the one line the listener logs when it fails.
        QStringList report;
        const auto capture = connect(&core.log, &LogSink::lineAppended, this,
                                     [&report](const QString& line) { report << line; });
        const bool listening = core.restartListening();
        disconnect(capture);
        if (!listening) {
            // The listener stays closed until Timer1 or a later setup opens it again.
            reportError(report.join(QLatin1Char('\n')));
            return;
        }
    }
    settings.hosts.clear();
    for (int i = 0; i < dlg.ListBox1->count(); ++i)
        settings.hosts << dlg.ListBox1->item(i)->text();
    save();
    core.loadoldjobs();
}

void PrinterCommands::AddPrinter1Click()
{
    if (m_form.protectMode())
        return;
    m_dialog->definition.clear();
    m_dialog->showPrinterMode();
    if (!showDialog())
        return;
    const int selected = selectedPrinter();
    // A queue name that is already defined is not looked for: the second one is kept too.
    m_form.core().settings.printers.append(m_dialog->definition);
    m_form.refreshPrinters();
    // Appending leaves the selection as it was, none included.
    if (selected >= 0) {
        m_form.ListBox1->setCurrentRow(selected);
    } else {
        m_form.ListBox1->clearSelection();
        m_form.ListBox1->setCurrentRow(-1);
    }
    save();
}

void PrinterCommands::EditPrinter1Click()
{
    if (m_form.protectMode())
        return;
    const int row = selectedPrinter();
    if (row < 0)
        return;
    m_dialog->definition = m_form.core().settings.printers.at(row);
    m_dialog->showPrinterMode();
    if (!showDialog())
        return;
    m_form.core().settings.printers[row] = m_dialog->definition;
    m_form.refreshPrinters();
    m_form.ListBox1->setCurrentRow(row);
    save();
}

void PrinterCommands::RemovePrinter1Click()
{
    if (m_form.protectMode())
        return;
    const int row = selectedPrinter();
    if (row < 0)
        return;
    m_form.core().settings.printers.removeAt(row);
    m_form.refreshPrinters();
    if (row > 0) {
        m_form.ListBox1->setCurrentRow(row - 1);
    } else {
        m_form.ListBox1->clearSelection();
        m_form.ListBox1->setCurrentRow(-1);
    }
    save();
}

void PrinterCommands::Add1Click()
{
    const int row = selectedPrinter();
    if (row < 0)
        return;
    const QString path = chooseFile();
    if (path.isEmpty())
        return;
    LpdServer& core = m_form.core();
    const QString queue = printerdef::queueName(core.settings.printers.at(row));
    const LocalJobResult result =
        submitLocalJob(core.spoolDir() + QLatin1Char('/') + queue, queue, path);
    if (!result.ok) {
        core.log.append(result.error);
        return;
    }
    core.pendingJobs.append(result.job);
    m_form.refreshJobs();
    // Already running keeps its phase: the job waits at most one period either way.
    if (!core.Timer1.isActive())
        core.Timer1.start();
}
