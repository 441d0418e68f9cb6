// The file logger: pruning, line formats, concurrent writers, fatal and debug.
// The fatal and stdout cases run this binary again as a child ("--child").

#include "app/logsaver.h"

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
#include <memory>
#include <sys/stat.h>

namespace {
QString todaysLog(const QString& dir) {
    return dir + QStringLiteral("/log-%1.txt").arg(QDate::currentDate().toString(u"yyyyMMdd"));
}

QStringList readLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QString text = QString::fromUtf8(f.readAll());
    if (text.endsWith(QLatin1Char('\n'))) {
        text.chop(1);
    }
    return text.split(QLatin1Char('\n'));
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

    static QProcess* startChild(const char* mode, const QString& dir) {
        auto* child = new QProcess;
        child->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--child"), QString::fromLatin1(mode), dir});
        return child;
    }

private slots:
    void initTestCase() {
        m_testHandler = qInstallMessageHandler(nullptr);
        qInstallMessageHandler(m_testHandler);
    }

    void pruning_data() {
        QTest::addColumn<int>("existing");
        QTest::addColumn<int>("maxFiles");
        QTest::addColumn<int>("deleted");
        QTest::newRow("12 files, keep 10") << 12 << 10 << 2;
        QTest::newRow("10 files, keep 10") << 10 << 10 << 0;
        QTest::newRow("3 files, keep 10") << 3 << 10 << 0;
        QTest::newRow("5 files, keep 0") << 5 << 0 << 5;
        QTest::newRow("5 files, negative limit") << 5 << -3 << 5;
    }
    void pruning() {
        QFETCH(int, existing);
        QFETCH(int, maxFiles);
        QFETCH(int, deleted);
        QTemporaryDir dir;
        // Written in shuffled order: only the names decide what is oldest.
        QStringList names;
        for (int i = existing; i >= 1; --i) {
            names << QStringLiteral("log-202601%1.txt").arg(i, 2, 10, QLatin1Char('0'));
        }
        for (const QString& name : std::as_const(names)) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("a-folder")))); // folders are not counted
        install(dir.path(), maxFiles);
        const QStringList left = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(left.size(), existing - deleted);
        for (int i = 1; i <= existing; ++i) {
            const QString name = QStringLiteral("log-202601%1.txt").arg(i, 2, 10, QLatin1Char('0'));
            QCOMPARE(left.contains(name), i > deleted);
        }
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("a-folder"))).isDir());
    }

    void lineFormat_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("debug") << int(QtDebugMsg) << QStringLiteral("hello")
                               << QStringLiteral("^\\(D \\d\\d:\\d\\d:\\d\\d\\) hello$");
        QTest::newRow("warning") << int(QtWarningMsg) << QStringLiteral("w")
                                 << QStringLiteral("^\\(W \\d\\d:\\d\\d:\\d\\d\\) w$");
        QTest::newRow("info has no letter")
            << int(QtInfoMsg) << QStringLiteral("i") << QStringLiteral("^\\(\\d\\d:\\d\\d:\\d\\d\\) i$");
        QTest::newRow("UTF-8") << int(QtWarningMsg) << QStringLiteral("Grüße ✓ 日本")
                               << QStringLiteral("^\\(W \\d\\d:\\d\\d:\\d\\d\\) Grüße ✓ 日本$");
        QTest::newRow("empty") << int(QtWarningMsg) << QString() << QStringLiteral("^\\(W \\d\\d:\\d\\d:\\d\\d\\) $");
    }
    void lineFormat() {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, pattern);
        QTemporaryDir tmp;
        // The folder is created by the first message when it is missing.
        const QString dir = tmp.filePath(QStringLiteral("qlogs/nested"));
        install(dir, 10);
        // Logs name devices and paths: owner only, even under a permissive umask.
        const mode_t oldMask = ::umask(0);
        log_output(QtMsgType(type), QMessageLogContext(), message);
        ::umask(oldMask);
        const QStringList lines = readLines(todaysLog(dir));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression(pattern).match(lines.first()).hasMatch(), qPrintable(lines.first()));
        struct stat folder {
        }, file{};
        QVERIFY(::stat(QFile::encodeName(dir).constData(), &folder) == 0 &&
                ::stat(QFile::encodeName(todaysLog(dir)).constData(), &file) == 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
        QCOMPARE(file.st_mode & 0777, 0600u);
    }

    void multiLineMessageAndAppend() {
        QTemporaryDir tmp;
        install(tmp.path(), 10);
        log_output(QtWarningMsg, QMessageLogContext(), QStringLiteral("first\nsecond"));
        log_output(QtCriticalMsg, QMessageLogContext(), QStringLiteral("third"));
        const QStringList lines = readLines(todaysLog(tmp.path()));
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(QLatin1String(") first")));
        QCOMPARE(lines[1], QStringLiteral("second"));
        QVERIFY(lines[2].startsWith(QLatin1String("(C ")));
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
        const QStringList lines = readLines(todaysLog(tmp.path()));
        QCOMPARE(lines.size(), kThreads * kLines);
        static const QRegularExpression shape(QStringLiteral("^\\(W \\d\\d:\\d\\d:\\d\\d\\) t(\\d) n(\\d+) x{300}$"));
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

    void fatalWritesThenAborts() {
        QTemporaryDir tmp;
        std::unique_ptr<QProcess> child(startChild("fatal", tmp.path()));
        QVERIFY(child->waitForFinished(60000));
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        const QStringList lines = readLines(todaysLog(tmp.path()));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("^\\(F \\d\\d:\\d\\d:\\d\\d\\) fatal ending 42$"))
                     .match(lines[0])
                     .hasMatch(),
                 qPrintable(lines[0]));
    }

    void debugGoesRawToStdout() {
        QTemporaryDir tmp;
        std::unique_ptr<QProcess> child(startChild("debug", tmp.path()));
        QVERIFY(child->waitForFinished(60000));
        QCOMPARE(child->exitStatus(), QProcess::NormalExit);
        QCOMPARE(child->exitCode(), 0);
        // Only the debug message, raw; the warning goes to the file alone.
        QCOMPARE(QString::fromUtf8(child->readAllStandardOutput()), QStringLiteral("raw debug ü\n"));
        const QStringList lines = readLines(todaysLog(tmp.path()));
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith(QLatin1String("(D ")) && lines[0].endsWith(QStringLiteral(") raw debug ü")));
        QVERIFY(lines[1].startsWith(QLatin1String("(W ")) && lines[1].endsWith(QLatin1String(") a warning")));
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
