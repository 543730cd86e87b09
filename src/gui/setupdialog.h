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
class NumericEdit;

class SetupDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SetupDialog)

public:
    explicit SetupDialog(QWidget* parent = nullptr);
    ~SetupDialog() override;

    // In printer mode: on entry the definition to edit (empty for a new printer); after a
    // confirmed showing, the new definition.
    QString definition() const { return m_definition; }
    void setDefinition(const QString& definition) { m_definition = definition; }
    // Whether the current (or last) showing ended through OK.
    bool acceptedFlag() const { return m_accepted; }

    // Where relative spool folders are taken from (the folder of lpd.ini).
    QString baseDir() const { return m_baseDir; }
    void setBaseDir(const QString& dir) { m_baseDir = dir; }

    // Sources of the Printer tab's lists, read on each showing: the CUPS printers and the
    // local device nodes unless replaced.
    using ListSource = std::function<QStringList()>;
    void setAvailablePrinters(ListSource source) { m_availablePrinters = std::move(source); }
    void setLocalPrinters(ListSource source) { m_localPrinters = std::move(source); }
    void setLocalPorts(ListSource source) { m_localPorts = std::move(source); }
    // How a check's message reaches the user: a message box unless replaced.
    using MessageHandler =
        std::function<void(QMessageBox::Icon icon, const QString& caption, const QString& text)>;
    void setMessageHandler(MessageHandler handler) { m_showMessage = std::move(handler); }

    void showSetupMode();   // "General" visible and active, "Printer" hidden
    void showPrinterMode(); // "Printer" visible and active, "General" hidden
    bool printerMode() const;
    // The entry of the target list the user picked, or -1 when the target was typed.
    int selectedTarget() const;
    // The printer chosen under "Available Printers" (what "Setup..." opens).
    QString currentPrinter() const { return m_currentPrinter; }

    QTabWidget* tabs() const { return m_tabs; }
    QWidget* generalTab() const { return m_generalTab; }       // General
    QWidget* printerTab() const { return m_printerTab; }       // Printer
    QLineEdit* spoolDirEdit() const { return m_spoolDirEdit; } // spool directory
    QLineEdit* hostEdit() const { return m_hostEdit; }         // host to add
    QListWidget* hostList() const { return m_hostList; }
    QPushButton* addHostButton() const { return m_addHostButton; }           // Add
    QPushButton* removeHostButton() const { return m_removeHostButton; }     // Remove
    NumericEdit* portEdit() const { return m_portEdit; }                     // port
    NumericEdit* timeoutEdit() const { return m_timeoutEdit; }               // timeout
    NumericEdit* maxConnEdit() const { return m_maxConnEdit; }               // max. connections
    QGroupBox* printerGroup() const { return m_printerGroup; }               // LPD Printer Setup
    QGroupBox* installedGroup() const { return m_installedGroup; }           // CUPS Printers
    QLineEdit* queueEdit() const { return m_queueEdit; }                     // queue name
    QCheckBox* printingDisabledBox() const { return m_printingDisabledBox; } // printing disabled
    QCheckBox* spoolingDisabledBox() const { return m_spoolingDisabledBox; } // spooling disabled
    QLabel* commandLabel() const { return m_commandLabel; }
    QLineEdit* commandEdit() const { return m_commandEdit; }       // print command
    QCheckBox* rawBox() const { return m_rawBox; }                 // print raw
    QComboBox* rawTargetCombo() const { return m_rawTargetCombo; } // raw target
    QComboBox* installedPrinterCombo() const
    {
        return m_installedPrinterCombo;
    }                                                                        // available printers
    QPushButton* printerSetupButton() const { return m_printerSetupButton; } // Set Up in Browser
    QPushButton* okButton() const { return m_okButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QPushButton* helpButton() const { return m_helpButton; }

    void prepareShowing();
    void onOkClicked();
    void onCancelClicked();
    void onRawToggled();
    void onInstalledPrinterChanged();
    void onPrinterSetupClicked();
    void onAddHostClicked();
    void onRemoveHostClicked();
    void onHostEdited();
    void onHostSelected();
    void onHelpClicked();

signals:
    // Help for a named topic ("IDH_410", "IDH_510") or a help context (F1): the owner knows
    // where help lives.
    void helpTopicRequested(const QString& topic);
    void contextHelpRequested(int context);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    ListSource m_availablePrinters;
    ListSource m_localPrinters;
    ListSource m_localPorts;
    MessageHandler m_showMessage;
    QString m_definition;
    QString m_baseDir;
    QString m_shownPort;
    QTabWidget* m_tabs = nullptr;
    QWidget* m_generalTab = nullptr;
    QWidget* m_printerTab = nullptr;
    QLineEdit* m_spoolDirEdit = nullptr;
    QLineEdit* m_hostEdit = nullptr;
    QListWidget* m_hostList = nullptr;
    QPushButton* m_addHostButton = nullptr;
    QPushButton* m_removeHostButton = nullptr;
    NumericEdit* m_portEdit = nullptr;
    NumericEdit* m_timeoutEdit = nullptr;
    NumericEdit* m_maxConnEdit = nullptr;
    QGroupBox* m_printerGroup = nullptr;
    QGroupBox* m_installedGroup = nullptr;
    QLineEdit* m_queueEdit = nullptr;
    QCheckBox* m_printingDisabledBox = nullptr;
    QCheckBox* m_spoolingDisabledBox = nullptr;
    QLabel* m_commandLabel = nullptr;
    QLineEdit* m_commandEdit = nullptr;
    QCheckBox* m_rawBox = nullptr;
    QComboBox* m_rawTargetCombo = nullptr;
    QComboBox* m_installedPrinterCombo = nullptr;
    QPushButton* m_printerSetupButton = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_helpButton = nullptr;

    QWidget* buildGeneralTab();
    QWidget* buildPrinterTab();
    bool checkPrinterTab();
    void makeDefault(QPushButton* button);

    bool m_accepted = false;
    bool m_targetPicked = false;
    QString m_currentPrinter;
};
