// The AFC client over house arrest and the media service of a simulated
// device: real sockets, real files under the simulator's store.

#include "services/mobiledevice_afc.h"
#include "tests/device/simfixture.h"

#include <QtTest>

namespace {

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
        udid = sim.create({QStringLiteral("--preset"), QStringLiteral("demo")});
        QVERIFY(!udid.isEmpty());
        QVERIFY(sim.set(udid, QStringLiteral("Sim.TraceAfc"), QStringLiteral("true")));
        const CFType apps = CFType::createCFPropertyListFromFile(sim.deviceDir(udid) + QStringLiteral("/apps.plist"));
        QVERIFY(apps.array_size() > 0);
        appId = apps.at(0).get(QStringLiteral("CFBundleIdentifier")).CFStringQString();
        QVERIFY(!appId.isEmpty());

        ctx = _mobiledevice_listen_ctx(&receiver, "iosDeviceConnected", "iosDeviceDisconnected");
        QVERIFY(mobiledevice_listen(&ctx));
        QVERIFY((device = receiver.waitFor(udid)));
    }

    void init() {
        if (!simUnavailable.isEmpty()) {
            QSKIP(qPrintable(simUnavailable));
        }
    }

    void listingFiltersEntries() {
        // A hostile device lists names that climb out or reach deeper, and resolves ".."; a busy
        // one lists a file that is gone before its info is read.
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.AfcListExtra"),
                        QStringLiteral(R"({"/Library/ListMe": ["../../Documents", "sub/b.bin", "vanished.txt"]})")));
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.AfcDotDot"), QStringLiteral("true")));
        OPEN_APP(afc, root);
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.AfcListExtra"), QStringLiteral("null")));
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.AfcDotDot"), QStringLiteral("null")));
        const QString dir = root + QStringLiteral("/Library/ListMe");
        QVERIFY(writeLocal(dir + QStringLiteral("/a.txt"), "12345"));
        QVERIFY(writeLocal(dir + QStringLiteral("/sub/b.bin"), pattern(300, 1)));
        QVERIFY(QFile::link(QStringLiteral("a.txt"), dir + QStringLiteral("/link-to-a")));
        QVERIFY(QFile::link(QStringLiteral("/etc"), dir + QStringLiteral("/link-out")));

        const QStringList raw = mobiledevice_afc_read_dir(afc.socket, QStringLiteral("/Library/ListMe"));
        QVERIFY(raw.contains(QStringLiteral(".")));
        QVERIFY(raw.contains(QStringLiteral("..")));
        QVERIFY(raw.contains(QStringLiteral("link-to-a")) && raw.contains(QStringLiteral("../../Documents")));

        // Each entry carries its info: kind, size and modification time as the device has them.
        QStringList kept;
        for (const _AfcFileInfo& info : afc.lt(QStringLiteral("/Library/ListMe"))) {
            const QFileInfo local(root + info.path);
            kept.append(info.path + QLatin1Char(' ') + info.type);
            QVERIFY(info.isDir() || (info.size == local.size() && info.mtime == local.lastModified()));
        }
        kept.sort();
        QCOMPARE(kept, QStringList({QStringLiteral("/Library/ListMe/a.txt S_IFREG"),
                                    QStringLiteral("/Library/ListMe/sub S_IFDIR")}));
        QVERIFY_THROWS_EXCEPTION(afc_status_error, afc.fileInfo(QStringLiteral("/no/such/file")));
        // A trailing slash does not double the separator; a missing folder lists as empty.
        QCOMPARE(afc.lt(QStringLiteral("/Library/ListMe/sub/")).value(0).path,
                 QStringLiteral("/Library/ListMe/sub/b.bin"));
        QVERIFY(afc.lt(QStringLiteral("/Library/NoSuchFolder")).isEmpty());
        QVERIFY(afc.lt(QStringLiteral("/Library/ListMe/a.txt")).isEmpty());
        // A cancelled worker's listing stops before its next request.
        const std::atomic<bool> cancelled{true};
        afc.cancel = &cancelled;
        QVERIFY_THROWS_EXCEPTION(int, afc.lt(QStringLiteral("/Library/ListMe")));
    }

    // Reads are asked in blocks of at most 64 KiB, writes sent in chunks of at most 32 KiB.
    void blockSizes_data() {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<int>("asked");
        QTest::addColumn<QList<int>>("requests");
        QTest::newRow("read 200000") << false << 200000 << 200000 << QList<int>{65536, 65536, 65536, 3392};
        QTest::newRow("read exact block") << false << 65536 << 65536 << QList<int>{65536};
        QTest::newRow("read short file") << false << 1000 << 5000 << QList<int>{5000, 4000};
        QTest::newRow("read empty file") << false << 0 << 100 << QList<int>{100};
        QTest::newRow("write 70000") << true << 70000 << 70000 << QList<int>{32768, 32768, 4464};
        QTest::newRow("write one byte") << true << 1 << 1 << QList<int>{1};
        QTest::newRow("write nothing") << true << 0 << 0 << QList<int>{};
    }

    void blockSizes() {
        QFETCH(bool, write);
        QFETCH(int, fileSize);
        QFETCH(int, asked);
        QFETCH(QList<int>, requests);
        OPEN_APP(afc, root);
        const QString local = root + QStringLiteral("/Documents/blocks.bin");
        const QByteArray content = pattern(fileSize, 3);
        // A write must truncate what was there.
        QVERIFY(writeLocal(local, write ? QByteArray("old content that must be truncated") : content));
        QList<int> sizes;
        {
            AfcFile file;
            QVERIFY(write ? afc.writeFile(QStringLiteral("/Documents/blocks.bin"), file)
                          : afc.readFile(QStringLiteral("/Documents/blocks.bin"), file));
            QFile::remove(sim.deviceDir(udid) + QStringLiteral("/afc-trace.log"));
            QByteArray buffer(asked, '\0');
            QCOMPARE(write ? file.write(content.constData(), asked) : file.read(buffer.data(), asked), fileSize);
            QVERIFY(write || buffer.left(fileSize) == content);
            for (const QString& line : trace()) {
                const QStringList parts = line.split(QLatin1Char(' '));
                QCOMPARE(parts.value(0), write ? QStringLiteral("WRITE") : QStringLiteral("READ"));
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
        QVERIFY(!afc.del(QStringLiteral("/Library/Caches/definitely-missing")));
        QVERIFY(!afc.del(QStringLiteral("/Library/Caches/definitely-missing/deeper")));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 mobiledevice_afc_remove(afc.socket, QStringLiteral("/Library/Caches/missing")));
        AfcFile file;
        QVERIFY(!afc.readFile(QStringLiteral("/Library/Caches/missing"), file));
        QVERIFY(!file.isOpen());
        // The stream is still in step.
        QVERIFY(afc.fileInfo(QStringLiteral("/Library")).isDir());
        QVERIFY(afc.mkdir(QStringLiteral("/Library/Made")));
        QVERIFY(QFileInfo(root + QStringLiteral("/Library/Made")).isDir());
        QVERIFY(writeLocal(root + QStringLiteral("/Library/Made/f.txt"), "abc"));
        QVERIFY(!afc.del(QStringLiteral("/Library/Made"))); // not empty
        QVERIFY(afc.rename(QStringLiteral("/Library/Made/f.txt"), QStringLiteral("/Library/Made/g.txt")));
        QCOMPARE(readLocal(root + QStringLiteral("/Library/Made/g.txt")), QByteArray("abc"));
        QVERIFY(!afc.rename(QStringLiteral("/Library/Made/nope"), QStringLiteral("/Library/Made/h.txt")));
        QVERIFY(afc.del(QStringLiteral("/Library/Made/g.txt")));
        QVERIFY(afc.del(QStringLiteral("/Library/Made")));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("/Library/Made")));

        QVERIFY(afc.writeFile(QStringLiteral("/Documents/lock.txt"), file));
        QCOMPARE(mobiledevice_afc_file_lock(afc.socket, file.handle, AFC_LOCK_EX), 0);
        QCOMPARE(mobiledevice_afc_file_lock(afc.socket, file.handle, AFC_LOCK_UN), 0);
    }

    void unknownAppIsRefused() {
        mobiledevice_afc afc(device);
        try {
            afc.startService(QStringLiteral("com.example.not.installed"));
            QFAIL("an unknown app was vended");
        } catch (const std::runtime_error& e) {
            const QString text = QString::fromUtf8(e.what());
            QVERIFY2(text.startsWith(QLatin1String("can not find com.example.not.installed.<br/>")), e.what());
            // The device's answer is shown escaped, so it cannot inject markup.
            const QString answer = text.section(QStringLiteral("<br/>"), 1);
            QVERIFY(answer.contains(QLatin1String("&lt;key&gt;Error&lt;/key&gt;")));
            QVERIFY(!answer.contains(QLatin1Char('<')));
        }
        afc.closeService();
        QCOMPARE(afc.socket, 0u);
    }

    void mediaService() {
        const QString media = sim.deviceDir(udid) + QStringLiteral("/files/MediaDomain/Media");
        QVERIFY(writeLocal(media + QStringLiteral("/media-test.txt"), "media"));
        mobiledevice_afc afc(device);
        afc.startService(QString());
        QVERIFY(afc.socket != 0);
        bool found = false;
        for (const _AfcFileInfo& info : afc.lt(QStringLiteral("/"))) {
            found = found || (info.path == QLatin1String("/media-test.txt") && info.size == 5);
        }
        QVERIFY(found);
        AfcFile file;
        QVERIFY(afc.readFile(QStringLiteral("media-test.txt"), file));
        char buffer[16] = {};
        QCOMPARE(file.read(buffer, sizeof buffer), 5);
        QCOMPARE(QByteArray(buffer), QByteArray("media"));
    }

    void droppedConnectionFails() {
        QString root = sim.deviceDir(udid) + QStringLiteral("/files/AppDomain-") + appId;
        QVERIFY(writeLocal(root + QStringLiteral("/Documents/big.bin"), pattern(300000, 5)));
        // The device goes silent in the middle of the second read block.
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.DropAfterBytes"), QStringLiteral("100000")));
        mobiledevice_afc afc(device);
        const bool opened = openApp(afc, &root);
        QVERIFY(sim.set(udid, QStringLiteral("Sim.Faults.DropAfterBytes"), QStringLiteral("null")));
        QVERIFY(opened);
        AfcFile file;
        QVERIFY(afc.readFile(QStringLiteral("/Documents/big.bin"), file));
        QByteArray buffer(300000, '\0');
        QCOMPARE(file.read(buffer.data(), static_cast<int>(buffer.size())), -1);
        // Nothing more comes: the client reports failures instead of hanging, and a
        // broken listing is an error, never an empty folder.
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, afc.lt(QStringLiteral("/Documents")));
        QVERIFY(!afc.del(QStringLiteral("/Documents/big.bin")));
        QVERIFY(QFileInfo::exists(root + QStringLiteral("/Documents/big.bin")));
    }

private:
    // Opens the container of the demo app; the container's local path in *root.
    bool openApp(mobiledevice_afc& afc, QString* root) {
        *root = sim.deviceDir(udid) + QStringLiteral("/files/AppDomain-") + appId;
        try {
            afc.startService(appId);
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
            return false;
        }
        return afc.socket != 0;
    }

    QStringList trace() const {
        return QString::fromUtf8(readLocal(sim.deviceDir(udid) + QStringLiteral("/afc-trace.log")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
