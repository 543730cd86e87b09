#pragma once
// Help > Info: product name, version and the service status found at start-up.

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class AboutDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutDialog)

public:
    // Sets the version text from the version the build was made with.
    explicit AboutDialog(QWidget* parent = nullptr);

    QFrame* panel() const { return m_panel; }
    QLabel* programIcon() const { return m_programIcon; }
    QLabel* productName() const { return m_productName; }
    QLabel* versionLabel() const { return m_version; }
    QLabel* serviceStatusLabel() const { return m_serviceStatus; } // the service status
    QPushButton* okButton() const { return m_okButton; }

    // "Version major.minor.release" from "a.b.c[.d]"; a part that is missing or not a 16-bit
    // number reads 0, and a fourth part is not shown.
    static QString versionText(const QString& version);

private:
    QFrame* m_panel = nullptr;
    QLabel* m_programIcon = nullptr;
    QLabel* m_productName = nullptr;
    QLabel* m_version = nullptr;
    QLabel* m_serviceStatus = nullptr;
    QPushButton* m_okButton = nullptr;
};
