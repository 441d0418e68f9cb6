// The app listing and app cache workers against the simulated device
// framework, driven directly with a reporter that records what they say.

#include "app/paths.h"
#include "cleaners/iosclearappcachethread.h"
#include "cleaners/iosloadappthread.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"
#include "tests/cleaners/recordingreporter.h"
#include "tests/device/simfixture.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString& name, const QByteArray& content) {
    QFile f(name);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace

class TestAppWorkers : public QObject {
    Q_OBJECT

private:
    SimStore m_sim;
    DeviceReceiver m_receiver;
    QString m_udid;
    IOSDevice m_device;
    QTranslator m_translator;

    QString container(const QString& appId) const { return m_sim.deviceDir(m_udid) + u"/files/AppDomain-"_s + appId; }
    bool setFault(const QString& name, const QString& value) {
        return m_sim.set(m_udid, u"Sim.Faults."_s + name, value);
    }

    QByteArray cachedIcon(const QString& appId) const {
        QFile f(m_device.appDir(appId).filePath(u"iTunesArtwork"_s));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    qint64 cacheOnDisk(const QString& appId) const {
        qint64 total = 0;
        for (const QString& entry : fileTree(container(appId) + u"/Library/Caches"_s).values() +
                                        fileTree(container(appId) + u"/Library/tmp"_s).values()) {
            total += treeSize(entry);
        }
        return total;
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        if (m_translator.load(u":/en.qm"_s)) {
            QCoreApplication::installTranslator(&m_translator);
        }
        m_udid = m_sim.create({u"--name"_s, u"Worker Phone"_s, u"--product-type"_s, u"iPhone10,3"_s, u"--ios"_s,
                               u"13.3"_s, u"--preset"_s, u"demo"_s});
        QVERIFY(!m_udid.isEmpty());
        g_listen_ctx = _mobiledevice_listen_ctx(&m_receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&g_listen_ctx));
        QVERIFY((m_device.device = m_receiver.waitFor(m_udid, 30000)));
        m_device.udid = m_udid;
        g_delDirCascade(m_device.cacheDir().absolutePath());
    }

    void listingAndIconCache() {
        // An icon larger than the copy buffer must arrive whole; one above the cap is not cached.
        const QString bigId = u"com.example.pixelpost"_s;
        QByteArray big(700000, '\0');
        for (int i = 0; i < big.size(); ++i) {
            big[i] = char((quint32(i) * 7919u) >> 3);
        }
        QVERIFY(writeFile(container(bigId) + u"/iTunesArtwork"_s, big));
        QVERIFY(writeFile(container(u"com.example.streamly"_s) + u"/iTunesArtwork"_s,
                          QByteArray(IOSLoadAppThread::kMaxIconBytes + 1, 'i')));
        RecordingReporter reporter(true);
        IOSLoadAppThread worker(m_device, reporter);
        worker.start();
        QVERIFY(worker.wait(120000));
        QCOMPARE(reporter.errors, QStringList());
        QCOMPARE(reporter.successes, QStringList{QString()});
        QVERIFY(worker.apps.size() >= 3);
        QCOMPARE(reporter.updates.last().percent, 100);
        for (const _IOSAppInfo& app : worker.apps) {
            QVERIFY(!app.appName.isEmpty());
            if (app.appId == QLatin1String("com.example.widgetkit")) {
                QCOMPARE(app.appName, app.appId);
            }
            const QString local = m_device.appDir(app.appId).filePath(u"iTunesArtwork"_s);
            QFile remote(container(app.appId) + u"/iTunesArtwork"_s);
            if (remote.open(QIODevice::ReadOnly) && remote.size() <= IOSLoadAppThread::kMaxIconBytes) {
                QCOMPARE(cachedIcon(app.appId), remote.readAll());
            } else {
                QVERIFY(!QFile::exists(local) && !QFile::exists(local + u".part"_s));
            }
        }
        QCOMPARE(cachedIcon(bigId), big);

        // A cached icon is never fetched again; a missing one is tried again.
        QVERIFY(writeFile(container(bigId) + u"/iTunesArtwork"_s, "changed on the device"));
        const QString ledgerly = u"com.example.ledgerly"_s;
        QVERIFY(writeFile(container(ledgerly) + u"/iTunesArtwork"_s, "now it has one"));
        RecordingReporter again(true);
        IOSLoadAppThread second(m_device, again);
        second.start();
        QVERIFY(second.wait(120000));
        QCOMPARE(again.successes.size(), 1);
        QCOMPARE(cachedIcon(bigId), big);
        QCOMPARE(cachedIcon(ledgerly), QByteArray("now it has one"));
    }

    void cacheWorker_data() {
        QTest::addColumn<bool>("scanOnly");
        QTest::newRow("scan") << true;
        QTest::newRow("clear") << false;
    }

    void cacheWorker() {
        QFETCH(bool, scanOnly);
        const QString noTmp = u"com.example.fitloop"_s;
        const QString plain = u"com.example.skycast"_s;
        // An app without Library/tmp counts its Caches alone.
        QDir(container(noTmp) + u"/Library/tmp"_s).removeRecursively();
        // The device refuses to delete one file, lists a vanished one, and offers its Documents
        // as a cache entry, resolving ".." if asked.
        QVERIFY(writeFile(container(plain) + u"/Library/Caches/locked.bin"_s, QByteArray(1000, 'l')));
        QVERIFY(setFault(u"AfcListExtra"_s, uR"({"/Library/Caches": ["../../Documents", "gone.tmp"]})"_s));
        QVERIFY(setFault(u"AfcDotDot"_s, u"true"_s));
        QVERIFY(setFault(u"AfcRemoveRefused"_s, u"[\"/Library/Caches/locked.bin\"]"_s));
        const qint64 expectNoTmp = cacheOnDisk(noTmp);
        const qint64 expectPlain = cacheOnDisk(plain);
        QVERIFY(expectNoTmp > 0 && expectPlain > 0);

        const QList<_IOSAppInfo> apps{{noTmp, u"FitLoop"_s}, {plain, u"SkyCast"_s}};
        RecordingReporter reporter(true);
        IOSClearAppCacheThread worker(m_device, apps, reporter);
        worker.scanOnly = scanOnly;
        worker.start();
        QVERIFY(worker.wait(120000));
        for (const QString& fault : {u"AfcListExtra"_s, u"AfcDotDot"_s, u"AfcRemoveRefused"_s}) {
            QVERIFY(setFault(fault, u"null"_s));
        }
        QCOMPARE(reporter.errors, QStringList());
        for (const QString& id : {noTmp, plain}) {
            QVERIFY(QFile::exists(container(id) + u"/Documents/notes.txt"_s));
        }
        QCOMPARE(worker.appCacheBytes.value(noTmp), expectNoTmp);
        QCOMPARE(worker.appCacheBytes.value(plain), expectPlain);
        QCOMPARE(worker.totalScanBytes(), expectNoTmp + expectPlain);
        QCOMPARE(reporter.updates.first().status, scanOnly ? u"Scanning Apps..."_s : u"Deleting App cache..."_s);
        QCOMPARE(reporter.updates.at(1).status, scanOnly ? u"Scanning FitLoop..."_s : u"Deleting FitLoop cache..."_s);
        QCOMPARE(reporter.updates.at(1).percent, 50);
        if (scanOnly) {
            QCOMPARE(worker.clearedBytes, qint64(0));
            QCOMPARE(reporter.successes, QStringList{QString()});
            QCOMPARE(cacheOnDisk(plain), expectPlain);
        } else {
            // Only what the device really deleted counts as freed.
            QCOMPARE(worker.clearedBytes, expectNoTmp + expectPlain - 1000);
            QCOMPARE(reporter.successes,
                     QStringList{u"Successfully deleted %2 App cache (Total: %1)."_s.arg(
                         formatSpaceShow(expectNoTmp + expectPlain), formatSpaceShow(worker.clearedBytes))});
            QCOMPARE(cacheOnDisk(plain), qint64(1000));
            QVERIFY(QDir(container(plain) + u"/Library/tmp"_s).exists());
            QCOMPARE(QDir(container(plain) + u"/Library/Caches"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{u"locked.bin"_s});
            QVERIFY(QFile::exists(container(plain) + u"/Library/Preferences/settings.plist"_s));
        }
        QFile::remove(container(plain) + u"/Library/Caches/locked.bin"_s);
    }

    void emptyListStillSucceeds() {
        const QList<_IOSAppInfo> none;
        RecordingReporter reporter(true);
        IOSClearAppCacheThread worker(m_device, none, reporter);
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(reporter.successes, QStringList{u"Successfully deleted 0.0 KB App cache (Total: 0.0 KB)."_s});
        QCOMPARE(worker.totalScanBytes(), qint64(0));
    }

    void failureEndsWithItsError_data() {
        QTest::addColumn<QString>("drop"); // Sim.Faults.DropAfterBytes for the run, or empty
        QTest::addColumn<QString>("error");
        QTest::newRow("app not installed") << QString() << u"can not find com.example.notinstalled"_s;
        // A broken connection mid-scan is an error, not a smaller cache.
        QTest::newRow("connection drops mid-scan") << u"1000"_s << u"read AFC "_s;
    }

    void failureEndsWithItsError() {
        QFETCH(QString, drop);
        QFETCH(QString, error);
        const QString good = u"com.example.tunewave"_s;
        const qint64 expectGood = cacheOnDisk(good);
        const QList<_IOSAppInfo> apps{{good, u"TuneWave"_s},
                                      {u"com.example.notinstalled"_s, u"Ghost"_s},
                                      {u"com.example.quickcart"_s, u"QuickCart"_s}};
        QVERIFY(drop.isEmpty() || setFault(u"DropAfterBytes"_s, drop));
        RecordingReporter reporter(true);
        IOSClearAppCacheThread worker(m_device, apps, reporter);
        worker.scanOnly = true;
        worker.start();
        QVERIFY(worker.wait(60000));
        QVERIFY(setFault(u"DropAfterBytes"_s, u"null"_s));
        QCOMPARE(reporter.successes, QStringList());
        QCOMPARE(reporter.errors.size(), 1);
        QVERIFY2(reporter.errors.first().startsWith(error), qPrintable(reporter.errors.first()));
        QCOMPARE(worker.appCacheBytes.value(good, -1), drop.isEmpty() ? expectGood : -1);
        QVERIFY(!worker.appCacheBytes.contains(u"com.example.quickcart"_s));
    }

    void cancelFlagStopsSilently_data() {
        QTest::addColumn<bool>("listing");
        QTest::newRow("app listing") << true;
        QTest::newRow("cache clear") << false;
    }

    void cancelFlagStopsSilently() {
        QFETCH(bool, listing);
        const QList<_IOSAppInfo> apps{{u"com.example.bytenews"_s, u"ByteNews"_s}};
        const qint64 before = cacheOnDisk(apps.first().appId);
        g_delDirCascade(m_device.appDir(apps.first().appId).absolutePath());
        RecordingReporter reporter(true);
        reporter.canceled = true;
        IOSLoadAppThread lister(m_device, reporter);
        IOSClearAppCacheThread clearer(m_device, apps, reporter);
        QThread& worker = listing ? static_cast<QThread&>(lister) : clearer;
        worker.start();
        QVERIFY(worker.wait(60000));
        QCOMPARE(reporter.successes, QStringList());
        QCOMPARE(reporter.errors, QStringList());
        QCOMPARE(cacheOnDisk(apps.first().appId), before);
        QVERIFY(lister.apps.isEmpty());
        QVERIFY(!QFile::exists(m_device.appDir(apps.first().appId).filePath(u"iTunesArtwork"_s)));
    }
};

QTEST_GUILESS_MAIN(TestAppWorkers)
#include "tst_appworkers.moc"
