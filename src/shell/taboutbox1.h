#pragma once
// Help > Info: product name, version and the service status found at start-up.

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class TAboutBox1 final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TAboutBox1)

public:
    // Sets the version text from the version the build was made with.
    explicit TAboutBox1(QWidget* parent = nullptr);

    QFrame* Panel1 = nullptr;
    QLabel* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* Version = nullptr;
    QLabel* Label1 = nullptr; // the service status
    QPushButton* OKButton = nullptr;

    // "Version major.minor.release" from "a.b.c[.d]"; a part that is missing or not a 16-bit
    // number reads 0, and a fourth part is not shown.
    static QString versionText(const QString& version);
};
