#pragma once
// The commands that change the configuration: File > Setup, Add Printer, Edit Printer (also a
// double click or Enter on the printer list), Remove Printer, and Job > Add... for a local
// file. Each takes its result over into the running core at once and saves lpd.ini; nothing
// needs a restart. While locked (protect mode) the four File commands do nothing.
//
// The commands know the core and a parent for their dialogs, nothing of the window that
// shows the printers: the owner tells them which printer row is selected and reacts to
// printersChanged and jobsChanged.

#include "gui/setupdialog.h"

#include <QFileDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <functional>

class LpdServer;
class QWidget;

class PrinterCommands final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PrinterCommands)

public:
    // The dialogs are made as children of dialogParent (centred on it, closed with it).
    PrinterCommands(LpdServer& core, QWidget* dialogParent, QObject* parent = nullptr);
    ~PrinterCommands() override;

    SetupDialog& dialog() const { return *m_dialog; }
    QPointer<QFileDialog> openDialog() const { return m_openDialog; }

    // The row of the printer list the user selected, or -1: none unless set.
    void setSelectedRowSource(std::function<int()> source) { m_selectedRow = std::move(source); }
    bool isLocked() const { return m_locked; }
    void setLocked(bool on) { m_locked = on; }

    // The file for Job > Add..., or an empty string when the user cancelled: the open
    // dialog unless replaced.
    void setFileChooser(std::function<QString()> chooser) { m_chooseFile = std::move(chooser); }
    // The program's error report for a listener that cannot open and an lpd.ini that cannot
    // be written: a message box titled "Error" unless replaced.
    void setErrorReporter(std::function<void(const QString& text)> reporter)
    {
        m_reportError = std::move(reporter);
    }

    // Why a command did nothing (no printer selected): an information box unless replaced.
    void setNotice(std::function<void(const QString& caption, const QString& text)> notice)
    {
        m_notify = std::move(notice);
    }
    // Whether the user agrees (Remove Printer asks first): a question box unless replaced.
    void setConfirmation(std::function<bool(const QString& question, const QString& detail)> ask)
    {
        m_confirm = std::move(ask);
    }
    // Empty when the file can be queued; else why not (the system's reason, or what kind of
    // file it is when reading it would never end).
    static QString localFileProblem(const QString& path);

    void onSetup();
    void onAddPrinter();
    void onEditPrinter(); // also a double click or Enter in the printer list
    void onRemovePrinter();
    // Queues the chosen file: copied into the queue's folder on a worker thread, listed when
    // the copy is complete.
    void onAddLocalJob();

signals:
    // The printer definitions changed; the list shows them with `selectRow` selected (-1:
    // no selection).
    void printersChanged(int selectRow);
    // A local job was queued.
    void jobsChanged();

private:
    int selectedPrinter() const;
    // The selected printer's row, or -1 after telling the user why `command` cannot run.
    int printerFor(const QString& command);
    bool showDialog();
    void save();
    QString portText() const;
    void startNextCopy();

    struct LocalCopy
    {
        QString queueDir;
        QString queue;
        QString path;
    };
    QList<LocalCopy> m_copies;
    QPointer<QThread> m_copyThread;

    LpdServer& m_core;
    QPointer<QWidget> m_dialogParent;
    QPointer<SetupDialog> m_dialog;
    QPointer<QFileDialog> m_openDialog;
    std::function<int()> m_selectedRow;
    std::function<QString()> m_chooseFile;
    std::function<void(const QString& text)> m_reportError;
    std::function<bool(const QString& question, const QString& detail)> m_confirm;
    std::function<void(const QString& caption, const QString& text)> m_notify;
    bool m_locked = false;
};
