// Framing of service messages over a real socketpair, the other end played by the test (and by Python's plistlib
// for independent payloads). Device notifications, lockdown sessions and the device record (versions, cache folders,
// backup settings) against the simulator, loaded by path and driven with the simdevice tool; then the simulator where
// no client test looks: injected faults, confinement of the AFC server (spoken over raw sockets), lockdown writes,
// malformed AFC headers and the simdevice tool, read by Python.

#include "app/paths.h"
#include "device/iosdevice.h"
#include "device/mobiledevice_msg.h"
#include "tests/app/datarows.h"
#include "tests/app/recordingpresenter.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"
#include "tests/device/socketpair.h"

#include <QLibrary>
#include <QtEndian>
#include <climits>
#include <sys/resource.h>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

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

// Runs a Python script; its trimmed output, or its exit code and errors.
QByteArray python(const QString& script, const QStringList& args) {
    QProcess py;
    py.start(QStringLiteral(VEXLAR_PYTHON), QStringList{u"-c"_s, script} + args);
    if (!py.waitForFinished(120000) || py.exitCode() != 0)
        return "exit " + QByteArray::number(py.exitCode()) + ": " + py.readAllStandardError();
    return py.readAllStandardOutput().trimmed();
}

QByteArray bigEndian32(quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}

// A plist made by Python's plistlib, so the parser is checked against an independent writer.
QByteArray pythonPlist(const char* format) {
    QProcess python;
    python.start(
        QStringLiteral(VEXLAR_PYTHON),
        {QStringLiteral("-c"), QStringLiteral("import plistlib,sys; sys.stdout.buffer.write(plistlib.dumps("
                                              "{'Command':'VendContainer','Count':300,'Blob':bytes(range(256)),"
                                              "'List':['a','\\u00e9']}, fmt=plistlib.%1))")
                                   .arg(QLatin1String(format))});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        return {};
    }
    return python.readAllStandardOutput();
}

// Runs recmsg and returns the error text, or "" when it succeeded.
QString recvError(unsigned int socket, const CFType& lastSent, int timeout, CFType* result = nullptr) {
    try {
        const CFType value = mobiledevice_recmsg(socket, lastSent, timeout);
        if (result) {
            *result = value;
        }
        return QString();
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
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
        QString why;
        QVERIFY2(sim.init(&why), qPrintable(why));
        // Only the framework's functions are exported.
        QLibrary lib(QStringLiteral(VEXLAR_SIMDEVICE_LIBRARY));
        QVERIFY(lib.resolve("AMDeviceConnect") && !lib.resolve("_ZN3sim9bytesUnderERK7QString"));
        // A device present before the subscription is announced too. Two subscriptions deliver every arrival
        // twice: the listener must report it once.
        QVERIFY(create(u"early"_s));
        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY(receiver.waitFor(u"early"_s));
    }

    // The length prefix is the payload's size in network order (above 255 bytes, so a wrong order shows); a null
    // message sends nothing; towards a closed peer the count comes back short or the send throws, never SIGPIPE.
    void sending() {
        const CFType message = CFType::createCFString(QString(300, QLatin1Char('x')));
        SocketPair pair;
        mobiledevice_sendmsg(pair.ours, message, false, 60000);
        const QByteArray xml = message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
        QCOMPARE(pair.sent(), bigEndian32(quint32(xml.size())) + xml);
        mobiledevice_sendmsg(pair.ours, CFType(), true, 60000);
        mobiledevice_sendmsg(pair.ours, CFType(), false, 60000);
        QVERIFY(pair.sent().isEmpty());
        QCOMPARE(mobiledevice_send_all(pair.ours, "x", 0, 100), 0);
        char buffer[1];
        QCOMPARE(mobiledevice_recv_all(pair.ours, buffer, -5, 100), 0);
        pair.closePeer();
        const QByteArray data(100000, 'z');
        QVERIFY(mobiledevice_send_all(pair.ours, data.constData(), static_cast<int>(data.size()), 1000) < data.size());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, mobiledevice_sendmsg(pair.ours, message, false, 1000));
    }

    void receiveFailures_data() {
        addRowsFrom(kTables, "receiveFailures");
        QTest::newRow("length above bound") << bigEndian32(kMobileDeviceMaxMessageLength + 1u) + "abc" << false
                                            << "mobiledevice_recmsg(msg) error, received length: 0.";
    }

    void receiveFailures() {
        QFETCH(QByteArray, stream);
        QFETCH(bool, peerCloses);
        QFETCH(QString, error);
        CFType sent;
        if (error.endsWith(QLatin1Char('\n'))) {
            sent = CFType::createCFDictionary();
            sent.put(QStringLiteral("Command"), CFType::createCFString(QString(2000, QLatin1Char('y'))));
            error += QString::fromUtf8(sent.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)).left(800);
        }
        SocketPair pair;
        pair.feed(stream, peerCloses);
        // The short time-out bounds the stalled payload phase.
        QCOMPARE(recvError(pair.ours, sent, 300), error);
    }

    void parsesForeignPayloads_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<bool>("highFd"); // received on a descriptor above FD_SETSIZE
        const QByteArray binary = pythonPlist("FMT_BINARY");
        const QByteArray xml = pythonPlist("FMT_XML");
        if (binary.isEmpty() || xml.isEmpty()) {
            QSKIP("python3 with plistlib is not available");
        }
        QVERIFY(binary.startsWith("bplist00"));
        QTest::newRow("binary") << binary << true << false;
        QTest::newRow("xml") << xml << true << false;
        QTest::newRow("empty payload") << QByteArray() << false << false;
        QTest::newRow("not a plist") << QByteArray("hello world") << false << false;
        QTest::newRow("truncated binary") << binary.left(binary.size() / 2) << false << false;
        QTest::newRow("descriptor above FD_SETSIZE") << binary << true << true;
    }

    void parsesForeignPayloads() {
        QFETCH(QByteArray, payload);
        QFETCH(bool, parses);
        QFETCH(bool, highFd);
        rlimit limit{};
        if (highFd && (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= FD_SETSIZE + 10)) {
            QSKIP("descriptor limit too low to test descriptors above FD_SETSIZE");
        }
        SocketPair pair;
        const int fd = highFd ? ::dup2(pair.ours, FD_SETSIZE + 5) : pair.ours;
        pair.feed(bigEndian32(static_cast<quint32>(payload.size())) + payload);
        CFType value;
        const QString error = recvError(fd, CFType(), 1000, &value);
        if (highFd) {
            ::close(fd);
        }
        QCOMPARE(error, QString());
        QCOMPARE(value.isNull(), !parses);
        if (parses) {
            QCOMPARE(value.get(QStringLiteral("Command")).CFStringQString(), QStringLiteral("VendContainer"));
            QCOMPARE(value.get(QStringLiteral("Count")).CFNumberInt(), 300);
            QCOMPARE(value.get(QStringLiteral("Blob")).CFDataLength(), 256);
            QCOMPARE(value.get(QStringLiteral("List")).at(1).CFStringQString(), QStringLiteral("\u00e9"));
        }
    }

    void largeMessageRoundTrip_data() { addRowsFrom(kTables, "largeMessageRoundTrip"); }

    void largeMessageRoundTrip() {
        QFETCH(bool, binary);
        // Larger than the socket buffers, so both loops must handle partial transfers.
        QByteArray blob(3 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < blob.size(); ++i) {
            blob[i] = static_cast<char>(i * 7);
        }
        CFType message = CFType::createCFDictionary();
        message.put(QStringLiteral("Blob"), CFType::createCFData(blob));
        SocketPair pair;
        QString sendError;
        std::thread peer([&] {
            try {
                mobiledevice_sendmsg(pair.peer, message, binary, 60000);
            } catch (const std::runtime_error& e) {
                sendError = QString::fromUtf8(e.what());
            }
        });
        CFType received;
        const QString error = recvError(pair.ours, CFType(), 60000, &received);
        peer.join();
        QCOMPARE(sendError, QString());
        QCOMPARE(error, QString());
        QCOMPARE(received.get(QStringLiteral("Blob")).CFDataBytes(), blob);
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
        const QString cacheRoot = g_cacheDir().absoluteFilePath(u"ios_cache"_s);
        IOSDevice device;
        // A hostile identifier stays one folder inside the cache.
        for (const char* hostile : {"../../escape", "..", "a/../../b"}) {
            device.udid = QString::fromLatin1(hostile);
            const QString dir = device.cacheDir().absolutePath();
            QVERIFY2(dir.startsWith(cacheRoot + u'/') && QFileInfo(dir).absolutePath() == cacheRoot, qPrintable(dir));
        }
        device.udid = u"0000aaaa"_s;
        QCOMPARE(device.cacheDir().absolutePath(), cacheRoot + u"/0000aaaa"_s);
        QVERIFY(QFileInfo(cacheRoot + u"/0000aaaa"_s).isDir());
        // An app identifier that is no plain name gets the folder no identifier names; none is created.
        QCOMPARE(device.appDir(u"com.example/../evil"_s).absolutePath(), cacheRoot + u"/0000aaaa/-"_s);
        QCOMPARE(device.appDir(u".."_s).absolutePath(), cacheRoot + u"/0000aaaa/-"_s);
    }

    void cleanupTestCase() { Tips::setPresenter(nullptr); }

    // The reported UniqueDeviceID names the device's folders: one that is no plain name keeps the device out.
    void deviceRecords_data() { addRowsFrom(kTables, "deviceRecords"); }

    void deviceRecords() {
        QFETCH(QString, reported);
        QFETCH(bool, refused);
        FRESH_DEVICE((QStringList{u"Lockdown.UniqueDeviceID"_s, reported}));
        const QString error = errorOf([&] { QCOMPARE(IOSDevice::fromDeviceThrow(device).udid, reported); });
        QCOMPARE(error.contains(u"reports an invalid identifier"_s), refused);
    }

    void arrivalsAreReportedOnce() {
        FRESH_DEVICE({});
        // Give a duplicate the time to show up. (Replugs, each reported again and once, are tst_load's hundred
        // cycles and the fault matrix's unplug rows.)
        QTest::qWait(1500);
        QCOMPARE(receiver.count(true, device), 1);
        QCOMPARE(mobiledevice_device_uid(device), udid);
        // Unplugged and plugged in again quicker than the store is read: the handle still ends, a new one comes.
        QVERIFY(sim.set(udid, u"Sim.Connected"_s, u"false"_s) && sim.plug(udid));
        QTRY_VERIFY_WITH_TIMEOUT(receiver.count(false, device) > 0, 5000);
        am_device* again = receiver.waitFor(udid);
        QVERIFY(again != device);
        QTest::qWait(500);
        QCOMPARE(receiver.count(true, again), 1);
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

        QVERIFY(mobiledevice_info(device, {}, QString()).isEmpty());
        // (A whole domain read with an empty key is the window suite's free-space figure; writing a value is
        // test_protocols' tethered-sync row.)
        // A started service outlives the session, which is closed already.
        unsigned int socket = 0;
        mobiledevice_startservice(device, "com.apple.mobile.installation_proxy", socket);
        QVERIFY(socket != 0);
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

    // Values are read and written only in a session; a write replaces
    // device.plist whole (a new file renamed over it, nothing left beside it).
    void lockdownWrites() {
        const QString udid = u"values"_s;
        QVERIFY(create(udid));
        am_device* dev = receiver.waitFor(udid);
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
        QMap<QString, quint64> inodes, inodesAfter;
        const QStringList before = fileTree(sim.deviceDir(udid), &inodes).keys();
        QCOMPARE(AM(SetValue)(dev, domain.get(), key.get(), value.get()), 0);
        closeSession(dev);
        QCOMPARE(fileTree(sim.deviceDir(udid), &inodesAfter).keys(), before);
        QVERIFY(inodesAfter.value(u"device.plist"_s) != inodes.value(u"device.plist"_s));
        QCOMPARE(python(u"import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\n"
                        "print(d['Lockdown']['com.apple.mobile.tethered_sync']['Bookmarks']['DisableTethered'],"
                        "d['Sim']['Paired'])"_s,
                        {sim.deviceDir(udid) + u"/device.plist"_s}),
                 QByteArray("True True"));
    }

    void injectedFaults_data() { addRowsFrom(kTables, "injectedFaults"); }

    // Each on a fresh device. (Pairing faults and a refused service are seen by the client in refusedOpen and
    // serviceFailureText; the pairing record written in lockdownWrites.)
    void injectedFaults() {
        QFETCH(QString, setup);
        QFETCH(QString, action);
        QFETCH(QString, expected);
        const QString udid = u"fault-"_s + QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-');
        const QByteArray name = action.section(u' ', 1).toUtf8();
        QVERIFY(create(udid));
        QVERIFY(setup.isEmpty() || sim.set(udid, setup.section(u' ', 0, 0), setup.section(u' ', 1)));
        QCOMPARE(action.startsWith("service"_L1)
                     ? QString::number(startService(udid, name.constData()))
                     : (writeApps(udid, u"com.example.locked"_s), vend(udid, name.constData()).second),
                 expected);
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
            target += p.toUtf8() + '\0';
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
        QVERIFY(fd <= 0 || afc(fd, kOpReadDir, QByteArray("/", 2)).first == 0); // connection ended, nothing listed
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
    bool create(const QString& udid, const QStringList& extra = {}) {
        return QFileInfo::exists(sim.deviceDir(udid)) ||
               sim.tool(QStringList{u"create"_s, u"--udid"_s, udid, u"--name"_s, u"Phone "_s + udid} + extra);
    }
    static void closeSession(am_device* dev) { AM(StopSession)(dev), AM(Disconnect)(dev); }
    // The service's socket, or the failing result code.
    int startService(const QString& udid, const char* name) {
        am_device* dev = receiver.waitFor(udid);
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

    SimStore sim;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx;
    RecordingPresenter presenter;
};

QTEST_GUILESS_MAIN(TestMobileDevice)
#include "test_mobiledevice.moc"
#include "tests/device/moc_devicereceiver.cpp"
