#include "gui/extendedlogdialog.h"

#include "config/logsink.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextBlock>
#include <QVBoxLayout>

ExtendedLogDialog::ExtendedLogDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Extended Log"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    auto* heading = new QLabel(QStringLiteral("Messages in the log:"), this);
    m_standardBox = new QCheckBox(QStringLiteral("Standard messages"), this);
    m_standardBox->setChecked(true);
    m_standardBox->setEnabled(false);
    m_connectingBox = new QCheckBox(QStringLiteral("&Connecting"), this);
    m_receivedDataBox = new QCheckBox(QStringLiteral("&Received data"), this);
    m_printingBox = new QCheckBox(QStringLiteral("&Printing"), this);

    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setDefault(true);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    m_saveLogButton = new QPushButton(QStringLiteral("&Save Log..."), this);
    m_saveLogButton->setAutoDefault(false);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_saveLogButton, &QPushButton::clicked, this, &ExtendedLogDialog::onSaveLogClicked);

    m_saveDialog = new QFileDialog(this, QStringLiteral("Save Log"));
    m_saveDialog->setAcceptMode(QFileDialog::AcceptSave);
    m_saveDialog->setFileMode(QFileDialog::AnyFile);
    m_saveDialog->setDefaultSuffix(QStringLiteral("txt"));
    m_saveDialog->setNameFilters(
        {QStringLiteral("Text files (*.txt)"), QStringLiteral("All files (*)")});
    // The user's documents the first time (not the program's working folder); then where the
    // last log went.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    m_saveDialog->setDirectory(QFileInfo(documents).isDir() ? documents : QDir::homePath());
    m_saveDialog->setOption(QFileDialog::DontConfirmOverwrite, false);
    m_saveDialog->setSizeGripEnabled(true);

    auto* boxes = new QVBoxLayout;
    boxes->addWidget(heading);
    for (QCheckBox* box : {m_standardBox, m_connectingBox, m_receivedDataBox, m_printingBox})
        boxes->addWidget(box);
    boxes->addStretch();
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    buttons->addSpacing(12);
    buttons->addWidget(m_saveLogButton);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(boxes);
    layout->addSpacing(24);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ExtendedLogDialog::loadFlags(const LogSink& log)
{
    m_standardBox->setChecked(true);
    m_connectingBox->setChecked(log.connectingEnabled());
    m_receivedDataBox->setChecked(log.receivedDataEnabled());
    m_printingBox->setChecked(log.printingEnabled());
}

void ExtendedLogDialog::storeFlags(LogSink& log) const
{
    log.setConnectingEnabled(m_connectingBox->isChecked());
    log.setReceivedDataEnabled(m_receivedDataBox->isChecked());
    log.setPrintingEnabled(m_printingBox->isChecked());
}

QStringList ExtendedLogDialog::viewLines(const QPlainTextEdit* view)
{
    QStringList lines;
    if (!view || view->document()->isEmpty())
        return lines;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines;
}

bool ExtendedLogDialog::writeLogFile(const QString& path, const QStringList& lines, QString* error)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toLocal8Bit() + "\r\n";
    // QSaveFile: a failure half way leaves the old file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot create file %1").arg(path) + QStringLiteral(": ") +
                     file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

bool ExtendedLogDialog::saveLogTo(const QString& path)
{
    QString error;
    if (writeLogFile(path, viewLines(m_view), &error))
        return true;
    QMessageBox::critical(this, QStringLiteral("Error"), error);
    return false;
}

void ExtendedLogDialog::onSaveLogClicked()
{
    if (m_saveDialog->exec() != QDialog::Accepted || m_saveDialog->selectedFiles().isEmpty())
        return;
    const QString path = m_saveDialog->selectedFiles().first();
    // Offered again next time.
    m_saveDialog->selectFile(path);
    saveLogTo(path);
}
