// The AFC client over house arrest on a simulated device: real sockets, real
// files under the simulator's store; and its packet layer against hand-made
// replies on a socketpair: exact error texts, hostile lengths, and the shape
// of what goes out. The media service and file locks are used by mb2helper's
// sync lock (tst_mb2helper).

#include "services/mobiledevice_afc.h"
#include "services/mobiledevice_springboard.h"
#include "tests/app/datarows.h"
#include "tests/device/devicereceiver.h"
#include "tests/device/simfixture.h"
#include "tests/device/socketpair.h"

#include <QtEndian>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/services/afc.json");

QByteArray pattern(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + seed) & 0xff);
    }
    return bytes;
}

bool writeLocal(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readLocal(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray le64(quint64 value) {
    char bytes[8];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 8);
}

QByteArray packet(quint64 op, const QByteArray& payload, quint64 entireLength = ~0ull) {
    const quint64 entire = entireLength == ~0ull ? 40 + quint64(payload.size()) : entireLength;
    return "CFA6LPAA" + le64(entire) + le64(entire) + le64(1) + le64(op) + payload;
}

} // namespace

// A client on the demo app's container; the container's local path in root.
#define OPEN_APP(afc, root)                                                                                            \
    mobiledevice_afc afc(device);                                                                                      \
    QString root;                                                                                                      \
    QVERIFY(openApp(afc, &root))

class TestAfc : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!sim.init(&simUnavailable)) {
            return;
        }
        udid = sim.create({u"--preset"_s, u"demo"_s});
        QVERIFY(!udid.isEmpty());
        QVERIFY(sim.set(udid, u"Sim.TraceAfc"_s, u"true"_s));
        const CFType apps = CFType::createCFPropertyListFromFile(sim.deviceDir(udid) + u"/apps.plist"_s);
        QVERIFY(apps.array_size() > 0);
        appId = apps.at(0).get(u"CFBundleIdentifier"_s).CFStringQString();
        QVERIFY(!appId.isEmpty());

        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY((device = receiver.waitFor(udid)));
    }

    void init() {
        // The packet layer is checked against hand-made replies on a socketpair; the rest needs the simulator.
        static const QByteArrayList offline{"replies",
                                            "statusPointerTakesStatus",
                                            "requestShapes",
                                            "readDirSplitsNames",
                                            "refusalInsideAListingKeepsStep",
                                            "escapingPathsNeverLeave"};
        if (!simUnavailable.isEmpty() && !offline.contains(QTest::currentTestFunction())) {
            QSKIP(qPrintable(simUnavailable));
        }
    }

    void listingFiltersEntries() {
        // A hostile device lists names that climb out or reach deeper, and resolves ".."; a busy
        // one lists a file that is gone before its info is read.
        QVERIFY(sim.set(udid, u"Sim.Faults.AfcListExtra"_s,
                        QStringLiteral(R"({"/Library/ListMe": ["../../Documents", "sub/b.bin", "vanished.txt"]})")));
        QVERIFY(sim.set(udid, u"Sim.Faults.AfcDotDot"_s, u"true"_s));
        OPEN_APP(afc, root);
        QVERIFY(sim.set(udid, u"Sim.Faults.AfcListExtra"_s, u"null"_s));
        QVERIFY(sim.set(udid, u"Sim.Faults.AfcDotDot"_s, u"null"_s));
        const QString dir = root + u"/Library/ListMe"_s;
        QVERIFY(writeLocal(dir + u"/a.txt"_s, "12345"));
        QVERIFY(writeLocal(dir + u"/sub/b.bin"_s, pattern(300, 1)));
        QVERIFY(QFile::link(u"a.txt"_s, dir + u"/link-to-a"_s));
        QVERIFY(QFile::link(u"/etc"_s, dir + u"/link-out"_s));

        const QStringList raw = mobiledevice_afc_read_dir(afc.socket, u"/Library/ListMe"_s);
        QVERIFY(raw.contains(u"."_s) && raw.contains(u".."_s) && raw.contains(u"link-to-a"_s) &&
                raw.contains(u"../../Documents"_s));

        // Each entry carries its info: kind, size and modification time as the device has them.
        QStringList kept;
        for (const _AfcFileInfo& info : afc.lt(u"/Library/ListMe"_s)) {
            const QFileInfo local(root + info.path);
            kept.append(info.path + u' ' + info.type);
            QVERIFY(info.isDir() || (info.size == local.size() && info.mtime == local.lastModified()));
        }
        kept.sort();
        QCOMPARE(kept, QStringList({u"/Library/ListMe/a.txt S_IFREG"_s, u"/Library/ListMe/sub S_IFDIR"_s}));
        QVERIFY_THROWS_EXCEPTION(afc_status_error, afc.fileInfo(u"/no/such/file"_s));
        // A trailing slash does not double the separator; a missing folder lists as empty.
        QCOMPARE(afc.lt(u"/Library/ListMe/sub/"_s).value(0).path, u"/Library/ListMe/sub/b.bin"_s);
        QVERIFY(afc.lt(u"/Library/NoSuchFolder"_s).isEmpty());
        QVERIFY(afc.lt(u"/Library/ListMe/a.txt"_s).isEmpty());
    }

    // SpringBoard's icon: the app's PNG; nothing for an unknown app, no PNG, one above the cap, a hostile answer.
    void springboardIcon_data() {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("reply");      // Sim.Faults.ReplaceReply.getIconPNGData
        QTest::addColumn<QByteArray>("artwork"); // written as the app's artwork first
        QTest::newRow("installed app") << appId << u"null"_s << QByteArray();
        QTest::newRow("unknown app") << u"com.example.none"_s << u"null"_s << QByteArray();
        QTest::newRow("icon not a PNG") << u"com.example.ledgerly"_s << u"null"_s << QByteArray("GIF89a;");
        QTest::newRow("pngData not data") << appId << uR"({"pngData": "PNG"})"_s << QByteArray();
    }
    void springboardIcon() {
        QFETCH(QString, app);
        QFETCH(QString, reply);
        QFETCH(QByteArray, artwork);
        const QString path = sim.deviceDir(udid) + u"/files/AppDomain-"_s + app + u"/iTunesArtwork"_s;
        QVERIFY((artwork.isEmpty() || writeLocal(path, artwork)) &&
                sim.set(udid, u"Sim.Faults.ReplaceReply.getIconPNGData"_s, reply));
        const QByteArray icon = mobiledevice_springboard_icon(device, app, 4 * 1024 * 1024);
        const bool served = reply == u"null"_s && readLocal(path).startsWith("\x89PNG");
        QVERIFY(sim.set(udid, u"Sim.Faults.ReplaceReply.getIconPNGData"_s, u"null"_s));
        QCOMPARE(icon, served ? readLocal(path) : QByteArray());
        QVERIFY(!served || mobiledevice_springboard_icon(device, app, icon.size() - 1).isEmpty());
    }

    // Reads are asked in blocks of at most 64 KiB, writes sent in chunks of at most 32 KiB.
    void blockSizes_data() { addRowsFrom(kRows, "blockSizes"); }

    void blockSizes() {
        QFETCH(bool, write);
        QFETCH(int, fileSize);
        QFETCH(int, asked);
        QFETCH(QList<int>, requests);
        QFETCH(bool, link);
        const QString cable = link ? uR"({"RoundTripUs": 500, "BytesPerSecond": 35000000})"_s : u"null"_s;
        QVERIFY(sim.set(udid, u"Sim.Link"_s, cable));
        OPEN_APP(afc, root);
        QVERIFY(sim.set(udid, u"Sim.Link"_s, u"null"_s));
        const QString local = root + u"/Documents/blocks.bin"_s;
        const QByteArray content = pattern(fileSize, 3);
        // A write must truncate what was there.
        QVERIFY(writeLocal(local, write ? QByteArray("old content that must be truncated") : content));
        QList<int> sizes;
        {
            AfcFile file;
            QVERIFY(write ? afc.writeFile(u"/Documents/blocks.bin"_s, file)
                          : afc.readFile(u"/Documents/blocks.bin"_s, file));
            QFile::remove(sim.deviceDir(udid) + u"/afc-trace.log"_s);
            QByteArray buffer(asked, '\0');
            QCOMPARE(write ? file.write(content.constData(), asked) : file.read(buffer.data(), asked), fileSize);
            QVERIFY(write || buffer.left(fileSize) == content);
            const QString log = QString::fromUtf8(readLocal(sim.deviceDir(udid) + u"/afc-trace.log"_s));
            for (const QString& line : log.split(u'\n', Qt::SkipEmptyParts)) {
                const QStringList parts = line.split(u' ');
                QCOMPARE(parts.value(0), write ? u"WRITE"_s : u"READ"_s);
                QCOMPARE(parts.value(1).toULongLong(), file.handle);
                sizes.append(parts.value(2).toInt());
            }
            file.close();
            file.close(); // twice is harmless
        }
        QCOMPARE(sizes, requests);
        QCOMPARE(readLocal(local), content);
    }

    void removeRenameAndFolders() {
        OPEN_APP(afc, root);
        QVERIFY(!afc.del(u"/Library/Caches/definitely-missing"_s));
        QVERIFY(!afc.del(u"/Library/Caches/definitely-missing/deeper"_s));
        AfcFile file;
        QVERIFY(!afc.readFile(u"/Library/Caches/missing"_s, file));
        QVERIFY(!file.isOpen());
        // The stream is still in step.
        QVERIFY(afc.fileInfo(u"/Library"_s).isDir());
        QVERIFY(afc.mkdir(u"/Library/Made"_s));
        QVERIFY(QFileInfo(root + u"/Library/Made"_s).isDir());
        QVERIFY(writeLocal(root + u"/Library/Made/f.txt"_s, "abc"));
        QVERIFY(!afc.del(u"/Library/Made"_s)); // not empty
        QVERIFY(afc.rename(u"/Library/Made/f.txt"_s, u"/Library/Made/g.txt"_s));
        QCOMPARE(readLocal(root + u"/Library/Made/g.txt"_s), QByteArray("abc"));
        QVERIFY(!afc.rename(u"/Library/Made/nope"_s, u"/Library/Made/h.txt"_s));
        QVERIFY(afc.del(u"/Library/Made/g.txt"_s));
        QVERIFY(afc.del(u"/Library/Made"_s));
        QVERIFY(!QFileInfo::exists(root + u"/Library/Made"_s));
    }

    void unknownAppIsRefused() {
        mobiledevice_afc afc(device);
        try {
            afc.startService(u"com.example.not.installed"_s);
            QFAIL("an unknown app was vended");
        } catch (const std::runtime_error& e) {
            const QString text = QString::fromUtf8(e.what());
            QVERIFY2(text.startsWith("can not find com.example.not.installed.<br/>"_L1), e.what());
            // The device's answer is shown escaped, so it cannot inject markup.
            const QString answer = text.section(u"<br/>"_s, 1);
            QVERIFY(answer.contains("&lt;key&gt;Error&lt;/key&gt;"_L1));
            QVERIFY(!answer.contains(u'<'));
        }
    }

    void droppedConnectionFails() {
        QString root = sim.deviceDir(udid) + u"/files/AppDomain-"_s + appId;
        QVERIFY(writeLocal(root + u"/Documents/big.bin"_s, pattern(300000, 5)));
        // The device goes silent in the middle of the second read block.
        QVERIFY(sim.set(udid, u"Sim.Faults.DropAfterBytes"_s, u"100000"_s));
        mobiledevice_afc afc(device);
        const bool opened = openApp(afc, &root);
        QVERIFY(sim.set(udid, u"Sim.Faults.DropAfterBytes"_s, u"null"_s));
        QVERIFY(opened);
        AfcFile file;
        QVERIFY(afc.readFile(u"/Documents/big.bin"_s, file));
        QByteArray buffer(300000, '\0');
        QCOMPARE(file.read(buffer.data(), static_cast<int>(buffer.size())), -1);
        // Nothing more comes: the client reports failures instead of hanging, and a
        // broken listing is an error, never an empty folder.
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, afc.lt(u"/Documents"_s));
        QVERIFY(!afc.del(u"/Documents/big.bin"_s));
        QVERIFY(QFileInfo::exists(root + u"/Documents/big.bin"_s));
    }

    void replies_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("data") << packet(AFC_OP_DATA, "abc") << QString() << QByteArray("abc");
        QTest::newRow("status 0") << packet(AFC_OP_STATUS, le64(0)) << QString() << le64(0);
        QTest::newRow("short status counts as 0") << packet(AFC_OP_STATUS, "\x05") << QString() << QByteArray("\x05");
        QTest::newRow("open result") << packet(AFC_OP_FILE_OPEN_RES, le64(9)) << QString() << le64(9);
        QTest::newRow("tell result") << packet(AFC_OP_FILE_TELL_RES, le64(3)) << QString() << le64(3);
        QTest::newRow("status 8") << packet(AFC_OP_STATUS, le64(8))
                                  << "read AFC failed, received AFC_OP_STATUS, param1=8." << QByteArray();
        QTest::newRow("unknown op") << packet(77, le64(42))
                                    << "read AFC failed, Unknown operation code received 77, param1=42."
                                    << QByteArray();
        QTest::newRow("short header") << QByteArray("CFA6LPAA1234") << "read AFC header failed." << QByteArray();
        QTest::newRow("wrong magic") << QByteArray(40, 'z') << "read AFC header failed." << QByteArray();
        QTest::newRow("length below header")
            << packet(AFC_OP_DATA, {}, 12) << "read AFC header failed." << QByteArray();
        QTest::newRow("cut payload") << packet(AFC_OP_DATA, "abc", 100) << "read AFC file block data failed."
                                     << QByteArray();
        QTest::newRow("huge length") << packet(AFC_OP_DATA, "abc", 40 + kAfcMaxPayload + 1)
                                     << "read AFC file block data failed." << QByteArray();
        QTest::newRow("length wraps") << packet(AFC_OP_DATA, "abc", ~0ull - 1) << "read AFC file block data failed."
                                      << QByteArray();
    }

    void replies() {
        QFETCH(QByteArray, stream);
        QFETCH(QString, error);
        QFETCH(QByteArray, payload);
        SocketPair pair;
        pair.feed(stream, true);
        _AFCHeader header;
        try {
            const QByteArray got = mobiledevice_afc_read_data(pair.ours, header, nullptr);
            QCOMPARE(QString(), error);
            QCOMPARE(got, payload);
        } catch (const std::runtime_error& e) {
            QCOMPARE(QString::fromUtf8(e.what()), error);
        }
    }

    void statusPointerTakesStatus() {
        SocketPair pair;
        pair.feed(packet(AFC_OP_STATUS, le64(7)) + packet(AFC_OP_DATA, "next"));
        _AFCHeader header;
        int status = -1;
        QCOMPARE(mobiledevice_afc_read_data(pair.ours, header, &status), le64(7));
        QCOMPARE(status, 7);
        // The failed status was read whole: the stream is still in step.
        QCOMPARE(mobiledevice_afc_read_data(pair.ours, header, nullptr), QByteArray("next"));
    }

    void requestShapes() {
        SocketPair pair;
        // Answers queued up front: open result, status for the write chunk, status for close.
        pair.feed(packet(AFC_OP_FILE_OPEN_RES, le64(5)) + packet(AFC_OP_STATUS, le64(0)) +
                  packet(AFC_OP_STATUS, le64(0)));
        QCOMPARE(mobiledevice_afc_open_file(pair.ours, u"/a"_s, AFC_FOPEN_WRONLY), 5ull);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(51) + le64(51) + le64(pair.ours) + le64(AFC_OP_FILE_OPEN) +
                                  le64(AFC_FOPEN_WRONLY) + QByteArray("/a", 3));
        QCOMPARE(mobiledevice_afc_file_write(pair.ours, 5, "hello", 5), 5u);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(53) + le64(48) + le64(pair.ours) + le64(AFC_OP_FILE_WRITE) + le64(5) +
                                  QByteArray("hello"));
        mobiledevice_afc_close_file(pair.ours, 5);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(48) + le64(48) + le64(pair.ours) + le64(AFC_OP_FILE_CLOSE) + le64(5));
        QCOMPARE(mobiledevice_afc_file_write(pair.ours, 5, "x", 0), 0u);
        QVERIFY(pair.sent().isEmpty());
    }

    void readDirSplitsNames() {
        SocketPair pair;
        pair.feed(packet(AFC_OP_DATA, QByteArray("a\0b\0.\0..\0tail", 13)));
        QCOMPARE(mobiledevice_afc_read_dir(pair.ours, u"/"_s), QStringList({u"a"_s, u"b"_s, u"."_s, u".."_s}));
        pair.feed(packet(AFC_OP_DATA, QByteArray("st_size\0"
                                                 "12\0st_ifmt\0S_IFREG\0odd\0",
                                                 31)));
        const QMap<QString, QString> info = mobiledevice_afc_file_info(pair.ours, u"/f"_s);
        QCOMPARE(info, (QMap<QString, QString>{{u"st_size"_s, u"12"_s}, {u"st_ifmt"_s, u"S_IFREG"_s}}));
    }

    void refusalInsideAListingKeepsStep() {
        // The infos of a listing go out together; a refusal among them is thrown only
        // once every reply of the window is read, so the next request gets its own answer.
        SocketPair pair;
        const QByteArray info = packet(AFC_OP_DATA, QByteArray("st_ifmt\0S_IFREG\0", 16));
        pair.feed(packet(AFC_OP_DATA, QByteArray("a\0b\0c\0", 6)) + info + packet(AFC_OP_STATUS, le64(10)) + info +
                  packet(AFC_OP_DATA, QByteArray("next\0", 5)));
        mobiledevice_afc afc(nullptr);
        afc.socket = pair.ours;
        QVERIFY_THROWS_EXCEPTION(afc_status_error, afc.lt(u"/d"_s));
        QCOMPARE(mobiledevice_afc_read_dir(pair.ours, u"/e"_s), QStringList({u"next"_s}));
        afc.socket = 0;
    }

    void escapingPathsNeverLeave_data() { addRowsFrom(kRows, "escapingPathsNeverLeave"); }

    void escapingPathsNeverLeave() {
        QFETCH(QString, path);
        SocketPair pair;
        QVERIFY_THROWS_EXCEPTION(afc_status_error, mobiledevice_afc_remove(pair.ours, path));
        // The client refuses them too and stays usable: nothing was sent.
        mobiledevice_afc afc(nullptr);
        afc.socket = static_cast<unsigned int>(pair.ours);
        AfcFile file;
        const bool refused =
            !afc.del(path) && !afc.rename(u"/ok"_s, path) && !afc.readFile(path, file) && afc.lt(path).isEmpty();
        afc.socket = 0; // the pair closes it
        QVERIFY(refused);
        QVERIFY(pair.sent().isEmpty());
    }

private:
    // Opens the container of the demo app; the container's local path in *root.
    bool openApp(mobiledevice_afc& afc, QString* root) {
        *root = sim.deviceDir(udid) + u"/files/AppDomain-"_s + appId;
        try {
            afc.startService(appId);
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
            return false;
        }
        return afc.socket != 0;
    }

    SimStore sim;
    QString simUnavailable;
    DeviceReceiver receiver;
    _mobiledevice_listen_ctx ctx;
    QString udid;
    QString appId;
    am_device* device = nullptr;
};

QTEST_GUILESS_MAIN(TestAfc)
#include "test_afc.moc"
#include "tests/device/moc_devicereceiver.cpp"
