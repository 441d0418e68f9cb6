#pragma once

// Product identity and the automatic error report sent with every error box.

#include <QString>

inline constexpr const char* kProductVersion = "3.1.13";
inline constexpr int kProductVersionNumber = 13;
inline constexpr const char* kProductId = "3C9E17B0A4D25F68C1E0B7734D9A2F15";

// The translated display name followed by " v3.1.13".
QString prodInfoDisplay();
// The translated product display name.
QString prodDisplayName();
// Base64 of the UTF-8 bytes with "/" -> "!" and "=" -> "-".
QString base64_var(const QString& text);
// "host[:port]" of the product web server (VEXLAR_WEB_HOST, else a .invalid name).
QString webHost();
// Fire-and-forget POST of the error report; never shown to the user.
void report_err(const QString& message);

// The report's message rewrite: "<br>", "<br/>", "< BR />"... become CR LF
// (any case), then every "<" and ">" is written as "&lt;" and "&gt;".
QString errReportRewrite(const QString& message);
// The report's form body: "prod=...&ver=...&err=..." in UTF-8.
QByteArray errReportBody(const QString& message);
// The support address named in every error box.
inline constexpr const char* kSupportEmail = "support@spacevexlar.invalid";
// The text of the error box for an error message: product header and frame.
QString errBoxText(const QString& message);
