// DeviceLink and mobilebackup2, notification proxy, file relay and mobilesync
// clients against simulated devices over real sockets. What the clients put
// on the wire is read back by wirepeer.py (plistlib, gzip and its own cpio
// reader), independently of our codecs.

#include "device/mobiledevice.h"
#include "device/mobiledevice_msg.h"
#include "services/mobiledevice_backup2.h"
#include "services/mobiledevice_filerelay.h"
#include "services/mobiledevice_link.h"
#include "services/mobiledevice_notification.h"
#include "services/mobiledevice_sync.h"
#include "tests/device/simfixture.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <functional>
#include <poll.h>
#include <sys/socket.h>

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

QByteArray sha1(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

struct Service {
    unsigned int socket = 0;
    ~Service() {
        if (socket) {
            mobiledevice_closeservice(socket);
        }
    }
};

const QString kContacts = QStringLiteral("com.apple.Contacts");

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
        const QString capture = work.filePath(udid + QStringLiteral(".capture"));
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

    void backup2Hello_data() {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QList<double>>("versions");
        QTest::addColumn<double>("chosen");
        QTest::addColumn<QString>("error");
        const QString hello = QStringLiteral("Sim.Faults.ReplaceReply.Hello");
        const auto response = [](const char* entries) {
            return QStringLiteral(R"(["DLMessageProcessMessage", {"MessageName": "Response"%1}])")
                .arg(QLatin1String(entries));
        };
        QTest::newRow("version offer") << QStringList() << QList<double>{2.0, 2.1} << 2.1 << QString();
        QTest::newRow("ready at once") << QStringList{QStringLiteral("Sim.Faults.DeviceLinkReady"), "true"}
                                       << QList<double>{2.0} << 2.0 << QString();
        QTest::newRow("no common version") << QStringList{QStringLiteral("Sim.Faults.Backup2Versions"), "[3.5]"}
                                           << QList<double>{2.0, 2.1} << 0.0 << "MOBILEBACKUP2_E_NO_COMMON_VERSION";
        QTest::newRow("empty list") << QStringList() << QList<double>() << 0.0 << "MOBILEBACKUP2_E_NO_COMMON_VERSION";
        QTest::newRow("no version named")
            << QStringList{hello, response(R"(, "ErrorCode": 0)")} << QList<double>{2.0} << 0.0 << QString();
        QTest::newRow("error code beyond int") << QStringList{hello, response(R"(, "ErrorCode": 4294967296)")}
                                               << QList<double>{2.0} << 0.0 << "MOBILEBACKUP2_E_REPLY_NOT_OK";
        QTest::newRow("fractional error code") << QStringList{hello, response(R"(, "ErrorCode": 0.5)")}
                                               << QList<double>{2.0} << 0.0 << "MOBILEBACKUP2_E_REPLY_NOT_OK";
        QTest::newRow("not a response") << QStringList{hello, QStringLiteral(R"(["DLMessageProcessMessage", {}])")}
                                        << QList<double>{2.0} << 0.0 << "(\"Message Name\" is \"Response\")";
        // The DeviceLink prefix is tested without regard to case, the kind exactly.
        QTest::newRow("lower-case dl kind")
            << QStringList{hello, QStringLiteral(R"(["dlmessageprocessmessage", {}])")} << QList<double>{2.0} << 0.0
            << "Did not receive DLMessageProcessMessage as expected.";
        QTest::newRow("not DeviceLink") << QStringList{hello, QStringLiteral(R"(["Hello"])")} << QList<double>{2.0}
                                        << 0.0 << "Did not receive a DL* message as expected.";
        QTest::newRow("not ready after exchange")
            << QStringList{QStringLiteral("Sim.Faults.ReplaceReply.DeviceReady"), QStringLiteral(R"(["DLNope"])")}
            << QList<double>{2.0} << 0.0 << "invalid feedback after send DLMessageVersionExchange.";
    }

    void backup2Hello() {
        QFETCH(QStringList, faults);
        QFETCH(QList<double>, versions);
        QFETCH(double, chosen);
        QFETCH(QString, error);
        QVERIFY(!fresh(faults).isEmpty());
        Service s;
        double got = -1;
        const QString text = thrown([&] {
            mobiledevice_backup2_start(device, s.socket);
            got = mobiledevice_backup2_version_exchange(s.socket, versions.data(), static_cast<char>(versions.size()));
        });
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        if (error.isEmpty()) {
            QCOMPARE(got, chosen);
        }
    }

    // Every message of a session as plistlib reads it from the device's side.
    void backup2Wire() {
        // The device answers the backup requests at once instead of starting a transfer.
        const QString capture = fresh({QStringLiteral("Sim.Faults.Backup2ErrorCode"), QStringLiteral("22")});
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
        const QString expected = QStringLiteral(R"([
          {"format": "xml", "value": ["DLMessageVersionExchange", "DLVersionsOk", "int:400"]},
          {"format": "binary", "value": ["DLMessageProcessMessage",
              {"MessageName": "Hello", "SupportedProtocolVersions": ["real:2.0", "real:2.1"]}]},
          {"format": "binary", "value": ["DLMessageProcessMessage", {"MessageName": "EnableCloudBackup",
              "TargetIdentifier": "%1", "SourceIdentifier": "%1", "Options": {"CloudBackupState": false},
              "CloudBackupState": false}]},
          {"format": "binary", "value": ["DLMessageProcessMessage", {"MessageName": "Backup",
              "TargetIdentifier": "%1", "SourceIdentifier": "%1", "Options": {"ForceFullBackup": true}}]},
          {"format": "binary", "value": ["DLMessageProcessMessage", {"MessageName": "Backup",
              "TargetIdentifier": "%1", "SourceIdentifier": "%1"}]},
          {"format": "binary", "value": ["DLMessageStatusResponse", "int:0",
              "___EmptyParameterString___", "___EmptyParameterString___"]},
          {"format": "binary", "value": ["DLMessageDisconnect", "___EmptyParameterString___"]}])");
        QCOMPARE(peer(QStringLiteral("frames"), capture), QJsonDocument::fromJson(expected.arg(udid).toUtf8()).array());
    }

    // The backup-based cleanings read the setting this switch writes.
    void cloudBackupSwitch_data() {
        QTest::addColumn<bool>("initially");
        QTest::addColumn<bool>("wanted");
        QTest::addColumn<bool>("otherTarget");
        QTest::addColumn<QString>("error");
        QTest::newRow("off") << true << false << false << QString();
        QTest::newRow("on") << false << true << false << QString();
        QTest::newRow("another device's identifier") << true << false << true << "Set EnableCloudBackup error code: 2";
    }

    void cloudBackupSwitch() {
        QFETCH(bool, initially);
        QFETCH(bool, wanted);
        QFETCH(bool, otherTarget);
        QFETCH(QString, error);
        QVERIFY(!fresh({}, initially ? QStringList{QStringLiteral("--icloud")} : QStringList()).isEmpty());
        Service s;
        double version = 2.1;
        const QString text = thrown([&] {
            mobiledevice_backup2_start(device, s.socket);
            mobiledevice_backup2_version_exchange(s.socket, &version, 1);
            mobiledevice_backup2_set_enable_icloud(s.socket, otherTarget ? QStringLiteral("other") : udid, wanted);
        });
        QCOMPARE(text, error);
        const CFType value =
            mobiledevice_info(device, {QStringLiteral("CloudBackupEnabled")}, QStringLiteral("com.apple.mobile.backup"))
                .value(0);
        QVERIFY(value.isCFBoolean());
        QCOMPARE(value.CFNumberBool(), error.isEmpty() ? wanted : initially);
    }

    void notifications_data() {
        QTest::addColumn<QString>("posted");
        QTest::addColumn<bool>("withTool");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("posted through a proxy") << "com.example.observed" << false << true;
        QTest::newRow("posted with simdevice notify") << "com.example.observed" << true << true;
        QTest::newRow("not observed") << "com.example.other" << false << false;
        QTest::newRow("not observed, simdevice notify") << "com.example.other" << true << false;
    }

    void notifications() {
        QFETCH(QString, posted);
        QFETCH(bool, withTool);
        QFETCH(bool, relayed);
        QVERIFY(!fresh({}).isEmpty());
        QStringList received;
        mobiledevice_notification_thread thread(device);
        connect(&thread, &mobiledevice_notification_thread::recNotification, this,
                [&received](const QString& name) { received.append(name); });
        QCOMPARE(thrown([&] { thread.startServiceThrow({QStringLiteral("com.example.observed")}); }), QString());
        thread.start();
        QTest::qWait(500); // the device has taken the observation
        if (withTool) {
            QVERIFY(sim.tool({QStringLiteral("notify"), QStringLiteral("--udid"), udid, posted}));
        } else {
            Service poster;
            QCOMPARE(thrown([&] {
                         mobiledevice_notification_start(device, poster.socket);
                         mobiledevice_notification_post(poster.socket, posted);
                     }),
                     QString());
        }
        if (relayed) {
            QTRY_COMPARE_WITH_TIMEOUT(received, QStringList{posted}, 10000);
        } else {
            QTest::qWait(2500);
            QCOMPARE(received, QStringList());
        }
    }

    void notificationEdges() {
        QVERIFY(!fresh({}).isEmpty());
        mobiledevice_notification_thread unstarted(device);
        unstarted.start();
        QVERIFY(unstarted.wait(10000));
        QCOMPARE(unstarted.error, QStringLiteral("mobiledevice_notification_thread::run, start service first."));

        Service s;
        QString name = QStringLiteral("unset");
        QCOMPARE(thrown([&] {
                     mobiledevice_notification_start(device, s.socket);
                     mobiledevice_notification_observe(s.socket, QStringLiteral("com.example.quiet"));
                     name = mobiledevice_notification_get_throw(s.socket); // nothing posted: an empty poll
                 }),
                 QString());
        QCOMPARE(name, QString());
        QCOMPARE(thrown([&] {
                     CFType shutdown = CFType::createCFDictionary();
                     shutdown.put(QStringLiteral("Command"), CFType::createCFString(QStringLiteral("Shutdown")));
                     mobiledevice_sendmsg(s.socket, shutdown, false, 60000);
                     mobiledevice_notification_get_throw(s.socket);
                 }),
                 QStringLiteral("ERROR: NotificationProxy died!"));
    }

    void fileRelay_data() {
        QTest::addColumn<QString>("ios");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QString>("error");
        const QString extra = QStringLiteral("Sim.Faults.FileRelayExtra");
        const QStringList databases{QStringLiteral("UserDatabases")};
        QTest::newRow("odc archive") << "7.1.2" << QStringList() << databases << QString();
        QTest::newRow("newc archive") << "7.1.2" << QStringList{QStringLiteral("Sim.Faults.FileRelayFormat"), "newc"}
                                      << QStringList{"UserDatabases", "CrashReporter"} << QString();
        QTest::newRow("current device") << "14.4" << QStringList() << databases << "PermissionDenied";
        QTest::newRow("unknown source") << "7.1.2" << QStringList() << QStringList{"Nope"} << "InvalidSource";
        QTest::newRow("member climbing out") << "7.1.2" << QStringList{extra, R"({"./var/../../escape.txt": "x"})"}
                                             << databases << "unsafe name: ./var/../../escape.txt";
        QTest::newRow("absolute member") << "7.1.2" << QStringList{extra, R"({"/escape.txt": "x"})"} << databases
                                         << "unsafe name: /escape.txt";
        QTest::newRow("parent member") << "7.1.2" << QStringList{extra, R"({"../escape.txt": "x"})"} << databases
                                       << "unsafe name: ../escape.txt";
    }

    void fileRelay() {
        QFETCH(QString, ios);
        QFETCH(QStringList, faults);
        QFETCH(QStringList, sources);
        QFETCH(QString, error);
        QVERIFY(!fresh(faults, {QStringLiteral("--ios"), ios}).isEmpty());
        const QString files = sim.deviceDir(udid) + QStringLiteral("/files/HomeDomain/Library/");
        QVERIFY(QDir().mkpath(files + QStringLiteral("SMS/Drafts")) && QDir().mkpath(files + "Logs/CrashReporter"));
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
            QFile archive(destination + QStringLiteral(".cpio.gz"));
            QVERIFY(archive.open(QIODevice::WriteOnly) && archive.write(readToEnd(raw.socket)) > 0);
            archive.close();
            QStringList fromPeer;
            for (const QJsonValue& member : peer(QStringLiteral("cpio"), archive.fileName())) {
                const QString path = member[QStringLiteral("name")].toString().mid(2);
                if (member[QStringLiteral("type")] == QStringLiteral("0o100000")) {
                    fromPeer.append(path);
                    QFile f(destination + QLatin1Char('/') + path);
                    QVERIFY(f.open(QIODevice::ReadOnly));
                    QCOMPARE(sha1(f.readAll()), member[QStringLiteral("sha1")].toString().toLatin1());
                }
            }
            QCOMPARE(written, fromPeer);
            QVERIFY(written.contains(QStringLiteral("var/mobile/Library/SMS/Drafts/d 1.plist")));
            QCOMPARE(written.contains(QStringLiteral("var/mobile/Library/Logs/CrashReporter/a.ips")),
                     sources.contains(QStringLiteral("CrashReporter")));
        });
        QVERIFY2(error.isEmpty() ? text.isEmpty() : text.contains(error), qPrintable(text));
        if (!error.isEmpty()) {
            // Nothing of a refused archive is left: no destination, no half-built tree.
            QCOMPARE(
                QDir(work.path()).entryList({udid, QStringLiteral(".filerelay-*")}, QDir::AllEntries | QDir::Hidden),
                QStringList());
            QVERIFY(!QFile::exists(work.filePath(QStringLiteral("escape.txt"))));
        }
    }

    void syncRecords_data() {
        QTest::addColumn<int>("records");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<bool>("tetheredOff");
        QTest::addColumn<QList<int>>("batches");
        QTest::addColumn<QString>("error");
        const QString getAll = QStringLiteral("Sim.Faults.ReplaceReply.SDMessageGetAllRecordsFromDevice");
        QTest::newRow("three batches") << 5 << QStringList() << false << QList<int>{2, 2, 1} << QString();
        QTest::newRow("one batch of five")
            << 5 << QStringList{QStringLiteral("Sim.Faults.SyncBatch"), "8"} << false << QList<int>{5} << QString();
        QTest::newRow("nothing to send") << 0 << QStringList() << false << QList<int>() << QString();
        QTest::newRow("batch not a dictionary")
            << 1 << QStringList{getAll, R"(["SDMessageProcessChanges", "com.apple.Contacts", "x", false, {}])"} << false
            << QList<int>{-1} << QString();
        QTest::newRow("wrong answer") << 1 << QStringList{getAll, R"(["SDMessageCancelSession"])"} << false
                                      << QList<int>()
                                      << "invalid feedback after send SDMessageGetAllRecordsFromDevice.";
        QTest::newRow("tethered sync off")
            << 1 << QStringList() << true << QList<int>() << "SDMessageRefuseToSyncDataClassWithComputer";
    }

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
        QVERIFY(QDir().mkpath(sim.deviceDir(udid) + QStringLiteral("/sync")));
        CFType store = CFType::createCFDictionary();
        for (int i = 0; i < records; ++i) {
            store.put(QStringLiteral("r%1").arg(i),
                      CFType::createCFDictionary({CFType::createCFString("n")}, {CFType::createCFNumberInt32(i)}));
        }
        QFile file(sim.deviceDir(udid) + QStringLiteral("/sync/") + kContacts + QStringLiteral(".plist"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(store.CFPropertyListToBytes(100)) > 0);
        file.close();
        QCOMPARE(mobiledevice_sync_set_tethered(device, kContacts, tetheredOff), 0);
        const _mobiledevice_sync_ctx ctx(kContacts, QString(), QStringLiteral("anchor-1"));
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
        const QJsonArray frames = peer(QStringLiteral("frames"), capture);
        QCOMPARE(frames.at(1)[QStringLiteral("value")].toArray(),
                 QJsonDocument::fromJson(R"(["SDMessageSyncDataClassWithDevice", "com.apple.Contacts", "",
                                             "anchor-1", "int:106"])")
                     .array());
        int acknowledged = 0;
        for (const QJsonValue& frame : frames) {
            acknowledged +=
                frame[QStringLiteral("value")][0] == QStringLiteral("SDMessageAcknowledgeChangesFromDevice");
        }
        QCOMPARE(acknowledged, batches.size());
    }

    void syncChangesAndClear() {
        QVERIFY(!fresh({}).isEmpty());
        const _mobiledevice_sync_ctx ctx(kContacts, QString(), QStringLiteral("anchor-1"));
        const auto record = [](const char* name) {
            return CFType::createCFDictionary({CFType::createCFString("n")}, {CFType::createCFString(name)});
        };
        CFType changes = CFType::createCFDictionary();
        changes.put(QStringLiteral("computer-1"), record("new"));
        changes.put(QStringLiteral("computer-2"), record("newer"));
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
        const QString first = remap.get(QStringLiteral("computer-1")).CFStringQString();
        QVERIFY(!first.isEmpty() && first != remap.get(QStringLiteral("computer-2")).CFStringQString());
        QCOMPARE(afterSend.size(), 1);
        QCOMPARE(afterSend[0].get(first).get(QStringLiteral("n")).CFStringQString(), QStringLiteral("new"));
        QCOMPARE(afterClear.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestProtocols)
#include "test_protocols.moc"
