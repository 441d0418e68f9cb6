// The simulator at the wire level: the library loaded by path as the program
// loads it, devices made with the simdevice tool, services spoken to over raw
// sockets with libplist, and Python's plistlib as an independent reader.

#include "device/mobiledevice_abi.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <cstring>
#include <memory>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using Plist = std::unique_ptr<void, PlistFree>;

Plist str(const char* s) {
    return Plist(plist_new_string(s));
}

QString stringOf(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    char* s = nullptr;
    plist_get_string_val(node, &s);
    QString out = QString::fromUtf8(s);
    free(s);
    return out;
}

qint64 intOf(plist_t node) {
    uint64_t v = 0;
    if (node && plist_get_node_type(node) == PLIST_UINT) {
        plist_get_uint_val(node, &v);
    }
    return static_cast<qint64>(v);
}

struct Event {
    am_device* dev;
    unsigned int msg;
    QString udid;
    bool onMainThread;
};
QList<Event> g_events;

struct Api {
    AMDeviceNotificationSubscribe_t subscribe = nullptr;
    AMDeviceCopyDeviceIdentifier_t copyId = nullptr;
    AMDeviceConnect_t connect = nullptr;
    AMDeviceIsPaired_t isPaired = nullptr;
    AMDevicePair_t pair = nullptr;
    AMDeviceValidatePairing_t validate = nullptr;
    AMDeviceStartSession_t startSession = nullptr;
    AMDeviceStopSession_t stopSession = nullptr;
    AMDeviceDisconnect_t disconnect = nullptr;
    AMDeviceCopyValue_t copyValue = nullptr;
    AMDeviceSetValue_t setValue = nullptr;
    AMDeviceStartService_t startService = nullptr;
};
Api g_api;

QString udidOf(am_device* dev) {
    Plist id(g_api.copyId(dev));
    return stringOf(id.get());
}

void onNotification(am_device_notification_callback_info* info, void*) {
    g_events.append({info->dev, info->msg, udidOf(info->dev), QThread::currentThread() == qApp->thread()});
}

// AFC packet helpers (the client side, written from the wire format).
constexpr quint64 kOpStatus = 1, kOpData = 2, kOpReadDir = 3, kOpRemove = 8, kOpMkdir = 9, kOpInfo = 10, kOpOpen = 13,
                  kOpOpenRes = 14, kOpRead = 15, kOpWrite = 16, kOpClose = 20, kOpRename = 24;

void putLe(QByteArray& b, quint64 v) {
    for (int i = 0; i < 8; ++i) {
        b.append(char(v >> (8 * i)));
    }
}

quint64 le(const char* p) {
    quint64 v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | uchar(p[i]);
    }
    return v;
}

bool writeAll(int fd, const QByteArray& b) {
    qsizetype done = 0;
    while (done < b.size()) {
        ssize_t n = ::send(fd, b.constData() + done, size_t(b.size() - done), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Reads exactly len bytes; fewer when the peer closes or 5 s pass.
QByteArray readExactly(int fd, qsizetype len) {
    QByteArray out;
    while (out.size() < len) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            break;
        }
        char buf[65536];
        ssize_t n = ::recv(fd, buf, size_t(std::min<qsizetype>(len - out.size(), sizeof buf)), 0);
        if (n <= 0) {
            break;
        }
        out.append(buf, n);
    }
    return out;
}

struct AfcReply {
    quint64 op = 0;
    QByteArray payload;
    quint64 status() const { return payload.size() >= 8 ? le(payload.constData()) : ~0ull; }
};

AfcReply afc(int fd, quint64 op, const QByteArray& headerData, const QByteArray& data = {}) {
    QByteArray pkt("CFA6LPAA", 8);
    putLe(pkt, quint64(40 + headerData.size() + data.size()));
    putLe(pkt, quint64(40 + headerData.size()));
    putLe(pkt, quint64(fd));
    putLe(pkt, op);
    pkt += headerData + data;
    AfcReply r;
    if (!writeAll(fd, pkt)) {
        return r;
    }
    const QByteArray header = readExactly(fd, 40);
    if (header.size() != 40 || !header.startsWith("CFA6LPAA")) {
        return r;
    }
    r.op = le(header.constData() + 32);
    r.payload = readExactly(fd, qsizetype(le(header.constData() + 8) - 40));
    return r;
}

QByteArray path(const char* p) {
    return QByteArray(p) + '\0';
}

QStringList zeroSeparated(const QByteArray& b) {
    QStringList out;
    const QList<QByteArray> parts = b.split('\0');
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        out << QString::fromUtf8(parts[i]);
    }
    return out;
}

QMap<QString, QString> infoMap(const QByteArray& b) {
    const QStringList l = zeroSeparated(b);
    QMap<QString, QString> m;
    for (qsizetype i = 0; i + 1 < l.size(); i += 2) {
        m[l[i]] = l[i + 1];
    }
    return m;
}

bool sendPlist(int fd, plist_t node, bool binary = false) {
    char* data = nullptr;
    uint32_t len = 0;
    binary ? plist_to_bin(node, &data, &len) : plist_to_xml(node, &data, &len);
    QByteArray frame;
    frame.append(char(len >> 24)).append(char(len >> 16)).append(char(len >> 8)).append(char(len));
    frame.append(data, len);
    free(data);
    return writeAll(fd, frame);
}

Plist recvPlist(int fd) {
    const QByteArray lenBytes = readExactly(fd, 4);
    if (lenBytes.size() != 4) {
        return nullptr;
    }
    const quint32 len = (quint32(uchar(lenBytes[0])) << 24) | (quint32(uchar(lenBytes[1])) << 16) |
                        (quint32(uchar(lenBytes[2])) << 8) | quint32(uchar(lenBytes[3]));
    const QByteArray body = readExactly(fd, len);
    if (body.size() != qsizetype(len)) {
        return nullptr;
    }
    plist_t node = nullptr;
    plist_from_memory(body.constData(), len, &node);
    return Plist(node);
}

} // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void arrivalPlugAndUnplug();
    void removedFolderLeaves();
    void unplugEndsServices();
    void toolListsAndEdits();
    void pairing_data();
    void pairing();
    void sessionNeeded();
    void lockdownValues();
    void setValueIsReadableByPlistlib();
    void browseApps_data();
    void browseApps();
    void houseArrestAfc();
    void afcReadWriteBlocks();
    void vendRefused_data();
    void vendRefused();
    void afcEscapes_data();
    void afcEscapes();
    void linkedContainerRefused();
    void mediaAfcRoot();
    void notificationsRelayed();
    void serviceFaults_data();
    void serviceFaults();
    void dropAfterBytes();
    void toolRejectsBadInput_data();
    void toolRejectsBadInput();
    void demoPreset();
    void afcHandles();
    void afcMalformedPackets_data();
    void afcMalformedPackets();
    void framedGarbageClosesService_data();
    void framedGarbageClosesService();

private:
    QString createDevice(const QString& udid, const QStringList& extra = {});
    bool tool(const QStringList& args, QByteArray* out = nullptr);
    am_device* waitArrival(const QString& udid);
    void openSession(am_device* dev);
    void closeSession(am_device* dev);
    int startService(am_device* dev, const char* name);
    int vend(am_device* dev, const char* bundleId);
    void writeApps(const QString& udid, const QStringList& userIds, const QStringList& systemIds = {});
    QString dirOf(const QString& udid) const { return store.path() + QLatin1Char('/') + udid; }

    QTemporaryDir store;
    QLibrary lib;
};

void TestSimDevice::initTestCase() {
    QVERIFY(store.isValid());
    qputenv("VEXLAR_SIM_ROOT", QFile::encodeName(store.path()));
    lib.setFileName(QStringLiteral(SIMDEVICE_LIBRARY));
    QVERIFY2(lib.load(), qPrintable(lib.errorString()));
    auto resolve = [this](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(lib.resolve(name));
        return fn != nullptr;
    };
    QVERIFY(resolve(g_api.subscribe, "AMDeviceNotificationSubscribe"));
    QVERIFY(resolve(g_api.copyId, "AMDeviceCopyDeviceIdentifier"));
    QVERIFY(resolve(g_api.connect, "AMDeviceConnect"));
    QVERIFY(resolve(g_api.isPaired, "AMDeviceIsPaired"));
    QVERIFY(resolve(g_api.pair, "AMDevicePair"));
    QVERIFY(resolve(g_api.validate, "AMDeviceValidatePairing"));
    QVERIFY(resolve(g_api.startSession, "AMDeviceStartSession"));
    QVERIFY(resolve(g_api.stopSession, "AMDeviceStopSession"));
    QVERIFY(resolve(g_api.disconnect, "AMDeviceDisconnect"));
    QVERIFY(resolve(g_api.copyValue, "AMDeviceCopyValue"));
    QVERIFY(resolve(g_api.setValue, "AMDeviceSetValue"));
    QVERIFY(resolve(g_api.startService, "AMDeviceStartService"));
    // Only the framework's functions are exported.
    QVERIFY(!lib.resolve("_ZN3sim9bytesUnderERK7QString"));

    // A device present before the subscription is announced too.
    createDevice(QStringLiteral("early"));
    void* subscription = nullptr;
    QCOMPARE(g_api.subscribe(onNotification, 0, 0, nullptr, &subscription), 0);
    QVERIFY(subscription);
    QVERIFY(waitArrival(QStringLiteral("early")));
}

QString TestSimDevice::createDevice(const QString& udid, const QStringList& extra) {
    const bool ok = tool(QStringList{QStringLiteral("create"), QStringLiteral("--udid"), udid, QStringLiteral("--name"),
                                     QStringLiteral("Phone ") + udid} +
                         extra);
    return ok ? dirOf(udid) : QString();
}

bool TestSimDevice::tool(const QStringList& args, QByteArray* out) {
    QProcess p;
    p.start(QStringLiteral(SIMDEVICE_TOOL), QStringList{QStringLiteral("--root"), store.path()} + args);
    if (!p.waitForFinished(60000)) {
        return false;
    }
    if (out) {
        *out = p.readAllStandardOutput();
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The device's handle as the notifications tell it, null when it is gone.
am_device* currentHandle(const QString& udid) {
    am_device* found = nullptr;
    for (const Event& e : std::as_const(g_events)) {
        if (e.udid == udid) {
            found = e.msg == ADNCI_MSG_CONNECTED ? e.dev : nullptr;
        }
    }
    return found;
}

am_device* TestSimDevice::waitArrival(const QString& udid) {
    return QTest::qWaitFor([&] { return currentHandle(udid) != nullptr; }, 3000) ? currentHandle(udid) : nullptr;
}

void TestSimDevice::openSession(am_device* dev) {
    QCOMPARE(g_api.connect(dev), 0);
    if (!g_api.isPaired(dev)) {
        QCOMPARE(g_api.pair(dev), 0);
    }
    QCOMPARE(g_api.validate(dev), 0);
    QCOMPARE(g_api.startSession(dev), 0);
}

void TestSimDevice::closeSession(am_device* dev) {
    g_api.stopSession(dev);
    g_api.disconnect(dev);
}

int TestSimDevice::startService(am_device* dev, const char* name) {
    unsigned int sock = 0;
    Plist service = str(name);
    openSession(dev);
    const int rc = g_api.startService(dev, service.get(), &sock, nullptr);
    closeSession(dev);
    return rc == 0 ? int(sock) : rc;
}

// A house-arrest socket speaking AFC in the app's container, or -1.
int TestSimDevice::vend(am_device* dev, const char* bundleId) {
    const int fd = startService(dev, "com.apple.mobile.house_arrest");
    if (fd <= 0) {
        return -1;
    }
    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string("VendContainer"));
    plist_dict_set_item(req.get(), "Identifier", plist_new_string(bundleId));
    sendPlist(fd, req.get());
    Plist reply = recvPlist(fd);
    if (stringOf(plist_dict_get_item(reply.get(), "Status")) != QLatin1String("Complete")) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// apps.plist in binary form written by Python's plistlib: an independent writer.
void TestSimDevice::writeApps(const QString& udid, const QStringList& userIds, const QStringList& systemIds) {
    QString apps;
    for (const QString& id : userIds) {
        apps += QStringLiteral("{'CFBundleIdentifier':'%1','CFBundleName':'App %1','ApplicationType':'User'},").arg(id);
    }
    for (const QString& id : systemIds) {
        apps += QStringLiteral("{'CFBundleIdentifier':'%1','CFBundleName':'Sys','ApplicationType':'System'},").arg(id);
    }
    const QString script =
        QStringLiteral("import plistlib,sys\nplistlib.dump([%1], open(sys.argv[1],'wb'), fmt=plistlib.FMT_BINARY)\n")
            .arg(apps);
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON),
             {QStringLiteral("-c"), script, dirOf(udid) + QStringLiteral("/apps.plist")});
    QVERIFY(py.waitForFinished(30000));
    QCOMPARE(py.exitCode(), 0);
}

void TestSimDevice::arrivalPlugAndUnplug() {
    const QString udid = QStringLiteral("plugger");
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* first = waitArrival(udid);
    QVERIFY(first);
    for (const Event& e : std::as_const(g_events)) {
        QVERIFY(e.onMainThread);
    }
    QCOMPARE(udidOf(first), udid);

    QVERIFY(tool({QStringLiteral("unplug"), QStringLiteral("--udid"), udid}));
    // Operations on an unplugged device fail at once, before the notification.
    QVERIFY(g_api.connect(first) < 0);
    QTRY_VERIFY_WITH_TIMEOUT(!currentHandle(udid), 1000);

    QVERIFY(tool({QStringLiteral("plug"), QStringLiteral("--udid"), udid}));
    am_device* second = waitArrival(udid);
    QVERIFY(second);
    QVERIFY(second != first);
    // The stale handle stays safe to use and keeps failing.
    QVERIFY(g_api.connect(first) < 0);
    QCOMPARE(udidOf(first), udid);
    QCOMPARE(g_api.connect(second), 0);
    g_api.disconnect(second);

    // Each arrival is reported once.
    int arrivals = 0;
    for (const Event& e : std::as_const(g_events)) {
        arrivals += e.udid == udid && e.msg == ADNCI_MSG_CONNECTED;
    }
    QCOMPARE(arrivals, 2);
}

void TestSimDevice::removedFolderLeaves() {
    const QString udid = QStringLiteral("removed");
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    QVERIFY(QDir(dirOf(udid)).removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(!currentHandle(udid), 1000);
    QVERIFY(g_api.connect(dev) < 0);
}

// A pulled cable ends open service connections without any request.
void TestSimDevice::unplugEndsServices() {
    const QString udid = QStringLiteral("pulled");
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.afc");
    QVERIFY(fd > 0);
    QVERIFY(tool({QStringLiteral("unplug"), QStringLiteral("--udid"), udid}));
    pollfd p{fd, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 10000), 1);
    char byte = 0;
    QCOMPARE(::recv(fd, &byte, 1, 0), ssize_t(0));
    ::close(fd);
}

void TestSimDevice::toolListsAndEdits() {
    const QString udid = QStringLiteral("listed");
    QVERIFY(!createDevice(udid, {QStringLiteral("--product-type"), QStringLiteral("iPod9,1"),
                                 QStringLiteral("--encrypt"), QStringLiteral("pw")})
                 .isEmpty());
    QVERIFY(tool({QStringLiteral("unplug"), QStringLiteral("--udid"), udid}));
    QByteArray out;
    QVERIFY(tool({QStringLiteral("ls")}, &out));
    QVERIFY(out.contains("listed\tPhone listed\tiPod9,1\tiOS 14.4\tunplugged\tnot paired\n"));
    QVERIFY(out.contains("early\tPhone early\tiPhone12,1\tiOS 14.4\tplugged"));

    // Typed values, and null removing a key.
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Lockdown.DeviceName"),
                  QStringLiteral("\"42\"")}));
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid,
                  QStringLiteral("Lockdown.com.apple.disk_usage.TotalDataCapacity"), QStringLiteral("-1")}));
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid,
                  QStringLiteral("Sim.Faults.StartService.com.apple.afc"), QStringLiteral("{\"nested\": [1, true]}")}));
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.BackupPassword"),
                  QStringLiteral("null")}));
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.TrustAccepted"),
                  QStringLiteral("false")}));
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON),
             {QStringLiteral("-c"),
              QStringLiteral("import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\nl=d['Lockdown']\n"
                             "print(repr(l['']['DeviceName']), l['com.apple.disk_usage']['TotalDataCapacity'],"
                             "d['Sim']['Faults']['StartService']['com.apple.afc'], 'BackupPassword' in d['Sim'],"
                             "d['Sim']['TrustAccepted'])"),
              dirOf(udid) + QStringLiteral("/device.plist")});
    QVERIFY(py.waitForFinished(30000));
    QCOMPARE(py.readAllStandardOutput().trimmed(), QByteArray("'42' -1 {'nested': [1, True]} False False"));
}

void TestSimDevice::pairing_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("pairedAfter");
    QTest::newRow("accepted") << QString() << QString() << 0 << true;
    QTest::newRow("trust refused") << QStringLiteral("Sim.TrustAccepted") << QStringLiteral("false") << int(0xe8000096u)
                                   << false;
    QTest::newRow("fault code") << QStringLiteral("Sim.Faults.AMDevicePair") << QStringLiteral("-402653158")
                                << -402653158 << false;
    QTest::newRow("positive fault is negated")
        << QStringLiteral("Sim.Faults.AMDevicePair") << QStringLiteral("17") << -17 << false;
}

void TestSimDevice::pairing() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(int, expected);
    QFETCH(bool, pairedAfter);
    const QString udid = QStringLiteral("pair-") +
                         QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    if (!key.isEmpty()) {
        QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, key, value}));
    }
    QCOMPARE(g_api.isPaired(dev), 0);
    QVERIFY(g_api.pair(dev) < 0); // not connected yet
    QCOMPARE(g_api.connect(dev), 0);
    QCOMPARE(g_api.pair(dev), expected);
    QCOMPARE(g_api.isPaired(dev) != 0, pairedAfter);
    QCOMPARE(g_api.startSession(dev) == 0, pairedAfter);
    closeSession(dev);

    QByteArray xml;
    QVERIFY(tool({QStringLiteral("cat"), QStringLiteral("--udid"), udid}, &xml));
    QCOMPARE(xml.contains("<key>Paired</key>\n\t\t<true/>"), pairedAfter);
}

void TestSimDevice::sessionNeeded() {
    am_device* dev = waitArrival(QStringLiteral("early"));
    QVERIFY(dev);
    Plist key = str("DeviceName");
    QVERIFY(!g_api.copyValue(dev, nullptr, key.get()));
    unsigned int sock = 0;
    Plist afcName = str("com.apple.afc");
    QVERIFY(g_api.startService(dev, afcName.get(), &sock, nullptr) < 0);
    QCOMPARE(g_api.connect(dev), 0);
    QVERIFY(g_api.startService(dev, afcName.get(), &sock, nullptr) < 0);
    g_api.disconnect(dev);
    // Stopping a session that is not running is refused, not counted below zero.
    QVERIFY(g_api.stopSession(dev) < 0);
}

void TestSimDevice::lockdownValues() {
    const QString udid = QStringLiteral("values");
    const QString dir =
        createDevice(udid, {QStringLiteral("--icloud"), QStringLiteral("--encrypt"), QStringLiteral("pw"),
                            QStringLiteral("--product-type"), QStringLiteral("iPad8,1"), QStringLiteral("--ios"),
                            QStringLiteral("12.4")});
    QVERIFY(!dir.isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    openSession(dev);
    auto value = [dev](const char* domain, const char* key) {
        Plist d = domain ? str(domain) : nullptr;
        Plist k = key ? str(key) : nullptr;
        return Plist(g_api.copyValue(dev, d.get(), k.get()));
    };
    QCOMPARE(stringOf(value(nullptr, "UniqueDeviceID").get()), udid);
    QCOMPARE(stringOf(value("", "DeviceName").get()), QStringLiteral("Phone values"));
    QCOMPARE(stringOf(value(nullptr, "ProductType").get()), QStringLiteral("iPad8,1"));
    QCOMPARE(stringOf(value(nullptr, "ProductVersion").get()), QStringLiteral("12.4"));
    QVERIFY(!value(nullptr, "NoSuchKey"));
    QVERIFY(!value("no.such.domain", nullptr));

    Plist backup = value("com.apple.mobile.backup", nullptr);
    QVERIFY(backup && plist_get_node_type(backup.get()) == PLIST_DICT);
    uint8_t b = 0;
    plist_get_bool_val(plist_dict_get_item(backup.get(), "CloudBackupEnabled"), &b);
    QCOMPARE(b, uint8_t(1));
    plist_get_bool_val(plist_dict_get_item(backup.get(), "WillEncrypt"), &b);
    QCOMPARE(b, uint8_t(1));

    Plist emptyKey = value("com.apple.mobile.backup", "");
    QVERIFY(emptyKey && plist_get_node_type(emptyKey.get()) == PLIST_DICT);

    // Free space follows the bytes under files/.
    Plist disk = value("com.apple.disk_usage", nullptr);
    const qint64 total = intOf(plist_dict_get_item(disk.get(), "TotalDataCapacity"));
    const qint64 before = intOf(plist_dict_get_item(disk.get(), "AmountDataAvailable"));
    QVERIFY(before > 0 && before < total);
    QFile big(dir + QStringLiteral("/files/MediaDomain/blob"));
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/files/MediaDomain")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(1 << 20, 'x'));
    big.close();
    QCOMPARE(intOf(value("com.apple.disk_usage", "AmountDataAvailable").get()), before - (1 << 20));

    // Injected failure of one key, read live.
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.Faults.CopyValueFail"),
                  QStringLiteral("[\"DeviceName\"]")}));
    QVERIFY(!value(nullptr, "DeviceName"));
    QCOMPARE(stringOf(value(nullptr, "ProductType").get()), QStringLiteral("iPad8,1"));
    closeSession(dev);
}

void TestSimDevice::setValueIsReadableByPlistlib() {
    const QString udid = QStringLiteral("setter");
    const QString dir = createDevice(udid);
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    Plist domain = str("com.apple.mobile.tethered_sync");
    Plist key = str("Bookmarks");
    Plist value(plist_new_dict());
    plist_dict_set_item(value.get(), "DisableTethered", plist_new_bool(1));
    QVERIFY(g_api.setValue(dev, domain.get(), key.get(), value.get()) < 0); // no session
    openSession(dev);
    QCOMPARE(g_api.setValue(dev, domain.get(), key.get(), value.get()), 0);
    closeSession(dev);

    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON),
             {QStringLiteral("-c"),
              QStringLiteral("import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                             "print(d['Lockdown']['com.apple.mobile.tethered_sync']['Bookmarks']['DisableTethered'],"
                             "d['Sim']['Paired'])"),
              dir + QStringLiteral("/device.plist")});
    QVERIFY(py.waitForFinished(30000));
    QCOMPARE(py.readAllStandardOutput().trimmed(), QByteArray("True True"));
}

void TestSimDevice::browseApps_data() {
    QTest::addColumn<int>("userApps");
    QTest::addColumn<bool>("binary");
    QTest::newRow("none") << 0 << false;
    QTest::newRow("one batch") << 3 << false;
    QTest::newRow("several batches, binary request") << 10 << true;
}

void TestSimDevice::browseApps() {
    QFETCH(int, userApps);
    QFETCH(bool, binary);
    const QString udid = QStringLiteral("browse%1").arg(QTest::currentDataTag()[0] == 'n' ? 0 : userApps);
    QVERIFY(!createDevice(udid).isEmpty());
    QStringList ids;
    for (int i = 0; i < userApps; ++i) {
        ids << QStringLiteral("com.example.app%1").arg(i);
    }
    writeApps(udid, ids, {QStringLiteral("com.apple.mobilesafari")});
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);

    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string("Browse"));
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
    plist_dict_set_item(req.get(), "ClientOptions", options);
    QVERIFY(sendPlist(fd, req.get(), binary));

    QStringList seen;
    int messages = 0;
    while (true) {
        Plist msg = recvPlist(fd);
        QVERIFY(msg);
        const QString status = stringOf(plist_dict_get_item(msg.get(), "Status"));
        if (status == QLatin1String("Complete")) {
            break;
        }
        QCOMPARE(status, QStringLiteral("BrowsingApplications"));
        ++messages;
        QCOMPARE(intOf(plist_dict_get_item(msg.get(), "Total")), qint64(userApps));
        QCOMPARE(intOf(plist_dict_get_item(msg.get(), "CurrentIndex")), qint64(seen.size()));
        plist_t list = plist_dict_get_item(msg.get(), "CurrentList");
        QCOMPARE(intOf(plist_dict_get_item(msg.get(), "CurrentAmount")), qint64(plist_array_get_size(list)));
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            seen << stringOf(plist_dict_get_item(plist_array_get_item(list, i), "CFBundleIdentifier"));
        }
    }
    QCOMPARE(seen, ids);
    QVERIFY(userApps < 5 || messages > 1);
    ::close(fd);
}

void TestSimDevice::houseArrestAfc() {
    const QString udid = QStringLiteral("afc");
    const QString dir = createDevice(udid);
    writeApps(udid, {QStringLiteral("com.example.notes")});
    const QString container = dir + QStringLiteral("/files/AppDomain-com.example.notes");
    QVERIFY(QDir().mkpath(container + QStringLiteral("/Library/Caches/deep")));
    QFile f(container + QStringLiteral("/Library/Caches/a.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1234, 'a'));
    f.close();
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = vend(dev, "com.example.notes");
    QVERIFY(fd > 0);

    AfcReply r = afc(fd, kOpReadDir, path("/Library/Caches"));
    QCOMPARE(r.op, kOpData);
    QStringList names = zeroSeparated(r.payload);
    names.sort();
    QCOMPARE(names,
             QStringList({QStringLiteral("."), QStringLiteral(".."), QStringLiteral("a.bin"), QStringLiteral("deep")}));

    r = afc(fd, kOpInfo, path("/Library/Caches/a.bin"));
    QCOMPARE(r.op, kOpData);
    QMap<QString, QString> info = infoMap(r.payload);
    QCOMPARE(info.value(QStringLiteral("st_size")), QStringLiteral("1234"));
    QCOMPARE(info.value(QStringLiteral("st_ifmt")), QStringLiteral("S_IFREG"));
    const qint64 mtimeNs = info.value(QStringLiteral("st_mtime")).toLongLong();
    QVERIFY(qAbs(mtimeNs / 1000000 - QFileInfo(f).lastModified().toMSecsSinceEpoch()) < 2);
    QVERIFY(info.contains(QStringLiteral("st_birthtime")));
    QVERIFY(info.contains(QStringLiteral("st_nlink")));
    QVERIFY(info.contains(QStringLiteral("st_blocks")));
    QCOMPARE(infoMap(afc(fd, kOpInfo, path("Library/Caches/deep")).payload).value(QStringLiteral("st_ifmt")),
             QStringLiteral("S_IFDIR"));

    // Missing paths give "object not found" and the stream stays in step.
    r = afc(fd, kOpRemove, path("/Library/Caches/missing"));
    QCOMPARE(r.op, kOpStatus);
    QCOMPARE(r.status(), 8u);
    QCOMPARE(afc(fd, kOpInfo, path("/nope")).status(), 8u);
    QByteArray openMissing;
    putLe(openMissing, 1);
    QCOMPARE(afc(fd, kOpOpen, openMissing + path("/nope")).status(), 8u);

    QCOMPARE(afc(fd, kOpMkdir, path("/Library/tmp/x/y")).status(), 0u);
    QVERIFY(QFileInfo(container + QStringLiteral("/Library/tmp/x/y")).isDir());
    QCOMPARE(afc(fd, kOpMkdir, path("/Library/tmp/x/y")).status(), 0u); // already there
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x")).status(), 33u); // not empty
    QCOMPARE(afc(fd, kOpRename, path("/Library/Caches/a.bin") + path("/Library/tmp/x/y/b.bin")).status(), 0u);
    QVERIFY(QFileInfo::exists(container + QStringLiteral("/Library/tmp/x/y/b.bin")));
    QVERIFY(!QFileInfo::exists(container + QStringLiteral("/Library/Caches/a.bin")));
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x/y/b.bin")).status(), 0u);
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x/y")).status(), 0u);
    QCOMPARE(afc(fd, kOpRemove, path("/")).status(), 10u); // never the root itself
    QCOMPARE(afc(fd, 99, QByteArray()).op, kOpStatus);     // unknown operation: a status, still in step
    QCOMPARE(afc(fd, kOpReadDir, path("/")).op, kOpData);
    ::close(fd);
}

void TestSimDevice::afcReadWriteBlocks() {
    const QString udid = QStringLiteral("blocks");
    const QString dir = createDevice(udid);
    writeApps(udid, {QStringLiteral("com.example.big")});
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.TraceAfc"),
                  QStringLiteral("true")}));
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = vend(dev, "com.example.big");
    QVERIFY(fd > 0);

    QByteArray mode;
    putLe(mode, 3);
    AfcReply r = afc(fd, kOpOpen, mode + path("/Documents.bin"));
    QCOMPARE(r.op, kOpOpenRes);
    const quint64 handle = le(r.payload.constData());
    QByteArray content(70000, '\0');
    for (int i = 0; i < content.size(); ++i) {
        content[i] = char(i * 7);
    }
    for (int off = 0; off < content.size(); off += 32768) {
        QByteArray h;
        putLe(h, handle);
        QCOMPARE(afc(fd, kOpWrite, h, content.mid(off, 32768)).status(), 0u);
    }
    QByteArray h;
    putLe(h, handle);
    QCOMPARE(afc(fd, kOpClose, h).status(), 0u);
    QCOMPARE(afc(fd, kOpClose, h).status(), 7u); // closed twice: invalid handle

    QByteArray readMode;
    putLe(readMode, 1);
    r = afc(fd, kOpOpen, readMode + path("Documents.bin"));
    const quint64 rh = le(r.payload.constData());
    QByteArray back;
    while (true) {
        QByteArray req;
        putLe(req, rh);
        putLe(req, 65536);
        r = afc(fd, kOpRead, req);
        QCOMPARE(r.op, kOpData);
        if (r.payload.isEmpty()) {
            break;
        }
        back += r.payload;
    }
    QCOMPARE(back, content);
    // A write on a read-only handle is refused.
    QByteArray rw;
    putLe(rw, rh);
    QCOMPARE(afc(fd, kOpWrite, rw, QByteArray("x")).status(), 10u);
    ::close(fd);

    QFile trace(dir + QStringLiteral("/afc-trace.log"));
    QVERIFY(trace.open(QIODevice::ReadOnly));
    const QByteArray expected = QByteArrayLiteral("WRITE 1 32768\nWRITE 1 32768\nWRITE 1 4464\n"
                                                  "READ 2 65536\nREAD 2 65536\nREAD 2 65536\nWRITE 2 1\n");
    QCOMPARE(trace.readAll(), expected);
}

void TestSimDevice::vendRefused_data() {
    QTest::addColumn<QByteArray>("bundleId");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown app") << QByteArray("com.example.absent") << QStringLiteral("ApplicationLookupFailed");
    QTest::newRow("path in identifier") << QByteArray("../../etc") << QStringLiteral("ApplicationLookupFailed");
    QTest::newRow("injected") << QByteArray("com.example.locked") << QStringLiteral("InstallationLookupFailed");
}

void TestSimDevice::vendRefused() {
    QFETCH(QByteArray, bundleId);
    QFETCH(QString, error);
    const QString udid = QStringLiteral("vendfail");
    if (!QFileInfo::exists(dirOf(udid))) {
        QVERIFY(!createDevice(udid).isEmpty());
        writeApps(udid, {QStringLiteral("com.example.locked")});
        QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid,
                      QStringLiteral("Sim.Faults.VendContainerFail"), QStringLiteral("[\"com.example.locked\"]")}));
    }
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.mobile.house_arrest");
    QVERIFY(fd > 0);
    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string("VendContainer"));
    plist_dict_set_item(req.get(), "Identifier", plist_new_string(bundleId.constData()));
    QVERIFY(sendPlist(fd, req.get()));
    Plist reply = recvPlist(fd);
    QCOMPARE(stringOf(plist_dict_get_item(reply.get(), "Error")), error);
    ::close(fd);
}

void TestSimDevice::afcEscapes_data() {
    QTest::addColumn<quint64>("op");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<quint64>("status"); // 0: allowed

    const QByteArray readMode("\x01\0\0\0\0\0\0\0", 8);
    const QByteArray writeMode("\x03\0\0\0\0\0\0\0", 8);
    QTest::newRow("dotdot listing") << kOpReadDir << path("../") << 10ull;
    QTest::newRow("passwd via dotdot") << kOpOpen << readMode + path("/../../etc/passwd") << 10ull;
    QTest::newRow("dotdot in the middle") << kOpInfo << path("Library/../../x") << 10ull;
    QTest::newRow("write above root") << kOpOpen << writeMode + path("../escaped") << 10ull;
    QTest::newRow("mkdir above root") << kOpMkdir << path("/../made") << 10ull;
    QTest::newRow("link to outside file") << kOpOpen << readMode + path("/out-file") << 10ull;
    QTest::newRow("write through outside link") << kOpOpen << writeMode + path("/out-file") << 10ull;
    QTest::newRow("list outside dir link") << kOpReadDir << path("/out-dir") << 10ull;
    QTest::newRow("through outside dir link") << kOpOpen << readMode + path("/out-dir/secret") << 10ull;
    QTest::newRow("mkdir through link") << kOpMkdir << path("/out-dir/new") << 10ull;
    QTest::newRow("rename out via link") << kOpRename << path("/inside.txt") + path("/out-dir/moved") << 10ull;
    QTest::newRow("link inside the root") << kOpOpen << readMode + path("/in-link") << 0ull;
    QTest::newRow("link info is the link") << kOpInfo << path("/out-file") << 0ull;
}

void TestSimDevice::afcEscapes() {
    QFETCH(quint64, op);
    QFETCH(QByteArray, target);
    QFETCH(quint64, status);
    const QString udid = QStringLiteral("escape");
    const QString outside = store.path() + QStringLiteral("/outside");
    const QString container = dirOf(udid) + QStringLiteral("/files/AppDomain-com.example.jail");
    if (!QFileInfo::exists(dirOf(udid))) {
        QVERIFY(!createDevice(udid).isEmpty());
        writeApps(udid, {QStringLiteral("com.example.jail")});
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(QDir().mkpath(container));
        QFile secret(outside + QStringLiteral("/secret"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("secret");
        secret.close();
        QFile inside(container + QStringLiteral("/inside.txt"));
        QVERIFY(inside.open(QIODevice::WriteOnly));
        inside.write("inside");
        inside.close();
        QVERIFY(QFile::link(outside + QStringLiteral("/secret"), container + QStringLiteral("/out-file")));
        QVERIFY(QFile::link(outside, container + QStringLiteral("/out-dir")));
        QVERIFY(QFile::link(QStringLiteral("inside.txt"), container + QStringLiteral("/in-link")));
    }
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = vend(dev, "com.example.jail");
    QVERIFY(fd > 0);
    const AfcReply r = afc(fd, op, target);
    if (status == 0) {
        QVERIFY(r.op != kOpStatus || r.status() == 0);
    } else {
        QCOMPARE(r.op, kOpStatus);
        QCOMPARE(r.status(), status);
    }
    ::close(fd);
    // Nothing outside changed.
    QCOMPARE(QDir(outside).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("secret")});
    QVERIFY(!QFileInfo::exists(dirOf(udid) + QStringLiteral("/files/escaped")));
    QVERIFY(QFileInfo::exists(container + QStringLiteral("/inside.txt")));
}

// A container that is itself a link elsewhere is never served.
void TestSimDevice::linkedContainerRefused() {
    const QString udid = QStringLiteral("linked");
    const QString dir = createDevice(udid);
    writeApps(udid, {QStringLiteral("com.example.linked")});
    const QString elsewhere = store.path() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/Library")));
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/files")));
    QVERIFY(QFile::link(elsewhere, dir + QStringLiteral("/files/AppDomain-com.example.linked")));
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = vend(dev, "com.example.linked");
    if (fd > 0) {
        QCOMPARE(afc(fd, kOpReadDir, path("/")).op, 0u); // connection ended, nothing listed
        ::close(fd);
    }
}

void TestSimDevice::mediaAfcRoot() {
    const QString udid = QStringLiteral("media");
    const QString dir = createDevice(udid);
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/files/MediaDomain/Media/DCIM")));
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.afc");
    QVERIFY(fd > 0);
    const QStringList names = zeroSeparated(afc(fd, kOpReadDir, path("/")).payload);
    QVERIFY(names.contains(QStringLiteral("DCIM")));
    QVERIFY(names.contains(QStringLiteral("..")));
    ::close(fd);
}

void TestSimDevice::notificationsRelayed() {
    am_device* dev = waitArrival(QStringLiteral("early"));
    QVERIFY(dev);
    const int watcher = startService(dev, "com.apple.mobile.notification_proxy");
    const int poster = startService(dev, "com.apple.mobile.notification_proxy");
    QVERIFY(watcher > 0 && poster > 0);
    auto command = [](const char* cmd, const char* name) {
        Plist msg(plist_new_dict());
        plist_dict_set_item(msg.get(), "Command", plist_new_string(cmd));
        if (name) {
            plist_dict_set_item(msg.get(), "Name", plist_new_string(name));
        }
        return msg;
    };
    QVERIFY(sendPlist(watcher, command("ObserveNotification", "com.example.ping").get()));
    // Observations are not answered: a notification relayed back to the
    // watcher itself shows that its requests have been handled.
    QVERIFY(sendPlist(watcher, command("ObserveNotification", "com.example.sync").get()));
    QVERIFY(sendPlist(watcher, command("PostNotification", "com.example.sync").get()));
    Plist sync = recvPlist(watcher);
    QCOMPARE(stringOf(plist_dict_get_item(sync.get(), "Name")), QStringLiteral("com.example.sync"));
    QVERIFY(sendPlist(poster, command("PostNotification", "com.example.other").get()));
    QVERIFY(sendPlist(poster, command("PostNotification", "com.example.ping").get()));
    QVERIFY(sendPlist(poster, command("Shutdown", nullptr).get()));
    Plist death = recvPlist(poster);
    QCOMPARE(stringOf(plist_dict_get_item(death.get(), "Command")), QStringLiteral("ProxyDeath"));
    Plist relay = recvPlist(watcher);
    QCOMPARE(stringOf(plist_dict_get_item(relay.get(), "Command")), QStringLiteral("RelayNotification"));
    QCOMPARE(stringOf(plist_dict_get_item(relay.get(), "Name")), QStringLiteral("com.example.ping"));
    ::close(poster);
    ::close(watcher);
}

void TestSimDevice::serviceFaults_data() {
    QTest::addColumn<QByteArray>("service");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("expected");
    QTest::newRow("unknown service") << QByteArray("com.example.nothing") << QString() << int(0xe8000022u);
    QTest::newRow("refused afc") << QByteArray("com.apple.afc") << QStringLiteral("-402653162") << -402653162;
    QTest::newRow("refused proxy") << QByteArray("com.apple.mobile.installation_proxy") << QStringLiteral("-5") << -5;
}

void TestSimDevice::serviceFaults() {
    QFETCH(QByteArray, service);
    QFETCH(QString, fault);
    QFETCH(int, expected);
    const QString udid = QStringLiteral("faults");
    if (!QFileInfo::exists(dirOf(udid))) {
        QVERIFY(!createDevice(udid).isEmpty());
    }
    if (!fault.isEmpty()) {
        QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid,
                      QStringLiteral("Sim.Faults.StartService.") + QString::fromLatin1(service), fault}));
    }
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    QCOMPARE(startService(dev, service.constData()), expected);
}

void TestSimDevice::dropAfterBytes() {
    const QString udid = QStringLiteral("dropper");
    QVERIFY(!createDevice(udid).isEmpty());
    writeApps(udid, {QStringLiteral("com.example.a"), QStringLiteral("com.example.b")});
    QVERIFY(tool({QStringLiteral("set"), QStringLiteral("--udid"), udid, QStringLiteral("Sim.Faults.DropAfterBytes"),
                  QStringLiteral("100")}));
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);
    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string("Browse"));
    QVERIFY(sendPlist(fd, req.get()));
    const QByteArray got = readExactly(fd, 1 << 20);
    QCOMPARE(got.size(), 100); // then end of stream
    // The program may still send; the simulator does not refuse its bytes.
    QVERIFY(sendPlist(fd, req.get()));
    ::close(fd);
}

void TestSimDevice::toolRejectsBadInput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("udid with slash") << QStringList{QStringLiteral("create"), QStringLiteral("--udid"),
                                                    QStringLiteral("../evil")};
    QTest::newRow("existing device") << QStringList{QStringLiteral("create"), QStringLiteral("--udid"),
                                                    QStringLiteral("early")};
    QTest::newRow("unknown preset") << QStringList{QStringLiteral("create"), QStringLiteral("--udid"),
                                                   QStringLiteral("p1"), QStringLiteral("--preset"),
                                                   QStringLiteral("huge")};
    QTest::newRow("unknown key") << QStringList{QStringLiteral("set"), QStringLiteral("--udid"),
                                                QStringLiteral("early"), QStringLiteral("Bogus.Key"),
                                                QStringLiteral("1")};
    QTest::newRow("bad JSON") << QStringList{QStringLiteral("set"), QStringLiteral("--udid"), QStringLiteral("early"),
                                             QStringLiteral("Sim.Faults.CopyValueFail"), QStringLiteral("[\"x\"")};
    QTest::newRow("missing device") << QStringList{QStringLiteral("plug"), QStringLiteral("--udid"),
                                                   QStringLiteral("ghost")};
}

void TestSimDevice::toolRejectsBadInput() {
    QFETCH(QStringList, args);
    QByteArray before;
    QVERIFY(tool({QStringLiteral("cat"), QStringLiteral("--udid"), QStringLiteral("early")}, &before));
    QVERIFY(!tool(args));
    QByteArray after;
    QVERIFY(tool({QStringLiteral("cat"), QStringLiteral("--udid"), QStringLiteral("early")}, &after));
    QCOMPARE(after, before);
    QVERIFY(!QFileInfo::exists(store.path() + QStringLiteral("/../evil")));
    QVERIFY(!QFileInfo::exists(dirOf(QStringLiteral("ghost"))));
}

// The demo device checked by an independent reader: Python's plistlib and
// sqlite3 look at what the tool wrote, and the cleaners' own statements run on
// copies of its databases (with the device-defined functions the triggers call).
void TestSimDevice::demoPreset() {
    const QString udid = QStringLiteral("demo");
    const QString dir = createDevice(udid, {QStringLiteral("--preset"), QStringLiteral("demo")});
    QVERIFY(!dir.isEmpty());
    const QString script = QStringLiteral(R"PY(
import glob, os, plistlib, shutil, sqlite3, sys, tempfile
root = sys.argv[1]; files = os.path.join(root, 'files')
apps = plistlib.load(open(os.path.join(root, 'apps.plist'), 'rb'))
user = [a for a in apps if a['ApplicationType'] == 'User']
assert len(user) >= 12 and any(a['ApplicationType'] == 'System' for a in apps)
assert any(a['CFBundleName'] == '' for a in user)
without = []
for a in user:
    c = os.path.join(files, 'AppDomain-' + a['CFBundleIdentifier'])
    assert os.path.isdir(os.path.join(c, 'Library/Caches')) and os.path.isdir(os.path.join(c, 'Library/tmp'))
    assert os.listdir(os.path.join(c, 'Documents'))
    art = os.path.join(c, 'iTunesArtwork')
    if os.path.exists(art):
        assert open(art, 'rb').read(8) == b'\x89PNG\r\n\x1a\n'
    else:
        without.append(a['CFBundleIdentifier'])
assert len(without) == 1, without
tmp = tempfile.mkdtemp()
def copy(rel):
    dst = os.path.join(tmp, os.path.basename(rel)); shutil.copy(os.path.join(files, rel), dst)
    return sqlite3.connect(dst, isolation_level=None)
sms = copy('HomeDomain/Library/SMS/sms.db')
names = {r[0].lower() for r in sms.execute("select name from sqlite_master where type='table'")}
assert {'chat', 'handle', 'chat_handle_join', 'message', 'chat_message_join'} <= names
refs = {f[f.index('Library/SMS/'):f.rindex('/')] for (f,) in sms.execute(
    'select a.filename from attachment as a inner join message_attachment_join as ma on a.rowid=ma.attachment_id')}
on_disk = {os.path.relpath(d, os.path.join(files, 'MediaDomain'))
           for d in glob.glob(os.path.join(files, 'MediaDomain/Library/SMS/Attachments/*/*/*'))}
assert refs and refs < on_disk and len(on_disk - refs) == 3, (refs, on_disk)
assert glob.glob(os.path.join(files, 'MediaDomain/Library/SMS/Parts/*/*/*'))
assert glob.glob(os.path.join(files, 'HomeDomain/Library/SMS/Drafts/*/*'))
try:
    sms.execute('delete from attachment'); raise SystemExit('triggers did not call device functions')
except sqlite3.OperationalError:
    pass
sms.create_function('delete_attachment_path', 1, lambda a: 0)
sms.create_function('before_delete_attachment_path', 2, lambda a, b: 0)
for t in ['attachment', 'chat', 'handle', 'message', 'message_attachment_join', 'chat_message_join', 'chat_handle_join']:
    sms.execute('delete from ' + t)
sms.execute("update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', 'attachment')")
sms.execute('vacuum')
hist = copy('AppDomain-com.apple.mobilesafari/Library/Safari/History.db')
assert hist.execute('select count(*) from history_visits').fetchone()[0] > 5
for q in ['delete from history_items', 'delete from history_tombstones', 'delete from history_visits',
          'delete from metadata', 'update sqlite_sequence set seq=0', 'vacuum']:
    hist.execute(q)
for d in ['Library/Safari/Thumbnails', 'Library/WebKit/WebsiteData/LocalStorage']:
    assert os.listdir(os.path.join(files, 'AppDomain-com.apple.mobilesafari', d))
calls = copy('WirelessDomain/Library/CallHistory/call_history.db')
assert calls.execute('select count(*) from call').fetchone()[0] > 5
for q in ['delete from call', 'update sqlite_sequence set seq=0', 'vacuum']:
    calls.execute(q)
store = copy('HomeDomain/Library/CallHistoryDB/CallHistory.storedata')
assert store.execute('select count(*) from ZCALLRECORD').fetchone()[0] > 5
for q in ['delete from ZCALLRECORD', 'delete from ZCALLDBPROPERTIES',
          "update Z_PRIMARYKEY set Z_MAX=0 where Z_NAME in ('CallDBProperties','CallRecord');", 'vacuum']:
    store.execute(q)
for dom in ['RootDomain', 'HomeDomain']:
    assert [f for f in glob.glob(os.path.join(files, dom, 'Library/Caches/**'), recursive=True) if os.path.isfile(f)]
total = sum(os.path.getsize(os.path.join(p, f)) for p, _, fs in os.walk(files) for f in fs)
assert 5 * 2**20 < total < 60 * 2**20, total
print('OK')
)PY");
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON), {QStringLiteral("-c"), script, dir});
    QVERIFY(py.waitForFinished(120000));
    QVERIFY2(py.exitCode() == 0, py.readAllStandardError().constData());
    QCOMPARE(py.readAllStandardOutput().trimmed(), QByteArray("OK"));

    // The library lists the same user apps.
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);
    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string("Browse"));
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ApplicationType", plist_new_string("User"));
    plist_dict_set_item(req.get(), "ClientOptions", options);
    QVERIFY(sendPlist(fd, req.get()));
    Plist first = recvPlist(fd);
    QCOMPARE(intOf(plist_dict_get_item(first.get(), "Total")), qint64(13));
    ::close(fd);
}

void TestSimDevice::afcHandles() {
    const QString udid = QStringLiteral("handles");
    const QString dir = createDevice(udid);
    writeApps(udid, {QStringLiteral("com.example.h")});
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    const int fd = vend(dev, "com.example.h");
    QVERIFY(fd > 0);
    QByteArray mode;
    putLe(mode, 4); // read-write, created
    AfcReply r = afc(fd, kOpOpen, mode + path("f"));
    QCOMPARE(r.op, kOpOpenRes);
    QByteArray h;
    putLe(h, le(r.payload.constData()));
    QCOMPARE(afc(fd, kOpWrite, h, QByteArray("0123456789")).status(), 0u);

    auto withArg = [&h](quint64 v) {
        QByteArray b = h;
        putLe(b, v);
        return b;
    };
    QCOMPARE(afc(fd, 27, withArg(2 | 4)).status(), 0u); // exclusive
    QCOMPARE(afc(fd, 27, withArg(8 | 4)).status(), 0u); // unlock
    QCOMPARE(afc(fd, 27, withArg(0)).status(), 7u);     // no such operation
    QByteArray seek = h;
    putLe(seek, 0); // from the start
    putLe(seek, 3);
    QCOMPARE(afc(fd, 17, seek).status(), 0u);
    r = afc(fd, 18, h);
    QCOMPARE(r.op, 19u);
    QCOMPARE(le(r.payload.constData()), 3u);
    QCOMPARE(afc(fd, kOpRead, withArg(4)).payload, QByteArray("3456"));
    QCOMPARE(afc(fd, 21, withArg(5)).status(), 0u); // truncate
    QCOMPARE(afc(fd, kOpClose, h).status(), 0u);
    QCOMPARE(QFileInfo(dir + QStringLiteral("/files/AppDomain-com.example.h/f")).size(), 5);

    QByteArray bogus;
    putLe(bogus, 777);
    QByteArray readReq = bogus;
    putLe(readReq, 10);
    QCOMPARE(afc(fd, kOpRead, readReq).status(), 7u);
    QCOMPARE(afc(fd, 27, bogus + withArg(2).mid(8)).status(), 7u);
    QCOMPARE(afc(fd, kOpOpen, QByteArray(8, '\x09') + path("f")).status(), 7u); // unknown mode
    QByteArray dirMode;
    putLe(dirMode, 1);
    QCOMPARE(afc(fd, kOpOpen, dirMode + path("/")).status(), 9u); // a folder is not a file
    ::close(fd);
}

void TestSimDevice::afcMalformedPackets_data() {
    QTest::addColumn<QByteArray>("magic");
    QTest::addColumn<quint64>("entire");
    QTest::addColumn<quint64>("thisLength");
    QTest::newRow("bad magic") << QByteArray("CFA6LPAB") << 40ull << 40ull;
    QTest::newRow("header too short") << QByteArray("CFA6LPAA") << 40ull << 39ull;
    QTest::newRow("entire below this") << QByteArray("CFA6LPAA") << 48ull << 56ull;
    QTest::newRow("entire huge") << QByteArray("CFA6LPAA") << (1ull << 40) << 40ull;
}

// A broken header gets an "invalid header" status and the connection ends:
// nothing is allocated from the announced length.
void TestSimDevice::afcMalformedPackets() {
    QFETCH(QByteArray, magic);
    QFETCH(quint64, entire);
    QFETCH(quint64, thisLength);
    am_device* dev = waitArrival(QStringLiteral("early"));
    QVERIFY(dev);
    const int fd = startService(dev, "com.apple.afc");
    QVERIFY(fd > 0);
    QByteArray pkt = magic;
    putLe(pkt, entire);
    putLe(pkt, thisLength);
    putLe(pkt, 1);
    putLe(pkt, kOpReadDir);
    QVERIFY(writeAll(fd, pkt));
    const QByteArray reply = readExactly(fd, 1 << 16);
    QCOMPARE(reply.size(), 48);
    QCOMPARE(le(reply.constData() + 32), kOpStatus);
    QCOMPARE(le(reply.constData() + 40), 2u);
    ::close(fd);
}

void TestSimDevice::framedGarbageClosesService_data() {
    QTest::addColumn<QByteArray>("service");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("proxy: length 4 GiB") << QByteArray("com.apple.mobile.installation_proxy")
                                         << QByteArray("\xff\xff\xff\xff", 4);
    QTest::newRow("proxy: not a plist") << QByteArray("com.apple.mobile.installation_proxy")
                                        << QByteArray("\0\0\0\x05hello", 9);
    QTest::newRow("house arrest: empty") << QByteArray("com.apple.mobile.house_arrest") << QByteArray(4, '\0');
    QTest::newRow("house arrest: not a dictionary")
        << QByteArray("com.apple.mobile.house_arrest") << QByteArray("\0\0\0\x0e<string/>\n\n\n\n\n", 18);
}

void TestSimDevice::framedGarbageClosesService() {
    QFETCH(QByteArray, service);
    QFETCH(QByteArray, bytes);
    am_device* dev = waitArrival(QStringLiteral("early"));
    QVERIFY(dev);
    const int fd = startService(dev, service.constData());
    QVERIFY(fd > 0);
    QVERIFY(writeAll(fd, bytes));
    // Either an error answer or the end of the stream, never a hang or a crash.
    Plist reply = recvPlist(fd);
    if (reply) {
        QVERIFY(plist_dict_get_item(reply.get(), "Error"));
    }
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
