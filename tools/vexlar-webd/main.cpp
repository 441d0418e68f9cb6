// vexlar-webd: the product web server the program talks to.

#include "tools/vexlar-webd/webserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QUrl>
#include <cstdio>

namespace {
[[noreturn]] void fail(const QString& message) {
    std::fprintf(stderr, "vexlar-webd: %s\n", qPrintable(message));
    std::exit(2);
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexlar-webd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Product web server for Space Vexlar: stores error reports (POST /err_report.php), answers the update\n"
        "check (GET /sms_check_update.php) and the announcement (GET /adv.php), and serves help, support and\n"
        "download pages (help.html, support.html, download.html...) from a folder. One log line per request\n"
        "goes to standard output. Point the program at it with VEXLAR_WEB_HOST=host:port."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address and port to listen on (port 0: any free port; the chosen "
                                                   "one is printed)."),
                                    QStringLiteral("addr:port"), QStringLiteral("127.0.0.1:8080"));
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Folder for error reports, one file each."),
                                  QStringLiteral("dir"), QStringLiteral("reports"));
    const QCommandLineOption latest(QStringLiteral("latest"),
                                    QStringLiteral("Latest version number; without it the update check answers 404."),
                                    QStringLiteral("n"));
    const QCommandLineOption downloadUrl(QStringLiteral("download-url"),
                                         QStringLiteral("Address sent when a newer version exists; the program "
                                                        "accepts only http:// addresses."),
                                         QStringLiteral("url"));
    const QCommandLineOption announcement(QStringLiteral("announcement"),
                                          QStringLiteral("Status-bar announcement, one anchor such as "
                                                         "<a href=\"http://...\">text</a>; without it /adv.php "
                                                         "answers 404."),
                                          QStringLiteral("html"));
    const QCommandLineOption pages(QStringLiteral("pages"), QStringLiteral("Folder of static pages."),
                                   QStringLiteral("dir"));
    parser.addOptions({listen, data, latest, downloadUrl, announcement, pages});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    }

    WebConfig config;
    config.reportDir = parser.value(data);
    if (!QDir().mkpath(config.reportDir)) {
        fail(QStringLiteral("cannot create the report folder %1").arg(config.reportDir));
    }
    if (parser.isSet(latest)) {
        bool ok = false;
        config.latest = parser.value(latest).toInt(&ok);
        if (!ok || config.latest < 0) {
            fail(QStringLiteral("--latest needs a version number"));
        }
        config.downloadUrl = parser.value(downloadUrl);
        const QUrl url(config.downloadUrl, QUrl::StrictMode);
        if (config.downloadUrl.isEmpty()) {
            fail(QStringLiteral("--latest needs --download-url"));
        }
        if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()) {
            std::fprintf(stderr, "vexlar-webd: warning: the program opens only an http:// download address\n");
        }
    }
    config.announcement = parser.value(announcement);
    if (!config.announcement.isEmpty() && !config.announcement.startsWith(QLatin1String("<a"), Qt::CaseInsensitive)) {
        std::fprintf(stderr, "vexlar-webd: warning: the program shows only an announcement that is one <a> link\n");
    }
    config.pagesDir = parser.value(pages);
    if (!config.pagesDir.isEmpty() && !QDir(config.pagesDir).exists()) {
        fail(QStringLiteral("no pages folder %1").arg(config.pagesDir));
    }

    const QString where = parser.value(listen);
    const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    const uint port = where.mid(colon + 1).toUInt(&portOk);
    QString host = where.left(qMax<qsizetype>(colon, 0));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    const QHostAddress address(host);
    if (colon < 0 || !portOk || port > 65535 || address.isNull()) {
        fail(QStringLiteral("--listen needs addr:port with a numeric address, e.g. 127.0.0.1:8080"));
    }

    WebServer server(config);
    if (!server.listenOn(address, static_cast<quint16>(port))) {
        fail(QStringLiteral("cannot listen on %1").arg(where));
    }
    std::printf("vexlar-webd listening on %s:%u\n",
                qPrintable(address.protocol() == QAbstractSocket::IPv6Protocol ? '[' + host + ']' : host),
                server.port());
    std::fflush(stdout);
    return app.exec();
}
