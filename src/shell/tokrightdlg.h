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

class TOKRightDlg final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TOKRightDlg)

public:
    explicit TOKRightDlg(QWidget* parent = nullptr);

    QCheckBox* CheckBox1 = nullptr; // Standard Messages, always on
    QCheckBox* CheckBox2 = nullptr; // Connecting
    QCheckBox* CheckBox3 = nullptr; // Received Data
    QCheckBox* CheckBox4 = nullptr; // Printing
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* Button1 = nullptr; // Save Log
    QFileDialog* SaveDialog1 = nullptr;

    // The view whose text Save Log writes.
    void setLogView(const QPlainTextEdit* view) { m_view = view; }

    void loadFlags(const LogSink& log);
    void storeFlags(LogSink& log) const;

    // Writes `lines`, each followed by CR LF, in the local 8-bit encoding, replacing the
    // file. False with the reason shown to the user.
    static bool writeLogFile(const QString& path, const QStringList& lines,
                             QString* error = nullptr);
    // The lines of a log view, oldest first.
    static QStringList viewLines(const QPlainTextEdit* view);
    // Save Log once the file is chosen: a failure is shown in a message box.
    bool saveLogTo(const QString& path);

public slots:
    void Button1Click();

private:
    const QPlainTextEdit* m_view = nullptr;
};
