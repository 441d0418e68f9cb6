// Device notifications, lockdown sessions and the device record (versions,
// cache folders, backup settings) against the simulator, loaded by path and
// driven with the simdevice tool.

#include "app/paths.h"
#include "device/iosdevice.h"
#include "device/mobiledevice.h"
#include "tests/app/datarows.h"
#include "tests/app/recordingpresenter.h"
#include "tests/device/simfixture.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/device/test_mobiledevice.json");

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

    // Each version is parsed and printed back, then compared with another (both ways round).
    void versions_data() { addRowsFrom(kTables, "versions"); }

    void versions() {
        QFETCH(QString, text);
        QFETCH(QString, other);
        QFETCH(int, result);
        QTEST(_IOSVersion(text).parts, "parts");
        QTEST(_IOSVersion(text).toString(), "back");
        QCOMPARE(_IOSVersion(text).compare(_IOSVersion(other)), result);
        QCOMPARE(_IOSVersion(other).compare(_IOSVersion(text)) > 0, result < 0);
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

    void refusedOpen_data() { addRowsFrom(kTables, "refusedOpen"); }

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

    void serviceFailureText_data() { addRowsFrom(kTables, "serviceFailureText"); }

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
    void backupSettings_data() { addRowsFrom(kTables, "backupSettings"); }

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
