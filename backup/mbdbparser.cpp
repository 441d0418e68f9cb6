#include "backup/mbdbparser.h"

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backup/byteorder.h"
#include "backup/fileutil.h"
#include "cleaners/sqlite3db.h"
#include "device/cftype.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <algorithm>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcManifest, "vexlar.backup.manifest")

namespace {

constexpr char kMbdbMagic[] = "mbdb";
constexpr qsizetype kMbdbMagicSize = 4;
constexpr qsizetype kMbdbHeaderSize = 6;
const QByteArray kMbdbHeader("mbdb\x05\x00", kMbdbHeaderSize);

constexpr int kSqliteOpenReadWrite = 2;
constexpr quint16 kNewFolderMode = 0x41C0; // folder, rwx for the owner
constexpr quint16 kNewFileMode = 0x81A4;   // regular file, rw-r--r--
constexpr qint32 kMobileUserId = 501;
constexpr qint8 kNewFileProtectionClass = 4;
constexpr int kRowKeySize = 16;
constexpr qint64 kMaxMbdbFileSize = qint64(1) << 32;

// Row cipher IV of "Manifest.db", fixed by the device's backup service.
QByteArray rowIv() {
    return QByteArray::fromHex("4E17C2883BD065F9A12C705DE6930BB4");
}

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

// A short read: the device's own error when it has one, else where the data ran out.
[[noreturn]] void throwShortRead(QIODevice& in, const char* what) {
    const QString err = in.errorString();
    if (!err.isEmpty() && err != QLatin1String("Unknown error")) {
        throwText(err);
    }
    throwText(
        QStringLiteral("Manifest.mbdb is truncated: %1 cut off at offset %2.").arg(QLatin1String(what)).arg(in.pos()));
}

QByteArray readExactly(QIODevice& in, qint64 n, const char* what) {
    QByteArray bytes = in.read(n);
    if (bytes.size() != n) {
        throwShortRead(in, what);
    }
    return bytes;
}

template <typename T>
T readInt(QIODevice& in, const char* what) {
    const QByteArray bytes = readExactly(in, sizeof(T), what);
    return *byteorder::readBigEndian<T>(bytes, 0);
}

void writeAll(QIODevice& out, const QByteArray& bytes) {
    if (out.write(bytes) != bytes.size()) {
        throwText(out.errorString());
    }
}

template <typename T>
void writeInt(QIODevice& out, T value) {
    writeAll(out, byteorder::toBigEndian<T>(value));
}

qint32 secsOf(const QDateTime& t) {
    return t.isValid() ? static_cast<qint32>(t.toSecsSinceEpoch()) : 0;
}

qint32 birthOf(const QFileInfo& fi) {
    // Not every file system records a birth time; the modification time is the closest stand-in.
    const QDateTime birth = fi.birthTime();
    return secsOf(birth.isValid() ? birth : fi.lastModified());
}

// ---- "MBFile" keyed archive

// Resolves a UID against $objects; a UID outside the array gives a null value.
CFType resolveUid(const CFType& objects, const CFType& value) {
    if (!value.isCFKeyedArchiverUID()) {
        return value;
    }
    const unsigned long uid = value.CFKeyedArchiverUIDGetValue();
    if (uid >= static_cast<unsigned long>(std::max(0L, objects.array_size()))) {
        return CFType();
    }
    return objects.at(static_cast<int>(uid));
}

QByteArray dataOf(const CFType& objects, const CFType& raw) {
    const CFType v = resolveUid(objects, raw);
    if (v.isCFData()) {
        return v.CFDataBytes();
    }
    if (v.isCFDictionary()) {
        const CFType inner = resolveUid(objects, v.get(QStringLiteral("NS.data")));
        if (inner.isCFData()) {
            return inner.CFDataBytes();
        }
    }
    return QByteArray();
}

bool hasDataOf(const CFType& objects, const CFType& raw) {
    const CFType v = resolveUid(objects, raw);
    return v.isCFData() || (v.isCFDictionary() && resolveUid(objects, v.get(QStringLiteral("NS.data"))).isCFData());
}

CFType str(const QString& s) {
    return CFType::createCFString(s);
}
CFType uid(long v) {
    return CFType::createCFKeyedArchiverUID(v);
}

int flagsOf(const MBDBParser::_MBDBItem& item) {
    if (item.isFolder()) {
        return MBDBParser::kFlagsFolder;
    }
    return item.linkTarget.isValid() ? MBDBParser::kFlagsSymlink : MBDBParser::kFlagsFile;
}

QByteArray rowKeyOf(Sqlite3DB& db, const BackupManifest& manifest) {
    if (manifest.passcode.isEmpty()) {
        return {};
    }
    Sqlite3Cursor tables = db.queryThrow("select 1 from sqlite_master where type='table' and name='Properties'");
    if (!tables.moveNext()) {
        return {};
    }
    Sqlite3Cursor salt = db.queryThrow("select * from Properties where key='salt' limit 1");
    if (!salt.moveNext()) {
        return {};
    }
    return MBDBParser::fileDescKey(manifest.passcode.toUtf8(), salt.getBlob(QStringLiteral("value")));
}

void writeDbRows(Sqlite3DB& db, QList<MBDBParser::_MBDBItem> items, const QByteArray& rowKey) {
    std::sort(items.begin(), items.end(), compareMBDBItemLess);
    for (const MBDBParser::_MBDBItem& item : std::as_const(items)) {
        if (!item.deleted && !item.modified && !item.added) {
            continue;
        }
        if (item.deleted) {
            db.executeThrow(Sqlite3Sql("delete from Files where fileID=?").addTextParam(item.backupFileName()));
            continue;
        }
        const QByteArray plist = MBDBParser::mbFilePlist(item);
        Sqlite3Sql sql(item.modified ? "update Files set file=?,domain=?,relativePath=?,flags=? where fileID=?"
                                     : "replace into Files(fileID,domain,relativePath,flags,file) values(?,?,?,?,?)");
        auto addFile = [&]() {
            if (rowKey.isEmpty()) {
                sql.addBlobParam(plist);
            } else {
                sql.addTextParam(QString::fromLatin1(MBDBParser::encryptFileDescThrow(plist, rowKey).toBase64()));
            }
        };
        if (item.modified) {
            addFile();
            sql.addTextParam(item.domain.toString())
                .addTextParam(item.relativePath.toString())
                .addIntParam(flagsOf(item))
                .addTextParam(item.backupFileName());
        } else {
            sql.addTextParam(item.backupFileName())
                .addTextParam(item.domain.toString())
                .addTextParam(item.relativePath.toString())
                .addIntParam(flagsOf(item));
            addFile();
        }
        db.executeThrow(sql);
    }
}

void editManifestDb(const QString& path, const QList<MBDBParser::_MBDBItem>& items, const BackupManifest& manifest) {
    Sqlite3DB db;
    db.openThrow(path, kSqliteOpenReadWrite);
    const QByteArray rowKey = rowKeyOf(db, manifest);
    // All or nothing: a failure rolls back (close() never commits).
    db.beginTran();
    writeDbRows(db, items, rowKey);
    db.commitTran();
    db.close();
}

void saveEncryptedManifestDb(const QList<MBDBParser::_MBDBItem>& items, BackupManifest& manifest) {
    const QString stamp = QString::number(QDateTime::currentMSecsSinceEpoch());
    const QString decrypted = manifest.decryptedManifestDbPath;
    const QString manifestDb = manifest.dir.absoluteFilePath(QStringLiteral("Manifest.db"));
    const QString work = decrypted + QStringLiteral(".saving-") + stamp;
    const QString encrypted = manifestDb + QStringLiteral(".new-") + stamp;
    // Every step works on new files; the two renames at the end are the only
    // changes the existing manifest sees.
    try {
        fileutil::copyPrivateThrow(decrypted, work);
        editManifestDb(work, items, manifest);
        QFile::remove(encrypted);
        BackupManifest::encryptDatabaseFileThrow(work, encrypted, manifest.manifestDbKey, manifest.manifestDbPadded);
        fileutil::syncFileThrow(encrypted);
        if (QFileInfo::exists(manifestDb)) {
            fileutil::keepCopy(manifestDb, manifestDb + QStringLiteral("-bak") + stamp);
        }
        fileutil::renameOverThrow(encrypted, manifestDb);
    } catch (...) {
        QFile::remove(work);
        QFile::remove(encrypted);
        throw;
    }
    // The new manifest is in place; the decrypted copy follows it.
    fileutil::renameOverThrow(work, decrypted);
}

} // namespace

// ---- field readers and writers

MBDBParser::_MBDBBinary g_readBinary(QIODevice& in) {
    MBDBParser::_MBDBBinary b;
    b.length = readInt<quint16>(in, "string length");
    if (b.isValid()) {
        b.data = readExactly(in, b.length, "string");
    }
    return b;
}
quint16 g_readInt16(QIODevice& in) {
    return readInt<quint16>(in, "16-bit field");
}
quint32 g_readInt32(QIODevice& in) {
    return readInt<quint32>(in, "32-bit field");
}
quint64 g_readInt64(QIODevice& in) {
    return readInt<quint64>(in, "64-bit field");
}
quint8 g_readByte(QIODevice& in) {
    return readInt<quint8>(in, "byte field");
}

void g_writeBinary(QIODevice& out, const MBDBParser::_MBDBBinary& value) {
    if (value.isValid() && value.data.size() != value.length) {
        throwText(QStringLiteral("Manifest.mbdb: a field of %1 bytes does not fit its 16-bit length.")
                      .arg(value.data.size()));
    }
    writeInt<quint16>(out, value.length);
    if (value.isValid()) {
        writeAll(out, value.data);
    }
}
void g_writeInt16(QIODevice& out, quint16 value) {
    writeInt(out, value);
}
void g_writeInt32(QIODevice& out, quint32 value) {
    writeInt(out, value);
}
void g_writeInt64(QIODevice& out, quint64 value) {
    writeInt(out, value);
}
void g_writeByte(QIODevice& out, quint8 value) {
    writeInt(out, value);
}

// ---- records

QString MBDBParser::_MBDBItem::backupFileName() const {
    return getFileHashName(domain.toString(), relativePath.toString());
}

bool compareMBDBItemLess(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b) {
    const int d = QString::compare(a.domain.toString(), b.domain.toString(), Qt::CaseSensitive);
    if (d != 0) {
        return d < 0;
    }
    return QString::compare(a.relativePath.toString(), b.relativePath.toString(), Qt::CaseSensitive) < 0;
}

bool MBDBParser::isIos10Mbdb(const QDir& dir) {
    if (QFileInfo::exists(dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")))) {
        return false;
    }
    return QFileInfo::exists(dir.absoluteFilePath(QStringLiteral("Manifest.db")));
}

QString MBDBParser::getFileHashName(const QString& domain, const QString& relativePath) {
    return QString::fromLatin1(sha1Digest((domain + QLatin1Char('-') + relativePath).toUtf8()).toHex());
}

QString MBDBParser::getBKFilePath(const QDir& dir, const QString& hashName, bool createFolder) {
    // Names come from our own hashing, but a caller-supplied one must not leave the folder.
    if (hashName.isEmpty() || hashName.contains(QLatin1Char('/')) || hashName.contains(QLatin1Char('\\')) ||
        hashName == QLatin1String(".") || hashName == QLatin1String("..")) {
        throwText(QStringLiteral("Invalid backup file name \"%1\".").arg(hashName));
    }
    if (!isIos10Mbdb(dir)) {
        return dir.absoluteFilePath(hashName);
    }
    const QString path = dir.absoluteFilePath(hashName.left(2) + QLatin1Char('/') + hashName);
    if (createFolder) {
        QDir().mkpath(QFileInfo(path).absolutePath());
    }
    return path;
}

QByteArray MBDBParser::readFileHash(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&f)) {
        return {};
    }
    return hash.result();
}

// ---- "Manifest.mbdb"

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbRecords(QIODevice& in) {
    QHash<QString, _MBDBItem> items;
    while (!in.atEnd()) {
        _MBDBItem item;
        item.domain = g_readBinary(in);
        // An absent or empty domain ends the record here.
        if (!item.domain.isValid()) {
            continue;
        }
        item.relativePath = g_readBinary(in);
        item.linkTarget = g_readBinary(in);
        item.digest = g_readBinary(in);
        item.encryptionKey = g_readBinary(in);
        item.mode = g_readInt16(in);
        item.inodeHigh = g_readInt32(in);
        item.inode = g_readInt32(in);
        item.userId = static_cast<qint32>(g_readInt32(in));
        item.groupId = static_cast<qint32>(g_readInt32(in));
        item.lastModified = static_cast<qint32>(g_readInt32(in));
        item.lastStatusChange = static_cast<qint32>(g_readInt32(in));
        item.birth = static_cast<qint32>(g_readInt32(in));
        item.size = static_cast<qint64>(g_readInt64(in));
        item.protectionClass = static_cast<qint8>(g_readByte(in));
        const qint8 count = static_cast<qint8>(g_readByte(in));
        if (count >= 1 && count <= kMaxMbdbProperties) {
            for (int i = 0; i < count; ++i) {
                _MBDBProperty prop;
                prop.name = g_readBinary(in);
                prop.value = g_readBinary(in);
                item.properties.append(prop);
            }
        }
        items.insert(item.backupFileName(), item);
    }
    return items;
}

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parseMbdbFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        throwText(f.errorString());
    }
    if (f.size() > kMaxMbdbFileSize) {
        throwText(QStringLiteral("Manifest.mbdb is too large (%1 bytes).").arg(f.size()));
    }
    const QByteArray header = f.read(kMbdbHeaderSize);
    if (header.size() != kMbdbHeaderSize || !header.startsWith(QByteArray(kMbdbMagic, kMbdbMagicSize))) {
        throwText(QStringLiteral("%1 is not a Manifest.mbdb file.").arg(path));
    }
    return parseMbdbRecords(f);
}

void MBDBParser::writeMbdbRecords(QIODevice& out, QList<_MBDBItem> items) {
    std::sort(items.begin(), items.end(), compareMBDBItemLess);
    writeAll(out, kMbdbHeader);
    for (const _MBDBItem& item : std::as_const(items)) {
        if (item.deleted) {
            continue;
        }
        g_writeBinary(out, item.domain);
        g_writeBinary(out, item.relativePath);
        g_writeBinary(out, item.linkTarget);
        g_writeBinary(out, item.digest);
        g_writeBinary(out, item.encryptionKey);
        g_writeInt16(out, item.mode);
        g_writeInt32(out, item.inodeHigh);
        g_writeInt32(out, static_cast<quint32>(item.inode & 0xFFFFFFFFu));
        g_writeInt32(out, static_cast<quint32>(item.userId));
        g_writeInt32(out, static_cast<quint32>(item.groupId));
        g_writeInt32(out, static_cast<quint32>(item.lastModified));
        g_writeInt32(out, static_cast<quint32>(item.lastStatusChange));
        g_writeInt32(out, static_cast<quint32>(item.birth));
        g_writeInt64(out, static_cast<quint64>(item.size));
        g_writeByte(out, static_cast<quint8>(item.protectionClass));
        // The reader takes at most 127 pairs; writing more would desynchronise every later record.
        const int count = std::min<int>(static_cast<int>(item.properties.size()), kMaxMbdbProperties);
        g_writeByte(out, static_cast<quint8>(count));
        for (int i = 0; i < count; ++i) {
            g_writeBinary(out, item.properties.at(i).name);
            g_writeBinary(out, item.properties.at(i).value);
        }
    }
}

// ---- "MBFile" archives

QByteArray MBDBParser::mbFilePlist(const _MBDBItem& item) {
    const bool hasDigest = item.digest.isValid();
    const bool hasKey = item.encryptionKey.isValid();
    const long d = hasDigest ? 1 : 0;
    const long classIndex = hasKey ? 5 + d : 3 + d;

    QList<CFType> keys;
    QList<CFType> values;
    auto put = [&](const QString& k, const CFType& v) {
        keys.append(str(k));
        values.append(v);
    };
    put(QStringLiteral("$class"), uid(classIndex));
    put(QStringLiteral("Birth"), CFType::createCFNumberInt32(item.birth));
    if (hasDigest) {
        put(QStringLiteral("Digest"), uid(3));
    }
    if (hasKey) {
        put(QStringLiteral("EncryptionKey"), uid(3 + d));
    }
    put(QStringLiteral("Flags"), CFType::createCFNumberInt32(0));
    put(QStringLiteral("GroupID"), CFType::createCFNumberInt32(item.groupId));
    put(QStringLiteral("InodeNumber"), CFType::createCFNumberInt64(static_cast<long long>(item.inode)));
    put(QStringLiteral("LastModified"), CFType::createCFNumberInt32(item.lastModified));
    put(QStringLiteral("LastStatusChange"), CFType::createCFNumberInt32(item.lastStatusChange));
    put(QStringLiteral("Mode"), CFType::createCFNumberInt32(static_cast<int>(item.mode)));
    put(QStringLiteral("ProtectionClass"), CFType::createCFNumberInt8(static_cast<char>(item.protectionClass)));
    put(QStringLiteral("RelativePath"), uid(2));
    put(QStringLiteral("Size"), CFType::createCFNumberInt64(item.size));
    put(QStringLiteral("UserID"), CFType::createCFNumberInt32(item.userId));

    QList<CFType> objects;
    objects << str(QStringLiteral("$null")) << CFType::createCFDictionary(keys, values)
            << str(item.relativePath.toString());
    if (hasDigest) {
        objects << CFType::createCFData(item.digest.data);
    }
    if (hasKey) {
        objects << CFType::createCFDictionary({str(QStringLiteral("$class")), str(QStringLiteral("NS.data"))},
                                              {uid(4 + d), CFType::createCFData(item.encryptionKey.data)});
        objects << CFType::createCFDictionary(
            {str(QStringLiteral("$classes")), str(QStringLiteral("$classname"))},
            {CFType::createCFArray({str(QStringLiteral("NSMutableData")), str(QStringLiteral("NSData")),
                                    str(QStringLiteral("NSObject"))}),
             str(QStringLiteral("NSMutableData"))});
    }
    objects << CFType::createCFDictionary(
        {str(QStringLiteral("$classes")), str(QStringLiteral("$classname"))},
        {CFType::createCFArray({str(QStringLiteral("MBFile")), str(QStringLiteral("NSObject"))}),
         str(QStringLiteral("MBFile"))});

    const CFType top = CFType::createCFDictionary(
        {str(QStringLiteral("$archiver")), str(QStringLiteral("$objects")), str(QStringLiteral("$top")),
         str(QStringLiteral("$version"))},
        {str(QStringLiteral("NSKeyedArchiver")), CFType::createCFArray(objects),
         CFType::createCFDictionary({str(QStringLiteral("root"))}, {uid(1)}), CFType::createCFNumberInt32(100000)});
    return top.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

MBDBParser::_MBDBItem MBDBParser::itemFromMbFilePlist(const QByteArray& plist, const QString& domain,
                                                      const QString& relativePath) {
    if (plist.size() > kMaxMbFilePlistSize) {
        throwText(QStringLiteral("Manifest.db: the record of %1 is too large.").arg(relativePath));
    }
    const CFType archive = CFType::createCFPropertyList(plist);
    const CFType objects = archive.get(QStringLiteral("$objects"));
    const CFType top = archive.get(QStringLiteral("$top"));
    if (!archive.isCFDictionary() || !objects.isCFArray() || !top.isCFDictionary()) {
        throwText(QStringLiteral("Manifest.db: the record of %1 is not a keyed archive.").arg(relativePath));
    }
    const CFType rootObject = resolveUid(objects, top.get(QStringLiteral("root")));
    if (!rootObject.isCFDictionary()) {
        throwText(QStringLiteral("Manifest.db: the record of %1 has no root object.").arg(relativePath));
    }
    auto field = [&](const char* key) { return resolveUid(objects, rootObject.get(QString::fromLatin1(key))); };

    _MBDBItem item;
    item.domain.setVal(domain.toUtf8());
    item.relativePath.setVal(relativePath.toUtf8());
    const CFType target = field("Target");
    if (target.isCFString() && !target.CFStringQString().isEmpty()) {
        item.linkTarget.setVal(target.CFStringQString().toUtf8());
    }
    if (hasDataOf(objects, rootObject.get(QStringLiteral("Digest")))) {
        item.digest.setVal(dataOf(objects, rootObject.get(QStringLiteral("Digest"))));
    }
    if (hasDataOf(objects, rootObject.get(QStringLiteral("EncryptionKey")))) {
        item.encryptionKey.setVal(dataOf(objects, rootObject.get(QStringLiteral("EncryptionKey"))));
    }
    item.mode = static_cast<quint16>(field("Mode").CFNumberInt64(0));
    item.inodeHigh = 0;
    item.inode = static_cast<quint64>(field("InodeNumber").CFNumberInt64(0));
    item.userId = static_cast<qint32>(field("UserID").CFNumberInt64(0));
    item.groupId = static_cast<qint32>(field("GroupID").CFNumberInt64(0));
    item.lastModified = static_cast<qint32>(field("LastModified").CFNumberInt64(0));
    item.lastStatusChange = static_cast<qint32>(field("LastStatusChange").CFNumberInt64(0));
    item.birth = static_cast<qint32>(field("Birth").CFNumberInt64(0));
    item.size = field("Size").CFNumberInt64(0);
    item.protectionClass = static_cast<qint8>(field("ProtectionClass").CFNumberInt64(0));
    return item;
}

// ---- parse and save

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parse(const BackupManifest& manifest) {
    if (!isIos10Mbdb(manifest.dir)) {
        return parseMbdbFile(manifest.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")));
    }
    QHash<QString, _MBDBItem> items;
    Sqlite3DB db;
    db.openThrow(manifest.manifestDbPathInUse(), kSqliteOpenReadWrite);
    const QByteArray rowKey = rowKeyOf(db, manifest);
    Sqlite3Cursor rows = db.queryThrow("select * from Files");
    while (rows.moveNext()) {
        const QString domain = rows.getText(QStringLiteral("domain"));
        if (domain.isEmpty()) {
            continue;
        }
        const QString relativePath = rows.getText(QStringLiteral("relativePath"));
        QByteArray file = rows.getBlob(QStringLiteral("file"));
        if (!rowKey.isEmpty()) {
            file = decryptFileDescThrow(QByteArray::fromBase64(file), rowKey);
        }
        const _MBDBItem item = itemFromMbFilePlist(file, domain, relativePath);
        items.insert(item.backupFileName(), item);
    }
    db.close();
    return items;
}

bool MBDBParser::appendFile(QHash<QString, _MBDBItem>& items, const QString& srcFile, const QString& domain,
                            const QString& relativePath, long long size, const _MBDBItem* templ, QString* error) {
    if (domain.isEmpty()) {
        return true;
    }
    quint64 nextInode = 0;
    for (const _MBDBItem& item : std::as_const(items)) {
        nextInode = std::max(nextInode, item.inode);
    }
    const QFileInfo src(srcFile);
    const qint32 mtime = secsOf(src.lastModified());
    const qint32 btime = birthOf(src);

    QString p = relativePath;
    qsizetype slash;
    while ((slash = p.lastIndexOf(QLatin1Char('/'))) >= 1) {
        p = p.left(slash);
        const QString h = getFileHashName(domain, p);
        const auto it = items.constFind(h);
        if (it == items.constEnd()) {
            _MBDBItem folder;
            folder.domain.setVal(domain.toUtf8());
            folder.relativePath.setVal(p.toUtf8());
            folder.mode = kNewFolderMode;
            folder.inode = ++nextInode;
            folder.userId = folder.groupId = kMobileUserId;
            folder.lastModified = folder.lastStatusChange = mtime;
            folder.birth = btime;
            folder.size = 0;
            folder.protectionClass = kNewFileProtectionClass;
            folder.added = true;
            items.insert(h, folder);
            continue;
        }
        if (it->isFolder()) {
            break;
        }
        if (error) {
            *error = QStringLiteral("MBDBParser::appendFile(%1) error. \"%2\" is not a folder.").arg(relativePath, p);
        }
        return false;
    }

    const QString h = getFileHashName(domain, relativePath);
    auto it = items.find(h);
    if (it == items.end()) {
        _MBDBItem file;
        file.domain.setVal(domain.toUtf8());
        file.relativePath.setVal(relativePath.toUtf8());
        file.mode = kNewFileMode;
        file.inode = ++nextInode;
        file.userId = file.groupId = kMobileUserId;
        file.size = size >= 1 ? size : src.size();
        file.protectionClass = kNewFileProtectionClass;
        file.added = true;
        it = items.insert(h, file);
    } else {
        it->modified = true;
        // The record describes the new content: its digest changes below, so its size follows.
        if (size >= 1) {
            it->size = size;
        }
    }
    it->digest.setVal(readFileHash(srcFile));
    it->lastModified = it->lastStatusChange = mtime;
    it->birth = btime;
    if (templ) {
        it->protectionClass = templ->protectionClass;
        it->encryptionKey = templ->encryptionKey;
    }
    return true;
}

void MBDBParser::save2File(QList<_MBDBItem> items, BackupManifest& manifest) {
    if (isIos10Mbdb(manifest.dir)) {
        if (manifest.manifestDbKey.isEmpty()) {
            editManifestDb(manifest.manifestDbPathInUse(), items, manifest);
        } else {
            saveEncryptedManifestDb(items, manifest);
        }
        return;
    }
    // A complete new file replaces the old one only once it is fully written
    // and synced. (QSaveFile is not used: it can commit a short write.)
    QByteArray bytes;
    {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        writeMbdbRecords(buffer, std::move(items));
    }
    fileutil::replaceFileThrow(manifest.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")), bytes);
}

// ---- row encryption of "Manifest.db"

QByteArray MBDBParser::fileDescKey(const QByteArray& secret, const QByteArray& salt) {
    return sha1Digest(secret + salt).left(kRowKeySize);
}

QByteArray MBDBParser::encryptFileDescThrow(const QByteArray& data, const QByteArray& key) {
    const int pad = kAesBlockSize - static_cast<int>(data.size() % kAesBlockSize);
    const QByteArray padded = data + QByteArray(pad, static_cast<char>(pad));
    AesContext ctx;
    QByteArray iv = rowIv();
    QByteArray out;
    if (setAESKeyEncryptAnySize(&ctx, key)) {
        out = AESencryptCBC(&ctx, padded.constData(), static_cast<unsigned long>(padded.size()),
                            reinterpret_cast<unsigned char*>(iv.data()));
    }
    if (out.isEmpty()) {
        throwText(QStringLiteral("MBDBParser::encryptFileDesc, aes_crypt_cbc failed."));
    }
    return out;
}

QByteArray MBDBParser::decryptFileDescThrow(const QByteArray& data, const QByteArray& key) {
    if (data.size() % kAesBlockSize != 0) {
        throwText(QStringLiteral("MBDBParser::decryptFileDesc, size % 16 != 0."));
    }
    if (data.isEmpty()) {
        return data;
    }
    AesContext ctx;
    QByteArray iv = rowIv();
    QByteArray out;
    if (setAESKeyDecryptAnySize(&ctx, key)) {
        out = AESdecryptCBC(&ctx, data.constData(), static_cast<unsigned long>(data.size()),
                            reinterpret_cast<unsigned char*>(iv.data()));
    }
    if (out.isEmpty()) {
        throwText(QStringLiteral("MBDBParser::decryptFileDesc, aes_crypt_cbc failed."));
    }
    const qint8 last = static_cast<qint8>(out.back());
    if (last >= 1 && last <= out.size()) {
        out.chop(last);
    }
    return out;
}
