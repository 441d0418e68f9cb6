// "Manifest.mbdb" bytes built by hand (not by our writer) and hostile variants
// of them; "MBFile" archives checked against Python's plistlib.

#include "backup/backupmanifest.h"
#include "backup/mbdbparser.h"
#include "backupfixture.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

template <typename T>
QByteArray be(T v) {
    QByteArray b(sizeof(T), Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}
QByteArray field(const QByteArray& s) {
    return be(quint16(s.size())) + s;
}
const QByteArray kAbsent("\xff\xff", 2);
const QByteArray kHeader("mbdb\x05\x00", 6);

QByteArray record(const QByteArray& domain, const QByteArray& path, const QByteArray& link, const QByteArray& digest,
                  const QByteArray& key, quint16 mode, quint32 inodeHigh, quint32 inode, quint64 size, quint8 cls,
                  const QList<QPair<QByteArray, QByteArray>>& props) {
    QByteArray r = field(domain) + field(path) + link + digest + key;
    r += be(mode) + be32(inodeHigh) + be32(inode) + be32(501) + be32(501) + be32(1600000000) + be32(1600000001) +
         be32(1600000002) + be(size) + QByteArray(1, char(cls)) + QByteArray(1, char(props.size()));
    for (const auto& p : props) {
        r += field(p.first) + field(p.second);
    }
    return r;
}

QList<QPair<QByteArray, QByteArray>> manyProperties(int n) {
    return QList<QPair<QByteArray, QByteArray>>(n, {"name", "v"});
}

// Three records in writer order (domain, then path), with every field kind.
QList<QByteArray> sampleRecords() {
    return {
        // A folder whose digest is present but empty (length 0, not absent).
        record("HomeDomain", "Library", kAbsent, field(""), kAbsent, 0x41ED, 0, 10, 0, 0, {}),
        record("HomeDomain", "Library/SMS/sms.db", kAbsent, field(QByteArray(20, '\x44')),
               field(QByteArray("\x03\0\0\0", 4) + QByteArray(40, '\x55')), 0x81A4, 0x7, 0x01020304,
               (quint64(1) << 32) + 16, 3, {{"com.apple.x", QByteArray("\0\1", 2)}, {"name2", "value2"}}),
        record("MediaDomain", "Media/link", field("../target"), kAbsent, kAbsent, 0xA1ED, 0xFFFFFFFF, 0xFFFFFFFF, 0, 4,
               {}),
    };
}

QHash<QString, MBDBParser::_MBDBItem> parseBytes(const QByteArray& bytes) {
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("Manifest.mbdb"));
    if (!writeFile(path, bytes)) {
        throw std::runtime_error("cannot write sample");
    }
    return MBDBParser::parseMbdbFile(path);
}

QByteArray writeBytes(const QList<MBDBParser::_MBDBItem>& items) {
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    MBDBParser::writeMbdbRecords(buf, items);
    return out;
}

} // namespace

class TestMbdbFormat : public QObject {
    Q_OBJECT

private slots:
    void recordsRoundTripByteIdentical() {
        const QList<QByteArray> recs = sampleRecords();
        const QByteArray bytes = kHeader + recs.join();
        QHash<QString, MBDBParser::_MBDBItem> items;
        QVERIFY(thrownText([&] { items = parseBytes(bytes); }).isEmpty());
        QCOMPARE(items.size(), 3);
        const MBDBParser::_MBDBItem sms = items.value(
            MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")));
        QCOMPARE(sms.inodeHigh, quint32(7));
        QCOMPARE(sms.inode, quint64(0x01020304));
        QCOMPARE(sms.size, qint64((quint64(1) << 32) + 16));
        QCOMPARE(sms.protectionClass, qint8(3));
        QCOMPARE(sms.properties.size(), 2);
        QCOMPARE(sms.properties.at(0).value.data, QByteArray("\0\1", 2));
        QCOMPARE(sms.encryptionKey.data.size(), 44);
        QVERIFY(!sms.linkTarget.isValid());
        QCOMPARE(sms.lastStatusChange, 1600000001);
        const MBDBParser::_MBDBItem link =
            items.value(MBDBParser::getFileHashName(QStringLiteral("MediaDomain"), QStringLiteral("Media/link")));
        QCOMPARE(link.linkTarget.toString(), QStringLiteral("../target"));
        QCOMPARE(link.inodeHigh, 0xFFFFFFFFu);
        QVERIFY(!link.isFolder());
        QCOMPARE(writeBytes(items.values()), bytes);
        // A deleted record is not written.
        items[link.backupFileName()].deleted = true;
        QCOMPARE(writeBytes(items.values()), kHeader + recs.at(0) + recs.at(1));
    }

    void oddButValidLayouts_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("records");
        QTest::addColumn<bool>("writesBack"); // byte for byte
        const QList<QByteArray> recs = sampleRecords();
        QTest::newRow("header only") << kHeader << 0 << true;
        // An empty or absent domain ends the record after its 2 bytes.
        QTest::newRow("empty domain between") << kHeader + recs.at(0) + be(quint16(0)) + recs.at(1) << 2 << false;
        QTest::newRow("absent domain at end") << kHeader + recs.at(0) + kAbsent << 1 << false;
        // The property count is an unsigned byte: 130 pairs follow it; 255, the most it holds, write back too.
        for (int n : {130, 255}) {
            QTest::addRow("%d properties", n)
                << kHeader +
                       record("HomeDomain", "x", kAbsent, kAbsent, kAbsent, 0x81A4, 0, 1, 0, 0, manyProperties(n)) +
                       recs.at(2)
                << 2 << true;
        }
        // A later record with the same domain and path replaces the earlier one.
        QTest::newRow("duplicate") << kHeader + recs.at(0) + recs.at(0) << 1 << false;
    }
    void oddButValidLayouts() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, records);
        QFETCH(bool, writesBack);
        QHash<QString, MBDBParser::_MBDBItem> items;
        const QString err = thrownText([&] { items = parseBytes(bytes); });
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QCOMPARE(int(items.size()), records);
        QVERIFY(!writesBack || writeBytes(items.values()) == bytes);
    }

    // Every prefix of a sample either fails with a text or yields exactly the whole records before the cut.
    void truncatedAtEveryOffset() {
        const QList<QByteArray> recs = sampleRecords();
        const QByteArray bytes = kHeader + recs.join();
        QList<int> boundaries{int(kHeader.size())};
        for (const QByteArray& r : recs) {
            boundaries << boundaries.last() + int(r.size());
        }
        for (int cut = 0; cut <= bytes.size(); ++cut) {
            QHash<QString, MBDBParser::_MBDBItem> items;
            const QString err = thrownText([&] { items = parseBytes(bytes.left(cut)); });
            const int boundary = int(boundaries.indexOf(cut));
            if (boundary >= 0) {
                QVERIFY2(err.isEmpty(), qPrintable(QStringLiteral("cut %1: %2").arg(cut).arg(err)));
                QCOMPARE(int(items.size()), boundary);
            } else {
                QVERIFY2(!err.isEmpty(), qPrintable(QStringLiteral("cut %1 gave no error").arg(cut)));
            }
        }
    }

    void notAManifest_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("wrong magic") << QByteArray("mbdx\x05\x00", 6);
        QTest::newRow("sqlite") << QByteArray("SQLite format 3\0", 16);
    }
    void notAManifest() {
        QFETCH(QByteArray, bytes);
        QVERIFY(thrownText([&] { parseBytes(bytes); }).contains(QStringLiteral("is not a Manifest.mbdb file")));
    }

    void writerRefusesUnrepresentableFields() {
        MBDBParser::_MBDBItem big;
        big.domain.setVal("HomeDomain");
        big.relativePath.setVal(QByteArray(70000, 'p'));
        QVERIFY(!thrownText([&] { writeBytes({big}); }).isEmpty());

        // 256 properties do not fit the count byte.
        QHash<QString, MBDBParser::_MBDBItem> back = parseBytes(
            kHeader + record("HomeDomain", "many", kAbsent, kAbsent, kAbsent, 0x81A4, 0, 1, 0, 0, manyProperties(255)));
        back.begin()->properties.append(back.begin()->properties.first());
        QVERIFY(thrownText([&] { writeBytes(back.values()); }).contains(QStringLiteral("256 properties")));
    }

    void hashNamesAndDataFilePlaces() {
        const QString h =
            MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
        QCOMPARE(h, QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
        QTemporaryDir tmp;
        QDir dir(tmp.path());
        // Neither manifest: treated as "Manifest.mbdb" (and parse fails to open it).
        QCOMPARE(MBDBParser::getBKFilePath(dir, h, false), dir.absoluteFilePath(h));
        BackupManifest none(tmp.path());
        QVERIFY(!thrownText([&] { MBDBParser::parse(none); }).isEmpty());
        QFile(dir.absoluteFilePath(QStringLiteral("Manifest.db"))).open(QIODevice::WriteOnly);
        QVERIFY(MBDBParser::isIos10Mbdb(dir));
        QCOMPARE(MBDBParser::getBKFilePath(dir, h, true), dir.absoluteFilePath(QStringLiteral("3d/") + h));
        QVERIFY(QFileInfo(dir.absoluteFilePath(QStringLiteral("3d"))).isDir());
        // Both: "Manifest.mbdb" wins.
        QFile(dir.absoluteFilePath(QStringLiteral("Manifest.mbdb"))).open(QIODevice::WriteOnly);
        QVERIFY(!MBDBParser::isIos10Mbdb(dir));
        // A name that would leave the folder is refused.
        QVERIFY(!thrownText([&] { MBDBParser::getBKFilePath(dir, QStringLiteral("../x"), false); }).isEmpty());
    }

    // Python's plistlib reads our "MBFile" archives (tst_manifestfast reads the ones it writes).
    void mbFileArchiveInteropWithPlistlib() {
        MBDBParser::_MBDBItem item;
        item.domain.setVal("HomeDomain");
        item.relativePath.setVal("Library/SMS/sms.db");
        item.digest.setVal(QByteArray(20, '\x44'));
        item.encryptionKey.setVal(QByteArray(44, '\x55'));
        item.mode = 0x81A4;
        item.inode = Q_UINT64_C(0x123456789);
        item.userId = item.groupId = 501;
        item.lastModified = 1600000000;
        item.lastStatusChange = 1600000001;
        item.birth = 1600000002;
        item.size = Q_INT64_C(5000000000);
        item.protectionClass = 3;
        QTemporaryDir tmp;
        const QString ours = tmp.filePath(QStringLiteral("ours.plist"));
        QVERIFY(writeFile(ours, MBDBParser::mbFilePlist(item)));
        const char* script = R"(
import json, plistlib, sys
a = plistlib.loads(open(sys.argv[1], 'rb').read())
objs = a['$objects']
assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
root = objs[a['$top']['root'].data]
assert objs[root['$class'].data]['$classname'] == 'MBFile'
key = objs[root['EncryptionKey'].data]
assert objs[key['$class'].data]['$classname'] == 'NSMutableData'
out = {k: root[k] for k in ('Birth', 'Flags', 'GroupID', 'InodeNumber', 'LastModified', 'LastStatusChange',
                            'Mode', 'ProtectionClass', 'Size', 'UserID')}
out['RelativePath'] = objs[root['RelativePath'].data]
out['Digest'] = objs[root['Digest'].data].hex()
out['EncryptionKey'] = key['NS.data'].hex()
assert out == {'RelativePath': 'Library/SMS/sms.db', 'InodeNumber': 0x123456789, 'Size': 5000000000, 'Mode': 0o100644,
               'ProtectionClass': 3, 'Flags': 0, 'Birth': 1600000002, 'LastModified': 1600000000,
               'LastStatusChange': 1600000001, 'UserID': 501, 'GroupID': 501, 'Digest': '44' * 20,
               'EncryptionKey': '55' * 44}, out
print('OK')
)";
        QCOMPARE(runPython({QStringLiteral("-c"), QString::fromLatin1(script), ours}), QByteArray("OK"));
    }
};

QTEST_GUILESS_MAIN(TestMbdbFormat)
#include "tst_mbdbformat.moc"
