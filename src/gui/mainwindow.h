#pragma once
// The main window: shows the core's printers, jobs, connections, their count and the log,
// and turns menu commands into calls on the core. It owns no server state.

#include <QMainWindow>

class LpdServer;
class QAction;
class QDialog;
class QLabel;
class QListWidget;
class QSortFilterProxyModel;
class QTableView;
class JobTableModel;
class QMenu;
class QPlainTextEdit;
class AboutDialog;
class ExtendedLogDialog;
class FinishedJobsDialog;

class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(LpdServer& core, QWidget* parent = nullptr);
    ~MainWindow() override;

    LpdServer& core() const { return m_core; }

    QListWidget* printerList() const { return m_printerList; } // printers
    // The Jobs table (sortable, several rows selectable) over the model of the waiting jobs.
    QTableView* jobTable() const { return m_jobTable; }
    JobTableModel* jobModel() const { return m_jobModel; }
    // The model's rows of the jobs selected in the table, in the table's order.
    QList<int> selectedJobRows() const;
    QListWidget* connectionList() const { return m_connectionList; } // connections
    QLabel* sessionCountLabel() const { return m_sessionCount; }     // "Sessions: N"
    QPlainTextEdit* logView() const { return m_logView; }            // log view, lines timed

    QMenu* fileMenu() const { return m_fileMenu; }
    QMenu* jobMenu() const { return m_jobMenu; }
    QMenu* helpMenu() const { return m_helpMenu; }
    // File: Setup, Add Printer, Edit Printer, Remove Printer (their handlers are the printer
    // commands, attached by the shell), Quit.
    QAction* setupAction() const { return m_setupAction; }
    QAction* addPrinterAction() const { return m_addPrinterAction; }
    QAction* editPrinterAction() const { return m_editPrinterAction; }
    QAction* removePrinterAction() const { return m_removePrinterAction; }
    QAction* quitAction() const { return m_quitAction; }
    // Job: Dequeue (handled here), Add... (attached from outside).
    QAction* dequeueAction() const { return m_dequeueAction; }
    QAction* addJobAction() const { return m_addJobAction; }
    // Job > Finished Jobs...: the accounting file's last lines, in a window of their own
    // (made at its first use).
    QAction* finishedJobsAction() const { return m_finishedJobsAction; }
    FinishedJobsDialog* finishedJobsDialog() const { return m_finishedJobsDialog; }
    // Help: Contents, Extended Log, About.
    QAction* helpContentsAction() const { return m_helpContentsAction; }
    QAction* aboutAction() const { return m_aboutAction; }
    QAction* extendedLogAction() const { return m_extendedLogAction; }

    // The dialogs made once at start-up (createDialogs) and reused.
    AboutDialog* aboutDialog() const { return m_aboutDialog; }
    ExtendedLogDialog* extendedLogDialog() const { return m_extendedLogDialog; }
    void createDialogs();

    bool protectMode() const { return m_protect; }
    void setProtectMode(bool on);

    // Shown in the about box: how the program runs ("Running in this desktop session").
    QString serviceStatus() const { return m_serviceStatus; }
    void setServiceStatus(const QString& text) { m_serviceStatus = text; }

    // A printer definition as the Printers list shows it: "office: /bin/lp -d x %p/%d
    // (printing disabled)", "raw: raw to smb://server/printer".
    static QString readablePrinter(const QString& definition);
    // Refills the Printers list from the core's settings, keeping the selected row where
    // possible; each item's Qt::UserRole is its definition line.
    void refreshPrinters();
    // Refills the Printers list with `row` selected, or nothing selected when it is -1.
    void showPrinters(int row);
    // The selected row of the Printers list, or -1.
    int selectedPrinterRow() const;
    // Brings the Jobs table up to the core's list now (it follows by itself, in bursts).
    void refreshJobs();
    void refreshConnections();

    // The tray click and "lpdshow": the window comes up, in front.
    void showAndRaise();
    // With a tray, minimising puts the window away (the icon brings it back); without one it
    // minimises to the taskbar like any window.
    bool trayAvailable() const { return m_trayAvailable; }
    void setTrayAvailable(bool available) { m_trayAvailable = available; }
    // The close query: in protect mode every close is refused. On X11 a title-bar close,
    // Alt+F4 and a pager's close cannot be told apart, and window managers that ignore a
    // missing close button (openbox) send them anyway; the program's own ends ("lpddown", the
    // end of the session, File > Quit) leave the event loop without closing the window.
    bool closeAllowed() const { return !m_protect; }
    // What a close asks: whether the server stops (the program ends), keeps running with the
    // window put away, or nothing happens.
    enum class CloseChoice
    {
        StopServer,
        KeepRunning,
        Cancel
    };
    // Quit asks without the Keep Running choice; Enter never stops the server.
    CloseChoice askBeforeClosing(bool offerKeepRunning = true);
    // File > Quit and the tray's Quit: locked in protect mode like the close button (the
    // server then ends only by "lpddown" or a signal); otherwise asks, and emits
    // quitRequested when the user chose to stop.
    void requestQuit();
    // The text of the program's taskbar entry: "Spoolmere" while the window is shown, empty
    // while it is hidden or minimised.
    QString applicationTitle() const;
    // The help context of a control: its own, else its nearest parent's, else 1.
    static int helpContextOf(const QWidget* widget);

signals:
    // Double click or Enter on the Printers list (not emitted in protect mode).
    void printerActivated(int row);
    // The window was closed and the user chose to stop the server: the program ends.
    void closed();
    // File > Quit or the tray's Quit, confirmed.
    void quitRequested();
    void protectModeChanged(bool on);

public slots:
    void onDequeue();
    void onHelpContents(); // Help > Contents
    void onAbout();        // Help > About Spoolmere
    void onExtendedLog();  // Help > Extended Log
    void onFinishedJobs(); // Job > Finished Jobs
    void appendLog(const QString& line);
    void showContextHelp();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QListWidget* m_printerList = nullptr;
    QTableView* m_jobTable = nullptr;
    JobTableModel* m_jobModel = nullptr;
    QSortFilterProxyModel* m_jobProxy = nullptr;
    QListWidget* m_connectionList = nullptr;
    QLabel* m_sessionCount = nullptr;
    QLabel* m_printersLabel = nullptr;
    QLabel* m_logLabel = nullptr;
    QLabel* m_jobsLabel = nullptr;
    QLabel* m_connectionsLabel = nullptr;
    QPlainTextEdit* m_logView = nullptr;
    QMenu* m_fileMenu = nullptr;
    QMenu* m_jobMenu = nullptr;
    QMenu* m_helpMenu = nullptr;
    QAction* m_setupAction = nullptr;
    QAction* m_addPrinterAction = nullptr;
    QAction* m_editPrinterAction = nullptr;
    QAction* m_removePrinterAction = nullptr;
    QAction* m_quitAction = nullptr;
    QAction* m_dequeueAction = nullptr;
    QAction* m_addJobAction = nullptr;
    QAction* m_finishedJobsAction = nullptr;
    FinishedJobsDialog* m_finishedJobsDialog = nullptr;
    QAction* m_helpContentsAction = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_extendedLogAction = nullptr;
    AboutDialog* m_aboutDialog = nullptr;
    ExtendedLogDialog* m_extendedLogDialog = nullptr;

    void buildControls();
    void buildMenus();
    void activatePrinter(int row);
    void showSessionCount(int count);
    void fitJobRowsToFont();
    void updateJobActions();

    LpdServer& m_core;
    bool m_protect = false;
    bool m_trayAvailable = false;
    QString m_serviceStatus = QStringLiteral("unknown OS");
};
