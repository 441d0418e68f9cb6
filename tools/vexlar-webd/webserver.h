#pragma once

// The product web server: error reports, update check, announcement and a
// folder of static pages. One log line per request goes to standard output.

#include <QAbstractHttpServer>
#include <QDir>
#include <QHttpServerResponder>
#include <QString>

struct WebConfig {
    QString reportDir;    // where each error report becomes one file
    int latest = -1;      // latest version number; -1: update check not offered
    QString downloadUrl;  // answer of the update check when a newer version exists
    QString announcement; // the /adv.php answer; empty: none
    QString pagesDir;     // static pages; empty: none
};

class WebServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    static constexpr qint64 kMaxBody = 1024 * 1024;

    explicit WebServer(const WebConfig& config, QObject* parent = nullptr);
    // Listens with the request-size guard in front of the HTTP parser.
    bool listenOn(const QHostAddress& address, quint16 port);
    quint16 port() const;

    // A decoded error report field: form decoding, then the report's Base64
    // variant ("!" for "/", "-" for "="). False when it is not valid Base64 of UTF-8.
    static bool decodeReportField(const QByteArray& formValue, QString& text);
    // An error report's form body: exactly the fields "prod", "ver" and "err", each decoded. False when malformed.
    static bool parseReport(const QByteArray& body, QString& product, QString& version, QString& text);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Status = QHttpServerResponder::StatusCode;
    void reply(const QHttpServerRequest& request, QTcpSocket* socket, Status status, const QByteArray& body = {},
               const QByteArray& type = "text/plain; charset=utf-8", const QByteArray& location = {});
    void errorReport(const QHttpServerRequest& request, QTcpSocket* socket);
    void updateCheck(const QHttpServerRequest& request, QTcpSocket* socket);
    void staticPage(const QHttpServerRequest& request, QTcpSocket* socket);
    bool storeReport(const QString& from, const QString& product, const QString& version, const QString& text);

    WebConfig m_config;
    quint16 m_port = 0;
    int m_sequence = 0;
};

// Writes one log line: time, client, request line, status, body size.
void webLog(const QString& client, const QByteArray& method, const QString& target, int status, qint64 bytes);
