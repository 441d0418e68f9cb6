#include "tools/vexlar-webd/webserver.h"

#include "app/updatecheck.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QMetaEnum>
#include <QMimeDatabase>
#include <QStringDecoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <cstdio>

namespace {

constexpr qsizetype kMaxHead = 64 * 1024;

// Sits in front of the HTTP parser on one connection and refuses a request
// whose declared body is too large before any of it is buffered. It sees each
// chunk first because it connects to readyRead before the server does.
class SizeGuard : public QObject {
public:
    explicit SizeGuard(QTcpSocket* socket) : QObject(socket), m_socket(socket) {
        connect(socket, &QTcpSocket::readyRead, this, &SizeGuard::inspect);
    }

private:
    void inspect() {
        if (m_refused) {
            m_socket->readAll(); // the parser after us gets nothing
            return;
        }
        const QByteArray data = m_socket->peek(m_socket->bytesAvailable());
        qsizetype i = 0;
        while (i < data.size()) {
            if (m_bodyLeft > 0) {
                const qsizetype take = qMin<qint64>(m_bodyLeft, data.size() - i);
                m_bodyLeft -= take;
                i += take;
                continue;
            }
            const qsizetype before = m_head.size();
            m_head += data.mid(i);
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_head.size() > kMaxHead) {
                    refuse(431, "Request Header Fields Too Large");
                }
                return;
            }
            i += end + 4 - before;
            const QList<QByteArray> lines = m_head.left(end).split('\n');
            m_head.clear();
            for (const QByteArray& line : lines.mid(1)) {
                const qsizetype colon = line.indexOf(':');
                const QByteArray name = line.left(colon).trimmed().toLower();
                if (name == "transfer-encoding") {
                    return refuse(411, "Length Required", lines.first());
                }
                if (name == "content-length") {
                    bool ok = false;
                    m_bodyLeft = line.mid(colon + 1).trimmed().toLongLong(&ok);
                    if (!ok || m_bodyLeft < 0 || m_bodyLeft > WebServer::kMaxBody) {
                        return refuse(413, "Payload Too Large", lines.first());
                    }
                }
            }
        }
    }

    void refuse(int status, const char* reason, const QByteArray& requestLine = {}) {
        m_refused = true;
        m_socket->readAll();
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                        "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        const QList<QByteArray> parts = requestLine.trimmed().split(' ');
        webLog(m_socket->peerAddress().toString(), parts.value(0, "-"), QString::fromLatin1(parts.value(1, "-")),
               status, 0);
        m_socket->disconnectFromHost();
    }

    QTcpSocket* m_socket;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    bool m_refused = false;
};

class GuardedTcpServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new SizeGuard(socket);
        addPendingConnection(socket);
    }
};

// Splits a form body into decoded keys and values; a key given twice is malformed.
bool parseForm(const QByteArray& body, QHash<QByteArray, QByteArray>& fields) {
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0) {
            return false;
        }
        const QByteArray key = pair.left(eq);
        if (fields.contains(key)) {
            return false;
        }
        fields.insert(key, pair.mid(eq + 1));
    }
    return true;
}

} // namespace

void webLog(const QString& client, const QByteArray& method, const QString& target, int status, qint64 bytes) {
    const QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toUtf8() + ' ' + client.toUtf8() +
                            ' ' + method + ' ' + target.toUtf8() + ' ' + QByteArray::number(status) + ' ' +
                            QByteArray::number(bytes) + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

WebServer::WebServer(const WebConfig& config, QObject* parent) : QAbstractHttpServer(parent), m_config(config) {}

bool WebServer::listenOn(const QHostAddress& address, quint16 port) {
    auto* tcp = new GuardedTcpServer(this);
    if (!tcp->listen(address, port)) {
        delete tcp;
        return false;
    }
    m_port = tcp->serverPort();
    bind(tcp);
    return true;
}

quint16 WebServer::port() const {
    return m_port;
}

bool WebServer::decodeReportField(const QByteArray& formValue, QString& text) {
    QByteArray value = formValue;
    value.replace('+', ' ');
    value = QByteArray::fromPercentEncoding(value);
    // Base64 has no blank: a blank here is a "+" some sender left unescaped.
    value.replace(' ', '+').replace('!', '/').replace('-', '=');
    const auto decoded = QByteArray::fromBase64Encoding(value, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    text = utf8(*decoded);
    return !utf8.hasError();
}

bool WebServer::parseReport(const QByteArray& body, QString& product, QString& version, QString& text) {
    QHash<QByteArray, QByteArray> fields;
    return parseForm(body.trimmed(), fields) && fields.size() == 3 &&
           decodeReportField(fields.value("prod"), product) && decodeReportField(fields.value("ver"), version) &&
           decodeReportField(fields.value("err"), text);
}

void WebServer::reply(const QHttpServerRequest& request, QTcpSocket* socket, Status status, const QByteArray& body,
                      const QByteArray& type, const QByteArray& location) {
    const QByteArray method =
        QByteArray(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(request.method()))).toUpper();
    webLog(request.remoteAddress().toString(), method,
           request.url().toString(QUrl::RemoveScheme | QUrl::RemoveAuthority), static_cast<int>(status), body.size());
    QHttpServerResponder responder = makeResponder(request, socket);
    if (location.isEmpty()) {
        responder.write(body, {{"Content-Type", type}}, status);
    } else {
        responder.write(body, {{"Content-Type", type}, {"Location", location}}, status);
    }
}

bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QString path = request.url().path();
    const auto method = request.method();
    if (path == QLatin1String("/err_report.php")) {
        method == QHttpServerRequest::Method::Post ? errorReport(request, socket)
                                                   : reply(request, socket, Status::MethodNotAllowed);
    } else if (method != QHttpServerRequest::Method::Get) {
        reply(request, socket, Status::MethodNotAllowed);
    } else if (path == QLatin1String("/sms_check_update.php")) {
        updateCheck(request, socket);
    } else if (path == QLatin1String("/adv.php")) {
        m_config.announcement.isEmpty()
            ? reply(request, socket, Status::NotFound)
            : reply(request, socket, Status::Ok, m_config.announcement.toUtf8(), "text/html; charset=utf-8");
    } else {
        staticPage(request, socket);
    }
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    reply(request, socket, Status::NotFound);
}

void WebServer::errorReport(const QHttpServerRequest& request, QTcpSocket* socket) {
    QString product, version, text;
    const QByteArray body = request.body();
    if (body.size() > kMaxBody) {
        return reply(request, socket, Status::PayloadTooLarge);
    }
    if (!parseReport(body, product, version, text)) {
        return reply(request, socket, Status::BadRequest, "malformed error report\n");
    }
    if (!storeReport(request.remoteAddress().toString(), product, version, text)) {
        return reply(request, socket, Status::InternalServerError, "report not stored\n");
    }
    reply(request, socket, Status::Ok, "OK\n");
}

bool WebServer::storeReport(const QString& from, const QString& product, const QString& version, const QString& text) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QDir dir(m_config.reportDir);
    QString name;
    do {
        name = QStringLiteral("report-%1-%2.txt")
                   .arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")))
                   .arg(++m_sequence);
    } while (dir.exists(name));
    const QString content = QStringLiteral("time: %1\nfrom: %2\nproduct: %3\nversion: %4\n\n%5")
                                .arg(now.toString(Qt::ISODate), from, product, version, text);
    return g_writeFileAtomically(dir.filePath(name), content.toUtf8());
}

void WebServer::updateCheck(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QUrlQuery query = request.query();
    if (query.hasQueryItem(QStringLiteral("sys"))) {
        return reply(request, socket, Status::Found, {}, "text/plain; charset=utf-8", "/download.html");
    }
    bool ok = false;
    const int version = query.queryItemValue(QStringLiteral("ver")).toInt(&ok);
    if (!ok || version < 0) {
        return reply(request, socket, Status::BadRequest, "bad ver\n");
    }
    if (m_config.latest < 0) {
        return reply(request, socket, Status::NotFound);
    }
    reply(request, socket, Status::Ok, m_config.latest > version ? m_config.downloadUrl.toUtf8() : QByteArray());
}

void WebServer::staticPage(const QHttpServerRequest& request, QTcpSocket* socket) {
    const QString path = request.url().path(QUrl::FullyDecoded);
    if (m_config.pagesDir.isEmpty() || path.contains(QLatin1Char('\\')) || path.contains(QChar(0)) ||
        path.split(QLatin1Char('/')).contains(QLatin1String(".."))) {
        return reply(request, socket, Status::NotFound);
    }
    const QString root = QFileInfo(m_config.pagesDir).canonicalFilePath();
    QFileInfo file(root + path);
    if (file.isDir()) {
        file.setFile(file.filePath() + QStringLiteral("/index.html"));
    }
    // Resolved, the file must still lie inside the folder: a link must not lead out.
    const QString real = file.canonicalFilePath();
    QFile f(real);
    if (root.isEmpty() || real.isEmpty() || !real.startsWith(root + QLatin1Char('/')) || !file.isFile() ||
        !f.open(QIODevice::ReadOnly)) {
        return reply(request, socket, Status::NotFound);
    }
    static const QMimeDatabase mimes;
    QByteArray type = mimes.mimeTypeForFile(real, QMimeDatabase::MatchExtension).name().toLatin1();
    if (type.startsWith("text/")) {
        type += "; charset=utf-8";
    }
    reply(request, socket, Status::Ok, f.readAll(), type);
}
