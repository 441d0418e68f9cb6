// Real captured files: a device's "Manifest.db" and a synthetic encrypted one
// from another tool's test suite. Both are copied to a temporary folder first.

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backupfixture.h"
#include "sqlite/sqlite3db.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kRealData = QStringLiteral(VEXLAR_REALDATA_DIR);

bool copyInto(const QString& src, const QString& dst) {
    QFile::remove(dst);
    return QFile::copy(src, dst) && QFile::setPermissions(dst, QFile::ReadOwner | QFile::WriteOwner);
}

} // namespace

class TestBackupRealData : public QObject {
    Q_OBJECT

private:
    // The mvt manifest with its WAL, as "Manifest.db" of a backup folder.
    bool prepareMvt(const QTemporaryDir& tmp) {
        const QString src = kRealData + QStringLiteral("/mvt/Manifest.db");
        if (!QFile::exists(src)) {
            return false;
        }
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const QString s = src + QLatin1String(suffix);
            if (QFile::exists(s) && !copyInto(s, tmp.filePath(QStringLiteral("Manifest.db") + QLatin1String(suffix)))) {
                return false;
            }
        }
        return true;
    }

private slots:
    void mvtManifestParses() {
        QTemporaryDir tmp;
        if (!prepareMvt(tmp)) {
            QSKIP("mvt/Manifest.db not present");
        }
        BackupManifest m(tmp.path());
        QHash<QString, MBDBParser::_MBDBItem> items;
        const QString err = thrownText([&] { items = MBDBParser::parse(m); });
        QVERIFY2(err.isEmpty(), qPrintable(err));
        QCOMPARE(items.size(), 3721);
        // Kinds of records are counted by the interop suite's info check; keys and classes here.
        int withKey = 0;
        QMap<int, int> classes;
        for (const MBDBParser::_MBDBItem& item : std::as_const(items)) {
            withKey += item.encryptionKey.isValid();
            classes[item.protectionClass]++;
        }
        QCOMPARE(withKey, 1089);
        QCOMPARE(classes, (QMap<int, int>{{0, 2496}, {1, 40}, {2, 2}, {3, 612}, {4, 571}}));

        QVERIFY(thrownText([&] { m.parseInfo(); }).isEmpty());
        QVERIFY(m.smsDb && m.smsDb->item.backupFileName().startsWith(QLatin1String("3d0d7e5f")));
        QVERIFY(m.callHistoryStoreData &&
                m.callHistoryStoreData->item.backupFileName().startsWith(QLatin1String("5a4935c7")));
    }

    // Edits saved into the real database are what Python's sqlite3 and plistlib read back.
    void mvtManifestSaveInteropWithPython() {
        QTemporaryDir tmp;
        if (!prepareMvt(tmp)) {
            QSKIP("mvt/Manifest.db not present");
        }
        BackupManifest m(tmp.path());
        QHash<QString, MBDBParser::_MBDBItem> items = MBDBParser::parse(m);
        const QString sms =
            MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
        const QString history =
            MBDBParser::getFileHashName(QStringLiteral("HomeDomain"), QStringLiteral("Library/Safari/History.db"));
        items[history].deleted = true;
        const QString plain = tmp.filePath(QStringLiteral("edited.db"));
        QVERIFY(writeFile(plain, "edited"));
        QVERIFY(MBDBParser::appendFile(items, plain, QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                                       6, nullptr, nullptr));
        const QString err = thrownText([&] { MBDBParser::save2File(items.values(), m); });
        QVERIFY2(err.isEmpty(), qPrintable(err));

        const char* script = R"(
import plistlib, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
print(db.execute('select count(*) from Files').fetchone()[0])
print(db.execute('select count(*) from Files where fileID=?', (sys.argv[3],)).fetchone()[0])
blob, flags = db.execute('select file, flags from Files where fileID=?', (sys.argv[2],)).fetchone()
a = plistlib.loads(blob)
objs = a['$objects']
root = objs[a['$top']['root'].data]
print(flags, objs[root['RelativePath'].data], objs[root['Digest'].data].hex(), root['ProtectionClass'])
)";
        QCOMPARE(runPython({QStringLiteral("-c"), QString::fromLatin1(script),
                            tmp.filePath(QStringLiteral("Manifest.db")), sms, history}),
                 "3720\n0\n1 Library/SMS/sms.db " + sha1Digest("edited").toHex() + " " +
                     QByteArray::number(items.value(sms).protectionClass));
    }

    // One slow derivation (DPIC 10,000,000), built from the documented keybag values.
    void pyiosbackupEncryptedManifestDecrypts() {
        const QString src = kRealData + QStringLiteral("/pyiosbackup/encrypted_sqlite3_db.bin");
        if (!QFile::exists(src)) {
            QSKIP("pyiosbackup/encrypted_sqlite3_db.bin not present");
        }
        QTemporaryDir tmp;
        QVERIFY(copyInto(src, tmp.filePath(QStringLiteral("Manifest.db"))));

        const QByteArray salt(20, '\0');
        const QByteArray dpsl(20, '\0');
        const QByteArray t = pbkdf2HmacSha256("0000", dpsl, 10000000, 32);
        const QByteArray passcodeKey = pbkdf2HmacSha1(t, salt, 10000, 32);
        const QByteArray classKey(32, '\0');
        const QByteArray wpky = aes_key_wrap(passcodeKey, classKey);
        QByteArray bag = keybagItem("VERS", be32(5)) + keybagItem("TYPE", be32(1)) +
                         keybagItem("UUID", QByteArray(16, 'k')) + keybagItem("WRAP", be32(0)) +
                         keybagItem("SALT", salt) + keybagItem("ITER", be32(10000)) + keybagItem("DPWT", be32(1)) +
                         keybagItem("DPIC", be32(10000000)) + keybagItem("DPSL", dpsl);
        for (int c = 1; c <= 10; ++c) {
            bag += keybagItem("UUID", QByteArray(16, char(c))) + keybagItem("CLAS", be32(c)) +
                   keybagItem("WRAP", be32(3)) + keybagItem("KTYP", be32(0)) + keybagItem("WPKY", wpky);
        }
        // The database key of that sample is itself all zero, wrapped with the class 2 key.
        const QByteArray manifestKey = QByteArray("\x02\0\0\0", 4) + aes_key_wrap(classKey, QByteArray(32, '\0'));
        QVERIFY(
            writeFile(tmp.filePath(QStringLiteral("Manifest.plist")),
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Lockdown</key><dict>"
                      "<key>ProductVersion</key><string>10.3</string><key>DeviceName</key><string>pyiosbackup</string>"
                      "</dict><key>IsEncrypted</key><true/><key>BackupKeyBag</key><data>" +
                          bag.toBase64() + "</data><key>ManifestKey</key><data>" + manifestKey.toBase64() +
                          "</data></dict></plist>"));

        BackupManifest m(tmp.path());
        bool ok = false;
        QCOMPARE(thrownText([&] {
                     m.readManifestInfo();
                     ok = m.setPasscodeNoUIThrow(QStringLiteral("0000"));
                 }),
                 QString());
        QVERIFY(ok && m.info.isEncrypted);
        // Stored without a padding block: decrypted whole.
        QVERIFY(!m.manifestDbPadded);
        QCOMPARE(QFileInfo(m.decryptedManifestDbPath).size(), qint64(8192));

        Sqlite3DB db;
        db.openThrow(m.decryptedManifestDbPath, 2);
        Sqlite3Cursor c = db.queryThrow("select * from Files");
        QCOMPARE(c.count(), 1);
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText(QStringLiteral("fileID")), QStringLiteral("5727bd1c5fa1055e15d8b4a75a74793c84b5ffdc"));
        QCOMPARE(c.getText(QStringLiteral("domain")), QStringLiteral("MyTestDomain"));
        QCOMPARE(c.getText(QStringLiteral("relativePath")), QStringLiteral("Media/Test.txt"));
        db.close();

        // Saving re-encrypts it the way it was stored, so it decrypts again to the same database.
        QHash<QString, MBDBParser::_MBDBItem> items;
        QVERIFY(thrownText([&] { items = MBDBParser::parse(m); }).isEmpty());
        QCOMPARE(items.size(), 1);
        QVERIFY(thrownText([&] { MBDBParser::save2File(items.values(), m); }).isEmpty());
        QCOMPARE(QFileInfo(tmp.filePath(QStringLiteral("Manifest.db"))).size(), qint64(8192));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptDatabaseFileThrow(QByteArray(32, '\0'),
                                                             tmp.filePath(QStringLiteral("Manifest.db")),
                                                             tmp.filePath(QStringLiteral("again.db")));
                }).isEmpty());
        Sqlite3DB again;
        again.openThrow(tmp.filePath(QStringLiteral("again.db")), 2);
        Sqlite3Cursor c2 = again.queryThrow("select fileID from Files");
        QCOMPARE(c2.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestBackupRealData)
#include "tst_backuprealdata.moc"
