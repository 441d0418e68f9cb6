// DeviceLink and mobilebackup2, notification proxy, file relay and mobilesync
// clients against simulated devices over real sockets. What the clients put
// on the wire is read back by wirepeer.py (plistlib, gzip and its own cpio
// reader), independently of our codecs. Rows are in test_protocols.json.

#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_backup2.h"
#include "services/mobiledevice_filerelay.h"
#include "services/mobiledevice_link.h"
#include "services/mobiledevice_notification.h"
#include "services/mobiledevice_sync.h"
#include "tests/app/datarows.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>
#include <algorithm>
#include <functional>
#include <poll.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {

QJsonArray peer(const QString& mode, const QString& file) {
    QProcess p;
    p.start(QStringLiteral(VEXLAR_PYTHON),
            {QStringLiteral(VEXLAR_SOURCE_DIR "/tests/protocols/wirepeer.py"), mode, file});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        qWarning("wirepeer.py: %s", p.readAllStandardError().constData());
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array();
}

QString thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

// Reads what is left until the device hangs up, so its capture is complete.
QByteArray readToEnd(unsigned int socket) {
    QByteArray all;
    char buffer[65536];
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        all.append(buffer, n);
    }
    return all;
}

struct Service {
    unsigned int socket = 0;
    ~Service() {
        if (socket) {
            mobiledevice_closeservice(socket);
        }
    }
};

const QString kContacts = u"com.apple.Contacts"_s;
const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/protocols/test_protocols.json");

} // namespace

class TestProtocols : public QObject {
    Q_OBJECT

    SimStore sim;
    QString simUnavailable;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx;
    QTemporaryDir work;
    QString udid;
    am_device* device = nullptr;

    // A fresh device with the given `simdevice set` pairs and create options;
    // captures go to a fresh file.
    QString fresh(const QStringList& faults, const QStringList& options = {}) {
        udid = sim.create(options);
        for (qsizetype i = 0; i + 1 < faults.size(); i += 2) {
            if (!sim.set(udid, faults[i], faults[i + 1])) {
                return QString();
            }
        }
        device = receiver.waitFor(udid);
        const QString capture = work.filePath(udid + u".capture"_s);
        qputenv("VEXLAR_SIM_CAPTURE", QFile::encodeName(capture));
        return device ? capture : QString();
    }

private slots:
    void initTestCase() {
        if (!sim.init(&simUnavailable)) {
            return;
        }
        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&ctx));
    }

    void init() {
        if (!simUnavailable.isEmpty()) {
            QSKIP(qPrintable(simUnavailable));
        }
    }

    void backup2Hello_data() { addRowsFrom(kRows, "backup2Hello"); }

    // The version exchange, then (icloud: "on", "off", "off other" for another device's identifier) the
    // cloud backup switch, whose setting the backup-based cleanings read (cloudAfter: the device's value).
    void backup2Hello() {
        QFETCH(QStringList, options);
        QFETCH(QStringList, faults);
        QFETCH(QStringList, versionList);
        QFETCH(QString, chosen);
        QFETCH(QString, icloud);
        QFETCH(QString, error);
        QFETCH(QString, cloudAfter);
        QList<double> versions;
        std::ranges::transform(versionList, std::back_inserter(versions),
                               [](const QString& v) { return v.toDouble(); });
        QVERIFY(!fresh(faults, options).isEmpty());
        Service s;
        double got = -1;
        const QString text = thrown([&] {
            mobiledevice_backup2_start(device, s.socket);
            got = mobiledevice_backup2_version_exchange(s.socket, versions.data(), static_cast<char>(versions.size()));
            if (!icloud.isEmpty()) {
                mobiledevice_backup2_set_enable_icloud(s.socket, icloud.endsWith("other"_L1) ? u"other"_s : udid,
                                                       icloud.startsWith("on"_L1));
            }
        });
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        if (error.isEmpty()) {
            QCOMPARE(got, chosen.toDouble());
        }
        if (!cloudAfter.isEmpty()) {
            const CFType value =
                mobiledevice_info(device, {u"CloudBackupEnabled"_s}, u"com.apple.mobile.backup"_s).value(0);
            QVERIFY(value.isCFBoolean());
            QCOMPARE(value.CFNumberBool(), cloudAfter == "on"_L1);
        }
    }

    void backup2ChangePassword_data() { addRowsFrom(kRows, "backup2ChangePassword"); }

    // The phone's own backup password; whatever was kept opens the next change, and a refusal changes nothing.
    void backup2ChangePassword() {
        QFETCH(QStringList, options);
        QFETCH(QString, oldPassword);
        QFETCH(QString, newPassword);
        QFETCH(QString, error);
        QFETCH(bool, encryptedAfter);
        QVERIFY(!fresh({}, options).isEmpty());
        const auto change = [this](const QString& from, const QString& to) {
            return thrown([&] {
                Service s;
                double versions[] = {2.0, 2.1};
                mobiledevice_backup2_start(device, s.socket);
                mobiledevice_backup2_version_exchange(s.socket, versions, 2);
                mobiledevice_backup2_change_password(s.socket, udid, from, to);
            });
        };
        const QString text = change(oldPassword, newPassword);
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        const CFType value = mobiledevice_info(device, {u"WillEncrypt"_s}, u"com.apple.mobile.backup"_s).value(0);
        QCOMPARE(value.isCFBoolean() && value.CFNumberBool(), encryptedAfter);
        if (encryptedAfter) {
            const QString kept = error.isEmpty() ? newPassword : options.value(1);
            QCOMPARE(change(kept, QString()), QString());
        }
    }

    // Every message of a session as plistlib reads it from the device's side.
    void backup2Wire() {
        // The device answers the backup requests at once instead of starting a transfer.
        const QString capture = fresh({u"Sim.Faults.Backup2ErrorCode"_s, u"22"_s});
        QVERIFY(!capture.isEmpty());
        Service s;
        QList<double> versions{2.0, 2.1};
        int code = 0;
        const QString text = thrown([&] {
            mobiledevice_backup2_start(device, s.socket);
            mobiledevice_backup2_version_exchange(s.socket, versions.data(), 2);
            mobiledevice_backup2_set_enable_icloud(s.socket, udid, false);
            mobiledevice_backup2_request_backup(s.socket, udid, true);
            mobiledevice_backup2_recv_dlmessage_response(s.socket, code, CFType());
            mobiledevice_backup2_request_backup(s.socket, udid, false);
            mobiledevice_backup2_recv_dlmessage_response(s.socket, code, CFType());
            mobiledevice_backup2_send_status_response(s.socket, 0, QString(), CFType());
            mobiledevice_link_sc_disconnect(s.socket, QString());
        });
        QVERIFY2(text.isEmpty(), qPrintable(text));
        readToEnd(s.socket);
        // The messages as the device must see them ("%1": this device's identifier).
        QFile expected(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/protocols/backup2_wire.json"));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(peer(u"frames"_s, capture),
                 QJsonDocument::fromJson(QString::fromUtf8(expected.readAll()).arg(udid).toUtf8()).array());
    }

    void notifications_data() { addRowsFrom(kRows, "notifications"); }

    void notifications() {
        QFETCH(QString, posted);
        QFETCH(bool, relayed);
        QVERIFY(!fresh({}).isEmpty());
        QStringList received;
        mobiledevice_notification_thread thread(device);
        connect(&thread, &mobiledevice_notification_thread::recNotification, this,
                [&received](const QString& name) { received.append(name); });
        QCOMPARE(thrown([&] { thread.startServiceThrow({u"com.example.observed"_s}); }), QString());
        thread.start();
        QTest::qWait(500); // the device has taken the observation
        Service poster;
        QCOMPARE(thrown([&] {
                     mobiledevice_notification_start(device, poster.socket);
                     mobiledevice_notification_post(poster.socket, posted);
                 }),
                 QString());
        if (relayed) {
            QTRY_COMPARE_WITH_TIMEOUT(received, QStringList{posted}, 10000);
        } else {
            QTest::qWait(2500);
            QCOMPARE(received, QStringList());
        }
    }

    void notificationEdges() {
        QVERIFY(!fresh({}).isEmpty());
        Service s;
        QString name = u"unset"_s;
        QCOMPARE(thrown([&] {
                     mobiledevice_notification_start(device, s.socket);
                     mobiledevice_notification_observe(s.socket, u"com.example.quiet"_s);
                     name = mobiledevice_notification_get_throw(s.socket); // nothing posted: an empty poll
                 }),
                 QString());
        QCOMPARE(name, QString());
        QCOMPARE(thrown([&] {
                     CFType shutdown = CFType::createCFDictionary();
                     shutdown.put(u"Command"_s, CFType::createCFString(u"Shutdown"_s));
                     mobiledevice_sendmsg(s.socket, shutdown, false, 60000);
                     mobiledevice_notification_get_throw(s.socket);
                 }),
                 u"ERROR: NotificationProxy died!"_s);
    }

    void fileRelay_data() { addRowsFrom(kRows, "fileRelay"); }

    void fileRelay() {
        QFETCH(QString, ios);
        QFETCH(QStringList, faults);
        QFETCH(QStringList, sources);
        QFETCH(QString, error);
        QVERIFY(!fresh(faults, {u"--ios"_s, ios}).isEmpty());
        const QString files = sim.deviceDir(udid) + u"/files/HomeDomain/Library/"_s;
        QVERIFY(QDir().mkpath(files + u"SMS/Drafts"_s) && QDir().mkpath(files + "Logs/CrashReporter"));
        for (const char* name : {"SMS/sms.db", "SMS/Drafts/d 1.plist", "Logs/CrashReporter/a.ips"}) {
            QFile f(files + QLatin1String(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(3000, name[0]) + name) > 0);
        }
        const QString destination = work.filePath(udid);
        Service s;
        const QString text = thrown([&] {
            mobiledevice_filerelay_start(device, s.socket);
            mobiledevice_filerelay(s.socket, sources);
            const QStringList written = mobiledevice_filerelay_extract(s.socket, destination);
            // A second request gives the same archive: the peer reads it raw.
            Service raw;
            mobiledevice_filerelay_start(device, raw.socket);
            mobiledevice_filerelay(raw.socket, sources);
            QFile archive(destination + u".cpio.gz"_s);
            QVERIFY(archive.open(QIODevice::WriteOnly) && archive.write(readToEnd(raw.socket)) > 0);
            archive.close();
            QStringList fromPeer;
            for (const QJsonValue& member : peer(u"cpio"_s, archive.fileName())) {
                const QString path = member[u"name"_s].toString().mid(2);
                if (member[u"type"_s] == u"0o100000"_s) {
                    fromPeer.append(path);
                    QFile f(destination + u'/' + path);
                    QVERIFY(f.open(QIODevice::ReadOnly));
                    QCOMPARE(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex(),
                             member[u"sha1"_s].toString().toLatin1());
                }
            }
            QCOMPARE(written, fromPeer);
            QVERIFY(written.contains(u"var/mobile/Library/SMS/Drafts/d 1.plist"_s));
            QCOMPARE(written.contains(u"var/mobile/Library/Logs/CrashReporter/a.ips"_s),
                     sources.contains(u"CrashReporter"_s));
        });
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        if (!error.isEmpty()) {
            // Nothing of a refused archive is left: no destination, no half-built tree.
            QCOMPARE(QDir(work.path()).entryList({udid, u".filerelay-*"_s}, QDir::AllEntries | QDir::Hidden),
                     QStringList());
            QVERIFY(!QFile::exists(work.filePath(u"escape.txt"_s)));
        }
    }

    void syncRecords_data() { addRowsFrom(kRows, "syncRecords"); }

    // Batches as the device sends them; -1 stands for one that is not a
    // dictionary, which is acknowledged but adds nothing.
    void syncRecords() {
        QFETCH(int, records);
        QFETCH(QStringList, faults);
        QFETCH(bool, tetheredOff);
        QFETCH(QList<int>, batches);
        QFETCH(QString, error);
        const QString capture = fresh(faults);
        QVERIFY(!capture.isEmpty());
        QVERIFY(QDir().mkpath(sim.deviceDir(udid) + u"/sync"_s));
        CFType store = CFType::createCFDictionary();
        for (int i = 0; i < records; ++i) {
            store.put(u"r%1"_s.arg(i),
                      CFType::createCFDictionary({CFType::createCFString("n")}, {CFType::createCFNumberInt32(i)}));
        }
        QFile file(sim.deviceDir(udid) + u"/sync/"_s + kContacts + u".plist"_s);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(store.CFPropertyListToBytes(100)) > 0);
        file.close();
        QCOMPARE(mobiledevice_sync_set_tethered(device, kContacts, tetheredOff), 0);
        const _mobiledevice_sync_ctx ctx(kContacts, QString(), u"anchor-1"_s);
        Service s;
        QList<CFType> got;
        const QString text = thrown([&] {
            mobiledevice_sync_start(device, ctx, s.socket, true);
            got = mobiledevice_sync_records(s.socket, ctx);
            mobiledevice_sync_send_finish(s.socket, ctx);
        });
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        if (!error.isEmpty()) {
            return;
        }
        QList<int> sizes;
        for (const CFType& batch : got) {
            sizes.append(static_cast<int>(batch.dict_size()));
        }
        QCOMPARE(sizes, batches.value(0) == -1 ? QList<int>() : batches);
        readToEnd(s.socket);
        const QJsonArray frames = peer(u"frames"_s, capture);
        QCOMPARE(frames.at(1)[u"value"_s].toArray(),
                 QJsonDocument::fromJson(R"(["SDMessageSyncDataClassWithDevice", "com.apple.Contacts", "",
                                             "anchor-1", "int:106"])")
                     .array());
        int acknowledged = 0;
        for (const QJsonValue& frame : frames) {
            acknowledged += frame[u"value"_s][0] == u"SDMessageAcknowledgeChangesFromDevice"_s;
        }
        QCOMPARE(acknowledged, batches.size());
    }

    void syncChangesAndClear() {
        QVERIFY(!fresh({}).isEmpty());
        const _mobiledevice_sync_ctx ctx(kContacts, QString(), u"anchor-1"_s);
        const auto record = [](const char* name) {
            return CFType::createCFDictionary({CFType::createCFString("n")}, {CFType::createCFString(name)});
        };
        CFType changes = CFType::createCFDictionary();
        changes.put(u"computer-1"_s, record("new"));
        changes.put(u"computer-2"_s, record("newer"));
        Service s, again;
        CFType remap;
        QList<CFType> afterSend, afterClear;
        QCOMPARE(thrown([&] {
                     mobiledevice_sync_start(device, ctx, s.socket, false);
                     QCOMPARE(mobiledevice_sync_records(s.socket, ctx).size(), 0);
                     remap = mobiledevice_sync_send(s.socket, changes, ctx, CFType::createCFDictionary());
                     mobiledevice_sync_send_finish(s.socket, ctx);
                     mobiledevice_sync_start(device, ctx, again.socket, false);
                     afterSend = mobiledevice_sync_records(again.socket, ctx);
                     mobiledevice_sync_clear(again.socket, ctx);
                     afterClear = mobiledevice_sync_records(again.socket, ctx);
                 }),
                 QString());
        QCOMPARE(remap.dict_size(), 2);
        const QString first = remap.get(u"computer-1"_s).CFStringQString();
        QVERIFY(!first.isEmpty() && first != remap.get(u"computer-2"_s).CFStringQString());
        QCOMPARE(afterSend.size(), 1);
        QCOMPARE(afterSend[0].get(first).get(u"n"_s).CFStringQString(), u"new"_s);
        QCOMPARE(afterClear.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProtocols)
#include "test_protocols.moc"
#include "tests/device/moc_devicereceiver.cpp"
