// The simulator where no client test looks: injected faults, confinement of the
// AFC server (spoken over raw sockets), lockdown writes, malformed AFC headers and
// the simdevice tool, read by Python. What a client sees through the simulator
// is tested by the device, services, cleaners and ui suites.

#include "device/mobiledevice_msg.h"
#include "tests/app/datarows.h"
#include "tests/device/simfixture.h"

#include <QLibrary>
#include <QtEndian>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The tables of the data-driven cases, and their other fixture data.
const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/sim/tst_simdevice.json");

// A framework function by its name after "AMDevice".
#define AM(name) reinterpret_cast<AMDevice##name##_t>(mobiledevice_loader_mf("AMDevice" #name))

using Node = std::unique_ptr<void, decltype(&plist_free)>;

Node node(const CFType& value) {
    return Node(value.toPlistNode(), plist_free);
}

Node node(const char* text) {
    return node(CFType::createCFString(QString::fromUtf8(text)));
}

// AFC packets, the client side written from the wire format.
constexpr quint64 kOpStatus = 1, kOpReadDir = 3, kOpRemove = 8, kOpMkdir = 9, kOpInfo = 10, kOpOpen = 13,
                  kOpRename = 24;

// Little-endian 64-bit words, one after another.
QByteArray words(std::initializer_list<quint64> values) {
    QByteArray b(qsizetype(8 * values.size()), '\0');
    qToLittleEndian<quint64>(values.begin(), qsizetype(values.size()), b.data());
    return b;
}

bool writeAll(int fd, const QByteArray& b) {
    return mobiledevice_send_all(unsigned(fd), b.constData(), int(b.size()), 5000) == b.size();
}

// Up to len bytes; fewer when the peer closes or 5 s pass.
QByteArray readUpTo(int fd, qsizetype len) {
    QByteArray out(len, '\0');
    out.resize(qMax(0, mobiledevice_recv_all(unsigned(fd), out.data(), int(len), 5000)));
    return out;
}

// One request; the reply's operation and status word (operation 0 when the connection ended).
std::pair<quint64, quint64> afc(int fd, quint64 op, const QByteArray& headerData) {
    const quint64 length = 40 + quint64(headerData.size());
    const QByteArray reply =
        writeAll(fd, "CFA6LPAA"_ba + words({length, length, 1, op}) + headerData) ? readUpTo(fd, 40) : QByteArray();
    if (reply.size() != 40)
        return {0, 0};
    const QByteArray payload = readUpTo(fd, qsizetype(qFromLittleEndian<quint64>(reply.constData() + 8) - 40));
    return {qFromLittleEndian<quint64>(reply.constData() + 32),
            payload.size() >= 8 ? qFromLittleEndian<quint64>(payload.constData()) : ~0ull};
}

QByteArray path(const char* p) {
    return QByteArray(p) + '\0';
}

// Runs a Python script; its trimmed output, or its exit code and errors.
QByteArray python(const QString& script, const QStringList& args) {
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON), QStringList{u"-c"_s, script} + args);
    if (!py.waitForFinished(120000) || py.exitCode() != 0)
        return "exit " + QByteArray::number(py.exitCode()) + ": " + py.readAllStandardError();
    return py.readAllStandardOutput().trimmed();
}

ino_t inodeOf(const QString& file) {
    struct stat st {};
    return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestSimDevice : public QObject {
    Q_OBJECT

    SimStore sim;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx{&receiver, "iosDeviceConnected", "iosDeviceDisconnected"};

    bool create(const QString& udid, const QStringList& extra = {}) {
        return QFileInfo::exists(sim.deviceDir(udid)) ||
               sim.tool(QStringList{u"create"_s, u"--udid"_s, udid, u"--name"_s, u"Phone "_s + udid} + extra);
    }
    am_device* waitArrival(const QString& udid) {
        return QTest::qWaitFor([&] { return receiver.deviceFor(udid) != nullptr; }, 3000) ? receiver.deviceFor(udid)
                                                                                          : nullptr;
    }
    static void closeSession(am_device* dev) { AM(StopSession)(dev), AM(Disconnect)(dev); }
    // The service's socket, or the failing result code.
    int startService(const QString& udid, const char* name) {
        am_device* dev = waitArrival(udid);
        QString error;
        if (!dev || device_open(dev, error) != 0)
            return INT_MIN;
        unsigned int sock = 0;
        const int rc = AM(StartService)(dev, node(name).get(), &sock, nullptr);
        closeSession(dev);
        return rc == 0 ? int(sock) : rc;
    }
    // A house-arrest socket speaking AFC in the app's container, or the answer's error.
    std::pair<int, QString> vend(const QString& udid, const char* bundleId) {
        const int fd = startService(udid, "com.apple.mobile.house_arrest");
        CFType request = CFType::createCFDictionary();
        request.put(u"Command"_s, CFType::createCFString(u"VendContainer"_s))
            .put(u"Identifier"_s, CFType::createCFString(QString::fromUtf8(bundleId)));
        CFType answer;
        try { // fails at once when fd is a result code
            mobiledevice_sendmsg(unsigned(fd), request, false, 5000);
            answer = mobiledevice_recmsg(unsigned(fd), request, 5000);
        } catch (const std::runtime_error&) {
        }
        if (answer.get(u"Status"_s).CFStringQString() == "Complete"_L1)
            return {fd, QString()};
        ::close(fd);
        return {-1, answer.get(u"Error"_s).CFStringQString()};
    }
    // apps.plist in binary form written by Python's plistlib: an independent writer.
    void writeApps(const QString& udid, const QString& bundleId) {
        QCOMPARE(python(u"import plistlib,sys\nplistlib.dump([{'CFBundleIdentifier':'%1','CFBundleName':'A',"
                        "'ApplicationType':'User'}, {'CFBundleIdentifier':'com.example.own','SimVendContainer':True},"
                        "{'CFBundleIdentifier':'com.example.store','SimVendContainer':False}],"
                        "open(sys.argv[1],'wb'), fmt=plistlib.FMT_BINARY)"_s.arg(bundleId),
                        {sim.deviceDir(udid) + u"/apps.plist"_s}),
                 QByteArray());
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(sim.init(&why), qPrintable(why));
        // Only the framework's functions are exported.
        QLibrary lib(QStringLiteral(VEXLAR_SIMDEVICE_LIBRARY));
        QVERIFY(lib.resolve("AMDeviceConnect") && !lib.resolve("_ZN3sim9bytesUnderERK7QString"));
        // A device present before the subscription is announced too.
        QVERIFY(create(u"early"_s));
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY(waitArrival(u"early"_s));
    }

    void toolListsAndEdits() {
        const QString udid = u"listed"_s;
        QVERIFY(create(udid, {u"--product-type"_s, u"iPod9,1"_s, u"--encrypt"_s, u"pw"_s}));
        QVERIFY(sim.tool({u"unplug"_s, u"--udid"_s, udid}));
        QString out;
        QVERIFY(sim.tool({u"ls"_s}, &out));
        QVERIFY2(out.contains("listed\tPhone listed\tiPod9,1\tiOS 14.4\tunplugged\tnot paired\n") &&
                     out.contains("early\tPhone early\tiPhone12,1\tiOS 14.4\tplugged"),
                 qPrintable(out));
        // Typed values, and null removing a key.
        QVERIFY(sim.set(udid, u"Lockdown.DeviceName"_s, u"\"42\""_s));
        QVERIFY(sim.set(udid, u"Lockdown.com.apple.disk_usage.TotalDataCapacity"_s, u"-1"_s));
        QVERIFY(sim.set(udid, u"Sim.Faults.StartService.com.apple.afc"_s, u"{\"nested\": [1, true]}"_s));
        QVERIFY(sim.set(udid, u"Sim.BackupPassword"_s, u"null"_s));
        QCOMPARE(python(u"import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\nl=d['Lockdown']\n"
                        "print(repr(l['']['DeviceName']), l['com.apple.disk_usage']['TotalDataCapacity'],"
                        "d['Sim']['Faults']['StartService']['com.apple.afc'], 'BackupPassword' in d['Sim'])"_s,
                        {sim.deviceDir(udid) + u"/device.plist"_s}),
                 QByteArray("'42' -1 {'nested': [1, True]} False"));
    }

    void toolRejectsBadInput_data() { addRowsFrom(kTables, "toolRejectsBadInput"); }

    void toolRejectsBadInput() {
        QFETCH(QStringList, args);
        const QStringList cat{u"cat"_s, u"--udid"_s, u"early"_s};
        QString before, after;
        QVERIFY(sim.tool(cat, &before));
        QVERIFY(!sim.tool(args));
        QVERIFY(sim.tool(cat, &after));
        QCOMPARE(after, before);
        for (const QString& made : {sim.path() + u"/../evil"_s, sim.deviceDir(u"ghost"_s), sim.deviceDir(u"p1"_s)})
            QVERIFY2(!QFileInfo::exists(made), qPrintable(made));
    }

    // The demo device's data files checked by an independent reader (its apps
    // are listed, shown and cleaned by the client suites).
    void demoPreset() {
        QVERIFY(create(u"demo"_s, {u"--preset"_s, u"demo"_s}));
        const QString script = QStringLiteral(R"PY(
import glob, os, sqlite3, sys; files = os.path.join(sys.argv[1], 'files')
db = lambda rel: sqlite3.connect('file:' + os.path.join(files, rel) + '?mode=ro', uri=True)
sms = db('HomeDomain/Library/SMS/sms.db')
assert {'chat', 'handle', 'chat_handle_join', 'message', 'chat_message_join'} <= {
    r[0].lower() for r in sms.execute("select name from sqlite_master where type='table'")}
refs = {f[f.index('Library/SMS/'):f.rindex('/')] for (f,) in sms.execute(
    'select a.filename from attachment as a inner join message_attachment_join as ma on a.rowid=ma.attachment_id')}
on_disk = {os.path.relpath(d, os.path.join(files, 'MediaDomain'))
           for d in glob.glob(os.path.join(files, 'MediaDomain/Library/SMS/Attachments/*/*/*'))}
assert refs and refs < on_disk and len(on_disk - refs) == 3, (refs, on_disk)
assert 'delete_attachment_path' in ''.join(r[0] or '' for r in sms.execute('select sql from sqlite_master'))  # triggers
for rel, table in [('AppDomain-com.apple.mobilesafari/Library/Safari/History.db', 'history_visits'),
                   ('WirelessDomain/Library/CallHistory/call_history.db', 'call'),
                   ('HomeDomain/Library/CallHistoryDB/CallHistory.storedata', 'ZCALLRECORD')]:
    assert db(rel).execute('select count(*) from ' + table).fetchone()[0] > 5, rel
safari = 'AppDomain-com.apple.mobilesafari/Library/'
for d in ['MediaDomain/Library/SMS/Parts', 'HomeDomain/Library/SMS/Drafts', safari + 'Safari/Thumbnails',
          safari + 'WebKit/WebsiteData/LocalStorage', 'RootDomain/Library/Caches', 'HomeDomain/Library/Caches']:
    assert [f for f in glob.glob(os.path.join(files, d, '**'), recursive=True) if os.path.isfile(f)], d
assert 5 * 2**20 < sum(os.path.getsize(os.path.join(p, f)) for p, _, fs in os.walk(files) for f in fs) < 60 * 2**20
print('OK')
)PY");
        QCOMPARE(python(script, {sim.deviceDir(u"demo"_s)}), QByteArray("OK"));
    }

    // Values are read and written only in a session; a write replaces
    // device.plist whole (a new file renamed over it, nothing left beside it).
    void lockdownWrites() {
        const QString udid = u"values"_s, plist = sim.deviceDir(udid) + u"/device.plist"_s;
        QVERIFY(create(udid));
        am_device* dev = waitArrival(udid);
        QVERIFY(dev);
        const Node domain = node("com.apple.mobile.tethered_sync"), key = node("Bookmarks"), name = node("DeviceName");
        const Node value = node(CFType::createCFDictionary().put(u"DisableTethered"_s, CFType::createCFBoolean(true)));
        unsigned int sock = 0;
        QVERIFY(!Node(AM(CopyValue)(dev, nullptr, name.get()), plist_free));
        QVERIFY(AM(SetValue)(dev, domain.get(), key.get(), value.get()) < 0);
        QCOMPARE(AM(Connect)(dev), 0);
        QVERIFY(AM(StartService)(dev, node("com.apple.afc").get(), &sock, nullptr) < 0);
        QVERIFY(AM(StopSession)(dev) < 0); // not counted below zero
        AM(Disconnect)(dev);

        QString error;
        QCOMPARE(device_open(dev, error), 0);
        const QStringList before = QDir(sim.deviceDir(udid)).entryList(QDir::Files);
        const ino_t inode = inodeOf(plist);
        QCOMPARE(AM(SetValue)(dev, domain.get(), key.get(), value.get()), 0);
        closeSession(dev);
        QVERIFY(inodeOf(plist) != inode);
        QCOMPARE(QDir(sim.deviceDir(udid)).entryList(QDir::Files), before);
        QCOMPARE(python(u"import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                        "print(d['Lockdown']['com.apple.mobile.tethered_sync']['Bookmarks']['DisableTethered'],"
                        "d['Sim']['Paired'])"_s,
                        {plist}),
                 QByteArray("True True"));
    }

    void injectedFaults_data() { addRowsFrom(kTables, "injectedFaults"); }

    // Each on a fresh device. The pairing record reaches device.plist only
    // when pairing succeeds.
    void injectedFaults() {
        QFETCH(QString, setup);
        QFETCH(QString, action);
        QFETCH(QString, expected);
        const QString udid = u"fault-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        const QByteArray name = action.section(u' ', 1).toUtf8();
        QVERIFY(create(udid));
        QVERIFY(setup.isEmpty() || sim.set(udid, setup.section(u' ', 0, 0), setup.section(u' ', 1)));
        QString got;
        if (action == "pair"_L1) {
            am_device* dev = waitArrival(udid);
            QVERIFY(dev);
            QVERIFY(AM(Pair)(dev) < 0); // not connected yet
            QCOMPARE(AM(Connect)(dev), 0);
            got = QString::number(AM(Pair)(dev));
            QCOMPARE(AM(StartSession)(dev) == 0, got == "0"_L1);
            closeSession(dev);
            QString xml;
            QVERIFY(sim.tool({u"cat"_s, u"--udid"_s, udid}, &xml));
            QCOMPARE(xml.contains("<key>Paired</key>\n\t\t<true/>"_L1), got == "0"_L1);
        } else if (action.startsWith("service"_L1)) {
            got = QString::number(startService(udid, name.constData()));
        } else {
            writeApps(udid, u"com.example.locked"_s);
            got = vend(udid, name.constData()).second;
        }
        QCOMPARE(got, expected);
    }

    void afcEscapes_data() { addRowsFrom(kTables, "afcEscapes"); }

    void afcEscapes() {
        QFETCH(QString, op);
        QFETCH(QStringList, paths);
        QFETCH(int, status);
        static const QHash<QString, quint64> ops{
            {u"readdir"_s, kOpReadDir}, {u"read"_s, kOpOpen},     {u"write"_s, kOpOpen},   {u"info"_s, kOpInfo},
            {u"mkdir"_s, kOpMkdir},     {u"remove"_s, kOpRemove}, {u"rename"_s, kOpRename}};
        QByteArray target = op == "read"_L1 ? words({1}) : op == "write"_L1 ? words({3}) : QByteArray();
        for (const QString& p : paths) {
            target += path(qPrintable(p));
        }
        const QString udid = u"escape"_s, outside = sim.path() + u"/outside"_s;
        const QString container = sim.deviceDir(udid) + u"/files/AppDomain-com.example.jail"_s;
        if (!QFileInfo::exists(sim.deviceDir(udid))) {
            QVERIFY(create(udid));
            writeApps(udid, u"com.example.jail"_s);
            QVERIFY(QDir().mkpath(outside) && QDir().mkpath(container));
            QVERIFY(QFile(outside + u"/secret"_s).open(QIODevice::WriteOnly));
            QVERIFY(QFile(container + u"/inside.txt"_s).open(QIODevice::WriteOnly));
            QVERIFY(QFile::link(outside + u"/secret"_s, container + u"/out-file"_s));
            QVERIFY(QFile::link(outside, container + u"/out-dir"_s));
            QVERIFY(QFile::link(u"inside.txt"_s, container + u"/in-link"_s));
        }
        const int fd = vend(udid, "com.example.jail").first;
        QVERIFY(fd > 0);
        const auto [replyOp, replyStatus] = afc(fd, ops.value(op), target);
        ::close(fd);
        QCOMPARE(replyOp == kOpStatus ? replyStatus : 0, quint64(status));
        // Nothing outside changed.
        QCOMPARE(QDir(outside).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), QStringList{u"secret"_s});
        QVERIFY(!QFileInfo::exists(sim.deviceDir(udid) + u"/files/escaped"_s));
        QVERIFY(QFileInfo::exists(container + u"/inside.txt"_s));
    }

    // A container that is itself a link elsewhere is never served.
    void linkedContainerRefused() {
        QVERIFY(create(u"linked"_s) && QDir().mkpath(sim.path() + u"/elsewhere/Library"_s));
        writeApps(u"linked"_s, u"com.example.linked"_s);
        QVERIFY(QFile::link(sim.path() + u"/elsewhere"_s,
                            sim.deviceDir(u"linked"_s) + u"/files/AppDomain-com.example.linked"_s));
        const int fd = vend(u"linked"_s, "com.example.linked").first;
        QVERIFY(fd <= 0 || afc(fd, kOpReadDir, path("/")).first == 0); // connection ended, nothing listed
        ::close(fd);
    }

    void malformedAfcHeader_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("bad magic") << "CFA6LPAB"_ba + words({40, 40, 1, kOpReadDir});
        QTest::newRow("header too short") << "CFA6LPAA"_ba + words({40, 39, 1, kOpReadDir});
        QTest::newRow("entire below this") << "CFA6LPAA"_ba + words({48, 56, 1, kOpReadDir});
        QTest::newRow("entire huge") << "CFA6LPAA"_ba + words({1ull << 40, 40, 1, kOpReadDir});
    }

    // An "invalid header" status, then the connection ends: nothing is
    // allocated from the announced length.
    void malformedAfcHeader() {
        QFETCH(QByteArray, bytes);
        const int fd = startService(u"early"_s, "com.apple.afc");
        QVERIFY(fd > 0 && writeAll(fd, bytes));
        const QByteArray reply = readUpTo(fd, 1 << 16);
        ::close(fd);
        QCOMPARE(reply.size(), 48);
        QCOMPARE(reply.mid(32), words({kOpStatus, 2})); // invalid header
    }
};

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_simdevice.moc"
