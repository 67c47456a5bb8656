// The program's title, the maker's addresses and the links built from them, and the program icon.
#pragma once

#include <QIcon>
#include <QString>

inline constexpr char kApplicationTitle[] = "Quorvane Pictolith";
inline constexpr char kApplicationVersion[] = "2.15";

// The maker's web site (no trailing "/") and support mail address. The .example names are
// reserved, so no link can reach a stranger's host before the real ones are filled in.
inline constexpr char kWebSite[] = "https://www.quorvane.example";
inline constexpr char kSupportMail[] = "support@quorvane.example";

// The online help page.
QString HelpPageUrl();
// The page the main window's "Quorvane Website" opens.
QString WebSiteMenuUrl();
// The site's root page, opened from the About box.
QString WebSiteRootUrl();
// "mailto:" + address + "?subject=" + title, the title as it is.
QString SupportMailUrl();

// The program icon, from the resources compiled into the app library.
QIcon ApplicationIcon();
