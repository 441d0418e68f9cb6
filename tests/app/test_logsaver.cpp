// The file logger: pruning, line formats, concurrent writers, fatal and debug.
// The fatal and stdout cases run this binary again as a child ("--child").

#include "app/logsaver.h"
#include "tests/app/datarows.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cstring>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/app/test_logsaver.json");

QString todaysLog(const QString& dir) {
    return dir + QStringLiteral("/log-%1.txt").arg(QDate::currentDate().toString(u"yyyyMMdd"));
}

// The day's log text with every time of day replaced by "%T".
QString logText(const QString& dir) {
    QFile f(todaysLog(dir));
    static const QRegularExpression time(QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\)"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).replace(time, QStringLiteral("%T)"))
                                       : QString();
}

// Child modes: "--child fatal <dir>" and "--child debug <dir>".
int runChild(int argc, char** argv, const char* mode, const char* dir) {
    QCoreApplication app(argc, argv);
    logsaver_install_msghandler(QString::fromLocal8Bit(dir), 10);
    if (std::strcmp(mode, "fatal") == 0) {
        qFatal("fatal ending %d", 42);
    }
    qDebug("raw debug ü");
    qWarning("a warning");
    return 0;
}
} // namespace

class TestLogSaver : public QObject {
    Q_OBJECT

    QtMessageHandler m_testHandler = nullptr;

    void install(const QString& dir, int maxFiles) {
        logsaver_install_msghandler(dir, maxFiles);
        // Keep Qt Test's own handler for the rest of the run; log_output is called directly.
        qInstallMessageHandler(m_testHandler);
    }

private slots:
    void initTestCase() {
        m_testHandler = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(m_testHandler);
    }

    void pruning_data() { addRowsFrom(kTables, "pruning"); }
    void pruning() {
        QFETCH(int, existing);
        QFETCH(int, maxFiles);
        QFETCH(int, deleted);
        QTemporaryDir dir;
        QStringList names; // oldest first; written newest first, so only the names decide
        for (int i = existing; i >= 1; --i) {
            names.prepend(QStringLiteral("log-202601%1.txt").arg(i, 2, 10, QLatin1Char('0')));
            QFile f(dir.filePath(names.first()));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("a-folder")))); // folders are not counted
        install(dir.path(), maxFiles);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), names.mid(deleted));
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("a-folder"))).isDir());
    }

    // The whole file after one message; %T stands for the time.
    void lineFormat_data() { addRowsFrom(kTables, "lineFormat"); }
    void lineFormat() {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, file);
        QTemporaryDir tmp;
        // The folder is created by the first message when it is missing.
        const QString dir = tmp.filePath(QStringLiteral("qlogs/nested"));
        install(dir, 10);
        // Logs name devices and paths: owner only, even under a permissive umask.
        const mode_t oldMask = ::umask(0);
        log_output(QtMsgType(type), QMessageLogContext(), message);
        ::umask(oldMask);
        QTEST(logText(dir), "file");
        struct stat folder {
        }, info{};
        QVERIFY(::stat(QFile::encodeName(dir).constData(), &folder) == 0 &&
                ::stat(QFile::encodeName(todaysLog(dir)).constData(), &info) == 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
        QCOMPARE(info.st_mode & 0777, 0600u);
    }

    void concurrentWritersLoseNothing() {
        QTemporaryDir tmp;
        install(tmp.path(), 10);
        constexpr int kThreads = 8;
        constexpr int kLines = 2000;
        // Long lines make torn writes likely if a line were not written in one call.
        const QString padding(300, QLatin1Char('x'));
        QList<QThread*> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads << QThread::create([t, padding] {
                for (int i = 0; i < kLines; ++i) {
                    log_output(QtWarningMsg, QMessageLogContext(),
                               QStringLiteral("t%1 n%2 %3").arg(t).arg(i).arg(padding));
                }
            });
        }
        for (QThread* th : std::as_const(threads)) {
            th->start();
        }
        for (QThread* th : std::as_const(threads)) {
            QVERIFY(th->wait(120000));
            delete th;
        }
        const QStringList lines = logText(tmp.path()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), kThreads * kLines);
        static const QRegularExpression shape(QStringLiteral("^\\(W %T\\) t(\\d) n(\\d+) x{300}$"));
        QList<QList<bool>> seen(kThreads, QList<bool>(kLines, false));
        for (const QString& line : lines) {
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line.left(120)));
            const int t = m.captured(1).toInt();
            const int n = m.captured(2).toInt();
            QVERIFY(t < kThreads && n < kLines);
            QVERIFY2(!seen[t][n], "line written twice");
            seen[t][n] = true;
        }
    }

    // A child process: a fatal message is written before the abort; a debug message also goes raw to stdout.
    void child_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("file");
        QTest::newRow("fatal") << u"fatal"_s << QString() << u"(F %T) fatal ending 42\n"_s;
        QTest::newRow("debug") << u"debug"_s << u"raw debug ü\n"_s << u"(D %T) raw debug ü\n(W %T) a warning\n"_s;
    }
    void child() {
        QFETCH(QString, mode);
        QFETCH(QString, out);
        QTemporaryDir tmp;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--child"_s, mode, tmp.path()});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), mode == u"fatal"_s ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), out);
        QTEST(logText(tmp.path()), "file");
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return runChild(argc, argv, argv[2], argv[3]);
    }
    QCoreApplication app(argc, argv);
    TestLogSaver test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_logsaver.moc"
