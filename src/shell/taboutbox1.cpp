#include "shell/taboutbox1.h"

#include "shell/appicon.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

TAboutBox1::TAboutBox1(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Info"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    Panel1 = new QFrame(this);
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setFrameShadow(QFrame::Sunken);
    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setPixmap(AppIcon::pixmap(64));
    ProgramIcon->setFixedSize(64, 64);
    ProductName = new QLabel(QStringLiteral("Spoolmere"), Panel1);
    ProductName->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont big = ProductName->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.3);
    ProductName->setFont(big);
    Version = new QLabel(versionText(QStringLiteral(SPOOLMERE_VERSION)), Panel1);
    Version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Version->setFixedWidth(160);
    Label1 = new QLabel(QStringLiteral("unknown OS"), Panel1);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->addWidget(ProductName);
    texts->addWidget(Version, 0, Qt::AlignRight);
    texts->addWidget(Label1);
    texts->addStretch();
    auto* panelLayout = new QHBoxLayout(Panel1);
    panelLayout->addWidget(ProgramIcon, 0, Qt::AlignTop);
    panelLayout->addSpacing(16);
    panelLayout->addLayout(texts);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Panel1);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString TAboutBox1::versionText(const QString& version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    QStringList shown;
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const uint n = i < parts.size() ? parts[i].toUInt(&ok) : 0;
        shown << QString::number(ok && n <= 0xFFFF ? n : 0);
    }
    return QStringLiteral("Version ") + shown.join(QLatin1Char('.'));
}
