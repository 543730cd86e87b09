#include "gui/aboutdialog.h"

#include "gui/appicon.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Spoolmere"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    m_panel = new QFrame(this);
    m_panel->setFrameShape(QFrame::StyledPanel);
    m_panel->setFrameShadow(QFrame::Sunken);
    m_programIcon = new QLabel(m_panel);
    m_programIcon->setPixmap(AppIcon::pixmap(64));
    m_programIcon->setFixedSize(64, 64);
    m_productName = new QLabel(QStringLiteral("Spoolmere"), m_panel);
    m_productName->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont big = m_productName->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.3);
    m_productName->setFont(big);
    m_version = new QLabel(versionText(QStringLiteral(SPOOLMERE_VERSION)), m_panel);
    m_version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_version->setFixedWidth(160);
    m_serviceStatus = new QLabel(QStringLiteral("unknown OS"), m_panel);
    m_serviceStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->addWidget(m_productName);
    texts->addWidget(m_version, 0, Qt::AlignRight);
    texts->addWidget(m_serviceStatus);
    texts->addStretch();
    auto* panelLayout = new QHBoxLayout(m_panel);
    panelLayout->addWidget(m_programIcon, 0, Qt::AlignTop);
    panelLayout->addSpacing(16);
    panelLayout->addLayout(texts);

    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setDefault(true);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_panel);
    layout->addWidget(m_okButton, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString AboutDialog::versionText(const QString& version)
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
