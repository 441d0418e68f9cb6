#include "app/weblinks.h"

#include "app/errreport.h"

#include <QDesktopServices>
#include <QLoggingCategory>
#include <QRegularExpression>

Q_LOGGING_CATEGORY(lcWeb, "vexlar.web")

bool webServerConfigured() {
    const QUrl url = webPageUrl(QStringLiteral("/"));
    return url.isValid() && !url.host().endsWith(QLatin1String(".invalid")) && url.host() != QLatin1String("invalid");
}

QUrl webPageUrl(const QString& pathAndQuery) {
    // A host text holding "/", "?", "#" or "@" would move the request somewhere else.
    static const QRegularExpression notHostPort(QStringLiteral("[/?#@\\\\\\s]"));
    const QString host = webHost();
    if (host.contains(notHostPort)) {
        return {};
    }
    const QUrl url(QStringLiteral("http://") + host + pathAndQuery, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() ? url : QUrl();
}

QUrl manualUpdatePageUrl() {
    return webPageUrl(QStringLiteral("/sms_check_update.php?pid=%1&ver=%2&sys=macx")
                          .arg(QLatin1String(kProductId))
                          .arg(kProductVersionNumber));
}

bool isWebUrl(const QUrl& url) {
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty() && url.userInfo().isEmpty();
}

bool openWebUrl(const QUrl& url) {
    if (!isWebUrl(url)) {
        qCWarning(lcWeb).noquote() << "not opened, not a web address:" << url.toString();
        return false;
    }
    qCInfo(lcWeb).noquote() << "opening" << url.toString();
    QDesktopServices::openUrl(url);
    return true;
}
