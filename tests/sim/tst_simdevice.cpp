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
#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

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

QString field(const Plist& dict, const char* key) {
    return stringOf(plist_dict_get_item(dict.get(), key));
}

qint64 intOf(plist_t node) {
    uint64_t v = 0;
    if (node && plist_get_node_type(node) == PLIST_UINT) {
        plist_get_uint_val(node, &v);
    }
    return static_cast<qint64>(v);
}

// A request dictionary of string values, with an optional ApplicationType filter.
Plist request(const char* command, const char* key = nullptr, const char* value = nullptr,
              const char* appType = nullptr) {
    Plist req(plist_new_dict());
    plist_dict_set_item(req.get(), "Command", plist_new_string(command));
    if (key) {
        plist_dict_set_item(req.get(), key, plist_new_string(value));
    }
    if (appType) {
        plist_t options = plist_new_dict();
        plist_dict_set_item(options, "ApplicationType", plist_new_string(appType));
        plist_dict_set_item(req.get(), "ClientOptions", options);
    }
    return req;
}

struct Event {
    am_device* dev;
    unsigned int msg;
    QString udid;
    bool onMainThread;
};
QList<Event> g_events;

// Each framework function: the Api member, and its exported name after "AMDevice".
#define SIM_API(X)                                                                                                     \
    X(subscribe, NotificationSubscribe)                                                                                \
    X(copyId, CopyDeviceIdentifier)                                                                                    \
    X(connect, Connect)                                                                                                \
    X(isPaired, IsPaired)                                                                                              \
    X(pair, Pair) X(validate, ValidatePairing) X(startSession, StartSession) X(stopSession, StopSession)               \
        X(disconnect, Disconnect) X(copyValue, CopyValue) X(setValue, SetValue) X(startService, StartService)
struct Api {
#define SIM_API_MEMBER(member, name) AMDevice##name##_t member = nullptr;
    SIM_API(SIM_API_MEMBER)
};
Api g_api;

QString udidOf(am_device* dev) {
    Plist id(g_api.copyId(dev));
    return stringOf(id.get());
}

void onNotification(am_device_notification_callback_info* info, void*) {
    g_events.append({info->dev, info->msg, udidOf(info->dev), QThread::currentThread() == qApp->thread()});
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

am_device* waitArrival(const QString& udid) {
    return QTest::qWaitFor([&] { return currentHandle(udid) != nullptr; }, 3000) ? currentHandle(udid) : nullptr;
}

// AFC packet helpers (the client side, written from the wire format).
constexpr quint64 kOpStatus = 1, kOpData = 2, kOpReadDir = 3, kOpRemove = 8, kOpMkdir = 9, kOpInfo = 10, kOpOpen = 13,
                  kOpOpenRes = 14, kOpRead = 15, kOpWrite = 16, kOpSeek = 17, kOpTell = 18, kOpTellRes = 19,
                  kOpTruncate = 21, kOpClose = 20, kOpRename = 24, kOpLock = 27;

void putLe(QByteArray& b, quint64 v) {
    for (int i = 0; i < 8; ++i) {
        b.append(char(v >> (8 * i)));
    }
}

// Little-endian 64-bit words, one after another.
QByteArray words(std::initializer_list<quint64> values) {
    QByteArray b;
    for (quint64 v : values) {
        putLe(b, v);
    }
    return b;
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
    quint64 word() const { return payload.size() >= 8 ? le(payload.constData()) : ~0ull; }
    quint64 status() const { return word(); }
};

AfcReply afc(int fd, quint64 op, const QByteArray& headerData, const QByteArray& data = {}) {
    QByteArray pkt =
        "CFA6LPAA"_ba +
        words({quint64(40 + headerData.size() + data.size()), quint64(40 + headerData.size()), quint64(fd), op}) +
        headerData + data;
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

bool sendPlist(int fd, const Plist& node, bool binary = false) {
    char* data = nullptr;
    uint32_t len = 0;
    binary ? plist_to_bin(node.get(), &data, &len) : plist_to_xml(node.get(), &data, &len);
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

bool writeFile(const QString& name, const QByteArray& content) {
    QFile f(name);
    return QDir().mkpath(QFileInfo(name).path()) && f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

// Runs a Python script; its trimmed output, or its exit code and errors.
QByteArray python(const QString& script, const QStringList& args) {
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON), QStringList{u"-c"_s, script} + args);
    if (!py.waitForFinished(120000) || py.exitCode() != 0) {
        return "exit " + QByteArray::number(py.exitCode()) + ": " + py.readAllStandardError();
    }
    return py.readAllStandardOutput().trimmed();
}

} // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void arrivalPlugAndUnplug();
    void toolListsAndEdits();
    void pairing_data();
    void pairing();
    void sessionNeeded();
    void lockdownValues();
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
    void afcMalformedPackets_data();
    void afcMalformedPackets();
    void framedGarbageClosesService_data();
    void framedGarbageClosesService();

private:
    QString createDevice(const QString& udid, const QStringList& extra = {});
    bool tool(const QStringList& args, QByteArray* out = nullptr);
    bool set(const QString& udid, const QString& key, const QString& value) {
        return tool({u"set"_s, u"--udid"_s, udid, key, value});
    }
    void openSession(am_device* dev);
    void closeSession(am_device* dev);
    int startService(am_device* dev, const char* name);
    int startService(const QString& udid, const char* name) {
        am_device* dev = waitArrival(udid);
        return dev ? startService(dev, name) : INT_MIN;
    }
    int vend(am_device* dev, const char* bundleId);
    int vend(const QString& udid, const char* bundleId) {
        am_device* dev = waitArrival(udid);
        return dev ? vend(dev, bundleId) : -1;
    }
    void writeApps(const QString& udid, const QStringList& userIds, const QStringList& systemIds = {});
    QString dirOf(const QString& udid) const { return store.path() + u'/' + udid; }

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
#define SIM_API_RESOLVE(member, name) QVERIFY(resolve(g_api.member, "AMDevice" #name));
    SIM_API(SIM_API_RESOLVE)
    // Only the framework's functions are exported.
    QVERIFY(!lib.resolve("_ZN3sim9bytesUnderERK7QString"));

    // A device present before the subscription is announced too.
    createDevice(u"early"_s);
    void* subscription = nullptr;
    QCOMPARE(g_api.subscribe(onNotification, 0, 0, nullptr, &subscription), 0);
    QVERIFY(subscription);
    QVERIFY(waitArrival(u"early"_s));
}

QString TestSimDevice::createDevice(const QString& udid, const QStringList& extra) {
    return tool(QStringList{u"create"_s, u"--udid"_s, udid, u"--name"_s, u"Phone "_s + udid} + extra) ? dirOf(udid)
                                                                                                      : QString();
}

bool TestSimDevice::tool(const QStringList& args, QByteArray* out) {
    QProcess p;
    p.start(QStringLiteral(SIMDEVICE_TOOL), QStringList{u"--root"_s, store.path()} + args);
    if (!p.waitForFinished(60000)) {
        return false;
    }
    if (out) {
        *out = p.readAllStandardOutput();
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
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
    sendPlist(fd, request("VendContainer", "Identifier", bundleId));
    if (field(recvPlist(fd), "Status") != "Complete"_L1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// apps.plist in binary form written by Python's plistlib: an independent writer.
void TestSimDevice::writeApps(const QString& udid, const QStringList& userIds, const QStringList& systemIds) {
    QString apps;
    for (const QString& id : userIds) {
        apps += u"{'CFBundleIdentifier':'%1','CFBundleName':'App %1','ApplicationType':'User'},"_s.arg(id);
    }
    for (const QString& id : systemIds) {
        apps += u"{'CFBundleIdentifier':'%1','CFBundleName':'Sys','ApplicationType':'System'},"_s.arg(id);
    }
    const QString script =
        u"import plistlib,sys\nplistlib.dump([%1], open(sys.argv[1],'wb'), fmt=plistlib.FMT_BINARY)\n"_s.arg(apps);
    QCOMPARE(python(script, {dirOf(udid) + u"/apps.plist"_s}), QByteArray());
}

// Unplugging ends open service connections without any request; plugging in
// again gives a new handle; a device whose folder is removed leaves.
void TestSimDevice::arrivalPlugAndUnplug() {
    const QString udid = u"plugger"_s;
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* first = waitArrival(udid);
    QVERIFY(first);
    for (const Event& e : std::as_const(g_events)) {
        QVERIFY(e.onMainThread);
    }
    QCOMPARE(udidOf(first), udid);
    const int fd = startService(first, "com.apple.afc");
    QVERIFY(fd > 0);

    QVERIFY(tool({u"unplug"_s, u"--udid"_s, udid}));
    // Operations on an unplugged device fail at once, before the notification.
    QVERIFY(g_api.connect(first) < 0);
    pollfd p{fd, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 10000), 1);
    char byte = 0;
    QCOMPARE(::recv(fd, &byte, 1, 0), ssize_t(0));
    ::close(fd);
    QTRY_VERIFY_WITH_TIMEOUT(!currentHandle(udid), 1000);

    QVERIFY(tool({u"plug"_s, u"--udid"_s, udid}));
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

    QVERIFY(QDir(dirOf(udid)).removeRecursively());
    QTRY_VERIFY_WITH_TIMEOUT(!currentHandle(udid), 1000);
    QVERIFY(g_api.connect(second) < 0);
}

void TestSimDevice::toolListsAndEdits() {
    const QString udid = u"listed"_s;
    QVERIFY(!createDevice(udid, {u"--product-type"_s, u"iPod9,1"_s, u"--encrypt"_s, u"pw"_s}).isEmpty());
    QVERIFY(tool({u"unplug"_s, u"--udid"_s, udid}));
    QByteArray out;
    QVERIFY(tool({u"ls"_s}, &out));
    QVERIFY(out.contains("listed\tPhone listed\tiPod9,1\tiOS 14.4\tunplugged\tnot paired\n"));
    QVERIFY(out.contains("early\tPhone early\tiPhone12,1\tiOS 14.4\tplugged"));

    // Typed values, and null removing a key.
    QVERIFY(set(udid, u"Lockdown.DeviceName"_s, u"\"42\""_s));
    QVERIFY(set(udid, u"Lockdown.com.apple.disk_usage.TotalDataCapacity"_s, u"-1"_s));
    QVERIFY(set(udid, u"Sim.Faults.StartService.com.apple.afc"_s, u"{\"nested\": [1, true]}"_s));
    QVERIFY(set(udid, u"Sim.BackupPassword"_s, u"null"_s));
    QVERIFY(set(udid, u"Sim.TrustAccepted"_s, u"false"_s));
    QCOMPARE(python(u"import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\nl=d['Lockdown']\n"
                    "print(repr(l['']['DeviceName']), l['com.apple.disk_usage']['TotalDataCapacity'],"
                    "d['Sim']['Faults']['StartService']['com.apple.afc'], 'BackupPassword' in d['Sim'],"
                    "d['Sim']['TrustAccepted'])"_s,
                    {dirOf(udid) + u"/device.plist"_s}),
             QByteArray("'42' -1 {'nested': [1, True]} False False"));
}

void TestSimDevice::pairing_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("pairedAfter");
    QTest::newRow("accepted") << QString() << QString() << 0 << true;
    QTest::newRow("trust refused") << u"Sim.TrustAccepted"_s << u"false"_s << int(0xe8000096u) << false;
    QTest::newRow("fault code") << u"Sim.Faults.AMDevicePair"_s << u"-402653158"_s << -402653158 << false;
    QTest::newRow("positive fault is negated") << u"Sim.Faults.AMDevicePair"_s << u"17"_s << -17 << false;
}

void TestSimDevice::pairing() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(int, expected);
    QFETCH(bool, pairedAfter);
    const QString udid = u"pair-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
    QVERIFY(!createDevice(udid).isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    QVERIFY(key.isEmpty() || set(udid, key, value));
    QCOMPARE(g_api.isPaired(dev), 0);
    QVERIFY(g_api.pair(dev) < 0); // not connected yet
    QCOMPARE(g_api.connect(dev), 0);
    QCOMPARE(g_api.pair(dev), expected);
    QCOMPARE(g_api.isPaired(dev) != 0, pairedAfter);
    QCOMPARE(g_api.startSession(dev) == 0, pairedAfter);
    closeSession(dev);

    QByteArray xml;
    QVERIFY(tool({u"cat"_s, u"--udid"_s, udid}, &xml));
    QCOMPARE(xml.contains("<key>Paired</key>\n\t\t<true/>"), pairedAfter);
}

void TestSimDevice::sessionNeeded() {
    am_device* dev = waitArrival(u"early"_s);
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
    const QString udid = u"values"_s;
    const QString dir = createDevice(
        udid, {u"--icloud"_s, u"--encrypt"_s, u"pw"_s, u"--product-type"_s, u"iPad8,1"_s, u"--ios"_s, u"12.4"_s});
    QVERIFY(!dir.isEmpty());
    am_device* dev = waitArrival(udid);
    QVERIFY(dev);
    Plist tethered = str("com.apple.mobile.tethered_sync"), bookmarks = str("Bookmarks"), entry(plist_new_dict());
    plist_dict_set_item(entry.get(), "DisableTethered", plist_new_bool(1));
    QVERIFY(g_api.setValue(dev, tethered.get(), bookmarks.get(), entry.get()) < 0); // no session
    openSession(dev);
    auto value = [dev](const char* domain, const char* key) {
        Plist d = domain ? str(domain) : nullptr;
        Plist k = key ? str(key) : nullptr;
        return Plist(g_api.copyValue(dev, d.get(), k.get()));
    };
    QCOMPARE(stringOf(value(nullptr, "UniqueDeviceID").get()), udid);
    QCOMPARE(stringOf(value("", "DeviceName").get()), u"Phone values"_s);
    QCOMPARE(stringOf(value(nullptr, "ProductType").get()), u"iPad8,1"_s);
    QCOMPARE(stringOf(value(nullptr, "ProductVersion").get()), u"12.4"_s);
    QVERIFY(!value(nullptr, "NoSuchKey"));
    QVERIFY(!value("no.such.domain", nullptr));

    Plist backup = value("com.apple.mobile.backup", nullptr);
    QVERIFY(backup && plist_get_node_type(backup.get()) == PLIST_DICT);
    for (const char* key : {"CloudBackupEnabled", "WillEncrypt"}) {
        uint8_t b = 0;
        plist_get_bool_val(plist_dict_get_item(backup.get(), key), &b);
        QCOMPARE(b, uint8_t(1));
    }
    Plist emptyKey = value("com.apple.mobile.backup", "");
    QVERIFY(emptyKey && plist_get_node_type(emptyKey.get()) == PLIST_DICT);

    // Free space follows the bytes under files/.
    Plist disk = value("com.apple.disk_usage", nullptr);
    const qint64 total = intOf(plist_dict_get_item(disk.get(), "TotalDataCapacity"));
    const qint64 before = intOf(plist_dict_get_item(disk.get(), "AmountDataAvailable"));
    QVERIFY(before > 0 && before < total);
    QVERIFY(writeFile(dir + u"/files/MediaDomain/blob"_s, QByteArray(1 << 20, 'x')));
    QCOMPARE(intOf(value("com.apple.disk_usage", "AmountDataAvailable").get()), before - (1 << 20));

    // Injected failure of one key, read live.
    QVERIFY(set(udid, u"Sim.Faults.CopyValueFail"_s, u"[\"DeviceName\"]"_s));
    QVERIFY(!value(nullptr, "DeviceName"));
    QCOMPARE(stringOf(value(nullptr, "ProductType").get()), u"iPad8,1"_s);
    QCOMPARE(g_api.setValue(dev, tethered.get(), bookmarks.get(), entry.get()), 0);
    closeSession(dev);
    // What was set is readable by an independent reader.
    QCOMPARE(python(u"import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                    "print(d['Lockdown']['com.apple.mobile.tethered_sync']['Bookmarks']['DisableTethered'],"
                    "d['Sim']['Paired'])"_s,
                    {dir + u"/device.plist"_s}),
             QByteArray("True True"));
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
    const QString udid = u"browse%1"_s.arg(userApps);
    QVERIFY(!createDevice(udid).isEmpty());
    QStringList ids;
    for (int i = 0; i < userApps; ++i) {
        ids << u"com.example.app%1"_s.arg(i);
    }
    writeApps(udid, ids, {u"com.apple.mobilesafari"_s});
    const int fd = startService(udid, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);
    QVERIFY(sendPlist(fd, request("Browse", nullptr, nullptr, "User"), binary));

    QStringList seen;
    int messages = 0;
    while (true) {
        Plist msg = recvPlist(fd);
        QVERIFY(msg);
        const QString status = field(msg, "Status");
        if (status == "Complete"_L1) {
            break;
        }
        QCOMPARE(status, u"BrowsingApplications"_s);
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
    const QString dir = createDevice(u"afc"_s);
    writeApps(u"afc"_s, {u"com.example.notes"_s});
    const QString container = dir + u"/files/AppDomain-com.example.notes"_s;
    QVERIFY(QDir().mkpath(container + u"/Library/Caches/deep"_s));
    QVERIFY(writeFile(container + u"/Library/Caches/a.bin"_s, QByteArray(1234, 'a')));
    const int fd = vend(u"afc"_s, "com.example.notes");
    QVERIFY(fd > 0);

    AfcReply r = afc(fd, kOpReadDir, path("/Library/Caches"));
    QCOMPARE(r.op, kOpData);
    QStringList names = zeroSeparated(r.payload);
    names.sort();
    QCOMPARE(names, QStringList({u"."_s, u".."_s, u"a.bin"_s, u"deep"_s}));

    r = afc(fd, kOpInfo, path("/Library/Caches/a.bin"));
    QCOMPARE(r.op, kOpData);
    QMap<QString, QString> info = infoMap(r.payload);
    QCOMPARE(info.value(u"st_size"_s), u"1234"_s);
    QCOMPARE(info.value(u"st_ifmt"_s), u"S_IFREG"_s);
    const qint64 mtimeNs = info.value(u"st_mtime"_s).toLongLong();
    const QFileInfo written(container + u"/Library/Caches/a.bin"_s);
    QVERIFY(qAbs(mtimeNs / 1000000 - written.lastModified().toMSecsSinceEpoch()) < 2);
    for (const QString& key : {u"st_birthtime"_s, u"st_nlink"_s, u"st_blocks"_s}) {
        QVERIFY2(info.contains(key), qPrintable(key));
    }
    QCOMPARE(infoMap(afc(fd, kOpInfo, path("Library/Caches/deep")).payload).value(u"st_ifmt"_s), u"S_IFDIR"_s);

    // Missing paths give "object not found" and the stream stays in step.
    r = afc(fd, kOpRemove, path("/Library/Caches/missing"));
    QCOMPARE(r.op, kOpStatus);
    QCOMPARE(r.status(), 8u);
    QCOMPARE(afc(fd, kOpInfo, path("/nope")).status(), 8u);
    QCOMPARE(afc(fd, kOpOpen, words({1}) + path("/nope")).status(), 8u);

    QCOMPARE(afc(fd, kOpMkdir, path("/Library/tmp/x/y")).status(), 0u);
    QVERIFY(QFileInfo(container + u"/Library/tmp/x/y"_s).isDir());
    QCOMPARE(afc(fd, kOpMkdir, path("/Library/tmp/x/y")).status(), 0u); // already there
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x")).status(), 33u); // not empty
    QCOMPARE(afc(fd, kOpRename, path("/Library/Caches/a.bin") + path("/Library/tmp/x/y/b.bin")).status(), 0u);
    QVERIFY(QFileInfo::exists(container + u"/Library/tmp/x/y/b.bin"_s));
    QVERIFY(!QFileInfo::exists(container + u"/Library/Caches/a.bin"_s));
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x/y/b.bin")).status(), 0u);
    QCOMPARE(afc(fd, kOpRemove, path("/Library/tmp/x/y")).status(), 0u);
    QCOMPARE(afc(fd, kOpRemove, path("/")).status(), 10u); // never the root itself
    QCOMPARE(afc(fd, 99, QByteArray()).op, kOpStatus);     // unknown operation: a status, still in step
    QCOMPARE(afc(fd, kOpReadDir, path("/")).op, kOpData);

    // Open handles: lock, seek, tell, read, truncate; unknown handles and modes refused.
    r = afc(fd, kOpOpen, words({4}) + path("f")); // read-write, created
    QCOMPARE(r.op, kOpOpenRes);
    const quint64 h = r.word();
    QCOMPARE(afc(fd, kOpWrite, words({h}), QByteArray("0123456789")).status(), 0u);
    QCOMPARE(afc(fd, kOpLock, words({h, 2 | 4})).status(), 0u); // exclusive
    QCOMPARE(afc(fd, kOpLock, words({h, 8 | 4})).status(), 0u); // unlock
    QCOMPARE(afc(fd, kOpLock, words({h, 0})).status(), 7u);     // no such operation
    QCOMPARE(afc(fd, kOpSeek, words({h, 0, 3})).status(), 0u);  // from the start
    r = afc(fd, kOpTell, words({h}));
    QCOMPARE(r.op, kOpTellRes);
    QCOMPARE(r.word(), 3u);
    QCOMPARE(afc(fd, kOpRead, words({h, 4})).payload, QByteArray("3456"));
    QCOMPARE(afc(fd, kOpTruncate, words({h, 5})).status(), 0u);
    QCOMPARE(afc(fd, kOpClose, words({h})).status(), 0u);
    QCOMPARE(QFileInfo(container + u"/f"_s).size(), 5);

    QCOMPARE(afc(fd, kOpRead, words({777, 10})).status(), 7u);
    QCOMPARE(afc(fd, kOpLock, words({777, 2})).status(), 7u);
    QCOMPARE(afc(fd, kOpOpen, QByteArray(8, '\x09') + path("f")).status(), 7u); // unknown mode
    QCOMPARE(afc(fd, kOpOpen, words({1}) + path("/")).status(), 9u);            // a folder is not a file
    ::close(fd);
}

void TestSimDevice::afcReadWriteBlocks() {
    const QString dir = createDevice(u"blocks"_s);
    writeApps(u"blocks"_s, {u"com.example.big"_s});
    QVERIFY(set(u"blocks"_s, u"Sim.TraceAfc"_s, u"true"_s));
    const int fd = vend(u"blocks"_s, "com.example.big");
    QVERIFY(fd > 0);

    AfcReply r = afc(fd, kOpOpen, words({3}) + path("/Documents.bin"));
    QCOMPARE(r.op, kOpOpenRes);
    const QByteArray handle = words({r.word()});
    QByteArray content(70000, '\0');
    for (int i = 0; i < content.size(); ++i) {
        content[i] = char(i * 7);
    }
    for (int off = 0; off < content.size(); off += 32768) {
        QCOMPARE(afc(fd, kOpWrite, handle, content.mid(off, 32768)).status(), 0u);
    }
    QCOMPARE(afc(fd, kOpClose, handle).status(), 0u);
    QCOMPARE(afc(fd, kOpClose, handle).status(), 7u); // closed twice: invalid handle

    const quint64 rh = afc(fd, kOpOpen, words({1}) + path("Documents.bin")).word();
    QByteArray back;
    while (true) {
        r = afc(fd, kOpRead, words({rh, 65536}));
        QCOMPARE(r.op, kOpData);
        if (r.payload.isEmpty()) {
            break;
        }
        back += r.payload;
    }
    QCOMPARE(back, content);
    // A write on a read-only handle is refused.
    QCOMPARE(afc(fd, kOpWrite, words({rh}), QByteArray("x")).status(), 10u);
    ::close(fd);

    QFile trace(dir + u"/afc-trace.log"_s);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    QCOMPARE(trace.readAll(), QByteArrayLiteral("WRITE 1 32768\nWRITE 1 32768\nWRITE 1 4464\n"
                                                "READ 2 65536\nREAD 2 65536\nREAD 2 65536\nWRITE 2 1\n"));
}

void TestSimDevice::vendRefused_data() {
    QTest::addColumn<QByteArray>("bundleId");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown app") << QByteArray("com.example.absent") << u"ApplicationLookupFailed"_s;
    QTest::newRow("path in identifier") << QByteArray("../../etc") << u"ApplicationLookupFailed"_s;
    QTest::newRow("injected") << QByteArray("com.example.locked") << u"InstallationLookupFailed"_s;
}

void TestSimDevice::vendRefused() {
    QFETCH(QByteArray, bundleId);
    QFETCH(QString, error);
    const QString udid = u"vendfail"_s;
    if (!QFileInfo::exists(dirOf(udid))) {
        QVERIFY(!createDevice(udid).isEmpty());
        writeApps(udid, {u"com.example.locked"_s});
        QVERIFY(set(udid, u"Sim.Faults.VendContainerFail"_s, u"[\"com.example.locked\"]"_s));
    }
    const int fd = startService(udid, "com.apple.mobile.house_arrest");
    QVERIFY(fd > 0);
    QVERIFY(sendPlist(fd, request("VendContainer", "Identifier", bundleId.constData())));
    QCOMPARE(field(recvPlist(fd), "Error"), error);
    ::close(fd);
}

void TestSimDevice::afcEscapes_data() {
    QTest::addColumn<quint64>("op");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<quint64>("status"); // 0: allowed

    const QByteArray readMode = words({1}), writeMode = words({3});
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
    const QString udid = u"escape"_s;
    const QString outside = store.path() + u"/outside"_s;
    const QString container = dirOf(udid) + u"/files/AppDomain-com.example.jail"_s;
    if (!QFileInfo::exists(dirOf(udid))) {
        QVERIFY(!createDevice(udid).isEmpty());
        writeApps(udid, {u"com.example.jail"_s});
        QVERIFY(writeFile(outside + u"/secret"_s, "secret"));
        QVERIFY(writeFile(container + u"/inside.txt"_s, "inside"));
        QVERIFY(QFile::link(outside + u"/secret"_s, container + u"/out-file"_s));
        QVERIFY(QFile::link(outside, container + u"/out-dir"_s));
        QVERIFY(QFile::link(u"inside.txt"_s, container + u"/in-link"_s));
    }
    const int fd = vend(udid, "com.example.jail");
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
    QCOMPARE(QDir(outside).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), QStringList{u"secret"_s});
    QVERIFY(!QFileInfo::exists(dirOf(udid) + u"/files/escaped"_s));
    QVERIFY(QFileInfo::exists(container + u"/inside.txt"_s));
}

// A container that is itself a link elsewhere is never served.
void TestSimDevice::linkedContainerRefused() {
    const QString dir = createDevice(u"linked"_s);
    writeApps(u"linked"_s, {u"com.example.linked"_s});
    const QString elsewhere = store.path() + u"/elsewhere"_s;
    QVERIFY(QDir().mkpath(elsewhere + u"/Library"_s));
    QVERIFY(QDir().mkpath(dir + u"/files"_s));
    QVERIFY(QFile::link(elsewhere, dir + u"/files/AppDomain-com.example.linked"_s));
    const int fd = vend(u"linked"_s, "com.example.linked");
    if (fd > 0) {
        QCOMPARE(afc(fd, kOpReadDir, path("/")).op, 0u); // connection ended, nothing listed
        ::close(fd);
    }
}

void TestSimDevice::mediaAfcRoot() {
    QVERIFY(QDir().mkpath(dirOf(u"early"_s) + u"/files/MediaDomain/Media/DCIM"_s));
    const int fd = startService(u"early"_s, "com.apple.afc");
    QVERIFY(fd > 0);
    const QStringList names = zeroSeparated(afc(fd, kOpReadDir, path("/")).payload);
    QVERIFY(names.contains(u"DCIM"_s) && names.contains(u".."_s));
    ::close(fd);
}

void TestSimDevice::notificationsRelayed() {
    const int watcher = startService(u"early"_s, "com.apple.mobile.notification_proxy");
    const int poster = startService(u"early"_s, "com.apple.mobile.notification_proxy");
    QVERIFY(watcher > 0 && poster > 0);
    QVERIFY(sendPlist(watcher, request("ObserveNotification", "Name", "com.example.ping")));
    // Observations are not answered: a notification relayed back to the
    // watcher itself shows that its requests have been handled.
    QVERIFY(sendPlist(watcher, request("ObserveNotification", "Name", "com.example.sync")));
    QVERIFY(sendPlist(watcher, request("PostNotification", "Name", "com.example.sync")));
    QCOMPARE(field(recvPlist(watcher), "Name"), u"com.example.sync"_s);
    QVERIFY(sendPlist(poster, request("PostNotification", "Name", "com.example.other")));
    QVERIFY(sendPlist(poster, request("PostNotification", "Name", "com.example.ping")));
    QVERIFY(sendPlist(poster, request("Shutdown")));
    QCOMPARE(field(recvPlist(poster), "Command"), u"ProxyDeath"_s);
    Plist relay = recvPlist(watcher);
    QCOMPARE(field(relay, "Command"), u"RelayNotification"_s);
    QCOMPARE(field(relay, "Name"), u"com.example.ping"_s);
    ::close(poster);
    ::close(watcher);
}

void TestSimDevice::serviceFaults_data() {
    QTest::addColumn<QByteArray>("service");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("expected");
    QTest::newRow("unknown service") << QByteArray("com.example.nothing") << QString() << int(0xe8000022u);
    QTest::newRow("refused afc") << QByteArray("com.apple.afc") << u"-402653162"_s << -402653162;
    QTest::newRow("refused proxy") << QByteArray("com.apple.mobile.installation_proxy") << u"-5"_s << -5;
}

void TestSimDevice::serviceFaults() {
    QFETCH(QByteArray, service);
    QFETCH(QString, fault);
    QFETCH(int, expected);
    const QString udid = u"faults"_s;
    QVERIFY(QFileInfo::exists(dirOf(udid)) || !createDevice(udid).isEmpty());
    QVERIFY(fault.isEmpty() || set(udid, u"Sim.Faults.StartService."_s + QString::fromLatin1(service), fault));
    QCOMPARE(startService(udid, service.constData()), expected);
}

void TestSimDevice::dropAfterBytes() {
    QVERIFY(!createDevice(u"dropper"_s).isEmpty());
    writeApps(u"dropper"_s, {u"com.example.a"_s, u"com.example.b"_s});
    QVERIFY(set(u"dropper"_s, u"Sim.Faults.DropAfterBytes"_s, u"100"_s));
    const int fd = startService(u"dropper"_s, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);
    QVERIFY(sendPlist(fd, request("Browse")));
    QCOMPARE(readExactly(fd, 1 << 20).size(), 100); // then end of stream
    // The program may still send; the simulator does not refuse its bytes.
    QVERIFY(sendPlist(fd, request("Browse")));
    ::close(fd);
}

void TestSimDevice::toolRejectsBadInput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("udid with slash") << QStringList{u"create"_s, u"--udid"_s, u"../evil"_s};
    QTest::newRow("existing device") << QStringList{u"create"_s, u"--udid"_s, u"early"_s};
    QTest::newRow("unknown preset") << QStringList{u"create"_s, u"--udid"_s, u"p1"_s, u"--preset"_s, u"huge"_s};
    QTest::newRow("unknown key") << QStringList{u"set"_s, u"--udid"_s, u"early"_s, u"Bogus.Key"_s, u"1"_s};
    QTest::newRow("bad JSON") << QStringList{u"set"_s, u"--udid"_s, u"early"_s, u"Sim.Faults.CopyValueFail"_s,
                                             u"[\"x\""_s};
    QTest::newRow("missing device") << QStringList{u"plug"_s, u"--udid"_s, u"ghost"_s};
}

void TestSimDevice::toolRejectsBadInput() {
    QFETCH(QStringList, args);
    const QStringList cat{u"cat"_s, u"--udid"_s, u"early"_s};
    QByteArray before, after;
    QVERIFY(tool(cat, &before));
    QVERIFY(!tool(args));
    QVERIFY(tool(cat, &after));
    QCOMPARE(after, before);
    QVERIFY(!QFileInfo::exists(store.path() + u"/../evil"_s));
    QVERIFY(!QFileInfo::exists(dirOf(u"ghost"_s)));
}

// The demo device checked by an independent reader: Python's plistlib and
// sqlite3 look at what the tool wrote, and the cleaners' own statements run on
// copies of its databases (with the device-defined functions the triggers call).
void TestSimDevice::demoPreset() {
    const QString dir = createDevice(u"demo"_s, {u"--preset"_s, u"demo"_s});
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
    QCOMPARE(python(script, {dir}), QByteArray("OK"));

    // The library lists the same user apps.
    const int fd = startService(u"demo"_s, "com.apple.mobile.installation_proxy");
    QVERIFY(fd > 0);
    QVERIFY(sendPlist(fd, request("Browse", nullptr, nullptr, "User")));
    Plist first = recvPlist(fd);
    QCOMPARE(intOf(plist_dict_get_item(first.get(), "Total")), qint64(13));
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
    const int fd = startService(u"early"_s, "com.apple.afc");
    QVERIFY(fd > 0);
    QVERIFY(writeAll(fd, magic + words({entire, thisLength, 1, kOpReadDir})));
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
    const int fd = startService(u"early"_s, service.constData());
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
