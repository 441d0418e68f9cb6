#include "app/errreport.h"

#include "app/weblinks.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <mutex>

Q_LOGGING_CATEGORY(lcReport, "vexlar.report")

namespace {
constexpr const char* kDefaultWebHost = "www.spacevexlar.invalid";

// Reports go out from a thread of their own, so a report is sent even when the
// caller blocks or the main loop is about to end. Manager and thread live for
// the whole process; a post routine stops the thread before the application
// object goes away.
struct ReportSender {
    QThread thread;
    QNetworkAccessManager* manager = nullptr;
    std::atomic<bool> stopped{false};
};

ReportSender* sender() {
    static ReportSender* instance = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        instance = new ReportSender;
        instance->thread.setObjectName(QStringLiteral("err_report"));
        instance->manager = new QNetworkAccessManager;
        instance->manager->moveToThread(&instance->thread);
        QObject::connect(&instance->thread, &QThread::finished, instance->manager, &QObject::deleteLater);
        instance->thread.start();
        if (QCoreApplication::instance()) {
            qAddPostRoutine([] {
                instance->stopped = true;
                instance->thread.quit();
                instance->thread.wait(2000);
            });
        }
    });
    return instance;
}
} // namespace

QString prodDisplayName() {
    return QCoreApplication::translate("QObject", "Quorvindale iPod/iPhone/iPad Space Vexlar for Mac");
}

QString prodInfoDisplay() {
    return prodDisplayName() + QStringLiteral(" v%1").arg(QLatin1String(kProductVersion));
}

QString base64_var(const QString& text) {
    QString out = QString::fromLatin1(text.toUtf8().toBase64());
    out.replace(QLatin1Char('/'), QLatin1Char('!'));
    out.replace(QLatin1Char('='), QLatin1Char('-'));
    return out;
}

QString webHost() {
    const QString configured = qEnvironmentVariable("VEXLAR_WEB_HOST").trimmed();
    return configured.isEmpty() ? QString::fromLatin1(kDefaultWebHost) : configured;
}

QString errReportRewrite(const QString& message) {
    static const QRegularExpression lineBreak(QStringLiteral("< *br */?>"), QRegularExpression::CaseInsensitiveOption);
    QString text = message;
    text.replace(lineBreak, QStringLiteral("\r\n"));
    text.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    text.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return text;
}

QByteArray errReportBody(const QString& message) {
    const QString ver = QStringLiteral("%1(%2)").arg(QLatin1String(kProductVersion)).arg(kProductVersionNumber);
    const QString body = QStringLiteral("prod=") + base64_var(prodDisplayName()) + QStringLiteral("&ver=") +
                         base64_var(ver) + QStringLiteral("&err=") + base64_var(errReportRewrite(message));
    // A bare "+" in a form body means a blank to every form decoder.
    return body.toUtf8().replace('+', "%2B");
}

void report_err(const QString& message) {
    const QUrl url(QStringLiteral("http://") + webHost() + QStringLiteral("/err_report.php"), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.path() != QLatin1String("/err_report.php")) {
        qCWarning(lcReport) << "error report not sent: bad web host" << webHost();
        return;
    }
    if (!webServerConfigured()) {
        return; // the default .invalid host: nothing leaves the machine
    }
    const QByteArray body = errReportBody(message);
    ReportSender* s = sender();
    if (s->stopped) {
        return; // the application is gone, and the manager with it
    }
    QMetaObject::invokeMethod(s->manager, [manager = s->manager, url, body] {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply* reply = manager->post(request, body);
        // Nobody reads the answer; the reply only has to be freed.
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
}

QString errBoxText(const QString& message) {
    return QStringLiteral("<nobr><b>") + prodInfoDisplay() + QStringLiteral("</b></nobr><br/><br/>") +
           QStringLiteral("An Error Occurred. <br/><br/>%1<br/><br/> Or you can contact %2 for help.")
               .arg(message, QLatin1String(kSupportEmail));
}
