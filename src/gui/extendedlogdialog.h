#pragma once
// Help > Extended Log: the optional log categories, and saving the log view to a file.
// The dialog only edits its boxes; the main window copies the flags in before it opens and
// back (and writes lpd.ini) only when it closes with OK.

#include <QDialog>
#include <QString>

class LogSink;
class QCheckBox;
class QFileDialog;
class QPlainTextEdit;
class QPushButton;

class ExtendedLogDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExtendedLogDialog)

public:
    explicit ExtendedLogDialog(QWidget* parent = nullptr);

    QCheckBox* standardBox() const { return m_standardBox; }         // Standard Messages, always on
    QCheckBox* connectingBox() const { return m_connectingBox; }     // Connecting
    QCheckBox* receivedDataBox() const { return m_receivedDataBox; } // Received Data
    QCheckBox* printingBox() const { return m_printingBox; }         // Printing
    QPushButton* okButton() const { return m_okButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QPushButton* saveLogButton() const { return m_saveLogButton; } // Save Log
    QFileDialog* saveDialog() const { return m_saveDialog; }

    // The view whose text Save Log writes.
    void setLogView(const QPlainTextEdit* view) { m_view = view; }

    void loadFlags(const LogSink& log);
    void storeFlags(LogSink& log) const;

    // Writes `lines`, each followed by CR LF, in the local 8-bit encoding, replacing the
    // file. False with the reason shown to the user.
    static bool writeLogFile(const QString& path, const QStringList& lines,
                             QString* error = nullptr);
    // The lines of a log view, oldest first, each with the time the view shows.
    static QStringList viewLines(const QPlainTextEdit* view);
    // Save Log once the file is chosen: a failure is shown in a message box.
    bool saveLogTo(const QString& path);

public slots:
    void onSaveLogClicked();

private:
    QCheckBox* m_standardBox = nullptr;
    QCheckBox* m_connectingBox = nullptr;
    QCheckBox* m_receivedDataBox = nullptr;
    QCheckBox* m_printingBox = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_saveLogButton = nullptr;
    QFileDialog* m_saveDialog = nullptr;

    const QPlainTextEdit* m_view = nullptr;
};
