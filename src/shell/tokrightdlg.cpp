#include "shell/tokrightdlg.h"

#include "config/logsink.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTextBlock>
#include <QVBoxLayout>

TOKRightDlg::TOKRightDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Extended Log"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    auto* heading = new QLabel(QStringLiteral("Select Debug Messages:"), this);
    CheckBox1 = new QCheckBox(QStringLiteral("Standard Messages"), this);
    CheckBox1->setChecked(true);
    CheckBox1->setEnabled(false);
    CheckBox2 = new QCheckBox(QStringLiteral("Connecting"), this);
    CheckBox3 = new QCheckBox(QStringLiteral("Received Data"), this);
    CheckBox4 = new QCheckBox(QStringLiteral("Printing"), this);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    Button1 = new QPushButton(QStringLiteral("Save Log"), this);
    Button1->setAutoDefault(false);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(Button1, &QPushButton::clicked, this, &TOKRightDlg::Button1Click);

    SaveDialog1 = new QFileDialog(this, QStringLiteral("Save Logfile To"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    SaveDialog1->setDefaultSuffix(QStringLiteral("txt"));
    SaveDialog1->setNameFilters(
        {QStringLiteral("Textfile (*.txt)"), QStringLiteral("All files (*)")});
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);
    SaveDialog1->setSizeGripEnabled(true);

    auto* boxes = new QVBoxLayout;
    boxes->addWidget(heading);
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4})
        boxes->addWidget(box);
    boxes->addStretch();
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addSpacing(12);
    buttons->addWidget(Button1);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(boxes);
    layout->addSpacing(24);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TOKRightDlg::loadFlags(const LogSink& log)
{
    CheckBox1->setChecked(true);
    CheckBox2->setChecked(log.connecting);
    CheckBox3->setChecked(log.receivedData);
    CheckBox4->setChecked(log.printing);
}

void TOKRightDlg::storeFlags(LogSink& log) const
{
    log.connecting = CheckBox2->isChecked();
    log.receivedData = CheckBox3->isChecked();
    log.printing = CheckBox4->isChecked();
}

QStringList TOKRightDlg::viewLines(const QPlainTextEdit* view)
{
    QStringList lines;
    if (!view || view->document()->isEmpty())
        return lines;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines;
}

bool TOKRightDlg::writeLogFile(const QString& path, const QStringList& lines, QString* error)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toLocal8Bit() + "\r\n";
    // QSaveFile: a failure half way leaves the old file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot create file %1").arg(path);
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

bool TOKRightDlg::saveLogTo(const QString& path)
{
    QString error;
    if (writeLogFile(path, viewLines(m_view), &error))
        return true;
    QMessageBox::critical(this, windowTitle(), error);
    return false;
}

void TOKRightDlg::Button1Click()
{
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
        return;
    const QString path = SaveDialog1->selectedFiles().first();
    // Offered again next time.
    SaveDialog1->selectFile(path);
    saveLogTo(path);
}
