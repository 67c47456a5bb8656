// Links and the program icon.
#include "app/app_texts.h"

QString HelpPageUrl() { return QString::fromLatin1(kWebSite) + QStringLiteral("/Pictolith/Pictolith.htm"); }

QString WebSiteMenuUrl() { return QString::fromLatin1(kWebSite) + QStringLiteral("/index.htm?Thu"); }

QString WebSiteRootUrl() { return QString::fromLatin1(kWebSite) + QStringLiteral("/"); }

QString SupportMailUrl() {
    return QStringLiteral("mailto:") + QString::fromLatin1(kSupportMail) + QStringLiteral("?subject=") +
           QString::fromLatin1(kApplicationTitle);
}

QIcon ApplicationIcon() { return QIcon(QStringLiteral(":/pictolith/pictolith.svg")); }
