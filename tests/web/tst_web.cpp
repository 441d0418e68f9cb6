// The program against a real vexlar-webd on loopback: the daily requests seen
// from a main window in a child process (it may end itself), error reports
// stored and decoded by the server, and the server's answers to bad requests.

#include "app/errreport.h"
#include "app/tips.h"
#include "app/updatecheck.h"
#include "tests/app/datarows.h"
#include "tests/app/recordingpresenter.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QLabel>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

const QString kStyle = u"<a style=\"color:#145577;text-decoration:none;\""_s;
const QString kOldAdv = kStyle + u" href=\"http://old.test/\">Old news</a>"_s;
const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/web/tst_web.json");

struct Webd {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
    QByteArray log;

    explicit Webd(const QStringList& args = {}) {
        QDir(dir.path()).mkpath(u"pages"_s);
        process.start(QStringLiteral(VEXLAR_WEBD), QStringList{u"--listen"_s, u"127.0.0.1:0"_s, u"--data"_s,
                                                               reports().path(), u"--pages"_s, page(QString())} +
                                                       args);
        if (process.waitForReadyRead(10000)) {
            port = process.readLine().trimmed().split(':').last().toUShort();
        }
    }
    ~Webd() {
        process.kill();
        process.waitForFinished();
    }
    QDir reports() const { return QDir(dir.filePath(u"reports"_s)); }
    QString page(const QString& name) const { return dir.filePath(u"pages/"_s + name); }
    QString host() const { return u"127.0.0.1:%1"_s.arg(port); }
    QByteArray readLog() { return log += process.readAllStandardOutput(); }

    // One request as raw bytes; returns the status line.
    QByteArray raw(const QByteArray& request) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        s.write(request);
        QByteArray answer;
        while (!answer.contains("\r\n\r\n") && s.waitForReadyRead(10000)) {
            answer += s.readAll();
        }
        return answer.left(answer.indexOf("\r\n"));
    }
};

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

// Child side: prints every URL handed to the desktop.
class UrlPrinter : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { qInfo("opened %s", qPrintable(url.toString())); }
};

int windowChild(int argc, char** argv) {
    QApplication app(argc, argv);
    MessageBoxPresenter presenter;
    Tips::setPresenter(&presenter);
    MessageBoxPresenter::installTestHookFromEnvironment();
    UrlPrinter printer;
    for (const QString& scheme : {u"http"_s, u"https"_s, u"file"_s}) {
        QDesktopServices::setUrlHandler(scheme, &printer, "open");
    }
    MainWindow window;
    window.show();
    const auto* check = window.findChild<UpdateCheck*>();
    auto done = [&] {
        qInfo("label %s", qPrintable(window.findChild<QLabel*>(u"lbAdv"_s)->text()));
        QCoreApplication::exit(0);
    };
    QObject::connect(check, &UpdateCheck::finished, done);
    if (!check->busy()) {
        QTimer::singleShot(0, done);
    }
    return app.exec();
}

} // namespace

class TestWeb : public QObject {
    Q_OBJECT

private slots:
    void dailyRequests_data() { addRowsFrom(kRows, "dailyRequests"); }
    void dailyRequests() {
        QFETCH(QStringList, server);
        QFETCH(qint64, age);
        QFETCH(QString, answer);
        QFETCH(QString, box);
        QFETCH(QString, opened);
        QFETCH(bool, timeWritten);
        QFETCH(QString, adv);
        adv = adv == "new"_L1 ? kStyle + u" HREF=\"http://news.test/\">News</A>"_s : adv == "old"_L1 ? kOldAdv : adv;
        Webd webd(server);
        QVERIFY(webd.port);
        QTemporaryDir home;
        const QString data = home.filePath(u".local/share/spacevexlar/"_s);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QByteArray stored = age == -2 ? "0" : QByteArray::number(now - age);
        if (age != -1) {
            writeFile(data + u"last-check-version-time"_s, stored);
        }
        writeFile(data + u"last-adv"_s, kOldAdv.toUtf8());

        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"TST_WEB_CHILD"_s, u"1"_s);
        env.insert(u"HOME"_s, home.path());
        env.insert(u"VEXLAR_WEB_HOST"_s, webd.host());
        env.insert(u"VEXLAR_TEST_AUTOANSWER"_s, answer);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        const QString out = QString::fromUtf8(child.readAll());
        QCOMPARE(child.exitCode(), 0);

        const bool asked = age < 0 || age >= 86401;
        QTRY_COMPARE(webd.readLog().count("GET /sms_check_update.php?pid=" + QByteArray(kProductId) + "&ver=13&q=1 "),
                     asked ? 1 : 0);
        QCOMPARE(webd.log.count("GET /adv.php?pid=" + QByteArray(kProductId) + " "), asked ? 1 : 0);
        QVERIFY2(box.isEmpty() ? !out.contains(u"box answered"_s) : out.contains(box), qPrintable(out));
        QCOMPARE(out.section(u"opened "_s, 1).section(u'\n', 0, 0), opened);
        const QByteArray time = readFile(data + u"last-check-version-time"_s);
        QVERIFY2(timeWritten ? qAbs(time.toLongLong() - now) < 60 : time == (age == -1 ? "(none)" : stored), time);
        const bool ended = !out.contains(u"label "_s);
        QCOMPARE(ended, !opened.isEmpty());
        if (!ended) {
            QCOMPARE(QString::fromUtf8(readFile(data + u"last-adv"_s)), adv);
            QVERIFY2(out.contains(u"label "_s + adv + u'\n'), qPrintable(out));
        }
    }

    void reportsStoredDecoded() {
        Webd webd;
        qputenv("VEXLAR_WEB_HOST", webd.host().toUtf8());
        RecordingPresenter presenter;
        Tips::setPresenter(&presenter);
        // Its Base64 holds "+" and "/": both must come back as written (a bare "+" would be read as a blank).
        Tips::error(u"é~ disk?"_s);
        Tips::error(u"Disk<BR />full: <b>x</b>"_s);
        Tips::setPresenter(nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(webd.reports().entryList(QDir::Files).size(), 2, 20000);
        QStringList texts;
        for (const QString& name : webd.reports().entryList(QDir::Files, QDir::Name)) {
            const QString report = QString::fromUtf8(readFile(webd.reports().filePath(name)));
            QVERIFY2(report.contains(u"\nproduct: Quorvindale iPod/iPhone/iPad Space Vexlar for Mac\n"
                                     "version: 3.1.13(13)\n\n"_s),
                     qPrintable(report));
            texts << report.section(u"\n\n"_s, 1);
        }
        texts.sort();
        QCOMPARE(texts, QStringList({u"Disk\r\nfull: &lt;b&gt;x&lt;/b&gt;"_s, u"é~ disk?"_s}));
    }

    void serverRefusesBadRequests_data() { addRowsFrom(kRows, "serverRefusesBadRequests"); }
    void serverRefusesBadRequests() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        Webd webd;
        writeFile(webd.page(u"help.html"_s), "help");
        writeFile(webd.dir.filePath(u"secret.txt"_s), "secret");
        QVERIFY(QFile::link(webd.dir.path(), webd.page(u"out"_s)));
        QCOMPARE(webd.raw(request).split(' ').value(1), status);
        QCOMPARE(webd.reports().entryList(QDir::Files).size(), status == "200" && request.startsWith("POST") ? 1 : 0);
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("TST_WEB_CHILD")) {
        return windowChild(argc, argv);
    }
    QApplication app(argc, argv);
    TestWeb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_web.moc"
