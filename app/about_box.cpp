// The About box.
#include "app/about_box.h"

#include "app/app_texts.h"
#include "app/link_label.h"
#include "app/user_dialogs.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

TForm3::TForm3(const TUserDialogs& dialogs, QWidget* parent) : QDialog(parent), dialogs_(dialogs) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("About"));
    setWindowIcon(ApplicationIcon());
    resize(349, 238);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("TntPanel1"));
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setFrameShadow(QFrame::Sunken);

    auto* icon = new QLabel(panel);
    icon->setObjectName(QStringLiteral("Image1"));
    icon->setPixmap(ApplicationIcon().pixmap(32, 32));
    icon->setFixedSize(32, 32);

    Label1 = new QLabel(QString::fromLatin1(kApplicationTitle), panel);
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label2 = new QLabel(QStringLiteral("Version: ") + QString::fromLatin1(kApplicationVersion), panel);
    Label2->setObjectName(QStringLiteral("Label2"));
    auto* maker = new QLabel(QStringLiteral("Product of Quorvane Ltd."), panel);
    TntLabel4 = new TLinkLabel(QString::fromLatin1(kSupportMail), panel);
    TntLabel4->setObjectName(QStringLiteral("TntLabel4"));
    TntLabel5 = new TLinkLabel(QString::fromLatin1(kWebSite), panel);
    TntLabel5->setObjectName(QStringLiteral("TntLabel5"));

    auto* grid = new QGridLayout(panel);
    grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(Label1, 0, 1, 1, 2);
    grid->addWidget(Label2, 1, 1, 1, 2);
    grid->addWidget(maker, 2, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Email:"), panel), 3, 1);
    grid->addWidget(TntLabel4, 3, 2);
    grid->addWidget(new QLabel(QStringLiteral("WebSite:"), panel), 4, 1);
    grid->addWidget(TntLabel5, 4, 2);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(5, 1);

    TntButton1 = new QPushButton(QStringLiteral("Close"), this);
    TntButton1->setObjectName(QStringLiteral("TntButton1"));
    TntButton1->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(TntButton1);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel, 1);
    layout->addLayout(buttons);

    connect(TntLabel4, &TLinkLabel::clicked, this, &TForm3::TntLabel4Click);
    connect(TntLabel5, &TLinkLabel::clicked, this, &TForm3::TntLabel5Click);
    connect(TntButton1, &QPushButton::clicked, this, &TForm3::TntButton1Click);
}

void TForm3::TntLabel4Click() { dialogs_.OpenUrl(QUrl(SupportMailUrl())); }

void TForm3::TntLabel5Click() { dialogs_.OpenUrl(QUrl(WebSiteRootUrl())); }

void TForm3::TntButton1Click() { accept(); }
