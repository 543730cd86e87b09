#pragma once
// The commands that change the configuration from the main window: File > Setup, Add
// Printer, Edit Printer (also a double click or Enter on the printer list), Remove
// Printer, and Job > Add... for a local file. Each takes its result over into the running
// core at once and saves lpd.ini; nothing needs a restart. With the "protect" option the
// four File commands do nothing.

#include "config/ui/setupdialog.h"

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class MainWindow;

class PrinterCommands final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PrinterCommands)

public:
    // Attaches itself to the window's actions and its printerActivated signal.
    explicit PrinterCommands(MainWindow& window, QObject* parent = nullptr);
    ~PrinterCommands() override;

    SetupDialog& dialog() const { return *m_dialog; }
    QPointer<QFileDialog> openDialog() const { return m_openDialog; }

    // The file for Job > Add..., or an empty string when the user cancelled: the open
    // dialog unless replaced.
    void setFileChooser(std::function<QString()> chooser) { m_chooseFile = std::move(chooser); }
    // The program's error report for a listener that cannot open and an lpd.ini that cannot
    // be written: a message box titled "Error" unless replaced.
    void setErrorReporter(std::function<void(const QString& text)> reporter)
    {
        m_reportError = std::move(reporter);
    }

    void onSetup();
    void onAddPrinter();
    void onEditPrinter(); // also a double click or Enter in the printer list
    void onRemovePrinter();
    void onAddLocalJob();

private:
    QPointer<QFileDialog> m_openDialog;
    std::function<QString()> m_chooseFile;
    std::function<void(const QString& text)> m_reportError;

    int selectedPrinter() const;
    bool showDialog();
    void save();
    QString portText() const;

    MainWindow& m_form;
    QPointer<SetupDialog> m_dialog;
};
