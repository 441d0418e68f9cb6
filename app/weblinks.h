#pragma once

// Addresses on the product web server and the one way the program hands a
// web address to the browser.
//
// The server is VEXLAR_WEB_HOST ("host" or "host:port", see webHost()). Its
// default lies under the reserved .invalid domain: such a host counts as not
// configured, and nothing is sent to it.

#include <QString>
#include <QUrl>

// Pages the Help menu opens, and the page the manual update check opens.
inline constexpr const char* kHelpPagePath = "/help.html";
inline constexpr const char* kSupportPagePath = "/support.html";
inline constexpr const char* kEncryptHelpPagePath = "/encrypt_backup_help.html";

// False for an unusable host and for one under .invalid.
bool webServerConfigured();
// "http://<host[:port]><pathAndQuery>"; an invalid URL when the host is unusable.
QUrl webPageUrl(const QString& pathAndQuery);
// "/sms_check_update.php?pid=...&ver=13&sys=macx" on the product web server.
QUrl manualUpdatePageUrl();
// An http or https URL with a host and no user name: the only kind the program opens.
bool isWebUrl(const QUrl& url);
// Opens the URL with the desktop when isWebUrl(url); returns whether it was handed over.
bool openWebUrl(const QUrl& url);
