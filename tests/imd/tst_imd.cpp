// The device layer on libvexlar-imd.so: the unmodified libimobiledevice and
// libusbmuxd talk to the simulator's usbmuxd, which serves a simulated phone.
// The cases build on each other in the order declared (one subscription, one
// device).

#include "cleaners/iosclearappcachethread.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QScopeGuard>

using namespace Qt::StringLiterals;

namespace {

class SilentReporter final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString&, int, const QString&) override {}
    void invokeErrorOccurred(const QString& err) override { errors.append(err); }
    void invokeSucceed(const QString&) override {}
    void invokeTipsWait(const QString&) override { tipsWaiting = false; }
    QStringList errors;
};

template <typename F>
QString errorOf(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

bool dropEscrowBag(const QString& recordPath) { // the record is XML
    QFile file(recordPath);
    const QString xml = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    const QString without = QString(xml).remove(QRegularExpression(u"<key>EscrowBag</key>\\s*<data>[^<]*</data>"_s));
    file.close();
    return without != xml && file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(without.toUtf8()) > 0;
}

qint64 bytesBelow(const QString& dir) {
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        total += it.nextFileInfo().size();
    }
    return total;
}

} // namespace

class TestImd : public QObject {
    Q_OBJECT

private:
    SimStore m_sim;
    MuxDaemon m_mux;
    DeviceReceiver m_receiver;
    QString m_udid;
    am_device* m_dev = nullptr;

    bool replugUntrusted(const QString& trust, bool afterFirstArrival = false) {
        am_device* old = m_dev;
        return replugUnpaired(m_sim, m_mux, m_udid, trust, afterFirstArrival) &&
               QTest::qWaitFor([&] { return (m_dev = m_receiver.deviceFor(m_udid)) != old; }, 10000);
    }

    QString deviceName() { return mobiledevice_info(m_dev, {u"DeviceName"_s}, QString()).value(0).CFStringQString(); }

private slots:
    void initTestCase() {
        QString why;
        if (!m_mux.start(m_sim.path(), &why)) {
            QSKIP(qPrintable(why));
        }
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        m_udid = m_sim.create({u"--name"_s, u"Mux Phone"_s, u"--product-type"_s, u"iPhone12,1"_s, u"--ios"_s, u"15.4"_s,
                               u"--preset"_s, u"demo"_s});
        QVERIFY(!m_udid.isEmpty());
        g_listen_ctx = _mobiledevice_listen_ctx(&m_receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&g_listen_ctx));
        QVERIFY((m_dev = m_receiver.waitFor(m_udid, 30000)));
        QVERIFY(replugUntrusted(u"pending"_s, true));
    }

    // The trust dialog's answers, in order; trustedWithoutReplug pairs.
    void pairing_data() {
        QTest::addColumn<QString>("trust");
        QTest::addColumn<QString>("lockdownError");
        QTest::addColumn<QString>("failure");
        QTest::newRow("dialog pending") << u"pending"_s << u"null"_s << u"AMDevicePair(-402653030)"_s;
        QTest::newRow("user denied") << u"denied"_s << u"null"_s << u"AMDevicePair(-402653034)"_s;
        QTest::newRow("passcode protected")
            << u"pending"_s << uR"({"Pair": "PasswordProtected"})"_s << u"AMDevicePair(-402653077)"_s;
    }

    void pairing() {
        QFETCH(QString, trust);
        QFETCH(QString, lockdownError);
        QFETCH(QString, failure);
        QVERIFY(m_sim.set(m_udid, u"Sim.TrustAccepted"_s, trust));
        QVERIFY(m_sim.set(m_udid, u"Sim.Faults.LockdownError"_s, lockdownError));
        const auto cleared = qScopeGuard([&] { m_sim.set(m_udid, u"Sim.Faults.LockdownError"_s, u"null"_s); });
        const QString error = errorOf([&] { QCOMPARE(deviceName(), u"Mux Phone"_s); });
        QVERIFY2(failure.isEmpty() ? error.isEmpty() : error.endsWith(u"Error code: "_s + failure), qPrintable(error));
        QCOMPARE(QFileInfo::exists(m_mux.pairRecord(m_udid)), failure.isEmpty());
    }

    // Trusted on the phone after the first attempt: usbmuxd pairs it and the phone is announced again, usable.
    void trustedWithoutReplug() {
        QVERIFY(replugUntrusted(u"pending"_s));
        am_device* waiting = m_dev;
        QVERIFY(errorOf([&] { deviceName(); }).endsWith(u"AMDevicePair(-402653030)"_s));
        QVERIFY(m_sim.set(m_udid, u"Sim.TrustAccepted"_s, u"accepted"_s));
        QTRY_VERIFY_WITH_TIMEOUT((m_dev = m_receiver.deviceFor(m_udid)) != waiting, 20000);
        QCOMPARE(deviceName(), u"Mux Phone"_s);
    }

    // A record the device no longer knows fails once, is removed, and the next try pairs again.
    void staleRecordIsReplaced() {
        QDir deviceSide(m_sim.deviceDir(m_udid) + u"/lockdown"_s);
        const QStringList hosts = deviceSide.entryList({u"*.plist"_s});
        QCOMPARE(hosts.size(), 1);
        QVERIFY(deviceSide.remove(hosts.first()));
        const QString error = errorOf([&] { deviceName(); });
        QVERIFY2(error.endsWith(u"AMDeviceStartSession(-402653147)"_s), qPrintable(error));
        QVERIFY(!QFileInfo::exists(m_mux.pairRecord(m_udid)));
        QCOMPARE(deviceName(), u"Mux Phone"_s);
        QVERIFY(QFileInfo::exists(m_mux.pairRecord(m_udid)));
        QVERIFY(m_sim.unplug(m_udid) && deviceSide.remove(deviceSide.entryList({u"*.plist"_s}).value(0)));
        QVERIFY(m_sim.plug(m_udid)); // stale on arrival: usbmuxd pairs the phone again before anyone asks
        QTRY_COMPARE_WITH_TIMEOUT(deviceSide.entryList({u"*.plist"_s}).size(), 1, 10000);
        QCOMPARE((m_dev = m_receiver.deviceFor(m_udid), deviceName()), u"Mux Phone"_s);
    }

    // A failed session that is not the device forgetting the host keeps the record other tools share.
    void sessionFailureKeepsRecord_data() {
        QTest::addColumn<QString>("fault");
        QTest::newRow("TLS handshake broken") << uR"(SessionTlsBreak true)"_s;
        QTest::newRow("pair record refused") << uR"(LockdownError {"StartSession": "InvalidPairRecord"})"_s;
    }
    void sessionFailureKeepsRecord() {
        QFETCH(QString, fault);
        const QString key = u"Sim.Faults."_s + fault.section(' ', 0, 0);
        QVERIFY(m_sim.set(m_udid, key, fault.section(' ', 1, -1)) && !errorOf([&] { deviceName(); }).isEmpty());
        QVERIFY(m_sim.set(m_udid, key, u"null"_s) && QFileInfo::exists(m_mux.pairRecord(m_udid)));
        QCOMPARE(deviceName(), u"Mux Phone"_s);
    }

    void valuesAndWrites() {
        const QList<CFType> v =
            mobiledevice_info(m_dev, {u"ProductVersion"_s, u"NoSuchKey"_s, u"UniqueDeviceID"_s}, QString());
        QCOMPARE(v.size(), 3);
        QCOMPARE(v.at(0).CFStringQString(), u"15.4"_s);
        QVERIFY(!v.at(1).isCFString() && !v.at(1).isCFDictionary());
        QCOMPARE(v.at(2).CFStringQString(), m_udid);
        const CFType disk = mobiledevice_info(m_dev, {QString()}, u"com.apple.disk_usage"_s).value(0);
        QVERIFY(disk.get(u"TotalDataCapacity"_s).CFNumberInt64(-1) >
                disk.get(u"AmountDataAvailable"_s).CFNumberInt64(-1));
        const QString domain = u"com.apple.mobile.tethered_sync"_s;
        CFType value = CFType::createCFDictionary();
        value.put(u"DisableTethered"_s, CFType::createCFBoolean(true));
        QCOMPARE(mobiledevice_set(m_dev, domain, u"com.apple.Contacts"_s, value), 0);
        const CFType back = mobiledevice_info(m_dev, {u"com.apple.Contacts"_s}, domain).value(0);
        QVERIFY(back.get(u"DisableTethered"_s).CFNumberBool(false));
    }

    // App caches cleared over house arrest and AFC through the TLS relay (plain sockets: the window's imd twin).
    void appCaches() {
        QVERIFY(m_sim.set(m_udid, u"Sim.ServiceSSL"_s, uR"(["com.apple.mobile.house_arrest", "com.apple.afc"])"_s));
        const auto plainAgain = qScopeGuard([&] { m_sim.set(m_udid, u"Sim.ServiceSSL"_s, u"null"_s); });
        const QString appId = u"com.example.skycast"_s;
        const QString container = m_sim.deviceDir(m_udid) + u"/files/AppDomain-"_s + appId;
        QDir().mkpath(container + u"/Library/Caches/deep"_s);
        QFile big(container + u"/Library/Caches/deep/blob.bin"_s);
        QVERIFY(big.open(QIODevice::WriteOnly) && big.write(QByteArray(300000, 'c')) == 300000);
        big.close();
        const qint64 cached = bytesBelow(container + u"/Library/Caches"_s) + bytesBelow(container + u"/Library/tmp"_s);
        IOSDevice device;
        device.device = m_dev;
        device.udid = m_udid;
        const QList<_IOSAppInfo> apps{{u"com.example.gone"_s, u"Gone"_s}, {appId, u"SkyCast"_s}}; // the first refused
        SilentReporter reporter;
        IOSClearAppCacheThread worker(device, apps, reporter);
        worker.start();
        QVERIFY(worker.wait(120000));
        QVERIFY2(reporter.errors.isEmpty(), qPrintable(reporter.errors.join(u'\n')));
        QCOMPARE(worker.clearedBytes, cached);
        QCOMPARE(worker.refusedApps, QStringList{u"com.example.gone"_s});
        QCOMPARE(bytesBelow(container + u"/Library/Caches"_s), qint64(0));
        QVERIFY(QFile::exists(container + u"/Documents/notes.txt"_s));
    }

    // A locked device opens the backup service to the host with its escrow bag; refusals keep their meaning.
    void serviceStarts_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("advice");
        QTest::addColumn<int>("code");
        const QString unlock = u"keep it unlocked and try again."_s;
        QTest::newRow("locked, escrow bag sent") << u"DeviceLocked"_s << u"true"_s << QString() << 0;
        QTest::newRow("passcode protected")
            << u"LockdownError"_s << uR"({"StartService": "PasswordProtected"})"_s << unlock << -402653077;
        QTest::newRow("escrow locked") << u"LockdownError"_s << uR"({"StartService": "EscrowLocked"})"_s << unlock
                                       << -402653077;
        QTest::newRow("prohibited") << u"LockdownError"_s << uR"({"StartService": "ServiceProhibited"})"_s
                                    << u"to try again."_s << -402653049;
        QTest::newRow("pair record without escrow bag")
            << u"DeviceLocked"_s << u"true"_s << u"if it asks, and try again."_s << -402653007;
    }

    void serviceStarts() {
        QFETCH(QString, fault);
        QFETCH(QString, value);
        QFETCH(QString, advice);
        QFETCH(int, code);
        QVERIFY(code != kAMDMissingEscrowBagError || dropEscrowBag(m_mux.pairRecord(m_udid)));
        QVERIFY(m_sim.set(m_udid, u"Sim.Faults."_s + fault, value));
        const auto cleared = qScopeGuard([&] { m_sim.set(m_udid, u"Sim.Faults."_s + fault, u"null"_s); });
        unsigned int socket = 0;
        const QString error = errorOf([&] { mobiledevice_startservice(m_dev, "com.apple.mobilebackup2", socket); });
        const QString failure =
            u"%1<br/>Error code: AMDeviceStartService(com.apple.mobilebackup2)=%2"_s.arg(advice).arg(code);
        QVERIFY2(code == 0 ? error.isEmpty() : error.endsWith(failure), qPrintable(error));
        QFile record(m_mux.pairRecord(m_udid)); // a record without a bag was replaced by a new pairing
        QVERIFY(record.open(QIODevice::ReadOnly) && record.readAll().contains("EscrowBag"));
        if (code == 0) {
            // The device's version offer arrives on the caller's own socket.
            QVERIFY(mobiledevice_recmsg(socket, CFType(), 10000).isCFArray());
            mobiledevice_closeservice(socket);
        }
    }

    // Pulled out while a service is in use: the socket ends, the removal is reported, the handle is dead.
    void unplugMidTransfer() {
        unsigned int socket = 0;
        mobiledevice_startservice(m_dev, "com.apple.afc", socket);
        QVERIFY(m_sim.unplug(m_udid));
        char header[40];
        QVERIFY(mobiledevice_recv_all(socket, header, sizeof header, 10000) < int(sizeof header));
        mobiledevice_closeservice(socket);
        QTRY_COMPARE_WITH_TIMEOUT(m_receiver.count(false, m_dev), 1, 10000);
        QVERIFY(errorOf([&] { deviceName(); }).contains(u"AMDeviceConnect("_s));
        QVERIFY(m_sim.plug(m_udid));
        QTRY_VERIFY_WITH_TIMEOUT(m_receiver.deviceFor(m_udid) != m_dev, 10000);
        m_dev = m_receiver.deviceFor(m_udid);
        QCOMPARE(deviceName(), u"Mux Phone"_s);
    }
};

QTEST_GUILESS_MAIN(TestImd)
#include "tests/device/moc_devicereceiver.cpp"
#include "tst_imd.moc"
