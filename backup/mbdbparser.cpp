#include "backup/mbdbparser.h"

#include "backup/backupmanifest.h"
#include "backup/fileutil.h"
#include "backup/mbdbparser_p.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <openssl/evp.h>
#include <stdexcept>

// What both manifest forms share: record names and order, the data-file
// paths, adding files, and the choice of form when reading and saving.
// "Manifest.mbdb" itself is in mbdbformat.cpp, "Manifest.db" in manifestdb.cpp.

namespace {

constexpr quint16 kNewFolderMode = 0x41C0; // folder, rwx for the owner
constexpr quint16 kNewFileMode = 0x81A4;   // regular file, rw-r--r--
constexpr qint32 kMobileUserId = 501;
constexpr qint8 kNewFileProtectionClass = 4;

// Orders two fields as QString::compare orders their UTF-16 forms. Equal leading
// bytes decode to equal text, so only the first differing byte matters: when
// both are ASCII, bytes order the same way; anything else takes the QString route.
int compareText(const MBDBParser::_MBDBBinary& a, const MBDBParser::_MBDBBinary& b) {
    const QByteArrayView x = a.isValid() ? QByteArrayView(a.data) : QByteArrayView();
    const QByteArrayView y = b.isValid() ? QByteArrayView(b.data) : QByteArrayView();
    const qsizetype n = std::min(x.size(), y.size());
    qsizetype i = 0;
    // Paths in one folder share long prefixes: skip them eight bytes at a time.
    for (; i + 8 <= n; i += 8) {
        quint64 u, v;
        std::memcpy(&u, x.data() + i, 8);
        std::memcpy(&v, y.data() + i, 8);
        if (u != v) {
            break; // the byte loop below finds which of the eight
        }
    }
    while (i < n && x[i] == y[i]) {
        ++i;
    }
    const int c = i < x.size() ? static_cast<uchar>(x[i]) : -1; // -1: the text ended here
    const int d = i < y.size() ? static_cast<uchar>(y[i]) : -1;
    if (c == d) {
        return 0; // both ended
    }
    if (c >= 0x80 || d >= 0x80) {
        return QString::compare(a.toString(), b.toString(), Qt::CaseSensitive);
    }
    return c < d ? -1 : 1;
}

qint32 secsOf(const QDateTime& t) {
    return t.isValid() ? static_cast<qint32>(t.toSecsSinceEpoch()) : 0;
}

qint32 birthOf(const QFileInfo& fi) {
    // Not every file system records a birth time; the modification time is the closest stand-in.
    const QDateTime birth = fi.birthTime();
    return secsOf(birth.isValid() ? birth : fi.lastModified());
}

} // namespace

namespace manifest_detail {

[[noreturn]] void throwText(const QString& text) {
    throw std::runtime_error(text.toUtf8().toStdString());
}

// UTF-8 of a field the way QString would give it back: valid UTF-8 stays as
// it is (ASCII, the usual case, is seen at once), anything else is repaired.
QByteArray utf8Text(const char* text, qsizetype n) {
    if (std::all_of(text, text + n, [](char c) { return static_cast<uchar>(c) < 0x80; })) {
        return QByteArray(text, n);
    }
    return QString::fromUtf8(text, n).toUtf8();
}

QByteArray utf8Text(const MBDBParser::_MBDBBinary& field) {
    return field.isValid() ? utf8Text(field.data.constData(), field.data.size()) : QByteArray();
}

QByteArray sharedUtf8Text(SharedBlocks<QByteArray>& blocks, QByteArrayView text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uchar>(c) < 0x80; })) {
        return blocks.copy(text.data(), text.size());
    }
    const QByteArray repaired = QString::fromUtf8(text).toUtf8();
    return blocks.copy(repaired.constData(), repaired.size());
}

namespace {

constexpr int kHashNameSize = 40;

// The lower-case hex SHA-1 of "domain-path", written to out. A large manifest
// hashes every record: OpenSSL's SHA-1 is faster than Qt's once its set-up is
// paid only once (a context per thread, kept); Qt's is the fallback.
void writeHashName(QByteArrayView domainUtf8, QByteArrayView relativePathUtf8, char16_t* out) {
    struct Sha1 {
        EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        ~Sha1() {
            EVP_MD_CTX_free(ctx);
            EVP_MD_free(md);
        }
    };
    thread_local Sha1 sha1;
    constexpr int kSha1Size = kHashNameSize / 2;
    uchar digest[kSha1Size];
    unsigned int size = 0;
    const bool hashed = sha1.md && sha1.ctx && EVP_DigestInit_ex2(sha1.ctx, sha1.md, nullptr) == 1 &&
                        EVP_DigestUpdate(sha1.ctx, domainUtf8.data(), size_t(domainUtf8.size())) == 1 &&
                        EVP_DigestUpdate(sha1.ctx, "-", 1) == 1 &&
                        EVP_DigestUpdate(sha1.ctx, relativePathUtf8.data(), size_t(relativePathUtf8.size())) == 1 &&
                        EVP_DigestFinal_ex(sha1.ctx, digest, &size) == 1 && size == kSha1Size;
    if (!hashed) {
        QCryptographicHash h(QCryptographicHash::Sha1);
        h.addData(domainUtf8);
        h.addData(QByteArrayView("-"));
        h.addData(relativePathUtf8);
        std::memcpy(digest, h.resultView().data(), kSha1Size);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (const uchar b : digest) {
        *out++ = char16_t(kHex[b >> 4]);
        *out++ = char16_t(kHex[b & 0xF]);
    }
}

} // namespace

QString hashNameOf(QByteArrayView domainUtf8, QByteArrayView relativePathUtf8) {
    QString name(kHashNameSize, Qt::Uninitialized);
    writeHashName(domainUtf8, relativePathUtf8, reinterpret_cast<char16_t*>(name.data()));
    return name;
}

QString hashNameOf(SharedBlocks<QString>& blocks, QByteArrayView domainUtf8, QByteArrayView relativePathUtf8) {
    writeHashName(domainUtf8, relativePathUtf8, blocks.reserve(kHashNameSize));
    return blocks.commit(kHashNameSize);
}

bool compareMBDBItemPointersLess(const MBDBParser::_MBDBItem* a, const MBDBParser::_MBDBItem* b) {
    return compareMBDBItemLess(*a, *b);
}

} // namespace manifest_detail

using namespace manifest_detail;

// ---- records

QString MBDBParser::_MBDBItem::backupFileName() const {
    return hashNameOf(utf8Text(domain), utf8Text(relativePath));
}

bool compareMBDBItemLess(const MBDBParser::_MBDBItem& a, const MBDBParser::_MBDBItem& b) {
    const int d = compareText(a.domain, b.domain);
    return d != 0 ? d < 0 : compareText(a.relativePath, b.relativePath) < 0;
}

bool MBDBParser::isIos10Mbdb(const QDir& dir) {
    if (QFileInfo::exists(dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")))) {
        return false;
    }
    return QFileInfo::exists(dir.absoluteFilePath(QStringLiteral("Manifest.db")));
}

QString MBDBParser::getFileHashName(const QString& domain, const QString& relativePath) {
    return hashNameOf(domain.toUtf8(), relativePath.toUtf8());
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

QHash<QString, MBDBParser::_MBDBItem> MBDBParser::parse(const BackupManifest& manifest) {
    if (!isIos10Mbdb(manifest.dir)) {
        return parseMbdbFile(manifest.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")));
    }
    return manifest_detail::parseManifestDb(manifest);
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
    // A record the backup did not have: owned by the device's mobile user, default class.
    const auto newRecord = [&](const QString& path, quint16 mode, qint64 recordSize) {
        _MBDBItem record;
        record.domain.setVal(domain.toUtf8());
        record.relativePath.setVal(path.toUtf8());
        record.mode = mode;
        record.inode = ++nextInode;
        record.userId = record.groupId = kMobileUserId;
        record.lastModified = record.lastStatusChange = mtime;
        record.birth = btime;
        record.size = recordSize;
        record.protectionClass = kNewFileProtectionClass;
        record.added = true;
        return record;
    };

    QString p = relativePath;
    qsizetype slash;
    while ((slash = p.lastIndexOf(QLatin1Char('/'))) >= 1) {
        p = p.left(slash);
        const QString h = getFileHashName(domain, p);
        const auto it = items.constFind(h);
        if (it == items.constEnd()) {
            items.insert(h, newRecord(p, kNewFolderMode, 0));
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
        it = items.insert(h, newRecord(relativePath, kNewFileMode, size >= 1 ? size : src.size()));
    } else {
        it->modified = true;
        // The record describes the new content: its digest changes below, so its size follows.
        it->size = size >= 1 ? size : src.size();
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
    // The records were read when the backup was opened: saving over a manifest
    // changed since would silently undo that change.
    manifest.checkManifestUnchangedThrow();
    if (isIos10Mbdb(manifest.dir)) {
        manifest_detail::saveManifestDb(items, manifest);
        manifest.recordManifestStamp();
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
    manifest.checkManifestUnchangedThrow();
    fileutil::replaceFileThrow(manifest.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")), bytes);
    manifest.recordManifestStamp();
}
