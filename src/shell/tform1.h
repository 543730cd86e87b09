#pragma once
// The main window: shows the core's printers, jobs, connections, their count and the log,
// and turns menu commands into calls on the core. It owns no server state.

#include <QMainWindow>

class LpdServer;
class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class TAboutBox1;
class TOKRightDlg;

class TForm1 final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TForm1)

public:
    explicit TForm1(LpdServer& core, QWidget* parent = nullptr);
    ~TForm1() override;

    LpdServer& core() const { return m_core; }

    // Controls under their classic names.
    QListWidget* ListBox1 = nullptr; // printers
    QListWidget* ListBox2 = nullptr; // jobs, several selectable
    QListWidget* ListBox3 = nullptr; // connections
    QLabel* Label1 = nullptr;        // number of sessions
    QPlainTextEdit* Memo1 = nullptr; // log view

    QMenu* File1 = nullptr;
    QMenu* Job1 = nullptr;
    QMenu* Help1 = nullptr;
    // File: Setup, Add Printer, Edit Printer, Remove Printer (their handlers live with the
    // setup dialog's commands and are attached from outside).
    QAction* Setup1 = nullptr;
    QAction* AddPrinter1 = nullptr;
    QAction* EditPrinter1 = nullptr;
    QAction* RemovePrinter1 = nullptr;
    // Job: Dequeue (handled here), Add... (attached from outside).
    QAction* Dequeue1 = nullptr;
    QAction* Add1 = nullptr;
    // Help: Contents, Info, Extended Log.
    QAction* Info1 = nullptr;
    QAction* Info2 = nullptr;
    QAction* ExtendedLog1 = nullptr;

    // The dialogs made once at start-up (createDialogs) and reused.
    TAboutBox1* AboutBox1 = nullptr;
    TOKRightDlg* OKRightDlg = nullptr;
    void createDialogs();

    bool protectMode() const { return m_protect; }
    void setProtectMode(bool on);

    // Shown in the about box: how the program registered as a service ("No Win9X" here).
    QString serviceStatus() const { return m_serviceStatus; }
    void setServiceStatus(const QString& text) { m_serviceStatus = text; }

    // Refills the Printers list from the core's settings, keeping the selected row where
    // possible.
    void refreshPrinters();
    void refreshJobs();
    void refreshConnections();

    // The tray click and "lpdshow": the window comes up, in front.
    void showAndRaise();
    // The close query: refused only in protect mode while the window is active and Alt is
    // held (so Alt+F4 cannot close it).
    bool closeAllowed(bool active, Qt::KeyboardModifiers modifiers) const;
    // The help context of a control: its own, else its nearest parent's, else 1.
    static int helpContextOf(const QWidget* widget);

signals:
    // Double click or Enter on the Printers list (not emitted in protect mode).
    void printerActivated(int row);
    // The window was closed and the close was allowed: the program ends.
    void closed();

public slots:
    void Dequeue1Click();
    void Info1Click();        // Help > Contents
    void Info2Click();        // Help > Info
    void ExtendedLog1Click(); // Help > Extended Log
    void appendLog(const QString& line);
    void showContextHelp();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void setCloseButtonEnabled(bool enabled);
    void updateApplicationTitle();

    LpdServer& m_core;
    bool m_protect = false;
    QString m_serviceStatus = QStringLiteral("unknown OS");
};
