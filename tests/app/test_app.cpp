// The program's shell: the framework loader (missing library with its exact user text, then a real shared
// library whose function is resolved by name and called), data directory resolution and the move of an earlier
// version's folders, the path and size helpers,
// the file logger (pruning, line formats, concurrent writers, fatal and debug), and the error report's encoding
// and box (the reports reaching a real server and decoded there are tests/web's). The logger's fatal and stdout
// cases run this binary again as a child ("--child").

#include "app/errreport.h"
#include "app/logsaver.h"
#include "app/paths.h"
#include "app/tips.h"
#include "device/mobiledevice_abi.h"
#include "device/mobiledevice_loader.h"
#include "tests/app/datarows.h"
#include "tests/app/recordingpresenter.h"

#include <QCoreApplication>
#include <QDate>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/app/test_app.json");

const QString kId = QStringLiteral("3C9E17B0A4D25F68C1E0B7734D9A2F15");

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(bytes);
}

QString expectedError(const QString& library) {
    return QStringLiteral("Phones cannot be reached: %1 cannot be loaded. Install the spacevexlar package (built with "
                          "libimobiledevice) and usbmuxd.")
        .arg(library);
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

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

class TestApp : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_base;
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
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        m_base = m_home.path() + QStringLiteral("/Library/Application Support/Quorvindale");
    }

    void cleanup() { QFile::remove(m_base + QLatin1Char('/') + kId + QStringLiteral(".redirect")); }

    // Runs first: the framework is not loaded yet.
    void missingLibrary_data() { addRowsFrom(kTables, "missingLibrary"); }
    void missingLibrary() {
        QFETCH(QByteArray, library);
        library = library.startsWith("tests/") ? VEXLAR_SOURCE_DIR "/" + library : library;
        library.isEmpty() ? qunsetenv("VEXLAR_MOBILEDEVICE") : qputenv("VEXLAR_MOBILEDEVICE", library);
        const QString expected =
            expectedError(library.isEmpty() ? g_installedDeviceLibraryPath() : QString::fromUtf8(library));

        QString error;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot load the device framework")));
        QCOMPARE(mobiledevice_loader_ini(error, QStringLiteral("C:/uwp")), 0);
        QCOMPARE(error, expected);
        QVERIFY(!mobiledevice_loader_is_loaded());
        QVERIFY(mobiledevice_loader_is_corefoundation_loaded());
        QVERIFY(!mobiledevice_loader_mf("AMDeviceConnect"));
        // The program's start shows the same text as a warning.
        RecordingPresenter presenter;
        Tips::setPresenter(&presenter);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot load the device framework")));
        QCOMPARE(mobiledevice_init(), 0);
        Tips::setPresenter(nullptr);
        QCOMPARE(presenter.shown, (QList<QPair<TipsPresenter::Kind, QString>>{{TipsPresenter::Warning, expected}}));
    }

    void realLibrary() {
        qputenv("VEXLAR_MOBILEDEVICE", VEXLAR_FAKE_FRAMEWORK);
        QString error;
        QCOMPARE(mobiledevice_loader_ini(error, QString()), 1);
        QVERIFY(error.isEmpty());
        QVERIFY(mobiledevice_loader_is_loaded());
        QVERIFY(!mobiledevice_loader_mf("AMDeviceNoSuchFunction"));
        QVERIFY(!mobiledevice_loader_mf(nullptr));
        QVERIFY(!mobiledevice_loader_cf("CFRelease"));

        auto connect = reinterpret_cast<AMDeviceConnect_t>(mobiledevice_loader_mf("AMDeviceConnect"));
        QVERIFY(connect);
        QCOMPARE(connect(reinterpret_cast<am_device*>(&error)), 7);

        // Loaded once: a later call with a broken path keeps the library.
        qputenv("VEXLAR_MOBILEDEVICE", "/nonexistent");
        QCOMPARE(mobiledevice_loader_ini(error, QString()), 1);
        QCOMPARE(mobiledevice_init(), 1);
    }

    void dataDirectory_data() { addRowsFrom(kTables, "dataDirectory"); }
    void dataDirectory() {
        QFETCH(QString, redirectContent);
        QFETCH(bool, redirected);
        QTemporaryDir target;
        QVERIFY(target.isValid());
        if (!redirectContent.isNull()) {
            QVERIFY(QDir().mkpath(m_base));
            writeFile(m_base + QLatin1Char('/') + kId + QStringLiteral(".redirect"),
                      QString(redirectContent).replace(QLatin1Char('@'), target.path()).toUtf8());
        }
        QCOMPARE(g_legacyDataDirPath(), (redirected ? target.path() : m_base) + QLatin1Char('/') + kId);
    }

    void dataDirectoryIsCreatedAndKept() {
        // A relative XDG folder is ignored, as the base directory rules say.
        qputenv("XDG_DATA_HOME", "relative/share");
        const QDir dir = g_dataSaveDir();
        qunsetenv("XDG_DATA_HOME");
        QVERIFY(dir.exists());
        QCOMPARE(dir.absolutePath(), m_home.path() + u"/.local/share/spacevexlar"_s);
        // Resolved once: the environment changed later changes nothing in this process.
        QTemporaryDir other;
        qputenv("XDG_DATA_HOME", QFile::encodeName(other.path()));
        QCOMPARE(g_dataSaveDir().absolutePath(), dir.absolutePath());
        QCOMPARE(g_backupDirPath(), other.path() + u"/spacevexlar/backups"_s);
        g_setBackupDirPath(other.path() + u"/chosen/"_s);
        QCOMPARE(g_backupDirPath(), other.path() + u"/chosen/spacevexlar-backups"_s);
        g_setBackupDirPath(QString());
        qunsetenv("XDG_DATA_HOME");
    }

    void legacyMove_data() { addRowsFrom(kTables, "legacyMove"); }
    void legacyMove() {
        QFETCH(QString, xdgBase);
        QFETCH(bool, redirected);
        QFETCH(bool, occupied);
        QFETCH(bool, moved);
        QFETCH(QStringList, kept);
        QTemporaryDir home;
        QTemporaryDir shm(u"/dev/shm/vexlar-XXXXXX"_s);
        qputenv("HOME", QFile::encodeName(home.path()));
        const auto restore = qScopeGuard([this] {
            qputenv("HOME", QFile::encodeName(m_home.path()));
            for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
                qunsetenv(var);
            }
        });
        if (!xdgBase.isNull()) {
            const QString base = xdgBase == u"shm"_s ? shm.path() : home.filePath(u"plain-file"_s);
            writeFile(home.filePath(u"plain-file"_s), "x");
            for (const char* var : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
                qputenv(var, QFile::encodeName(base + u'/' + QLatin1String(var)));
            }
        }
        QTemporaryDir redirectTarget;
        const QString legacyBase = home.filePath(u"Library/Application Support/Quorvindale"_s);
        QVERIFY(QDir().mkpath(legacyBase));
        if (redirected) {
            writeFile(legacyBase + u'/' + kId + u".redirect"_s, redirectTarget.path().toUtf8());
        }
        const QString legacy = g_legacyDataDirPath();
        const QString cache = qEnvironmentVariableIsSet("XDG_CACHE_HOME")
                                  ? qEnvironmentVariable("XDG_CACHE_HOME") + u"/spacevexlar"_s
                                  : home.filePath(u".cache/spacevexlar"_s);
        // Each legacy file with where it belongs; the backup is large enough to be compared in chunks.
        const QList<std::pair<QString, QString>> files = {
            {u"data/qlogs/log-20250101.txt"_s, g_logDirPath() + u"/log-20250101.txt"_s},
            {u"data/ios_cache/UDID1/icon.png"_s, cache + u"/ios_cache/UDID1/icon.png"_s},
            {u"data/settings.plist"_s, g_resolveDataSaveDirPath() + u"/settings.plist"_s},
            {u"data/virtual_ios/.hidden"_s, g_resolveDataSaveDirPath() + u"/virtual_ios/.hidden"_s},
            {u"backups/UDID1/Manifest.db"_s, g_backupDirPath() + u"/UDID1/Manifest.db"_s}};
        auto source = [&](const QString& name) {
            return name.startsWith(u"data/"_s) ? legacy + name.mid(4)
                                               : home.filePath(u"Documents/__quorvindale_iosbk_temp"_s) + name.mid(7);
        };
        auto content = [](const QString& name) { return name.toUtf8().repeated(name.endsWith(u".db"_s) ? 200000 : 1); };
        for (const auto& [name, destination] : files) {
            QVERIFY(QDir().mkpath(QFileInfo(source(name)).absolutePath()));
            writeFile(source(name), content(name));
        }
        if (occupied) {
            QVERIFY(QDir().mkpath(g_resolveDataSaveDirPath()));
            writeFile(g_resolveDataSaveDirPath() + u"/settings.plist"_s, "newer");
        }

        QCOMPARE(g_moveLegacyFolders(), moved);

        for (const auto& [name, destination] : files) {
            const bool stays = kept.contains(name);
            QVERIFY2(QFile::exists(source(name)) == stays, qPrintable(name));
            QCOMPARE(readFile(stays ? source(name) : destination), content(name));
        }
        if (occupied) {
            QCOMPARE(readFile(g_resolveDataSaveDirPath() + u"/settings.plist"_s), "newer");
        }
        // Once: what appears in the old folders afterwards stays there.
        QVERIFY(QDir().mkpath(legacy));
        writeFile(legacy + u"/late.txt"_s, "late");
        QCOMPARE(g_moveLegacyFolders(), moved);
        QVERIFY(QFile::exists(legacy + u"/late.txt"_s));
    }

    void delDirCascade() {
        QTemporaryDir tmp;
        const QString root = tmp.path() + u"/root"_s;
        for (const QString& file : {u"a.txt"_s, u"sub/b.txt"_s, u"sub/deeper/c.txt"_s, u"keep/.hidden"_s,
                                    u"gone/d.txt"_s, u"../outside/precious.txt"_s}) {
            QVERIFY(QDir().mkpath(QFileInfo(root + u'/' + file).absolutePath()));
            writeFile(root + u'/' + file, "x");
        }
        // A link to a folder outside must go as a link, never by emptying its target.
        QVERIFY(QFile::link(tmp.path() + u"/outside"_s, root + u"/link"_s));
        QVERIFY(QFile::link(tmp.path() + u"/nowhere"_s, root + u"/broken"_s));

        g_delDirCascade(root);

        QVERIFY(QFile::exists(tmp.path() + u"/outside/precious.txt"_s));
        for (const QString& gone : {u"link"_s, u"broken"_s, u"a.txt"_s, u"sub"_s, u"gone"_s}) {
            QVERIFY2(!QFileInfo(root + u'/' + gone).exists() && !QFileInfo(root + u'/' + gone).isSymLink(),
                     qPrintable(gone));
        }
        // The dot-file is not listed, so it and every folder above it stay.
        QVERIFY(QFile::exists(root + u"/keep/.hidden"_s));

        QFile::remove(root + u"/keep/.hidden"_s);
        g_delDirCascade(root);
        QVERIFY(!QFile::exists(root));
    }

    void formatFileName_data() { addRowsFrom(kTables, "formatFileName"); }
    void formatFileName() {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(g_formatFileName(name), expected);
    }

    void formatSpaceShow_data() { addRowsFrom(kTables, "formatSpaceShow"); }
    void formatSpaceShow() {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(::formatSpaceShow(bytes), expected);
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
            threads.last()->start();
        }
        for (QThread* th : std::as_const(threads)) {
            QVERIFY(th->wait(120000));
            delete th;
        }
        // Every line whole, and each once: as many distinct lines as were written.
        const QStringList lines = logText(tmp.path()).split(u'\n', Qt::SkipEmptyParts);
        static const QRegularExpression shape(QStringLiteral("^\\(W %T\\) t(\\d) n(\\d+) x{300}$"));
        for (const QString& line : lines) {
            const auto m = shape.match(line);
            QVERIFY2(m.hasMatch() && m.captured(1).toInt() < kThreads && m.captured(2).toInt() < kLines,
                     qPrintable(line.left(120)));
        }
        QCOMPARE(lines.size(), kThreads * kLines);
        QCOMPARE(QSet<QString>(lines.cbegin(), lines.cend()).size(), kThreads * kLines);
    }

    // A child process: a fatal message is written before the abort; a debug message also goes raw to stdout.
    void child_data() { addRowsFrom(kTables, "child"); }
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

    // The box shows the message as given; a host that makes no URL sends nothing.
    void boxTextAndBadHost() {
        qputenv("VEXLAR_WEB_HOST", "bad host/with space");
        RecordingPresenter presenter;
        Tips::setPresenter(&presenter);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("error report not sent")));
        Tips::error(QStringLiteral("a< BR />b<b>x</b>"));
        Tips::setPresenter(nullptr);
        QCOMPARE(presenter.shown.size(), 1);
        QCOMPARE(presenter.shown[0].first, TipsPresenter::Critical);
        QCOMPARE(
            presenter.shown[0].second,
            QStringLiteral("<nobr><b>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac v3.1.13</b></nobr><br/><br/>"
                           "An Error Occurred. <br/><br/>a< BR />b<b>x</b><br/><br/> Or you can contact "
                           "support@spacevexlar.invalid for help."));
    }
};

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return runChild(argc, argv, argv[2], argv[3]);
    }
    QCoreApplication app(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app.moc"
