// Manifest records: "Manifest.mbdb" bytes built by hand (not by our writer)
// and hostile variants of them; "MBFile" archives of odd shapes written by
// Python's plistlib (binary and XML forms must read alike); field ordering
// against QString ordering. Known
// answers for key wrapping, the keybag and whole-file encryption (key
// derivation is checked against the peer's in tst_backupinterop).

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "backup/mbdbparser.h"
#include "backupfixture.h"
#include "tests/app/datarows.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::StringLiterals;

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
    const QString path = tmp.filePath(u"Manifest.mbdb"_s);
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

QString describe(const MBDBParser::_MBDBItem& i) {
    QStringList out;
    for (const MBDBParser::_MBDBBinary* b : {&i.domain, &i.relativePath, &i.linkTarget, &i.digest, &i.encryptionKey}) {
        out << (b->isValid() ? QString::fromLatin1(b->data.toHex()) : u"-%1"_s.arg(b->length()));
    }
    for (qint64 n :
         {qint64(i.mode), qint64(i.inodeHigh), qint64(i.inode), qint64(i.userId), qint64(i.groupId),
          qint64(i.lastModified), qint64(i.lastStatusChange), qint64(i.birth), i.size, qint64(i.protectionClass)}) {
        out << QString::number(n);
    }
    return out.join(u' ');
}

// The record as text, or the error it raised.
QString decode(const QByteArray& plist) {
    try {
        return describe(MBDBParser::itemFromMbFilePlist(plist, u"HomeDomain"_s, u"p"_s));
    } catch (const std::exception&) {
        return u"error"_s;
    }
}

MBDBParser::_MBDBItem named(const QByteArray& domain, const QByteArray& path) {
    MBDBParser::_MBDBItem i;
    i.domain.setVal(domain);
    i.relativePath.setVal(path);
    return i;
}

// RFC 3394 section 4.6: 256-bit KEK, 256-bit key.
const QByteArray kKek = QByteArray::fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
const QByteArray kKey = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
const QByteArray kWrapped =
    QByteArray::fromHex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
const QByteArray kFileKey(32, '\x5a');

// One-shot CBC, independent of the streaming file code.
QByteArray cbc(const QByteArray& key, const QByteArray& in) {
    AesContext ctx;
    QByteArray iv(16, '\0');
    return setAESKeyEncrypt(&ctx, key)
               ? AESencryptCBC(&ctx, in.constData(), in.size(), reinterpret_cast<unsigned char*>(iv.data()))
               : QByteArray();
}

QString decryptError(const QString& src, const QString& dst, const QByteArray& key = kFileKey) {
    return thrownText([&] { BackupManifest::decryptFileThrow(key, src, dst, nullptr, nullptr); });
}

} // namespace

class TestBackupFormat : public QObject {
    Q_OBJECT

private slots:
    void recordsRoundTripByteIdentical() {
        const QList<QByteArray> recs = sampleRecords();
        const QByteArray bytes = kHeader + recs.join();
        QHash<QString, MBDBParser::_MBDBItem> items;
        QVERIFY(thrownText([&] { items = parseBytes(bytes); }).isEmpty());
        QCOMPARE(items.size(), 3);
        // Every field of each record as read: strings in hex, then mode, inode high and low, ids, times, size, class.
        const MBDBParser::_MBDBItem sms =
            items.value(MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s));
        const MBDBParser::_MBDBItem link = items.value(MBDBParser::getFileHashName(u"MediaDomain"_s, u"Media/link"_s));
        QCOMPARE(describe(sms), u"486f6d65446f6d61696e 4c6962726172792f534d532f736d732e6462 -65535 "_s +
                                    u"44"_s.repeated(20) + u" 03000000"_s + u"55"_s.repeated(40) +
                                    u" 33188 7 16909060 501 501 1600000000 1600000001 1600000002 4294967312 3"_s);
        QCOMPARE(describe(link),
                 u"4d65646961446f6d61696e 4d656469612f6c696e6b 2e2e2f746172676574 -65535 -65535 41453 4294967295 "
                 "4294967295 501 501 1600000000 1600000001 1600000002 0 4"_s);
        QVERIFY(sms.properties.size() == 2 && sms.properties.at(0).value.data == QByteArray("\0\1", 2));
        QVERIFY(!link.isFolder());
        QCOMPARE(writeBytes(items.values()), bytes); // deleted records are not (tst_backupinterop::putBack)
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
                QVERIFY2(err.isEmpty(), qPrintable(u"cut %1: %2"_s.arg(cut).arg(err)));
                QCOMPARE(int(items.size()), boundary);
            } else {
                QVERIFY2(!err.isEmpty(), qPrintable(u"cut %1 gave no error"_s.arg(cut)));
            }
        }
    }

    void notAManifest() {
        for (const QByteArray& bytes :
             {QByteArray(), QByteArray("mbdx\x05\x00", 6), QByteArray("SQLite format 3\0", 16)}) {
            QVERIFY(thrownText([&] { parseBytes(bytes); }).contains(u"is not a Manifest.mbdb file"_s));
        }
    }

    void writerRefusesUnrepresentableFields() {
        MBDBParser::_MBDBItem big;
        big.domain.setVal("HomeDomain");
        // 0xFFFF bytes would be written as the mark of an absent field.
        for (const qsizetype size : {70000, 0xFFFF}) {
            big.relativePath.setVal(QByteArray(size, 'p'));
            QVERIFY(thrownText([&] { writeBytes({big}); }).contains(u"does not fit its 16-bit length"_s));
        }

        // 256 properties do not fit the count byte.
        QHash<QString, MBDBParser::_MBDBItem> back = parseBytes(
            kHeader + record("HomeDomain", "many", kAbsent, kAbsent, kAbsent, 0x81A4, 0, 1, 0, 0, manyProperties(255)));
        back.begin()->properties.append(back.begin()->properties.first());
        QVERIFY(thrownText([&] { writeBytes(back.values()); }).contains(u"256 properties"_s));
    }

    void hashNamesAndDataFilePlaces() {
        const QString h = MBDBParser::getFileHashName(u"HomeDomain"_s, u"Library/SMS/sms.db"_s);
        QTemporaryDir tmp;
        QDir dir(tmp.path());
        // Neither manifest: treated as "Manifest.mbdb" (and parse fails to open it).
        QCOMPARE(MBDBParser::getBKFilePath(dir, h, false), dir.absoluteFilePath(h));
        BackupManifest none(tmp.path());
        QVERIFY(!thrownText([&] { MBDBParser::parse(none); }).isEmpty());
        QFile(dir.absoluteFilePath(u"Manifest.db"_s)).open(QIODevice::WriteOnly);
        QVERIFY(MBDBParser::isIos10Mbdb(dir));
        QCOMPARE(MBDBParser::getBKFilePath(dir, h, true), dir.absoluteFilePath(u"3d/"_s + h));
        QVERIFY(QFileInfo(dir.absoluteFilePath(u"3d"_s)).isDir());
        // Both: "Manifest.mbdb" wins.
        QFile(dir.absoluteFilePath(u"Manifest.mbdb"_s)).open(QIODevice::WriteOnly);
        QVERIFY(!MBDBParser::isIos10Mbdb(dir));
        // A name that would leave the folder is refused.
        QVERIFY(!thrownText([&] { MBDBParser::getBKFilePath(dir, u"../x"_s, false); }).isEmpty());
    }

    // Each shape must read the same from both forms, and read as expected: "error" for a refused archive,
    // otherwise a part of the record's text (UIDs pointing nowhere read as absent fields).
    void binaryAndXmlAgree_data() {
        QTest::addColumn<QByteArray>("binary");
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("expected");
        const QJsonDocument shapes =
            QJsonDocument::fromJson(readAll(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/mbfile_shapes.json")));
        QVERIFY(shapes[u"shapes"_s].toArray().size() > 10);
        for (const QJsonValue& v : shapes[u"shapes"_s].toArray()) {
            QTest::newRow(qPrintable(v[u"name"_s].toString()))
                << QByteArray::fromBase64(v[u"binary"_s].toString().toLatin1()) << v[u"xml"_s].toString().toUtf8()
                << v[u"expected"_s].toString();
        }
    }
    void binaryAndXmlAgree() {
        QFETCH(QByteArray, binary);
        QFETCH(QByteArray, xml);
        QFETCH(QString, expected);
        const QString got = decode(binary);
        QCOMPARE(decode(xml), got);
        QVERIFY2(got.contains(expected) && (got == "error"_L1) == (expected == "error"_L1), qPrintable(got));
    }

    void orderMatchesQString_data() {
        addRowsFrom(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/backup/tst_backupformat.json"), "orderMatchesQString");
    }
    void orderMatchesQString() {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        a = QByteArray::fromPercentEncoding(a);
        b = QByteArray::fromPercentEncoding(b);
        for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
            const int expected = QString::compare(QString::fromUtf8(x), QString::fromUtf8(y), Qt::CaseSensitive);
            QCOMPARE(compareMBDBItemLess(named("D", x), named("D", y)), expected < 0);
            QCOMPARE(compareMBDBItemLess(named(x, "p"), named(y, "p")), expected < 0);
            // The record's own hashing of its bytes agrees with hashing the text.
            QCOMPARE(named("D", x).backupFileName(), MBDBParser::getFileHashName(u"D"_s, QString::fromUtf8(x)));
        }
    }

    void keyUnwrap_data() {
        QTest::addColumn<QByteArray>("kek");
        QTest::addColumn<QByteArray>("wrapped");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("rfc3394 4.6") << kKek << kWrapped << kKey;
        QTest::newRow("short kek") << kKek.left(16) << kWrapped << QByteArray();
        QTest::newRow("empty") << kKek << QByteArray() << QByteArray();
        QTest::newRow("one block") << kKek << kWrapped.left(8) << QByteArray();
        // Trailing bytes after the last whole block are ignored.
        QTest::newRow("trailing bytes") << kKek << kWrapped + QByteArray("xyz") << kKey;
        QTest::newRow("long kek") << kKek + QByteArray("extra") << kWrapped << kKey;
        for (int bit = 0; bit < kWrapped.size() * 8; ++bit) {
            QByteArray flipped = kWrapped;
            flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
            QTest::addRow("bit-%d", bit) << kKek << flipped << QByteArray();
        }
    }
    void keyUnwrap() {
        QFETCH(QByteArray, kek);
        QFETCH(QByteArray, wrapped);
        QFETCH(QByteArray, expected);
        QCOMPARE(aes_key_unwrap(kek, wrapped), expected);
        QCOMPARE(aes_key_wrap(kKek, kKey), kWrapped);
    }

    void fileEncryptionErrors_data() {
        QTest::addColumn<QByteArray>("cipher");
        QTest::addColumn<QString>("error");
        const QString padText = u"BackupManifest::decryptFile, last byte must GT 0 and LET 16"_s;
        const QString lenText = u"enc, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH (rd%16 != 0)."_s;
        QTest::newRow("last byte 0") << cbc(kFileKey, QByteArray(15, 'A') + '\0') << padText;
        QTest::newRow("last byte 17") << cbc(kFileKey, QByteArray(15, 'A') + '\x11') << padText;
        // A valid count (3), but the byte before the last two is not 3.
        QTest::newRow("padding bytes differ")
            << cbc(kFileKey, QByteArray(30, 'A') + "\3\3")
            << u"enc: the padding is damaged; the file is cut short or not encrypted with this key."_s;
        QTest::newRow("length 20") << QByteArray(20, 'x') << lenText;
        QTest::newRow("length 8200") << QByteArray(8200, 'x') << lenText;
    }
    void fileEncryptionErrors() {
        QFETCH(QByteArray, cipher);
        QFETCH(QString, error);
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath(u"enc"_s), cipher));
        QCOMPARE(decryptError(tmp.filePath(u"enc"_s), tmp.filePath(u"dec"_s)), error);
    }

    void fileCopyErrors() {
        QTemporaryDir tmp;
        const QString src = tmp.filePath(u"src"_s), dst = tmp.filePath(u"dst"_s);
        QVERIFY(writeFile(src, "abc") && writeFile(dst, "old"));
        // Plain output never goes through a planted link.
        const QString link = tmp.filePath(u"link"_s);
        QVERIFY(QFile::link(dst, link));
        QVERIFY(decryptError(src, link).endsWith(u"It is a symbolic link."_s));
        QCOMPARE(readAll(dst), QByteArray("old"));
        // Without a key the file is copied over the existing one, through a new file renamed over it.
        QCOMPARE(thrownText([&] { BackupManifest::encryptFileThrow(src, link, QByteArray()); }), QString());
        QCOMPARE(readAll(link), QByteArray("abc"));
        QCOMPARE(readAll(dst), QByteArray("old"));
        const QString missing = tmp.filePath(u"missing"_s);
        QVERIFY(decryptError(missing, dst).startsWith(u"can not open %1. "_s.arg(missing)));
    }

    // Round trips are the interop suite's (row-encrypted backups); here a cut row.
    void rowEncryptionRefusesCutRow() {
        const QByteArray key = MBDBParser::fileDescKey("0000", QByteArray(16, '\x01'));
        const QByteArray enc = MBDBParser::encryptFileDescThrow(QByteArray(1000, 'c'), key);
        QCOMPARE(thrownText([&] { MBDBParser::decryptFileDescThrow(enc.left(enc.size() - 1), key); }),
                 u"MBDBParser::decryptFileDesc, size % 16 != 0."_s);
    }

    void keybagParse() {
        QMap<int, QByteArray> classKeys{{1, QByteArray(32, '\x01')}, {3, QByteArray(32, '\x03')}};
        const _KeybagInfo info = parseKeybag(buildKeybag("pw", classKeys, true));
        QCOMPARE(info.attributes.value(u"UUID"_s), QByteArray(16, '\x01'));
        QCOMPARE(info.classKeys.keys(), (QList<int>{1, 3}));
        // The second "WRAP" belongs to the first class record, not to the keybag.
        QCOMPARE(info.classKeys.value(1).getInt32(u"WRAP"_s), quint32(3));
        QCOMPARE(info.attributeInt32(u"WRAP"_s), quint32(0));

        _KeybagInfo right = info; // wrong passwords: the interop suite's near misses
        QVERIFY(unlockWithPasscode("pw", right));

        const QByteArray fileKey(32, '\x77');
        const QByteArray wrapped = aes_key_wrap(classKeys.value(3), fileKey);
        QCOMPARE(unwrapKeyForClass(right, 3, wrapped), fileKey);
        QVERIFY(unwrapKeyForClass(right, 3, QByteArray(4, '\0') + wrapped).isEmpty()); // prefix not removed
        QVERIFY(unwrapKeyForClass(right, 2, wrapped).isEmpty());                       // no such class
        QVERIFY(unwrapKeyForClass(info, 3, wrapped).isEmpty());                        // still locked

        // Class keys not wrapped with the passcode: nothing to check, any password unlocks, no keys.
        _KeybagInfo unwrapped = parseKeybag(buildKeybag("pw", {{1, QByteArray(32, '\x01')}}, false, 1));
        QVERIFY(unlockWithPasscode("anything", unwrapped));
        QVERIFY(!unwrapped.classKeys.value(1).contains(u"KEY"_s));
        // Without SALT/ITER it cannot be unlocked at all.
        _KeybagInfo bare = parseKeybag(keybagItem("UUID", QByteArray(16, 'u')) + keybagItem("WRAP", be32(0)));
        QVERIFY(!unlockWithPasscode("pw", bare));
    }

    void keybagMalformed_data() {
        QTest::addColumn<QByteArray>("blob");
        const QByteArray good = keybagItem("VERS", be32(4)) + keybagItem("UUID", QByteArray(16, 'u'));
        QTest::newRow("length past end") << good + QByteArray("SALT") + be32(1000) + QByteArray(20, 's');
        QTest::newRow("length 0xffffffff") << good + QByteArray("SALT") + be32(0xFFFFFFFFu) + QByteArray(4, 's');
        QTest::newRow("cut header") << good + QByteArray("SAL");
        QTest::newRow("cut length") << good + QByteArray("SALT\0\0", 6);
    }
    void keybagMalformed() {
        QFETCH(QByteArray, blob);
        const QString text = thrownText([&] { parseKeybag(blob); });
        QVERIFY2(text.startsWith(u"Keybag item"_s), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestBackupFormat)
#include "tst_backupformat.moc"
