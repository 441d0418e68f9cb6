// The real program started offscreen: without a device framework it warns and
// still opens its window; with the simulated framework it loads it quietly.
// Either way the day's log starts with the start-up line.

#include <QDate>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void startsUp_data() {
        QTest::addColumn<QString>("framework");
        QTest::addColumn<bool>("warned");
        QTest::newRow("no framework") << QString() << true;
        QTest::newRow("missing framework file") << QStringLiteral("/nonexistent/libsimdevice.so") << true;
#ifdef VEXLAR_SIM_FRAMEWORK
        QTest::newRow("simulated framework") << QStringLiteral(VEXLAR_SIM_FRAMEWORK) << false;
#endif
    }
    void startsUp() {
        QFETCH(QString, framework);
        QFETCH(bool, warned);
        if (!framework.isEmpty() && !warned && !QFile::exists(framework)) {
            QSKIP("the simulated framework is not built");
        }
        const QString program = QStringLiteral(VEXLAR_BINARY_DIR "/bin/spacevexlar");
        if (!QFile::exists(program)) {
            QSKIP("spacevexlar is not built");
        }
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VEXLAR_TEST_AUTOANSWER"), QStringLiteral("1"));
        env.insert(QStringLiteral("VEXLAR_QUIT_AFTER_MS"), QStringLiteral("2000"));
        env.insert(QStringLiteral("VEXLAR_WEB_HOST"), QStringLiteral("127.0.0.1:9"));
        env.remove(QStringLiteral("VEXLAR_MOBILEDEVICE"));
        if (!framework.isEmpty()) {
            env.insert(QStringLiteral("VEXLAR_MOBILEDEVICE"), framework);
        }
        QTemporaryDir simRoot; // no simulated devices
        env.insert(QStringLiteral("VEXLAR_SIM_ROOT"), simRoot.path());

        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, {});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QString log =
            home.path() + QStringLiteral("/Library/Application Support/Quorvindale/3C9E17B0A4D25F68C1E0B7734D9A2F15/"
                                         "qlogs/log-%1.txt")
                              .arg(QDate::currentDate().toString(u"yyyyMMdd"));
        QFile file(log);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(log));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        QVERIFY(lines.first().endsWith(QLatin1String(") Space Vexlar 3.1.13 starting")));

        const auto indexOf = [&lines](const QString& needle) {
            return lines.indexOf(QRegularExpression(u".*"_s + QRegularExpression::escape(needle) + u".*"_s));
        };
        const qsizetype warning = indexOf(QStringLiteral(
            "box answered OK : Failed to load (Apple Mobile Device) framework. Please uninstall current version iTunes "
            "from your computer first. Then download this <a "
            "href=\"http://127.0.0.1:9/download_itunes.php\">iTunes</a>"));
        const qsizetype shown = indexOf(QStringLiteral("main window shown"));
        QCOMPARE(indexOf(QStringLiteral("translation :/en.qm is missing")), qsizetype(-1));
        QVERIFY2(shown > 0, "main window not opened");
        if (warned) {
            QVERIFY2(warning > 0, "framework warning not shown");
            QVERIFY2(shown > warning, "main window opened before the warning");
        } else {
            QCOMPARE(warning, qsizetype(-1));
            QVERIFY(indexOf(QStringLiteral("device framework loaded from ") + framework) > 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
