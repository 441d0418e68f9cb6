#include "backupfixture.h"

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QtEndian>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kSalt(20, '\x11');
const QByteArray kDpsl(20, '\x22');

QByteArray randomBytes(int n) { // keys: n is a multiple of 4
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(b.data()), n / 4);
    return b;
}

QByteArray le32(quint32 v) {
    v = qToLittleEndian(v);
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

} // namespace

QByteArray be32(quint32 v) {
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray keybagItem(const char* tag, const QByteArray& value) {
    return QByteArray(tag, 4) + be32(static_cast<quint32>(value.size())) + value;
}

QByteArray buildKeybag(const QByteArray& passcode, const QMap<int, QByteArray>& classKeys, bool dp, quint32 classWrap,
                       quint32 iterations, quint32 dpIterations, const QByteArray& salts) {
    const QByteArray salt = salts.isNull() ? kSalt : salts, dpsl = salts.isNull() ? kDpsl : salts;
    QByteArray derived = dp ? pbkdf2HmacSha256(passcode, dpsl, dpIterations, 32) : passcode;
    const QByteArray passcodeKey = pbkdf2HmacSha1(derived, salt, iterations, 32);
    QByteArray bag = keybagItem("VERS", be32(4)) + keybagItem("TYPE", be32(1)) +
                     keybagItem("UUID", QByteArray(16, '\x01')) + keybagItem("HMCK", QByteArray(40, '\x02')) +
                     keybagItem("WRAP", be32(0)) + keybagItem("SALT", salt) + keybagItem("ITER", be32(iterations));
    if (dp) {
        bag += keybagItem("DPWT", be32(1)) + keybagItem("DPIC", be32(dpIterations)) + keybagItem("DPSL", dpsl);
    }
    for (auto it = classKeys.constBegin(); it != classKeys.constEnd(); ++it) {
        bag += keybagItem("UUID", QByteArray(16, static_cast<char>(0x30 + it.key()))) +
               keybagItem("CLAS", be32(static_cast<quint32>(it.key()))) + keybagItem("WRAP", be32(classWrap)) +
               keybagItem("KTYP", be32(0)) +
               keybagItem("WPKY", (classWrap & 2) ? aes_key_wrap(passcodeKey, it.value()) : it.value());
    }
    return bag;
}

QList<FixtureFile> defaultFixtureFiles() {
    QList<FixtureFile> files{
        fixtureEntry("HomeDomain", QString()),
        fixtureEntry("HomeDomain", "Library"),
        fixtureEntry("HomeDomain", "Library/SMS"),
        fixtureEntry("HomeDomain", "Library/Caches"),
        fixtureEntry("HomeDomain", "Library/SMS/sms.db", QByteArray("SQLite format 3 stand-in\n").repeated(40)),
        fixtureEntry("HomeDomain", "Library/Caches/empty", QByteArray("")),
        fixtureEntry("AppDomain-com.example.app", "Documents/a.txt", QByteArray("hello from an app\n"))};
    for (int i = 0; i < 30; ++i) {
        files << fixtureEntry("HomeDomain", u"Library/Caches/cache-%1.bin"_s.arg(i),
                              QByteArray(100 + i * 37, static_cast<char>('a' + i % 26)));
    }
    return files;
}

FixtureBackup writeFixtureBackup(const QString& dirPath, FixtureForm form, const QList<FixtureFile>& files,
                                 const QString& password) {
    FixtureBackup backup{dirPath, form, password, {}, {}, {}};
    QDir dir(dirPath);
    const bool encrypted = backup.encrypted(), dbForm = backup.dbForm(), dp = form == FixtureForm::DbEncrypted;
    if (encrypted) {
        for (int c = 1; c <= 4; ++c) {
            backup.classKeys.insert(c, randomBytes(32));
        }
    }
    // The data-file layout depends on which manifest exists; create it first.
    check(writeFile(dir.absoluteFilePath(dbForm ? u"Manifest.db"_s : u"Manifest.mbdb"_s), {}), "create the manifest");

    quint64 inode = 1000;
    for (const FixtureFile& f : files) {
        MBDBParser::_MBDBItem item;
        item.domain.setVal(f.domain.toUtf8());
        item.relativePath.setVal(f.relativePath.toUtf8());
        item.mode = f.folder ? 0x41ED : 0x81A4;
        item.inode = ++inode;
        item.inodeHigh = dbForm ? 0 : 7;
        item.userId = item.groupId = 501;
        item.lastModified = f.lastModified;
        item.lastStatusChange = f.lastModified + 1;
        item.birth = f.lastModified - 1;
        item.protectionClass = f.protectionClass;
        if (!f.folder) {
            item.size = f.content.size();
            item.digest.setVal(sha1Digest(f.content));
            const QString dataPath = MBDBParser::getBKFilePath(dir, item.backupFileName(), true);
            QTemporaryFile plain;
            check(plain.open() && plain.write(f.content) == f.content.size() && plain.flush(), "temp file");
            const QByteArray fileKey = encrypted ? randomBytes(32) : QByteArray();
            if (encrypted) {
                item.encryptionKey.setVal(le32(static_cast<quint32>(f.protectionClass)) +
                                          aes_key_wrap(backup.classKeys.value(f.protectionClass), fileKey));
            }
            BackupManifest::encryptFileThrow(plain.fileName(), dataPath, fileKey);
        }
        if (!dbForm && f.relativePath.endsWith(".db"_L1)) {
            MBDBParser::_MBDBProperty prop;
            prop.name.setVal("com.apple.example");
            prop.value.setVal(QByteArray("\x00\x01\x02", 3));
            item.properties << prop;
        }
        backup.records.insert(item.backupFileName(), item);
    }

    if (!dbForm) {
        QFile out(dir.absoluteFilePath(u"Manifest.mbdb"_s));
        check(out.open(QIODevice::WriteOnly | QIODevice::Truncate), "write Manifest.mbdb");
        MBDBParser::writeMbdbRecords(out, backup.records.values());
    } else {
        const QString plainDb =
            dp ? dir.absoluteFilePath(u"plain-manifest.tmp"_s) : dir.absoluteFilePath(u"Manifest.db"_s);
        check(writeFile(plainDb, {}), "create db");
        Sqlite3DB db;
        db.openThrow(plainDb, 2);
        db.executeThrow("CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags "
                        "INTEGER, file BLOB)");
        db.executeThrow("CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB)");
        db.beginTran();
        for (const MBDBParser::_MBDBItem& item : std::as_const(backup.records)) {
            db.executeThrow(Sqlite3Sql("insert into Files values(?,?,?,?,?)")
                                .addTextParam(item.backupFileName())
                                .addTextParam(item.domain.toString())
                                .addTextParam(item.relativePath.toString())
                                .addIntParam(item.isFolder() ? 2 : 1)
                                .addBlobParam(MBDBParser::mbFilePlist(item)));
        }
        db.commitTran();
        db.close();
        if (dp) {
            backup.manifestKey = randomBytes(32);
            const QString manifestDb = dir.absoluteFilePath(u"Manifest.db"_s);
            BackupManifest::encryptFileThrow(plainDb, manifestDb, backup.manifestKey);
            QFile::remove(plainDb);
        }
    }

    // Written as XML: the reader takes both forms, and the device's binary one comes from the interop peer.
    QByteArray plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Lockdown</key><dict>"
        "<key>UniqueDeviceID</key><string>0123456789abcdef0123456789abcdef01234567</string>"
        "<key>DeviceName</key><string>Test Phone</string><key>ProductType</key><string>iPhone9,3</string>"
        "<key>ProductVersion</key><string>" +
        QByteArray(dbForm ? "14.3" : "9.3") +
        "</string><key>SerialNumber</key><string>F1234567890</string></dict>"
        "<key>Date</key><date>2021-12-03T10:00:00Z</date><key>IsEncrypted</key>" +
        (encrypted ? "<true/>" : "<false/>");
    if (encrypted) {
        plist += "<key>BackupKeyBag</key><data>" + buildKeybag(password.toUtf8(), backup.classKeys, dp).toBase64() +
                 "</data>";
    }
    if (dp) {
        plist += "<key>ManifestKey</key><data>" +
                 (le32(3) + aes_key_wrap(backup.classKeys.value(3), backup.manifestKey)).toBase64() + "</data>";
    }
    check(writeFile(dir.absoluteFilePath(u"Manifest.plist"_s), plist + "</dict></plist>\n"), "write Manifest.plist");
    return backup;
}
