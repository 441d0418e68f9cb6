// Device notifications, lockdown sessions and the device record (versions,
// cache folders, backup settings) against the simulator, loaded by path and
// driven with the simdevice tool.

#include "app/paths.h"
#include "device/iosdevice.h"
#include "device/mobiledevice.h"
#include "tests/app/recordingpresenter.h"
#include "tests/device/simfixture.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kOpenMessage = QStringLiteral(
    "Please launch iTunes first and then re-connect your iPhone. Once your iPhone is visible in iTunes, please "
    "restart Quorvindale software.<br/><br/>Error code: ");

QString errorOf(const std::function<void()>& op) {
    try {
        op();
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

// Declares udid and device for a fresh simulated device set up with the given pairs.
#define FRESH_DEVICE(setup)                                                                                            \
    QString udid;                                                                                                      \
    am_device* device = freshDevice(&udid, setup);                                                                     \
    QVERIFY(device)

class TestMobileDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        Tips::setPresenter(&presenter);
        if (!sim.init(&simUnavailable)) {
            return;
        }
        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        // Two subscriptions deliver every arrival twice: the listener must report it once.
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY(mobiledevice_listen(&ctx));
    }

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
        QCOMPARE(device.appDir(QStringLiteral("..")).absolutePath(), cacheRoot + QStringLiteral("/0000aaaa/_.."));
    }

    void cleanupTestCase() { Tips::setPresenter(nullptr); }

    void init() {
        if (!simUnavailable.isEmpty()) {
            QSKIP(qPrintable(simUnavailable));
        }
    }

    void arrivalsAreReportedOnce() {
        FRESH_DEVICE({});
        // Give a duplicate the time to show up; after a replug the device is reported again.
        QTest::qWait(1500);
        QCOMPARE(receiver.count(true, device), 1);
        QCOMPARE(mobiledevice_device_uid(device), udid);
        const int arrivals = receiver.count(true);
        QVERIFY(sim.unplug(udid));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.count(false, device) >= 1, 5000);
        QVERIFY(sim.plug(udid));
        QTRY_COMPARE_WITH_TIMEOUT(receiver.count(true), arrivals + 1, 5000);
        QTest::qWait(1500);
        QCOMPARE(receiver.count(true), arrivals + 1);
        QVERIFY(receiver.deviceFor(udid));
    }

    void refusedOpen_data() {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("code"); // empty: whatever the device answers
        QTest::newRow("connect refused") << QStringList{"Sim.Faults.AMDeviceConnect", "-402653163"} << "AMDeviceConnect"
                                         << "-402653163";
        QTest::newRow("fault on pair") << QStringList{"Sim.Faults.AMDevicePair", "-402653183"} << "AMDevicePair"
                                       << "-402653183";
        QTest::newRow("user declines trust") << QStringList{"Sim.TrustAccepted", "false"} << "AMDevicePair"
                                             << "";
        QTest::newRow("validation fails")
            << QStringList{"Sim.Faults.AMDeviceValidatePairing", "-402653147"} << "AMDeviceValidatePairing"
            << "-402653147";
        QTest::newRow("session refused") << QStringList{"Sim.Faults.AMDeviceStartSession", "-402653155"}
                                         << "AMDeviceStartSession"
                                         << "-402653155";
    }

    void refusedOpen() {
        QFETCH(QStringList, setup);
        QFETCH(QString, step);
        QFETCH(QString, code);
        FRESH_DEVICE(setup);
        const QString error = errorOf([&] { mobiledevice_info(device, {QStringLiteral("DeviceName")}, QString()); });
        // The step's own code, or for a declined trust whatever the device answered.
        QVERIFY2(error.startsWith(kOpenMessage + step + u'(') && error.endsWith(code + u')'), qPrintable(error));
        QString openError;
        QVERIFY(device_open(device, openError) != 0);
        QCOMPARE(openError, error);
        // Each failed open gave its connection back: the failing step, called alone, finds none.
        const auto again = reinterpret_cast<int (*)(am_device*)>(mobiledevice_loader_mf(step.toLatin1().constData()));
        QCOMPARE(again(device), -402653163);
    }

    void valuesAndService() {
        FRESH_DEVICE({});
        const QList<CFType> values = mobiledevice_info(
            device,
            {QStringLiteral("UniqueDeviceID"), QStringLiteral("NoSuchKeyAnywhere"), QStringLiteral("ProductType")},
            QString());
        QCOMPARE(values.size(), 3);
        QCOMPARE(values[0].CFStringQString(), udid);
        QVERIFY(values[1].isNull());
        QVERIFY(values[2].isCFString());

        // An empty key with a domain gives the whole domain.
        const QList<CFType> disk = mobiledevice_info(device, {QString()}, QStringLiteral("com.apple.disk_usage"));
        QCOMPARE(disk.size(), 1);
        QVERIFY(disk[0].isCFDictionary());
        QVERIFY(disk[0].get(QStringLiteral("TotalDataCapacity")).CFNumberInt64() > 0);

        QVERIFY(mobiledevice_info(device, {}, QString()).isEmpty());

        const QString domain = QStringLiteral("com.apple.mobile.tethered_sync");
        CFType value = CFType::createCFDictionary();
        value.put(QStringLiteral("DisableTethered"), CFType::createCFBoolean(true));
        QCOMPARE(mobiledevice_set(device, domain, QStringLiteral("com.apple.Bookmarks"), value), 0);
        const QList<CFType> back = mobiledevice_info(device, {QStringLiteral("com.apple.Bookmarks")}, domain);
        QCOMPARE(back.size(), 1);
        QVERIFY(back[0].get(QStringLiteral("DisableTethered")).CFNumberBool());

        // A started service outlives the session, which is closed already.
        unsigned int socket = 0;
        mobiledevice_startservice(device, "com.apple.mobile.installation_proxy", socket);
        QVERIFY(socket != 0);
        QCOMPARE(mobiledevice_device_uid(device), udid);
        QCOMPARE(mobiledevice_closeservice(socket), 0);
        QCOMPARE(mobiledevice_closeservice(socket), -1);
    }

    void serviceFailureText_data() {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("description");
        QTest::newRow("named device") << QStringList{"Lockdown.DeviceName",     "Ann's iPhone",
                                                     "Lockdown.ProductType",    "iPhone8,1",
                                                     "Lockdown.ProductVersion", "9.3.2"}
                                      << "Ann's iPhone, iPhone8,1, iOS 9.3.2";
        QTest::newRow("name cannot be read")
            << QStringList{"Sim.Faults.CopyValueFail", "[\"DeviceName\"]"} << "Unknown";
    }

    void serviceFailureText() {
        QFETCH(QStringList, setup);
        QFETCH(QString, description);
        setup << QStringLiteral("Sim.Faults.StartService.com.apple.afc") << QStringLiteral("-402653150");
        FRESH_DEVICE(setup);
        unsigned int socket = 0;
        const QString error = errorOf([&] { mobiledevice_startservice(device, "com.apple.afc", socket); });
        QCOMPARE(error,
                 QStringLiteral("<br/><br/>device:%1 <br/><br/>Please turn off Wifi Sync on iTunes or disconnect "
                                "computer internet connections to try again.<br/>Error code: "
                                "AMDeviceStartService(com.apple.afc)=-402653150")
                     .arg(description));
    }

    // The warning shown names what to turn off: iCloud backup before encryption.
    void backupSettings_data() {
        QTest::addColumn<QString>("cloud"); // "null" removes the value: no backup domain
        QTest::addColumn<QString>("encrypt");
        QTest::addColumn<bool>("checkICloud");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("warning");
        QTest::newRow("both on, both checked") << u"true"_s << u"true"_s << true << false << u"turn off iCloud"_s;
        QTest::newRow("both on, encryption checked") << u"true"_s << u"true"_s << false << false << u"encrypted"_s;
        QTest::newRow("encryption only") << u"false"_s << u"true"_s << true << false << u"encrypted"_s;
        QTest::newRow("iCloud on, not checked") << u"true"_s << u"false"_s << false << true << QString();
        QTest::newRow("both off") << u"false"_s << u"false"_s << true << true << QString();
        QTest::newRow("no backup domain") << u"null"_s << u"null"_s << true << true << QString();
    }

    void backupSettings() {
        QFETCH(QString, cloud);
        QFETCH(QString, encrypt);
        QFETCH(bool, checkICloud);
        QFETCH(QString, warning);
        FRESH_DEVICE((QStringList{u"Lockdown.com.apple.mobile.backup.CloudBackupEnabled"_s, cloud,
                                  u"Lockdown.com.apple.mobile.backup.WillEncrypt"_s, encrypt}));
        IOSDevice record;
        record.udid = udid;
        record.device = device;
        presenter.shown.clear();
        QTEST(record.checkiTunesBackupSettings(checkICloud, true), "result");
        QCOMPARE(presenter.shown.size(), warning.isEmpty() ? 0 : 1);
        QVERIFY(warning.isEmpty() || (presenter.shown.first().first == TipsPresenter::Warning &&
                                      presenter.shown.first().second.contains(warning)));
    }

private:
    // A fresh device, seen by the listener; null on failure.
    am_device* freshDevice(QString* udid, const QStringList& setup) {
        *udid = sim.create();
        bool ok = !udid->isEmpty();
        for (qsizetype i = 0; ok && i + 1 < setup.size(); i += 2) {
            ok = sim.set(*udid, setup[i], setup[i + 1]);
        }
        return ok ? receiver.waitFor(*udid) : nullptr;
    }

    SimStore sim;
    QString simUnavailable;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx;
    RecordingPresenter presenter;
};

QTEST_GUILESS_MAIN(TestMobileDevice)
#include "test_mobiledevice.moc"
