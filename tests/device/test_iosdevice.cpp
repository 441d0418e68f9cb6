// The device record: version numbers, the cache folder, and the backup
// settings check against simulated devices.

#include "app/paths.h"
#include "app/tips.h"
#include "device/iosdevice.h"
#include "tests/app/recordingpresenter.h"
#include "tests/device/simfixture.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kICloudWarning = QStringLiteral(
    "Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.<br/><br/>"
    "<img src=\":res/close_icloudbk.jpg\"/>");
const QString kEncryptWarning =
    QStringLiteral("Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on computer "
                   "and then uncheck \"Encrypt iPhone backup\" option to try again.<br/><br/>"
                   "<img src=\":res/close_itunesbkenc.jpg\"/>");

} // namespace

class TestIOSDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        Tips::setPresenter(&presenter);
        if (!sim.init(&simUnavailable)) {
            return;
        }
        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&ctx));
    }

    void cleanupTestCase() { Tips::setPresenter(nullptr); }

    void parseVersion_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("parts");
        QTest::addColumn<QString>("back");
        QTest::newRow("9.3.2") << u"9.3.2"_s << QList<int>{9, 3, 2} << u"9.3.2"_s;
        QTest::newRow("10.0") << u"10.0"_s << QList<int>{10, 0} << u"10.0"_s;
        QTest::newRow("empty") << u""_s << QList<int>{} << u""_s;
        QTest::newRow("iOS 9.3") << u"iOS 9.3"_s << QList<int>{9, 3} << u"9.3"_s;
        QTest::newRow("beta suffix") << u"11.0b4"_s << QList<int>{11, 0, 4} << u"11.0.4"_s;
        QTest::newRow("leading zeros") << u"09.03"_s << QList<int>{9, 3} << u"9.3"_s;
        QTest::newRow("no digits") << u"unknown"_s << QList<int>{} << u""_s;
        QTest::newRow("huge component") << u"1.99999999999999999999"_s << QList<int>{1, std::numeric_limits<int>::max()}
                                        << u"1.2147483647"_s;
    }

    void parseVersion() {
        QFETCH(QString, text);
        QFETCH(QList<int>, parts);
        QFETCH(QString, back);
        QCOMPARE(_IOSVersion(text).parts, parts);
        QCOMPARE(_IOSVersion(text).toString(), back);
        IOSDevice device;
        device.productVersion = text;
        QCOMPARE(device.versionList(), parts);
    }

    void compareVersions_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("9.3 vs 9.3.2") << u"9.3"_s << u"9.3.2"_s << -1;
        QTest::newRow("10.0 vs 9.3.5") << u"10.0"_s << u"9.3.5"_s << 1;
        QTest::newRow("equal") << u"9.3.2"_s << u"9.3.2"_s << 0;
        QTest::newRow("minor differs") << u"9.1"_s << u"9.3"_s << -2;
        QTest::newRow("empty vs 10") << u""_s << u"10"_s << -1;
        QTest::newRow("extremes do not overflow") << u"0"_s << u"2147483647"_s << -2147483647;
    }

    void compareVersions() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(_IOSVersion(a).compare(_IOSVersion(b)), result);
        QCOMPARE(_IOSVersion(b).compare(_IOSVersion(a)) > 0, result < 0);
    }

    void cacheDirs() {
        const QString cacheRoot = g_dataSaveDir().absoluteFilePath(QStringLiteral("ios_cache"));
        IOSDevice device;
        QCOMPARE(device.cacheDir().absolutePath(), cacheRoot);
        QVERIFY(QFileInfo(cacheRoot).isDir());

        device.udid = QStringLiteral("0000aaaa");
        QCOMPARE(device.cacheDir().absolutePath(), cacheRoot + QStringLiteral("/0000aaaa"));
        QVERIFY(QFileInfo(cacheRoot + QStringLiteral("/0000aaaa")).isDir());

        // A hostile identifier stays one folder inside the cache.
        for (const char* hostile : {"../../escape", "..", "a/../../b"}) {
            device.udid = QString::fromLatin1(hostile);
            const QString dir = device.cacheDir().absolutePath();
            QVERIFY2(dir.startsWith(cacheRoot + QLatin1Char('/')) && QFileInfo(dir).absolutePath() == cacheRoot,
                     qPrintable(dir));
        }
        device.udid = QStringLiteral("0000aaaa");

        // The identifier is made file-name safe and the folder is not created.
        const QDir app = device.appDir(QStringLiteral("com.example/../evil"));
        QCOMPARE(app.absolutePath(),
                 cacheRoot + QStringLiteral("/0000aaaa/") + g_formatFileName("com.example/../evil"));
        QVERIFY(!app.absolutePath().contains(QLatin1String("/../")));
        QVERIFY(app.absolutePath().startsWith(cacheRoot + QStringLiteral("/0000aaaa/")));
        QCOMPARE(device.appDir(QStringLiteral("..")).absolutePath(), cacheRoot + QStringLiteral("/0000aaaa/_.."));
    }

    void backupSettings_data() {
        QTest::addColumn<QString>("cloud");
        QTest::addColumn<QString>("encrypt");
        QTest::addColumn<bool>("checkICloud");
        QTest::addColumn<bool>("checkEncrypt");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("warning");
        QTest::newRow("both on, both checked") << u"true"_s << u"true"_s << true << true << false << kICloudWarning;
        QTest::newRow("both on, encryption checked")
            << u"true"_s << u"true"_s << false << true << false << kEncryptWarning;
        QTest::newRow("encryption only") << u"false"_s << u"true"_s << true << true << false << kEncryptWarning;
        QTest::newRow("iCloud on, not checked") << u"true"_s << u"false"_s << false << true << true << QString();
        QTest::newRow("both off") << u"false"_s << u"false"_s << true << true << true << QString();
        QTest::newRow("no backup domain") << u"null"_s << u"null"_s << true << true << true << QString();
    }

    void backupSettings() {
        if (!simUnavailable.isEmpty()) {
            QSKIP(qPrintable(simUnavailable));
        }
        QFETCH(QString, cloud);
        QFETCH(QString, encrypt);
        QFETCH(bool, checkICloud);
        QFETCH(bool, checkEncrypt);
        QFETCH(bool, result);
        QFETCH(QString, warning);

        const QString udid = sim.create();
        QVERIFY(!udid.isEmpty());
        // "null" removes the value: a device without the backup domain.
        QVERIFY(sim.set(udid, u"Lockdown.com.apple.mobile.backup.CloudBackupEnabled"_s, cloud));
        QVERIFY(sim.set(udid, u"Lockdown.com.apple.mobile.backup.WillEncrypt"_s, encrypt));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.deviceFor(udid) != nullptr, 5000);

        IOSDevice device;
        device.udid = udid;
        device.device = receiver.deviceFor(udid);
        presenter.shown.clear();
        QCOMPARE(device.checkiTunesBackupSettings(checkICloud, checkEncrypt), result);
        if (warning.isEmpty()) {
            QCOMPARE(presenter.shown.size(), 0);
        } else {
            QCOMPARE(presenter.shown.size(), 1);
            QCOMPARE(presenter.shown.first().first, TipsPresenter::Warning);
            QCOMPARE(presenter.shown.first().second, warning);
        }
    }

private:
    SimStore sim;
    QString simUnavailable;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx;
    RecordingPresenter presenter;
};

QTEST_GUILESS_MAIN(TestIOSDevice)
#include "test_iosdevice.moc"
