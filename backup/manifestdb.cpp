#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backup/fileutil.h"
#include "backup/mbdbparser.h"
#include "backup/mbdbparser_p.h"
#include "backup/sharedblocks.h"
#include "device/cftype.h"
#include "device/plistcheck.h"
#include "sqlite/sqlite3db.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <sqlite3.h>
#include <string_view>
#include <vector>

// "Manifest.db" (iOS 10 and later): the Files table, its "MBFile" keyed
// archives, and the row encryption of older encrypted backups.

using namespace manifest_detail;

namespace {

constexpr int kSqliteOpenReadWrite = 2;
constexpr int kRowKeySize = 16;
constexpr sqlite3_int64 kMaxReservedRows = 10'000'000;

// Row cipher IV of "Manifest.db", fixed by the device's backup service.
QByteArray rowIv() {
    return QByteArray::fromHex("4E17C2883BD065F9A12C705DE6930BB4");
}

QByteArray decryptRowThrow(AesContext* ctx, const QByteArray& data);

// A file: URI that opens path read-only and immutable. Every byte outside the
// unreserved set is percent-encoded, so '?', '#' and '%' in a path stay path.
QString readOnlyUri(const QString& path) {
    return QStringLiteral("file:") +
           QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath(), "/")) +
           QStringLiteral("?mode=ro&immutable=1");
}

[[noreturn]] void throwSqlite(sqlite3* db, int rc, const char* sql) {
    throwText(QStringLiteral("SQLite error %1: %2 (%3)")
                  .arg(rc)
                  .arg(QString::fromUtf8(sqlite3_errmsg(db)), QString::fromUtf8(sql)));
}

// A column by name, case-insensitively; -1 when the statement has none.
int columnOf(sqlite3_stmt* stmt, const char* name) {
    for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
        if (sqlite3_stricmp(sqlite3_column_name(stmt, i), name) == 0) {
            return i;
        }
    }
    return -1;
}

// The current row's text in a column, valid until the next step.
QByteArrayView textColumn(sqlite3_stmt* stmt, int column, const char* name) {
    if (column < 0) {
        throwText(QStringLiteral("SQLite error: no column %1").arg(QLatin1String(name)));
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
    return text ? QByteArrayView(text, sqlite3_column_bytes(stmt, column)) : QByteArrayView();
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

// ---- "MBFile" archives read straight from a binary property list

// The general property-list reader builds the whole object graph of a record,
// which dominates the time to read a large manifest. This reader takes the
// fields of a record directly from the bytes, through the same checker the
// general reader trusts (cf::BinaryPlist, after isSound()). Whatever it does
// not mirror exactly (XML, UTF-16 keys or targets, fractional or 128-bit
// numbers, repeated keys, a dictionary that stands for a UID) makes it give up
// and leave the record to the general reader, so both give the same result
// for every input.
class MbFileReader {
public:
    // The record's texts and bytes go into blocks.
    MbFileReader(const cf::BinaryPlist& plist, SharedBlocks<QByteArray>& blocks) : m_plist(plist), m_blocks(blocks) {}

    // False when the general reader must decide; item keeps its domain and path.
    bool read(MBDBParser::_MBDBItem& item) {
        Obj archive;
        if (!object(m_plist.top(), archive) || archive.type != kDict) {
            return false;
        }
        quint64 archiveFields[2];
        if (!lookup(archive, {"$objects", "$top"}, archiveFields) || !object(archiveFields[0], m_objects) ||
            m_objects.type != kArray) {
            return false;
        }
        Obj top;
        quint64 root = kNone;
        if (!object(archiveFields[1], top) || top.type != kDict || !lookup(top, {"root"}, &root)) {
            return false;
        }
        Obj rootObject;
        if (!object(resolve(root), rootObject) || rootObject.type != kDict) {
            return false;
        }
        enum { Target, Digest, EncryptionKey, Mode, Inode, User, Group, Modified, Changed, Birth, Size, Class, Count };
        quint64 f[Count];
        if (!lookup(rootObject,
                    {"Target", "Digest", "EncryptionKey", "Mode", "InodeNumber", "UserID", "GroupID", "LastModified",
                     "LastStatusChange", "Birth", "Size", "ProtectionClass"},
                    f)) {
            return false;
        }
        Obj target;
        if (!object(resolve(f[Target]), target)) {
            return false;
        }
        if (target.type == kUtf16String) {
            return false;
        }
        if (target.type == kAsciiString && target.length > 0) {
            item.linkTarget.data = sharedUtf8Text(m_blocks, m_plist.payload(target));
        }
        QByteArrayView bytes;
        if (dataOf(f[Digest], bytes)) {
            item.digest.data = m_blocks.copy(bytes.data(), bytes.size());
        }
        if (dataOf(f[EncryptionKey], bytes)) {
            item.encryptionKey.data = m_blocks.copy(bytes.data(), bytes.size());
        }
        item.mode = static_cast<quint16>(number(f[Mode]));
        item.inodeHigh = 0;
        item.inode = static_cast<quint64>(number(f[Inode]));
        item.userId = static_cast<qint32>(number(f[User]));
        item.groupId = static_cast<qint32>(number(f[Group]));
        item.lastModified = static_cast<qint32>(number(f[Modified]));
        item.lastStatusChange = static_cast<qint32>(number(f[Changed]));
        item.birth = static_cast<qint32>(number(f[Birth]));
        item.size = number(f[Size]);
        item.protectionClass = static_cast<qint8>(number(f[Class]));
        return !m_unsure;
    }

private:
    using Obj = cf::BinaryPlist::Object;
    static constexpr quint64 kNone = ~quint64(0);
    static constexpr uchar kInteger = cf::BinaryPlist::Integer, kReal = cf::BinaryPlist::Real,
                           kData = cf::BinaryPlist::Data, kAsciiString = cf::BinaryPlist::Ascii,
                           kUtf16String = cf::BinaryPlist::Utf16, kUid = cf::BinaryPlist::Uid,
                           kArray = cf::BinaryPlist::Array, kDict = cf::BinaryPlist::Dict, kNull = 0xFF;

    // kNone gives the null object; anything the checker refuses gives up.
    bool object(quint64 index, Obj& o) {
        o = Obj{};
        o.type = kNull;
        if (index == kNone) {
            return true;
        }
        return m_plist.object(index, o) || fail();
    }

    quint64 ref(const Obj& container, quint64 i) const { return m_plist.ref(container, i); }

    // The value of each of names in dict (kNone when absent). Keys must be
    // one-byte strings and the names not repeated. The names' lengths are
    // known, so most keys are told apart without comparing characters.
    bool lookup(const Obj& dict, std::initializer_list<std::string_view> names, quint64* values) {
        std::fill(values, values + names.size(), kNone);
        for (quint64 i = 0; i < dict.length; ++i) {
            Obj key;
            if (!object(ref(dict, i), key) || key.type != kAsciiString) {
                return fail();
            }
            const QByteArrayView payload = m_plist.payload(key);
            const std::string_view text(payload.data(), size_t(payload.size()));
            if (dict.length == 1 && text == "CF$UID") {
                return fail(); // the general reader may take this for a UID
            }
            qsizetype j = 0;
            for (const std::string_view name : names) {
                if (text == name) {
                    if (values[j] != kNone) {
                        return fail();
                    }
                    values[j] = ref(dict, dict.length + i);
                }
                ++j;
            }
        }
        return true;
    }

    // A UID stands for an element of $objects; one outside it for nothing.
    quint64 resolve(quint64 index) {
        Obj o;
        if (!object(index, o) || o.type != kUid) {
            return index;
        }
        if (o.info != 0 && o.info != 1 && o.info != 3) {
            fail();
            return kNone;
        }
        const quint64 uid = m_plist.uintAt(o.pos, o.info + 1u);
        return uid < m_objects.length ? ref(m_objects, uid) : kNone;
    }

    // Integers as the general reader's CFNumberInt64(0) reads them.
    qint64 number(quint64 index) {
        Obj o;
        if (!object(resolve(index), o)) {
            return 0;
        }
        if (o.type == kReal || (o.type == kInteger && o.info > 3)) {
            fail();
            return 0;
        }
        if (o.type != kInteger) {
            return 0;
        }
        return static_cast<qint64>(m_plist.uintAt(o.pos, 1u << o.info));
    }

    // Bytes of a data object, directly or inside an NSData archive.
    bool dataOf(quint64 index, QByteArrayView& out) {
        Obj o;
        if (!object(resolve(index), o)) {
            return false;
        }
        if (o.type == kDict) {
            quint64 inner = kNone;
            if (!lookup(o, {"NS.data"}, &inner) || !object(resolve(inner), o)) {
                return false;
            }
        }
        if (o.type != kData) {
            return false;
        }
        out = m_plist.payload(o);
        return true;
    }

    bool fail() {
        m_unsure = true;
        return false;
    }

    const cf::BinaryPlist& m_plist;
    SharedBlocks<QByteArray>& m_blocks;
    Obj m_objects;
    bool m_unsure = false;
};

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

void writeDbRows(Sqlite3DB& db, const QList<MBDBParser::_MBDBItem>& items, const QByteArray& rowKey) {
    // Only changed records are written: sorting just those (by address) gives
    // the same sequence without copying every record.
    std::vector<const MBDBParser::_MBDBItem*> changed;
    for (const MBDBParser::_MBDBItem& item : items) {
        if (item.deleted || item.modified || item.added) {
            changed.push_back(&item);
        }
    }
    std::sort(changed.begin(), changed.end(), compareMBDBItemPointersLess);
    for (const MBDBParser::_MBDBItem* record : changed) {
        const MBDBParser::_MBDBItem& item = *record;
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
    // Beside the decrypted copy, in the private folder: plain data never enters the backup folder.
    const QString work =
        QFileInfo(decrypted).absolutePath() + QStringLiteral("/Manifest-saving-") + stamp + QStringLiteral(".db");
    const QString encrypted = manifestDb + QStringLiteral(".new-") + stamp;
    // Every step works on new files; the two renames at the end are the only
    // changes the existing manifest sees.
    try {
        fileutil::copyPrivateThrow(decrypted, work);
        editManifestDb(work, items, manifest);
        QFile::remove(encrypted);
        BackupManifest::encryptDatabaseFileThrow(work, encrypted, manifest.manifestDbKey, manifest.manifestDbPadded);
        fileutil::syncFileThrow(encrypted);
        manifest.checkManifestUnchangedThrow();
        if (QFileInfo::exists(manifestDb)) {
            fileutil::keepCopy(manifestDb, manifestDb + QStringLiteral("-bak") + stamp);
        }
        fileutil::renameOverThrow(encrypted, manifestDb);
    } catch (...) {
        QFile::remove(work);
        QFile::remove(encrypted);
        throw;
    }
    // The new manifest is in place; the edited copy becomes the decrypted one
    // (no rename that could fail after the manifest was replaced).
    manifest.decryptedManifestDbPath = work;
    QFile::remove(decrypted);
}

} // namespace

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

namespace {

// The general reader: XML, and binary shapes the direct reader leaves alone.
MBDBParser::_MBDBItem recordFromAnyPlist(const QByteArray& plist, const QByteArray& domainUtf8,
                                         const QByteArray& relativePathUtf8) {
    const QString relativePath = QString::fromUtf8(relativePathUtf8);
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

    MBDBParser::_MBDBItem item;
    item.domain.setVal(domainUtf8);
    item.relativePath.setVal(relativePathUtf8);
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

MBDBParser::_MBDBItem recordFromMbFilePlist(const QByteArray& plist, const QByteArray& domain,
                                            const QByteArray& relativePath, SharedBlocks<QByteArray>& blocks) {
    if (plist.size() > MBDBParser::kMaxMbFilePlistSize) {
        throwText(QStringLiteral("Manifest.db: the record of %1 is too large.").arg(QString::fromUtf8(relativePath)));
    }
    MBDBParser::_MBDBItem item;
    item.domain.setVal(domain);
    item.relativePath.setVal(relativePath);
    const cf::BinaryPlist binary(plist);
    if (binary.isSound() && MbFileReader(binary, blocks).read(item)) {
        return item;
    }
    return recordFromAnyPlist(plist, domain, relativePath);
}

} // namespace

MBDBParser::_MBDBItem MBDBParser::itemFromMbFilePlist(const QByteArray& plist, const QString& domain,
                                                      const QString& relativePath) {
    SharedBlocks<QByteArray> blocks;
    return recordFromMbFilePlist(plist, domain.toUtf8(), relativePath.toUtf8(), blocks);
}

namespace manifest_detail {

QHash<QString, MBDBParser::_MBDBItem> parseManifestDb(const BackupManifest& manifest) {
    QHash<QString, MBDBParser::_MBDBItem> items;
    const QString path = manifest.manifestDbPathInUse();
    std::unique_ptr<fileutil::PrivateTempDir> walCopy; // outlives the connection below
    Sqlite3DB db;
    if (QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
        // Committed rows may still be in the log, which an immutable read
        // ignores and a normal open would replay into the backup: read a
        // private copy of both instead.
        walCopy = std::make_unique<fileutil::PrivateTempDir>();
        if (!walCopy->isValid()) {
            throwText(walCopy->errorString());
        }
        const QString copy = walCopy->track(QStringLiteral("Manifest.db"));
        fileutil::copyPrivateThrow(path, copy);
        fileutil::copyPrivateThrow(path + QStringLiteral("-wal"), copy + QStringLiteral("-wal"));
        db.openThrow(copy, kSqliteOpenReadWrite);
    } else {
        // Reading must not touch the user's backup: no journal replayed, no -wal/-shm created.
        db.openThrow(readOnlyUri(path), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    }
    const QByteArray rowKey = rowKeyOf(db, manifest);
    // Room for every row at once: growing the table rehashes every record
    // moved in so far.
    {
        sqlite3_stmt* counting = nullptr;
        if (sqlite3_prepare_v2(db.db, "select count(*) from Files", -1, &counting, nullptr) == SQLITE_OK &&
            sqlite3_step(counting) == SQLITE_ROW) {
            items.reserve(qsizetype(std::clamp<sqlite3_int64>(sqlite3_column_int64(counting, 0), 0, kMaxReservedRows)));
        }
        sqlite3_finalize(counting);
    }
    // One statement stepped directly, columns found once and read in place:
    // per-row name lookups and copies cost more than SQLite's own work.
    const char sql[] = "select * from Files";
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db.db, sql, -1, &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
    if (rc != SQLITE_OK) {
        throwSqlite(db.db, rc, sql);
    }
    const int domainColumn = columnOf(raw, "domain");
    const int pathColumn = columnOf(raw, "relativePath");
    const int fileColumn = columnOf(raw, "file");
    // One key schedule for every row.
    AesContext rowCipher;
    if (!rowKey.isEmpty()) {
        setAESKeyDecryptAnySize(&rowCipher, rowKey);
    }
    // Records share a handful of domains: keep one copy of each. Every other
    // text goes into shared blocks.
    QHash<QByteArray, QByteArray> domains;
    SharedBlocks<QByteArray> blocks;
    SharedBlocks<QString> names;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const QByteArrayView domainBytes = textColumn(raw, domainColumn, "domain");
        if (domainBytes.isEmpty()) {
            continue;
        }
        auto domain = domains.constFind(QByteArray::fromRawData(domainBytes.data(), domainBytes.size()));
        if (domain == domains.constEnd()) {
            domain = domains.insert(domainBytes.toByteArray(), utf8Text(domainBytes.data(), domainBytes.size()));
        }
        const QByteArrayView pathBytes = textColumn(raw, pathColumn, "relativePath");
        const QByteArray relativePath = sharedUtf8Text(blocks, pathBytes);
        if (fileColumn < 0) {
            throwText(QStringLiteral("SQLite error: no column file"));
        }
        const auto* blob = static_cast<const char*>(sqlite3_column_blob(raw, fileColumn));
        QByteArray file = QByteArray::fromRawData(blob, blob ? sqlite3_column_bytes(raw, fileColumn) : 0);
        if (!rowKey.isEmpty()) {
            file = decryptRowThrow(&rowCipher, QByteArray::fromBase64(file));
        }
        // emplace moves the record in (insert would copy it).
        items.emplace(hashNameOf(names, *domain, relativePath),
                      recordFromMbFilePlist(file, *domain, relativePath, blocks));
    }
    if (rc != SQLITE_DONE) {
        throwSqlite(db.db, rc, sql);
    }
    return items;
}

// The plain manifest is edited on a copy beside it that replaces it by one
// rename, as every other manifest form: an edit's journal tells by the
// manifest's inode whether the edit took effect.
void savePlainManifestDb(const QList<MBDBParser::_MBDBItem>& items, BackupManifest& manifest) {
    const QString manifestDb = manifest.manifestDbPathInUse();
    if (QFileInfo::exists(manifestDb + QStringLiteral("-wal")) ||
        QFileInfo::exists(manifestDb + QStringLiteral("-journal"))) {
        // The copy must hold every committed row, and no log of the old file may outlive it.
        Sqlite3DB db;
        db.openThrow(manifestDb, kSqliteOpenReadWrite);
        Sqlite3Cursor mode = db.queryThrow("PRAGMA journal_mode=DELETE");
        if (!mode.moveNext() ||
            mode.getText(QStringLiteral("journal_mode")).compare(QLatin1String("delete"), Qt::CaseInsensitive) != 0) {
            throwText(QStringLiteral("%1 cannot leave its write-ahead log.").arg(manifestDb));
        }
        mode = Sqlite3Cursor();
        db.close();
    }
    const QString work = manifestDb + QStringLiteral(".new-") + QString::number(QDateTime::currentMSecsSinceEpoch());
    try {
        fileutil::copyPrivateThrow(manifestDb, work);
        QFile::setPermissions(work, QFile::permissions(manifestDb));
        editManifestDb(work, items, manifest);
        fileutil::syncFileThrow(work);
        fileutil::renameOverThrow(work, manifestDb);
    } catch (...) {
        QFile::remove(work);
        QFile::remove(work + QStringLiteral("-journal"));
        throw;
    }
}

void saveManifestDb(const QList<MBDBParser::_MBDBItem>& items, BackupManifest& manifest) {
    if (manifest.manifestDbKey.isEmpty()) {
        savePlainManifestDb(items, manifest);
    } else {
        saveEncryptedManifestDb(items, manifest);
    }
}

} // namespace manifest_detail

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
    AesContext ctx;
    setAESKeyDecryptAnySize(&ctx, key);
    return decryptRowThrow(&ctx, data);
}

namespace {

QByteArray decryptRowThrow(AesContext* ctx, const QByteArray& data) {
    if (data.size() % kAesBlockSize != 0) {
        throwText(QStringLiteral("MBDBParser::decryptFileDesc, size % 16 != 0."));
    }
    if (data.isEmpty()) {
        return data;
    }
    QByteArray iv = rowIv();
    // Empty when the context took no key.
    QByteArray out = AESdecryptCBC(ctx, data.constData(), static_cast<unsigned long>(data.size()),
                                   reinterpret_cast<unsigned char*>(iv.data()));
    if (out.isEmpty()) {
        throwText(QStringLiteral("MBDBParser::decryptFileDesc, aes_crypt_cbc failed."));
    }
    const qint8 last = static_cast<qint8>(out.back());
    if (last >= 1 && last <= out.size()) {
        out.chop(last);
    }
    return out;
}

} // namespace
