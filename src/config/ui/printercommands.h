#pragma once
// The commands that change the configuration from the main window: File > Setup, Add
// Printer, Edit Printer (also a double click or Enter on the printer list), Remove
// Printer, and Job > Add... for a local file. Each takes its result over into the running
// core at once and saves lpd.ini; nothing needs a restart. With the "protect" option the
// four File commands do nothing.

#include "config/ui/tpagesdlg.h"

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class TForm1;

class PrinterCommands final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PrinterCommands)

public:
    // Attaches itself to the form's actions and its printerActivated signal.
    explicit PrinterCommands(TForm1& form, QObject* parent = nullptr);
    ~PrinterCommands() override;

    TPagesDlg& dialog() const { return *m_dialog; }
    QPointer<QFileDialog> OpenDialog1;

    // The file for Job > Add..., or an empty string when the user cancelled: OpenDialog1
    // unless replaced.
    std::function<QString()> chooseFile;
    // The program's error report for a listener that cannot open and an lpd.ini that cannot
    // be written: a message box titled "Error" unless replaced.
    std::function<void(const QString& text)> reportError;

    // Handlers under their classic names.
    void Setup1Click();
    void AddPrinter1Click();
    void EditPrinter1Click(); // also ListBox1DblClick and Enter in the list
    void RemovePrinter1Click();
    void Add1Click();

private:
    int selectedPrinter() const;
    bool showDialog();
    void save();
    QString portText() const;

    TForm1& m_form;
    QPointer<TPagesDlg> m_dialog;
};
