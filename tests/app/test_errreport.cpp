// The error report: Base64 variant, message rewrite, and the exact request a
// loopback HTTP server receives; Tips::error composing the box text.

#include "app/errreport.h"
#include "app/tips.h"
#include "tests/app/datarows.h"
#include "tests/app/recordingpresenter.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/app/test_errreport.json");

struct HttpRequest {
    QByteArray line, body;                // line: the request line
    QMap<QByteArray, QByteArray> headers; // lower-case names
};

// Reads whole requests (headers and Content-Length body) from every connection.
class LoopbackServer : public QObject {
    Q_OBJECT
public:
    QTcpServer server;
    QList<HttpRequest> requests;

    LoopbackServer() {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { consume(socket); });
            }
        });
        server.listen(QHostAddress::LocalHost);
    }

private:
    QHash<QTcpSocket*, QByteArray> buffers;

    void consume(QTcpSocket* socket) {
        QByteArray& buffer = buffers[socket];
        buffer += socket->readAll();
        for (qsizetype end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            HttpRequest r;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            r.line = lines.first().trimmed();
            for (const QByteArray& header : lines.mid(1)) {
                const qsizetype colon = header.indexOf(':');
                r.headers.insert(header.left(colon).trimmed().toLower(), header.mid(colon + 1).trimmed());
            }
            const qsizetype length = r.headers.value("content-length", "0").toLongLong();
            if (buffer.size() < end + 4 + length) {
                return;
            }
            r.body = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            requests.append(r);
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        }
    }
};

const QByteArray kProdB64 = "UXVvcnZpbmRhbGUgaVBvZC9pUGhvbmUvaVBhZCBTcGFjZSBWZXhsYXIgZm9yIE1hYw--";
const QByteArray kVerB64 = "My4xLjEzKDEzKQ--";

} // namespace

class TestErrReport : public QObject {
    Q_OBJECT

private slots:
    void base64Var_data() { addRowsFrom(kTables, "base64Var"); }
    void base64Var() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(base64_var(text), expected);
    }

    void rewrite_data() { addRowsFrom(kTables, "rewrite"); }
    void rewrite() {
        QFETCH(QString, message);
        QFETCH(QString, expected);
        QCOMPARE(errReportRewrite(message), expected);
    }

    // Tips::error shows the box and reports the bare message, as report_err reports its own.
    void reportsReachTheServer() {
        LoopbackServer server;
        QVERIFY(server.server.isListening());
        const QString host = QStringLiteral("127.0.0.1:%1").arg(server.server.serverPort());
        qputenv("VEXLAR_WEB_HOST", host.toUtf8());
        QCOMPARE(webHost(), host);

        RecordingPresenter presenter;
        Tips::setPresenter(&presenter);
        Tips::error(QStringLiteral("a< BR />b<b>x</b>"));
        Tips::setPresenter(nullptr);
        report_err(QStringLiteral("second"));
        QCOMPARE(presenter.shown.size(), 1);
        QCOMPARE(presenter.shown[0].first, TipsPresenter::Critical);
        QCOMPARE(
            presenter.shown[0].second,
            QStringLiteral("<nobr><b>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac v3.1.13</b></nobr><br/><br/>"
                           "An Error Occurred. <br/><br/>a< BR />b<b>x</b><br/><br/> Or you can contact "
                           "support@spacevexlar.invalid for help."));
        // The reports go out while the caller blocks: the server's side only accepts in our loop,
        // so wait for the connection at the socket level first.
        QVERIFY(server.server.waitForNewConnection(20000));
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 2, 20000);

        for (const HttpRequest& r : std::as_const(server.requests)) {
            QCOMPARE(r.line, QByteArray("POST /err_report.php HTTP/1.1"));
            QCOMPARE(r.headers.value("host"), host.toUtf8());
            QCOMPARE(r.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
        }
        QCOMPARE(server.requests[0].body,
                 "prod=" + kProdB64 + "&ver=" + kVerB64 + "&err=YQ0KYiZsdDtiJmd0O3gmbHQ7L2ImZ3Q7");
        QCOMPARE(server.requests[1].body, "prod=" + kProdB64 + "&ver=" + kVerB64 + "&err=c2Vjb25k");
    }

    void badHostIsNotSent() {
        qputenv("VEXLAR_WEB_HOST", "bad host/with space");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("error report not sent")));
        report_err(QStringLiteral("x"));
    }
};

QTEST_GUILESS_MAIN(TestErrReport)
#include "test_errreport.moc"
