#include "gui/printercommands.h"

#include "config/printerdefinition.h"
#include "gui/helpopener.h"
#include "gui/numericedit.h"
#include "gui/setupdialog.h"
#include "platform/installedprinters.h"
#include "protocol/lpdserver.h"
#include "spool/localjob.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

PrinterCommands::PrinterCommands(LpdServer& core, QWidget* dialogParent, QObject* parent)
    : QObject(parent), m_core(core), m_dialogParent(dialogParent),
      m_dialog(new SetupDialog(dialogParent)), m_openDialog(new QFileDialog(dialogParent))
{
    m_openDialog->setFileMode(QFileDialog::ExistingFile);
    m_openDialog->setAcceptMode(QFileDialog::AcceptOpen);
    m_openDialog->setWindowTitle(QStringLiteral("Add Job"));
    m_openDialog->setNameFilters(
        {QStringLiteral("Printable files (*.pdf *.ps *.pcl *.txt *.raw)"),
         QStringLiteral("PDF files (*.pdf)"), QStringLiteral("PostScript files (*.ps)"),
         QStringLiteral("PCL files (*.pcl)"), QStringLiteral("Text files (*.txt)"),
         QStringLiteral("Raw files (*.raw)"), QStringLiteral("All files (*)")});
    // Where the user's documents are the first time; the dialog then stays where the last
    // file was picked.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    m_openDialog->setDirectory(QFileInfo(documents).isDir() ? documents : QDir::homePath());

    m_selectedRow = [] { return -1; };
    m_chooseFile = [this] {
        if (m_openDialog->exec() != QDialog::Accepted)
            return QString();
        const QString file = m_openDialog->selectedFiles().value(0);
        // A path typed whole leaves the dialog where it was; the next pick starts beside it.
        m_openDialog->setDirectory(QFileInfo(file).absolutePath());
        return file;
    };
    // The core's cached list: showing the dialog never waits for CUPS while connections
    // are being served on this thread.
    connect(m_dialog, &SetupDialog::helpTopicRequested, this,
            [](const QString& topic) { HelpOpener::showTopic(topic); });
    connect(m_dialog, &SetupDialog::contextHelpRequested, this,
            [](int context) { HelpOpener::showContext(context); });
    m_dialog->setAvailablePrinters([this] { return m_core.installedPrinters().names(); });
    m_dialog->setLocalPrinters([this] { return m_core.installedPrinters().names(); });
    m_reportError = [this](const QString& text) {
        QMessageBox::critical(m_dialogParent, QStringLiteral("Error"), text);
    };
    m_notify = [this](const QString& caption, const QString& text) {
        QMessageBox::information(m_dialogParent, caption, text);
    };
    m_confirm = [this](const QString& question, const QString& detail) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Remove Printer"), question,
                        QMessageBox::Cancel, m_dialogParent);
        box.setInformativeText(detail);
        QPushButton* remove = box.addButton(QStringLiteral("&Remove"), QMessageBox::AcceptRole);
        box.setDefaultButton(QMessageBox::Cancel);
        box.exec();
        return box.clickedButton() == remove;
    };
}

PrinterCommands::~PrinterCommands()
{
    // A copy under way finishes: its files are complete or removed, never half written.
    m_copies.clear();
    if (m_copyThread) {
        m_copyThread->wait();
        delete m_copyThread.data();
    }
    delete m_dialog.data();
    delete m_openDialog.data();
}

int PrinterCommands::selectedPrinter() const
{
    const int row = m_selectedRow ? m_selectedRow() : -1;
    return row >= 0 && row < m_core.settings().printers.size() ? row : -1;
}

bool PrinterCommands::showDialog()
{
    m_dialog->exec();
    return m_dialog->acceptedFlag();
}

void PrinterCommands::save()
{
    if (!m_core.saveSettings())
        m_reportError(QStringLiteral("Failure writing ini file"));
}

QString PrinterCommands::portText() const
{
    const QString& port = m_core.settings().port;
    return port.isEmpty() ? QStringLiteral("515") : port;
}

void PrinterCommands::onSetup()
{
    if (m_locked)
        return;
    LpdServer& core = m_core;
    Settings settings = core.settings();
    SetupDialog& dlg = *m_dialog;
    dlg.hostList()->clear();
    dlg.hostList()->addItems(settings.hosts);
    dlg.spoolDirEdit()->setText(settings.spoolDir);
    dlg.timeoutEdit()->setValue(settings.timeoutMinutes);
    dlg.maxConnEdit()->setValue(settings.maxConn);
    dlg.portEdit()->setText(portText());
    dlg.setBaseDir(QFileInfo(core.settingsPath()).absolutePath());
    dlg.showSetupMode();
    dlg.setWindowTitle(QStringLiteral("Setup"));
    // A change the server cannot make (a port it cannot listen on) changes nothing: the box
    // says why, and the dialog comes back with what the user typed, to be mended.
    for (;;) {
        if (!showDialog())
            return;
        settings = core.settings();
        settings.spoolDir = dlg.spoolDirEdit()->text();
        settings.timeoutMinutes = qRound(dlg.timeoutEdit()->value());
        settings.maxConn = qRound(dlg.maxConnEdit()->value());
        const QString port = dlg.portEdit()->text();
        if (port != portText())
            settings.port = port;
        settings.hosts.clear();
        for (int i = 0; i < dlg.hostList()->count(); ++i)
            settings.hosts << dlg.hostList()->item(i)->text();
        QString reason;
        if (core.applySettings(settings, &reason))
            break;
        m_reportError(reason);
    }
    save();
    core.recoverSpooledJobs();
}

void PrinterCommands::onAddPrinter()
{
    if (m_locked)
        return;
    m_dialog->setDefinition(QString());
    m_dialog->showPrinterMode();
    m_dialog->setWindowTitle(QStringLiteral("Add Printer"));
    if (!showDialog())
        return;
    const int selected = selectedPrinter();
    // A queue name that is already defined is not looked for: the second one is kept too.
    Settings settings = m_core.settings();
    settings.printers.append(m_dialog->definition());
    m_core.applySettings(settings);
    // Appending leaves the selection as it was, none included.
    emit printersChanged(selected);
    save();
}

void PrinterCommands::onEditPrinter()
{
    if (m_locked)
        return;
    const int row = printerFor(QStringLiteral("Edit Printer"));
    if (row < 0)
        return;
    m_dialog->setDefinition(m_core.settings().printers.at(row));
    m_dialog->showPrinterMode();
    m_dialog->setWindowTitle(QStringLiteral("Edit Printer"));
    if (!showDialog())
        return;
    Settings settings = m_core.settings();
    settings.printers[row] = m_dialog->definition();
    m_core.applySettings(settings);
    emit printersChanged(row);
    save();
}

void PrinterCommands::onRemovePrinter()
{
    if (m_locked)
        return;
    const int row = printerFor(QStringLiteral("Remove Printer"));
    if (row < 0)
        return;
    const QString queue = m_core.printers().value(row).queue;
    if (!m_confirm(QStringLiteral("Remove the printer \"%1\"?").arg(queue),
                   QStringLiteral("Jobs waiting for it stay in its spool folder and print again "
                                  "once a printer of that name is added.")))
        return;
    Settings settings = m_core.settings();
    settings.printers.removeAt(row);
    m_core.applySettings(settings);
    // The entry before, or the new first one: a printer stays selected while there is one.
    emit printersChanged(row > 0 ? row - 1 : (settings.printers.isEmpty() ? -1 : 0));
    save();
}

QString PrinterCommands::localFileProblem(const QString& path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("it is a pipe (FIFO), which could block the copy for good");
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("it is a device, which may never end");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("it is a folder");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("it is not a regular file");
    if (::access(QFile::encodeName(path).constData(), R_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return {};
}

int PrinterCommands::printerFor(const QString& command)
{
    const int row = selectedPrinter();
    if (row >= 0)
        return row;
    m_notify(command, m_core.settings().printers.isEmpty()
                          ? QStringLiteral("There is no printer yet. Add one with File > Add "
                                           "Printer first.")
                          : QStringLiteral("No printer is selected. Select one in the Printers "
                                           "list first."));
    return -1;
}

void PrinterCommands::onAddLocalJob()
{
    const int row = printerFor(QStringLiteral("Add Job"));
    if (row < 0)
        return;
    const QString path = m_chooseFile();
    if (path.isEmpty())
        return;
    const QString queue = m_core.printers().at(row).queue;
    // A FIFO would block the copy for good and a device such as /dev/zero would fill the
    // disk: only regular files (or links to them) are queued.
    const QString problem = localFileProblem(path);
    if (!problem.isEmpty()) {
        m_core.log().append(QStringLiteral("ERROR: Cannot open ") + path + QStringLiteral(" for ") +
                            queue + QLatin1Char('.'));
        m_reportError(QStringLiteral("Cannot add %1 as a job: %2.").arg(path, problem));
        return;
    }
    m_copies.append({m_core.spoolDir() + QLatin1Char('/') + queue, queue, path});
    startNextCopy();
}

// One copy at a time, on a thread of its own: a large file never stalls the connections
// served on this thread, and two copies never pick the same job number.
void PrinterCommands::startNextCopy()
{
    if (m_copyThread || m_copies.isEmpty())
        return;
    const LocalCopy copy = m_copies.takeFirst();
    auto result = std::make_shared<LocalJobResult>();
    auto reason = std::make_shared<QString>();
    m_copyThread = QThread::create([copy, result, reason] {
        // Checked again here: the file may have been replaced since it was picked.
        *reason = localFileProblem(copy.path);
        if (!reason->isEmpty()) {
            result->error = QStringLiteral("ERROR: Cannot open ") + copy.path +
                            QStringLiteral(" for ") + copy.queue + QLatin1Char('.');
            return;
        }
        *result = submitLocalJob(copy.queueDir, copy.queue, copy.path);
    });
    connect(m_copyThread, &QThread::finished, this, [this, result, reason, copy] {
        m_copyThread->deleteLater();
        m_copyThread = nullptr;
        if (result->ok) {
            m_core.addLocalJob(result->job);
            emit jobsChanged();
        } else {
            m_core.log().append(result->error);
            m_reportError(
                reason->isEmpty()
                    ? QStringLiteral("Cannot add %1 as a job. %2")
                          .arg(copy.path, QString(result->error).remove(QStringLiteral("ERROR: ")))
                    : QStringLiteral("Cannot add %1 as a job: %2.").arg(copy.path, *reason));
        }
        startNextCopy();
    });
    m_copyThread->start();
}
