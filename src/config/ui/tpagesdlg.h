#pragma once
// The setup dialog, with one of its two tabs visible at a time: "General" (spool folder,
// allowed hosts, port, timeout, connection limit) or "Printer" (one printer definition).
// It only validates what the user typed and builds the definition text; the printer
// commands fill it, show it and take over its results. Created once and reused.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class TExtendEdit;

class TPagesDlg final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TPagesDlg)

public:
    explicit TPagesDlg(QWidget* parent = nullptr);
    ~TPagesDlg() override;

    // In printer mode: on entry the definition to edit (empty for a new printer); after a
    // confirmed showing, the new definition.
    QString definition;
    // Whether the current (or last) showing ended through OK.
    bool acceptedFlag() const { return m_accepted; }

    // Where relative spool folders are taken from (the folder of lpd.ini).
    QString baseDir;

    // Sources of the Printer tab's lists, read on each showing: the CUPS printers and the
    // local device nodes unless replaced.
    std::function<QStringList()> availablePrinters;
    std::function<QStringList()> localPrinters;
    std::function<QStringList()> localPorts;
    // How a check's message reaches the user: a message box unless replaced.
    std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>
        showMessage;

    void showSetupMode();   // "General" visible and active, "Printer" hidden
    void showPrinterMode(); // "Printer" visible and active, "General" hidden
    bool printerMode() const;
    // The entry of the target list the user picked, or -1 when the target was typed.
    int selectedTarget() const;
    // The printer chosen under "Available Printers" (what "Setup..." opens).
    QString currentPrinter() const { return m_currentPrinter; }

    // Controls under their classic names.
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr; // General
    QWidget* TabSheet2 = nullptr; // Printer
    QLineEdit* Edit3 = nullptr;   // spool directory
    QLineEdit* Edit4 = nullptr;   // host to add
    QListWidget* ListBox1 = nullptr;
    QPushButton* Button1 = nullptr;     // Add
    QPushButton* Button2 = nullptr;     // Remove
    TExtendEdit* ExtendEdit1 = nullptr; // port
    TExtendEdit* ExtendEdit2 = nullptr; // timeout
    TExtendEdit* ExtendEdit3 = nullptr; // max. connections
    QGroupBox* GroupBox1 = nullptr;     // LPD Printer Setup
    QGroupBox* GroupBox2 = nullptr;     // Windows
    QLineEdit* Edit1 = nullptr;         // queue name
    QCheckBox* CheckBox1 = nullptr;     // printing disabled
    QCheckBox* CheckBox2 = nullptr;     // spooling disabled
    QLabel* Label5 = nullptr;
    QLineEdit* Edit2 = nullptr;     // print command
    QCheckBox* CheckBox3 = nullptr; // print raw
    QComboBox* ComboBox2 = nullptr; // raw target
    QComboBox* ComboBox1 = nullptr; // available printers
    QPushButton* Button3 = nullptr; // Setup...
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

    // Handlers under their classic names.
    void FormShow();
    void OKBtnClick();
    void CancelBtnClick();
    void CheckBox3Click();
    void ComboBox1Change();
    void Button3Click();
    void Button1Click();
    void Button2Click();
    void Edit4Change();
    void ListBox1Click();
    void HelpBtnClick();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* buildGeneralTab();
    QWidget* buildPrinterTab();
    bool checkPrinterTab();
    void makeDefault(QPushButton* button);

    bool m_accepted = false;
    bool m_targetPicked = false;
    QString m_currentPrinter;
};
